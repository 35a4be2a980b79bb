#include "frontend/tunedump_info.h"

#include <string>

namespace {

constexpr int32_t sample_header_bytes = 30;
constexpr int32_t songlen_offset = 950;
constexpr int32_t order_offset = 952;
constexpr int32_t signature_offset = 1080;

}  // namespace

// Names come from the file: they end at the first zero byte, and nothing
// but printable ASCII may reach the terminal.
const uint8_t* td_sample_name(const uint8_t* image, int32_t n)
{
    return image + td_title_bytes + sample_header_bytes * (n - 1);
}

std::string td_printable(const uint8_t* bytes, int32_t size)
{
    std::string text;
    for (int32_t i = 0; i < size && bytes[i] != 0; i++)
        text += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
    return text;
}

namespace {

int32_t word_bytes(const uint8_t* at) { return (at[0] * 256 + at[1]) * 2; }

}  // namespace

int32_t td_sample_bytes(const uint8_t* image, int32_t n)
{
    return word_bytes(td_sample_name(image, n) + td_name_bytes);
}

int32_t td_channels(const uint8_t* image)
{
    static const char* const signatures[] = {"2CHN", "4CHN", "M.K.", "M!K!", "FLT4", "FLT8",
                                             "OCTA", "6CHN", "8CHN"};
    static const int32_t counts[] = {2, 4, 4, 4, 4, 8, 8, 6, 8};
    const uint8_t* s = image + signature_offset;
    for (int i = 0; i < 9; i++)
        if (std::string(reinterpret_cast<const char*>(s), 4) == signatures[i])
            return counts[i];
    // 10CH .. 32CH
    return (s[0] - '0') * 10 + (s[1] - '0');
}

std::string td_signature_of(const uint8_t* image)
{
    return td_printable(image + signature_offset, 4);
}

td_sample_fields td_sample_fields_of(const uint8_t* image, int32_t n)
{
    const uint8_t* h = td_sample_name(image, n);
    const int32_t fine = h[24] & 0x0F;
    return td_sample_fields{word_bytes(h + 22), word_bytes(h + 26), word_bytes(h + 28), h[25],
                            fine < 8 ? fine : fine - 16};
}

namespace {

int32_t pattern_count(const uint8_t* image)
{
    int32_t highest = 0;
    for (int32_t i = 0; i < 128; i++)
        if (image[order_offset + i] > highest)
            highest = image[order_offset + i];
    return highest + 1;
}

void print_header(FILE* out, const uint8_t* image)
{
    std::fprintf(out, "title:       %s\n", td_printable(image, td_title_bytes).c_str());
    std::fprintf(out, "signature:   %s\n", td_signature_of(image).c_str());
    std::fprintf(out, "channels:    %d\n", td_channels(image));
    std::fprintf(out, "song length: %d (restart byte %d)\n", image[songlen_offset],
                 image[songlen_offset + 1]);
    std::fprintf(out, "patterns:    %d\n", pattern_count(image));
}

// A looping sequence also shows its intro (up to the loop) and one time
// round its loop.
void print_sequences(FILE* out, const vex_sequence* sequences, int32_t count, int32_t rate)
{
    for (int32_t i = 0; i < count; i++) {
        const vex_sequence& s = sequences[i];
        char length[24], intro[24], loop[24];
        td_format_duration(s.frames, rate, length);
        std::fprintf(out, "sequence %d: position %d, %s, %d frames", i, s.start_position, length,
                     s.frames);
        if (s.loop_start >= 0) {
            td_format_duration(s.loop_start, rate, intro);
            td_format_duration(s.frames - s.loop_start, rate, loop);
            std::fprintf(out, ", intro %s, loop %s", intro, loop);
        } else {
            std::fprintf(out, ", no loop");
        }
        std::fputc('\n', out);
    }
}

void print_samples(FILE* out, const uint8_t* image, uint32_t used)
{
    std::fprintf(out, " #  %-22s %6s %10s %11s %6s %8s  %s\n", "name", "length", "loop start",
                 "loop length", "volume", "finetune", "used by sequence 0");
    for (int32_t s = 1; s <= 31; s++) {
        const td_sample_fields f = td_sample_fields_of(image, s);
        std::fprintf(out, "%2d  %-22s %6d %10d %11d %6d %8d  %s\n", s,
                     td_printable(td_sample_name(image, s), td_name_bytes).c_str(), f.length,
                     f.loop_start, f.loop_length, f.volume, f.finetune,
                     (used >> s) & 1 ? "yes" : "no");
    }
}

}  // namespace

void td_format_duration(int32_t frames, int32_t rate, char (&text)[24])
{
    const int64_t ms = static_cast<int64_t>(frames) * 1000 / rate;
    std::snprintf(text, sizeof text, "%lld:%02lld.%03lld", static_cast<long long>(ms / 60000),
                  static_cast<long long>(ms / 1000 % 60), static_cast<long long>(ms % 1000));
}

void td_print_info(FILE* out, const uint8_t* image, const vex_sequence* sequences, int32_t count,
                   int32_t rate)
{
    print_header(out, image);
    print_sequences(out, sequences, count, rate);
    print_samples(out, image, count > 0 ? sequences[0].samples_used : 0);
}

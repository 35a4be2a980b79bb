#include "frontend/notes_csv.h"

#include <charconv>
#include <cstring>

const char td_notes_csv_header[] =
    "start_frame,end_frame,start_s,end_s,channel,sample,sample_name,note,period,pitch,volume\n";

namespace {

constexpr int32_t cached_periods = 4096;

char* put_int(char* p, int64_t value)
{
    // Most numbers of a row are small: the channel, sample, volume, period.
    if (value >= 0 && value < 10) {
        *p = static_cast<char>('0' + value);
        return p + 1;
    }
    if (value >= 0 && value < 100000) {
        char digits[5];
        int n = 0;
        auto v = static_cast<uint32_t>(value);
        do {
            digits[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        while (n > 0)
            *p++ = digits[--n];
        return p;
    }
    return std::to_chars(p, p + 24, value).ptr;
}

// frame / rate with 6 decimals, as printf's "%.6f" shows the double. The
// quotient is rounded exactly in integers, which gives the same digits
// unless it lies halfway between two: the double is then within far less
// than the distance to the next halfway point, below 2^32 frames.
char* put_seconds(char* p, int64_t frame, int32_t rate)
{
    const double seconds = static_cast<double>(frame) / rate;
    if (frame < 0 || frame >= (int64_t{1} << 32))
        return std::to_chars(p, p + 40, seconds, std::chars_format::fixed, 6).ptr;
    const int64_t micro = frame * 1000000;
    const int64_t q = micro / rate, r = micro % rate;
    if (2 * r == rate)
        return std::to_chars(p, p + 40, seconds, std::chars_format::fixed, 6).ptr;
    const int64_t rounded = q + (2 * r > rate ? 1 : 0);
    p = put_int(p, rounded / 1000000);
    *p++ = '.';
    int64_t fraction = rounded % 1000000;
    for (int i = 5; i >= 0; i--) {
        p[i] = static_cast<char>('0' + fraction % 10);
        fraction /= 10;
    }
    return p + 6;
}

// A frame's two columns as text, its number and its seconds, kept by
// frame: the notes of every channel start and end on the same few frames.
struct frame_text {
    int64_t frame = -1;
    int32_t rate = 0;
    uint8_t number_length = 0, seconds_length = 0;
    char number[24], seconds[40];
};

const frame_text& text_of(int64_t frame, int32_t rate)
{
    static frame_text cache[256];
    frame_text& t = cache[static_cast<uint64_t>(frame) & 255];
    if (t.frame != frame || t.rate != rate) {
        t.frame = frame;
        t.rate = rate;
        t.number_length = static_cast<uint8_t>(put_int(t.number, frame) - t.number);
        t.seconds_length = static_cast<uint8_t>(put_seconds(t.seconds, frame, rate) - t.seconds);
    }
    return t;
}

// A column and the comma after it. The text is copied whole, the row
// going on from where it ends: the row has room for it.
template <size_t size>
char* put_column(char* p, const char (&text)[size], uint8_t length)
{
    std::memcpy(p, text, size);
    p[length] = ',';
    return p + length + 1;
}

// "%.3f" of the pitch, kept by period: a song has few of them.
struct pitch_text {
    char text[15];
    uint8_t length;  // 0 until made
};

char* put_pitch(char* p, int32_t period)
{
    static pitch_text cache[cached_periods];
    if (period <= 0)
        return p;
    if (period >= cached_periods)
        return std::to_chars(p, p + 40, td_note_pitch(period), std::chars_format::fixed, 3).ptr;
    pitch_text& t = cache[period];
    if (t.length == 0) {
        char* end = std::to_chars(t.text, t.text + sizeof t.text, td_note_pitch(period),
                                  std::chars_format::fixed, 3)
                        .ptr;
        t.length = static_cast<uint8_t>(end - t.text);
    }
    std::memcpy(p, t.text, sizeof t.text);
    return p + t.length;
}

// The tracker's name of note index n: letter, '-' or '#', then the octave
// n / 12 - 1 (36 is C-2, 0 is C--1); nothing for -1.
char* put_note_name(char* p, int32_t n)
{
    static const char names[12][3] = {"C-", "C#", "D-", "D#", "E-", "F-",
                                      "F#", "G-", "G#", "A-", "A#", "B-"};
    if (n < 0)
        return p;
    *p++ = names[n % 12][0];
    *p++ = names[n % 12][1];
    return put_int(p, n / 12 - 1);
}

}  // namespace

void td_notes_csv_row(std::string& out, const vex_note& n, const td_note_names& names,
                      int32_t rate)
{
    // Below 128 bytes before the name and after it, 64 more for the whole
    // copies.
    constexpr size_t longest_name = 64;
    char row[256 + longest_name];
    char* p = row;
    // The end's lookup may take the start's place in the cache.
    const frame_text start = text_of(n.start_frame, rate);
    const frame_text& end = text_of(n.end_frame, rate);
    p = put_column(p, start.number, start.number_length);
    p = put_column(p, end.number, end.number_length);
    p = put_column(p, start.seconds, start.seconds_length);
    p = put_column(p, end.seconds, end.seconds_length);
    p = put_int(p, n.channel + 1);
    *p++ = ',';
    p = put_int(p, n.sample);
    *p++ = ',';
    const std::string& name = names[static_cast<size_t>(n.sample) & 31];
    if (name.size() <= longest_name) {
        std::memcpy(p, name.data(), name.size());
        p += name.size();
    } else {
        out.append(row, static_cast<size_t>(p - row));
        out += name;
        p = row;
    }
    *p++ = ',';
    p = put_note_name(p, n.note);
    *p++ = ',';
    p = put_int(p, n.period);
    *p++ = ',';
    p = put_pitch(p, n.period);
    *p++ = ',';
    p = put_int(p, n.volume);
    *p++ = '\n';
    out.append(row, static_cast<size_t>(p - row));
}

std::string td_notes_csv(const td_note_list& list, const td_note_names& names, int32_t rate)
{
    std::string out = td_notes_csv_header;
    for (const vex_note& n : td_notes_in_order(list))
        td_notes_csv_row(out, n, names, rate);
    return out;
}

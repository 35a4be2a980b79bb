#include "frontend/tunedumps.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "frontend/render_parts.h"
#include "frontend/tunedump_options.h"
#include "tunedump/tunedump.h"

static uint8_t modfile[VEX_IMAGE_BUFFER];

static void put_lsb(uint32_t value, int bytes, FILE* file)
{
    for (int i = 0; i < bytes; i++)
        std::fputc(static_cast<int>((value >> (8 * i)) & 0xFF), file);
}

void lsb32(uint32_t value, FILE* file) { put_lsb(value, 4, file); }
void lsb16(uint32_t value, FILE* file) { put_lsb(value, 2, file); }

// The whole output at once, as the streamed writer would give it.
int32_t writewav(const char* path, const void* data, uint32_t bytes, uint32_t rate)
{
    FILE* file = std::fopen(path, "wb");
    if (file == nullptr)
        return -1;
    uint8_t header[wav_header_bytes];
    wav_header(header, bytes, rate);
    bool ok = std::fwrite(header, 1, sizeof header, file) == sizeof header;
    ok = std::fwrite(data, 1, bytes, file) == bytes && ok;
    ok = std::fclose(file) == 0 && ok;
    if (ok)
        return 0;
    wav_remove_if_regular(path);
    return -1;
}

// The left values of one block from the render pump.
static void render_block(int16_t* output)
{
    mix_newhand_left(0, output, td_blockframes * 2);
}

int32_t td_render(int16_t* output, int32_t target)
{
    int32_t count = 0;
    for (; count < target; count += td_blockframes)
        render_block(output + count);
    return count;
}

void td_stream_samples(wav_out& out, int32_t count)
{
    constexpr int32_t piece_samples = static_cast<int32_t>(wav_piece_bytes / 2);
    static_assert(piece_samples % td_blockframes == 0);
    for (int32_t done = 0; done < count && !wav_writer_failed();) {
        int16_t* piece = reinterpret_cast<int16_t*>(wav_writer_piece());
        // A whole piece in one call: the pump then mixes once per replay
        // tick instead of also at every block boundary, with the same values.
        const int32_t n = count - done < piece_samples ? count - done : piece_samples;
        mix_newhand_left(0, piece, n * 2);
        wav_writer_submit(out, reinterpret_cast<uint8_t*>(piece), static_cast<size_t>(n) * 2);
        done += n;
    }
}

int32_t td_render_to(wav_out& out, int32_t target)
{
    const int32_t count = (target + td_blockframes - 1) / td_blockframes * td_blockframes;
    const int parts = td_parts_for(out, count);
    if (parts > 1)
        return td_render_in_parts(out, count, parts);
    wav_writer_start();
    wav_writer_header(out, static_cast<uint32_t>(count) * 2, td_rate);
    td_stream_samples(out, count);
    wav_writer_finish();
    return wav_close(out);
}

// False when the file cannot be opened or read (a folder opens, but does
// not read).
bool td_read_module(const char* path)
{
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr)
        return false;
    // The image starts out zero; only a later read must clear what an
    // earlier module left. Clearing pages that were never touched would
    // fault every one of them in.
    static bool used = false;
    if (used)
        std::memset(modfile, 0, sizeof modfile);
    used = true;
    std::fread(modfile, 1, VEX_IMAGE_SIZE, file);
    const bool read_error = std::ferror(file) != 0;
    std::fclose(file);
    return !read_error;
}

const uint8_t* td_module_image() { return modfile; }

bool td_start_player()
{
    if (vex_init(td_rate, td_mixblock) != 0)
        return true;
    std::fputs("VEX failure\n", stderr);
    return false;
}

// A sequence number is plain decimal digits naming one of count sequences.
static bool parse_sequence(const char* text, int32_t count, int32_t* number)
{
    int64_t n = 0;
    for (const char* c = text; *c != 0; c++) {
        if (*c < '0' || *c > '9' || n >= count)
            return false;
        n = n * 10 + (*c - '0');
    }
    if (*text == 0 || n >= count)
        return false;
    *number = static_cast<int32_t>(n);
    return true;
}

// Where to start and how many samples to render when the length or the
// start depends on the song; false after a message.
static bool choose_sequence(const char* song, bool whole_song, int32_t* start, int32_t* target)
{
    vex_sequence sequences[VEX_MAX_SEQUENCES];
    const int32_t count = vex_sequences(modfile, sequences, VEX_MAX_SEQUENCES);
    if (count == 0) {
        std::fprintf(stderr, "%s\n", pt_errorstr);
        return false;
    }
    int32_t n = 0;
    if (song != nullptr && !parse_sequence(song, count, &n)) {
        std::fprintf(stderr, "tunedump: --song %s: this module has %d sequence%s (0..%d)\n", song,
                     count, count == 1 ? "" : "s", count - 1);
        return false;
    }
    *start = sequences[n].start_position;
    if (whole_song)
        *target = sequences[n].frames;
    return true;
}

// With "-" for the file, audio goes to standard output and every message
// to standard error.
static bool refuse_terminal(bool to_stdout)
{
    if (!to_stdout || isatty(STDOUT_FILENO) == 0)
        return false;
    std::fputs("Refusing to write audio to a terminal.\n", stderr);
    return true;
}

static int32_t write_output(const char* dest, bool to_stdout, int32_t target, FILE* messages)
{
    wav_out out;
    if (to_stdout) {
        // A reader that stops early is an ending, not a crash.
        std::signal(SIGPIPE, SIG_IGN);
        wav_use(out, stdout);
    } else {
        wav_open(out, dest);
    }
    if (td_render_to(out, target) == 0)
        return 0;
    if (!to_stdout || out.error != EPIPE)
        std::fputs("File error.\n", messages);
    return 1;
}

bool td_load_and_start(const char* seconds, const char* song, int32_t* target)
{
    const bool whole_song = std::strcmp(seconds, "song") == 0;
    const int32_t count = whole_song ? 1 : std::atoi(seconds);
    if (count < 1 || count > td_maxseconds) {
        std::fputs("seconds too big or small or something\n", stderr);
        return false;
    }
    *target = count * td_rate;
    int32_t start = 0;
    if ((whole_song || song != nullptr) && !choose_sequence(song, whole_song, &start, target))
        return false;
    if (vex_get(modfile) == 0) {
        std::fprintf(stderr, "%s\n", pt_errorstr);
        return false;
    }
    vex_start_at(start);
    vex_start(1);
    return true;
}

int td_render_main(const char* source, const char* samplenum, const char* seconds,
                   const char* dest, const char* song)
{
    const bool to_stdout = std::strcmp(dest, "-") == 0;
    FILE* messages = to_stdout ? stderr : stdout;
    if (refuse_terminal(to_stdout) || !td_start_player())
        return 1;
    if (!td_read_module(source)) {
        std::fputs("Error opening input file.\n", messages);
        return 1;
    }
    const int32_t solo = std::atoi(samplenum);
    if (solo < 0 || solo > 31) {
        std::fputs("sample number must be 0..31. Number 0 means, do not solo anything. \n",
                   stderr);
        return 1;
    }
    mix_solosample = solo;
    int32_t target = 0;
    if (!td_load_and_start(seconds, song, &target))
        return 1;
    if (write_output(dest, to_stdout, target, messages) != 0)
        return 1;
    vex_close();
    return 0;
}

int td_main(int argc, char** argv)
{
    if (argc >= 2 && std::strncmp(argv[1], "--", 2) == 0)
        return td_options_main(argc, argv);
    if (argc != 5) {
        std::puts("tunedump source.mod samplenum seconds dest.wav");
        return 1;
    }
    return td_render_main(argv[1], argv[2], argv[3], argv[4], nullptr);
}

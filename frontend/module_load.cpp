#include "frontend/module_load.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tunedump/tunedump.h"

static uint8_t modfile[VEX_IMAGE_BUFFER];

bool td_start_player(const td_render_options& options)
{
    if (vex_init(options.rate, td_mixblock) == 0) {
        std::fputs("VEX failure\n", stderr);
        return false;
    }
    if (options.stereo >= 0)
        vex_set_stereo(options.stereo);
    return true;
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

void td_place_module(const uint8_t* bytes, size_t size)
{
    const size_t n = size < VEX_IMAGE_SIZE ? size : VEX_IMAGE_SIZE;
    if (n > 0)
        std::memcpy(modfile, bytes, n);
    std::memset(modfile + n, 0, sizeof modfile - n);
}

const uint8_t* td_module_image() { return modfile; }

namespace {

// A sequence number is plain decimal digits naming one of count sequences.
bool parse_sequence(const char* text, int32_t count, int32_t* number)
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

// Where to start and how many frames to render when the length or the
// start depends on the song; false after a message.
bool choose_sequence(const char* song, bool whole_song, int32_t loops, int32_t* start,
                     int32_t* frames)
{
    vex_sequence sequences[VEX_MAX_SEQUENCES];
    const int32_t count = vex_sequences_looped(modfile, sequences, VEX_MAX_SEQUENCES, loops);
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
        *frames = sequences[n].frames;
    return true;
}

}  // namespace

bool td_load_and_start(const char* seconds, const char* song, const td_render_options& options,
                       int32_t* frames)
{
    const bool whole_song = std::strcmp(seconds, "song") == 0;
    const int32_t count = whole_song ? 1 : std::atoi(seconds);
    if (count < 1 || count > td_maxseconds) {
        std::fputs("seconds too big or small or something\n", stderr);
        return false;
    }
    int32_t target = count * options.rate;
    int32_t start = 0;
    if ((whole_song || song != nullptr) &&
        !choose_sequence(song, whole_song, options.loops, &start, &target))
        return false;
    if (vex_get(modfile) == 0) {
        std::fprintf(stderr, "%s\n", pt_errorstr);
        return false;
    }
    vex_start_at(start);
    vex_start(1);
    *frames = td_whole_blocks(target);
    return true;
}

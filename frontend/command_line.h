// The command line, parsed into a request: options first (getopt_long, so
// that "song.mod -1 1 out.wav" still reads -1 as the sample number), then
// the arguments of the form.
#pragma once
#include <cstdint>
#include <string>

enum class td_form { render, stems, info, help, version, dataset, dataset_manifest };
enum class td_format { automatic, wav, flac };

// How a render sounds and is stored; the defaults give the design's mono
// WAV at 44,100 Hz.
struct td_render_options {
    int32_t stereo = -1;  // separation 0..100, or -1 for the left side alone
    int32_t rate = 44100;
    td_format format = td_format::automatic;  // by the destination's name
    int32_t flac_level = 5;
    int32_t loops = 1;
    int32_t fade_seconds = 0;
};

struct td_request {
    td_form form = td_form::render;
    bool any_option = false;
    // render: source samplenum seconds dest; stems: source seconds outdir;
    // info: source; dataset: source (INDIR) dest (OUTDIR) and seconds
    // (--seconds, "song" by default); dataset_manifest: dest
    const char* source = nullptr;
    const char* samplenum = nullptr;
    const char* seconds = nullptr;
    const char* dest = nullptr;
    const char* song = nullptr;  // --song N, or null
    td_render_options render;
    // --notes: off, beside the destination (empty), or into this file
    bool notes = false;
    std::string notes_file;
    // --dataset: worker processes (0: one per processor), and --shard I/N
    // (count 0: not sharded)
    int32_t jobs = 0;
    int32_t shard_index = 0;
    int32_t shard_count = 0;
    bool seconds_option = false;  // --seconds was given
};

// Fills request from the command line; false after a message, with the
// exit status in *status.
bool td_parse_command_line(int argc, char** argv, td_request& request, int* status);
// What --help prints.
extern const char* const td_help_text;

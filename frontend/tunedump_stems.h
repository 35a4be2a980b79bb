// Every instrument's stem in one pass: outdir/mix.wav and one
// outdir/NN-name.wav (or .flac) for every sample the render sets on a
// channel, each exactly the file of the solo render of that sample.
#pragma once
#include <cstdint>

#include "frontend/output_format.h"
#include "frontend/render.h"
#include "frontend/safe_name.h"  // td_stem_name

// What was heard in one file of a stems run, in 16-bit steps.
struct td_level {
    int32_t peak = 0;          // the largest |value|
    int64_t sum_squares = 0;   // over every value of every frame
};

// What a stems run measured: levels per file (0 is the mix, 1..31 the
// samples' stems), and for each sample the channels its notes played on and
// how many notes it had (with notes).
struct td_stems_stats {
    td_level levels[32];
    // The largest |mix - sum of the stems| over every value: what rounding
    // and clipping make of the sum.
    int32_t largest_difference = 0;
    uint32_t channels[32] = {};  // bit c: a note on channel c (from 0)
    int32_t notes[32] = {};
};

// Where a stems run puts its files, below outdir; the defaults are those of
// --stems.
struct td_stems_layout {
    std::string stems_dir;          // a subfolder for the stems, or "" for outdir
    std::string midi_dir = "MIDI";  // the subfolder for each stem's MIDI file
    bool quiet = false;             // no line printed, not even "File error."
    td_stems_stats* stats = nullptr;  // filled in when given
};

// Renders the loaded and started module into outdir as shape says, in the
// form's format; with notes also notes.csv, notes.mid and one
// MIDI/NN-name.mid per stem. Prints one line per file. 0 on success.
// On failure "File error." and outdir as it was: files this run would have
// replaced untouched, files it would have created absent, the folder
// removed only if this run made it. Stems are published first and mix.wav
// last, so a new mix.wav marks a complete set.
int td_write_stems(const char* outdir, const td_render_shape& shape, const td_output_form& form,
                   bool notes = false, const td_stems_layout& layout = td_stems_layout{});
// The path of sample n's stem (1..31, or 0 for the mix) below outdir, as
// td_write_stems names it.
std::string td_stem_path(const td_stems_layout& layout, int32_t n, const char* extension);

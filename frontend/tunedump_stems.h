// Every instrument's stem in one pass: outdir/mix.wav and one
// outdir/NN-name.wav (or .flac) for every sample the render sets on a
// channel, each exactly the file of the solo render of that sample.
#pragma once
#include <cstdint>

#include "frontend/output_format.h"
#include "frontend/render.h"
#include "frontend/safe_name.h"  // td_stem_name

// Renders the loaded and started module into outdir as shape says, in the
// spec's format; with notes also notes.csv, notes.mid and one
// MIDI/NN-name.mid per stem. Prints one line per file. 0 on success.
// On failure "File error." and outdir as it was: files this run would have
// replaced untouched, files it would have created absent, the folder
// removed only if this run made it. Stems are published first and mix.wav
// last, so a new mix.wav marks a complete set.
int td_write_stems(const char* outdir, const td_render_shape& shape, const td_output_spec& spec,
                   bool notes = false);

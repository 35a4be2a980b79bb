// Every instrument's stem in one pass: outdir/mix.wav and one
// outdir/NN-name.wav (or .flac) for every sample the render sets on a
// channel, each exactly the file of the solo render of that sample.
#pragma once
#include <cstdint>
#include <string>

#include "frontend/output_format.h"
#include "frontend/render.h"

// The file name of sample n's stem: NN, then its name as far as it is safe
// in a path (letters, digits, '-', '_' and '.'; anything else one '_';
// no leading or trailing '_' or '.'; at most 40 characters), then the
// extension.
std::string td_stem_name(int32_t n, const uint8_t* name, int32_t bytes,
                         const char* extension = ".wav");
// Renders the loaded and started module into outdir as shape says, in the
// spec's format; with notes also notes.csv, notes.mid and one
// MIDI/NN-name.mid per stem. Prints one line per file. 0 on success.
// On failure "File error." and outdir as it was: files this run would have
// replaced untouched, files it would have created absent, the folder
// removed only if this run made it. Stems are published first and mix.wav
// last, so a new mix.wav marks a complete set.
int td_write_stems(const char* outdir, const td_render_shape& shape, const td_output_spec& spec,
                   bool notes = false);

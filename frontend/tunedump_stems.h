// Every instrument's stem in one pass: outdir/mix.wav and one
// outdir/NN-name.wav for every sample the render sets on a channel, each
// exactly the file of the solo render of that sample.
#pragma once
#include <cstdint>
#include <string>

// The file name of sample n's stem: NN, then its name as far as it is safe
// in a path (letters, digits, '-', '_' and '.'; anything else one '_';
// no leading or trailing '_' or '.'; at most 40 characters).
std::string td_stem_name(int32_t n, const uint8_t* name, int32_t bytes);
// Renders target samples of the loaded and started module into outdir;
// prints one line per file. 0 on success; on failure "File error." and
// nothing this run wrote is left behind.
int td_write_stems(const char* outdir, int32_t target);
// tunedump [--song N] --stems source.mod seconds outdir; song is N or null.
int td_stems_main(const char* source, const char* seconds, const char* outdir, const char* song);

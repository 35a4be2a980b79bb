// Every instrument's stem in one pass: outdir/mix.wav and one
// outdir/NN-name.wav (or other files than WAV, by td_stems_format) for every sample the render sets on a channel, each
// exactly the file of the solo render of that sample.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "frontend/output_sink.h"

// How each file of a stems run is made: the end of its name and its sink
// (a WAV file when make_sink is empty).
struct td_stems_format {
    std::string extension = ".wav";
    std::function<std::unique_ptr<td_sink>(const std::string& path, const td_audio& audio)>
        make_sink;
};

// The file name of sample n's stem: NN, then its name as far as it is safe
// in a path (letters, digits, '-', '_' and '.'; anything else one '_';
// no leading or trailing '_' or '.'; at most 40 characters), then extension.
std::string td_stem_name(int32_t n, const uint8_t* name, int32_t bytes,
                         const std::string& extension = ".wav");
// Renders frames frames (whole blocks) of the loaded and started module into
// outdir, channels values a frame; prints one line per file. 0 on success.
// On failure "File error." and outdir as it was: files this run would have
// replaced untouched, files it would have created absent, the folder
// removed only if this run made it. Stems are published first and mix.wav
// last, so a new mix.wav marks a complete set.
int td_write_stems(const char* outdir, int32_t frames, int32_t channels,
                   const td_stems_format& format = {});

// The command-line front end: argument checks, render loop, WAV writer.
#pragma once
#include <cstdint>
#include <cstdio>

#include "frontend/wav_stream.h"

constexpr int32_t td_rate = 44100;
constexpr int32_t td_mixblock = 4096;        // frames the mixer may produce at once
constexpr int32_t td_blockframes = 1024;     // frames pulled from the pump per block
constexpr int32_t td_maxseconds = 1200;
constexpr int32_t td_maxsamples =
    (td_maxseconds * td_rate + td_blockframes - 1) / td_blockframes * td_blockframes;

// The module image: the file's first bytes, zero behind them.
extern uint8_t modfile[];
// Reads the module file into modfile; false when it cannot be opened or read.
bool td_read_module(const char* path);
void lsb32(uint32_t value, FILE* file);
void lsb16(uint32_t value, FILE* file);
// 0 on success; -1 when the file cannot be created or written. A file that
// was created but could not be written whole is removed if it is a regular
// file.
int32_t writewav(const char* path, const void* data, uint32_t bytes, uint32_t rate);
// Renders at least target mono samples (whole blocks of the left channel)
// into output; returns the number written.
int32_t td_render(int16_t* output, int32_t target);
// The same samples streamed into out after the WAV header, then closes out:
// 0 when the whole file was written, else -1 (an incomplete file is gone).
int32_t td_render_to(wav_out& out, int32_t target);
int td_main(int argc, char** argv);

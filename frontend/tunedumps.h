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

void lsb32(uint32_t value, FILE* file);
void lsb16(uint32_t value, FILE* file);
// 0 on success; -1 when the file cannot be created or written. A file that
// was created but could not be written whole is removed if it is a regular
// file.
int32_t writewav(const char* path, const void* data, uint32_t bytes, uint32_t rate);
// Renders at least target mono samples (whole blocks of the left channel)
// into output; returns the number written.
int32_t td_render(int16_t* output, int32_t target);
// count samples (whole blocks) from the render pump into the writer's
// pieces for out, without a header; stops early once a write failed.
void td_stream_samples(wav_out& out, int32_t count);
// The same samples streamed into out after the WAV header, then closes out:
// 0 when the whole file was written, else -1 (an incomplete file is gone).
int32_t td_render_to(wav_out& out, int32_t target);
// The module file's first bytes into the module image (zero past its end);
// false when it cannot be opened or read.
bool td_read_module(const char* path);
const uint8_t* td_module_image();
// After the module was read: checks seconds (1..1200, or "song" for the
// length of the sequence), picks the sequence (song is the --song argument,
// or null), loads and starts the module; false after a message.
bool td_load_and_start(const char* seconds, const char* song, int32_t* target);
// vex_init at the front end's rate and block size; false after "VEX failure".
bool td_start_player();
// The four-argument form; song is the --song argument, or null.
int td_render_main(const char* source, const char* samplenum, const char* seconds,
                   const char* dest, const char* song);
int td_main(int argc, char** argv);

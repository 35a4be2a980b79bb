// Bringing up the player, reading the module file and choosing what to
// render: the one way every form of the command line starts.
#pragma once
#include <cstddef>
#include <cstdint>

#include "frontend/command_line.h"

constexpr int32_t td_rate = 44100;  // the design's rate, the default
constexpr int32_t td_mixblock = 4096;     // frames the mixer may produce at once
constexpr int32_t td_blockframes = 1024;  // a render is whole blocks of this many frames
constexpr int32_t td_maxseconds = 1200;

// vex_init at the options' rate and the front end's block size, stereo
// panning where asked for; false after "VEX failure".
bool td_start_player(const td_render_options& options = td_render_options{});
// The module file's first bytes into the module image (zero past its end);
// false when it cannot be opened or read.
bool td_read_module(const char* path);
// size bytes of a module file already in memory into the module image, as
// td_read_module would read them (at most the image's size).
void td_place_module(const uint8_t* bytes, size_t size);
const uint8_t* td_module_image();
// After the module was read: checks seconds (1..1200, or "song" for the
// length of the sequence over the options' loops), picks the sequence (song
// is the --song argument, or null), loads and starts the module. *frames is
// the render's length at the options' rate in whole blocks. False after a
// message.
bool td_load_and_start(const char* seconds, const char* song, const td_render_options& options,
                       int32_t* frames);
// frames rounded up to whole blocks.
constexpr int32_t td_whole_blocks(int32_t frames)
{
    return (frames + td_blockframes - 1) / td_blockframes * td_blockframes;
}

// A long render into a regular file, split into parts that render side by
// side, one process each: every part but the first moves the song on to
// where it starts without rendering, then writes its samples at their place
// in the file. The bytes are those of one render from start to end.
#pragma once
#include <cstdint>

#include "frontend/wav_stream.h"

// How many parts: 0 lets td_parts_for choose (one per processor for long
// renders); tests set it to force a split.
extern int td_render_parts;
// The parts for count samples into out: 1 where out is a stream or not a
// regular file, or the render is short.
int td_parts_for(const wav_out& out, int32_t count);
// Header and count samples into out in parts; 0 when every part reached
// the file, else -1 and the file is gone.
int32_t td_render_in_parts(wav_out& out, int32_t count, int parts);

// The render loop: frames from the render pump into a sink, a piece at a
// time, faded at the end where asked.
#pragma once
#include <cstdint>

#include "frontend/output_sink.h"

// What a render gives: frames (whole blocks) of channels values each (1 for
// the left side of the mix, 2 for both) at rate, the last fade_frames of
// them faded out.
struct td_render_shape {
    int32_t frames = 0;
    int32_t channels = 1;
    int32_t rate = 44100;
    int32_t fade_frames = 0;
};

// The fade of fade_seconds at rate over a render of frames frames: at most
// the whole render.
int32_t td_fade_frames(int32_t fade_seconds, int32_t rate, int32_t frames);
// Fades count frames of values (channels each), frames first.. of the
// render: frame k of the last L becomes value x (L - 1 - k) / L, truncated
// toward zero, so the last frame is 0 and every machine gives the same.
void td_fade(int16_t* values, const td_render_shape& shape, int32_t first, int32_t count);
// Renders frames first .. first + count of the started module (which has
// reached frame first) into sink; stops early once the sink failed. Calls
// after_piece, where given, after each piece.
void td_render_frames(td_sink& sink, const td_render_shape& shape, int32_t first, int32_t count,
                      void (*after_piece)() = nullptr);

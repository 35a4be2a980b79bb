#include "frontend/render.h"

#include <algorithm>

#include "tunedump/tunedump.h"

int32_t td_fade_frames(int32_t fade_seconds, int32_t rate, int32_t frames)
{
    return static_cast<int32_t>(std::min<int64_t>(int64_t{fade_seconds} * rate, frames));
}

void td_fade(int16_t* values, const td_render_shape& shape, int32_t first, int32_t count)
{
    const int64_t length = shape.fade_frames;
    const int32_t fade_start = shape.frames - shape.fade_frames;
    for (int32_t f = std::max(first, fade_start); f < first + count; f++) {
        const int64_t k = f - fade_start;
        int16_t* frame = values + static_cast<int64_t>(f - first) * shape.channels;
        for (int32_t c = 0; c < shape.channels; c++)
            frame[c] = static_cast<int16_t>(frame[c] * (length - 1 - k) / length);
    }
}

void td_render_frames(td_sink& sink, const td_render_shape& shape, int32_t first, int32_t count,
                      void (*after_piece)())
{
    const int32_t piece_frames = sink.piece_frames();
    for (int32_t done = 0; done < count && !sink.failed();) {
        int16_t* piece = sink.piece();
        // A whole piece in one call: the pump then mixes once per replay
        // tick instead of also at every block boundary, with the same values.
        const int32_t n = std::min(count - done, piece_frames);
        if (shape.channels == 1)
            mix_newhand_left(0, piece, n * 2);
        else
            mix_newhand(0, piece, n * 4);
        td_fade(piece, shape, first + done, n);
        sink.put(piece, n);
        done += n;
        if (after_piece != nullptr)
            after_piece();
    }
}

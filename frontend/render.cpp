#include "frontend/render.h"

#include "tunedump/tunedump.h"

void td_render_frames(td_sink& sink, int32_t frames, int32_t channels)
{
    const int32_t piece_frames = sink.piece_frames();
    for (int32_t done = 0; done < frames && !sink.failed();) {
        int16_t* piece = sink.piece();
        // A whole piece in one call: the pump then mixes once per replay
        // tick instead of also at every block boundary, with the same values.
        const int32_t n = frames - done < piece_frames ? frames - done : piece_frames;
        if (channels == 1)
            mix_newhand_left(0, piece, n * 2);
        else
            mix_newhand(0, piece, n * 4);
        sink.put(piece, n);
        done += n;
    }
}

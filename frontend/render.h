// The render loop: frames from the render pump into a sink, a piece at a
// time.
#pragma once
#include <cstdint>

#include "frontend/output_sink.h"

// Renders frames frames (whole blocks) of the started module into sink with
// channels values a frame: 1 for the left side of the mix, 2 for both.
// Stops early once the sink failed.
void td_render_frames(td_sink& sink, int32_t frames, int32_t channels);

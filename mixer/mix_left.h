// The left values alone, for a caller that keeps nothing else (the front
// end writes the left channel): the same values sd_mix_stereo gives on the
// left, without rendering or converting the right side.
#pragma once
#include <cstdint>

// Whether the buses are as set up: every sample's voices into bus 0, bus 0
// alone into the output bus, no stems. Only then does sd_mix_left apply.
bool mix_left_applies();
// One block of frames left values into destination, one per frame.
void sd_mix_left(int16_t* destination, int32_t frames);
// Moves the voices on as a block of frames would, mixing nothing.
void sd_mix_skip(int32_t frames);

// The player interface and render pump, with the state they keep.
#pragma once
#include <cstdint>

#include "tunedump/tunedump.h"

extern int32_t laite;
extern int32_t tix;
extern int32_t screenHz;
extern int32_t samples_per_tick;
extern int32_t samples_left_before_tick;
extern int32_t vex_rate;
extern int64_t vex_frames;

// Callback registry.
constexpr int32_t vex_maxcallbacks = 1024;
extern void* callbacks[vex_maxcallbacks];
extern int32_t cbhandles[vex_maxcallbacks];
extern int32_t callbackcount;
extern int32_t curhandle;

// Frames of one replay tick at the given rate and tempo: a tick lasts
// 2.5 / tempo seconds. At least one frame, so that a rate too low to hold a
// tick still moves the song on.
constexpr int32_t vex_tickframes_at(int32_t rate, int32_t tempo)
{
    const int64_t frames = static_cast<int64_t>(rate) * 125 / (tempo * 50);
    return frames > 0 ? static_cast<int32_t>(frames) : 1;
}
// Frames of one replay tick at the rate of the last vex_init.
inline int32_t vex_tickframes(int32_t tempo) { return vex_tickframes_at(vex_rate, tempo); }

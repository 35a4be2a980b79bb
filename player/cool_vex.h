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

// Frames of one replay tick at the given tempo.
constexpr int32_t vex_tickframes(int32_t tempo) { return 5512500 / (tempo * 50); }

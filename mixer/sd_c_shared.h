// What the inner loops of every instruction set share: the interpolation,
// the stepping of a voice through its runs, and the conversion to 16 bits.
// Static, so that each file keeps copies of its own: the linker never takes
// one file's copy for another's.
#pragma once
#include <cstdint>

#include "mixer/sd_mix.h"

// 32.32 stepping: the fraction carries into the whole part.
static inline void long_addition_body(uint32_t* whole, uint32_t* fraction,
                                      const int32_t* step_whole, const uint32_t* step_fraction)
{
    *whole += static_cast<uint32_t>(*step_whole);
    const uint32_t old = *fraction;
    *fraction += *step_fraction;
    if (*fraction < old)
        *whole += 1;
}

// Advances one frame and applies the loop or the end. Returns false when a
// one-shot voice has just ended.
static inline bool advance_voice(mix_channel* v)
{
    long_addition_body(&v->position, &v->position_fraction, &v->step, &v->step_fraction);
    if (v->loop_enabled) {
        if (v->position > v->loop_end)
            v->position = v->loop_start + 1;
        return true;
    }
    if (v->position >= v->length) {
        v->position = 0;
        v->step = 0;
        v->step_fraction = 0;
        v->volume = 0;
        return false;
    }
    return true;
}

// The voice's value at a 32.32 position: linear interpolation between two
// neighbouring points, exact as an integer numerator over 2^23.
static inline double point_value(const int8_t* data, uint64_t p)
{
    const uint32_t pos = static_cast<uint32_t>(p >> 32);
    const int32_t w = static_cast<int32_t>((p >> 16) & 0xFFFF);
    const int32_t numerator = data[pos] * (65536 - w) + data[pos + 1] * w;
    return static_cast<double>(numerator) / 8388608.0;
}

// The interpolation numerator s0 x (65536 - w) + s1 x w, written as
// s0 x 65536 + (s1 - s0) x w: the same integer, one product fewer.
static inline int32_t numerator_at(const int8_t* data, uint64_t p)
{
    const uint32_t pos = static_cast<uint32_t>(p >> 32);
    const int32_t w = static_cast<int32_t>((p >> 16) & 0xFFFF);
    const int32_t s0 = data[pos];
    const int32_t s1 = data[pos + 1];
    return s0 * 65536 + (s1 - s0) * w;
}

// The numerators of a straight run: position p + (k + 1) x step for frame k.
static inline void run_numerators(const int8_t* data, uint64_t p, uint64_t step,
                                  int32_t* numerators, int32_t frames)
{
    for (int32_t k = 0; k < frames; k++) {
        p += step;
        numerators[k] = numerator_at(data, p);
    }
}

// Adds numerator x gain / 2^23 into both sides of each frame. A numerator
// has at most 24 significant bits and a gain 24, so numerator x (gain /
// 2^23) is the exact product that value x gain gives: the same double, and
// the same float once the sum is stored. A side whose gain is 0 adds only
// +0.0 or -0.0, which leaves a bus value as it is (a bus value is never
// -0.0: buses start at +0.0 and a sum of non-zero terms that cancels rounds
// to +0.0), so both sides are done together, in buffer order.
static inline void add_numerators(float* buffer, const int32_t* numerators, int32_t frames,
                                  double left, double right)
{
    for (int32_t k = 0; k < frames; k++) {
        const double v = numerators[k];
        buffer[2 * k] = static_cast<float>(static_cast<double>(buffer[2 * k]) + v * left);
        buffer[2 * k + 1] =
            static_cast<float>(static_cast<double>(buffer[2 * k + 1]) + v * right);
    }
}

constexpr int32_t run_chunk = 256;

// What a straight run adds into: a stereo bus, a stereo bus and a second
// one, or a one-sided bus of left values.
enum run_target { into_stereo, into_two, into_mono };

// second, where not null, gets the same values added as buffer.
static __attribute__((always_inline)) inline void mix_run_body(const int8_t* data, uint64_t p,
                                                               uint64_t step, float* buffer,
                                                               float* second, int32_t frames,
                                                               double left, double right)
{
    const double scaled_left = left / 8388608.0;
    const double scaled_right = right / 8388608.0;
    int32_t numerators[run_chunk];
    for (int32_t k = 0; k < frames; k += run_chunk) {
        const int32_t n = frames - k < run_chunk ? frames - k : run_chunk;
        run_numerators(data, p, step, numerators, n);
        add_numerators(buffer + 2 * k, numerators, n, scaled_left, scaled_right);
        if (second != nullptr)
            add_numerators(second + 2 * k, numerators, n, scaled_left, scaled_right);
        p += step * static_cast<uint64_t>(n);
    }
}

// Frame j of a group lies j x step past the first: its fraction is the
// first's plus that of j x step, modulo 2^32, and its point lies the whole
// part of j x step past the first's, one more where the fractions carried.
// A frame's two points are picked into the second and the top byte of its
// 32-bit lane; arithmetic shifts then give them their signs.
static inline void frames_apart(uint64_t step, uint32_t* fractions, uint32_t* picks,
                                uint32_t frames)
{
    for (uint32_t j = 0; j < frames; j++) {
        const uint64_t apart = step * j;
        fractions[j] = static_cast<uint32_t>(apart);
        const uint32_t point = static_cast<uint32_t>(apart >> 32);
        picks[j] = (point + 1) << 24 | 0x80u << 16 | point << 8 | 0x80u;
    }
}

static inline uint64_t position_of(const mix_channel* v)
{
    return (static_cast<uint64_t>(v->position) << 32) | v->position_fraction;
}

static inline void set_position(mix_channel* v, uint64_t p)
{
    v->position = static_cast<uint32_t>(p >> 32);
    v->position_fraction = static_cast<uint32_t>(p);
}

// How many of the next frames, at most wanted, advance to positions that
// stay at or below bound: a run with no wrap and no end inside. 0 where the
// straight 64-bit arithmetic could differ from the 32-bit stepping.
static inline int32_t frames_within(uint64_t p, uint64_t step, uint32_t bound, int32_t wanted)
{
    if (step >> 62 || bound >= 0x7FFFFFFFu || (p >> 32) >= 0x7FFFFFFFu)
        return 0;
    const uint64_t limit = (static_cast<uint64_t>(bound) + 1) << 32;
    if (p + step >= limit)
        return 0;
    if (step == 0)
        return wanted;
    const uint64_t inside = (limit - 1 - p) / step;
    return inside < static_cast<uint64_t>(wanted) ? static_cast<int32_t>(inside) : wanted;
}

// Adds value x gain into one frame of a bus, each side rounded on store.
static inline void add_frame(float* frame, double value, double left, double right)
{
    frame[0] = static_cast<float>(static_cast<double>(frame[0]) + value * left);
    frame[1] = static_cast<float>(static_cast<double>(frame[1]) + value * right);
}

static inline uint64_t step_of(const mix_channel* v)
{
    return (static_cast<uint64_t>(static_cast<uint32_t>(v->step)) << 32) | v->step_fraction;
}

// A voice's frames into a stereo bus (and second, where not null) or, with
// mono, into a one-sided bus of left values: its straight runs through
// runs(data, p, step, last, k, frames), for frames from frame k on.
template <bool mono, typename Runs>
static __attribute__((always_inline)) inline bool voice_frames(mix_channel* channel,
                                                              float* buffer, int32_t frames,
                                                              double left, double right,
                                                              float* second, const Runs& runs)
{
    const uint64_t step = step_of(channel);
    int32_t k = 0;
    while (k < frames) {
        // The straight part: positions that neither wrap nor end.
        // A one-shot voice plays positions below its length, a looping one
        // positions up to its loop end; an empty one-shot voice has none.
        const bool empty = !channel->loop_enabled && channel->length == 0;
        const uint32_t bound = channel->loop_enabled ? channel->loop_end : channel->length - 1;
        const int32_t run =
            empty ? 0 : frames_within(position_of(channel), step, bound, frames - k);
        if (run > 0) {
            const uint64_t p = position_of(channel);
            runs(channel->sample_data, p, step, bound + 1, k, run);
            set_position(channel, p + step * static_cast<uint64_t>(run));
            k += run;
            continue;
        }
        // One frame the plain way: it wraps, ends, or lies where the
        // straight arithmetic does not hold.
        if (!advance_voice(channel))
            return true;
        const double value = point_value(channel->sample_data, position_of(channel));
        if (mono) {
            buffer[k] = static_cast<float>(static_cast<double>(buffer[k]) + value * left);
        } else {
            add_frame(buffer + 2 * k, value, left, right);
            if (second != nullptr)
                add_frame(second + 2 * k, value, left, right);
        }
        k++;
    }
    return false;
}

// Clamping x to +-0.9999 first gives the same value as the table: 0.9999 x
// 32767 truncates to 32763. Written without branches so that it vectorises.
static inline int16_t converted(float value)
{
    double x = value;
    x = x > 0.9999 ? 0.9999 : x;
    x = x < -0.9999 ? -0.9999 : x;
    return static_cast<int16_t>(static_cast<int32_t>(x * 32767.0));
}

static inline void convert_body(const float* source, int16_t* destination, int32_t frames)
{
    for (int32_t k = 0; k < 2 * frames; k++)
        destination[k] = converted(source[k]);
}

static inline void sum_convert_body(const float* source, double gain, float* target,
                                    int16_t* destination, int32_t frames)
{
    for (int32_t k = 0; k < 2 * frames; k++) {
        const float sum =
            static_cast<float>(static_cast<double>(target[k]) + static_cast<double>(source[k]) * gain);
        target[k] = sum;
        destination[k] = converted(sum);
    }
}

// Right values of zero stay zero: 0 + 0 x gain rounds to +0.0.
static inline void sum_left_body(const float* source, double gain, float* target,
                                 int16_t* destination, int32_t frames)
{
    for (int32_t k = 0; k < frames; k++) {
        const float sum = static_cast<float>(static_cast<double>(target[2 * k]) +
                                             static_cast<double>(source[2 * k]) * gain);
        target[2 * k] = sum;
        target[2 * k + 1] = 0.0f;
        destination[2 * k] = converted(sum);
        destination[2 * k + 1] = 0;
    }
}

// A bus that is the only input of a cleared output bus: each value is
// 0 + value x gain rounded to a float, then converted; the source is left
// cleared. With left_only, the right values are all zero and stay so.
template <bool left_only>
static inline void take_body(float* source, double gain, int16_t* destination, int32_t frames)
{
    for (int32_t k = 0; k < frames; k++) {
        const float left = static_cast<float>(0.0 + static_cast<double>(source[2 * k]) * gain);
        source[2 * k] = 0.0f;
        destination[2 * k] = converted(left);
        if (left_only) {
            destination[2 * k + 1] = 0;
        } else {
            const float right =
                static_cast<float>(0.0 + static_cast<double>(source[2 * k + 1]) * gain);
            source[2 * k + 1] = 0.0f;
            destination[2 * k + 1] = converted(right);
        }
    }
}

// A one-sided bus the same way, into one value per frame.
static inline void take_mono_body(float* source, double gain, int16_t* destination,
                                  int32_t frames)
{
    for (int32_t k = 0; k < frames; k++) {
        const float value = static_cast<float>(0.0 + static_cast<double>(source[k]) * gain);
        source[k] = 0.0f;
        destination[k] = converted(value);
    }
}

#if defined(__x86_64__)
// The 256-bit loops (sd_c_avx2.cpp) and the 512-bit ones (sd_c_avx512.cpp).
// Each function carries its instruction set as a target attribute, here as
// where it is defined; the dispatch in sd_c.cpp calls one only where
// sd_c_wide or sd_c_widest say the processor has its instructions.
#define TD_FMA256 __attribute__((target("avx2,fma")))
#define TD_AVX512 __attribute__((target("avx2,avx512f,avx512bw,avx512dq,avx512vl")))

// The fused eights take steps up to 1.75 points a frame.
constexpr uint64_t eight_step_limit = 7ull << 30;

// Below 14/15 of a point per frame, sixteen frames' points lie in one
// 16-byte window.
constexpr uint64_t sixteen_step_limit = (14ull << 32) / 15;

__attribute__((target("avx2"))) void mix_run_avx2(const int8_t* data, uint64_t p, uint64_t step,
                                                  uint32_t last, float* buffer, float* second,
                                                  int32_t frames, double left, double right);
TD_AVX512 void mix_run_avx512(const int8_t* data, uint64_t p, uint64_t step, uint32_t last,
                              float* buffer, float* second, int32_t frames, double left,
                              double right);
// A whole voice into a mixer's buses in fused steps: into a one-sided bus
// with mono, otherwise into buffer and into second where not null.
bool mix_voice_fused_avx2(mix_channel* channel, float* buffer, int32_t frames, double left,
                          double right, float* second, bool mono);
bool mix_voice_fused_avx512(mix_channel* channel, float* buffer, int32_t frames, double left,
                            double right, float* second, bool mono);

__attribute__((target("avx2"))) void convert_avx2(const float* source, int16_t* destination,
                                                  int32_t frames);
__attribute__((target("avx2"))) void sum_convert_avx2(const float* source, double gain,
                                                      float* target, int16_t* destination,
                                                      int32_t frames);
__attribute__((target("avx2"))) void sum_left_avx2(const float* source, double gain,
                                                   float* target, int16_t* destination,
                                                   int32_t frames);
TD_AVX512 void sum_convert_avx512(const float* source, double gain, float* target,
                                  int16_t* destination, int32_t frames);
TD_AVX512 void sum_left_avx512(const float* source, double gain, float* target,
                               int16_t* destination, int32_t frames);
__attribute__((target("avx2"))) void take_avx2(float* source, double gain,
                                               int16_t* destination, int32_t frames,
                                               bool left_only);
TD_AVX512 void take_avx512(float* source, double gain, int16_t* destination, int32_t frames);
__attribute__((target("avx2"))) void take_mono_avx2(float* source, double gain,
                                                    int16_t* destination, int32_t frames);
TD_AVX512 void take_mono_avx512(float* source, double gain, int16_t* destination,
                                int32_t frames);
#endif

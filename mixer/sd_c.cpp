// The inner loops: 32.32 stepping, one voice into a float bus, float bus to
// clamped 16-bit.
#include <cmath>
#include <cstdint>

#include "mixer/sd_mix.h"

void long_addition(uint32_t* whole, uint32_t* fraction, const int32_t* step_whole,
                   const uint32_t* step_fraction)
{
    *whole += static_cast<uint32_t>(*step_whole);
    const uint32_t old = *fraction;
    *fraction += *step_fraction;
    if (*fraction < old)
        *whole += 1;
}

// Advances one frame and applies the loop or the end. Returns false when a
// one-shot voice has just ended.
static bool advance_voice(mix_channel* v)
{
    long_addition(&v->position, &v->position_fraction, &v->step, &v->step_fraction);
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

namespace {

// The voice's value at a 32.32 position: linear interpolation between two
// neighbouring points, exact as an integer numerator over 2^23.
inline double point_value(const int8_t* data, uint64_t p)
{
    const uint32_t pos = static_cast<uint32_t>(p >> 32);
    const int32_t w = static_cast<int32_t>((p >> 16) & 0xFFFF);
    const int32_t numerator = data[pos] * (65536 - w) + data[pos + 1] * w;
    return static_cast<double>(numerator) / 8388608.0;
}

// A side whose gain is 0 adds only +0.0 or -0.0. A bus value is never -0.0
// (buses start at +0.0 and a sum of non-zero terms that cancels rounds to
// +0.0), and x + (+-0.0) == x for every other x, so such a side can be left
// out without changing a bit.
template <bool left_side, bool right_side>
__attribute__((always_inline)) inline void mix_run(const int8_t* data, uint64_t p,
                                                   uint64_t step, float* buffer, int32_t frames,
                                                   double left, double right)
{
    for (int32_t k = 0; k < frames; k++) {
        p += step;
        const double value = point_value(data, p);
        if (left_side)
            buffer[2 * k] = static_cast<float>(static_cast<double>(buffer[2 * k]) + value * left);
        if (right_side)
            buffer[2 * k + 1] =
                static_cast<float>(static_cast<double>(buffer[2 * k + 1]) + value * right);
    }
}

// One plain function per variant: the wider instructions are picked at run
// time, and both compilers accept clones of a plain function.
#define TD_WIDE_CLONES __attribute__((target_clones("avx2", "default")))

TD_WIDE_CLONES void mix_run_both(const int8_t* data, uint64_t p, uint64_t step, float* buffer,
                                 int32_t frames, double left, double right)
{
    mix_run<true, true>(data, p, step, buffer, frames, left, right);
}

TD_WIDE_CLONES void mix_run_left(const int8_t* data, uint64_t p, uint64_t step, float* buffer,
                                 int32_t frames, double left, double right)
{
    mix_run<true, false>(data, p, step, buffer, frames, left, right);
}

TD_WIDE_CLONES void mix_run_right(const int8_t* data, uint64_t p, uint64_t step, float* buffer,
                                  int32_t frames, double left, double right)
{
    mix_run<false, true>(data, p, step, buffer, frames, left, right);
}

void mix_run_sides(const int8_t* data, uint64_t p, uint64_t step, float* buffer, int32_t frames,
                   double left, double right)
{
    if (left != 0.0 && right != 0.0)
        mix_run_both(data, p, step, buffer, frames, left, right);
    else if (left != 0.0)
        mix_run_left(data, p, step, buffer, frames, left, right);
    else if (right != 0.0)
        mix_run_right(data, p, step, buffer, frames, left, right);
}

uint64_t position_of(const mix_channel* v)
{
    return (static_cast<uint64_t>(v->position) << 32) | v->position_fraction;
}

void set_position(mix_channel* v, uint64_t p)
{
    v->position = static_cast<uint32_t>(p >> 32);
    v->position_fraction = static_cast<uint32_t>(p);
}

// How many of the next frames, at most wanted, advance to positions that
// stay at or below bound: a run with no wrap and no end inside. 0 where the
// straight 64-bit arithmetic could differ from the 32-bit stepping.
int32_t frames_within(uint64_t p, uint64_t step, uint32_t bound, int32_t wanted)
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

}  // namespace

bool sd_c_imixstereo_ended(mix_channel* channel, float* buffer, int32_t frames, float lvol,
                           float rvol)
{
    const double left = lvol;
    const double right = rvol;
    const uint64_t step = (static_cast<uint64_t>(static_cast<uint32_t>(channel->step)) << 32) |
                          channel->step_fraction;
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
            mix_run_sides(channel->sample_data, p, step, buffer + 2 * k, run, left, right);
            set_position(channel, p + step * static_cast<uint64_t>(run));
            k += run;
            continue;
        }
        // One frame the plain way: it wraps, ends, or lies where the
        // straight arithmetic does not hold.
        if (!advance_voice(channel))
            return true;
        const double value = point_value(channel->sample_data, position_of(channel));
        buffer[2 * k] = static_cast<float>(static_cast<double>(buffer[2 * k]) + value * left);
        buffer[2 * k + 1] =
            static_cast<float>(static_cast<double>(buffer[2 * k + 1]) + value * right);
        k++;
    }
    return false;
}

void sd_c_imixstereo(mix_channel* channel, float* buffer, int32_t frames, float lvol, float rvol)
{
    sd_c_imixstereo_ended(channel, buffer, frames, lvol, rvol);
}

void sd_c_stereo32ftos16i(const float* source, int16_t* destination, int32_t frames)
{
    for (int32_t k = 0; k < 2 * frames; k++) {
        const double x = source[k];
        if (x > 0.9999)
            destination[k] = 32763;
        else if (x < -0.9999)
            destination[k] = -32763;
        else
            destination[k] = static_cast<int16_t>(std::trunc(x * 32767.0));
    }
}

static int16_t wrapping_add(int16_t a, int32_t b)
{
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint16_t>(a) +
                                                      static_cast<uint16_t>(b)));
}

void sd_c_imixstereo_tos16i(mix_channel* channel, int16_t* buffer, int32_t frames,
                            float gain1, float gain2)
{
    for (int32_t k = 0; k < frames; k++) {
        if (!advance_voice(channel))
            return;
        const double point = channel->sample_data[channel->position];
        buffer[2 * k] = wrapping_add(buffer[2 * k], static_cast<int16_t>(point * gain1));
        buffer[2 * k + 1] = wrapping_add(buffer[2 * k + 1], static_cast<int16_t>(point * gain2));
    }
}

// The inner loops: 32.32 stepping, one voice into a float bus, float bus to
// clamped 16-bit. The portable loops and the choice of loop; on x86-64 the
// 256- and 512-bit loops (sd_c_avx2.cpp, sd_c_avx512.cpp) where the
// processor has them.
#include <cmath>
#include <cstdint>

#include "mixer/sd_c_shared.h"
#include "mixer/sd_mix.h"

void long_addition(uint32_t* whole, uint32_t* fraction, const int32_t* step_whole,
                   const uint32_t* step_fraction)
{
    long_addition_body(whole, fraction, step_whole, step_fraction);
}

#if defined(__x86_64__)
bool sd_c_wide = __builtin_cpu_supports("avx2");
bool sd_c_widest = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
#else
bool sd_c_wide = false;
bool sd_c_widest = false;
#endif

namespace {

// A one-sided bus: one float per frame.
inline void mix_run_mono_body(const int8_t* data, uint64_t p, uint64_t step, float* buffer,
                              int32_t frames, double gain)
{
    const double scaled = gain / 8388608.0;
    for (int32_t k = 0; k < frames; k++) {
        p += step;
        const double v = numerator_at(data, p);
        buffer[k] = static_cast<float>(static_cast<double>(buffer[k]) + v * scaled);
    }
}

void mix_run_portable(const int8_t* data, uint64_t p, uint64_t step, float* buffer,
                      float* second, int32_t frames, double left, double right)
{
    mix_run_body(data, p, step, buffer, second, frames, left, right);
}

// last: the highest offset the run may read, one past its highest position.
void mix_run_sides(const int8_t* data, uint64_t p, uint64_t step, [[maybe_unused]] uint32_t last,
                   float* buffer, float* second, int32_t frames, double left, double right)
{
    if (left == 0.0 && right == 0.0)
        return;
#if defined(__x86_64__)
    if (sd_c_widest)
        return mix_run_avx512(data, p, step, last, buffer, second, frames, left, right);
    if (sd_c_wide)
        return mix_run_avx2(data, p, step, last, buffer, second, frames, left, right);
#endif
    mix_run_portable(data, p, step, buffer, second, frames, left, right);
}

// A one-sided bus takes this way only where the fused loops do not apply
// (mix_voice): gains off the mixer's grid, steps above 1.75 points, or no
// wider instructions.
void mix_run_mono(const int8_t* data, uint64_t p, uint64_t step, float* buffer, int32_t frames,
                  double gain)
{
    if (gain != 0.0)
        mix_run_mono_body(data, p, step, buffer, frames, gain);
}

template <bool mono>
struct plain_runs {
    float* buffer;
    float* second;
    double left;
    double right;
    void operator()(const int8_t* data, uint64_t p, uint64_t step, uint32_t last, int32_t k,
                    int32_t frames) const
    {
        if (mono)
            mix_run_mono(data, p, step, buffer + k, frames, left);
        else
            mix_run_sides(data, p, step, last, buffer + 2 * k,
                          second == nullptr ? nullptr : second + 2 * k, frames, left, right);
    }
};

#if defined(__x86_64__)
// The mixer's gains are whole multiples of 1/128 (510/128 at the largest
// main volume, volume and panning). Up to 64, the product of such a gain
// and a numerator / 2^23 is a multiple of 2^-30 of at most 2^6.
inline bool on_grid(double gain)
{
    return gain > 0.0 && gain <= 64.0 && gain * 128.0 == std::floor(gain * 128.0);
}

// Whether a run may add in one fused step: each side's gain on the grid or
// 0 (adding 0 x value leaves a bus value as it is, fused or not).
inline bool fusable(double left, double right)
{
    return (left == 0.0 || on_grid(left)) && (right == 0.0 || on_grid(right));
}

const bool fused_eights_here = __builtin_cpu_supports("fma");
#endif

// mixer_buses: the buses hold only what voices added since their clear, so
// that at the mixer's gains the sums may be fused (fuse_sixteen_mono).
template <bool mono>
bool mix_voice(mix_channel* channel, float* buffer, int32_t frames, double left, double right,
               float* second, [[maybe_unused]] bool mixer_buses)
{
#if defined(__x86_64__)
    const bool fused = mixer_buses && (left != 0.0 || right != 0.0) && fusable(left, right);
    const uint64_t step = step_of(channel);
    if (fused && sd_c_widest && step < sixteen_step_limit)
        return mix_voice_fused_avx512(channel, buffer, frames, left, right, second, mono);
    if (fused && sd_c_wide && fused_eights_here && step <= eight_step_limit)
        return mix_voice_fused_avx2(channel, buffer, frames, left, right, second, mono);
#endif
    return voice_frames<mono>(channel, buffer, frames, left, right, second,
                              plain_runs<mono>{buffer, second, left, right});
}

}  // namespace

bool sd_c_imixstereo_ended(mix_channel* channel, float* buffer, int32_t frames, float lvol,
                           float rvol, float* second)
{
    return mix_voice<false>(channel, buffer, frames, lvol, rvol, second, true);
}

bool sd_c_imixleft_ended(mix_channel* channel, float* buffer, int32_t frames, float lvol)
{
    return mix_voice<true>(channel, buffer, frames, lvol, 0.0, nullptr, true);
}

// A caller's own bus may hold any values, so nothing is fused.
void sd_c_imixstereo(mix_channel* channel, float* buffer, int32_t frames, float lvol, float rvol)
{
    mix_voice<false>(channel, buffer, frames, lvol, rvol, nullptr, false);
}

namespace {

void take_mono_portable(float* source, double gain, int16_t* destination, int32_t frames)
{
    take_mono_body(source, gain, destination, frames);
}

void take_portable(float* source, double gain, int16_t* destination, int32_t frames,
                   bool left_only)
{
    if (left_only)
        take_body<true>(source, gain, destination, frames);
    else
        take_body<false>(source, gain, destination, frames);
}

void sum_left_portable(const float* source, double gain, float* target, int16_t* destination,
                       int32_t frames)
{
    sum_left_body(source, gain, target, destination, frames);
}

void convert_portable(const float* source, int16_t* destination, int32_t frames)
{
    convert_body(source, destination, frames);
}

void sum_convert_portable(const float* source, double gain, float* target, int16_t* destination,
                          int32_t frames)
{
    sum_convert_body(source, gain, target, destination, frames);
}

}  // namespace

void sd_c_stereo32ftos16i(const float* source, int16_t* destination, int32_t frames)
{
#if defined(__x86_64__)
    if (sd_c_wide)
        return convert_avx2(source, destination, frames);
#endif
    convert_portable(source, destination, frames);
}

void sd_c_sumstereo32ftos16i(const float* source, float gain, float* target,
                             int16_t* destination, int32_t frames)
{
#if defined(__x86_64__)
    if (sd_c_widest)
        return sum_convert_avx512(source, gain, target, destination, frames);
    if (sd_c_wide)
        return sum_convert_avx2(source, gain, target, destination, frames);
#endif
    sum_convert_portable(source, gain, target, destination, frames);
}

void sd_c_sumleft32ftos16i(const float* source, float gain, float* target,
                           int16_t* destination, int32_t frames)
{
#if defined(__x86_64__)
    if (sd_c_widest)
        return sum_left_avx512(source, gain, target, destination, frames);
    if (sd_c_wide)
        return sum_left_avx2(source, gain, target, destination, frames);
#endif
    sum_left_portable(source, gain, target, destination, frames);
}

void sd_c_take32ftos16i(float* source, float gain, int16_t* destination, int32_t frames,
                        bool left_only)
{
#if defined(__x86_64__)
    if (sd_c_widest)
        return take_avx512(source, gain, destination, frames);
    if (sd_c_wide)
        return take_avx2(source, gain, destination, frames, left_only);
#endif
    take_portable(source, gain, destination, frames, left_only);
}

void sd_c_takemono32ftos16i(float* source, float gain, int16_t* destination, int32_t frames)
{
#if defined(__x86_64__)
    if (sd_c_widest)
        return take_mono_avx512(source, gain, destination, frames);
    if (sd_c_wide)
        return take_mono_avx2(source, gain, destination, frames);
#endif
    take_mono_portable(source, gain, destination, frames);
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

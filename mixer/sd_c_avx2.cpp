// The 256-bit voice loops and conversions, for x86-64 processors with
// AVX2 (and FMA for the fused loops). Each function names its instructions
// in its own target attribute, so that nothing else in the file, and no
// helper it shares with the portable loops, is built for them.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include <immintrin.h>

#include "mixer/sd_c_shared.h"

namespace {

// Adds eight frames' numerators, times the gains, into out. Left-only
// gains are one gain in every lane; otherwise left and right alternate.
__attribute__((target("avx2"), always_inline)) inline void add_eight(float* out, __m256d first4,
                                                                    __m256d last4,
                                                                    __m256d gains,
                                                                    bool left_only)
{
    if (left_only) {
        // The right values stay as they are, as adding 0 x value leaves them.
        const __m256i evens = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
        const __m256i doubled = _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3);
        const __m256d values[2] = {first4, last4};
        for (int half = 0; half < 2; half++) {
            const __m256 bus = _mm256_loadu_ps(out + 8 * half);
            const __m256d lefts = _mm256_cvtps_pd(
                _mm256_castps256_ps128(_mm256_permutevar8x32_ps(bus, evens)));
            const __m256d sum = _mm256_add_pd(lefts, _mm256_mul_pd(values[half], gains));
            const __m256 spread = _mm256_permutevar8x32_ps(
                _mm256_castps128_ps256(_mm256_cvtpd_ps(sum)), doubled);
            _mm256_storeu_ps(out + 8 * half, _mm256_blend_ps(bus, spread, 0x55));
        }
    } else {
        const __m256d values[4] = {
            _mm256_permute4x64_pd(first4, 0x50), _mm256_permute4x64_pd(first4, 0xFA),
            _mm256_permute4x64_pd(last4, 0x50), _mm256_permute4x64_pd(last4, 0xFA)};
        for (int pair = 0; pair < 4; pair++) {
            const __m256d bus = _mm256_cvtps_pd(_mm_loadu_ps(out + 4 * pair));
            const __m256d sum = _mm256_add_pd(bus, _mm256_mul_pd(values[pair], gains));
            _mm_storeu_ps(out + 4 * pair, _mm256_cvtpd_ps(sum));
        }
    }
}

// Eight frames at a time with a step below 1.75 points: their points lie in
// one 16-byte window of the sample, and a byte shuffle picks s0 and s1 for
// each frame out of it. Each numerator is the same integer as numerator_at
// gives, each product the same exact double, each sum rounded to double and
// then to float as in the plain loop. The window is read only while it lies within
// the points the run may read (up to last), so nothing past them is touched.
// The target is a template argument so that each loop carries no test for it.
template <run_target target>
__attribute__((target("avx2"))) int32_t mix_eights_avx2(const int8_t* data, uint64_t p,
                                                        uint64_t step, uint32_t last,
                                                        float* buffer, float* second,
                                                        int32_t frames, double left,
                                                        double right)
{
    if (step > (7ull << 30) || frames < 8)
        return 0;
    const __m256i step4 = _mm256_set1_epi64x(static_cast<int64_t>(4 * step));
    const __m256i step8 = _mm256_set1_epi64x(static_cast<int64_t>(8 * step));
    const uint64_t q = p + step;
    __m256i low4 = _mm256_set_epi64x(static_cast<int64_t>(q + 3 * step),
                                     static_cast<int64_t>(q + 2 * step),
                                     static_cast<int64_t>(q + step), static_cast<int64_t>(q));
    __m256i high4 = _mm256_add_epi64(low4, step4);
    const __m256i byte_fill = _mm256_set1_epi32(0x00808080);
    const bool left_only = right == 0.0;
    const __m256d gains =
        left_only ? _mm256_set1_pd(left) : _mm256_set_pd(right, left, right, left);
    int32_t k = 0;
    for (; k + 8 <= frames; k += 8) {
        const uint64_t first = p + step * static_cast<uint64_t>(k + 1);
        const uint32_t base = static_cast<uint32_t>(first >> 32);
        if (static_cast<uint64_t>(base) + 15 > last)
            break;
        // Whole parts and fractions of the eight positions, in frame order.
        const __m256 a = _mm256_castsi256_ps(low4);
        const __m256 b = _mm256_castsi256_ps(high4);
        const __m256i whole = _mm256_permute4x64_epi64(
            _mm256_castps_si256(_mm256_shuffle_ps(a, b, 0xDD)), 0xD8);
        const __m256i fraction = _mm256_permute4x64_epi64(
            _mm256_castps_si256(_mm256_shuffle_ps(a, b, 0x88)), 0xD8);
        const __m256i w = _mm256_srli_epi32(fraction, 16);
        const __m256i offset = _mm256_sub_epi32(whole, _mm256_set1_epi32(static_cast<int32_t>(base)));
        // Each point lands in the top byte of its 32-bit lane, then an
        // arithmetic shift gives it its sign.
        const __m256i window = _mm256_broadcastsi128_si256(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + base)));
        const __m256i pick0 = _mm256_or_si256(_mm256_slli_epi32(offset, 24), byte_fill);
        const __m256i pick1 = _mm256_add_epi32(pick0, _mm256_set1_epi32(1 << 24));
        const __m256i s0 = _mm256_srai_epi32(_mm256_shuffle_epi8(window, pick0), 24);
        const __m256i s1 = _mm256_srai_epi32(_mm256_shuffle_epi8(window, pick1), 24);
        const __m256i numerator = _mm256_add_epi32(_mm256_slli_epi32(s0, 16),
                                                   _mm256_mullo_epi32(_mm256_sub_epi32(s1, s0), w));
        const __m256d first4 = _mm256_cvtepi32_pd(_mm256_castsi256_si128(numerator));
        const __m256d last4 = _mm256_cvtepi32_pd(_mm256_extracti128_si256(numerator, 1));
        add_eight(buffer + 2 * k, first4, last4, gains, left_only);
        if (target == into_two)
            add_eight(second + 2 * k, first4, last4, gains, left_only);
        low4 = _mm256_add_epi64(low4, step8);
        high4 = _mm256_add_epi64(high4, step8);
    }
    return k;
}

template <run_target target>
__attribute__((target("avx2"))) inline void mix_run_avx2_into(const int8_t* data, uint64_t p,
                                                              uint64_t step, uint32_t last,
                                                              float* buffer, float* second,
                                                              int32_t frames, double left,
                                                              double right)
{
    const double scaled_left = left / 8388608.0;
    const double scaled_right = right / 8388608.0;
    const int32_t done = mix_eights_avx2<target>(data, p, step, last, buffer, second, frames,
                                                 scaled_left, scaled_right);
    mix_run_body(data, p + step * static_cast<uint64_t>(done), step, buffer + 2 * done,
                 target == into_two ? second + 2 * done : nullptr, frames - done, left, right);
}

// The two-bus run is kept out of line, so that the one-bus run keeps its
// registers and its frame as they were.
__attribute__((target("avx2"), noinline)) void mix_run_avx2_dual(const int8_t* data,
                                                                 uint64_t p, uint64_t step,
                                                                 uint32_t last, float* buffer,
                                                                 float* second, int32_t frames,
                                                                 double left, double right)
{
    mix_run_avx2_into<into_two>(data, p, step, last, buffer, second, frames, left, right);
}

}  // namespace

__attribute__((target("avx2"))) void mix_run_avx2(const int8_t* data, uint64_t p, uint64_t step,
                                                  uint32_t last, float* buffer, float* second,
                                                  int32_t frames, double left, double right)
{
    if (second != nullptr)
        mix_run_avx2_dual(data, p, step, last, buffer, second, frames, left, right);
    else
        mix_run_avx2_into<into_stereo>(data, p, step, last, buffer, nullptr, frames, left, right);
}

namespace {

// The fused steps of the 512-bit loops (fuse_sixteen_mono in
// sd_c_avx512.cpp, and why they give the same floats), eight frames at a
// time, for processors with 256-bit instructions only, or steps up to 1.75
// points a frame (eight_step_limit).

struct eight_apart {
    __m256i fraction;
    __m256i pick;
};

TD_FMA256 inline eight_apart eight_apart_by(uint64_t step)
{
    alignas(32) uint32_t fractions[8];
    alignas(32) uint32_t picks[8];
    frames_apart(step, fractions, picks, 8);
    return {_mm256_load_si256(reinterpret_cast<const __m256i*>(fractions)),
            _mm256_load_si256(reinterpret_cast<const __m256i*>(picks))};
}

TD_FMA256 __attribute__((always_inline)) inline __m256i window_of_eight(const int8_t* points)
{
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(points)));
}

// The numerators of eight frames from position first on, their points
// picked from window, the 16 points from point from on, at or before
// first's point.
TD_FMA256 __attribute__((always_inline)) inline __m256i
eight_numerators(__m256i window, uint64_t first, uint32_t from, const eight_apart& apart)
{
    const __m256i sign = _mm256_set1_epi32(INT32_MIN);
    const __m256i first_fraction = _mm256_set1_epi32(static_cast<int32_t>(first));
    const __m256i fraction = _mm256_add_epi32(first_fraction, apart.fraction);
    // Unsigned fraction < first: the sum carried into the points.
    const __m256i carried = _mm256_cmpgt_epi32(_mm256_xor_si256(first_fraction, sign),
                                               _mm256_xor_si256(fraction, sign));
    const uint32_t shift = static_cast<uint32_t>(first >> 32) - from;
    const __m256i pick = _mm256_add_epi32(
        _mm256_add_epi32(apart.pick, _mm256_and_si256(carried, _mm256_set1_epi32(0x01000100))),
        _mm256_set1_epi32(static_cast<int32_t>(shift * 0x01000100u)));
    const __m256i points = _mm256_shuffle_epi8(window, pick);
    const __m256i s1 = _mm256_srai_epi32(points, 24);
    const __m256i s0_on_top = _mm256_slli_epi32(points, 16);
    const __m256i s0 = _mm256_srai_epi32(s0_on_top, 24);
    return _mm256_add_epi32(_mm256_srai_epi32(s0_on_top, 8),
                            _mm256_mullo_epi32(_mm256_sub_epi32(s1, s0),
                                               _mm256_srli_epi32(fraction, 16)));
}

// The first n of eight floats at out, as lanes of a mask.
TD_FMA256 __attribute__((always_inline)) inline __m256i first_lanes(int32_t n)
{
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(n), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

// values times gains added into the first n floats at out, in one
// rounding each.
TD_FMA256 __attribute__((always_inline)) inline void fuse_eight_floats(float* out, __m256 values,
                                                                      __m256 gains, int32_t n)
{
    if (n >= 8) {
        _mm256_storeu_ps(out, _mm256_fmadd_ps(values, gains, _mm256_loadu_ps(out)));
    } else if (n > 0) {
        const __m256i kept = first_lanes(n);
        _mm256_maskstore_ps(out, kept,
                            _mm256_fmadd_ps(values, gains, _mm256_maskload_ps(out, kept)));
    }
}

// Eight frames' numerators, of which the first frames are added.
template <run_target target>
TD_FMA256 __attribute__((always_inline)) inline void fuse_eight(float* buffer, float* second,
                                                               __m256i numerator, __m256 gain,
                                                               __m256 gains, int32_t frames)
{
    const __m256 values = _mm256_cvtepi32_ps(numerator);
    if constexpr (target == into_mono) {
        fuse_eight_floats(buffer, values, gain, frames);
        return;
    }
    const __m256 low = _mm256_permutevar8x32_ps(values, _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3));
    const __m256 high = _mm256_permutevar8x32_ps(values, _mm256_setr_epi32(4, 4, 5, 5, 6, 6, 7, 7));
    for (float* out : {buffer, second}) {
        if (out == nullptr)
            continue;
        fuse_eight_floats(out, low, gains, 2 * std::min(frames, 4));
        fuse_eight_floats(out + 8, high, gains, 2 * (frames - std::min(frames, 4)));
    }
}

struct fused_eights {
    eight_apart apart;
    __m256 gain;
    __m256 gains;
};

// A whole run as fused_run (sd_c_avx512.cpp) does it, eight frames at a
// time.
template <run_target target>
TD_FMA256 __attribute__((always_inline)) inline void
fused_run_eights(const int8_t* data, uint64_t p, uint64_t step, uint32_t last, float* buffer,
                 float* second, int32_t frames, const fused_eights& voice)
{
    const int32_t width = target == into_mono ? 1 : 2;
    alignas(16) int8_t few[16] = {};
    if (last < 15)
        std::memcpy(few, data, last + 1);
    for (int32_t k = 0; k < frames; k += 8) {
        const uint64_t first = p + step * static_cast<uint64_t>(k + 1);
        const uint32_t base = static_cast<uint32_t>(first >> 32);
        const uint32_t from = last < 15 ? 0 : std::min(base, last - 15);
        const __m256i window = window_of_eight(last < 15 ? few : data + from);
        fuse_eight<target>(buffer + width * k, target == into_two ? second + 2 * k : nullptr,
                           eight_numerators(window, first, from, voice.apart), voice.gain,
                           voice.gains, std::min(frames - k, 8));
    }
}

template <run_target target>
struct fused_eight_runs {
    float* buffer;
    float* second;
    fused_eights voice;
    TD_FMA256 void operator()(const int8_t* data, uint64_t p, uint64_t step, uint32_t last,
                              int32_t k, int32_t frames) const
    {
        const int32_t width = target == into_mono ? 1 : 2;
        fused_run_eights<target>(data, p, step, last, buffer + width * k,
                                 target == into_two ? second + 2 * k : nullptr, frames, voice);
    }
};

template <run_target target>
TD_FMA256 __attribute__((flatten)) bool mix_voice_fused_eights(mix_channel* channel,
                                                               float* buffer, int32_t frames,
                                                               double left, double right,
                                                               float* second)
{
    const float l = static_cast<float>(left / 8388608.0);
    const float r = static_cast<float>(right / 8388608.0);
    const fused_eight_runs<target> runs{
        buffer, second,
        {eight_apart_by(step_of(channel)), _mm256_set1_ps(l),
         _mm256_setr_ps(l, r, l, r, l, r, l, r)}};
    return voice_frames<target == into_mono>(channel, buffer, frames, left, right, second, runs);
}

}  // namespace

// Plain, so that the three loops stay functions of their own.
bool mix_voice_fused_avx2(mix_channel* channel, float* buffer, int32_t frames, double left,
                          double right, float* second, bool mono)
{
    if (mono)
        return mix_voice_fused_eights<into_mono>(channel, buffer, frames, left, right,
                                                 nullptr);
    if (second != nullptr)
        return mix_voice_fused_eights<into_two>(channel, buffer, frames, left, right,
                                                second);
    return mix_voice_fused_eights<into_stereo>(channel, buffer, frames, left, right,
                                               nullptr);
}

__attribute__((target("avx2"))) void take_mono_avx2(float* source, double gain,
                                                    int16_t* destination, int32_t frames)
{
    take_mono_body(source, gain, destination, frames);
}

__attribute__((target("avx2"))) void take_avx2(float* source, double gain,
                                               int16_t* destination, int32_t frames,
                                               bool left_only)
{
    if (left_only)
        take_body<true>(source, gain, destination, frames);
    else
        take_body<false>(source, gain, destination, frames);
}

__attribute__((target("avx2"))) void sum_left_avx2(const float* source, double gain,
                                                   float* target, int16_t* destination,
                                                   int32_t frames)
{
    sum_left_body(source, gain, target, destination, frames);
}

__attribute__((target("avx2"))) void convert_avx2(const float* source, int16_t* destination,
                                                  int32_t frames)
{
    convert_body(source, destination, frames);
}

__attribute__((target("avx2"))) void sum_convert_avx2(const float* source, double gain,
                                                      float* target, int16_t* destination,
                                                      int32_t frames)
{
    sum_convert_body(source, gain, target, destination, frames);
}

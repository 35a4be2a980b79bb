// The 512-bit voice loops and conversions, for x86-64 processors with
// AVX-512 (F, BW, DQ and VL). Each function names its instructions in its
// own target attribute, as in sd_c_avx2.cpp.
#include <algorithm>
#include <cstdint>

#include <immintrin.h>

#include "mixer/sd_c_shared.h"

namespace {

// The compiler's own 512-bit headers start some results from a deliberately
// undefined value, which its flow analysis then reports.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// Adds sixteen frames' numerators, times the left gain, into the left
// values of out; the right ones are stored under a mask, so stay as they are.
TD_AVX512 __attribute__((always_inline)) inline void add_sixteen(float* out, __m512d first8,
                                                                 __m512d last8, __m512d gain)
{
    const __m512d values[2] = {first8, last8};
    const __m512i even_dwords = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22,
                                                  24, 26, 28, 30);
    const __m512i doubled = _mm512_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7);
    for (int half = 0; half < 2; half++) {
        const __m512 bus = _mm512_loadu_ps(out + 16 * half);
        const __m512d lefts = _mm512_cvtps_pd(
            _mm512_castps512_ps256(_mm512_permutexvar_ps(even_dwords, bus)));
        const __m512d sum = _mm512_add_pd(lefts, _mm512_mul_pd(values[half], gain));
        const __m512 spread =
            _mm512_permutexvar_ps(doubled, _mm512_castps256_ps512(_mm512_cvtpd_ps(sum)));
        _mm512_mask_storeu_ps(out + 16 * half, 0x5555, spread);
    }
}

// Sixteen frames into a one-sided bus in one fused step. A numerator (at
// most 2^23 in size) and a gain on the grid (on_grid) divided by 2^23 are
// exact floats, and their product is exact in double. A mixer's bus, from
// its clear until the voices are done, holds only sums of such products,
// each rounded to a float: multiples of 2^-30 far below 2^22. So bus value
// + product is exact in double, and its rounding to a float, the only
// rounding, is what a fused multiply-add gives. Where not whole, only the
// first frames of the sixteen are added, and nothing past them is touched.
template <bool whole>
TD_AVX512 __attribute__((always_inline)) inline void fuse_sixteen_mono(float* out,
                                                                       __m512i numerator,
                                                                       __m512 gain,
                                                                       int32_t frames)
{
    const __m512 values = _mm512_cvtepi32_ps(numerator);
    if constexpr (whole) {
        _mm512_storeu_ps(out, _mm512_fmadd_ps(values, gain, _mm512_loadu_ps(out)));
    } else {
        const __mmask16 kept = static_cast<__mmask16>((1u << frames) - 1);
        _mm512_mask_storeu_ps(out, kept,
                              _mm512_fmadd_ps(values, gain, _mm512_maskz_loadu_ps(kept, out)));
    }
}

// The same into a stereo bus: each value twice, times the left and the
// right gain in turn.
template <bool whole>
TD_AVX512 __attribute__((always_inline)) inline void fuse_sixteen(float* out, __m512i numerator,
                                                                  __m512 gains, int32_t frames)
{
    const __m512 values = _mm512_cvtepi32_ps(numerator);
    const __m512i first = _mm512_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7);
    const __m512i second = _mm512_add_epi32(first, _mm512_set1_epi32(8));
    const __m512 low = _mm512_permutexvar_ps(first, values);
    const __m512 high = _mm512_permutexvar_ps(second, values);
    if constexpr (whole) {
        _mm512_storeu_ps(out, _mm512_fmadd_ps(low, gains, _mm512_loadu_ps(out)));
        _mm512_storeu_ps(out + 16, _mm512_fmadd_ps(high, gains, _mm512_loadu_ps(out + 16)));
    } else {
        const int32_t in_low = frames < 8 ? frames : 8;
        const int32_t in_high = frames - in_low;
        const __mmask16 kept_low = static_cast<__mmask16>((1u << (2 * in_low)) - 1);
        const __mmask16 kept_high = static_cast<__mmask16>((1u << (2 * in_high)) - 1);
        _mm512_mask_storeu_ps(out, kept_low,
                              _mm512_fmadd_ps(low, gains, _mm512_maskz_loadu_ps(kept_low, out)));
        _mm512_mask_storeu_ps(
            out + 16, kept_high,
            _mm512_fmadd_ps(high, gains, _mm512_maskz_loadu_ps(kept_high, out + 16)));
    }
}

struct sixteen_apart {
    __m512i fraction;
    __m512i pick;
};

TD_AVX512 inline sixteen_apart apart_by(uint64_t step)
{
    alignas(64) uint32_t fractions[16];
    alignas(64) uint32_t picks[16];
    frames_apart(step, fractions, picks, 16);
    return {_mm512_load_si512(fractions), _mm512_load_si512(picks)};
}

// The 16 points at data + from, in each 128-bit lane.
TD_AVX512 __attribute__((always_inline)) inline __m512i window_at(const int8_t* data,
                                                                 uint32_t from)
{
    return _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + from)));
}

// The numerators of sixteen frames from position first on, their points
// picked from window, the 16 points from point from on, at or before
// first's point (shifted: possibly before).
template <bool shifted>
TD_AVX512 __attribute__((always_inline)) inline __m512i
sixteen_numerators(__m512i window, uint64_t first, uint32_t from, const sixteen_apart& apart)
{
    const __m512i next_point = _mm512_set1_epi32(1 << 24 | 1 << 8);
    const __m512i first_fraction = _mm512_set1_epi32(static_cast<int32_t>(first));
    const __m512i fraction = _mm512_add_epi32(first_fraction, apart.fraction);
    const __mmask16 carried = _mm512_cmplt_epu32_mask(fraction, first_fraction);
    const __m512i w = _mm512_srli_epi32(fraction, 16);
    __m512i pick = _mm512_mask_add_epi32(apart.pick, carried, apart.pick, next_point);
    if constexpr (shifted) {
        const uint32_t shift = static_cast<uint32_t>(first >> 32) - from;
        pick = _mm512_add_epi32(pick, _mm512_set1_epi32(static_cast<int32_t>(shift * 0x01000100u)));
    }
    const __m512i points = _mm512_shuffle_epi8(window, pick);
    const __m512i s1 = _mm512_srai_epi32(points, 24);
    const __m512i s0_on_top = _mm512_slli_epi32(points, 16);
    const __m512i s0 = _mm512_srai_epi32(s0_on_top, 24);
    return _mm512_add_epi32(_mm512_srai_epi32(s0_on_top, 8),
                            _mm512_mullo_epi32(_mm512_sub_epi32(s1, s0), w));
}

// Sixteen frames at a time for a voice heard on the left only, while their
// window lies within the points the run may read. The same numerators as
// the 256-bit eights, the same products and roundings.
template <run_target target>
TD_AVX512 int32_t mix_sixteens_avx512(const int8_t* data, uint64_t p, uint64_t step,
                                      uint32_t last, float* buffer, float* second,
                                      int32_t frames, double left)
{
    if (step >= sixteen_step_limit || frames < 16)
        return 0;
    const sixteen_apart apart = apart_by(step);
    const __m512d gain = _mm512_set1_pd(left);
    int32_t k = 0;
    for (; k + 16 <= frames; k += 16) {
        const uint64_t first = p + step * static_cast<uint64_t>(k + 1);
        const uint32_t base = static_cast<uint32_t>(first >> 32);
        if (static_cast<uint64_t>(base) + 15 > last)
            break;
        const __m512i numerator =
            sixteen_numerators<false>(window_at(data, base), first, base, apart);
        const __m512d first8 = _mm512_cvtepi32_pd(_mm512_castsi512_si256(numerator));
        const __m512d last8 = _mm512_cvtepi32_pd(_mm512_extracti64x4_epi64(numerator, 1));
        add_sixteen(buffer + 2 * k, first8, last8, gain);
        if (target == into_two)
            add_sixteen(second + 2 * k, first8, last8, gain);
    }
    return k;
}

template <run_target target, bool whole>
TD_AVX512 __attribute__((always_inline)) inline void fuse_frames(float* buffer, float* second,
                                                                 __m512i numerator, __m512 gain,
                                                                 __m512 gains, int32_t frames)
{
    if constexpr (target == into_mono) {
        fuse_sixteen_mono<whole>(buffer, numerator, gain, frames);
    } else {
        fuse_sixteen<whole>(buffer, numerator, gains, frames);
        if (target == into_two)
            fuse_sixteen<whole>(second, numerator, gains, frames);
    }
}

// What a voice's fused runs share: the frames apart of its step, and its
// gains / 2^23 as floats (for a one-sided bus, and left and right in turn).
struct fused_voice {
    sixteen_apart apart;
    __m512 gain;
    __m512 gains;
};

// A whole run into a mixer's buses in fused steps (fuse_sixteen_mono),
// sixteen frames at a time, with a step below sixteen_step_limit. Where the
// frames' window would reach past the points the run may read, the last
// sixteen of them are the window, or all of them where they are fewer; a
// run's last few frames are added under a mask.
template <run_target target>
TD_AVX512 __attribute__((always_inline)) inline void
fused_run(const int8_t* data, uint64_t p, uint64_t step, uint32_t last, float* buffer,
          float* second, int32_t frames, const fused_voice& voice)
{
    const sixteen_apart& apart = voice.apart;
    const __m512 gain = voice.gain;
    const __m512 gains = voice.gains;
    const int32_t width = target == into_mono ? 1 : 2;
    const auto second_at = [second](int32_t k) {
        return target == into_two ? second + 2 * k : nullptr;
    };
    int32_t k = 0;
    for (; k + 16 <= frames; k += 16) {
        const uint64_t first = p + step * static_cast<uint64_t>(k + 1);
        const uint32_t base = static_cast<uint32_t>(first >> 32);
        if (static_cast<uint64_t>(base) + 15 > last)
            break;
        fuse_frames<target, true>(buffer + width * k, second_at(k),
                                  sixteen_numerators<false>(window_at(data, base), first, base,
                                                            apart),
                                  gain, gains, 16);
    }
    // Points 0..last, read under a mask where they are fewer than sixteen.
    const __m512i few =
        last < 15 ? _mm512_broadcast_i32x4(_mm_maskz_loadu_epi8(
                        static_cast<__mmask16>((1u << (last + 1)) - 1), data))
                  : _mm512_setzero_si512();
    for (; k < frames; k += 16) {
        const uint64_t first = p + step * static_cast<uint64_t>(k + 1);
        const uint32_t base = static_cast<uint32_t>(first >> 32);
        const uint32_t from = last < 15 ? 0 : std::min(base, last - 15);
        const __m512i window = last < 15 ? few : window_at(data, from);
        fuse_frames<target, false>(buffer + width * k, second_at(k),
                                   sixteen_numerators<true>(window, first, from, apart), gain,
                                   gains, std::min(frames - k, 16));
    }
}

template <run_target target>
TD_AVX512 inline void mix_run_avx512_into(const int8_t* data, uint64_t p, uint64_t step,
                                          uint32_t last, float* buffer, float* second,
                                          int32_t frames, double left, double right)
{
    const int32_t done = right == 0.0 ? mix_sixteens_avx512<target>(data, p, step, last, buffer,
                                                                    second, frames,
                                                                    left / 8388608.0)
                                      : 0;
    mix_run_avx2(data, p + step * static_cast<uint64_t>(done), step, last, buffer + 2 * done,
                 target == into_two ? second + 2 * done : nullptr, frames - done, left, right);
}

TD_AVX512 __attribute__((noinline)) void mix_run_avx512_dual(const int8_t* data, uint64_t p,
                                                             uint64_t step, uint32_t last,
                                                             float* buffer, float* second,
                                                             int32_t frames, double left,
                                                             double right)
{
    mix_run_avx512_into<into_two>(data, p, step, last, buffer, second, frames, left, right);
}

}  // namespace

TD_AVX512 void mix_run_avx512(const int8_t* data, uint64_t p, uint64_t step, uint32_t last,
                              float* buffer, float* second, int32_t frames, double left,
                              double right)
{
    if (second != nullptr)
        mix_run_avx512_dual(data, p, step, last, buffer, second, frames, left, right);
    else
        mix_run_avx512_into<into_stereo>(data, p, step, last, buffer, nullptr, frames, left,
                                         right);
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace {

template <run_target target>
struct fused_runs {
    float* buffer;
    float* second;
    fused_voice voice;
    TD_AVX512 void operator()(const int8_t* data, uint64_t p, uint64_t step, uint32_t last,
                              int32_t k, int32_t frames) const
    {
        const int32_t width = target == into_mono ? 1 : 2;
        fused_run<target>(data, p, step, last, buffer + width * k,
                          target == into_two ? second + 2 * k : nullptr, frames, voice);
    }
};

// The whole voice in one function, so that its runs, however short, share
// what they need set up.
template <run_target target>
TD_AVX512 __attribute__((flatten)) bool mix_voice_fused(mix_channel* channel, float* buffer,
                                                        int32_t frames, double left, double right,
                                                        float* second)
{
    const float l = static_cast<float>(left / 8388608.0);
    const float r = static_cast<float>(right / 8388608.0);
    const fused_runs<target> runs{
        buffer, second,
        {apart_by(step_of(channel)), _mm512_set1_ps(l),
         _mm512_setr_ps(l, r, l, r, l, r, l, r, l, r, l, r, l, r, l, r)}};
    return voice_frames<target == into_mono>(channel, buffer, frames, left, right, second, runs);
}

}  // namespace

// Plain, so that the three loops stay functions of their own.
bool mix_voice_fused_avx512(mix_channel* channel, float* buffer, int32_t frames, double left,
                            double right, float* second, bool mono)
{
    if (mono)
        return mix_voice_fused<into_mono>(channel, buffer, frames, left, right, nullptr);
    if (second != nullptr)
        return mix_voice_fused<into_two>(channel, buffer, frames, left, right, second);
    return mix_voice_fused<into_stereo>(channel, buffer, frames, left, right, nullptr);
}

namespace {

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// Eight values times gain, each rounded to a float, clamped, scaled and
// truncated as converted() does. The add to the cleared output value is
// left out: it changes only a -0.0 into +0.0, and both convert to 0.
TD_AVX512 __attribute__((always_inline)) inline __m256i converted_eight(__m512d values,
                                                                       __m512d gain)
{
    const __m512d rounded = _mm512_cvtps_pd(_mm512_cvtpd_ps(_mm512_mul_pd(values, gain)));
    const __m512d clamped = _mm512_max_pd(_mm512_min_pd(rounded, _mm512_set1_pd(0.9999)),
                                          _mm512_set1_pd(-0.9999));
    return _mm512_cvttpd_epi32(_mm512_mul_pd(clamped, _mm512_set1_pd(32767.0)));
}

// The same with the gain of 0.5 the output bus is set up with. Halving a
// bus value is exact (bus values are multiples of 2^-30 or zero, far from
// the smallest floats), so its rounding to a float changes nothing; and
// with x the halved value, x x 32767 is exact in double, so clamping that
// product to +-(0.9999 x 32767) truncates to the same integer as clamping
// x to +-0.9999 first: value x 16383.5, clamped, truncated.
TD_AVX512 __attribute__((always_inline)) inline __m256i converted_half(__m512d values)
{
    const double limit = 0.9999 * 32767.0;
    const __m512d scaled = _mm512_mul_pd(values, _mm512_set1_pd(0.5 * 32767.0));
    return _mm512_cvttpd_epi32(_mm512_max_pd(_mm512_min_pd(scaled, _mm512_set1_pd(limit)),
                                              _mm512_set1_pd(-limit)));
}

}  // namespace

TD_AVX512 void take_mono_avx512(float* source, double gain, int16_t* destination,
                                int32_t frames)
{
    const __m512d gains = _mm512_set1_pd(gain);
    const bool half = gain == 0.5;
    int32_t k = 0;
    for (; k + 16 <= frames; k += 16) {
        const __m512d first8 = _mm512_cvtps_pd(_mm256_loadu_ps(source + k));
        const __m512d last8 = _mm512_cvtps_pd(_mm256_loadu_ps(source + k + 8));
        const __m256i low = half ? converted_half(first8) : converted_eight(first8, gains);
        const __m256i high = half ? converted_half(last8) : converted_eight(last8, gains);
        const __m512i both = _mm512_inserti64x4(_mm512_castsi256_si512(low), high, 1);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(destination + k),
                            _mm512_cvtepi32_epi16(both));
        _mm512_storeu_ps(source + k, _mm512_setzero_ps());
    }
    take_mono_body(source + k, gain, destination + k, frames - k);
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// Both sides take the same way, one value at a time: as a one-sided bus of
// twice the frames. Where only the left values were written, the right ones
// are zero, convert to 0 and stay zero.
TD_AVX512 void take_avx512(float* source, double gain, int16_t* destination, int32_t frames)
{
    take_mono_avx512(source, gain, destination, 2 * frames);
}

TD_AVX512 void sum_convert_avx512(const float* source, double gain, float* target,
                                  int16_t* destination, int32_t frames)
{
    sum_convert_body(source, gain, target, destination, frames);
}

TD_AVX512 void sum_left_avx512(const float* source, double gain, float* target,
                               int16_t* destination, int32_t frames)
{
    sum_left_body(source, gain, target, destination, frames);
}

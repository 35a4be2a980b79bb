// The inner loops: 32.32 stepping, one voice into a float bus, float bus to
// clamped 16-bit.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include <immintrin.h>

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

bool sd_c_wide = __builtin_cpu_supports("avx2");
bool sd_c_widest = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");

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

// The interpolation numerator s0 x (65536 - w) + s1 x w, written as
// s0 x 65536 + (s1 - s0) x w: the same integer, one product fewer.
inline int32_t numerator_at(const int8_t* data, uint64_t p)
{
    const uint32_t pos = static_cast<uint32_t>(p >> 32);
    const int32_t w = static_cast<int32_t>((p >> 16) & 0xFFFF);
    const int32_t s0 = data[pos];
    const int32_t s1 = data[pos + 1];
    return s0 * 65536 + (s1 - s0) * w;
}

// The numerators of a straight run: position p + (k + 1) x step for frame k.
inline void run_numerators(const int8_t* data, uint64_t p, uint64_t step, int32_t* numerators,
                           int32_t frames)
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
inline void add_numerators(float* buffer, const int32_t* numerators, int32_t frames,
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

// What a straight run adds into: a stereo bus, a stereo bus and a second
// one, or a one-sided bus of left values.
enum run_target { into_stereo, into_two, into_mono };

// second, where not null, gets the same values added as buffer.
__attribute__((always_inline)) inline void mix_run_body(const int8_t* data, uint64_t p,
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
// each frame out of it. Each numerator is the same integer as above, each
// product the same exact double, each sum rounded to double and then to
// float as in the plain loop. The window is read only while it lies within
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

__attribute__((target("avx2"))) void mix_run_avx2(const int8_t* data, uint64_t p, uint64_t step,
                                                  uint32_t last, float* buffer, float* second,
                                                  int32_t frames, double left, double right)
{
    if (second != nullptr)
        mix_run_avx2_dual(data, p, step, last, buffer, second, frames, left, right);
    else
        mix_run_avx2_into<into_stereo>(data, p, step, last, buffer, nullptr, frames, left, right);
}

#define TD_FMA256 __attribute__((target("avx2,fma")))

// The fused steps of the 512-bit loops below (fuse_sixteen_mono, and why
// they give the same floats), eight frames at a time, for processors with
// 256-bit instructions only, or steps up to 1.75 points a frame.
constexpr uint64_t eight_step_limit = 7ull << 30;

// Frame j of a group lies j x step past the first: its fraction is the
// first's plus that of j x step, modulo 2^32, and its point lies the whole
// part of j x step past the first's, one more where the fractions carried.
// A frame's two points are picked into the second and the top byte of its
// 32-bit lane; arithmetic shifts then give them their signs.
void frames_apart(uint64_t step, uint32_t* fractions, uint32_t* picks, uint32_t frames)
{
    for (uint32_t j = 0; j < frames; j++) {
        const uint64_t apart = step * j;
        fractions[j] = static_cast<uint32_t>(apart);
        const uint32_t point = static_cast<uint32_t>(apart >> 32);
        picks[j] = (point + 1) << 24 | 0x80u << 16 | point << 8 | 0x80u;
    }
}

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

// A whole run as fused_run below does it, eight frames at a time.
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

#define TD_AVX512 __attribute__((target("avx2,avx512f,avx512bw,avx512dq,avx512vl")))

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

// Below 14/15 of a point per frame, sixteen frames' points lie in one
// 16-byte window.
constexpr uint64_t sixteen_step_limit = (14ull << 32) / 15;

// Sixteen frames at a time for a voice heard on the left only, while their
// window lies within the points the run may read. The same numerators as
// the eights above, the same products and roundings.
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

void mix_run_portable(const int8_t* data, uint64_t p, uint64_t step, float* buffer,
                      float* second, int32_t frames, double left, double right)
{
    mix_run_body(data, p, step, buffer, second, frames, left, right);
}

// last: the highest offset the run may read, one past its highest position.
void mix_run_sides(const int8_t* data, uint64_t p, uint64_t step, uint32_t last, float* buffer,
                   float* second, int32_t frames, double left, double right)
{
    if (left == 0.0 && right == 0.0)
        return;
    if (sd_c_widest)
        mix_run_avx512(data, p, step, last, buffer, second, frames, left, right);
    else if (sd_c_wide)
        mix_run_avx2(data, p, step, last, buffer, second, frames, left, right);
    else
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

// Adds value x gain into one frame of a bus, each side rounded on store.
inline void add_frame(float* frame, double value, double left, double right)
{
    frame[0] = static_cast<float>(static_cast<double>(frame[0]) + value * left);
    frame[1] = static_cast<float>(static_cast<double>(frame[1]) + value * right);
}

uint64_t step_of(const mix_channel* v)
{
    return (static_cast<uint64_t>(static_cast<uint32_t>(v->step)) << 32) | v->step_fraction;
}

// A voice's frames into a stereo bus (and second, where not null) or, with
// mono, into a one-sided bus of left values: its straight runs through
// runs(data, p, step, last, k, frames), for frames from frame k on.
template <bool mono, typename Runs>
__attribute__((always_inline)) inline bool voice_frames(mix_channel* channel, float* buffer,
                                                       int32_t frames, double left, double right,
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

const bool fused_eights_here = __builtin_cpu_supports("fma");

// mixer_buses: the buses hold only what voices added since their clear, so
// that at the mixer's gains the sums may be fused (fuse_sixteen_mono).
template <bool mono>
bool mix_voice(mix_channel* channel, float* buffer, int32_t frames, double left, double right,
               float* second, bool mixer_buses)
{
    const bool fused = mixer_buses && (left != 0.0 || right != 0.0) && fusable(left, right);
    const uint64_t step = step_of(channel);
    if (fused && sd_c_widest && step < sixteen_step_limit) {
        if (mono)
            return mix_voice_fused<into_mono>(channel, buffer, frames, left, right, nullptr);
        if (second != nullptr)
            return mix_voice_fused<into_two>(channel, buffer, frames, left, right, second);
        return mix_voice_fused<into_stereo>(channel, buffer, frames, left, right, nullptr);
    }
    if (fused && sd_c_wide && fused_eights_here && step <= eight_step_limit) {
        if (mono)
            return mix_voice_fused_eights<into_mono>(channel, buffer, frames, left, right,
                                                     nullptr);
        if (second != nullptr)
            return mix_voice_fused_eights<into_two>(channel, buffer, frames, left, right,
                                                    second);
        return mix_voice_fused_eights<into_stereo>(channel, buffer, frames, left, right,
                                                   nullptr);
    }
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

// Clamping x to +-0.9999 first gives the same value as the table: 0.9999 x
// 32767 truncates to 32763. Written without branches so that it vectorises.
inline int16_t converted(float value)
{
    double x = value;
    x = x > 0.9999 ? 0.9999 : x;
    x = x < -0.9999 ? -0.9999 : x;
    return static_cast<int16_t>(static_cast<int32_t>(x * 32767.0));
}

inline void convert_body(const float* source, int16_t* destination, int32_t frames)
{
    for (int32_t k = 0; k < 2 * frames; k++)
        destination[k] = converted(source[k]);
}

inline void sum_convert_body(const float* source, double gain, float* target,
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
inline void sum_left_body(const float* source, double gain, float* target, int16_t* destination,
                          int32_t frames)
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
inline void take_body(float* source, double gain, int16_t* destination, int32_t frames)
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
inline void take_mono_body(float* source, double gain, int16_t* destination, int32_t frames)
{
    for (int32_t k = 0; k < frames; k++) {
        const float value = static_cast<float>(0.0 + static_cast<double>(source[k]) * gain);
        source[k] = 0.0f;
        destination[k] = converted(value);
    }
}

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

__attribute__((target("avx2"))) void take_mono_avx2(float* source, double gain,
                                                    int16_t* destination, int32_t frames)
{
    take_mono_body(source, gain, destination, frames);
}

void take_mono_portable(float* source, double gain, int16_t* destination, int32_t frames)
{
    take_mono_body(source, gain, destination, frames);
}

// Both sides take the same way, one value at a time: as a one-sided bus of
// twice the frames. Where only the left values were written, the right ones
// are zero, convert to 0 and stay zero.
TD_AVX512 void take_avx512(float* source, double gain, int16_t* destination, int32_t frames)
{
    take_mono_avx512(source, gain, destination, 2 * frames);
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

void take_portable(float* source, double gain, int16_t* destination, int32_t frames,
                   bool left_only)
{
    if (left_only)
        take_body<true>(source, gain, destination, frames);
    else
        take_body<false>(source, gain, destination, frames);
}

TD_AVX512 void sum_left_avx512(const float* source, double gain, float* target,
                               int16_t* destination, int32_t frames)
{
    sum_left_body(source, gain, target, destination, frames);
}

__attribute__((target("avx2"))) void sum_left_avx2(const float* source, double gain,
                                                   float* target, int16_t* destination,
                                                   int32_t frames)
{
    sum_left_body(source, gain, target, destination, frames);
}

void sum_left_portable(const float* source, double gain, float* target, int16_t* destination,
                       int32_t frames)
{
    sum_left_body(source, gain, target, destination, frames);
}

__attribute__((target("avx2"))) void convert_avx2(const float* source, int16_t* destination,
                                                  int32_t frames)
{
    convert_body(source, destination, frames);
}

void convert_portable(const float* source, int16_t* destination, int32_t frames)
{
    convert_body(source, destination, frames);
}

__attribute__((target("avx2"))) void sum_convert_avx2(const float* source, double gain,
                                                      float* target, int16_t* destination,
                                                      int32_t frames)
{
    sum_convert_body(source, gain, target, destination, frames);
}

void sum_convert_portable(const float* source, double gain, float* target, int16_t* destination,
                          int32_t frames)
{
    sum_convert_body(source, gain, target, destination, frames);
}

}  // namespace

void sd_c_stereo32ftos16i(const float* source, int16_t* destination, int32_t frames)
{
    if (sd_c_wide)
        convert_avx2(source, destination, frames);
    else
        convert_portable(source, destination, frames);
}

void sd_c_sumstereo32ftos16i(const float* source, float gain, float* target,
                             int16_t* destination, int32_t frames)
{
    if (sd_c_wide)
        sum_convert_avx2(source, gain, target, destination, frames);
    else
        sum_convert_portable(source, gain, target, destination, frames);
}
void sd_c_sumleft32ftos16i(const float* source, float gain, float* target,
                           int16_t* destination, int32_t frames)
{
    if (sd_c_widest)
        sum_left_avx512(source, gain, target, destination, frames);
    else if (sd_c_wide)
        sum_left_avx2(source, gain, target, destination, frames);
    else
        sum_left_portable(source, gain, target, destination, frames);
}

void sd_c_take32ftos16i(float* source, float gain, int16_t* destination, int32_t frames,
                        bool left_only)
{
    if (sd_c_widest)
        take_avx512(source, gain, destination, frames);
    else if (sd_c_wide)
        take_avx2(source, gain, destination, frames, left_only);
    else
        take_portable(source, gain, destination, frames, left_only);
}

void sd_c_takemono32ftos16i(float* source, float gain, int16_t* destination, int32_t frames)
{
    if (sd_c_widest)
        take_mono_avx512(source, gain, destination, frames);
    else if (sd_c_wide)
        take_mono_avx2(source, gain, destination, frames);
    else
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

// The inner loops on their own: 32.32 stepping, the interpolating voice
// renderer, the conversion to 16-bit and the plain 16-bit renderer.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "mixer/sd_mix.h"

namespace {

// Points whose value is their offset, so the played position can be read
// off the output.
std::vector<int8_t> ramp(uint32_t length)
{
    std::vector<int8_t> bytes(length + 1);
    for (uint32_t i = 0; i < bytes.size(); i++)
        bytes[i] = static_cast<int8_t>(i);
    return bytes;
}

mix_channel voice(std::vector<int8_t>& bytes, uint32_t position, int32_t step,
                  uint32_t step_fraction)
{
    mix_channel v{};
    v.sample_data = bytes.data();
    v.length = static_cast<uint32_t>(bytes.size() - 1);
    v.position = position;
    v.step = step;
    v.step_fraction = step_fraction;
    v.volume = 64;
    return v;
}

mix_channel looping(std::vector<int8_t>& bytes, uint32_t position, int32_t step,
                    uint32_t step_fraction, uint32_t loop_start, uint32_t loop_end)
{
    mix_channel v = voice(bytes, position, step, step_fraction);
    v.loop_start = loop_start;
    v.loop_end = loop_end;
    v.loop_enabled = 1;
    return v;
}

// The whole points that frames 0..n-1 play, read back from a ramp rendered
// at gain 128 on the left (w is 0 whenever the step has no fraction).
std::vector<int> played(mix_channel& v, int32_t frames)
{
    std::vector<float> buffer(2 * static_cast<size_t>(frames));
    sd_c_imixstereo(&v, buffer.data(), frames, 128.0f, 0.0f);
    std::vector<int> points;
    for (int32_t k = 0; k < frames; k++)
        points.push_back(static_cast<int>(buffer[2 * k]));
    return points;
}

bool same_record(const mix_channel& a, const mix_channel& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

TEST(Voice, LongAdditionCarriesFromTheFraction)
{
    struct row {
        uint32_t whole, fraction;
        int32_t step;
        uint32_t step_fraction;
        uint32_t want_whole, want_fraction;
    };
    const row rows[] = {
        {5, 0, 1, 0, 6, 0},
        {5, 0xffffffffu, 0, 1, 6, 0},
        {5, 0x80000000u, 0, 0x80000000u, 6, 0},
        {5, 0x7fffffffu, 0, 0x80000000u, 5, 0xffffffffu},
        {5, 0xffffffffu, 2, 0xffffffffu, 8, 0xfffffffeu},
        // The whole part wraps modulo 2^32, a negative step counts down.
        {0xffffffffu, 0xc0000000u, 0, 0x40000000u, 0, 0},
        {5, 10, -1, 0, 4, 10},
        {0, 10, -1, 0, 0xffffffffu, 10},
        // An unchanged fraction is no carry.
        {5, 0xffffffffu, 0, 0, 5, 0xffffffffu},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.whole << " " << r.fraction << " " << r.step << " "
                                        << r.step_fraction);
        uint32_t whole = r.whole, fraction = r.fraction;
        const int32_t step = r.step;
        const uint32_t step_fraction = r.step_fraction;
        long_addition(&whole, &fraction, &step, &step_fraction);
        EXPECT_EQ(whole, r.want_whole);
        EXPECT_EQ(fraction, r.want_fraction);
        EXPECT_EQ(step, r.step);
        EXPECT_EQ(step_fraction, r.step_fraction);
    }
}

TEST(Voice, InterpolatesAfterTheAdvance)
{
    // Step 1 from 0: frame k plays point k + 1, added to what the buffer
    // held, each side with its own gain.
    std::vector<int8_t> r = ramp(100);
    mix_channel v = voice(r, 0, 1, 0);
    std::vector<float> buffer(2 * 20);
    for (size_t i = 0; i < buffer.size(); i++)
        buffer[i] = i % 2 ? -2.0f : 1.0f;
    sd_c_imixstereo(&v, buffer.data(), 20, 0.5f, 0.25f);
    for (int k = 0; k < 20; k++) {
        EXPECT_EQ(buffer[2 * k], 1.0f + (k + 1) / 128.0f * 0.5f) << k;
        EXPECT_EQ(buffer[2 * k + 1], -2.0f + (k + 1) / 128.0f * 0.25f) << k;
    }
    EXPECT_EQ(v.position, 20u);
    EXPECT_EQ(v.position_fraction, 0u);

    // One value from two points at a given fraction, step 0.
    struct row {
        int8_t s0, s1;
        uint32_t fraction;
        double value;
    };
    const row rows[] = {
        {0, 64, 0x80000000u, 0.25},
        // Only the top 16 bits weigh; the next point is read with weight 0.
        {32, 127, 65535u, 0.25},
        {0, 127, 0x0001ffffu, 127.0 / 8388608.0},
        {-128, 127, 0, -1.0},
        {127, -128, 0, 0.9921875},
        {-128, 127, 0xffff0000u, (-128.0 + 255.0 * 65535.0 / 65536.0) / 128.0},
    };
    for (const row& x : rows) {
        SCOPED_TRACE(testing::Message() << int(x.s0) << " " << int(x.s1) << " " << x.fraction);
        std::vector<int8_t> two = {x.s0, x.s1, 0};
        mix_channel w = voice(two, 0, 0, 0);
        w.position_fraction = x.fraction;
        float out[6] = {};
        sd_c_imixstereo(&w, out, 3, 1.0f, -1.0f);
        for (int k = 0; k < 3; k++) {
            EXPECT_EQ(out[2 * k], static_cast<float>(x.value)) << k;
            EXPECT_EQ(out[2 * k + 1], static_cast<float>(-x.value)) << k;
        }
        EXPECT_EQ(w.position, 0u);
        EXPECT_EQ(w.position_fraction, x.fraction);
    }

    // The sum is formed in double and rounded once when stored: rounding the
    // product to a float first gives the neighbouring float.
    std::vector<int8_t> two = {-128, 127, 0};
    mix_channel w = voice(two, 0, 0, 0);
    w.position_fraction = 0x00010000u;
    float out[2] = {0.3f, 0.0f};
    sd_c_imixstereo(&w, out, 1, 97.0f / 128.0f, 0.0f);
    EXPECT_EQ(out[0], -0x1.d4c6c2p-2f);
}

TEST(Voice, LoopsWrapToLoopStartPlusOne)
{
    std::vector<int8_t> r = ramp(64);
    // Started below the loop, the lead-in plays once; each cycle plays
    // loop end - loop start points.
    mix_channel v = looping(r, 7, 1, 0, 10, 20);
    const std::vector<int> want = {8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20,
                                   11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 11};
    EXPECT_EQ(played(v, static_cast<int32_t>(want.size())), want);

    // A position at the loop end is rendered, towards the point after it.
    mix_channel at_end = looping(r, 19, 1, 0, 10, 20);
    at_end.position_fraction = 0x80000000u;
    float out[2] = {};
    sd_c_imixstereo(&at_end, out, 1, 128.0f, 0.0f);
    EXPECT_EQ(at_end.position, 20u);
    EXPECT_EQ(out[0], 20.5f);

    // Loop end + 1 wraps with the fraction kept.
    mix_channel past = looping(r, 20, 1, 0, 10, 20);
    past.position_fraction = 0x40000000u;
    out[0] = 0;
    sd_c_imixstereo(&past, out, 1, 128.0f, 0.0f);
    EXPECT_EQ(past.position, 11u);
    EXPECT_EQ(past.position_fraction, 0x40000000u);
    EXPECT_EQ(out[0], 11.25f);

    // Larger steps lose the overshoot, at most one wrap a frame.
    mix_channel three = looping(r, 19, 3, 0, 10, 20);
    EXPECT_EQ(played(three, 4), (std::vector<int>{11, 14, 17, 20}));
    mix_channel carry = looping(r, 20, 1, 0x80000000u, 10, 20);
    carry.position_fraction = 0x80000000u;
    played(carry, 1);
    EXPECT_EQ(carry.position, 11u);
    EXPECT_EQ(carry.position_fraction, 0u);
    mix_channel huge = looping(r, 12, 40, 0, 10, 20);
    EXPECT_EQ(played(huge, 2), (std::vector<int>{11, 11}));

    // A looping voice never ends, not even at its length.
    mix_channel full = looping(r, 60, 1, 0, 30, 63);
    played(full, 200);
    EXPECT_EQ(full.step, 1);
    EXPECT_EQ(full.volume, 64);
    EXPECT_GT(full.position, 30u);
}

TEST(Voice, OneShotEndLeavesTheRestOfTheBlock)
{
    // Length 10, step 1 from 0: frames 0..8 play points 1..9, frame 9 ends.
    std::vector<int8_t> r = ramp(10);
    mix_channel v = voice(r, 0, 1, 0x10000000u);
    std::vector<float> buffer(2 * 16, 7.0f);
    sd_c_imixstereo(&v, buffer.data(), 16, 1.0f, 1.0f);
    for (int k = 0; k < 16; k++) {
        if (k < 9) {
            EXPECT_NE(buffer[2 * k], 7.0f) << k;
            EXPECT_NE(buffer[2 * k + 1], 7.0f) << k;
        } else {
            EXPECT_EQ(buffer[2 * k], 7.0f) << k;
            EXPECT_EQ(buffer[2 * k + 1], 7.0f) << k;
        }
    }
    EXPECT_EQ(v.position, 0u);
    EXPECT_EQ(v.step, 0);
    EXPECT_EQ(v.step_fraction, 0u);
    EXPECT_EQ(v.volume, 0);
    EXPECT_EQ(v.position_fraction, 10 * 0x10000000u);

    // The first advance already reaches the end: nothing is added.
    mix_channel at_once = voice(r, 8, 2, 0);
    std::vector<float> untouched(2 * 4, 7.0f);
    sd_c_imixstereo(&at_once, untouched.data(), 4, 1.0f, 1.0f);
    EXPECT_EQ(untouched, std::vector<float>(2 * 4, 7.0f));
    EXPECT_EQ(at_once.position, 0u);
    EXPECT_EQ(at_once.volume, 0);
}

TEST(Voice, NoFramesTouchNothing)
{
    std::vector<int8_t> r = ramp(10);
    for (int32_t frames : {0, -1, -1000}) {
        SCOPED_TRACE(frames);
        mix_channel v = voice(r, 9, 1, 0);
        const mix_channel before = v;
        std::vector<float> buffer(8, 3.0f);
        sd_c_imixstereo(&v, buffer.data(), frames, 1.0f, 1.0f);
        EXPECT_TRUE(same_record(v, before));
        EXPECT_EQ(buffer, std::vector<float>(8, 3.0f));

        std::vector<int16_t> pcm(8, 5);
        sd_c_imixstereo_tos16i(&v, pcm.data(), frames, 1.0f, 1.0f);
        EXPECT_TRUE(same_record(v, before));
        EXPECT_EQ(pcm, std::vector<int16_t>(8, 5));

        const std::vector<float> source(8, 0.5f);
        sd_c_stereo32ftos16i(source.data(), pcm.data(), frames);
        EXPECT_EQ(pcm, std::vector<int16_t>(8, 5));
    }
}

TEST(Voice, ConversionClampsAndTruncates)
{
    const float rows[][2] = {
        {0.0f, 0},          {0.25f, 8191},         {0.5f, 16383},       {-0.5f, -16383},
        {1.0f, 32763},      {-1.0f, -32763},       {3.0f, 32763},       {-3.0f, -32763},
        {0.9999f, 32763},   {-0.9999f, -32763},    {0.99991f, 32763},   {1.0f / 32768, 0},
        {-1.0f / 32768, 0}, {1.5f / 32767, 1},     {-1.5f / 32767, -1}, {0.4999f, 16380},
        {-0.0f, 0},         {1e-30f, 0},
    };
    std::vector<float> source;
    for (const auto& r : rows)
        source.push_back(r[0]);
    std::vector<int16_t> out(source.size() + 2, 0x7777);
    sd_c_stereo32ftos16i(source.data(), out.data(), static_cast<int32_t>(source.size() / 2));
    for (size_t i = 0; i < source.size(); i++)
        EXPECT_EQ(out[i], static_cast<int16_t>(rows[i][1])) << "value " << rows[i][0];
    // Exactly 2 x frames values.
    EXPECT_EQ(out[source.size()], 0x7777);
    EXPECT_EQ(out[source.size() + 1], 0x7777);
}

TEST(Voice, PlainRendererInto16Bit)
{
    // Whole points times gain, truncated; the first value of each frame
    // takes the first gain. No interpolation, however far the fraction is.
    std::vector<int8_t> bytes = {0, 100, -3, -128, 127, 50};
    mix_channel v = voice(bytes, 0, 1, 0);
    v.length = 5;
    v.position_fraction = 0xfff00000u;
    std::vector<int16_t> pcm(2 * 5, 10);
    sd_c_imixstereo_tos16i(&v, pcm.data(), 5, 0.5f, 2.0f);
    const std::vector<int16_t> want = {
        10 + 50,  10 + 200,  // 100
        10 - 1,   10 - 6,    // -3: -1.5 truncates toward zero
        10 - 64,  10 - 256,  // -128
        10 + 63,  10 + 254,  // 127
        10,       10,        // ended at length 5
    };
    EXPECT_EQ(pcm, want);
    EXPECT_EQ(v.position, 0u);
    EXPECT_EQ(v.step, 0);
    EXPECT_EQ(v.volume, 0);
    EXPECT_EQ(v.position_fraction, 0xfff00000u);

    // Sums wrap around instead of saturating.
    std::vector<int8_t> loud = {0, 127, 127, -128, -128, 0};
    mix_channel w = voice(loud, 0, 1, 0);
    std::vector<int16_t> edge = {32700, 0, 32767, -32768, -32700, 0, -32768, 32767};
    sd_c_imixstereo_tos16i(&w, edge.data(), 4, 200.0f, 1.0f);
    EXPECT_EQ(edge[0], static_cast<int16_t>(32700 + 25400 - 65536));
    EXPECT_EQ(edge[1], 127);
    EXPECT_EQ(edge[2], static_cast<int16_t>(32767 + 25400 - 65536));
    EXPECT_EQ(edge[3], static_cast<int16_t>(-32768 + 127));
    EXPECT_EQ(edge[4], static_cast<int16_t>(-32700 - 25600 + 65536));
    EXPECT_EQ(edge[5], -128);
    EXPECT_EQ(edge[6], static_cast<int16_t>(-32768 - 25600 + 65536));
    EXPECT_EQ(edge[7], 32767 - 128);

    // It loops like the interpolating renderer.
    std::vector<int8_t> r = ramp(64);
    mix_channel l = looping(r, 18, 1, 0, 10, 20);
    std::vector<int16_t> points(2 * 4);
    sd_c_imixstereo_tos16i(&l, points.data(), 4, 1.0f, 0.0f);
    EXPECT_EQ(points, (std::vector<int16_t>{19, 0, 20, 0, 11, 0, 12, 0}));
}

TEST(Voice, StepZeroHoldsTheValue)
{
    std::vector<int8_t> bytes = {40, 80, 0};
    mix_channel v = voice(bytes, 0, 0, 0);
    v.length = 2;
    v.position_fraction = 0x40000000u;
    std::vector<float> buffer(2 * 50);
    sd_c_imixstereo(&v, buffer.data(), 50, 1.0f, 0.5f);
    for (int k = 0; k < 50; k++) {
        ASSERT_EQ(buffer[2 * k], 50.0f / 128) << k;
        ASSERT_EQ(buffer[2 * k + 1], 25.0f / 128) << k;
    }
    EXPECT_EQ(v.volume, 64);
}

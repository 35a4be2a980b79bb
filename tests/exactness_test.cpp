// The mixer's fast paths against the plain block mixer and voice loop of
// tests/support/reference_mixer.h: every 16-bit value, every float of the
// output bus and every voice position must come out identical.
//
// Pinned checksums guard the plain code itself. A deliberate change of the
// replayer or mixer output changes them; print the new values with
//   TUNEDUMP_PRINT_CHECKSUMS=1 build/tests/tunedump_tests --gtest_filter='Exactness.Pinned*'
// and paste them into pinned_renders below.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/generated.h"
#include "tests/support/harness.h"
#include "tests/support/reference_mixer.h"

using namespace harness;
using namespace generated_modules;

namespace {

using mixer_fn = float* (*)(int16_t*, int32_t, int32_t);

struct render_result {
    std::vector<int16_t> pcm;
    std::vector<float> bus;          // bus 7 of each block, with convert 0
    std::vector<uint32_t> voices;    // position and fraction of every voice after each block
};

// The render pump's sequence of blocks, with a mixer of our choice.
render_result render(const std::vector<uint8_t>& bytes, int32_t solo, int32_t frames,
                     mixer_fn mix, int32_t convert, int32_t rate = 44100)
{
    vex_init(rate, 4096);
    mix_solosample = solo;
    place(bytes);
    render_result out;
    if (vex_get(image) == 0)
        return out;
    mix_solosample = 0;
    vex_start(1);
    int32_t left_in_tick = 0;
    std::vector<int16_t> block(2 * 4096);
    for (int32_t done = 0; done < frames;) {
        if (left_in_tick <= 0) {
            pt_play();
            left_in_tick = vex_tickframes(pt_bpmtempo);
        }
        // Blocks of the front end's 1024 frames split ticks at odd places.
        int32_t n = 1024 - done % 1024;
        if (n > left_in_tick)
            n = left_in_tick;
        float* result = mix(block.data(), n, convert);
        if (convert) {
            out.pcm.insert(out.pcm.end(), block.begin(), block.begin() + 2 * n);
        } else {
            EXPECT_EQ(result, mix_buses[mix_outputbus].buffer);
            out.bus.insert(out.bus.end(), result, result + 2 * n);
        }
        for (int ch = 0; ch < mix_activechannels; ch++) {
            out.voices.push_back(mix_realchannels[ch].position);
            out.voices.push_back(mix_realchannels[ch].position_fraction);
        }
        left_in_tick -= n;
        done += n;
    }
    return out;
}

float* reference_mix(int16_t* d, int32_t f, int32_t c) { return reference::mix_stereo(d, f, c); }
float* real_mix(int16_t* d, int32_t f, int32_t c) { return sd_mix_stereo(d, f, c); }

// Both mixers, both output modes; the float buses are compared as bits.
void expect_same_renders(const std::vector<uint8_t>& bytes, int32_t solo, int32_t frames,
                         int32_t rate = 44100)
{
    for (int32_t convert : {1, 0}) {
        const render_result want = render(bytes, solo, frames, reference_mix, convert, rate);
        const render_result got = render(bytes, solo, frames, real_mix, convert, rate);
        ASSERT_EQ(got.pcm.size(), want.pcm.size());
        for (size_t k = 0; k < want.pcm.size(); k++)
            ASSERT_EQ(got.pcm[k], want.pcm[k]) << "value " << k << " (frame " << k / 2 << ")";
        ASSERT_EQ(got.bus.size(), want.bus.size());
        for (size_t k = 0; k < want.bus.size(); k++) {
            uint32_t a, b;
            std::memcpy(&a, &got.bus[k], 4);
            std::memcpy(&b, &want.bus[k], 4);
            ASSERT_EQ(a, b) << "bus value " << k << " (frame " << k / 2 << ")";
        }
        ASSERT_EQ(got.voices, want.voices) << "voice positions differ";
    }
}

std::vector<uint8_t> file_bytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

uint64_t fnv1a(const void* data, size_t bytes)
{
    uint64_t h = 14695981039346656037ull;
    const auto* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < bytes; i++)
        h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

// What the front end writes: the left values of whole 1024-frame blocks
// from the real render pump.
uint64_t front_end_checksum(const std::vector<uint8_t>& bytes, int32_t solo, int32_t seconds)
{
    vex_init(44100, 4096);
    mix_solosample = solo;
    place(bytes);
    EXPECT_EQ(vex_get(image), 1);
    mix_solosample = 0;
    samples_left_before_tick = 0;
    vex_start(1);
    std::vector<int16_t> mono;
    std::vector<int16_t> block(2 * 1024);
    while (static_cast<int32_t>(mono.size()) < seconds * 44100) {
        mix_newhand(0, block.data(), static_cast<int32_t>(block.size() * 2));
        for (size_t k = 0; k < 1024; k++)
            mono.push_back(block[2 * k]);
    }
    return fnv1a(mono.data(), mono.size() * 2);
}

}  // namespace

class GeneratedModules : public ::testing::TestWithParam<std::tuple<int, int, int>> {};

TEST_P(GeneratedModules, FastMixerMatchesPlainMixer)
{
    const auto [channels, seed, solo] = GetParam();
    const mb_module m = generated(channels, static_cast<uint64_t>(seed) * 7919 + channels);
    expect_same_renders(mb_build(m), solo, 3 * 44100);
}

INSTANTIATE_TEST_SUITE_P(Exactness, GeneratedModules,
                         ::testing::Combine(::testing::Values(2, 4, 6, 8, 12, 16, 24, 32),
                                            ::testing::Values(1, 2, 3),
                                            ::testing::Values(0, 3)));

TEST(Exactness, DemoAndCorpusModulesMatchPlainMixer)
{
    const std::vector<uint8_t> demo = file_bytes(TUNEDUMP_BUILD_DIR "/demo.mod");
    if (demo.empty())
        GTEST_SKIP() << "no demo.mod in the build tree";
    expect_same_renders(demo, 0, 50 * 44100);
    expect_same_renders(demo, 2, 10 * 44100);
    for (const char* name : {"The_Last_V8.mod", "AnarchyMenu1.mod"}) {
        const std::vector<uint8_t> bytes = file_bytes(std::string(TUNEDUMP_CORPUS_DIR "/") + name);
        if (bytes.empty())
            continue;
        SCOPED_TRACE(name);
        expect_same_renders(bytes, 0, 20 * 44100);
    }
}

// Other mixing rates: other steps for the voices and other tick lengths;
// the render pump gives the plain mixer's frames too.
TEST(Exactness, OtherRatesMatchPlainMixer)
{
    const std::vector<uint8_t> bytes = mb_build(generated(8, 77));
    for (const int32_t rate : {22050, 48000, 96000}) {
        SCOPED_TRACE(rate);
        expect_same_renders(bytes, 0, 2 * rate, rate);
        const render_result want = render(bytes, 0, 2 * rate, reference_mix, 1, rate);
        std::vector<int16_t> pumped(want.pcm.size());
        vex_init(rate, 4096);
        place(bytes);
        ASSERT_EQ(vex_get(image), 1);
        vex_start(1);
        mix_newhand(0, pumped.data(), static_cast<int32_t>(2 * pumped.size()));
        EXPECT_EQ(pumped, want.pcm);
    }
}

// The voice loop alone, on the awkward spots: loop ends met mid-block,
// one-shot ends, steps above one point, silent sides, a block of one frame;
// on each path.
// 0: portable, 1: 256-bit, 2: 512-bit where the processor has them.
class WidePath : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override
    {
        sd_c_wide = wide && GetParam() >= 1;
        sd_c_widest = widest && GetParam() >= 2;
    }
    void TearDown() override
    {
        sd_c_wide = wide;
        sd_c_widest = widest;
    }
    const bool wide = sd_c_wide, widest = sd_c_widest;
};

TEST_P(WidePath, VoiceLoopMatchesPlainLoop)
{
    lcg r{12345};
    std::vector<int8_t> data(1002);
    for (int8_t& b : data)
        b = static_cast<int8_t>(r.below(256) - 128);
    std::vector<float> want(2 * 4096), got(2 * 4096), both(2 * 4096), second(2 * 4096),
        both_second(2 * 4096);
    for (int trial = 0; trial < 3000; trial++) {
        mix_channel v{};
        v.sample_data = data.data();
        v.length = 1000;
        v.loop_enabled = r.below(2);
        // Now and then a loop within the first sixteen points.
        v.loop_start = static_cast<uint32_t>(r.below(8) == 0 ? r.below(12) : r.below(900));
        v.loop_end = v.loop_start + 2 + static_cast<uint32_t>(r.below(98));
        v.position = static_cast<uint32_t>(r.below(v.loop_enabled ? static_cast<int>(v.loop_end) + 1 : 1000));
        v.position_fraction = r.next() << 1;
        const int steps[] = {0, 0, 0, 1, 2, 80};
        v.step = steps[r.below(6)];
        v.step_fraction = r.below(4) == 0 ? 0 : r.next() << 1;
        v.volume = 64;
        const float gains[] = {0.0f, 1.0f / 128, 65.0f / 128, 129.0f / 128, 510.0f / 128};
        const float lvol = gains[r.below(5)];
        const float rvol = gains[r.below(5)];
        const int32_t sizes[] = {0, 1, 7, 882, 4096};
        const int32_t frames = sizes[r.below(5)];
        // Bus values from tiny to loud, where each sum's rounding counts.
        for (size_t k = 0; k < want.size(); k++)
            want[k] = got[k] = both[k] = static_cast<float>(r.below(2001) - 1000) /
                                         (r.below(2) == 0 ? 1073741824.0f : 16.0f);
        for (size_t k = 0; k < second.size(); k++)
            second[k] = both_second[k] = static_cast<float>(r.below(2001) - 1000) / 1048576.0f;
        // Copied byte for byte: the records are compared with their padding.
        mix_channel a, b, c, d, e;
        for (mix_channel* x : {&a, &b, &c, &d, &e})
            std::memcpy(x, &v, sizeof v);
        std::vector<float> left(4096);
        for (size_t k = 0; k < left.size(); k++)
            left[k] = want[2 * k];
        const bool ended_want = reference::imixstereo(&a, want.data(), frames, lvol, rvol);
        const bool ended_got = sd_c_imixstereo_ended(&b, got.data(), frames, lvol, rvol);
        // One pass into two buses against one pass into each.
        const bool ended_both =
            sd_c_imixstereo_ended(&c, both.data(), frames, lvol, rvol, both_second.data());
        sd_c_imixstereo_ended(&d, second.data(), frames, lvol, rvol);
        // The left side alone, into a bus of left values.
        const bool ended_left = sd_c_imixleft_ended(&e, left.data(), frames, lvol);
        SCOPED_TRACE("trial " + std::to_string(trial));
        ASSERT_EQ(ended_left, ended_want);
        ASSERT_EQ(std::memcmp(&a, &e, sizeof a), 0) << "left-only voice record differs";
        for (size_t k = 0; k < left.size(); k++)
            ASSERT_EQ(std::bit_cast<uint32_t>(left[k]), std::bit_cast<uint32_t>(want[2 * k])) << k;
        ASSERT_EQ(ended_got, ended_want);
        ASSERT_EQ(ended_both, ended_want);
        ASSERT_EQ(std::memcmp(&a, &b, sizeof a), 0) << "voice record differs";
        ASSERT_EQ(std::memcmp(&a, &c, sizeof a), 0) << "two-bus voice record differs";
        ASSERT_EQ(std::memcmp(want.data(), got.data(), want.size() * sizeof(float)), 0);
        ASSERT_EQ(std::memcmp(want.data(), both.data(), want.size() * sizeof(float)), 0);
        ASSERT_EQ(std::memcmp(second.data(), both_second.data(), second.size() * sizeof(float)), 0);
    }
}

// Whole renders on each path: voices, wraps and ends as the replayer
// drives them, against the plain mixer.
TEST_P(WidePath, GeneratedModulesMatchPlainMixer)
{
    for (const int channels : {4, 32}) {
        SCOPED_TRACE(std::to_string(channels) + " channels");
        expect_same_renders(mb_build(generated(channels, 4242 + channels)), 0, 2 * 44100);
    }
}

std::vector<float> random_bus(lcg& r)
{
    std::vector<float> bus(2 * 4096);
    for (float& x : bus)
        x = static_cast<float>(static_cast<int32_t>(r.next()) - 0x40000000) / 1.0e9f;
    return bus;
}

// Random bus values around full scale, the clamp thresholds and their
// neighbours, through the conversion against the plain table.
TEST_P(WidePath, ConversionMatchesPlainConversion)
{
    lcg r{777};
    std::vector<float> source = random_bus(r);
    const float edges[] = {0.9999f, -0.9999f, std::nextafter(0.9999f, 2.0f),
                           std::nextafter(-0.9999f, -2.0f), 1.0f / 32767, -1.0f / 32767,
                           0.0f, -0.0f, 1.0e6f, -1.0e6f};
    for (size_t k = 0; k < std::size(edges); k++)
        source[k] = edges[k];
    std::vector<int16_t> want(source.size()), got(source.size());
    for (int32_t frames : {4096, 1, 13}) {
        reference::stereo32ftos16i(source.data(), want.data(), frames);
        sd_c_stereo32ftos16i(source.data(), got.data(), frames);
        ASSERT_EQ(got, want) << frames << " frames";
        // The same values as a one-sided bus taken with gain 1.
        std::vector<float> taken = source;
        std::vector<int16_t> mono(source.size(), 7);
        sd_c_takemono32ftos16i(taken.data(), 1.0f, mono.data(), 2 * frames);
        ASSERT_TRUE(std::equal(mono.begin(), mono.begin() + 2 * frames, want.begin()));
        ASSERT_EQ(std::count(taken.begin(), taken.begin() + 2 * frames, 0.0f), 2 * frames);
    }
}

// The last bus sum fused with the conversion, against the plain sum and
// conversion; the left-only form on buses whose right values are zero.
TEST_P(WidePath, FusedSumMatchesSumThenConversion)
{
    lcg r{4242};
    for (bool left_only : {false, true}) {
        for (float gain : {0.5f, -1.75f, 0.0f}) {
            const std::vector<float> source0 = random_bus(r), target0 = random_bus(r);
            std::vector<float> source = source0, want = target0;
            if (left_only)
                for (size_t k = 1; k < want.size(); k += 2)
                    source[k] = want[k] = 0.0f;
            std::vector<float> got = want;
            const int32_t frames = 1 + r.below(4096);
            for (int32_t k = 0; k < 2 * frames; k++)
                want[k] = static_cast<float>(static_cast<double>(want[k]) +
                                             static_cast<double>(source[k]) * gain);
            std::vector<int16_t> pcm_want(want.size(), 7), pcm_got(want.size(), 7);
            reference::stereo32ftos16i(want.data(), pcm_want.data(), frames);
            if (left_only)
                sd_c_sumleft32ftos16i(source.data(), gain, got.data(), pcm_got.data(), frames);
            else
                sd_c_sumstereo32ftos16i(source.data(), gain, got.data(), pcm_got.data(), frames);
            SCOPED_TRACE(testing::Message() << "left only " << left_only << ", gain " << gain);
            ASSERT_EQ(std::memcmp(got.data(), want.data(), want.size() * sizeof(float)), 0);
            ASSERT_EQ(pcm_got, pcm_want);

            // A stem's bus summed alone into a cleared output bus: the same
            // values, and the bus comes back cleared.
            std::vector<float> taken = source, zero(source.size(), 0.0f);
            std::vector<int16_t> pcm_zero(want.size(), 7), pcm_taken(want.size(), 7);
            sd_c_sumstereo32ftos16i(source.data(), gain, zero.data(), pcm_zero.data(), frames);
            sd_c_take32ftos16i(taken.data(), gain, pcm_taken.data(), frames, left_only);
            ASSERT_EQ(pcm_taken, pcm_zero);
            // Its left values alone, as a one-sided bus; the first ones
            // land next to a step of the conversion, where the rounding of
            // each sum to a float decides it.
            std::vector<float> lefts(frames), sums(2 * frames, 0.0f);
            std::vector<int16_t> pcm_lefts(frames), pcm_sums(2 * frames);
            // Then values around the clamp once halved, as the output bus
            // halves them.
            const float clamp_edges[] = {1.9998f, std::nextafter(1.9998f, 3.0f), -1.9998f,
                                         std::nextafter(-1.9998f, -3.0f), 2.0f, -2.0f, 7.5f};
            for (int32_t k = 0; k < frames; k++) {
                lefts[k] = k < 64 && gain != 0.0f
                               ? static_cast<float>((1000.0 + k) / 32767.0 / gain)
                           : k >= 64 && k < 71 ? clamp_edges[k - 64]
                                               : source[2 * k];
                sums[2 * k] = static_cast<float>(0.0 + static_cast<double>(lefts[k]) * gain);
            }
            reference::stereo32ftos16i(sums.data(), pcm_sums.data(), frames);
            sd_c_takemono32ftos16i(lefts.data(), gain, pcm_lefts.data(), frames);
            for (int32_t k = 0; k < frames; k++)
                ASSERT_EQ(pcm_lefts[k], pcm_sums[2 * k]) << "left value " << k;
            ASSERT_EQ(std::count(taken.begin(), taken.begin() + 2 * frames, 0.0f), 2 * frames);
        }
    }
}

// The whole mixer on each path.
TEST_P(WidePath, GeneratedModuleMatchesPlainMixer)
{
    expect_same_renders(mb_build(generated(8, 99)), 0, 3 * 44100);
}

// The left pump against the left values of the stereo pump: voices panned
// to both sides, solo, calls of both kinds and odd sizes in turn, and buses
// set up otherwise (the left values then come from the stereo mix).
TEST_P(WidePath, LeftPumpMatchesStereoPump)
{
    struct left_case {
        int channels;
        int32_t solo;
        bool other_buses;
    };
    for (const left_case c : {left_case{4, 0, false}, left_case{8, 3, false},
                              left_case{32, 0, false}, left_case{6, 0, true}}) {
        SCOPED_TRACE(testing::Message() << c.channels << " channels, solo " << c.solo);
        const std::vector<uint8_t> bytes = mb_build(generated(c.channels, 31 + c.channels));
        std::vector<int16_t> runs[2];
        for (int pass = 0; pass < 2; pass++) {
            vex_init(44100, 4096);
            for (int ch = 0; ch < c.channels; ch++)
                pt_defaultpan[ch] = static_cast<uint8_t>((ch * 5) % 16);
            mix_solosample = c.solo;
            place(bytes);
            ASSERT_EQ(vex_get(image), 1);
            mix_solosample = 0;
            vex_start(1);
            if (c.other_buses)
                mix_bus_add_input(&mix_buses[1], &mix_buses[0], 1.0f);
            std::vector<int16_t>& out = runs[pass];
            const int32_t sizes[] = {1024, 777, 1, 4096, 300};
            for (int call = 0; out.size() < 4 * 44100; call++) {
                const int32_t n = sizes[call % 5];
                std::vector<int16_t> block(2 * static_cast<size_t>(n));
                if (pass == 1 && call % 5 != 4) {
                    mix_newhand_left(0, block.data(), 2 * n);
                    out.insert(out.end(), block.begin(), block.begin() + n);
                    continue;
                }
                mix_newhand(0, block.data(), 4 * n);
                for (int32_t k = 0; k < n; k++)
                    out.push_back(block[2 * static_cast<size_t>(k)]);
            }
        }
        std::fill(std::begin(pt_defaultpan), std::end(pt_defaultpan), 0);
        ASSERT_EQ(runs[1], runs[0]);
    }
}

INSTANTIATE_TEST_SUITE_P(Exactness, WidePath, ::testing::Values(0, 1, 2));

// Skipping part of a song and rendering the rest gives the rest of a whole
// render: skips that end inside a tick, on a tick, after a one-shot end.
TEST(Exactness, SkipThenRenderMatchesWholeRender)
{
    struct skip_case {
        int channels;
        uint64_t seed;
        int32_t skip;
    };
    for (const skip_case c : {skip_case{4, 3, 1}, skip_case{4, 3, 882}, skip_case{8, 5, 44100},
                              skip_case{16, 6, 100003}, skip_case{32, 7, 3 * 44100 + 17}}) {
        SCOPED_TRACE(testing::Message() << c.channels << " channels, skip " << c.skip);
        const std::vector<uint8_t> bytes = mb_build(generated(c.channels, c.seed));
        constexpr int32_t total = 5 * 44100;
        std::vector<int16_t> whole(total), rest(total - c.skip);
        for (int pass = 0; pass < 2; pass++) {
            vex_init(44100, 4096);
            place(bytes);
            ASSERT_EQ(vex_get(image), 1);
            vex_start(1);
            if (pass == 0) {
                mix_newhand_left(0, whole.data(), 2 * total);
            } else {
                vex_skip(c.skip);
                mix_newhand_left(0, rest.data(), 2 * (total - c.skip));
            }
        }
        ASSERT_TRUE(std::equal(rest.begin(), rest.end(), whole.begin() + c.skip));
    }
}

TEST(Exactness, PinnedRenders)
{
    struct pinned {
        int channels;
        uint64_t seed;
        int32_t solo;
        uint64_t checksum;
    };
    const pinned pinned_renders[] = {
        {4, 11, 0, 0xa2b65069df866332ull},
        {8, 12, 0, 0x3ed4a83c7bb0c088ull},
        {32, 13, 0, 0x65a202dbc9e12505ull},
        {16, 14, 5, 0x7dccfe4707e33d31ull},
    };
    const uint64_t demo_checksum = 0x679ae2a4662d7211ull;
    const bool print = std::getenv("TUNEDUMP_PRINT_CHECKSUMS") != nullptr;
    for (const pinned& p : pinned_renders) {
        const uint64_t sum = front_end_checksum(mb_build(generated(p.channels, p.seed)), p.solo, 10);
        if (print)
            std::printf("        {%d, %llu, %d, 0x%016llxull},\n", p.channels,
                        static_cast<unsigned long long>(p.seed), p.solo,
                        static_cast<unsigned long long>(sum));
        else
            EXPECT_EQ(sum, p.checksum) << p.channels << " channels, seed " << p.seed;
    }
    const std::vector<uint8_t> demo = file_bytes(TUNEDUMP_BUILD_DIR "/demo.mod");
    if (demo.empty())
        return;
    const uint64_t sum = front_end_checksum(demo, 0, 60);
    if (print)
        std::printf("    const uint64_t demo_checksum = 0x%016llxull;\n",
                    static_cast<unsigned long long>(sum));
    else
        EXPECT_EQ(sum, demo_checksum) << "demo module";
}

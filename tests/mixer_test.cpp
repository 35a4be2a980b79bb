// The mixer from the outside: sample registry and solo, the control
// operations, set-up and routing, the per-block merge, gains and the mixed
// output of whole blocks.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "tests/support/harness.h"

namespace {

// The mixer as the player leaves it after vex_init; the globals that set-up
// keeps are put back by hand so that no test sees another's leftovers.
void fresh_mixer()
{
    sd_dsp16_init();
    ASSERT_EQ(sd_mix_init(44100, 4096), 1);
    mix_solosample = 0;
    mix_mainvolume = 64;
    mix_activechannels = 4;
    sd_mix_interpolation = 1;
    mix_selectchannel(0);
}

// Sample bytes with one spare byte past the end, which interpolation reads.
std::vector<int8_t> constant_bytes(uint32_t length, int8_t value)
{
    return std::vector<int8_t>(length + 1, value);
}

// Bytes that differ from their neighbours, so a voice in the wrong place
// shows in the output.
std::vector<int8_t> varied_bytes(uint32_t length)
{
    std::vector<int8_t> bytes(length + 1);
    for (uint32_t i = 0; i < bytes.size(); i++)
        bytes[i] = static_cast<int8_t>((i * 37 + i / 7) % 251 - 125);
    return bytes;
}

void register_looped(int32_t n, std::vector<int8_t>& bytes, uint32_t loop_start)
{
    // A looping voice reads the point after loop end, one past the length.
    const uint32_t length = static_cast<uint32_t>(bytes.size() - 2);
    mix_getsample(n, bytes.data(), length, loop_start, length, 1);
}

void register_oneshot(int32_t n, std::vector<int8_t>& bytes)
{
    mix_getsample(n, bytes.data(), static_cast<uint32_t>(bytes.size() - 1), 0, 0, 0);
}

// A new note as the replayer sends it, on the left side.
void note(int32_t channel, int32_t sample, int32_t volume, int32_t period)
{
    mix_selectchannel(channel);
    mix_setvolume(volume);
    mix_setpanning(0);
    mix_setsample(sample);
    mix_setamigaperiod(period);
    mix_setoffset(0);
}

// A step no period gives: exactly one point per frame.
void step_one(int32_t channel)
{
    mix_channels[channel].step = 1;
    mix_channels[channel].step_fraction = 0;
    mix_channels[channel].step_changed = 1;
}

// A block of frames; 0 or fewer frames give an empty one.
std::vector<int16_t> mix(int32_t frames)
{
    const size_t whole = static_cast<size_t>(frames > 0 ? frames : 0);
    std::vector<int16_t> out(2 * whole + 2, 0x5a5a);
    sd_mix_stereo(out.data(), frames, 1);
    out.resize(2 * whole);
    return out;
}

bool all_zero(const std::vector<int16_t>& values)
{
    for (int16_t v : values)
        if (v != 0)
            return false;
    return true;
}

uint64_t fixed(uint32_t whole, uint32_t fraction)
{
    return (static_cast<uint64_t>(whole) << 32) | fraction;
}

}  // namespace

TEST(MixerRegistry, SoloRuleAppliesAtRegistration)
{
    fresh_mixer();
    static int8_t data[32][8];
    auto register_all = [] {
        for (int32_t n = 1; n < 32; n++)
            EXPECT_EQ(mix_getsample(n, data[n], 100u + n, 10u + n, 50u + n, n % 2), 1);
    };

    mix_solosample = 5;
    register_all();
    for (int32_t n = 1; n < 32; n++) {
        SCOPED_TRACE(n);
        EXPECT_EQ(mix_samples[n].sample_data, n == 5 ? data[5] : emptysample);
        EXPECT_EQ(mix_samples[n].length, 100u + n);
        EXPECT_EQ(mix_samples[n].loop_start, 10u + n);
        EXPECT_EQ(mix_samples[n].loop_end, 50u + n);
        EXPECT_EQ(mix_samples[n].loop_enabled, n % 2);
        EXPECT_EQ(mix_samples[n].bus, &mix_buses[0]);
    }
    EXPECT_EQ(mix_samples[0].sample_data, nullptr);

    // Only registration applies the rule.
    mix_solosample = 0;
    EXPECT_EQ(mix_samples[7].sample_data, emptysample);
    register_all();
    for (int32_t n = 1; n < 32; n++)
        EXPECT_EQ(mix_samples[n].sample_data, data[n]) << n;

    // A solo sample that the module never registers silences them all.
    mix_solosample = 9;
    for (int32_t n = 1; n < 32; n++)
        if (n != 9)
            mix_getsample(n, data[n], 100, 0, 0, 0);
    for (int32_t n = 1; n < 32; n++) {
        if (n != 9) {
            EXPECT_EQ(mix_samples[n].sample_data, emptysample) << n;
        }
    }

    // The silent sample really is silent, even after someone wrote into it.
    emptysample[0] = 99;
    emptysample[emptysample_size - 1] = -3;
    fresh_mixer();
    EXPECT_EQ(emptysample[0], 0);
    EXPECT_EQ(emptysample[emptysample_size - 1], 0);
}

TEST(MixerControl, SelectionAndPerChannelFields)
{
    fresh_mixer();
    std::vector<int8_t> a = constant_bytes(300, 1);
    mix_getsample(3, a.data(), 300, 20, 280, 1);

    EXPECT_EQ(mix_selectchannel(17), &mix_channels[17]);
    EXPECT_EQ(mix_curchannel, 17);
    EXPECT_EQ(curchan, &mix_channels[17]);

    mix_setvolume(255);
    mix_setpanning(200);
    mix_setamigaperiod(428);
    mix_setoffset(33);
    mix_channel before = mix_channels[17];
    mix_setsample(3);
    const mix_channel& c = mix_channels[17];
    EXPECT_EQ(c.sample_number, 3);
    EXPECT_EQ(c.sample_data, a.data());
    EXPECT_EQ(c.length, 300u);
    EXPECT_EQ(c.loop_start, 20u);
    EXPECT_EQ(c.loop_end, 280u);
    EXPECT_EQ(c.loop_enabled, 1);
    // A new sample alone keeps the voice where it is.
    EXPECT_EQ(c.volume, 255);
    EXPECT_EQ(c.panning, 200);
    EXPECT_EQ(c.position, before.position);
    EXPECT_EQ(c.position_fraction, before.position_fraction);
    EXPECT_EQ(c.step, before.step);
    EXPECT_EQ(c.step_fraction, before.step_fraction);
    EXPECT_EQ(c.step_changed, before.step_changed);
    EXPECT_EQ(c.position_changed, before.position_changed);

    // Only the selected record is written.
    EXPECT_EQ(mix_channels[16].volume, 0);
    EXPECT_EQ(mix_channels[18].panning, 127);

    mix_setactivechannels(32);
    EXPECT_EQ(mix_activechannels, 32);
    mix_setactivechannels(0);
    EXPECT_EQ(mix_activechannels, 0);
}

TEST(MixerControl, PeriodToStep)
{
    fresh_mixer();
    struct row {
        int32_t period;
        int32_t step;
        uint32_t fraction;
    };
    const row rows[] = {
        {428, 0, 807083520u}, {28, 2, 3746917120u}, {1, 80, 1834467072u},
        {0, 0, 0u},           {-5, 0, 0u},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.period);
        mix_channels[0].step = 7;
        mix_channels[0].step_fraction = 12345;
        mix_channels[0].step_changed = 0;
        mix_setamigaperiod(r.period);
        EXPECT_EQ(mix_channels[0].step, r.step);
        EXPECT_EQ(mix_channels[0].step_fraction, r.fraction);
        EXPECT_EQ(mix_channels[0].step_changed, 1);
    }

    // Over every period a module can give: 24 significant fraction bits, and
    // the step within 2^-24 of clock / (rate x period) at both rates.
    for (int32_t rate : {44100, 22050}) {
        sd_mix_rate = rate;
        for (int32_t p = 1; p <= 4096; p++) {
            mix_setamigaperiod(p);
            const mix_channel& c = mix_channels[0];
            ASSERT_EQ(c.step_fraction & 0xffu, 0u) << p;
            const double got = c.step + c.step_fraction / 4294967296.0;
            const double want = 3546836.0 / (static_cast<double>(rate) * p);
            ASSERT_LE(want - got, 1.0 / 16777216.0) << rate << " " << p;
            ASSERT_GE(want - got, 0.0) << rate << " " << p;
        }
    }
    sd_mix_rate = 44100;
}

TEST(MixerControl, OffsetAgainstLengthAndLoopEnd)
{
    fresh_mixer();
    std::vector<int8_t> a = constant_bytes(1000, 1);
    mix_getsample(1, a.data(), 1000, 200, 600, 1);

    struct row {
        int32_t offset;
        bool moves;
        int32_t loop_after;
    };
    const row rows[] = {
        {0, true, 1},     {100, true, 1},    {600, true, 1},  {601, true, 0},
        {999, true, 0},   {1000, false, 0},  {5000, false, 0}, {-1, false, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.offset);
        mix_selectchannel(2);
        mix_setsample(1);
        mix_channel& c = mix_channels[2];
        c.position = 77;
        c.position_fraction = 0xdead;
        c.position_changed = 0;
        mix_setoffset(r.offset);
        EXPECT_EQ(c.loop_enabled, r.loop_after);
        EXPECT_EQ(c.position, r.moves ? static_cast<uint32_t>(r.offset) : 77u);
        EXPECT_EQ(c.position_fraction, r.moves ? 0u : 0xdeadu);
        EXPECT_EQ(c.position_changed, r.moves ? 1 : 0);
    }

    // The loop stays off until the next sample, also for an offset inside it.
    mix_setsample(1);
    mix_setoffset(700);
    mix_setoffset(300);
    EXPECT_EQ(mix_channels[2].loop_enabled, 0);
    mix_setsample(1);
    EXPECT_EQ(mix_channels[2].loop_enabled, 1);
}

TEST(MixerControl, MainVolumeClamps)
{
    fresh_mixer();
    const int32_t rows[][2] = {{300, 252}, {253, 252}, {252, 252}, {64, 64},
                               {0, 0},     {-1, 0},    {-500, 0}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r[0]);
        mix_mainvolume = 11;
        EXPECT_EQ(sd_setmainvolume(r[0]), r[1]);
        EXPECT_EQ(mix_mainvolume, r[1]);
    }
    EXPECT_EQ(vex_set_mastervolume(1.0), 63);
    EXPECT_EQ(vex_set_mastervolume(4.0), 252);
    EXPECT_EQ(vex_set_mastervolume(9.0), 252);
}

TEST(MixerInit, ResetsRecordsRegistryAndRouting)
{
    fresh_mixer();
    // Leave traces everywhere that set-up must wipe.
    std::vector<int8_t> a = constant_bytes(64, 5);
    mix_getsample(4, a.data(), 64, 0, 64, 1);
    note(3, 4, 40, 300);
    mix_realchannels[3] = mix_channels[3];
    mix_bus_add_input(&mix_buses[2], &mix_buses[1], 2.0f);
    mix_bus_add_effect(&mix_buses[2], 5);
    mix_mainvolume = 100;
    mix_activechannels = 9;
    mix_solosample = 3;
    mix_selectchannel(5);

    ASSERT_EQ(sd_init(22050, 512), 1);
    ASSERT_EQ(sd_init(44100, 4096), 1);
    EXPECT_EQ(sd_mix_rate, 44100);
    for (const mix_channel* records : {mix_channels, mix_realchannels}) {
        for (int i = 0; i < mix_maxchannels; i++) {
            SCOPED_TRACE(i);
            const mix_channel& c = records[i];
            EXPECT_EQ(c.sample_data, nullptr);
            EXPECT_EQ(c.sample_number, 0);
            EXPECT_EQ(c.volume, 0);
            EXPECT_EQ(c.position_fraction, 0u);
            EXPECT_EQ(c.position, 0u);
            EXPECT_EQ(c.step_fraction, 0u);
            EXPECT_EQ(c.step, 0);
            EXPECT_EQ(c.loop_start, 0u);
            EXPECT_EQ(c.loop_end, 0u);
            EXPECT_EQ(c.loop_enabled, 0);
            EXPECT_EQ(c.length, 0u);
            EXPECT_EQ(c.panning, 127);
            EXPECT_EQ(c.step_changed, 1);
            EXPECT_EQ(c.position_changed, 1);
        }
    }
    for (const mix_sample& s : mix_samples) {
        EXPECT_EQ(s.sample_data, nullptr);
        EXPECT_EQ(s.length, 0u);
        EXPECT_EQ(s.loop_enabled, 0);
        EXPECT_EQ(s.bus, &mix_buses[0]);
    }
    for (int b = 0; b < mix_busnum; b++) {
        SCOPED_TRACE(b);
        const mix_bus& bus = mix_buses[b];
        ASSERT_NE(bus.buffer, nullptr);
        EXPECT_EQ(bus.frames, 4096);
        EXPECT_EQ(bus.channels, 2);
        EXPECT_EQ(bus.effects[0], 0);
        EXPECT_EQ(bus.effects[1], 0);
        EXPECT_EQ(bus.inputs[1].source, nullptr);
        if (b == mix_outputbus) {
            // Two set-ups in a row, still one input.
            EXPECT_EQ(bus.inputs[0].source, &mix_buses[0]);
            EXPECT_EQ(bus.inputs[0].gain, 0.5f);
        } else {
            EXPECT_EQ(bus.inputs[0].source, nullptr);
        }
    }
    // Set-up leaves these alone.
    EXPECT_EQ(mix_mainvolume, 100);
    EXPECT_EQ(mix_activechannels, 9);
    EXPECT_EQ(mix_solosample, 3);
    EXPECT_EQ(mix_curchannel, 5);
    EXPECT_EQ(curchan, &mix_channels[5]);

    // A set-up the mixer cannot honour is refused.
    EXPECT_EQ(sd_mix_init(0, 4096), 0);
    EXPECT_EQ(sd_mix_init(44100, 0), 0);
    mix_solosample = 0;
}

TEST(MixerBuses, InputEffectSlotsAndClearing)
{
    fresh_mixer();
    mix_bus& bus = mix_buses[3];
    mix_bus_add_input(&bus, &mix_buses[0], 0.25f);
    mix_bus_add_input(&bus, &mix_buses[1], 0.75f);
    mix_bus_add_input(&bus, &mix_buses[2], 9.0f);
    EXPECT_EQ(bus.inputs[0].source, &mix_buses[0]);
    EXPECT_EQ(bus.inputs[0].gain, 0.25f);
    EXPECT_EQ(bus.inputs[1].source, &mix_buses[1]);
    EXPECT_EQ(bus.inputs[1].gain, 0.75f);

    mix_bus_add_effect(&bus, 11);
    mix_bus_add_effect(&bus, 12);
    mix_bus_add_effect(&bus, 13);
    EXPECT_EQ(bus.effects[0], 11);
    EXPECT_EQ(bus.effects[1], 12);

    EXPECT_EQ(mix_bus_init(&bus, 16, 2), bus.buffer);
    EXPECT_EQ(bus.frames, 16);
    EXPECT_EQ(bus.inputs[0].source, nullptr);
    EXPECT_EQ(bus.inputs[1].source, nullptr);
    EXPECT_EQ(bus.effects[0], 0);
    EXPECT_EQ(bus.effects[1], 0);
    mix_bus_add_input(&bus, &mix_buses[2], 3.0f);
    EXPECT_EQ(bus.inputs[0].source, &mix_buses[2]);

    // A short block still clears every bus whole.
    fresh_mixer();
    for (mix_bus& b : mix_buses)
        for (int32_t k = 0; k < 2 * b.frames; k++)
            b.buffer[k] = 1.5f;
    mix(10);
    for (int b = 0; b < mix_busnum; b++)
        for (int32_t k = 0; k < 2 * 4096; k++)
            ASSERT_EQ(mix_buses[b].buffer[k], 0.0f) << b << " " << k;
}

TEST(MixerMerge, FlagsDecideWhatTheRenderRecordTakes)
{
    fresh_mixer();
    int8_t bytes[4] = {};
    mix_channel render{};
    render.position = 10;
    render.position_fraction = 5;
    render.step = 2;
    render.step_fraction = 7;
    mix_channel control{};
    control.sample_data = bytes;
    control.sample_number = 6;
    control.volume = 33;
    control.position = 400;
    control.position_fraction = 9;
    control.step = 3;
    control.step_fraction = 11;
    control.loop_start = 1;
    control.loop_end = 3;
    control.loop_enabled = 1;
    control.length = 4;
    control.panning = 99;

    struct row {
        int32_t position_changed, step_changed;
    };
    for (row r : {row{0, 0}, row{1, 0}, row{0, 1}, row{1, 1}}) {
        SCOPED_TRACE(testing::Message() << r.position_changed << r.step_changed);
        mix_channel out = render;
        control.position_changed = r.position_changed;
        control.step_changed = r.step_changed;
        EXPECT_EQ(mix_copychannel(&out, &control), &out);
        EXPECT_EQ(out.sample_data, bytes);
        EXPECT_EQ(out.sample_number, 6);
        EXPECT_EQ(out.volume, 33);
        EXPECT_EQ(out.loop_start, 1u);
        EXPECT_EQ(out.loop_end, 3u);
        EXPECT_EQ(out.loop_enabled, 1);
        EXPECT_EQ(out.length, 4u);
        EXPECT_EQ(out.panning, 99);
        EXPECT_EQ(out.position, r.position_changed ? 400u : 10u);
        EXPECT_EQ(out.position_fraction, r.position_changed ? 9u : 5u);
        EXPECT_EQ(out.step, r.step_changed ? 3 : 2);
        EXPECT_EQ(out.step_fraction, r.step_changed ? 11u : 7u);
        EXPECT_EQ(control.position_changed, 0);
        EXPECT_EQ(control.step_changed, 0);
    }
}

TEST(MixerMerge, BlocksTakeOverTheControlSide)
{
    fresh_mixer();
    std::vector<int8_t> a = varied_bytes(20000);
    std::vector<int8_t> b = constant_bytes(20000, 9);
    register_looped(1, a, 100);
    register_looped(2, b, 0);
    mix_activechannels = 2;

    // Blocks of 0 and fewer frames still merge and consume the flags of the
    // active channels, and leave the others waiting.
    note(0, 1, 64, 428);
    note(1, 1, 64, 428);
    note(2, 1, 64, 428);
    mix(0);
    mix(-3);
    for (int ch = 0; ch < 2; ch++) {
        SCOPED_TRACE(ch);
        EXPECT_EQ(mix_channels[ch].position_changed, 0);
        EXPECT_EQ(mix_channels[ch].step_changed, 0);
        EXPECT_EQ(mix_realchannels[ch].step_fraction, 807083520u);
        EXPECT_EQ(mix_realchannels[ch].volume, 64);
    }
    EXPECT_EQ(mix_channels[2].position_changed, 1);
    EXPECT_EQ(mix_channels[2].step_changed, 1);
    EXPECT_EQ(mix_realchannels[2].step_fraction, 0u);
    EXPECT_EQ(mix_realchannels[2].volume, 0);

    // Offset and period start the next block; the one after goes on from
    // where the renderer left off.
    mix_selectchannel(0);
    mix_setoffset(500);
    mix_setamigaperiod(200);
    const mix_channel period200 = mix_channels[0];
    mix(100);
    const uint64_t step = fixed(static_cast<uint32_t>(period200.step), period200.step_fraction);
    EXPECT_EQ(fixed(mix_realchannels[0].position, mix_realchannels[0].position_fraction),
              fixed(500, 0) + 100 * step);
    mix(57);
    EXPECT_EQ(fixed(mix_realchannels[0].position, mix_realchannels[0].position_fraction),
              fixed(500, 0) + 157 * step);

    // With both flags clear, volume, panning and sample follow the control
    // side, position and step stay the renderer's.
    mix_setvolume(20);
    mix_setpanning(255);
    mix_setsample(2);
    mix_channels[0].position = 3;
    mix_channels[0].step = 5;
    const mix_channel& r = mix_realchannels[0];
    mix(10);
    EXPECT_EQ(r.volume, 20);
    EXPECT_EQ(r.panning, 255);
    EXPECT_EQ(r.sample_number, 2);
    EXPECT_EQ(r.sample_data, b.data());
    EXPECT_EQ(r.loop_start, 0u);
    EXPECT_EQ(fixed(r.position, r.position_fraction), fixed(500, 0) + 167 * step);
    EXPECT_EQ(r.step, period200.step);
    EXPECT_EQ(r.step_fraction, period200.step_fraction);
}

// Every row of the gain table, and the same gains as the pipeline applies
// them: a sample of 64s is 0.5, so bus 0 holds exactly half of each gain.
struct gain_row {
    int32_t main, volume, panning, left128, right128;
};

class MixerGain : public testing::TestWithParam<gain_row> {};

TEST_P(MixerGain, TableRow)
{
    const gain_row g = GetParam();
    EXPECT_EQ(mix_leftgain(g.main, g.volume, g.panning), g.left128 / 128.0f);
    EXPECT_EQ(mix_rightgain(g.main, g.volume, g.panning), g.right128 / 128.0f);

    fresh_mixer();
    std::vector<int8_t> a = constant_bytes(1000, 64);
    register_looped(1, a, 0);
    mix_mainvolume = g.main;
    note(0, 1, g.volume, 428);
    mix_setpanning(g.panning);
    int16_t dummy[2 * 8];
    sd_mix_stereo(dummy, 8, 0);
    for (int k = 0; k < 8; k++) {
        EXPECT_EQ(mix_buses[0].buffer[2 * k], g.left128 / 256.0f) << k;
        EXPECT_EQ(mix_buses[0].buffer[2 * k + 1], g.right128 / 256.0f) << k;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Mixer, MixerGain,
    testing::Values(gain_row{63, 64, 127, 64, 63}, gain_row{64, 64, 127, 65, 64},
                    gain_row{63, 64, 0, 127, 0}, gain_row{64, 64, 0, 129, 0},
                    gain_row{64, 48, 0, 97, 0}, gain_row{64, 64, 64, 97, 32},
                    gain_row{252, 64, 0, 510, 0}, gain_row{64, 1, 0, 2, 0},
                    gain_row{64, 127, 0, 257, 0},
                    // The largest product the callers can form.
                    gain_row{252, 255, 255, 0, 2032}, gain_row{252, 255, 0, 2032, 0},
                    gain_row{0, 64, 0, 0, 0}));

TEST(MixerPipeline, FullScaleSampleWorkedCase)
{
    for (int8_t value : {int8_t{127}, int8_t{-128}}) {
        SCOPED_TRACE(value);
        fresh_mixer();
        std::vector<int8_t> a = constant_bytes(5000, value);
        register_looped(1, a, 0);
        note(0, 1, 64, 428);
        const std::vector<int16_t> out = mix(1024);
        const float bus0 = value == 127 ? 0.99993896484375f : -1.0078125f;
        const float bus7 = value == 127 ? 0.499969482421875f : -0.50390625f;
        const int16_t left = value == 127 ? 16382 : -16511;
        for (int k = 0; k < 1024; k++) {
            ASSERT_EQ(mix_buses[0].buffer[2 * k], bus0) << k;
            ASSERT_EQ(mix_buses[0].buffer[2 * k + 1], 0.0f) << k;
            ASSERT_EQ(mix_buses[7].buffer[2 * k], bus7) << k;
            ASSERT_EQ(out[2 * k], left) << k;
            ASSERT_EQ(out[2 * k + 1], 0) << k;
        }
    }
}

TEST(MixerPipeline, SilentBlocksAndFloatOutput)
{
    fresh_mixer();
    std::vector<int8_t> a = constant_bytes(5000, 100);
    register_looped(1, a, 0);
    note(0, 1, 64, 428);
    note(1, 1, 64, 428);

    mix_activechannels = 0;
    EXPECT_TRUE(all_zero(mix(300)));

    // Volume 0 on both.
    mix_activechannels = 2;
    mix_selectchannel(0);
    mix_setvolume(0);
    mix_selectchannel(1);
    mix_setvolume(0);
    EXPECT_TRUE(all_zero(mix(300)));

    // No sample: nothing, though the record is merged.
    mix_setvolume(64);
    mix_channels[1].length = 0;
    EXPECT_TRUE(all_zero(mix(300)));
    EXPECT_EQ(mix_realchannels[1].volume, 64);
    EXPECT_EQ(mix_realchannels[1].length, 0u);

    // Rendering switched off.
    mix_channels[1].length = 5000;
    sd_mix_interpolation = 0;
    EXPECT_TRUE(all_zero(mix(300)));
    sd_mix_interpolation = 1;

    // Without conversion the destination stays as it was and the result is
    // the output bus: 100/128 x 129/128 halved, every frame.
    std::vector<int16_t> untouched(2 * 300, 0x1234);
    const float* out = sd_mix_stereo(untouched.data(), 300, 0);
    EXPECT_EQ(out, mix_buses[mix_outputbus].buffer);
    for (int16_t v : untouched)
        ASSERT_EQ(v, 0x1234);
    for (int k = 0; k < 300; k++) {
        ASSERT_EQ(out[2 * k], 0.3936767578125f) << k;
        ASSERT_EQ(out[2 * k + 1], 0.0f) << k;
    }
    // With it, 2 x F values are written and not one more.
    std::vector<int16_t> guarded(2 * 300 + 4, 0x1234);
    sd_mix_stereo(guarded.data(), 300, 1);
    EXPECT_EQ(guarded[0], 12899);
    EXPECT_EQ(guarded[2 * 299], 12899);
    EXPECT_EQ(guarded[2 * 300], 0x1234);
}

TEST(MixerPipeline, ChannelSetUpThroughDriverSlotsSounds)
{
    fresh_mixer();
    std::vector<int8_t> a = constant_bytes(5000, 100);
    ASSERT_EQ(sd_init(44100, 4096), 1);
    sd_setmainvolume(64);
    ASSERT_EQ(sd_getsample(1, a.data(), 5000, 0, 5000, 1), 1);
    sd_setactivechannels(1);
    sd_selectchannel(0);
    sd_setsample(1);
    sd_setvolume(64);
    sd_setpanning(0);
    sd_setamigaperiod(428);
    sd_setoffset(0);
    const std::vector<int16_t> out = mix(882);
    for (int k = 0; k < 882; k++) {
        ASSERT_EQ(out[2 * k], 12899) << k;
        ASSERT_EQ(out[2 * k + 1], 0) << k;
    }
}

TEST(MixerEndedVoice, StaysSilentUntilANewReadPosition)
{
    fresh_mixer();
    std::vector<int8_t> a = constant_bytes(10, 50);
    register_oneshot(1, a);
    note(0, 1, 64, 428);
    step_one(0);

    // Points 1..9 sound, the voice ends at frame 9 of 20.
    std::vector<int16_t> out = mix(20);
    for (int k = 0; k < 20; k++)
        EXPECT_EQ(out[2 * k] != 0, k < 9) << k;
    const mix_channel& r = mix_realchannels[0];
    EXPECT_EQ(r.position, 0u);
    EXPECT_EQ(r.step, 0);
    EXPECT_EQ(r.step_fraction, 0u);

    // Nothing brings it back but a new position: not the control volume,
    // not a period alone, not the same sample again.
    EXPECT_TRUE(all_zero(mix(20)));
    mix_setamigaperiod(428);
    EXPECT_TRUE(all_zero(mix(20)));
    mix_setamigaperiod(300);
    mix(0);
    EXPECT_TRUE(all_zero(mix(20)));
    mix_setsample(1);
    mix_setvolume(64);
    EXPECT_TRUE(all_zero(mix(20)));

    // The offset alone restarts it, at the period sent while it was silent.
    const uint64_t step300 =
        fixed(static_cast<uint32_t>(mix_channels[0].step), mix_channels[0].step_fraction);
    ASSERT_EQ(mix_channels[0].step_changed, 0);
    mix_setoffset(2);
    out = mix(7);
    for (int k = 0; k < 7; k++)
        EXPECT_NE(out[2 * k], 0) << k;
    EXPECT_EQ(fixed(r.position, r.position_fraction), fixed(2, 0) + 7 * step300);
    EXPECT_EQ(fixed(static_cast<uint32_t>(r.step), r.step_fraction), step300);

    // Ended again, then a new note in the usual way.
    mix_selectchannel(0);
    mix_setamigaperiod(28);
    mix_setoffset(0);
    mix(20);
    EXPECT_EQ(r.step, 0);
    EXPECT_TRUE(all_zero(mix(20)));
    note(0, 1, 64, 28);
    out = mix(3);
    for (int k = 0; k < 3; k++)
        EXPECT_NE(out[2 * k], 0) << k;
}

// A voice at volume 0 is rendered silently: it moves on exactly as an
// audible one does, wraps and ends at the same frames.
TEST(MixerSilentVoice, AdvancesAsAtFullVolume)
{
    fresh_mixer();
    std::vector<int8_t> looped = varied_bytes(3000);
    std::vector<int8_t> oneshot = varied_bytes(9000);
    register_looped(1, looped, 1000);
    register_oneshot(2, oneshot);
    mix_activechannels = 4;
    note(0, 1, 0, 113);
    note(1, 1, 64, 113);
    note(2, 2, 0, 100);
    note(3, 2, 64, 100);

    bool ended = false;
    for (int32_t frames : {1, 7, 882, 3445, 1024, 4096, 4096}) {
        SCOPED_TRACE(frames);
        mix(frames);
        for (int ch : {0, 2}) {
            const mix_channel& quiet = mix_realchannels[ch];
            const mix_channel& loud = mix_realchannels[ch + 1];
            EXPECT_EQ(quiet.position, loud.position) << ch;
            EXPECT_EQ(quiet.position_fraction, loud.position_fraction) << ch;
            EXPECT_EQ(quiet.step, loud.step) << ch;
            EXPECT_EQ(quiet.step_fraction, loud.step_fraction) << ch;
        }
        ended = ended || mix_realchannels[3].step == 0;
    }
    // The blocks took the looped voice round its loop and the one-shot voice
    // off its end.
    EXPECT_TRUE(ended);
    EXPECT_GE(mix_realchannels[1].position, 1000u);

    // The one-shot voice that ended while silent stays silent at volume 64,
    // until its next note.
    mix_activechannels = 3;
    mix_selectchannel(1);
    mix_setvolume(0);
    mix_selectchannel(2);
    mix_setvolume(64);
    mix(100);
    for (int32_t k = 0; k < 100; k++)
        ASSERT_EQ(mix_buses[0].buffer[2 * k], 0.0f) << k;
    note(2, 2, 64, 100);
    EXPECT_FALSE(all_zero(mix(100)));
}

// The common fade-in idiom: a note started at volume 0 and raised a row
// later must be where the same note played audibly from the start would be.
TEST(MixerSilentVoice, NoteRaisedFromVolumeZeroIsInStep)
{
    auto render = [](bool start_silent) {
        mb_module m = mb_new("M.K.");
        mb_sample s;
        for (int i = 0; i < 1200; i++)
            s.data.push_back(static_cast<int8_t>((i * 29 + i / 5) % 241 - 120));
        s.loop_start = 200;
        s.loop_length = 1000;
        m.samples[1] = s;
        mb_at(m, 0, 0, 0) = mb_cell{1, mb_period(30), uint8_t(start_silent ? 0xC : 0), 0};
        mb_at(m, 0, 1, 0) = mb_cell{0, 0, 0xC, 64};
        EXPECT_EQ(harness::load(m), 1);
        std::vector<int16_t> out(2 * 1024 * 16);
        for (int block = 0; block < 16; block++)
            mix_newhand(0, out.data() + 2 * 1024 * block, 4096);
        return out;
    };
    const std::vector<int16_t> faded = render(true);
    const std::vector<int16_t> audible = render(false);
    const size_t row = 2 * 6 * 882;
    const std::vector<int16_t> faded_first(faded.begin(), faded.begin() + row);
    const std::vector<int16_t> audible_first(audible.begin(), audible.begin() + row);
    EXPECT_TRUE(all_zero(faded_first));
    EXPECT_FALSE(all_zero(audible_first));
    for (size_t i = row; i < faded.size(); i++)
        ASSERT_EQ(faded[i], audible[i]) << "frame " << i / 2;
}

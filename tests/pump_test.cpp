// The render pump and the player interface around it: where replay ticks
// fall in the host's blocks, how many frames a call writes, shutdown and
// the master volume.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/harness.h"

using namespace harness;

namespace {

constexpr int16_t untouched = 0x5a5a;

std::vector<int16_t>* block;       // the destination of the call in progress
std::vector<int32_t>* tick_starts;  // frame offsets in it at which pt_play ran

// The first frame the pump has not written yet: where the block stood when
// the tick began (an empty module mixes zeros).
mix_channel* note_tick_start(int32_t channel)
{
    if (channel == 0) {
        size_t frame = 0;
        while (2 * frame < block->size() && (*block)[2 * frame] != untouched)
            frame++;
        tick_starts->push_back(static_cast<int32_t>(frame));
    }
    return mix_selectchannel(channel);
}

struct pump_case {
    const char* name;
    int tempo_effect_row;  // row of an F20 on channel 0, or -1
    std::vector<int32_t> byte_counts;
    std::vector<std::vector<int32_t>> tick_starts;  // per call
    std::vector<int32_t> frames_written;            // per call
};

}  // namespace

TEST(PumpTicks, Table)
{
    const pump_case table[] = {
        {"tempo 125, two blocks of 1024 frames", -1, {4096, 4096}, {{0, 882}, {740}}, {1024, 1024}},
        {"no whole frame: nothing", -1, {0, -4, 1, 2, 3, 4096}, {{}, {}, {}, {}, {}, {0, 882}},
         {0, 0, 0, 0, 0, 1024}},
        {"4097 bytes", -1, {4097}, {{0, 882}}, {1024}},
        {"F20 on the first tick", 0, {16000}, {{0, 3445}}, {4000}},
        {"F20 on the second row", 1, {40000},
         {{0, 882, 1764, 2646, 3528, 4410, 5292, 8737}}, {10000}},
    };
    for (const pump_case& c : table) {
        SCOPED_TRACE(c.name);
        mb_module m = mb_new("M.K.");
        if (c.tempo_effect_row >= 0)
            mb_at(m, 0, c.tempo_effect_row, 0) = mb_cell{0, 0, 0xF, 0x20};
        ASSERT_EQ(load(m), 1);
        sd_selectchannel = note_tick_start;
        for (size_t i = 0; i < c.byte_counts.size(); i++) {
            SCOPED_TRACE(i);
            const int32_t bytes = c.byte_counts[i];
            std::vector<int16_t> out(2 * static_cast<size_t>(bytes > 0 ? bytes / 4 + 4 : 4), untouched);
            std::vector<int32_t> starts;
            block = &out;
            tick_starts = &starts;
            mix_newhand(0, out.data(), bytes);
            EXPECT_EQ(starts, c.tick_starts[i]);
            int32_t written = 0;
            while (out[2 * static_cast<size_t>(written)] != untouched)
                written++;
            EXPECT_EQ(written, c.frames_written[i]);
        }
    }
}

namespace {
std::string shutdown_log;
void log_stop() { shutdown_log += "stop "; }
void log_shutdown() { shutdown_log += "shutdown "; }
}  // namespace

TEST(PumpClose, StopsThenShutsDownOnlyOnceOpened)
{
    vex_init(44100, 4096);
    sd_stop = log_stop;
    sd_shutdown = log_shutdown;
    shutdown_log.clear();
    vex_close();
    EXPECT_EQ(shutdown_log, "stop shutdown ");

    // The driver-open flag as the program starts, before any vex_init.
    laite = 0;
    shutdown_log.clear();
    vex_close();
    EXPECT_EQ(shutdown_log, "");
}

TEST(PumpMasterVolume, ScalesToAtMost63)
{
    const struct {
        double level;
        int32_t volume;
    } table[] = {{1.0, 63}, {0.5, 31}, {0.999, 62}};
    vex_init(44100, 4096);
    EXPECT_EQ(mix_mainvolume, 64);
    for (const auto& c : table) {
        SCOPED_TRACE(c.level);
        EXPECT_EQ(vex_set_mastervolume(c.level), c.volume);
        EXPECT_EQ(mix_mainvolume, c.volume);
    }
}

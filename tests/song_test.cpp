// Song length and sequences: how long a module plays before it comes round
// again, where its further tunes start, and that scanning leaves no trace.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/harness.h"

using namespace harness;

namespace {

constexpr int32_t row6 = 6 * 882;  // one row at speed 6, tempo 125

struct fx {
    int pattern, row, channel;
    uint8_t effect, parameter;
};

using sequence_list = std::vector<std::pair<int32_t, int32_t>>;  // start, frames

struct song_case {
    const char* name;
    std::vector<uint8_t> order;
    std::vector<fx> cells;
    sequence_list expected;
};

mb_module module_of(const std::vector<uint8_t>& order, const std::vector<fx>& cells)
{
    mb_module m = mb_new("M.K.");
    m.order = order;
    for (uint8_t p : order)
        mb_pattern(m, p);
    for (const fx& f : cells)
        mb_at(m, f.pattern, f.row, f.channel) = mb_cell{0, 0, f.effect, f.parameter};
    return m;
}

sequence_list sequences_of_image()
{
    vex_sequence found[VEX_MAX_SEQUENCES];
    const int32_t n = vex_sequences(image, found, VEX_MAX_SEQUENCES);
    sequence_list out;
    for (int32_t i = 0; i < n; i++)
        out.emplace_back(found[i].start_position, found[i].frames);
    return out;
}

sequence_list sequences_of(const mb_module& m)
{
    vex_init(44100, 4096);
    place(mb_build(m));
    return sequences_of_image();
}

const song_case song_cases[] = {
    {"plain wrap", {0, 1}, {}, {{0, 128 * row6}}},
    {"B back to 0 hides position 2", {0, 1, 2}, {{1, 10, 0, 0xB, 0}},
     {{0, 75 * row6}, {2, 64 * row6}}},
    {"B with D lands on a started row", {0, 1}, {{1, 5, 0, 0xB, 0}, {1, 5, 1, 0xD, 0x10}},
     {{0, 70 * row6}}},
    {"D on the last position wraps to a started row", {0, 1}, {{1, 3, 2, 0xD, 0x05}},
     {{0, 68 * row6}}},
    {"forward jumps reach every position: one tune", {0, 1, 2, 3},
     {{0, 5, 0, 0xB, 2}, {3, 3, 0, 0xB, 1}}, {{0, 138 * row6}}},
    {"single pattern loop", {0}, {{0, 4, 0, 0xE, 0x60}, {0, 8, 0, 0xE, 0x62}},
     {{0, 74 * row6}}},
    {"nested loops on two channels", {0},
     {{0, 0, 1, 0xE, 0x60}, {0, 2, 0, 0xE, 0x60}, {0, 6, 0, 0xE, 0x61}, {0, 10, 1, 0xE, 0x61}},
     {{0, 85 * row6}}},
    {"loop overridden by a break on its row", {0},
     {{0, 0, 0, 0xE, 0x60}, {0, 8, 0, 0xE, 0x63}, {0, 8, 1, 0xD, 0}}, {{0, 36 * row6}}},
    {"loop overridden by a jump on its row", {0, 1},
     {{0, 0, 0, 0xE, 0x60}, {0, 8, 0, 0xE, 0x62}, {0, 8, 1, 0xB, 0}}, {{0, 27 * row6}, {1, 64 * row6}}},
    {"pattern delay holds a row without starting it again", {0}, {{0, 2, 0, 0xE, 0xE3}},
     {{0, 64 * row6 + 18 * 882}}},
    // tempo 64 from row 1 (ticks of 1722 frames); F00 on row 3 ends the
    // song after its first tick, which still counts
    {"F00 after a tempo change", {0}, {{0, 1, 0, 0xF, 64}, {0, 3, 0, 0xF, 0}},
     {{0, row6 + 2 * 6 * 1722 + 1722}}},
    // speed 31 at tempo 32: 8 x 64 rows of 31 ticks of 3445 frames is past 1200 s
    {"never comes round within 1200 s", {0, 1, 2, 3, 4, 5, 6, 7},
     {{0, 0, 0, 0xF, 31}, {0, 0, 1, 0xF, 32}}, {{0, VEX_SONG_FRAMES_MAX}}},
};

TEST(Song, SequencesOfGeneratedModules)
{
    for (const song_case& c : song_cases)
        EXPECT_EQ(sequences_of(module_of(c.order, c.cells)), c.expected) << c.name;
}

TEST(Song, RefusedModuleHasNoSequences)
{
    mb_module m = mb_new("M.K.");
    m.signature = "XXXX";
    EXPECT_EQ(sequences_of(m).size(), 0u);
}

TEST(Song, GameModuleFromTheCorpus)
{
    const std::string path = TUNEDUMP_CORPUS_DIR "/area1-game.mod";
    std::ifstream in(path, std::ios::binary);
    if (!in)
        GTEST_SKIP() << "no corpus";
    vex_init(44100, 4096);
    place(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}));
    const sequence_list want = {{0, 3725568}, {11, 3873744}, {23, 395136}, {24, 3104640}};
    EXPECT_EQ(sequences_of_image(), want);
}

// A module with notes on every row, so that every voice and tick shows.
mb_module tune()
{
    mb_module m = module_of({0, 1, 2}, {{1, 10, 0, 0xB, 0}});
    m.samples[1] = flat_sample(64, 40, true);
    m.samples[2] = flat_sample(300, -30, false);
    for (int p = 0; p < 3; p++)
        for (int r = 0; r < 64; r++)
            mb_at(m, p, r, r % 2) = mb_cell{static_cast<uint8_t>(1 + (r + p) % 2),
                                           mb_period(24 + 5 * p + r % 7), 0, 0};
    return m;
}

std::vector<int16_t> render_blocks(int blocks)
{
    std::vector<int16_t> out(2 * 1000 * static_cast<size_t>(blocks));
    for (int b = 0; b < blocks; b++)
        mix_newhand(0, out.data() + 2000 * b, 4000);
    return out;
}

// The mixer's records and the pump's place in the tick, as bytes.
std::string player_trace()
{
    std::string t(reinterpret_cast<const char*>(mix_channels), sizeof mix_channels);
    t.append(reinterpret_cast<const char*>(mix_samples), sizeof mix_samples);
    t.append(reinterpret_cast<const char*>(&curchan), sizeof curchan);
    t.append(reinterpret_cast<const char*>(&mix_activechannels), sizeof mix_activechannels);
    return t.append(reinterpret_cast<const char*>(&samples_left_before_tick), sizeof(int32_t));
}

TEST(Song, RenderAfterAScanIsARenderWithoutOne)
{
    const std::vector<uint8_t> bytes = mb_build(tune());
    std::vector<int16_t> renders[2];
    for (int scan = 0; scan < 2; scan++) {
        load(tune());
        render_blocks(3);  // voices sound and the pump stands mid-tick
        place(bytes);
        if (scan) {
            const std::string before = player_trace();
            sequences_of_image();
            EXPECT_EQ(player_trace(), before);
        }
        ASSERT_EQ(vex_get(image), 1);
        vex_start(1);
        renders[scan] = render_blocks(20);
    }
    EXPECT_EQ(renders[0], renders[1]);
}

TEST(Song, StartAtAPositionPlaysItsFirstRow)
{
    load(tune());
    place(mb_build(tune()));
    ASSERT_EQ(vex_get(image), 1);
    vex_start_at(2);
    vex_start(1);
    render_blocks(1);
    EXPECT_EQ(vex_position(), 200);
}

}  // namespace

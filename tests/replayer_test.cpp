// The replayer tick by tick: for a few cells, what each tick that matters
// sends to the mixer channels, and where the sequencer stands after it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/harness.h"

using namespace harness;

namespace {

constexpr int none = -1;  // no note in the cell

// One cell to place: pattern, row, channel, sample, note index, effect, parameter.
struct put {
    int pattern, row, channel, sample, note, effect, parameter;
};

// What to look at, from `tick` on (0 is the first pt_play after loading):
// a channel number gives the calls made for that channel, one entry per tick
// joined by " | ", "-" for a tick without calls ("v" volume, "pan" panning,
// "s" sample, "p" period, "o" offset); path gives "order:row" and timing
// "tick/speed/tempo" per tick, joined by spaces; all gives every call of the
// tick, channel selects ("c") included.
enum : int { path = -1, timing = -2, all = -3 };

struct expect {
    int tick;
    int what;
    std::string text;
};

struct replay_case {
    std::string name;
    std::vector<put> cells;
    std::vector<expect> want;
    std::vector<uint8_t> order = {0};
    int song_length = -1;
    uint8_t restart = 0;
};

// Samples: 1 volume 64; 2 volume 32, finetune +1; 3 volume 10; 4 volume 60;
// 5 a one-shot of 512 bytes.
mb_module module_for(const replay_case& c)
{
    mb_module m = mb_new("M.K.");
    auto sample = [&m](int n, size_t length, uint8_t volume, uint8_t finetune, bool looped) {
        m.samples[n] = flat_sample(length, 10, looped);
        m.samples[n].volume = volume;
        m.samples[n].finetune = finetune;
    };
    sample(1, 1000, 64, 0, true);
    sample(2, 1000, 32, 1, true);
    sample(3, 1000, 10, 0, true);
    sample(4, 1000, 60, 0, true);
    sample(5, 512, 64, 0, false);
    for (const put& p : c.cells)
        mb_at(m, p.pattern, p.row, p.channel) =
            mb_cell{static_cast<uint8_t>(p.sample),
                    p.note == none ? uint16_t{0} : mb_period(p.note),
                    static_cast<uint8_t>(p.effect), static_cast<uint8_t>(p.parameter)};
    m.order = c.order;
    m.song_length = c.song_length;
    m.restart = c.restart;
    return m;
}

std::string show(const std::vector<call>& cs)
{
    static const char* const names[] = {"c", "s", "v", "pan", "p", "o"};
    std::string out;
    for (const call& c : cs) {
        if (!out.empty())
            out += ' ';
        out += names[static_cast<int>(c.what)];
        out += std::to_string(c.value);
    }
    return out.empty() ? "-" : out;
}

std::string show(const tick_record& t, int what)
{
    switch (what) {
    case path:
        return std::to_string(t.songpos) + ":" + std::to_string(t.row);
    case timing:
        return std::to_string(t.tick) + "/" + std::to_string(t.speed) + "/" + std::to_string(t.tempo);
    case all:
        return show(t.calls);
    default:
        return show(for_channel(t.calls, what));
    }
}

const char* separator(const expect& e) { return e.what == path || e.what == timing ? " " : " | "; }

int tick_count(const expect& e)
{
    const std::string sep = separator(e);
    int n = 1;
    for (size_t at = e.text.find(sep); at != std::string::npos; at = e.text.find(sep, at + 1))
        n++;
    return n;
}

std::string observed(const std::vector<tick_record>& run, const expect& e)
{
    std::string out;
    for (int i = 0; i < tick_count(e); i++) {
        const size_t t = static_cast<size_t>(e.tick + i);
        out += (i ? separator(e) : "") + (t < run.size() ? show(run[t], e.what) : "?");
    }
    return out;
}

void check(const std::vector<replay_case>& table)
{
    for (const replay_case& c : table) {
        SCOPED_TRACE(c.name);
        int ticks = 0;
        for (const expect& e : c.want)
            ticks = std::max(ticks, e.tick + tick_count(e));
        const std::vector<tick_record> run = play_ticks(module_for(c), ticks);
        ASSERT_EQ(run.size(), static_cast<size_t>(ticks));
        for (const expect& e : c.want)
            EXPECT_EQ(observed(run, e), e.text) << "from tick " << e.tick << ", looking at " << e.what;
    }
}

// Vibrato 4A8 on note 36 moves the position to 50, E4x on the next row,
// then 400 goes on with the kept speed and depth.
replay_case vibrato_after(int x, const char* sent)
{
    return {"4A8, E4" + std::to_string(x) + ", 400",
            {{0, 0, 0, 1, 36, 0x4, 0xA8}, {0, 1, 0, 0, none, 0xE, 0x40 | x}, {0, 2, 0, 0, none, 0x4, 0x00}},
            {{13, 0, sent}}};
}

// The same for tremolo 7A8 on volume 32.
replay_case tremolo_after(int x, const char* sent)
{
    return {"7A8, E7" + std::to_string(x) + ", 700",
            {{0, 0, 0, 2, 36, 0x7, 0xA8}, {0, 1, 0, 0, none, 0xE, 0x70 | x}, {0, 2, 0, 0, none, 0x7, 0x00}},
            {{13, 0, sent}}};
}

std::vector<uint8_t> order_ending_in_pattern_1()
{
    std::vector<uint8_t> order(128, 0);
    order[127] = 1;
    return order;
}

}  // namespace

TEST(ReplayerEffects, Table)
{
    check({
        {"037 on note 24", {{0, 0, 0, 1, 24, 0x0, 0x37}},
         {{0, 0, "v64 pan0 s1 p856 o0 p856"}, {1, 0, "p720 | p570 | p856 | p720 | p570"}}},
        {"0F1 past the top note", {{0, 0, 0, 1, 70, 0x0, 0xF1}}, {{1, 0, "p28 | p56 | p60"}}},
        {"100 keeps the period", {{0, 0, 0, 1, 36, 0x1, 0x00}}, {{1, 0, "p428 | p428"}}},
        {"1FF stops at 27", {{0, 0, 0, 1, 59, 0x1, 0xFF}},
         {{0, 0, "v64 pan0 s1 p113 o0"}, {1, 0, "p27 | p27"}}},
        {"2FF stops at 3628", {{0, 0, 0, 1, 0, 0x2, 0xFF}},
         {{0, 0, "v64 pan0 s1 p3424 o0"}, {1, 0, "p3628 | p3628"}}},
        {"304 reaches its target and stays, the note stays 36",
         {{0, 0, 0, 1, 36, 0, 0},
          {0, 1, 0, 0, 37, 0x3, 0x04},
          {0, 2, 0, 0, none, 0x3, 0x00},
          {0, 3, 0, 0, none, 0x0, 0x37}},
         {{6, 0, "- | p424 | p420 | p416 | p412 | p408"}, {12, 0, "- | p404 | p404"},
          {18, 0, "p428 | p360 | p285"}}},
        {"304 with glissando",
         {{0, 0, 0, 1, 36, 0xE, 0x31}, {0, 1, 0, 0, 37, 0x3, 0x04}, {0, 2, 0, 0, none, 0x3, 0x00}},
         {{7, 0, "p428 | p428 | p428 | p428 | p428"}, {13, 0, "p404 | p404"}}},
        {"3xx with a note and a sample sets the sample and the target only",
         {{0, 0, 0, 1, 36, 0, 0}, {0, 1, 0, 2, 37, 0x3, 0x02}},
         {{6, 0, "v32 pan0 s2 | p426 | p424"}}},
        {"501 goes on with the kept speed",
         {{0, 0, 0, 1, 36, 0, 0}, {0, 1, 0, 0, 37, 0x3, 0x04}, {0, 2, 0, 0, none, 0x5, 0x01}},
         {{12, 0, "- | p404 v63 | p404 v62"}}},
        {"500 is not rounded by glissando",
         {{0, 0, 0, 1, 36, 0xE, 0x31}, {0, 1, 0, 0, 37, 0x3, 0x01}, {0, 2, 0, 0, none, 0x5, 0x00}},
         {{11, 0, "p428"}, {13, 0, "p422 v64 | p421 v64"}}},
        {"4A8 on the sine", {{0, 0, 0, 1, 36, 0x4, 0xA8}},
         {{0, 0, "v64 pan0 s1 p428 o0"}, {1, 0, "p428 | p441 | p442 | p431 | p417"}}},
        vibrato_after(0, "p428 | p441 | p442 | p431 | p417"),
        vibrato_after(4, "p413 | p422 | p436 | p444 | p436"),
        vibrato_after(1, "p444 | p439 | p433 | p428 | p424"),
        vibrato_after(5, "p419 | p414 | p441 | p436 | p430"),
        vibrato_after(2, "p428 | p428 | p444 | p444 | p428"),
        vibrato_after(6, "p412 | p412 | p428 | p444 | p444"),
        {"601 goes on with the kept vibrato",
         {{0, 0, 0, 1, 36, 0x4, 0xA8}, {0, 1, 0, 0, none, 0x6, 0x01}},
         {{7, 0, "p413 v63 | p422 v62 | p436 v61 | p444 v60 | p436 v59"}}},
        {"a waveform set on another channel", {{0, 0, 0, 1, 36, 0x4, 0xA8}, {0, 0, 1, 0, none, 0xE, 0x41}},
         {{1, 0, "p444 | p439 | p433 | p428 | p424"}}},
        {"7A8 on volume 32", {{0, 0, 0, 2, 36, 0x7, 0xA8}}, {{1, 0, "v32 | v58 | v61 | v38 | v10"}}},
        {"7A8 on volume 64", {{0, 0, 0, 1, 36, 0x7, 0xA8}}, {{1, 0, "v64 | v64 | v64 | v64 | v42"}}},
        tremolo_after(0, "v32 | v58 | v61 | v38 | v10"),
        tremolo_after(4, "v1 | v20 | v49 | v64 | v49"),
        tremolo_after(1, "v64 | v54 | v43 | v33 | v24"),
        tremolo_after(2, "v32 | v32 | v64 | v64 | v32"),
        tremolo_after(6, "v0 | v0 | v32 | v64 | v64"),
        {"902 at and 9FF past the sample length",
         {{0, 0, 0, 5, 36, 0x9, 0x02}, {0, 1, 0, 0, none, 0x9, 0xFF}},
         {{0, 0, "v64 pan0 s5 p428 o512"}, {6, 0, "o65280 | -"}}},
        {"900", {{0, 0, 0, 5, 36, 0x9, 0x00}}, {{0, 0, "v64 pan0 s5 p428 o0"}}},
        {"A0F stops at 0", {{0, 0, 0, 3, 36, 0xA, 0x0F}}, {{1, 0, "v0 | v0"}}},
        {"AF0 stops at 64", {{0, 0, 0, 4, 36, 0xA, 0xF0}}, {{1, 0, "v64 | v64"}}},
        {"A21 slides up", {{0, 0, 0, 4, 36, 0xA, 0x21}}, {{1, 0, "v62 | v64"}}},
        {"C7F unclamped, A01 clamps", {{0, 0, 0, 3, 36, 0xC, 0x7F}, {0, 1, 0, 0, none, 0xA, 0x01}},
         {{0, 0, "pan0 s3 p428 o0 v127"}, {6, 0, "- | v64"}}},
        {"8xx with a sample sends no panning", {{0, 0, 0, 1, 36, 0x8, 0x80}},
         {{0, 0, "v64 s1 p428 o0"}, {1, 0, "-"}}},
    });
}

// The random waveform's values are the random table's, whatever fills it.
TEST(ReplayerEffects, RandomWaveformReadsTheRandomTable)
{
    const replay_case c{"E47 on channel 0, E73 on channel 1",
                        {{0, 0, 0, 1, 36, 0x4, 0xA8},
                         {0, 1, 0, 0, none, 0xE, 0x47},
                         {0, 2, 0, 0, none, 0x4, 0x00},
                         {0, 0, 1, 2, 36, 0x7, 0xA8},
                         {0, 1, 1, 0, none, 0xE, 0x73},
                         {0, 2, 1, 0, none, 0x7, 0x00}},
                        {}};
    const std::vector<tick_record> run = play_ticks(module_for(c), 18);
    ASSERT_EQ(run.size(), 18u);
    for (int i = 0; i < 5; i++) {
        SCOPED_TRACE(i);
        const int32_t period = 428 + pt_randtable[(50 + 10 * i) & 63] * 8 / 127;
        const int32_t volume = std::clamp(32 + pt_randtable[10 * i] * 16 / 127, 0, 64);
        EXPECT_EQ(values(run[13 + i].calls, op::period, 0), std::vector<int32_t>{period});
        EXPECT_EQ(values(run[13 + i].calls, op::volume, 1), std::vector<int32_t>{volume});
    }
}

TEST(ReplayerExtended, Table)
{
    check({
        {"E1F, then E25", {{0, 0, 0, 1, 36, 0xE, 0x1F}, {0, 1, 0, 0, none, 0xE, 0x25}},
         {{0, 0, "v64 pan0 s1 p428 o0 p427"}, {1, 0, "-"}, {6, 0, "p428 | -"}}},
        {"E11 at 27",
         {{0, 0, 0, 1, 59, 0x1, 0xFF}, {0, 1, 0, 0, none, 0xE, 0x11}, {0, 2, 0, 0, none, 0xE, 0x21}},
         {{6, 0, "-"}, {12, 0, "p28"}}},
        {"E21 at 3628",
         {{0, 0, 0, 1, 0, 0x2, 0xFF}, {0, 1, 0, 0, none, 0xE, 0x21}, {0, 2, 0, 0, none, 0xE, 0x11}},
         {{6, 0, "-"}, {12, 0, "p3627"}}},
        {"EAF, then EB5", {{0, 0, 0, 4, 36, 0xE, 0xAF}, {0, 1, 0, 0, none, 0xE, 0xB5}},
         {{0, 0, "v60 pan0 s4 p428 o0 v61"}, {6, 0, "v60"}}},
        {"EA1 at 64, EB1 at 0",
         {{0, 0, 0, 1, 36, 0xE, 0xA1}, {0, 1, 0, 0, none, 0xC, 0x00}, {0, 2, 0, 0, none, 0xE, 0xB1}},
         {{0, 0, "v64 pan0 s1 p428 o0"}, {12, 0, "-"}}},
        {"E93", {{0, 0, 0, 1, 36, 0xE, 0x93}},
         {{0, 0, "v64 pan0 s1 p428 o0"}, {1, 0, "- | - | v64 p428 o0 | - | -"}}},
        {"E92", {{0, 0, 0, 3, 36, 0xE, 0x92}}, {{1, 0, "- | v10 p428 o0 | - | v10 p428 o0 | -"}}},
        {"E93 without a note", {{0, 0, 0, 1, 36, 0, 0}, {0, 1, 0, 0, none, 0xE, 0x93}},
         {{6, 0, "- | - | - | - | - | -"}}},
        {"EC3", {{0, 0, 0, 1, 36, 0xE, 0xC3}}, {{1, 0, "- | - | v0 | - | -"}}},
        {"EC6 and EC9 cut on the last tick", {{0, 0, 0, 1, 36, 0xE, 0xC6}, {0, 0, 1, 1, 36, 0xE, 0xC9}},
         {{1, 0, "- | - | - | - | v0"}, {1, 1, "- | - | - | - | v0"}}},
        {"EC0", {{0, 0, 0, 1, 36, 0xE, 0xC0}}, {{1, 0, "- | - | - | - | -"}}},
        {"ED3", {{0, 0, 0, 1, 36, 0xE, 0xD3}},
         {{0, 0, "v64 pan0 s1"}, {1, 0, "- | - | v64 p428 o0 | - | -"}}},
        {"ED6 and ED9 play on the last tick", {{0, 0, 0, 1, 36, 0xE, 0xD6}, {0, 0, 1, 2, 36, 0xE, 0xD9}},
         {{1, 0, "- | - | - | - | v64 p428 o0"}, {1, 1, "- | - | - | - | v32 p425 o0"}}},
        {"ED0 plays at once", {{0, 0, 0, 1, 36, 0xE, 0xD0}},
         {{0, 0, "v64 pan0 s1 p428 o0"}, {1, 0, "- | - | - | - | -"}}},
        {"ED3 without a note", {{0, 0, 0, 1, 36, 0, 0}, {0, 1, 0, 0, none, 0xE, 0xD3}},
         {{6, 0, "- | - | - | - | - | -"}}},
        {"EE2 and EE4: 30 ticks, tick 0 once",
         {{0, 0, 0, 1, 36, 0xE, 0xE2}, {0, 0, 1, 0, none, 0xE, 0xE4}},
         {{0, 0, "v64 pan0 s1 p428 o0"}, {6, all, "- | c0 c1 c2 c3"}, {6, timing, "0/6/125"},
          {12, all, "-"}, {29, path, "0:0 0:1"}}},
        {"ED3 and EC2 in a held row",
         {{0, 0, 0, 1, 36, 0xE, 0xD3}, {0, 0, 1, 0, none, 0xE, 0xE1}, {0, 0, 2, 1, 36, 0xE, 0xC2}},
         {{3, 0, "v64 p428 o0"}, {9, 0, "v64 p428 o0"}, {2, 2, "v0"}, {8, 2, "v0"}, {11, path, "0:0 0:1"}}},
        {"EE2 with D05", {{0, 0, 0, 0, none, 0xE, 0xE2}, {0, 0, 1, 0, none, 0xD, 0x05}},
         {{17, path, "0:0 1:5"}}, {0, 1}},
        {"EE1 with B02", {{0, 0, 0, 0, none, 0xE, 0xE1}, {0, 0, 1, 0, none, 0xB, 0x02}},
         {{11, path, "0:0 2:0"}}, {0, 1, 2}},
        {"E60 at row 4, E62 at row 8",
         {{0, 0, 3, 0, none, 0xF, 0x01}, {0, 4, 0, 0, none, 0xE, 0x60}, {0, 8, 0, 0, none, 0xE, 0x62}},
         {{8, path, "0:8 0:4 0:5 0:6 0:7 0:8 0:4 0:5 0:6 0:7 0:8 0:9"}}},
        {"E61 without E60", {{0, 0, 3, 0, none, 0xF, 0x01}, {0, 3, 0, 0, none, 0xE, 0x61}},
         {{0, path, "0:0 0:1 0:2 0:3 0:0 0:1 0:2 0:3 0:4"}}},
        {"loops nested across channels",
         {{0, 0, 3, 0, none, 0xF, 0x01},
          {0, 0, 1, 0, none, 0xE, 0x60},
          {0, 2, 0, 0, none, 0xE, 0x60},
          {0, 4, 0, 0, none, 0xE, 0x61},
          {0, 6, 1, 0, none, 0xE, 0x61}},
         {{0, path, "0:0 0:1 0:2 0:3 0:4 0:2 0:3 0:4 0:5 0:6 0:0 0:1 0:2 0:3 0:4 0:2 0:3 0:4 0:5 0:6 0:7"}}},
        {"D05, then E61 on the same row",
         {{0, 0, 3, 0, none, 0xF, 0x01}, {0, 3, 0, 0, none, 0xD, 0x05}, {0, 3, 1, 0, none, 0xE, 0x61}},
         {{0, path, "0:0 0:1 0:2 0:3 0:0 0:1 0:2 0:3 1:5"}}, {0, 1}},
        {"E61, then D05 on the same row",
         {{0, 0, 3, 0, none, 0xF, 0x01}, {0, 3, 0, 0, none, 0xE, 0x61}, {0, 3, 1, 0, none, 0xD, 0x05}},
         {{0, path, "0:0 0:1 0:2 0:3 1:5"}}, {0, 1}},
        {"E0F, E8F and EFF do nothing",
         {{0, 0, 0, 1, 36, 0xE, 0x0F}, {0, 0, 1, 1, 36, 0xE, 0x8F}, {0, 0, 2, 1, 36, 0xE, 0xFF}},
         {{0, all, "c0 v64 pan0 s1 p428 o0 c1 v64 pan0 s1 p428 o0 c2 v64 pan0 s1 p428 o0 c3"},
          {1, all, "c0 c1 c2 c3"}}},
        {"E58: the note keeps its sample's finetune, later look-ups take 8",
         {{0, 0, 0, 1, 36, 0xE, 0x58}, {0, 1, 0, 0, none, 0x0, 0x37}, {0, 2, 0, 0, 36, 0x0, 0x00}},
         {{0, 0, "v64 pan0 s1 p428 o0"}, {6, 0, "p453 | p381 | p302"}, {12, 0, "p428 o0"}}},
    });
}

TEST(ReplayerSequencing, Table)
{
    check({
        {"start", {}, {{0, timing, "0/6/125"}, {0, path, "0:0"}, {5, path, "0:0 0:1"}}},
        {"B02 with D10", {{0, 0, 0, 0, none, 0xB, 0x02}, {0, 0, 1, 0, none, 0xD, 0x10}},
         {{5, path, "0:0 2:10"}}, {0, 1, 2}},
        {"D10 with B02", {{0, 0, 0, 0, none, 0xD, 0x10}, {0, 0, 1, 0, none, 0xB, 0x02}},
         {{5, path, "0:0 2:10"}}, {0, 1, 2}},
        {"D63", {{0, 0, 0, 0, none, 0xD, 0x63}}, {{6, path, "1:63"}}, {0, 1}},
        {"D1A", {{0, 0, 0, 0, none, 0xD, 0x1A}}, {{6, path, "1:20"}}, {0, 1}},
        {"D64 and D99 start at row 0", {{0, 0, 0, 0, none, 0xD, 0x64}, {1, 0, 0, 0, none, 0xD, 0x99}},
         {{6, path, "1:0"}, {12, path, "2:0"}}, {0, 1, 0}},
        {"B05 and B03 at or past the song length",
         {{0, 0, 0, 0, none, 0xB, 0x05}, {1, 0, 0, 0, none, 0xB, 0x03}},
         {{5, path, "0:0 1:0"}, {11, path, "1:0 1:0"}}, {0, 1, 2}, -1, 1},
        {"B00", {{0, 0, 3, 0, none, 0xF, 0x01}, {0, 2, 0, 0, none, 0xB, 0x00}},
         {{0, path, "0:0 0:1 0:2 0:0 0:1 0:2 0:0"}}, {0, 1}},
        {"wrap to the restart position",
         {{0, 0, 3, 0, none, 0xF, 0x01},
          {0, 0, 0, 0, none, 0xD, 0x00},
          {1, 0, 0, 0, none, 0xD, 0x00},
          {2, 0, 0, 0, none, 0xD, 0x00}},
         {{0, path, "0:0 1:0 2:0 1:0 2:0 1:0"}}, {0, 1, 2}, -1, 1},
        {"wrap after row 63", {{0, 0, 3, 0, none, 0xF, 0x01}},
         {{63, path, "0:63 1:0"}, {127, path, "1:63 1:0"}}, {0, 1}, -1, 1},
        {"restart past the song length",
         {{0, 0, 3, 0, none, 0xF, 0x01},
          {0, 0, 0, 0, none, 0xD, 0x00},
          {1, 0, 0, 0, none, 0xD, 0x00},
          {2, 0, 0, 0, none, 0xD, 0x00}},
         {{0, path, "0:0 1:0 2:0 5:0 5:0"}}, {0, 1, 2, 0, 0, 1}, 3, 5},
        {"song length 0", {}, {{0, path, "2:0"}}, {0, 1, 2}, 0, 2},
        {"song length 200 counts as 128",
         {{0, 0, 3, 0, none, 0xF, 0x01}, {0, 0, 0, 0, none, 0xB, 0x7F}, {1, 0, 0, 0, none, 0xD, 0x00}},
         {{0, path, "0:0 127:0 2:0 127:0"}}, order_ending_in_pattern_1(), 200, 2},
        {"B00 with a loop jump",
         {{0, 0, 3, 0, none, 0xF, 0x01}, {0, 0, 0, 0, none, 0xB, 0x00}, {0, 0, 1, 0, none, 0xE, 0x61}},
         {{0, path, "0:0 1:0"}}, {0, 1}, -1, 1},
        {"B03 with a loop jump",
         {{0, 0, 3, 0, none, 0xF, 0x01}, {0, 0, 0, 0, none, 0xB, 0x03}, {0, 0, 1, 0, none, 0xE, 0x61}},
         {{0, path, "0:0 2:0"}}, {0, 1, 2, 3}},
        {"F00 freezes the row", {{0, 0, 0, 1, 36, 0xF, 0x00}},
         {{1, 0, "v64 pan0 s1 p428 o0 | v64 pan0 s1 p428 o0"}, {0, timing, "0/0/125 0/0/125 0/0/125"},
          {7, path, "0:0"}}},
        {"F1F", {{0, 0, 0, 0, none, 0xF, 0x1F}}, {{0, timing, "0/31/125"}, {30, path, "0:0 0:1"}}},
        {"F03, F20, F05", {{0, 0, 0, 0, none, 0xF, 0x03}, {0, 0, 1, 0, none, 0xF, 0x20},
                           {0, 0, 2, 0, none, 0xF, 0x05}},
         {{0, timing, "0/5/32"}}},
        {"sample numbers 32..255 are no sample",
         {{0, 0, 0, 1, 36, 0, 0}, {0, 1, 0, 200, 37, 0, 0}, {0, 2, 0, 32, none, 0, 0}},
         {{6, 0, "p404 o0"}, {12, 0, "-"}}},
        {"a sample, then a note", {{0, 0, 0, 2, none, 0, 0}, {0, 1, 0, 0, 36, 0, 0}},
         {{0, 0, "v32 pan0 s2"}, {6, 0, "p425 o0"}}},
        {"a note on a channel that never had a sample", {{0, 0, 0, 0, 36, 0, 0}}, {{0, 0, "p428 o0"}}},
    });
}

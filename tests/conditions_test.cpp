// Event conditions tested against a playing module, and the callback
// registry.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <utility>

#include "tests/support/harness.h"

using namespace harness;

namespace {

// Matches everything: every upper bound negative, every row reduced to 0.
vex_condition anything()
{
    vex_condition c;
    c.channel_lo = 0, c.channel_hi = -1;
    c.sample_lo = 0, c.sample_hi = -1;
    c.reserved_lo = 0, c.reserved_hi = -1;
    c.effect_lo = 0, c.effect_hi = -1;
    c.parameter_lo = 0, c.parameter_hi = -1;
    c.songpos_lo = 0, c.songpos_hi = -1;
    c.row_modulus = 1;
    c.row_lo = 0, c.row_hi = -1;
    c.tick_lo = 0, c.tick_hi = -1;
    return c;
}

vex_condition rows(int32_t modulus, int32_t lo, int32_t hi)
{
    vex_condition c = anything();
    c.row_modulus = modulus;
    c.row_lo = lo;
    c.row_hi = hi;
    return c;
}

bool matches(const vex_condition& c) { return ehto_toteutuu(&c) == 1; }

// Loads and starts a module. The player is brought up once per process, as
// a host does: the matcher needs nothing from a fresh mixer.
int32_t play(const mb_module& m)
{
    static const bool up = vex_init(44100, 4096) == 1;
    if (!up)
        return 0;
    place(mb_build(m));
    const int32_t ok = vex_get(image);
    samples_left_before_tick = 0;
    vex_start(1);
    return ok;
}

// A module whose every row has a note on channel 0, so that channel 0 always
// has a current sample.
mb_module busy_module(const char* signature, int patterns)
{
    mb_module m = mb_new(signature);
    m.samples[1] = flat_sample(64, 20, true);
    m.samples[2] = flat_sample(64, 30, true);
    m.order.clear();
    for (int p = 0; p < patterns; p++) {
        for (int row = 0; row < 64; row++)
            mb_at(m, p, row, 0) = mb_cell{1, mb_period(24 + row % 12), 0, 0};
        m.order.push_back(static_cast<uint8_t>(p));
    }
    return m;
}

// Plays one tick at a time; returns the (row, tick) pairs, as the replayer
// held them after each tick, on which the condition matched.
std::vector<std::pair<int32_t, int32_t>> matching_ticks(const vex_condition& c, int ticks)
{
    std::vector<std::pair<int32_t, int32_t>> out;
    for (int i = 0; i < ticks; i++) {
        pt_play();
        if (matches(c))
            out.push_back({pt_rowcount, pt_vbcount});
    }
    return out;
}

// The rows of one pattern on whose first tick the condition matched.
std::set<int32_t> matching_rows(const vex_condition& c)
{
    std::set<int32_t> out;
    for (int i = 0; i < 64 * 6; i++) {
        pt_play();
        if (pt_vbcount == 0 && matches(c))
            out.insert(pt_rowcount);
    }
    return out;
}

std::set<int32_t> row_span(int32_t lo, int32_t hi, int32_t step = 1)
{
    std::set<int32_t> out;
    for (int32_t r = lo; r <= hi; r += step)
        out.insert(r);
    return out;
}

}  // namespace

TEST(Conditions, RangeRule)
{
    EXPECT_EQ(inrange(5, 1, 10), 1);
    EXPECT_EQ(inrange(1, 1, 10), 1);
    EXPECT_EQ(inrange(10, 1, 10), 1);
    EXPECT_EQ(inrange(0, 1, 10), 0);
    EXPECT_EQ(inrange(11, 1, 10), 0);
    // A negative upper bound matches anything and ignores the lower bound.
    for (int32_t v : {INT32_MIN, -1, 0, 5, 1000, INT32_MAX}) {
        EXPECT_EQ(inrange(v, 1, -1), 1) << v;
        EXPECT_EQ(inrange(v, 100, -1), 1) << v;
        EXPECT_EQ(inrange(v, INT32_MAX, INT32_MIN), 1) << v;
    }
    // An empty pair matches nothing.
    for (int32_t v : {3, 4, 5})
        EXPECT_EQ(inrange(v, 5, 3), 0) << v;
    // Signed comparison: a negative value lies below a lower bound of 0.
    EXPECT_EQ(inrange(-1, 0, 10), 0);
    EXPECT_EQ(inrange(-5, -10, 0), 1);
    EXPECT_EQ(inrange(0, 0, 0), 1);
}

TEST(Conditions, WildcardsMatchEveryTickOfAPlayingModule)
{
    ASSERT_EQ(play(busy_module("M.K.", 2)), 1);
    vex_condition all = anything();
    vex_condition high_lows = anything();
    high_lows.channel_lo = high_lows.sample_lo = high_lows.effect_lo = 100;
    high_lows.parameter_lo = high_lows.songpos_lo = high_lows.row_lo = high_lows.tick_lo = 100;
    vex_condition unreduced = anything();
    unreduced.row_modulus = 0;
    vex_condition negative_modulus = anything();
    negative_modulus.row_modulus = -1;
    // Two patterns and into the repeat of the song.
    const int ticks = 2 * 64 * 6 + 50;
    int seen = 0;
    for (int i = 0; i < ticks; i++) {
        pt_play();
        EXPECT_TRUE(matches(all)) << "tick " << i;
        EXPECT_TRUE(matches(high_lows)) << "tick " << i;
        EXPECT_TRUE(matches(unreduced)) << "tick " << i;
        EXPECT_TRUE(matches(negative_modulus)) << "tick " << i;
        seen++;
    }
    EXPECT_EQ(seen, ticks);
    EXPECT_EQ(pt_songpos, 0);  // the song wrapped, and matching went on
}

TEST(Conditions, ChannelPairExaminesOnlyTheModulesChannels)
{
    // Channel 2 plays sample 2, the others sample 1: a sample test tells
    // which channel the channel pair let through.
    mb_module m = busy_module("M.K.", 1);
    for (int ch = 1; ch < 4; ch++)
        mb_at(m, 0, 0, ch) = mb_cell{static_cast<uint8_t>(ch == 2 ? 2 : 1), mb_period(30), 0, 0};
    ASSERT_EQ(play(m), 1);
    pt_play();
    vex_condition c = anything();
    c.channel_lo = 2, c.channel_hi = 2;
    c.sample_lo = 2, c.sample_hi = 2;
    EXPECT_TRUE(matches(c));
    c.sample_lo = 1, c.sample_hi = 1;
    EXPECT_FALSE(matches(c));
    c.channel_lo = 0, c.channel_hi = 1;
    EXPECT_TRUE(matches(c));
    c.sample_lo = 2, c.sample_hi = 2;
    EXPECT_FALSE(matches(c));
    c.channel_lo = 3, c.channel_hi = 3;
    EXPECT_FALSE(matches(c));

    // Channels past the module's count are never looked at, and an empty
    // pair in any field matches nothing.
    vex_condition beyond = anything();
    beyond.channel_lo = 4, beyond.channel_hi = 7;
    vex_condition empty_channel = anything();
    empty_channel.channel_lo = 5, empty_channel.channel_hi = 3;
    vex_condition empty_sample = anything();
    empty_sample.sample_lo = 5, empty_sample.sample_hi = 3;
    vex_condition empty_tick = anything();
    empty_tick.tick_lo = 5, empty_tick.tick_hi = 3;
    for (const vex_condition& e : {beyond, empty_channel, empty_sample, empty_tick})
        EXPECT_TRUE(matching_ticks(e, 64 * 6).empty());

    // On an 8-channel module the same pair 4..7 does find channels.
    ASSERT_EQ(play(busy_module("8CHN", 1)), 1);
    pt_play();
    EXPECT_TRUE(matches(beyond));
}

TEST(Conditions, SamplePairTestsTheLastSampleSetOnTheChannel)
{
    mb_module m = mb_new("M.K.");
    m.samples[3] = flat_sample(64, 20, true);
    m.samples[4] = flat_sample(64, 20, true);
    mb_at(m, 0, 0, 1) = mb_cell{3, mb_period(30), 0, 0};
    mb_at(m, 0, 4, 1) = mb_cell{0, mb_period(32), 0, 0};  // a note without a sample
    mb_at(m, 0, 8, 1) = mb_cell{4, 0, 0, 0};              // a sample without a note
    ASSERT_EQ(play(m), 1);
    vex_condition three = anything();
    three.sample_lo = 3, three.sample_hi = 3;
    vex_condition four_on_0 = anything();
    four_on_0.sample_lo = 4, four_on_0.sample_hi = 4;
    four_on_0.channel_lo = 0, four_on_0.channel_hi = 0;
    const std::set<int32_t> got = matching_rows(three);
    EXPECT_EQ(got, row_span(0, 7));
    ASSERT_EQ(play(m), 1);
    EXPECT_TRUE(matching_rows(four_on_0).empty());
}

TEST(Conditions, EffectAndParameterOfTheCurrentCell)
{
    mb_module m = busy_module("M.K.", 1);
    mb_at(m, 0, 5, 2) = mb_cell{0, 0, 12, 0};     // C00 on channel 2
    mb_at(m, 0, 9, 3) = mb_cell{0, 0, 12, 0x20};  // C20: same effect, other parameter
    ASSERT_EQ(play(m), 1);
    vex_condition c00 = anything();
    c00.effect_lo = 12, c00.effect_hi = 12;
    c00.parameter_lo = 0, c00.parameter_hi = 0;
    vex_condition c00_tick0 = c00;
    c00_tick0.tick_lo = 0, c00_tick0.tick_hi = 0;
    vex_condition c00_on_3 = c00;
    c00_on_3.channel_lo = 3, c00_on_3.channel_hi = 3;
    vex_condition c_any_on_3 = anything();
    c_any_on_3.effect_lo = 12, c_any_on_3.effect_hi = 12;
    c_any_on_3.channel_lo = 3, c_any_on_3.channel_hi = 3;
    vex_condition param_high = anything();
    param_high.parameter_lo = 0x20, param_high.parameter_hi = 0xFF;

    std::vector<std::pair<int32_t, int32_t>> all, first, wrong_channel, on_3, high;
    for (int i = 0; i < 64 * 6; i++) {
        pt_play();
        const std::pair<int32_t, int32_t> at{pt_rowcount, pt_vbcount};
        if (matches(c00)) all.push_back(at);
        if (matches(c00_tick0)) first.push_back(at);
        if (matches(c00_on_3)) wrong_channel.push_back(at);
        if (matches(c_any_on_3)) on_3.push_back(at);
        if (matches(param_high)) high.push_back(at);
    }
    std::vector<std::pair<int32_t, int32_t>> row5, row9;
    for (int32_t t = 0; t < 6; t++) {
        row5.push_back({5, t});
        row9.push_back({9, t});
    }
    EXPECT_EQ(all, row5);
    EXPECT_EQ(first, (std::vector<std::pair<int32_t, int32_t>>{{5, 0}}));
    EXPECT_TRUE(wrong_channel.empty());
    EXPECT_EQ(on_3, row9);
    EXPECT_EQ(high, row9);
}

TEST(Conditions, OrderPositionPair)
{
    ASSERT_EQ(play(busy_module("M.K.", 3)), 1);
    vex_condition second = anything();
    second.songpos_lo = 1, second.songpos_hi = 1;
    std::set<int32_t> positions;
    int matched = 0;
    for (int i = 0; i < 3 * 64 * 6; i++) {
        pt_play();
        if (matches(second)) {
            positions.insert(pt_songpos);
            matched++;
        }
    }
    EXPECT_EQ(positions, std::set<int32_t>{1});
    EXPECT_EQ(matched, 64 * 6);
}

TEST(Conditions, RowModulusReducesTheRow)
{
    struct row_case {
        int32_t modulus, lo, hi;
        std::set<int32_t> want;
    };
    const row_case cases[] = {
        {16, 0, 0, {0, 16, 32, 48}},
        {16, 15, 15, {15, 31, 47, 63}},
        {64, 10, 20, row_span(10, 20)},
        {100, 10, 20, row_span(10, 20)},
        {-1, 10, 20, row_span(10, 20)},  // reads as a huge unsigned divisor
        {0, 10, 20, row_span(10, 20)},   // 0 leaves the row as it is
        {0, 63, 63, {63}},
        {5, 0, 0, row_span(0, 60, 5)},
        {1, 0, 0, row_span(0, 63)},
        {1, 1, 1, {}},
    };
    for (const row_case& rc : cases) {
        ASSERT_EQ(play(busy_module("M.K.", 1)), 1);
        EXPECT_EQ(matching_rows(rows(rc.modulus, rc.lo, rc.hi)), rc.want)
            << "modulus " << rc.modulus << " rows " << rc.lo << ".." << rc.hi;
    }
}

TEST(Conditions, RowAndPositionAsTheSequencerHoldsThemAfterAJump)
{
    // Row 10 breaks to the next pattern: from that tick on, until the next
    // row starts, the row tested is 63.
    mb_module brk = busy_module("M.K.", 2);
    mb_at(brk, 0, 10, 1) = mb_cell{0, 0, 0xD, 0x00};
    ASSERT_EQ(play(brk), 1);
    const auto at63 = matching_ticks(rows(0, 63, 63), 11 * 6 + 1);
    std::vector<std::pair<int32_t, int32_t>> want;
    for (int32_t t = 0; t < 6; t++)
        want.push_back({63, t});
    EXPECT_EQ(at63, want);
    EXPECT_EQ(pt_songpos, 1);
    EXPECT_EQ(pt_rowcount, 0);

    ASSERT_EQ(play(brk), 1);
    EXPECT_TRUE(matching_ticks(rows(0, 10, 10), 11 * 6).empty());

    // A position jump B02 on row 3: row 63 of position 1 until the jump's
    // row advance, reduced like any other row.
    mb_module jump = busy_module("M.K.", 3);
    mb_at(jump, 0, 3, 0).effect = 0xB;
    mb_at(jump, 0, 3, 0).parameter = 2;
    ASSERT_EQ(play(jump), 1);
    vex_condition held = rows(16, 15, 15);
    held.songpos_lo = 1, held.songpos_hi = 1;
    const auto jumped = matching_ticks(held, 4 * 6 + 1);
    ASSERT_EQ(jumped.size(), 6u);
    EXPECT_EQ(jumped.front(), (std::pair<int32_t, int32_t>{63, 0}));
    EXPECT_EQ(pt_songpos, 2);

    // A pattern loop back to row 0 holds row -1, which the modulus reduces
    // as the unsigned 4294967295 (remainder 5 by 10).
    mb_module loop = busy_module("M.K.", 1);
    mb_at(loop, 0, 0, 1) = mb_cell{0, 0, 0xE, 0x60};
    mb_at(loop, 0, 4, 1) = mb_cell{0, 0, 0xE, 0x61};
    ASSERT_EQ(play(loop), 1);
    std::vector<std::pair<int32_t, int32_t>> looped;
    for (int i = 0; i < 5 * 6; i++) {
        pt_play();
        if (matches(rows(10, 5, 5)) && !matches(rows(10, 4, 4)))
            looped.push_back({pt_rowcount, pt_vbcount});
    }
    // The six ticks of row 4, on which -1 is held.
    std::vector<std::pair<int32_t, int32_t>> held_loop;
    for (int32_t t = 0; t < 6; t++)
        held_loop.push_back({-1, t});
    EXPECT_EQ(looped, held_loop);
    EXPECT_FALSE(matches(rows(0, 0, 63)));  // unreduced, -1 lies outside 0..63
}

TEST(Conditions, NoMatchWithoutAPlayedTickOfALoadedModule)
{
    // At program start no module was ever loaded. Run in a fresh process.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const vex_condition c = anything();
            std::exit(ehto_toteutuu(&c) == 0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");

    const vex_condition c = anything();
    mb_module good = busy_module("M.K.", 1);
    ASSERT_EQ(play(good), 1);
    pt_play();
    ASSERT_TRUE(matches(c));

    // A reload leaves no row to look at until its first tick.
    ASSERT_EQ(play(good), 1);
    EXPECT_FALSE(matches(c));
    pt_play();
    EXPECT_TRUE(matches(c));

    // A refused module: unknown signature, then a module larger than the image.
    mb_module unknown = busy_module("M.K.", 1);
    unknown.signature = "XXXX";
    EXPECT_EQ(play(unknown), 0);
    EXPECT_FALSE(matches(c));
    ASSERT_EQ(play(good), 1);
    pt_play();
    // 251 patterns of 32 channels do not fit in the image.
    mb_module huge = mb_new("32CH");
    huge.order = {250};
    EXPECT_EQ(play(huge), 0);
    EXPECT_FALSE(matches(c));
    pt_play();  // a host that renders anyway: still nothing to match
    EXPECT_FALSE(matches(c));
}

// The registry's whole life from program start, meant for a fresh process:
// prints every check that failed and returns 1 if any did.
int registry_life()
{
    std::string failed;
    auto check = [&failed](bool ok, const char* what) {
        if (!ok)
            failed += std::string(what) + "\n";
    };
    static char values[vex_maxcallbacks + 2];
    check(callbackcount == 0 && curhandle == 1, "empty at program start, next id 1");
    bool ids = true;
    for (int32_t i = 0; i < vex_maxcallbacks; i++)
        ids = vex_set_callback(&values[i]) == i + 1 && ids;
    check(ids, "the first 1024 registrations return 1..1024");
    check(callbackcount == vex_maxcallbacks, "1024 entries in use");
    bool stored = true;
    for (int32_t i = 0; i < vex_maxcallbacks; i++)
        stored = callbacks[i] == &values[i] && cbhandles[i] == i + 1 && stored;
    check(stored, "entries hold their values and ids in registration order");

    // Full: refused, and nothing changes; the next id is not used up.
    check(vex_set_callback(&values[vex_maxcallbacks]) == 0, "the 1025th returns 0");
    check(vex_set_callback(&values[vex_maxcallbacks]) == 0, "and so does the 1026th");
    check(callbackcount == vex_maxcallbacks && curhandle == vex_maxcallbacks + 1,
          "a refused registration changes no count");
    check(callbacks[vex_maxcallbacks - 1] == &values[vex_maxcallbacks - 1] &&
              cbhandles[vex_maxcallbacks - 1] == vex_maxcallbacks,
          "a refused registration leaves the last entry alone");

    // vex_init empties the registry, but ids go on rising.
    check(vex_init(44100, 4096) == 1, "vex_init succeeds");
    check(callbackcount == 0, "vex_init empties the registry");
    check(vex_set_callback(&values[vex_maxcallbacks + 1]) == vex_maxcallbacks + 1,
          "the id after vex_init is 1025");
    check(callbacks[0] == &values[vex_maxcallbacks + 1] && cbhandles[0] == vex_maxcallbacks + 1,
          "the entry after vex_init sits at index 0");
    check(vex_set_callback(nullptr) == vex_maxcallbacks + 2 && callbacks[1] == nullptr,
          "a null value is stored like any other");
    check(callbackcount == 2, "two entries after vex_init");
    std::fputs(failed.c_str(), stderr);
    return failed.empty() ? 0 : 1;
}

TEST(Conditions, CallbackRegistry)
{
    // A fresh process, so that ids start where a host's start.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(registry_life()), ::testing::ExitedWithCode(0), "");
}

TEST(Conditions, HostCheckingBetweenRenderedBlocks)
{
    // A host rendering blocks shorter than the shortest tick sees every tick
    // and so every pattern start of a two-pattern song played twice.
    ASSERT_EQ(play(busy_module("M.K.", 2)), 1);
    vex_condition start = rows(64, 0, 0);
    start.tick_lo = 0, start.tick_hi = 0;
    int16_t block[2 * 256];
    std::vector<int32_t> starts;
    int32_t last = -1000;
    const int32_t frames = 4 * 64 * 6 * 882;
    for (int32_t done = 0; done < frames; done += 256) {
        mix_newhand(0, block, static_cast<int32_t>(sizeof block));
        if (matches(start) && vex_position() != last) {
            last = vex_position();
            starts.push_back(last);
        }
    }
    EXPECT_EQ(starts, (std::vector<int32_t>{0, 100, 0, 100}));
}

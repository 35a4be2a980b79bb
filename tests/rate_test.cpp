// Mixing rates other than 44100: a tick lasts the same time at every rate,
// so lengths in frames scale with the rate.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "tests/support/harness.h"

using namespace harness;

namespace {

// Tempo 137 (ticks of 804.7 frames at 44100) then 32 from position 1 on:
// 128 rows of 6 ticks.
mb_module two_tempo_song()
{
    mb_module m = mb_new("M.K.");
    m.order = {0, 1};
    mb_at(m, 0, 0, 0) = mb_cell{0, 0, 0xF, 137};
    mb_at(m, 1, 0, 0) = mb_cell{0, 0, 0xF, 32};
    return m;
}

// Speed 31 at tempo 32 over 8 positions: past 1200 s at any rate.
mb_module endless_song()
{
    mb_module m = mb_new("M.K.");
    m.order = {0, 1, 2, 3, 4, 5, 6, 7};
    mb_at(m, 0, 0, 0) = mb_cell{0, 0, 0xF, 31};
    mb_at(m, 0, 0, 1) = mb_cell{0, 0, 0xF, 32};
    return m;
}

int32_t song_frames(const mb_module& m, int32_t rate)
{
    vex_init(rate, 4096);
    place(mb_build(m));
    vex_sequence found[4];
    EXPECT_EQ(vex_sequences(image, found, 4), 1);
    return found[0].frames;
}

}  // namespace

TEST(Rate, SongLengthsScaleWithTheRate)
{
    constexpr int64_t ticks = 128 * 6;
    const int64_t at_44100 = song_frames(two_tempo_song(), 44100);
    for (const int32_t rate : {22050, 48000, 96000}) {
        SCOPED_TRACE(rate);
        // Within one frame a tick at the higher of the two rates.
        const int64_t off = int64_t{song_frames(two_tempo_song(), rate)} * 44100 - at_44100 * rate;
        EXPECT_LE(std::llabs(off), ticks * std::max(rate, 44100));
        EXPECT_EQ(song_frames(endless_song(), rate), VEX_SONG_FRAMES_AT(rate));
    }
}

TEST(Rate, TickLengthWithAndWithoutAModule)
{
    vex_init(48000, 4096);
    place(mb_build(two_tempo_song()));
    vex_sequence found[4];
    vex_sequences(image, found, 4);  // leaves no module loaded
    EXPECT_EQ(update_samples_per_tick(), 0);
    EXPECT_EQ(samples_per_tick, 0);
    ASSERT_EQ(vex_get(image), 1);
    EXPECT_EQ(update_samples_per_tick(), 960);  // tempo 125: 2.5 / 125 s
}

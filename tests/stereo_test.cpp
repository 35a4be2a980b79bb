// Stereo panning: channels left, right, right, left at a separation, put in
// place of the full-left panning the replayer sends.
#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "tests/support/harness.h"

using namespace harness;

namespace {

// The same note on each of the given channels, the effect in their cells.
mb_module notes_on(std::vector<int> channels, uint8_t effect = 0)
{
    mb_module m = mb_new("M.K.");
    m.samples[1] = flat_sample(200, 90, true);
    for (int ch : channels)
        mb_at(m, 0, 0, ch) = mb_cell{1, mb_period(30), effect, 0};
    return m;
}

// Stereo frames at a separation; -1 turns stereo on and off again. The
// setting is made before a song scan and the load, and outlasts both.
std::vector<int16_t> stereo_render(const mb_module& m, int32_t separation)
{
    vex_init(44100, 4096);
    vex_set_stereo(separation < 0 ? 50 : separation);
    if (separation < 0)
        vex_set_stereo(-1);
    place(mb_build(m));
    vex_sequence found[4];
    vex_sequences(image, found, 4);
    EXPECT_EQ(vex_get(image), 1);
    vex_start(1);
    std::vector<int16_t> out(2 * 3000);
    mix_newhand(0, out.data(), 4 * 3000);
    return out;
}

bool silent_side(const std::vector<int16_t>& frames, int side)
{
    for (size_t k = side; k < frames.size(); k += 2)
        if (frames[k] != 0)
            return false;
    return true;
}

}  // namespace

TEST(Stereo, FullSeparationAndOff)
{
    const std::vector<int16_t> right = stereo_render(notes_on({1, 2}), 100);
    EXPECT_TRUE(silent_side(right, 0));
    EXPECT_FALSE(silent_side(right, 1));
    // Off again: the replayer's full left.
    const std::vector<int16_t> off = stereo_render(notes_on({1, 2}), -1);
    EXPECT_FALSE(silent_side(off, 0));
    EXPECT_TRUE(silent_side(off, 1));
    // Effect 8 sends no panning: the channel stays in the middle either way.
    const std::vector<int16_t> middle = stereo_render(notes_on({0}, 8), 100);
    EXPECT_FALSE(silent_side(middle, 1));
    EXPECT_EQ(middle, stereo_render(notes_on({0}, 8), -1));
}

TEST(Stereo, NeighbourChannelsMirrorEachOther)
{
    const std::pair<int32_t, int32_t> left_panning[] = {{0, 128}, {37, 80}, {50, 64}, {100, 0}};
    const std::pair<int, int> left_right[] = {{0, 1}, {3, 2}};
    for (const auto& [separation, panning] : left_panning)
        for (const auto& [left, right] : left_right) {
            SCOPED_TRACE(testing::Message() << "separation " << separation << ", channel " << left);
            std::vector<int16_t> mirrored = stereo_render(notes_on({right}), separation);
            for (size_t k = 0; k < mirrored.size(); k += 2)
                std::swap(mirrored[k], mirrored[k + 1]);
            EXPECT_EQ(stereo_render(notes_on({left}), separation), mirrored);
            EXPECT_EQ(mix_channels[left].panning, panning);
        }
}

// Every load starts from silence and draws the same random table: a host
// that plays module A, frees it and plays B hears exactly what a fresh
// process renders of B.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "replayer/pt_random.h"
#include "tests/support/cli.h"
#include "tests/support/harness.h"

namespace {

TEST(Reload, OwnRandomSequenceIsTheFreshProcessRand)
{
    std::srand(1);
    pt_rand_reset();
    for (int i = 0; i < 500; i++)
        ASSERT_EQ(pt_rand(), std::rand()) << "value " << i;
}

mb_sample tone(size_t n, int step)
{
    mb_sample s;
    for (size_t k = 0; k < n; k++)
        s.data.push_back(static_cast<int8_t>((static_cast<int>(k) * step) % 200 - 100));
    s.loop_start = 0;
    s.loop_length = static_cast<uint32_t>(n);
    return s;
}

// A: five loud looped samples on every channel, left playing.
mb_module module_a()
{
    mb_module m = mb_new();
    for (int s = 1; s <= 5; s++)
        m.samples[s] = tone(4000, 3 + s);
    for (int ch = 0; ch < 4; ch++)
        mb_at(m, 0, 0, ch) = {static_cast<uint8_t>(1 + ch), mb_period(24 + ch), 0, 0};
    m.order = {0};
    return m;
}

// B: one sample; a cell that names sample 3, which B leaves empty; with
// random_vibrato, a vibrato on the random waveform.
mb_module module_b(bool random_vibrato)
{
    mb_module m = mb_new();
    m.samples[1] = tone(2000, 7);
    mb_at(m, 0, 0, 0) = {1, mb_period(30), 0, 0};
    mb_at(m, 0, 0, 1) = {3, mb_period(30), 0, 0};
    if (random_vibrato) {
        mb_at(m, 0, 1, 0) = {0, 0, 0xE, 0x43};
        for (int row = 2; row < 64; row++)
            mb_at(m, 0, row, 0) = {0, 0, 0x4, 0x8C};
    }
    m.order = {0};
    return m;
}

std::string left_channel_of_blocks(int32_t blocks)
{
    std::string pcm;
    int16_t block[2 * 1024];
    for (int32_t b = 0; b < blocks; b++) {
        mix_newhand(0, block, static_cast<int32_t>(sizeof block));
        for (int k = 0; k < 1024; k++)
            pcm.append(reinterpret_cast<const char*>(&block[2 * k]), 2);
    }
    return pcm;
}

TEST(Reload, SecondModuleSoundsAsInAFreshProcess)
{
    for (bool random_vibrato : {false, true}) {
        SCOPED_TRACE(random_vibrato ? "random vibrato" : "plain");
        const std::vector<uint8_t> a = mb_build(module_a()), b = mb_build(module_b(random_vibrato));
        const std::string path = cli::scratch_dir() + "/b.mod", wav = cli::scratch_dir() + "/b.wav";
        ASSERT_TRUE(mb_write_bytes(b, path));
        ASSERT_EQ(cli::run({path, "0", "2", wav}).status, 0);
        const std::string fresh = cli::slurp(wav).substr(44);

        vex_init(44100, 4096);
        auto image_a = std::make_unique<uint8_t[]>(VEX_IMAGE_BUFFER);
        std::copy(a.begin(), a.end(), image_a.get());
        ASSERT_EQ(vex_get(image_a.get()), 1);
        vex_start(1);
        // Stop A in the middle of a tick, with every voice sounding.
        left_channel_of_blocks(3);
        int16_t odd[2 * 100];
        mix_newhand(0, odd, static_cast<int32_t>(sizeof odd));
        image_a.reset();
        // A host drawing from rand must not change B.
        for (int i = 0; i < 17; i++)
            std::rand();

        auto image_b = std::make_unique<uint8_t[]>(VEX_IMAGE_BUFFER);
        std::copy(b.begin(), b.end(), image_b.get());
        ASSERT_EQ(vex_get(image_b.get()), 1);
        vex_start(1);
        EXPECT_TRUE(left_channel_of_blocks(static_cast<int32_t>(fresh.size() / 2048)) == fresh);
        std::remove(path.c_str());
        std::remove(wav.c_str());
    }
}

}  // namespace

// Stems: every file of one --stems pass equals the separate solo render of
// its sample, byte for byte, and every sample that sounds gets one.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <memory>

#include "frontend/tunedump_stems.h"
#include "tests/support/cli.h"
#include "tests/support/generated.h"
#include "tests/support/harness.h"

namespace {

bool silent(const std::string& wav)
{
    return wav.size() <= 44 || wav.find_first_not_of('\0', 44) == std::string::npos;
}

bool exists(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

// Runs --stems and each solo render of the module file, with the same
// options before them; compares them.
void expect_stems_are_solo_renders(const std::string& module, const std::string& seconds,
                                   const std::vector<std::string>& options = {})
{
    const std::string dir = cli::scratch_dir() + "/stems", wav = cli::scratch_dir() + "/solo.wav";
    std::system(("rm -rf '" + dir + "'").c_str());
    std::vector<std::string> args = options;
    args.insert(args.end(), {"--stems", module, seconds, dir});
    const cli::result stems = cli::run(args);
    ASSERT_EQ(stems.status, 0) << stems.err;
    for (int32_t n = 0; n < 32; n++) {
        SCOPED_TRACE("sample " + std::to_string(n));
        args = options;
        args.insert(args.end(), {module, std::to_string(n), seconds, wav});
        ASSERT_EQ(cli::run(args).status, 0);
        const std::string solo = cli::slurp(wav);
        char prefix[4];
        std::snprintf(prefix, sizeof prefix, "%02d", static_cast<int>(n));
        std::string stem_path;
        for (const std::string& line : {stems.out}) {
            const size_t at = n == 0 ? line.find(dir + "/mix.wav") : line.find(dir + "/" + prefix);
            if (at != std::string::npos)
                stem_path = line.substr(at, line.find_first_of(" \n", at) - at);
        }
        if (stem_path.empty()) {
            EXPECT_TRUE(silent(solo)) << "a sample that sounds has no stem";
            continue;
        }
        EXPECT_TRUE(cli::slurp(stem_path) == solo) << stem_path;
    }
}

TEST(Stems, EveryStemIsItsSoloRender)
{
    struct row {
        int channels;
        uint64_t seed;
    };
    for (const row r : {row{4, 31}, row{8, 32}, row{16, 33}}) {
        SCOPED_TRACE(std::to_string(r.channels) + " channels");
        const std::string path = cli::scratch_dir() + "/gen.mod";
        ASSERT_TRUE(mb_write(generated_modules::generated(r.channels, r.seed), path));
        expect_stems_are_solo_renders(path, "4");
    }
    // Stereo stems at another rate, faded as the mix is.
    const std::string path = cli::scratch_dir() + "/gen.mod";
    ASSERT_TRUE(mb_write(generated_modules::generated(6, 34), path));
    expect_stems_are_solo_renders(path, "3", {"--stereo=80", "--rate", "22050", "--fade", "2"});
    for (const char* name : {"The_Last_V8.mod", "ironseed-VOID.mod"}) {
        const std::string path = std::string(TUNEDUMP_CORPUS_DIR "/") + name;
        if (!exists(path))
            continue;
        SCOPED_TRACE(name);
        expect_stems_are_solo_renders(path, "6");
    }
}

// What a host gets in stereo, in blocks of odd sizes, against the solo
// render of each sample through the plain pump.
TEST(Stems, HostBuffersHoldEachSoloRenderInStereo)
{
    const std::vector<uint8_t> bytes = mb_build(generated_modules::generated(6, 34));
    constexpr int32_t block = 777, blocks = 120;
    std::vector<std::vector<int16_t>> stems(32, std::vector<int16_t>(2 * block * blocks));
    std::vector<int16_t> mix(2 * block * blocks);
    vex_init(44100, 4096);
    harness::place(bytes);
    ASSERT_EQ(vex_get(harness::image), 1);
    vex_start(1);
    for (int32_t b = 0; b < blocks; b++) {
        int16_t* targets[32] = {};
        for (int n = 1; n < 32; n++)
            targets[n] = stems[n].data() + 2 * block * b;
        mix_newhand_stems(0, mix.data() + 2 * block * b, 4 * block, targets);
    }
    int used = 0;
    for (int32_t n = 1; n < 32; n++) {
        if (!vex_sample_used(n))
            continue;
        used++;
        vex_init(44100, 4096);
        mix_solosample = n;
        harness::place(bytes);
        ASSERT_EQ(vex_get(harness::image), 1);
        mix_solosample = 0;
        vex_start(1);
        std::vector<int16_t> solo(2 * block * blocks);
        for (int32_t b = 0; b < blocks; b++)
            mix_newhand(0, solo.data() + 2 * block * b, 4 * block);
        EXPECT_TRUE(solo == stems[n]) << "sample " << n;
    }
    EXPECT_GE(used, 8);
}

TEST(Stems, FileNamesStayInsideTheFolder)
{
    struct row {
        const char* name;
        int bytes;
        const char* file;
    };
    const row rows[] = {
        {"bass drum", 9, "07-bass_drum.wav"},
        {"../../etc/passwd", 16, "07-etc_passwd.wav"},
        {".hidden", 7, "07-hidden.wav"},
        {"__a\x1b[31m!!b..__", 15, "07-a_31m_b.wav"},
        {"///", 3, "07.wav"},
        {"", 0, "07.wav"},
        {"ok\0secret", 9, "07-ok.wav"},
        {"abcdefghijklmnopqrstuv", 22, "07-abcdefghijklmnopqrstuv.wav"},
    };
    for (const row& r : rows)
        EXPECT_EQ(td_stem_name(7, reinterpret_cast<const uint8_t*>(r.name), r.bytes), r.file)
            << r.name;
    const uint8_t long_name[48] = "aaaaaaaaaabbbbbbbbbbccccccccccddddddddddeeeee";
    EXPECT_EQ(td_stem_name(12, long_name, 48), "12-aaaaaaaaaabbbbbbbbbbccccccccccdddddddddd.wav");
}

TEST(Stems, FailuresLeaveNoHalfSet)
{
    const std::string dir = cli::scratch_dir(), module = dir + "/fail.mod";
    ASSERT_TRUE(mb_write(generated_modules::generated(4, 35), module));
    const std::string plain_file = dir + "/not-a-folder";
    std::fclose(std::fopen(plain_file.c_str(), "wb"));
    cli::result r = cli::run({"--stems", module, "2", plain_file});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "File error.\n");
    EXPECT_EQ(cli::run({"--stems", module, "2", dir + "/no/such"}).out, "File error.\n");

    // A write that fails part way: the folder this run made goes too.
    const std::string fresh = dir + "/fresh";
    r = cli::run_in_shell("ulimit -f 64; trap '' XFSZ;", {"--stems", module, "3", fresh});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "File error.\n");
    EXPECT_FALSE(exists(fresh));

    // In a folder that was there: files it would have replaced stay as they
    // were, files it would have made are not there, nor their temporaries.
    const std::string kept = dir + "/kept";
    mkdir(kept.c_str(), 0777);
    std::fclose(std::fopen((kept + "/mine.txt").c_str(), "wb"));
    std::FILE* old = std::fopen((kept + "/mix.wav").c_str(), "wb");
    std::fputs("old", old);
    std::fclose(old);
    r = cli::run_in_shell("ulimit -f 64; trap '' XFSZ;", {"--stems", module, "3", kept});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(exists(kept + "/mine.txt"));
    EXPECT_EQ(cli::slurp(kept + "/mix.wav"), "old");
    EXPECT_FALSE(exists(kept + "/01.wav"));
    EXPECT_EQ(std::system(("test $(ls -A '" + kept + "' | wc -l) = 2").c_str()), 0);
}

}  // namespace

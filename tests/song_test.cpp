// Song length and sequences: how long a module plays before it comes round
// again, where its further tunes start, and that scanning leaves no trace.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/cli.h"
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

sequence_list sequences_of(const mb_module& m, int32_t rate = 44100)
{
    vex_init(rate, 4096);
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

constexpr int32_t row3 = 3 * 882;
constexpr int32_t slow_row = 31 * 3445;  // speed 31, tempo 32

struct loop_case {
    const char* name;
    std::vector<uint8_t> order;
    std::vector<fx> cells;
    // per sequence: start, loop start, frames over 1, 2, 3 and 16 passes
    std::vector<std::array<int32_t, 6>> expected;
};

const loop_case loop_cases[] = {
    // speed 3 until position 2 row 10 sets 6, which the later passes keep
    {"looping song whose passes differ", {0, 1, 2},
     {{0, 0, 0, 0xF, 3}, {2, 10, 0, 0xF, 6}, {2, 63, 0, 0xB, 1}},
     {{0, 64 * row3, 138 * row3 + 54 * row6, 138 * row3 + 182 * row6, 138 * row3 + 310 * row6,
       138 * row3 + 1974 * row6}}},
    {"stopped by F00", {0}, {{0, 3, 0, 0xF, 0}},
     {{0, -1, 3 * row6 + 882, 3 * row6 + 882, 3 * row6 + 882, 3 * row6 + 882}}},
    {"second sequence runs into the first", {0, 1, 2}, {{1, 10, 0, 0xB, 0}},
     {{0, 0, 75 * row6, 150 * row6, 225 * row6, 1200 * row6},
      {2, -1, 64 * row6, 64 * row6, 64 * row6, 64 * row6}}},
    {"passes stop at 1200 s", {0, 1}, {{0, 0, 0, 0xF, 31}, {0, 0, 1, 0xF, 32}},
     {{0, 0, 128 * slow_row, 256 * slow_row, 384 * slow_row, VEX_SONG_FRAMES_MAX}}},
};

TEST(Song, LoopStartsAndLengthsOverPasses)
{
    const int32_t passes[] = {1, 2, 3, 16};
    for (const loop_case& c : loop_cases) {
        vex_init(44100, 4096);
        place(mb_build(module_of(c.order, c.cells)));
        for (int i = 0; i < 4; i++) {
            vex_sequence found[VEX_MAX_SEQUENCES];
            const int32_t n = vex_sequences_looped(image, found, VEX_MAX_SEQUENCES, passes[i]);
            std::vector<std::array<int32_t, 3>> got, want;
            for (int32_t s = 0; s < n; s++)
                got.push_back({found[s].start_position, found[s].loop_start, found[s].frames});
            for (const auto& e : c.expected)
                want.push_back({e[0], e[1], e[2 + i]});
            EXPECT_EQ(got, want) << c.name << ", " << passes[i] << " passes";
        }
    }
}

// A tick lasts the same time at every rate, so lengths scale with it.
TEST(Song, LengthsScaleWithTheRate)
{
    // tempo 137, then 32 from position 1: 128 rows of 6 ticks
    const mb_module song = module_of({0, 1}, {{0, 0, 0, 0xF, 137}, {1, 0, 0, 0xF, 32}});
    const mb_module endless =
        module_of({0, 1, 2, 3, 4, 5, 6, 7}, {{0, 0, 0, 0xF, 31}, {0, 0, 1, 0xF, 32}});
    const int64_t at_44100 = sequences_of(song)[0].second;
    for (const int64_t rate : {22050, 48000, 96000}) {
        SCOPED_TRACE(rate);
        // within one frame a tick at the higher of the two rates
        const int64_t off = 44100 * int64_t{sequences_of(song, rate)[0].second} - at_44100 * rate;
        EXPECT_LE(std::llabs(off), 128 * 6 * std::max<int64_t>(rate, 44100));
        EXPECT_EQ(sequences_of(endless, rate)[0].second, VEX_SONG_FRAMES_AT(rate));
    }
}

TEST(Song, TickLengthWithAndWithoutAModule)
{
    sequences_of(module_of({0}, {}), 48000);  // leaves no module loaded
    EXPECT_EQ(update_samples_per_tick(), 0);
    EXPECT_EQ(samples_per_tick, 0);
    ASSERT_EQ(vex_get(image), 1);
    EXPECT_EQ(update_samples_per_tick(), 960);  // tempo 125: 2.5 / 125 s
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
    mb_module m = module_of({0, 1, 2}, {{1, 10, 2, 0xB, 0}});
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

std::string write_module(const mb_module& m, const std::string& name)
{
    const std::string path = cli::scratch_dir() + "/" + name;
    mb_write(m, path);
    return path;
}

// The same tune with its hidden position first in the order list.
mb_module tune_from_position_2()
{
    mb_module m = tune();
    m.order = {2, 0, 1};
    return m;
}

TEST(SongCommandLine, SongStartsAtItsPositionAndDashWritesTheFileBytes)
{
    const std::string mod = write_module(tune(), "tune.mod");
    const std::string wav = cli::scratch_dir() + "/tune.wav";
    ASSERT_EQ(cli::run({write_module(tune_from_position_2(), "moved.mod"), "0", "1", wav}).status, 0);
    const std::string moved = cli::slurp(wav);
    ASSERT_EQ(cli::run({"--song", "1", mod, "0", "1", wav}).status, 0);
    EXPECT_EQ(cli::slurp(wav), moved);
    const cli::result piped = cli::run({"--song", "1", mod, "0", "1", "-"});
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.out, moved);
    // the song: 75 rows of 5292 frames, rounded up to whole blocks
    const cli::result song = cli::run({mod, "0", "song", "-"});
    EXPECT_EQ(song.out.size(), 44u + 2u * ((75u * row6 + 1023u) / 1024u * 1024u));
}

struct cli_case {
    std::vector<std::string> args;  // "MOD" is replaced by the tune's path
    int status;
    std::string out_start, err_part;
};

TEST(SongCommandLine, OptionFormsAndTheirMessages)
{
    const std::string mod = write_module(tune(), "tune.mod");
    const std::string missing = cli::scratch_dir() + "/missing.mod";
    const std::string wav = cli::scratch_dir() + "/x.wav";
    const cli_case cases[] = {
        {{"--song", "2", "MOD", "0", "1", wav}, 1, "", "2 sequences"},
        {{"--song", "1x", "MOD", "0", "1", wav}, 1, "", "2 sequences"},
        {{"--song", "-1", "MOD", "0", "1", wav}, 1, "", "2 sequences"},
        {{"--song", "1", "MOD", "0", "1"}, 1, "", "source.mod samplenum seconds dest.wav"},
        {{"--song"}, 1, "", "--song needs a value"},
        {{"--info", "--stems", "MOD"}, 1, "", "cannot be combined"},
        {{"--loud", "MOD"}, 1, "", "--loud"},
        {{"--info"}, 1, "", "--info"},
        {{"--help", "x"}, 1, "", "--help"},
        {{"--help"}, 0, "usage:", ""},
        {{"--version"}, 0, "tunedump " TUNEDUMP_VERSION "\n", ""},
        {{"--info", missing}, 1, "Error opening input file.\n", ""},
        {{missing, "0", "1", "-"}, 1, "", "Error opening input file.\n"},
        {{"MOD", "0", "songs", wav}, 1, "", "seconds too big"},
        {{"MOD", "0", "1", "-", "x"}, 1, "tunedump source.mod", ""},
    };
    for (const cli_case& c : cases) {
        std::vector<std::string> args = c.args;
        for (std::string& a : args)
            if (a == "MOD")
                a = mod;
        const cli::result r = cli::run(args);
        EXPECT_EQ(r.status, c.status) << args[0];
        EXPECT_EQ(r.out.substr(0, c.out_start.size()), c.out_start) << args[0];
        EXPECT_NE(r.err.find(c.err_part), std::string::npos) << args[0] << ": " << r.err;
    }
}

TEST(SongCommandLine, ReaderThatStopsEarlyEndsWithStatusOneAndNoMessage)
{
    const std::string mod = write_module(tune(), "tune.mod");
    const std::string status = cli::scratch_dir() + "/status", err = cli::scratch_dir() + "/err";
    const std::string command = "(" + cli::quoted(TUNEDUMP_BINARY) + " " + cli::quoted(mod) +
                                " 0 60 - 2>" + err + "; echo $? >" + status +
                                ") | head -c 100 >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(cli::slurp(status), "1\n");
    EXPECT_EQ(cli::slurp(err), "");
}

TEST(SongCommandLine, RefusesATerminalBeforeReadingTheModule)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string err = cli::scratch_dir() + "/err";
    const pid_t child = fork();
    if (child == 0) {
        const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
        const int errfile = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(terminal, 1);
        dup2(errfile, 2);
        execl(TUNEDUMP_BINARY, "tunedump", "no-such.mod", "0", "1", "-", static_cast<char*>(nullptr));
        _exit(127);
    }
    int raw = 0;
    waitpid(child, &raw, 0);
    close(master);
    EXPECT_EQ(WEXITSTATUS(raw), 1);
    EXPECT_EQ(cli::slurp(err), "Refusing to write audio to a terminal.\n");
}

TEST(SongCommandLine, InfoShowsUntrustedNamesSafely)
{
    mb_module m = tune();
    m.title = std::string("\x1b[2Jtitle\0hidden", 17);
    m.samples[2].finetune = 0xFF;
    std::vector<uint8_t> bytes = mb_build(m);
    const char name[] = "bass\x07\x9b!\0secret";
    std::memcpy(bytes.data() + 20, name, sizeof name - 1);  // sample 1's name
    const std::string mod = cli::scratch_dir() + "/names.mod";
    mb_write_bytes(bytes, mod);
    const cli::result r = cli::run({"--info", mod});
    EXPECT_EQ(r.status, 0);
    for (const char* line : {"title:       .[2Jtitle\n", "signature:   M.K.\n", "channels:    4\n",
                             "song length: 3 (restart byte 0)\n", "patterns:    3\n",
                             "sequence 0: position 0, 0:09.000, 396900 frames, intro 0:00.000, loop 0:09.000\n",
                             "sequence 1: position 2, 0:07.680, 338688 frames, no loop\n",
                             "\n 1  bass..!                    64          0          64     64        0  yes\n",
                             "\n 2                            300          0           0     64       -1  yes\n",
                             "\n 3                              0          0           0     64        0  no\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    EXPECT_EQ(r.out.find("hidden"), std::string::npos);
    EXPECT_EQ(r.out.find("secret"), std::string::npos);
    for (char c : r.out)
        EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7F));
}

}  // namespace

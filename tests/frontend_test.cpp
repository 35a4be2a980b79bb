// The command line as a user meets it: argument checks and their order,
// bad input and output paths, the exact WAV header, and the streamed file
// against the whole-buffer writer.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <memory>

#include "frontend/module_load.h"
#include "frontend/part_boundary.h"
#include "frontend/render_parts.h"
#include "tests/support/cli.h"
#include "tests/support/harness.h"
#include "tests/support/whole_buffer.h"

namespace {

const std::string usage = "tunedump source.mod samplenum seconds dest.wav\n";
const std::string solo_message =
    "sample number must be 0..31. Number 0 means, do not solo anything. \n";
const std::string seconds_message = "seconds too big or small or something\n";
const std::string unknown_type = "pt_takemod error: unknown module type!\n";

std::string module_path()
{
    static const std::string path = [] {
        mb_module m = mb_new();
        m.samples[1] = harness::flat_sample(400, 50, true);
        mb_at(m, 0, 0, 0) = {1, mb_period(24), 0, 0};
        m.order = {0};
        const std::string p = cli::scratch_dir() + "/song.mod";
        mb_write(m, p);
        return p;
    }();
    return path;
}

bool temporaries_in(const std::string& dir)
{
    return std::system(("ls -A '" + dir + "' | grep -q tunedump-").c_str()) == 0;
}

// Every refusal and failure leaves the old file as it was, and no temporary.
TEST(FrontEnd, ArgumentsMessagesAndExitCodes)
{
    const std::string dir = cli::scratch_dir();
    const std::string mod = module_path(), wav = dir + "/out.wav", missing = dir + "/none.mod";
    const std::string empty = dir + "/empty.mod";
    std::FILE* f = std::fopen(empty.c_str(), "wb");
    std::fclose(f);
    struct row {
        std::vector<std::string> args;
        std::string redirect;
        int status;
        std::string out, err;
        int limit_blocks = 0;  // a file-size limit the write runs into, in sh's 512-byte blocks
    };
    const row rows[] = {
        {{}, "", 1, usage, ""},
        {{mod, "0", "1"}, "", 1, usage, ""},
        {{mod, "0", "1", wav, "x"}, "", 1, usage, ""},
        // The input is checked before the numbers.
        {{missing, "99", "0", wav}, "", 1, "Error opening input file.\n", ""},
        {{dir, "0", "1", wav}, "", 1, "Error opening input file.\n", ""},
        {{mod, "32", "0", wav}, "", 1, "", solo_message},
        {{mod, "-1", "1", wav}, "", 1, "", solo_message},
        {{mod, "0", "0", wav}, "", 1, "", seconds_message},
        {{mod, "0", "1201", wav}, "", 1, "", seconds_message},
        {{mod, "0", "ten", wav}, "", 1, "", seconds_message},
        {{empty, "0", "1", wav}, "", 1, "", unknown_type},
        {{"/dev/null", "0", "1", wav}, "", 1, "", unknown_type},
        {{mod, "0", "1", dir}, "", 1, "File error.\n", ""},
        {{mod, "0", "1", dir + "/no/such/folder.wav"}, "", 1, "File error.\n", ""},
        {{mod, "0", "1", empty + "/folder-is-a-file.wav"}, "", 1, "File error.\n", ""},
        // Long enough to be rendered in parts.
        {{mod, "0", "120", dir + "/no/such/folder.wav"}, "", 1, "File error.\n", ""},
        {{mod, "0", "1", "/dev/full"}, "", 1, "File error.\n", ""},
        // A file that stops growing part way; in a long render it is a later
        // part that meets the limit.
        {{mod, "0", "3", wav}, "", 1, "File error.\n", "", 64},
        {{mod, "0", "120", wav}, "", 1, "File error.\n", "", 16384},
        {{mod, "abc", "1", wav}, "", 0, "", ""},
    };
    for (const row& r : rows) {
        std::string shown;
        for (const std::string& a : r.args)
            shown += a.substr(a.rfind('/') + 1) + " ";
        SCOPED_TRACE(shown);
        std::FILE* old = std::fopen(wav.c_str(), "wb");
        std::fputs("old", old);
        std::fclose(old);
        // A shell that ignores the file-size signal makes the write fail there.
        const cli::result got = r.limit_blocks > 0
            ? cli::run_in_shell("ulimit -f " + std::to_string(r.limit_blocks) + "; trap '' XFSZ;",
                                r.args)
            : cli::run(r.args, r.redirect);
        EXPECT_EQ(got.status, r.status);
        EXPECT_EQ(got.out, r.out);
        EXPECT_EQ(got.err, r.err);
        if (r.status != 0) {
            EXPECT_EQ(cli::slurp(wav), "old");
        }
        EXPECT_FALSE(temporaries_in(dir));
    }
    std::remove(wav.c_str());
}

uint32_t lsb(const std::string& bytes, size_t at, int n)
{
    uint32_t v = 0;
    for (int i = n - 1; i >= 0; i--)
        v = v << 8 | static_cast<uint8_t>(bytes[at + static_cast<size_t>(i)]);
    return v;
}

// Whole blocks of 1024: 1 s is 44 blocks; 256 s is exactly 11,025 blocks.
TEST(FrontEnd, HeaderOfOneAndTwoHundredFiftySixSeconds)
{
    const std::string wav = cli::scratch_dir() + "/len.wav";
    for (auto [seconds, data_bytes] : {std::pair{"1", 90112u}, std::pair{"256", 22579200u}}) {
        ASSERT_EQ(cli::run({module_path(), "0", seconds, wav}).status, 0);
        const std::string f = cli::slurp(wav);
        ASSERT_EQ(f.size(), 44 + data_bytes);
        EXPECT_EQ(f.substr(0, 4) + f.substr(8, 8) + f.substr(36, 4), "RIFFWAVEfmt data");
        const uint32_t want[][3] = {{4, 4, data_bytes + 36}, {16, 4, 16}, {20, 2, 1},
                                    {22, 2, 1}, {24, 4, 44100}, {28, 4, 88200},
                                    {32, 2, 2}, {34, 2, 16}, {40, 4, data_bytes}};
        for (const auto& field : want)
            EXPECT_EQ(lsb(f, field[0], static_cast<int>(field[1])), field[2]) << "offset " << field[0];
        std::remove(wav.c_str());
    }
}

// The streamed file holds exactly the bytes of rendering everything into
// one buffer and writing it whole.
TEST(Exactness, StreamedFileEqualsWholeBufferWriter)
{
    const std::vector<uint8_t> demo = [] {
        const std::string d = cli::slurp(TUNEDUMP_BUILD_DIR "/demo.mod");
        return std::vector<uint8_t>(d.begin(), d.end());
    }();
    if (demo.empty())
        GTEST_SKIP() << "no demo.mod in the build tree";
    const std::string dir = cli::scratch_dir();
    for (int32_t solo : {0, 2}) {
        const int32_t target = 20 * td_rate;
        auto samples = std::make_unique<int16_t[]>(static_cast<size_t>(target) + td_blockframes);
        vex_init(td_rate, td_mixblock);
        mix_solosample = solo;
        harness::place(demo);
        ASSERT_EQ(vex_get(harness::image), 1);
        vex_start(1);
        const int32_t count = whole_buffer::render(samples.get(), target);
        ASSERT_EQ(whole_buffer::writewav((dir + "/whole.wav").c_str(), samples.get(),
                                         static_cast<uint32_t>(count) * 2, td_rate), 0);

        // Written by one process, and by three side by side.
        for (int parts : {1, 3}) {
            vex_init(td_rate, td_mixblock);
            mix_solosample = solo;
            harness::place(demo);
            ASSERT_EQ(vex_get(harness::image), 1);
            mix_solosample = 0;
            vex_start(1);
            td_render_parts = parts;
            const td_audio audio{1, td_rate, td_whole_blocks(target)};
            std::unique_ptr<td_sink> sink = td_wav_file_sink(dir + "/streamed.wav", audio);
            td_render_shape shape;
            shape.frames = audio.frames;
            ASSERT_TRUE(td_render_to(*sink, shape));
            ASSERT_TRUE(sink->finish() && sink->publish());
            td_render_parts = 0;
            EXPECT_TRUE(cli::slurp(dir + "/whole.wav") == cli::slurp(dir + "/streamed.wav"))
                << "solo " << solo << ", " << parts << " parts";
        }
    }
}

}  // namespace

namespace {

std::vector<int16_t> samples_of(const std::string& wav)
{
    std::vector<int16_t> v((wav.size() - 44) / 2);
    std::memcpy(v.data(), wav.data() + 44, v.size() * 2);
    return v;
}

// The options change the header and the samples as they say; a render in
// parts (a file) gives the bytes of one process (a pipe) with them too.
TEST(FrontEnd, RenderOptions)
{
    const std::string dir = cli::scratch_dir(), mod = module_path(), wav = dir + "/opt.wav";
    vex_init(td_rate, td_mixblock);
    std::vector<uint8_t> image(VEX_IMAGE_BUFFER);
    const std::string file = cli::slurp(mod);
    std::memcpy(image.data(), file.data(), file.size());
    vex_sequence looped[VEX_MAX_SEQUENCES];
    ASSERT_GT(vex_sequences_looped(image.data(), looped, VEX_MAX_SEQUENCES, 2), 0);
    struct row {
        std::vector<std::string> options;
        const char* seconds;
        uint32_t channels, rate, frames;
    };
    const row rows[] = {
        {{"--stereo"}, "1", 2, 44100, 45056},
        {{"--rate", "22050"}, "1", 1, 22050, 22528},
        {{"--rate", "96000", "--stereo=0"}, "2", 2, 96000, 192512},
        {{"--loops", "2"}, "song", 1, 44100,
         static_cast<uint32_t>(td_whole_blocks(looped[0].frames))},
    };
    for (const row& r : rows) {
        std::vector<std::string> args = r.options;
        args.insert(args.end(), {mod, "0", r.seconds, wav});
        SCOPED_TRACE(args[0]);
        ASSERT_EQ(cli::run(args).status, 0);
        const std::string f = cli::slurp(wav);
        EXPECT_EQ(lsb(f, 22, 2), r.channels);
        EXPECT_EQ(lsb(f, 24, 4), r.rate);
        EXPECT_EQ(lsb(f, 40, 4), r.frames * r.channels * 2);
        EXPECT_EQ(f.size(), 44 + r.frames * r.channels * 2);
    }

    // Frame k of the last L becomes value x (L - 1 - k) / L; the rest stay.
    ASSERT_EQ(cli::run({"--stereo", mod, "0", "3", wav}).status, 0);
    const std::vector<int16_t> plain = samples_of(cli::slurp(wav));
    ASSERT_EQ(cli::run({"--stereo", "--fade", "2", mod, "0", "3", wav}).status, 0);
    const std::vector<int16_t> faded = samples_of(cli::slurp(wav));
    ASSERT_EQ(plain.size(), faded.size());
    const int64_t frames = static_cast<int64_t>(plain.size() / 2), length = 2 * 44100;
    int64_t differ = 0;
    for (int64_t i = 0; i < 2 * frames; i++) {
        const int64_t k = i / 2 - (frames - length);
        const int64_t want = k < 0 ? plain[i] : plain[i] * (length - 1 - k) / length;
        differ += faded[i] != want;
    }
    EXPECT_EQ(differ, 0);
    EXPECT_EQ(faded[2 * frames - 1], 0);
    EXPECT_NE(plain[2 * frames - 1], 0);

    const std::vector<std::string> options = {"--stereo=30", "--fade", "7"};
    std::vector<std::string> to_file = options, to_pipe = options;
    to_file.insert(to_file.end(), {mod, "0", "120", wav});
    to_pipe.insert(to_pipe.end(), {mod, "0", "120", "-"});
    ASSERT_EQ(cli::run(to_file).status, 0);
    EXPECT_TRUE(cli::run(to_pipe).out == cli::slurp(wav));
}

}  // namespace

namespace {

// The part before the last renders exactly up to where the last part
// starts, whichever of them gets there first: claims, then a close.
TEST(Parts, BoundarySettlesBetweenClaims)
{
    struct step {
        char op;  // c: claim (at, want); x: close (at)
        int32_t at, want, gives;
    };
    const std::vector<std::vector<step>> cases = {
        // The last part closes behind the claims: they stand.
        {{'c', 0, 100, 100}, {'x', 50, 0, 100}, {'c', 100, 200, 100}},
        // Ahead of them: the part before renders up to it, a piece at a time.
        {{'x', 300, 0, 300}, {'c', 0, 100, 100}, {'c', 100, 400, 300}, {'c', 300, 400, 300}},
        // Never closed: the part before renders to the end.
        {{'c', 0, 100, 100}, {'c', 100, 200, 200}, {'c', 200, 200, 200}},
        // Closed where the part before starts: it renders nothing.
        {{'x', 0, 0, 0}, {'c', 0, 100, 0}},
    };
    for (size_t k = 0; k < cases.size(); k++) {
        td_part_boundary* boundary = td_boundary_new(0);
        ASSERT_NE(boundary, nullptr);
        EXPECT_FALSE(td_boundary_start_here(*boundary, 0, 200, 0.0)) << "case " << k;
        for (const step& s : cases[k]) {
            const int32_t got = s.op == 'c' ? td_claim(boundary->before, s.at, s.want)
                                            : td_claims_close(boundary->before, s.at);
            EXPECT_EQ(got, s.gives) << "case " << k << ", " << s.op << " at " << s.at;
        }
        td_boundary_free(boundary);
    }
}

// The part before the last, done first, takes the end of the song where
// both then end together, counting what moving on costs it; or leaves it.
TEST(Parts, TheEndIsTakenWhereBothEndTogether)
{
    struct row {
        double pace, last_pace, moving, writing;  // nanoseconds a frame
        bool notes;
        int32_t last_claimed;
        int32_t expected;  // 0: not taken
    };
    // Done at frame 1,000,000 of 2,000,000.
    const row rows[] = {
        // A last part three times as slow: 1*(y-1M) + 10*(2M-y) = 30*(y-1.1M).
        {10, 30, 1, 0, false, 1100000, 1333333},
        // With notes it still moves on to the end: the other takes more.
        {10, 30, 1, 0, true, 1100000, 1315789},
        // And more again when writing them slows its moving on, not the
        // other's: 1*(y-1M) + 10*(2M-y) = 30*(y-1.1M) + 3*(2M-y).
        {10, 30, 1, 2, true, 1100000, 1277778},
        // As fast, and nearly done: nothing worth taking.
        {10, 10, 1, 0, false, 1980000, 0},
    };
    for (const row& r : rows) {
        td_part_boundary* boundary = td_boundary_new(0);
        ASSERT_NE(boundary, nullptr);
        const int64_t now = td_boundary_now();
        boundary->before.rendered = 1000000;
        boundary->before.started = now - static_cast<int64_t>(1000000 * r.pace);
        td_claims_close(boundary->before, 1000000);
        boundary->last.from = 1000000;
        boundary->last.claim = static_cast<uint64_t>(r.last_claimed);
        boundary->last.rendered = r.last_claimed - 1000000;
        boundary->last.started = now - static_cast<int64_t>((r.last_claimed - 1000000) * r.last_pace);
        boundary->last_moving_ns = r.moving + r.writing;
        boundary->moving_ns = r.moving;
        boundary->last_takes_notes = r.notes;
        const int32_t from = td_boundary_take_end(*boundary, 1000000, 2000000);
        if (r.expected == 0) {
            EXPECT_EQ(from, 2000000);
        } else {
            EXPECT_NEAR(from, r.expected, 2 * td_blockframes);
            EXPECT_EQ(from % td_blockframes, 0);
            // The last part's claims stop there.
            EXPECT_EQ(td_claim(boundary->last, r.last_claimed, 2000000), from);
        }
        td_boundary_free(boundary);
    }
}

}  // namespace

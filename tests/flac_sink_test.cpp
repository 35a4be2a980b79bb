// FLAC output: decoded by libFLAC, every file gives the samples of the WAV
// the same render writes, with its length, MD5 and tags in the metadata; a
// failed write leaves nothing behind.
#include <gtest/gtest.h>

#include <fstream>

#include <FLAC/stream_decoder.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "frontend/flac_sink.h"
#include "frontend/md5_sum.h"
#include "frontend/module_load.h"
#include "frontend/render_parts.h"
#include "frontend/tunedump_stems.h"
#include "tests/support/cli.h"
#include "tests/support/generated.h"
#include "tests/support/harness.h"

namespace {

struct decoded {
    std::vector<int16_t> samples;
    uint64_t total = 0;
    uint32_t channels = 0, rate = 0, bits = 0;
    uint8_t md5[16] = {};
    std::vector<std::string> tags;
    bool md5_matches = false;
};

FLAC__StreamDecoderWriteStatus take_frame(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                          const FLAC__int32* const channel[], void* to)
{
    auto& d = *static_cast<decoded*>(to);
    for (uint32_t i = 0; i < frame->header.blocksize; i++)
        for (uint32_t c = 0; c < frame->header.channels; c++)
            d.samples.push_back(static_cast<int16_t>(channel[c][i]));
    return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

void take_metadata(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* block, void* to)
{
    auto& d = *static_cast<decoded*>(to);
    if (block->type == FLAC__METADATA_TYPE_STREAMINFO) {
        const FLAC__StreamMetadata_StreamInfo& info = block->data.stream_info;
        d.total = info.total_samples;
        d.channels = info.channels;
        d.rate = info.sample_rate;
        d.bits = info.bits_per_sample;
        std::memcpy(d.md5, info.md5sum, sizeof d.md5);
    } else if (block->type == FLAC__METADATA_TYPE_VORBIS_COMMENT) {
        const FLAC__StreamMetadata_VorbisComment& tags = block->data.vorbis_comment;
        for (uint32_t i = 0; i < tags.num_comments; i++)
            d.tags.emplace_back(reinterpret_cast<const char*>(tags.comments[i].entry),
                                tags.comments[i].length);
    }
}

void take_error(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void*)
{
    ADD_FAILURE() << "the decoder found an error";
}

// With the MD5 checked where the file has one.
decoded decode(const std::string& path)
{
    decoded d;
    FLAC__StreamDecoder* decoder = FLAC__stream_decoder_new();
    FLAC__stream_decoder_set_md5_checking(decoder, true);
    FLAC__stream_decoder_set_metadata_respond(decoder, FLAC__METADATA_TYPE_VORBIS_COMMENT);
    EXPECT_EQ(FLAC__stream_decoder_init_file(decoder, path.c_str(), take_frame, take_metadata,
                                             take_error, &d),
              FLAC__STREAM_DECODER_INIT_STATUS_OK);
    EXPECT_TRUE(FLAC__stream_decoder_process_until_end_of_stream(decoder));
    d.md5_matches = FLAC__stream_decoder_finish(decoder);
    FLAC__stream_decoder_delete(decoder);
    return d;
}

// A WAV's frames and channel count against the FLAC file.
void expect_same_audio(const std::string& wav_path, const std::string& flac_path, bool has_md5)
{
    const std::string wav = cli::slurp(wav_path);
    ASSERT_GT(wav.size(), 44u);
    std::vector<int16_t> frames((wav.size() - 44) / 2);
    std::memcpy(frames.data(), wav.data() + 44, frames.size() * 2);
    const decoded d = decode(flac_path);
    EXPECT_EQ(d.channels, static_cast<uint32_t>(wav[22]));
    EXPECT_EQ(d.rate, static_cast<uint32_t>(td_rate));
    EXPECT_EQ(d.bits, 16u);
    EXPECT_EQ(d.total * d.channels, frames.size());
    EXPECT_TRUE(d.samples == frames) << flac_path;
    EXPECT_EQ(std::count(d.md5, d.md5 + 16, 0) != 16, has_md5);
    EXPECT_TRUE(d.md5_matches);
    EXPECT_NE(std::find(d.tags.begin(), d.tags.end(), "ENCODER=tunedump " TUNEDUMP_VERSION),
              d.tags.end());
}

void start(const std::vector<uint8_t>& module)
{
    vex_init(td_rate, td_mixblock);
    harness::place(module);
    ASSERT_EQ(vex_get(harness::image), 1);
    vex_start(1);
}

// Renders the module from its start into the sink and publishes it.
void render(const std::vector<uint8_t>& module, std::unique_ptr<td_sink> sink, int32_t frames,
            int32_t channels)
{
    start(module);
    td_render_shape shape;
    shape.frames = frames;
    shape.channels = channels;
    EXPECT_TRUE(td_render_to(*sink, shape));
    EXPECT_TRUE(sink->finish());
    EXPECT_TRUE(sink->publish());
}

TEST(FlacSink, DecodesToTheWavSamples)
{
    struct row {
        const char* name;
        int32_t channels, frames;
        bool stream;
    };
    const std::vector<uint8_t> module = mb_build(generated_modules::generated(6, 61));
    const std::string dir = cli::scratch_dir();
    for (const row r : {row{"mono", 1, td_whole_blocks(7 * td_rate), false},
                        row{"stereo", 2, td_whole_blocks(7 * td_rate), false},
                        row{"one block", 1, td_blockframes, false},
                        row{"stream", 2, td_whole_blocks(3 * td_rate), true}}) {
        SCOPED_TRACE(r.name);
        const std::string wav = dir + "/f.wav", flac = dir + "/f.flac";
        const td_audio audio{r.channels, td_rate, r.frames};
        render(module, td_wav_file_sink(wav, audio), r.frames, r.channels);
        const int fd = open(flac.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        render(module,
               r.stream ? td_flac_stream_sink(fd, audio, 5, "gen 6")
                        : td_flac_file_sink(flac, audio, r.channels == 2 ? 8 : 0, "gen 6"),
               r.frames, r.channels);
        close(fd);
        expect_same_audio(wav, flac, !r.stream);
        EXPECT_EQ(decode(flac).tags.front(), "TITLE=gen 6");
    }
}

// Several encoders at once, each stem's file against the WAV stem.
TEST(FlacSink, StemsDecodeToTheWavStems)
{
    const std::vector<uint8_t> module = mb_build(generated_modules::generated(8, 62));
    const std::string wavs = cli::scratch_dir() + "/wav-stems";
    const std::string flacs = cli::scratch_dir() + "/flac-stems";
    td_output_form flac;
    flac.format = td_format::flac;
    td_render_shape shape;
    shape.frames = td_whole_blocks(4 * td_rate);
    shape.channels = 2;
    start(module);
    ASSERT_EQ(td_write_stems(wavs.c_str(), shape, td_output_form{}), 0);
    start(module);
    ASSERT_EQ(td_write_stems(flacs.c_str(), shape, flac), 0);
    int files = 0;
    DIR* d = opendir(wavs.c_str());
    while (const dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name[0] == '.')
            continue;
        files++;
        const std::string flac_name = name.substr(0, name.size() - 3) + "flac";
        expect_same_audio(wavs + "/" + name, flacs + "/" + flac_name, true);
    }
    closedir(d);
    EXPECT_GE(files, 6);
}

// The old file stays and no temporary is left: a file-size limit hit
// halfway (in a process of its own), a folder that is missing.
TEST(FlacSink, FailedWriteLeavesNoFile)
{
    const std::string dir = cli::scratch_dir() + "/flac-fail", dest = dir + "/old.flac";
    std::system(("rm -rf '" + dir + "' && mkdir '" + dir + "' && echo old > '" + dest + "'").c_str());
    const std::vector<uint8_t> module = mb_build(generated_modules::generated(4, 63));
    const td_audio audio{1, td_rate, td_whole_blocks(20 * td_rate)};
    const pid_t child = fork();
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit small{64 * 1024, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &small);
        start(module);
        std::unique_ptr<td_sink> sink = td_flac_file_sink(dest, audio, 5, "");
        td_render_shape shape;
        shape.frames = audio.frames;
        td_render_to(*sink, shape);
        const bool finished = sink->finish();
        sink->discard();
        _exit(!finished && sink->error() == EFBIG ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::unique_ptr<td_sink> missing = td_flac_file_sink(dir + "/missing/new.flac", audio, 5, "");
    EXPECT_TRUE(missing->failed());
    missing->discard();
    EXPECT_EQ(cli::slurp(dest), "old\n");
    EXPECT_EQ(std::system(("test \"$(ls -A '" + dir + "')\" = old.flac").c_str()), 0);
}

// Fed whole and a byte at a time, around every padding length.
TEST(FlacSink, Md5OfKnownTexts)
{
    const std::pair<std::string, const char*> rows[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
        {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
        {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"}};
    for (const auto& [text, expected] : rows) {
        for (const size_t step : {text.size() + 1, size_t{1}}) {
            td_md5 md5;
            td_md5_start(md5);
            for (size_t at = 0; at < text.size(); at += step)
                td_md5_add(md5, text.data() + at, std::min(step, text.size() - at));
            uint8_t digest[16];
            td_md5_end(md5, digest);
            char hex[33];
            for (int i = 0; i < 16; i++)
                std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
            EXPECT_STREQ(hex, expected) << text.size() << " bytes, " << step << " at a time";
        }
    }
}

}  // namespace

namespace {

// The command line picks FLAC by the name or by --format, for a file, for
// standard output and for stems; --format wav keeps WAV.
TEST(FlacSink, TheCommandLineWritesIt)
{
    const std::string dir = cli::scratch_dir() + "/flac-cli", mod = dir + "/gen.mod";
    std::system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str());
    ASSERT_TRUE(mb_write(generated_modules::generated(4, 64), mod));
    ASSERT_EQ(cli::run({"--stereo", mod, "0", "3", dir + "/a.wav"}).status, 0);
    ASSERT_EQ(cli::run({"--stereo", "--flac-level", "8", mod, "0", "3", dir + "/a.flac"}).status, 0);
    expect_same_audio(dir + "/a.wav", dir + "/a.flac", true);
    const cli::result piped = cli::run({"--stereo", "--format", "flac", mod, "0", "3", "-"});
    ASSERT_EQ(piped.status, 0);
    std::ofstream(dir + "/piped.flac", std::ios::binary) << piped.out;
    expect_same_audio(dir + "/a.wav", dir + "/piped.flac", false);
    ASSERT_EQ(cli::run({"--format", "wav", mod, "0", "1", dir + "/b.flac"}).status, 0);
    EXPECT_EQ(cli::slurp(dir + "/b.flac").substr(0, 4), "RIFF");
    ASSERT_EQ(cli::run({"--stems", mod, "2", dir + "/ws"}).status, 0);
    ASSERT_EQ(cli::run({"--format", "flac", "--stems", mod, "2", dir + "/fs"}).status, 0);
    expect_same_audio(dir + "/ws/mix.wav", dir + "/fs/mix.flac", true);
}

}  // namespace

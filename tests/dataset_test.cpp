// The dataset form over one fixture folder: the track folders and the
// manifest, skipped files, resume, shards, a worker killed mid-track, and
// stems that are those of --stems.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "frontend/dataset_track.h"
#include "frontend/sha256.h"
#include "tests/support/cli.h"
#include "tests/support/generated.h"
#include "tests/support/harness.h"

namespace {

bool exists(const std::string& path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

// Sequence 0 loops over position 0 and never reaches position 1, which
// starts a second sequence. Each of the eight rows lasts speed ticks, at
// the tempo given (0: the default).
mb_module hidden_sequence_module(int speed, int channels = 4, int tempo = 0)
{
    mb_module m = mb_new(generated_modules::signature_for(channels));
    for (int i = 1; i <= 2; i++) {
        m.samples[i].data.assign(400, static_cast<int8_t>(i * 30));
        m.samples[i].loop_start = 0;
        m.samples[i].loop_length = 400;
    }
    mb_at(m, 0, 0, 0).effect = 0xF;
    mb_at(m, 0, 0, 0).parameter = static_cast<uint8_t>(speed);
    for (int ch = 0; ch < channels; ch++)
        mb_at(m, 0, 0, ch).sample = 1, mb_at(m, 0, 0, ch).period = mb_period(24 + ch);
    if (tempo > 0)
        mb_at(m, 0, 0, 2).effect = 0xF, mb_at(m, 0, 0, 2).parameter = static_cast<uint8_t>(tempo);
    mb_at(m, 0, 7, 1).effect = 0xB;
    mb_at(m, 1, 0, 1).sample = 2;
    mb_at(m, 1, 0, 1).period = mb_period(30);
    mb_at(m, 1, 7, 1).effect = 0xD;
    m.order = {0, 1};
    return m;
}

void put(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

// The fixture: modules (one nested, one with a hidden sequence), a bad
// file, an empty file, and a link to a module outside the folder.
std::string make_fixture()
{
    const std::string root = cli::scratch_dir() + "/fixture", in = root + "/in";
    std::system(("rm -rf '" + root + "' && mkdir -p '" + in + "/nested/deeper'").c_str());
    mb_write(generated_modules::generated(4, 41), in + "/a four.mod");
    mb_write(generated_modules::generated(8, 42), in + "/nested/deeper/eight.mod");
    mb_write(hidden_sequence_module(6), in + "/hidden.mod");
    put(in + "/bad.txt", "not a module at all");
    put(in + "/empty.mod", "");
    mb_write(generated_modules::generated(6, 43), root + "/outside.mod");
    symlink("../outside.mod", (in + "/outside.mod").c_str());
    return in;
}

std::map<std::string, std::string> manifest_rows(const std::string& path)
{
    std::map<std::string, std::string> rows;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        rows[td_json::parse(line)["id"]] = line;
    return rows;
}

// Every file below dir (but the manifests) with its bytes, by relative path.
void files_below(const std::string& dir, const std::string& rel,
                 std::map<std::string, std::string>& files)
{
    DIR* d = opendir((dir + "/" + rel).c_str());
    ASSERT_NE(d, nullptr) << rel;
    while (const dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == ".." || name.rfind("manifest", 0) == 0)
            continue;
        const std::string path = rel.empty() ? name : rel + "/" + name;
        struct stat info;
        stat((dir + "/" + path).c_str(), &info);
        if (S_ISDIR(info.st_mode))
            files_below(dir, path, files);
        else
            files[path] = cli::slurp(dir + "/" + path);
    }
    closedir(d);
}

std::map<std::string, std::string> files_below(const std::string& dir)
{
    std::map<std::string, std::string> files;
    files_below(dir, "", files);
    return files;
}

int32_t sequence_count(const std::string& path)
{
    const std::string bytes = cli::slurp(path);
    harness::place(std::vector<uint8_t>(bytes.begin(), bytes.end()));
    vex_init(44100, 4096);
    vex_sequence found[VEX_MAX_SEQUENCES];
    return vex_sequences(harness::image, found, VEX_MAX_SEQUENCES);
}

// The loader's own message for a file, as --info gives it.
std::string loader_message(const std::string& path)
{
    std::string err = cli::run({"--info", path}).err;
    return err.substr(0, err.find('\n'));
}

TEST(Dataset, TracksManifestSkippedRowsAndResume)
{
    const std::string in = make_fixture(), out = cli::scratch_dir() + "/fixture/out";
    cli::result r = cli::run({"--dataset", in, out, "--seconds", "2", "--jobs", "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::map<std::string, std::string> rows = manifest_rows(out + "/manifest.jsonl");

    std::map<std::string, std::string> expected;  // id: status and reason
    for (const char* rel : {"a four.mod", "nested/deeper/eight.mod", "hidden.mod"})
        for (int32_t n = 0; n < sequence_count(in + "/" + rel); n++)
            expected[td_track_id(rel, n)] = "ok";
    EXPECT_EQ(sequence_count(in + "/hidden.mod"), 2);
    expected[td_track_id("bad.txt", 0)] = "skipped " + loader_message(in + "/bad.txt");
    expected[td_track_id("empty.mod", 0)] = "skipped " + loader_message(in + "/empty.mod");
    expected[td_track_id("outside.mod", 0)] = "skipped symbolic link";
    std::map<std::string, std::string> got;
    for (const auto& [id, line] : rows) {
        const td_json row = td_json::parse(line);
        got[id] = row["status"].get<std::string>() +
                  (row.contains("reason") ? " " + row["reason"].get<std::string>() : "");
    }
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(rows.count("hidden.mod-" + td_sha256_hex("hidden.mod", 10).substr(0, 8) + "-s1"));

    // Each track folder holds what its metadata lists, and nothing else.
    for (const auto& [id, status] : expected) {
        if (status != "ok")
            continue;
        SCOPED_TRACE(id);
        const std::string dir = out + "/" + id;
        std::ifstream meta(dir + "/metadata.json");
        const td_json m = td_json::parse(meta);
        EXPECT_EQ(m["track_id"], id);
        std::set<std::string> listed = {"metadata.json", "notes.csv", "notes.mid", "mix.flac"};
        for (const td_json& stem : m["stems"]) {
            listed.insert(stem["file"].get<std::string>());
            listed.insert(stem["midi"].get<std::string>());
            EXPECT_GE(stem["notes"].get<int>(), 1);
        }
        std::set<std::string> present;
        for (const auto& file : files_below(dir))
            present.insert(file.first);
        EXPECT_EQ(present, listed);
        EXPECT_EQ(td_json::parse(rows.at(id))["key"], m["key"]);
    }
    EXPECT_FALSE(exists(out + "/" + td_track_id("outside.mod", 0)));

    // A second run renders nothing, and says so.
    struct stat before, after;
    stat((out + "/" + td_track_id("hidden.mod", 1)).c_str(), &before);
    r = cli::run({"--dataset", in, out, "--seconds", "2"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find(" 0 tracks rendered"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(" 4 already done"), std::string::npos) << r.err;
    stat((out + "/" + td_track_id("hidden.mod", 1)).c_str(), &after);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(manifest_rows(out + "/manifest.jsonl"), rows);

    // Another option makes another key: every track is replaced.
    r = cli::run({"--dataset", in, out, "--seconds", "1"});
    EXPECT_NE(r.err.find(" 4 tracks rendered"), std::string::npos) << r.err;
    EXPECT_EQ(std::system(("test -z \"$(ls -A '" + out + "' | grep -v -e -s1$ -e '-[0-9a-f]\\{8\\}$' -e "
                           "'^manifest.jsonl$')\"")
                              .c_str()),
              0);
}

TEST(Dataset, ShardsGiveTheFilesOfOneRun)
{
    const std::string in = make_fixture(), root = cli::scratch_dir() + "/fixture";
    ASSERT_EQ(cli::run({"--dataset", in, root + "/one", "--seconds", "2", "--jobs", "1"}).status, 0);
    for (const char* shard : {"0/3", "1/3", "2/3"})
        ASSERT_EQ(cli::run({"--dataset", in, root + "/shards", "--seconds", "2", "--shard", shard})
                      .status,
                  0);
    EXPECT_TRUE(files_below(root + "/shards") == files_below(root + "/one"));
    size_t rows = 0;
    for (const char* name : {"0-of-3", "1-of-3", "2-of-3"}) {
        rows += manifest_rows(root + "/shards/manifest-" + name + ".jsonl").size();
        EXPECT_FALSE(exists(root + "/shards/manifest.jsonl"));
    }
    EXPECT_EQ(rows, 7u);
    ASSERT_EQ(cli::run({"--dataset-manifest", root + "/shards"}).status, 0);
    EXPECT_EQ(cli::slurp(root + "/shards/manifest.jsonl"), cli::slurp(root + "/one/manifest.jsonl"));
}

TEST(Dataset, StemsAreThoseOfTheStemsForm)
{
    const std::string in = make_fixture(), root = cli::scratch_dir() + "/fixture";
    ASSERT_EQ(cli::run({"--dataset", in, root + "/out", "--seconds", "2", "--stereo=70"}).status,
              0);
    const std::string stems = root + "/stems";
    ASSERT_EQ(cli::run({"--stereo=70", "--format", "flac", "--notes", "--song", "1", "--stems",
                        in + "/hidden.mod", "2", stems})
                  .status,
              0);
    const std::map<std::string, std::string> theirs = files_below(stems);
    const std::string track = root + "/out/" + td_track_id("hidden.mod", 1);
    std::map<std::string, std::string> ours = files_below(track);
    ours.erase("metadata.json");
    std::map<std::string, std::string> renamed;
    for (auto& [path, bytes] : ours)
        renamed[path.rfind("stems/", 0) == 0 ? path.substr(6) : path] = bytes;
    EXPECT_GE(renamed.size(), 6u);
    EXPECT_TRUE(renamed == theirs);
    // The notes, written a row and a track at a time, are those a render
    // keeps in memory.
    for (const char* kind : {"csv", "mid"}) {
        const std::string notes = root + "/render." + kind;
        ASSERT_EQ(cli::run({"--stereo=70", "--song", "1", "--notes=" + notes, in + "/hidden.mod",
                            "0", "2", root + "/render.wav"})
                      .status,
                  0);
        EXPECT_TRUE(cli::slurp(notes) == ours["notes." + std::string(kind)]) << kind;
    }
}

std::vector<pid_t> children_of(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) +
                     "/children");
    std::vector<pid_t> children;
    for (pid_t child; in >> child;)
        children.push_back(child);
    return children;
}

// True while the track is being made in a worker's scratch folder.
bool being_made(const std::string& out, const std::string& id)
{
    DIR* d = opendir(out.c_str());
    if (d == nullptr)
        return false;
    bool found = false;
    while (const dirent* e = readdir(d))
        found = found || (std::string(e->d_name).rfind(".tunedump-dataset-", 0) == 0 &&
                          exists(out + "/" + e->d_name + "/w0/" + id));
    closedir(d);
    return found;
}

TEST(Dataset, AWorkerKilledMidTrackFailsThatTrackAlone)
{
    const std::string root = cli::scratch_dir() + "/killed", in = root + "/in", out = root + "/out";
    std::system(("rm -rf '" + root + "' && mkdir -p '" + in + "'").c_str());
    mb_write(hidden_sequence_module(2), in + "/a.mod");
    // 20 s of 32 stems: 8 rows of 31 ticks at tempo 32.
    mb_write(hidden_sequence_module(31, 32, 32), in + "/b.mod");
    mb_write(hidden_sequence_module(3), in + "/c.mod");
    const pid_t run = fork();
    if (run == 0) {
        std::freopen("/dev/null", "w", stderr);
        execl(TUNEDUMP_BINARY, TUNEDUMP_BINARY, "--dataset", in.c_str(), out.c_str(), "--jobs", "1",
              "--format", "wav", static_cast<char*>(nullptr));
        _exit(127);
    }
    // Once b's track is being made, its worker goes.
    const std::string b = td_track_id("b.mod", 0);
    bool killed = false;
    for (int i = 0; i < 20000 && !killed; i++) {
        if (being_made(out, b)) {
            for (const pid_t worker : children_of(run))
                killed = kill(worker, SIGKILL) == 0 || killed;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    int status = 0;
    waitpid(run, &status, 0);
    ASSERT_TRUE(killed);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    std::map<std::string, std::string> rows = manifest_rows(out + "/manifest.jsonl");
    EXPECT_EQ(rows.size(), 6u);
    const td_json failed = td_json::parse(rows[b]);
    EXPECT_EQ(failed["status"], "failed");
    EXPECT_EQ(failed["reason"], "the worker ended by signal 9");
    for (const auto& [id, line] : rows)
        EXPECT_EQ(td_json::parse(line)["status"], id == b ? "failed" : "ok") << id;
    EXPECT_FALSE(exists(out + "/" + b));

    const cli::result again = cli::run({"--dataset", in, out, "--format", "wav"});
    EXPECT_EQ(again.status, 0);
    EXPECT_NE(again.err.find(" 1 tracks rendered"), std::string::npos) << again.err;
    EXPECT_NE(again.err.find(" 5 already done"), std::string::npos) << again.err;
    EXPECT_EQ(td_json::parse(manifest_rows(out + "/manifest.jsonl")[b])["status"], "ok");
    EXPECT_EQ(std::system(("ls -A '" + out + "' | grep -q tunedump-dataset").c_str()) == 0, false);
}

// A note on every channel on every tick: notes go to disk as they end, so
// a worker's memory does not grow with them.
TEST(Dataset, AWorkersMemoryDoesNotGrowWithTheNotes)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer's shadow memory is not the program's";
#endif
    const std::string root = cli::scratch_dir() + "/dense", in = root + "/in";
    std::system(("rm -rf '" + root + "' && mkdir -p '" + in + "'").c_str());
    mb_module m = mb_new("32CH");
    m.samples[1].data.assign(2000, 40);
    m.samples[1].loop_length = 2000;
    for (int row = 0; row < 64; row++)
        for (int ch = 0; ch < 32; ch++)
            mb_at(m, 0, row, ch) = mb_cell{1, mb_period(24 + (row + ch) % 24), 0xE, 0x91};
    mb_write(m, in + "/dense.mod");
    const pid_t run = fork();
    if (run == 0) {
        std::freopen("/dev/null", "w", stderr);
        execl(TUNEDUMP_BINARY, TUNEDUMP_BINARY, "--dataset", in.c_str(), (root + "/out").c_str(),
              "--seconds", "100", "--format", "wav", "--jobs", "1", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(run, &status, 0, &usage);
    ASSERT_EQ(status, 0);
    std::ifstream csv(root + "/out/" + td_track_id("dense.mod", 0) + "/notes.csv");
    int64_t rows = 0;
    for (std::string line; std::getline(csv, line);)
        rows++;
    EXPECT_GT(rows, 150000);  // some 70 MiB of notes held in memory
    EXPECT_LT(usage.ru_maxrss, 32 * 1024) << "KiB";
}

TEST(Dataset, NamesKeysAndShardNumbers)
{
    // The first test vector of the standard.
    EXPECT_EQ(td_sha256_hex("abc", 3),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(td_shard_number("abc"), 0xba7816bf8f01cfeaULL);
    const std::string h = td_sha256_hex("x/y z.mod", 9).substr(0, 8);
    struct row {
        std::string relative;
        int32_t sequence;
        std::string id;
    };
    const std::string long_name(120, 'a');
    const row rows[] = {
        {"x/y z.mod", 0, "x__y_z.mod-" + h},
        {"x/y z.mod", 3, "x__y_z.mod-" + h + "-s3"},
        {".hidden/..x", 0, "_hidden__..x-" + td_sha256_hex(".hidden/..x", 11).substr(0, 8)},
        {"a\xc3\xa9__b", 0, "a____b-" + td_sha256_hex("a\xc3\xa9__b", 6).substr(0, 8)},
        {long_name, 0, std::string(100, 'a') + "-" + td_sha256_hex(long_name.data(), 120).substr(0, 8)},
    };
    for (const row& r : rows)
        EXPECT_EQ(td_track_id(r.relative, r.sequence), r.id) << r.relative;
}

}  // namespace

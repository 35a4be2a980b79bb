// Output files appear whole or not at all, whatever stops the run: signals
// at several moments, a part killed from outside, destinations that are not
// regular files, the mode of a new file, and runs that share a destination
// or a process.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "frontend/module_load.h"
#include "frontend/tunedump_stems.h"
#include "tests/support/cli.h"
#include "tests/support/generated.h"
#include "tests/support/harness.h"

namespace {

using namespace std::chrono_literals;

std::string write_module(int channels, uint64_t seed, const std::string& name)
{
    const std::string path = cli::scratch_dir() + "/" + name;
    mb_write(generated_modules::generated(channels, seed), path);
    return path;
}

// Starts tunedump in a process group of its own; its pid.
pid_t start(const std::vector<std::string>& args)
{
    const pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);
        freopen("/dev/null", "w", stdout);
        std::vector<char*> argv{const_cast<char*>(TUNEDUMP_BINARY)};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(TUNEDUMP_BINARY, argv.data());
        _exit(127);
    }
    setpgid(child, child);
    return child;
}

int wait_status(pid_t pid)
{
    int raw = 0;
    waitpid(pid, &raw, 0);
    return raw;
}

// The processes of the group that have not ended (zombies have).
std::vector<pid_t> group_members(pid_t group)
{
    std::vector<pid_t> members;
    DIR* proc = opendir("/proc");
    while (const dirent* e = readdir(proc)) {
        std::ifstream stat(std::string("/proc/") + e->d_name + "/stat");
        std::string line;
        if (!std::getline(stat, line) || line.rfind(')') == std::string::npos)
            continue;
        std::istringstream rest(line.substr(line.rfind(')') + 2));
        char state = 0;
        long parent = 0, pgrp = 0;
        rest >> state >> parent >> pgrp;
        if (pgrp == group && state != 'Z')
            members.push_back(static_cast<pid_t>(std::atol(e->d_name)));
    }
    closedir(proc);
    return members;
}

size_t alive_in_group(pid_t group) { return group_members(group).size(); }

// Descriptors of the process open on the temporary of audio.
int temporaries_open(pid_t pid, const std::string& audio)
{
    const std::string temporary = "/." + audio.substr(audio.rfind('/') + 1) + ".tunedump-";
    int open = 0;
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = opendir(fds.c_str());
    if (dir == nullptr)
        return 0;
    while (const dirent* e = readdir(dir)) {
        char target[4096];
        const ssize_t n = readlink((fds + "/" + e->d_name).c_str(), target, sizeof target - 1);
        open += n > 0 && std::string(target, static_cast<size_t>(n)).find(temporary) !=
                             std::string::npos;
    }
    closedir(dir);
    return open;
}

// Parts that cannot finish on their own: only being killed ends them. They
// are stopped once they opened the audio's temporary themselves (they
// inherit one descriptor of it, and those of the note files), which they do
// after asking to die with the program; and while this process adopts
// them, the kernel does not wake a stopped group whose leader died.
void freeze_parts(pid_t run, const std::string& audio)
{
    for (const pid_t member : group_members(run))
        if (member != run && temporaries_open(member, audio) >= 2)
            kill(member, SIGSTOP);
}

void put_old(const std::string& path)
{
    std::ofstream(path, std::ios::binary) << "old";
}

bool temporaries_in(const std::string& dir)
{
    return std::system(("ls -A '" + dir + "' | grep -q tunedump-").c_str()) == 0;
}

struct form {
    const char* name;
    std::vector<std::string> args;  // "DEST" is replaced by the destination
    std::vector<std::string> files;  // relative to the destination folder for stems
};

std::vector<std::string> with_dest(std::vector<std::string> args, const std::string& dest)
{
    for (std::string& a : args)
        if (a == "DEST")
            a = dest;
    return args;
}

TEST(SafeOutput, StoppedRunsLeaveTheOldFileOrTheWholeRender)
{
    const std::string dir = cli::scratch_dir() + "/stopped";
    std::system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str());
    const std::string mod4 = write_module(4, 41, "stop4.mod");
    const std::string mod32 = write_module(32, 41, "stop32.mod");
    const form forms[] = {
        // Too short for parts.
        {"plain", {mod32, "0", "59", "DEST"}, {""}},
        // Long enough for parts on a machine with more than one processor.
        {"parts", {mod4, "0", "1200", "DEST"}, {""}},
        {"stems", {"--stems", mod4, "300", "DEST"}, {"/mix.wav", "/01.wav", "/02.wav"}},
        // The note files replace theirs as the audio does.
        {"notes", {"--notes", mod4, "0", "1200", "DEST"}, {"", ".csv", ".mid"}},
    };
    struct stop {
        const char* name;
        int signal;
        bool group;
    };
    const stop stops[] = {{"TERM", SIGTERM, false}, {"INT to group", SIGINT, true},
                          {"KILL", SIGKILL, false}};
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    for (const form& f : forms) {
        // The complete render, and the old files in place of it.
        const std::string whole = dir + "/whole-" + f.name, dest = dir + "/dest-" + f.name;
        ASSERT_EQ(WEXITSTATUS(wait_status(start(with_dest(f.args, whole)))), 0) << f.name;
        if (f.name == std::string("stems"))
            mkdir(dest.c_str(), 0777);
        for (const stop& s : stops) {
            for (const auto moment : {5ms, 20ms, 80ms}) {
                SCOPED_TRACE(std::string(f.name) + ", " + s.name + " after " +
                             std::to_string(moment.count()) + " ms");
                for (const std::string& file : f.files)
                    put_old(dest + file);
                const pid_t run = start(with_dest(f.args, dest));
                std::this_thread::sleep_for(moment);
                freeze_parts(run, dest + f.files.front());
                kill(s.group ? -run : run, s.signal);
                const int raw = wait_status(run);
                const auto deadline = std::chrono::steady_clock::now() + 1500ms;
                while (alive_in_group(run) > 0 && std::chrono::steady_clock::now() < deadline)
                    std::this_thread::sleep_for(10ms);
                EXPECT_EQ(alive_in_group(run), 0u);
                kill(-run, SIGKILL);
                while (waitpid(-run, nullptr, 0) > 0) {
                }
                if (WIFSIGNALED(raw)) {
                    EXPECT_EQ(WTERMSIG(raw), s.signal);
                }
                for (const std::string& file : f.files) {
                    const std::string got = cli::slurp(dest + file);
                    EXPECT_TRUE(got == "old" || got == cli::slurp(whole + file)) << file;
                }
                if (s.signal != SIGKILL) {
                    EXPECT_FALSE(temporaries_in(f.name == std::string("stems") ? dest : dir));
                }
                std::system(("rm -f '" + dir + "'/.*tunedump-* '" + dest + "'/.*tunedump-*").c_str());
            }
        }
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    std::system(("rm -rf '" + dir + "'").c_str());
}

// A part that dies makes the whole render fail, and the old file stays.
TEST(SafeOutput, APartKilledFromOutsideFailsTheRender)
{
    if (std::thread::hardware_concurrency() < 2)
        GTEST_SKIP() << "one processor: no parts";
    const std::string mod = write_module(4, 42, "part.mod"), wav = cli::scratch_dir() + "/part.wav";
    put_old(wav);
    const std::string out = cli::scratch_dir() + "/part-out";
    const pid_t run = fork();
    if (run == 0) {
        setpgid(0, 0);
        freopen(out.c_str(), "w", stdout);
        execl(TUNEDUMP_BINARY, "tunedump", mod.c_str(), "0", "1200", wav.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    // The first child of the run is a part.
    pid_t part = 0;
    for (int tries = 0; tries < 2000 && part == 0; tries++) {
        std::ifstream children("/proc/" + std::to_string(run) + "/task/" + std::to_string(run) +
                               "/children");
        children >> part;
        if (part == 0)
            std::this_thread::sleep_for(1ms);
    }
    ASSERT_NE(part, 0);
    kill(part, SIGKILL);
    const int raw = wait_status(run);
    EXPECT_EQ(WEXITSTATUS(raw), 1);
    EXPECT_EQ(cli::slurp(out), "File error.\n");
    EXPECT_EQ(cli::slurp(wav), "old");
    EXPECT_FALSE(temporaries_in(cli::scratch_dir()));
}

// Devices and FIFOs are written where they are; a link's target is replaced.
TEST(SafeOutput, OnlyRegularFilesArePublishedByRename)
{
    const std::string dir = cli::scratch_dir(), mod = write_module(4, 43, "place.mod");
    const std::string fifo = dir + "/fifo", copy = dir + "/from-fifo", link = dir + "/link.wav";
    const std::string plain = dir + "/plain.wav", target = dir + "/target.wav";
    ASSERT_EQ(cli::run({mod, "0", "2", plain}).status, 0);
    ASSERT_EQ(cli::run({mod, "0", "2", "/dev/null"}).status, 0);
    struct stat info;
    ASSERT_EQ(stat("/dev/null", &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode));

    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    std::thread reader([&] { std::system(("cat '" + fifo + "' > '" + copy + "'").c_str()); });
    EXPECT_EQ(cli::run({mod, "0", "2", fifo}).status, 0);
    reader.join();
    EXPECT_TRUE(cli::slurp(copy) == cli::slurp(plain));
    ASSERT_EQ(lstat(fifo.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));

    put_old(target);
    ASSERT_EQ(symlink("target.wav", link.c_str()), 0);
    EXPECT_EQ(cli::run({mod, "0", "2", link}).status, 0);
    ASSERT_EQ(lstat(link.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    EXPECT_TRUE(cli::slurp(target) == cli::slurp(plain));
}

// A new file gets what a plain create gives; a replaced one keeps its mode.
TEST(SafeOutput, PublishedFilesHaveThePlainModes)
{
    const std::string dir = cli::scratch_dir(), mod = write_module(4, 44, "mode.mod");
    const std::string fresh = dir + "/fresh.wav", kept = dir + "/kept.wav";
    struct row {
        const char* umask;
        mode_t fresh_mode;
    };
    for (const row r : {row{"022", 0644}, row{"077", 0600}, row{"002", 0664}}) {
        SCOPED_TRACE(r.umask);
        std::remove(fresh.c_str());
        put_old(kept);
        chmod(kept.c_str(), 0640);
        const std::string prelude = std::string("umask ") + r.umask + ";";
        ASSERT_EQ(cli::run_in_shell(prelude, {mod, "0", "1", fresh}).status, 0);
        ASSERT_EQ(cli::run_in_shell(prelude, {mod, "0", "1", kept}).status, 0);
        struct stat info;
        ASSERT_EQ(stat(fresh.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, r.fresh_mode);
        ASSERT_EQ(stat(kept.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0640u);
    }
}

// Files whose size is not known ahead (FLAC, notes) get room set aside as
// they grow; what was not used goes back at the close.
TEST(SafeOutput, RoomSetAsideIsGivenBack)
{
    const std::string dir = cli::scratch_dir(), mod = write_module(4, 46, "room.mod");
    ASSERT_EQ(cli::run({"--notes", mod, "0", "30", dir + "/room.flac"}).status, 0);
    for (const char* name : {"room.flac", "room.csv", "room.mid"}) {
        struct stat info;
        ASSERT_EQ(stat((dir + "/" + name).c_str(), &info), 0) << name;
        EXPECT_LE(info.st_blocks * 512, info.st_size + 256 * 1024) << name;
    }
}

// Two runs into one destination at once: one of the two complete renders.
TEST(SafeOutput, TwoRunsIntoOneFileLeaveOneWholeRender)
{
    const std::string dir = cli::scratch_dir(), mod = write_module(8, 45, "two.mod");
    const std::string wav = dir + "/two.wav", one = dir + "/one.wav", other = dir + "/other.wav";
    ASSERT_EQ(cli::run({mod, "1", "90", one}).status, 0);
    ASSERT_EQ(cli::run({mod, "2", "90", other}).status, 0);
    const pid_t first = start({mod, "1", "90", wav}), second = start({mod, "2", "90", wav});
    EXPECT_EQ(WEXITSTATUS(wait_status(first)), 0);
    EXPECT_EQ(WEXITSTATUS(wait_status(second)), 0);
    const std::string got = cli::slurp(wav);
    EXPECT_TRUE(got == cli::slurp(one) || got == cli::slurp(other));
}

// Nothing of one stems run carries into the next in the same process.
TEST(SafeOutput, TwoStemsRunsInOneProcess)
{
    const std::string dir = cli::scratch_dir();
    const std::string first = dir + "/in-process-1", second = dir + "/in-process-2";
    const std::string expected = dir + "/by-command";
    std::system(("rm -rf '" + first + "' '" + second + "' '" + expected + "'").c_str());
    const std::vector<uint8_t> a = mb_build(generated_modules::generated(4, 46));
    const std::vector<uint8_t> b = mb_build(generated_modules::generated(6, 47));
    for (const auto& [bytes, folder] : {std::pair{&a, first}, std::pair{&b, second}}) {
        vex_init(td_rate, td_mixblock);
        harness::place(*bytes);
        ASSERT_EQ(vex_get(harness::image), 1);
        vex_start(1);
        td_render_shape shape;
        shape.frames = td_whole_blocks(2 * td_rate);
        ASSERT_EQ(td_write_stems(folder.c_str(), shape, td_output_form{}), 0);
    }
    const std::string module = dir + "/second.mod";
    mb_write_bytes(b, module);
    ASSERT_EQ(cli::run({"--stems", module, "2", expected}).status, 0);
    const std::string diff = "diff -r '" + second + "' '" + expected + "' >/dev/null";
    EXPECT_EQ(std::system(diff.c_str()), 0);
}

}  // namespace

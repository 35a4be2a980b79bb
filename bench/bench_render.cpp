// Times the whole tunedump process rendering 1200 s of each benchmark
// module against the floor (writing a file of the same size piece by piece
// from one small buffer), both in the same folder and in the same run, and
// reports the median ratio against its goal and the peak memory of tunedump;
// then the same for every stem of the 4- and 8-channel modules in one pass.
// Last, FLAC at level 5, of the render and of the stems, against the flac
// program encoding the same WAV files.
//
//   bench_render <tunedump> <floor> <work dir> [runs]
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_modules.h"

namespace {

constexpr int32_t seconds = 1200;
// The WAV of 1200 s: 44-byte header, 44100 x 1200 samples rounded up to
// whole 1024-frame blocks, 2 bytes each.
constexpr long long wav_bytes = 44 + 2LL * ((44100LL * seconds + 1023) / 1024 * 1024);

struct run {
    double seconds;
    long peak_kib;
};

run time_process(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // What is printed so far must not be printed again by the child.
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        // The stems form lists its files; only the time matters here.
        if (std::freopen("/dev/null", "w", stdout) == nullptr)
            _exit(126);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    const auto stop = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed\n", args[0].c_str());
        std::exit(1);
    }
    return {std::chrono::duration<double>(stop - start).count(), usage.ru_maxrss};
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The WAV files one --stems pass wrote into dir.
std::vector<std::string> wav_files(const std::string& dir)
{
    std::vector<std::string> files;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".wav") == 0)
                files.push_back(name);
        }
        closedir(d);
    }
    std::sort(files.begin(), files.end());
    return files;
}

void remove_files(const std::string& dir, const std::vector<std::string>& files)
{
    for (const std::string& f : files)
        unlink((dir + "/" + f).c_str());
    rmdir(dir.c_str());
}

long long file_bytes(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : 0;
}

// The bytes in all of the files in dir whose names end in ending.
long long folder_bytes(const std::string& dir, const char* ending)
{
    long long bytes = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            const size_t n = std::strlen(ending);
            if (name.size() > n && name.compare(name.size() - n, n, ending) == 0)
                bytes += file_bytes(dir + "/" + name);
        }
        closedir(d);
    }
    return bytes;
}

// tunedump's arguments, rendering FLAC at level 5.
std::vector<std::string> flac_command(const std::string& tunedump,
                                      const std::vector<std::string>& args)
{
    std::vector<std::string> command = {tunedump, "--format", "flac"};
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

// The flac program, encoding at level 5 beside each WAV file.
std::vector<std::string> reference_command(const std::vector<std::string>& wavs)
{
    std::vector<std::string> command = {"flac", "-5", "-s", "-f"};
    command.insert(command.end(), wavs.begin(), wavs.end());
    return command;
}

struct flac_timing {
    double ours, reference;
    long peak_kib;
};

// Median times of ours and of the reference, run by turns.
flac_timing time_flac(const std::vector<std::string>& ours, const std::vector<std::string>& reference,
                      int runs)
{
    std::vector<double> a, b;
    long peak = 0;
    for (int i = 0; i < runs; i++) {
        b.push_back(time_process(reference).seconds);
        const run r = time_process(ours);
        a.push_back(r.seconds);
        peak = std::max(peak, r.peak_kib);
    }
    return {median(a), median(b), peak};
}

void print_flac(const char* what, int files, const flac_timing& t, long long wav,
                long long ours, long long reference)
{
    std::printf("%-12s %5d %9.3fs %9.3fs %7.2fx %5.1fx %9.1f%% %9.1f%% %10ld\n", what, files,
                t.ours, t.reference, t.ours / t.reference, 1.1, 100.0 * ours / wav,
                100.0 * reference / wav, t.peak_kib);
}

// FLAC of the mono render and of the stems against the flac program
// encoding the WAV files tunedump writes.
void bench_flac(const std::string& tunedump, const std::string& dir, int runs)
{
    std::printf("\nFLAC level 5, %d s: tunedump against the flac program encoding its WAV\n",
                seconds);
    std::printf("%-12s %5s %10s %10s %8s %6s %10s %10s %10s\n", "render", "files", "tunedump",
                "flac", "ratio", "goal", "size/WAV", "flac's", "peak KiB");
    const std::string secs = std::to_string(seconds);
    const std::string module = dir + "/bench-M.K..mod", wav = dir + "/flac-ref.wav";
    const std::string flac = dir + "/flac-ours.flac", reference = dir + "/flac-ref.flac";
    time_process({tunedump, module, "0", secs, wav});
    const flac_timing mono = time_flac(flac_command(tunedump, {module, "0", secs, flac}),
                                       reference_command({wav}), runs);
    print_flac("M.K. mono", 1, mono, file_bytes(wav), file_bytes(flac), file_bytes(reference));
    for (const std::string& f : {wav, flac, reference})
        unlink(f.c_str());
    for (const char* signature : {"M.K.", "8CHN"}) {
        const std::string stems_module = dir + "/bench-" + std::string(signature) + ".mod";
        const std::string wavs = dir + "/flac-ref-stems", ours = dir + "/flac-stems";
        time_process({tunedump, "--stems", stems_module, secs, wavs});
        std::vector<std::string> files = wav_files(wavs), paths;
        for (const std::string& f : files)
            paths.push_back(wavs + "/" + f);
        const flac_timing t = time_flac(flac_command(tunedump, {"--stems", stems_module, secs, ours}),
                                        reference_command(paths), runs);
        const std::string what = std::string(signature) + " stems";
        print_flac(what.c_str(), static_cast<int>(files.size()), t, folder_bytes(wavs, ".wav"),
                   folder_bytes(ours, ".flac"), folder_bytes(wavs, ".flac"));
        std::vector<std::string> flacs;
        for (std::string f : files)
            flacs.push_back(f.replace(f.size() - 4, 4, ".flac"));
        remove_files(ours, flacs);
        files.insert(files.end(), flacs.begin(), flacs.end());
        remove_files(wavs, files);
    }
}

// Every stem in one pass against the floor of writing as many files of the
// same size, and against the same files made by separate solo renders.
int bench_stems(const std::string& tunedump, const std::string& floor_program,
                const std::string& dir, int runs)
{
    std::printf("\nstems, %d s: one --stems pass against the floor of writing its files\n", seconds);
    std::printf("%-6s %6s %10s %10s %8s %6s %10s %8s %12s %12s\n", "module", "files", "stems",
                "floor", "ratio", "goal", "reserved", "ratio", "solo runs", "peak KiB");
    for (const char* signature : {"M.K.", "8CHN"}) {
        const std::string module = dir + "/bench-" + std::string(signature) + ".mod";
        const std::string out = dir + "/stems", floor_dir = dir + "/floor";
        time_process({tunedump, "--stems", module, std::to_string(seconds), out});
        const std::vector<std::string> files = wav_files(out);
        std::vector<std::string> floor_args = {floor_program, std::to_string(wav_bytes)};
        mkdir(floor_dir.c_str(), 0777);
        for (const std::string& f : files)
            floor_args.push_back(floor_dir + "/" + f);
        std::vector<std::string> reserved_args = floor_args;
        reserved_args.insert(reserved_args.begin() + 1, "--reserve");
        std::vector<double> stems, floor, reserved;
        long peak = 0;
        for (int i = 0; i < runs; i++) {
            floor.push_back(time_process(floor_args).seconds);
            reserved.push_back(time_process(reserved_args).seconds);
            const run r = time_process({tunedump, "--stems", module, std::to_string(seconds), out});
            stems.push_back(r.seconds);
            peak = std::max(peak, r.peak_kib);
        }
        // The same files the old way: one solo render each.
        const std::string wav = dir + "/solo.wav";
        double solo = 0;
        for (const std::string& f : files) {
            const std::string number = f == "mix.wav" ? "0" : std::to_string(std::atoi(f.c_str()));
            solo += time_process({tunedump, module, number, std::to_string(seconds), wav}).seconds;
        }
        unlink(wav.c_str());
        const double s = median(stems), fl = median(floor), fr = median(reserved);
        std::printf("%-6s %6zu %9.3fs %9.3fs %7.2fx %5.1fx %9.3fs %7.2fx %11.3fs %12ld\n",
                    signature, files.size(), s, fl, s / fl, 1.5, fr, s / fr, solo, peak);
        remove_files(out, files);
        remove_files(floor_dir, files);
    }
    return 0;
}

// Both sides of the mix against the floor of writing the same bytes.
void bench_stereo(const std::string& tunedump, const std::string& floor_program,
                  const std::string& dir, int runs)
{
    const long long bytes = 2 * wav_bytes - 44;
    std::printf("\nstereo, %d s: --stereo against the floor of writing its %lld bytes\n", seconds,
                bytes);
    std::printf("%-6s %10s %10s %8s %6s %10s %8s\n", "module", "tunedump", "floor", "ratio",
                "goal", "reserved", "ratio");
    const std::string wav = dir + "/stereo.wav";
    for (const char* signature : {"M.K.", "8CHN", "32CH"}) {
        const std::string module = dir + "/bench-" + std::string(signature) + ".mod";
        std::vector<double> player, floor, reserved;
        for (int i = 0; i < runs; i++) {
            floor.push_back(time_process({floor_program, std::to_string(bytes), wav}).seconds);
            reserved.push_back(
                time_process({floor_program, "--reserve", std::to_string(bytes), wav}).seconds);
            player.push_back(time_process({tunedump, "--stereo", module, "0",
                                           std::to_string(seconds), wav})
                                 .seconds);
        }
        const double p = median(player), f = median(floor), fr = median(reserved);
        std::printf("%-6s %9.3fs %9.3fs %7.2fx %5.1fx %9.3fs %7.2fx\n", signature, p, f, p / f,
                    2.0, fr, p / fr);
    }
    unlink(wav.c_str());
}

// A render that also writes its notes (CSV and MIDI beside it) against the
// same render without, run by run in pairs: the ratio is the median of the
// pairs' ratios, as the load of a shared machine moves both runs of a pair
// alike but drifts from one pair to the next. Twice as many pairs as the
// other rows have runs: the difference is small beside that drift.
void bench_notes(const std::string& tunedump, const std::string& dir, int runs)
{
    std::printf("\nnotes, %d s: a render with --notes against the same without\n", seconds);
    std::printf("%-6s %10s %10s %8s %6s\n", "module", "--notes", "without", "ratio", "goal");
    const std::string wav = dir + "/notes.wav";
    for (const char* signature : {"M.K.", "8CHN", "32CH"}) {
        const std::string module = dir + "/bench-" + std::string(signature) + ".mod";
        std::vector<double> with, without, ratios;
        for (int i = 0; i < 2 * runs; i++) {
            without.push_back(
                time_process({tunedump, module, "0", std::to_string(seconds), wav}).seconds);
            with.push_back(time_process({tunedump, "--notes", module, "0",
                                         std::to_string(seconds), wav})
                               .seconds);
            ratios.push_back(with.back() / without.back());
        }
        std::printf("%-6s %9.3fs %9.3fs %7.2fx %5.1fx\n", signature, median(with),
                    median(without), median(ratios), 1.1);
    }
    for (const char* f : {"notes.wav", "notes.csv", "notes.mid"})
        unlink((dir + "/" + f).c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fputs("bench_render tunedump floor workdir [runs]\n", stderr);
        return 1;
    }
    const std::string tunedump = argv[1], floor_program = argv[2], dir = argv[3];
    const int runs = argc > 4 ? std::max(1, std::atoi(argv[4])) : 5;
    const std::string wav = dir + "/bench.wav";
    std::printf("%d runs each, %d s rendered, %lld bytes written\n", runs, seconds, wav_bytes);
    // The floor writes a temporary and renames it over the old file; the
    // second floor also sets the file's room aside first, as tunedump does.
    std::printf("%-6s %10s %10s %8s %6s %10s %8s %12s %12s\n", "module", "tunedump", "floor",
                "ratio", "goal", "reserved", "ratio", "peak KiB", "limit KiB");
    // Memory must not grow with the length of the render.
    const long limit_kib = 16 * 1024;
    struct target {
        const char* signature;
        double goal;
    };
    for (const target& t : {target{"M.K.", 1.5}, target{"8CHN", 2.0}, target{"32CH", 5.0}}) {
        const char* signature = t.signature;
        const std::string module = dir + "/bench-" + std::string(signature) + ".mod";
        if (!mb_write(bench_module(signature), module)) {
            std::fprintf(stderr, "cannot write %s\n", module.c_str());
            return 1;
        }
        std::vector<double> player, floor, reserved;
        long peak = 0;
        for (int i = 0; i < runs; i++) {
            floor.push_back(time_process({floor_program, std::to_string(wav_bytes), wav}).seconds);
            reserved.push_back(
                time_process({floor_program, "--reserve", std::to_string(wav_bytes), wav}).seconds);
            const run r = time_process({tunedump, module, "0", std::to_string(seconds), wav});
            player.push_back(r.seconds);
            peak = std::max(peak, r.peak_kib);
        }
        const double p = median(player), f = median(floor), fr = median(reserved);
        std::printf("%-6s %9.3fs %9.3fs %7.2fx %5.1fx %9.3fs %7.2fx %12ld %12ld\n", signature, p,
                    f, p / f, t.goal, fr, p / fr, peak, limit_kib);
    }
    unlink(wav.c_str());
    bench_stereo(tunedump, floor_program, dir, runs);
    bench_notes(tunedump, dir, runs);
    bench_stems(tunedump, floor_program, dir, runs);
    bench_flac(tunedump, dir, runs);
    return 0;
}

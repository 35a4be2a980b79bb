// Times the whole tunedump process rendering 1200 s of each benchmark
// module against the floor (writing a file of the same size piece by piece
// from one small buffer), both in the same folder and in the same run, and
// reports the median ratio against its goal and the peak memory of tunedump.
//
//   bench_render <tunedump> <floor> <work dir> [runs]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        execv(argv[0], argv.data());
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
    std::printf("%-6s %10s %10s %8s %6s %12s %12s\n", "module", "tunedump", "floor", "ratio",
                "goal", "peak KiB", "limit KiB");
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
        std::vector<double> player, floor;
        long peak = 0;
        for (int i = 0; i < runs; i++) {
            floor.push_back(time_process({floor_program, std::to_string(wav_bytes), wav}).seconds);
            const run r = time_process({tunedump, module, "0", std::to_string(seconds), wav});
            player.push_back(r.seconds);
            peak = std::max(peak, r.peak_kib);
        }
        const double p = median(player), f = median(floor);
        std::printf("%-6s %9.3fs %9.3fs %7.2fx %5.1fx %12ld %12ld\n", signature, p, f, p / f,
                    t.goal, peak, limit_kib);
    }
    unlink(wav.c_str());
    return 0;
}

// Times --dataset over the corpus (whole songs, FLAC stems and notes, two
// workers) against what it replaces: a shell loop running --stems --format
// flac --notes once per module and sequence. Reports the dataset's hours of
// audio per hour of wall time and the ratio of the two times (goal: at
// most 1). Skips when the corpus folder is absent.
//
//   bench_dataset <tunedump> <corpus dir> <work dir> [runs]
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::string quoted(const std::string& arg)
{
    std::string q = "'";
    for (char c : arg)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Seconds of wall time the shell command takes; exits when it fails.
double time_shell(const std::string& command)
{
    const auto start = std::chrono::steady_clock::now();
    const int status = std::system(command.c_str());
    const auto stop = std::chrono::steady_clock::now();
    if (status != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
    return std::chrono::duration<double>(stop - start).count();
}

std::string output_of(const std::string& command)
{
    std::string text;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;)
            text.append(buffer, n);
        pclose(p);
    }
    return text;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The shell loop: one --stems run per module and sequence, as --info lists
// them.
std::string stems_loop(const std::string& tunedump, const std::string& corpus,
                       const std::string& out, int* tracks)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(corpus.c_str())) {
        while (const dirent* e = readdir(d))
            names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    std::string script;
    *tracks = 0;
    for (const std::string& name : names) {
        const std::string path = corpus + "/" + name;
        struct stat info;
        if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
            continue;
        const std::string listing = output_of(quoted(tunedump) + " --info " + quoted(path) +
                                              " 2>/dev/null");
        for (int n = 0; listing.find("sequence " + std::to_string(n) + ":") != std::string::npos;
             n++) {
            script += quoted(tunedump) + " --stems --format flac --notes --song " +
                      std::to_string(n) + " " + quoted(path) + " song " +
                      quoted(out + "/" + name + "-s" + std::to_string(n)) + " >/dev/null &&\n";
            ++*tracks;
        }
    }
    return script + "true";
}

// The seconds of audio the manifest lists.
double audio_seconds(const std::string& manifest)
{
    std::ifstream in(manifest);
    double total = 0;
    for (std::string line; std::getline(in, line);) {
        const size_t at = line.find("\"seconds\":");
        if (at != std::string::npos && line.find("\"status\":\"ok\"") != std::string::npos)
            total += std::atof(line.c_str() + at + 10);
    }
    return total;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fputs("bench_dataset tunedump corpus workdir [runs]\n", stderr);
        return 1;
    }
    const std::string tunedump = argv[1], corpus = argv[2], dir = argv[3];
    const int runs = argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;
    struct stat info;
    if (stat(corpus.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        std::printf("\ndataset: no corpus at %s, skipped\n", corpus.c_str());
        return 0;
    }
    const std::string out = dir + "/dataset-out", loop_out = dir + "/dataset-loop";
    int tracks = 0;
    const std::string script = stems_loop(tunedump, corpus, loop_out, &tracks);
    const std::string dataset = quoted(tunedump) + " --dataset " + quoted(corpus) + " " +
                                quoted(out) + " --jobs 2 2>/dev/null";
    std::vector<double> ours, loop;
    double audio = 0;
    for (int i = 0; i < runs; i++) {
        time_shell("rm -rf " + quoted(out) + " " + quoted(loop_out) + " && mkdir " +
                   quoted(loop_out));
        loop.push_back(time_shell(script));
        ours.push_back(time_shell(dataset));
        audio = audio_seconds(out + "/manifest.jsonl");
    }
    time_shell("rm -rf " + quoted(out) + " " + quoted(loop_out));
    const double d = median(ours), l = median(loop);
    std::printf("\ndataset: the corpus, whole songs, FLAC stems and notes, --jobs 2, against a "
                "shell loop of --stems --format flac --notes per module and sequence\n");
    std::printf("%8s %12s %10s %14s %10s %8s %6s\n", "tracks", "audio h", "dataset",
                "audio-h per h", "loop", "ratio", "goal");
    std::printf("%8d %12.3f %9.3fs %14.1f %9.3fs %7.2fx %5.1fx\n", tracks, audio / 3600, d,
                audio / d, l, d / l, 1.0);
    return 0;
}

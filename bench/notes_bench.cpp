// What the notes cost apart from the mixing: a minute of each benchmark
// module moved on without mixing, as the last part of a render does, with
// its notes recorded and written as CSV and MIDI, against the same minute
// without notes. The difference in processor time is what --notes adds to
// a render's; the wall time also holds the file system's making and
// removing of the two files.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_modules.h"
#include "frontend/module_load.h"
#include "frontend/note_files.h"
#include "frontend/notes_list.h"
#include "tunedump/tunedump.h"

namespace {

constexpr int32_t minute = 60 * td_rate;
// The notes are taken as often as a render takes them: once a piece.
constexpr int32_t piece = 131072;

const char* const signatures[] = {"M.K.", "8CHN", "32CH"};

bool start_module(const char* signature)
{
    const std::vector<uint8_t> bytes = mb_build(bench_module(signature));
    if (!td_start_player())
        return false;
    td_place_module(bytes.data(), bytes.size());
    return vex_get(const_cast<uint8_t*>(td_module_image())) != 0;
}

void run_minute(benchmark::State& state, bool notes)
{
    const char* const signature = signatures[state.range(0)];
    std::string pattern = (std::filesystem::temp_directory_path() / "notes_bench.XXXXXX").string();
    const char* const dir = mkdtemp(pattern.data());
    if (dir == nullptr) {
        state.SkipWithError("no scratch folder");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        if (!start_module(signature)) {
            state.SkipWithError("the benchmark module did not load");
            break;
        }
        vex_start(1);
        std::vector<td_note_file> files = {td_note_file_at(std::string(dir) + "/n.csv"),
                                           td_note_file_at(std::string(dir) + "/n.mid")};
        state.ResumeTiming();
        if (notes)
            td_note_files_start(files, td_note_names_of(td_module_image()), td_rate);
        for (int32_t at = 0; at < minute; at += piece) {
            vex_skip(std::min(piece, minute - at));
            if (notes)
                td_note_files_take();
        }
        if (notes)
            td_note_files_finish();
        state.PauseTiming();
        td_discard_note_files(files);
        vex_close();
        state.ResumeTiming();
    }
    rmdir(dir);
    state.SetLabel(signature);
}

void minute_without_notes(benchmark::State& state) { run_minute(state, false); }
void minute_with_notes(benchmark::State& state) { run_minute(state, true); }

}  // namespace

BENCHMARK(minute_without_notes)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(minute_with_notes)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();

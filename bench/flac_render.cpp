// Renders a module into FLAC at level 5 through the front end's FLAC sink,
// taking the arguments tunedump's own forms take:
//
//   bench_flac source.mod samplenum seconds dest.flac
//   bench_flac --stems source.mod seconds folder      mix.flac and every stem
//
// For the benchmark only, until the command line writes FLAC itself.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "frontend/flac_sink.h"
#include "frontend/module_load.h"
#include "frontend/render_parts.h"
#include "frontend/run_cleanup.h"
#include "frontend/tunedump_info.h"
#include "frontend/tunedump_stems.h"
#include "tunedump/tunedump.h"

namespace {

constexpr int32_t title_bytes = 20;

std::string module_title() { return td_printable(td_module_image(), title_bytes); }

int render(const char* dest, int32_t frames)
{
    const td_audio audio{1, td_rate, frames};
    std::unique_ptr<td_sink> sink =
        td_flac_file_sink(dest, audio, td_flac_level_default, module_title());
    bool ok = !sink->failed() && td_render_to(*sink, frames, audio.channels);
    ok = sink->finish() && ok && sink->publish();
    if (!ok) {
        sink->discard();
        std::puts("File error.");
    }
    return ok ? 0 : 1;
}

int stems(const char* dir, int32_t frames)
{
    td_stems_format flac;
    flac.extension = ".flac";
    const std::string title = module_title();
    flac.make_sink = [&](const std::string& path, const td_audio& audio) {
        return td_flac_file_sink(path, audio, td_flac_level_default, title);
    };
    return td_write_stems(dir, frames, 1, flac);
}

}  // namespace

int main(int argc, char** argv)
{
    const bool stems_form = argc == 5 && std::strcmp(argv[1], "--stems") == 0;
    if (argc != 5) {
        std::fputs("bench_flac source.mod samplenum seconds dest.flac\n"
                   "bench_flac --stems source.mod seconds folder\n",
                   stderr);
        return 1;
    }
    const char* source = argv[stems_form ? 2 : 1];
    int32_t frames = 0;
    if (!td_start_player() || !td_read_module(source))
        return 1;
    if (!stems_form)
        mix_solosample = std::atoi(argv[2]);
    if (!td_load_and_start(argv[3], nullptr, &frames))
        return 1;
    td_cleanup_install(true);
    return stems_form ? stems(argv[4], frames) : render(argv[4], frames);
}

#include "frontend/tunedump_stems.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "frontend/module_load.h"
#include "frontend/output_sink.h"
#include "frontend/piece_writer.h"
#include "frontend/run_cleanup.h"
#include "frontend/safe_name.h"
#include "frontend/tunedump_info.h"
#include "tunedump/tunedump.h"

namespace {

constexpr int32_t stem_slots = 32;  // 0 is the full mix, 1..31 the samples

struct stem_file {
    std::unique_ptr<td_sink> sink;
    std::string path;
    int16_t* piece = nullptr;
    int32_t filled = 0;  // frames in the piece
};

// One run's files: nothing of it outlives the run.
struct stems_run {
    std::string dir;
    td_audio audio;
    td_stems_format format;
    stem_file files[stem_slots];
    int16_t blocks[stem_slots][2 * td_blockframes];
};

const uint8_t* sample_name(int32_t n) { return td_sample_name(td_module_image(), n); }

void hand_in(stem_file& f)
{
    f.sink->put(f.piece, f.filled);
    f.piece = nullptr;
    f.filled = 0;
}

// Appends frames frames of stereo (keeping channels values of each), or
// silence when stereo is null.
void append(stem_file& f, const int16_t* stereo, int32_t frames, int32_t channels)
{
    const int32_t piece_frames = f.sink->piece_frames();
    for (int32_t k = 0; k < frames;) {
        if (f.piece == nullptr)
            f.piece = f.sink->piece();
        const int32_t n = std::min(frames - k, piece_frames - f.filled);
        int16_t* __restrict out = f.piece + f.filled * channels;
        if (stereo == nullptr) {
            std::memset(out, 0, static_cast<size_t>(n * channels) * sizeof(int16_t));
        } else if (channels == 2) {
            std::memcpy(out, stereo + 2 * k, static_cast<size_t>(n) * 2 * sizeof(int16_t));
        } else {
            const int16_t* __restrict in = stereo + 2 * k;
            for (int32_t i = 0; i < n; i++)
                out[i] = in[2 * i];
        }
        f.filled += n;
        k += n;
        if (f.filled == piece_frames)
            hand_in(f);
    }
}

// Opens a file at its first use; its solo render was silent until now.
bool open_file(stems_run& run, int32_t n, int32_t done)
{
    stem_file& f = run.files[n];
    const std::string& extension = run.format.extension;
    f.path = run.dir + "/" +
             (n == 0 ? "mix" + extension
                     : td_stem_name(n, sample_name(n), td_name_bytes, extension));
    f.sink = run.format.make_sink ? run.format.make_sink(f.path, run.audio)
                                  : td_wav_file_sink(f.path, run.audio);
    if (f.sink->failed())
        return false;
    append(f, nullptr, done, run.audio.channels);
    return true;
}

bool render_all(stems_run& run)
{
    int16_t* targets[stem_slots] = {};
    for (int32_t n = 1; n < stem_slots; n++)
        targets[n] = run.blocks[n];
    if (!open_file(run, 0, 0))
        return false;
    const int32_t frames = run.audio.frames;
    for (int32_t done = 0; done < frames && !td_pieces_failed(); done += td_blockframes) {
        mix_newhand_stems(0, run.blocks[0], static_cast<int32_t>(sizeof run.blocks[0]), targets);
        for (int32_t n = 0; n < stem_slots; n++) {
            if (n > 0 && !vex_sample_used(n))
                continue;
            stem_file& f = run.files[n];
            if (!f.sink && !open_file(run, n, done))
                return false;
            append(f, run.blocks[n], td_blockframes, run.audio.channels);
            // An encoder's failure shows only in its sink; asked as a piece
            // goes in.
            if (f.filled == 0 && f.sink->failed())
                return false;
        }
    }
    return true;
}

// Hands in what is left, waits for the writer, closes every file.
bool finish_all(stems_run& run, bool ok)
{
    for (stem_file& f : run.files)
        if (f.piece != nullptr)
            hand_in(f);
    td_pieces_finish();
    for (stem_file& f : run.files)
        if (f.sink && !f.sink->finish())
            ok = false;
    return ok;
}

// The stems first, mix.wav last; no stopping signal in between.
bool publish_all(stems_run& run)
{
    bool ok = true;
    td_signals_hold();
    for (int32_t n = stem_slots - 1; n >= 0 && ok; n--)
        if (run.files[n].sink && !run.files[n].sink->publish())
            ok = false;
    td_signals_release();
    return ok;
}

void discard_all(stems_run& run)
{
    for (stem_file& f : run.files)
        if (f.sink)
            f.sink->discard();
}

void print_files(const stems_run& run)
{
    for (int32_t n = 0; n < stem_slots; n++) {
        if (!run.files[n].sink)
            continue;
        const std::string name = n == 0 ? "" : td_printable(sample_name(n), td_name_bytes);
        std::printf("%s%s%s\n", run.files[n].path.c_str(), name.empty() ? "" : "  ", name.c_str());
    }
}

// The folder, made when missing (its parent must exist); -2 when it cannot
// be had, else the cleanup slot of a folder this run made (-1 if none).
int take_folder(const char* outdir)
{
    struct stat info;
    if (stat(outdir, &info) == 0)
        return S_ISDIR(info.st_mode) ? -1 : -2;
    td_signals_hold();
    int slot = -2;
    if (mkdir(outdir, 0777) == 0) {
        slot = td_cleanup_add_dir(outdir);
        if (slot < 0) {
            rmdir(outdir);
            slot = -2;
        }
    }
    td_signals_release();
    return slot;
}

}  // namespace

std::string td_stem_name(int32_t n, const uint8_t* name, int32_t bytes,
                         const std::string& extension)
{
    const std::string safe = td_safe_name(name, bytes);
    char number[4];
    std::snprintf(number, sizeof number, "%02d", static_cast<int>(n));
    return std::string(number) + (safe.empty() ? "" : "-" + safe) + extension;
}

int td_write_stems(const char* outdir, int32_t frames, int32_t channels,
                   const td_stems_format& format)
{
    const int dir_slot = take_folder(outdir);
    if (dir_slot == -2) {
        std::puts("File error.");
        return 1;
    }
    auto run = std::make_unique<stems_run>();
    run->dir = outdir;
    run->audio = td_audio{channels, td_rate, frames};
    run->format = format;
    td_pieces_start();
    bool ok = render_all(*run);
    ok = finish_all(*run, ok && !td_pieces_failed());
    if (ok && publish_all(*run)) {
        td_cleanup_drop_dir(dir_slot);
        print_files(*run);
        return 0;
    }
    discard_all(*run);
    td_signals_hold();
    if (dir_slot >= 0)
        rmdir(outdir);
    td_cleanup_drop_dir(dir_slot);
    td_signals_release();
    std::puts("File error.");
    return 1;
}

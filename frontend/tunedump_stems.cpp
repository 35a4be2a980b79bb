#include "frontend/tunedump_stems.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "frontend/module_load.h"
#include "frontend/note_files.h"
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
    td_render_shape shape;
    td_output_spec spec;
    std::vector<td_note_file> notes;
    int midi_dir_slot = -1;  // MIDI/, where this run made it
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

// Appends frames frames of stereo (keeping channels values of each) that
// are frames first.. of the render, or silence when stereo is null.
void append(stem_file& f, const int16_t* stereo, const td_render_shape& shape, int32_t first,
            int32_t frames)
{
    const int32_t channels = shape.channels;
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
        if (stereo != nullptr)
            td_fade(out, shape, first + k, n);
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
    const char* extension = td_extension(run.spec.format);
    f.path = run.dir + "/" +
             (n == 0 ? std::string("mix") + extension
                     : td_stem_name(n, sample_name(n), td_name_bytes, extension));
    const td_audio audio{run.shape.channels, run.shape.rate, run.shape.frames};
    f.sink = td_file_sink(f.path, audio, run.spec);
    if (f.sink->failed())
        return false;
    append(f, nullptr, run.shape, 0, done);
    return true;
}

// Every sink asked now and then: often enough to stop soon after a failure.
bool any_failed(const stems_run& run, int32_t done)
{
    if (td_pieces_failed())
        return true;
    if (done % (64 * td_blockframes) != 0)
        return false;
    for (const stem_file& f : run.files)
        if (f.sink && f.sink->failed())
            return true;
    return false;
}

bool render_all(stems_run& run)
{
    int16_t* targets[stem_slots] = {};
    for (int32_t n = 1; n < stem_slots; n++)
        targets[n] = run.blocks[n];
    if (!open_file(run, 0, 0))
        return false;
    const int32_t frames = run.shape.frames;
    for (int32_t done = 0; done < frames && !any_failed(run, done); done += td_blockframes) {
        if (done % (64 * td_blockframes) == 0)
            td_note_files_take();
        mix_newhand_stems(0, run.blocks[0], static_cast<int32_t>(sizeof run.blocks[0]), targets);
        for (int32_t n = 0; n < stem_slots; n++) {
            if (n > 0 && !vex_sample_used(n))
                continue;
            stem_file& f = run.files[n];
            if (!f.sink && !open_file(run, n, done))
                return false;
            append(f, run.blocks[n], run.shape, done, td_blockframes);
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

// The stems first, then the notes, mix.wav last; no stopping signal in
// between.
bool publish_all(stems_run& run)
{
    bool ok = true;
    td_signals_hold();
    for (int32_t n = stem_slots - 1; n >= 1 && ok; n--)
        if (run.files[n].sink && !run.files[n].sink->publish())
            ok = false;
    ok = ok && td_publish_note_files(run.notes) && run.files[0].sink->publish();
    td_signals_release();
    return ok;
}

void discard_all(stems_run& run)
{
    for (stem_file& f : run.files)
        if (f.sink)
            f.sink->discard();
    td_discard_note_files(run.notes);
}

void print_files(const stems_run& run)
{
    for (int32_t n = 0; n < stem_slots; n++) {
        if (!run.files[n].sink)
            continue;
        const std::string name = n == 0 ? "" : td_printable(sample_name(n), td_name_bytes);
        std::printf("%s%s%s\n", run.files[n].path.c_str(), name.empty() ? "" : "  ", name.c_str());
    }
    for (const td_note_file& f : run.notes)
        std::printf("%s\n", f.path.c_str());
}

// The folder, made when missing (its parent must exist); -2 when it cannot
// be had, else the cleanup slot of a folder this run made (-1 if none).
int take_folder(const char* outdir);

void drop_folder(const std::string& dir, int slot)
{
    td_signals_hold();
    if (slot >= 0)
        rmdir(dir.c_str());
    td_cleanup_drop_dir(slot);
    td_signals_release();
}

// notes.csv and notes.mid for the whole render, written as it goes.
bool start_note_files(stems_run& run)
{
    run.notes.push_back(td_note_file_at(run.dir + "/notes.csv"));
    run.notes.push_back(td_note_file_at(run.dir + "/notes.mid"));
    return td_note_files_start(run.notes, td_note_names_of(td_module_image()), run.shape.rate);
}

// With them MIDI/NN-name.mid for each stem, named as its stem is.
bool finish_note_files(stems_run& run)
{
    const std::string midi_dir = run.dir + "/MIDI";
    run.midi_dir_slot = take_folder(midi_dir.c_str());
    if (run.midi_dir_slot == -2) {
        td_note_files_leave();
        return false;
    }
    for (int32_t n = 1; n < stem_slots; n++)
        if (run.files[n].sink)
            run.notes.push_back(td_note_file_at(
                midi_dir + "/" + td_stem_name(n, sample_name(n), td_name_bytes, ".mid"), n));
    return td_note_files_finish();
}

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

std::string td_stem_name(int32_t n, const uint8_t* name, int32_t bytes, const char* extension)
{
    const std::string safe = td_safe_name(name, bytes);
    char number[4];
    std::snprintf(number, sizeof number, "%02d", static_cast<int>(n));
    return std::string(number) + (safe.empty() ? "" : "-" + safe) + extension;
}

int td_write_stems(const char* outdir, const td_render_shape& shape, const td_output_spec& spec,
                   bool notes)
{
    const int dir_slot = take_folder(outdir);
    if (dir_slot == -2) {
        std::puts("File error.");
        return 1;
    }
    auto run = std::make_unique<stems_run>();
    run->dir = outdir;
    run->shape = shape;
    run->spec = spec;
    vex_notes_record(0);
    bool ok = !notes || start_note_files(*run);
    td_pieces_start();
    ok = ok && render_all(*run);
    ok = finish_all(*run, ok && !any_failed(*run, 0));
    if (notes && ok)
        ok = finish_note_files(*run);
    else if (notes)
        td_note_files_leave();
    if (ok && publish_all(*run)) {
        td_cleanup_drop_dir(run->midi_dir_slot);
        td_cleanup_drop_dir(dir_slot);
        print_files(*run);
        return 0;
    }
    discard_all(*run);
    drop_folder(run->dir + "/MIDI", run->midi_dir_slot);
    drop_folder(run->dir, dir_slot);
    std::puts("File error.");
    return 1;
}

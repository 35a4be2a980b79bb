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
    td_output_form form;
    td_stems_layout layout;
    std::vector<td_note_file> notes;
    int stems_dir_slot = -1;  // the stems' folder, where this run made it
    int midi_dir_slot = -1;   // MIDI/, where this run made it
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

// Simple loops over whole blocks, so that the compiler vectorises them:
// the peak from the highest and lowest value, the squares two at a time
// (each at most 2^30, so a pair fits 32 unsigned bits).
// The measuring loops are built twice on x86-64, for 256-bit instructions
// and without, and the processor picks at start-up.
#if defined(__x86_64__) && !defined(__clang__)
#define TD_WIDE_LOOPS __attribute__((target_clones("avx2", "default")))
#else
#define TD_WIDE_LOOPS
#endif

// False for silence, which adds nothing: most of a stem is silence.
TD_WIDE_LOOPS bool add_level(td_level& level, const int16_t* values, int32_t count)
{
    int16_t high = 0, low = 0;
    for (int32_t i = 0; i < count; i++) {
        high = std::max(high, values[i]);
        low = std::min(low, values[i]);
    }
    if (high == 0 && low == 0)
        return false;
    uint64_t squares = 0;
    for (int32_t i = 0; i < count; i += 2)
        squares += static_cast<uint32_t>(values[i] * values[i]) +
                   static_cast<uint32_t>(values[i + 1] * values[i + 1]);
    level.peak = std::max({level.peak, int32_t{high}, -int32_t{low}});
    level.sum_squares += static_cast<int64_t>(squares);
    return true;
}

// Where a block's values are measured as they go into their file: the
// file's level, and the sum of the stems so far (which the mix, measured
// last, is compared with).
struct meter {
    td_level* level;
    int32_t* sum;
    bool mix;
    int32_t* largest_difference;
};

TD_WIDE_LOOPS void measure(const meter& m, const int16_t* values, int32_t count)
{
    const bool heard = add_level(*m.level, values, count);
    if (!m.mix) {
        if (!heard)
            return;
        for (int32_t i = 0; i < count; i++)
            m.sum[i] += values[i];
        return;
    }
    int32_t largest = *m.largest_difference;
    for (int32_t i = 0; i < count; i++) {
        const int32_t d = values[i] - m.sum[i];
        largest = std::max(largest, d < 0 ? -d : d);
    }
    *m.largest_difference = largest;
}

// Appends frames frames of stereo (keeping channels values of each), or
// silence when stereo is null; measured where m is given.
void append(stem_file& f, const int16_t* stereo, const td_render_shape& shape, int32_t frames,
            const meter* m = nullptr)
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
        if (m != nullptr)
            measure(meter{m->level, m->sum + k * channels, m->mix, m->largest_difference}, out,
                      n * channels);
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
    f.path = run.dir + "/" + td_stem_path(run.layout, n, td_extension(run.form.format));
    const td_audio audio{run.shape.channels, run.shape.rate, run.shape.frames};
    f.sink = td_file_sink(f.path, audio, run.form);
    if (f.sink->failed())
        return false;
    append(f, nullptr, run.shape, done);
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
    // The fade over the blocks as they come, both sides.
    td_render_shape stereo = run.shape;
    stereo.channels = 2;
    int16_t* targets[stem_slots] = {};
    for (int32_t n = 1; n < stem_slots; n++)
        targets[n] = run.blocks[n];
    if (!open_file(run, 0, 0))
        return false;
    const int32_t frames = run.shape.frames;
    for (int32_t done = 0; done < frames && !any_failed(run, done); done += td_blockframes) {
        // The notes go to their files as they end, so that none pile up.
        if (done % (64 * td_blockframes) == 0)
            td_note_files_take();
        mix_newhand_stems(0, run.blocks[0], static_cast<int32_t>(sizeof run.blocks[0]), targets);
        for (int32_t n = 0; n < stem_slots; n++)
            if (n == 0 || vex_sample_used(n))
                td_fade(run.blocks[n], stereo, done, td_blockframes);
        // The stems before the mix, which is measured against their sum.
        int32_t sum[2 * td_blockframes] = {};
        for (int32_t n = stem_slots - 1; n >= 0; n--) {
            if (n > 0 && !vex_sample_used(n))
                continue;
            stem_file& f = run.files[n];
            if (!f.sink && !open_file(run, n, done))
                return false;
            td_stems_stats* stats = run.layout.stats;
            const meter m{stats ? &stats->levels[n] : nullptr, sum, n == 0,
                          stats ? &stats->largest_difference : nullptr};
            append(f, run.blocks[n], run.shape, td_blockframes, stats ? &m : nullptr);
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

// The stems first, then the notes, mix.wav last; no stopping signal in
// between.
bool publish_all(stems_run& run)
{
    bool ok = true;
    td_signals_hold();
    for (int32_t n = stem_slots - 1; n >= 1 && ok; n--)
        if (run.files[n].sink && !run.files[n].sink->publish())
            ok = false;
    ok = ok && td_publish_note_files(run.notes, [&run] { return run.files[0].sink->publish(); });
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
    if (run.layout.quiet)
        return;
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
    const std::string midi_dir = run.dir + "/" + run.layout.midi_dir;
    run.midi_dir_slot = take_folder(midi_dir.c_str());
    if (run.midi_dir_slot == -2) {
        td_note_files_leave();
        return false;
    }
    for (int32_t n = 1; n < stem_slots; n++)
        if (run.files[n].sink)
            run.notes.push_back(td_note_file_at(
                midi_dir + "/" + td_stem_name(n, sample_name(n), td_name_bytes, ".mid"), n));
    const bool ok = td_note_files_finish();
    if (run.layout.stats != nullptr)
        td_note_files_counts(run.layout.stats->notes, run.layout.stats->channels);
    return ok;
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

std::string td_stem_path(const td_stems_layout& layout, int32_t n, const char* extension)
{
    if (n == 0)
        return std::string("mix") + extension;
    const std::string name = td_stem_name(n, sample_name(n), td_name_bytes, extension);
    return layout.stems_dir.empty() ? name : layout.stems_dir + "/" + name;
}

int td_write_stems(const char* outdir, const td_render_shape& shape, const td_output_form& form,
                   bool notes, const td_stems_layout& layout)
{
    const int dir_slot = take_folder(outdir);
    if (dir_slot == -2) {
        if (!layout.quiet)
            std::puts("File error.");
        return 1;
    }
    auto run = std::make_unique<stems_run>();
    run->dir = outdir;
    // "stems/" names its files stems/NN-name.wav, not stems//NN-name.wav.
    while (run->dir.size() > 1 && run->dir.back() == '/')
        run->dir.pop_back();
    run->shape = shape;
    run->form = form;
    run->layout = layout;
    if (layout.stats != nullptr)
        *layout.stats = td_stems_stats{};
    const std::string stems_dir = run->dir + "/" + layout.stems_dir;
    if (!layout.stems_dir.empty())
        run->stems_dir_slot = take_folder(stems_dir.c_str());
    vex_notes_record(0);
    bool ok = run->stems_dir_slot != -2 && (!notes || start_note_files(*run));
    td_pieces_start();
    ok = ok && render_all(*run);
    ok = finish_all(*run, ok && !any_failed(*run, 0));
    if (notes && ok)
        ok = finish_note_files(*run);
    else if (notes)
        td_note_files_leave();
    if (ok && publish_all(*run)) {
        td_cleanup_drop_dir(run->midi_dir_slot);
        td_cleanup_drop_dir(run->stems_dir_slot);
        td_cleanup_drop_dir(dir_slot);
        print_files(*run);
        return 0;
    }
    discard_all(*run);
    drop_folder(run->dir + "/" + layout.midi_dir, run->midi_dir_slot);
    drop_folder(stems_dir, run->stems_dir_slot);
    drop_folder(run->dir, dir_slot);
    if (!layout.quiet)
        std::puts("File error.");
    return 1;
}

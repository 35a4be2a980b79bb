// The note files as the notes come: each ended note waits until no note
// still running starts before it, then gets its CSV row. Its MIDI events
// are made as it ends and go into their tracks, a sample at a time, once
// no running note of that sample starts before them, so that a note held
// on long keeps back only its own sample's events. MIDI files are written
// once the render is done.
#include "frontend/note_files.h"

#include <unistd.h>

#include <algorithm>
#include <memory>
#include <system_error>
#include <thread>

#include "frontend/notes_csv.h"
#include "frontend/notes_midi.h"

namespace {

// CSV rows go to their file in runs of about this many bytes.
constexpr size_t csv_run_bytes = 1 << 16;

struct note_run {
    std::vector<td_note_file>* files = nullptr;
    td_note_names names;
    int32_t rate = 44100;
    std::vector<std::string> rows;  // by file: CSV rows not written yet
    std::vector<size_t> csv_files;  // the CSV files, by index
    std::vector<vex_note> waiting;  // ended, without a CSV row yet
    td_midi_ptr midi;
    int32_t counts[32] = {};     // by sample
    uint32_t channels[32] = {};  // by sample: bit c, a note on channel c
};

note_run run;

bool ends_with(const std::string& s, const std::string& end)
{
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

bool is_csv(const td_note_file& f) { return ends_with(f.path, ".csv"); }

std::string without_extension(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    const bool has = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    return has ? path.substr(0, dot) : path;
}

bool opened(const td_note_file& f) { return f.file.fd >= 0; }

// A file written in place could be read by the reader of the audio, who
// then must not wait for it.
bool streams(const td_note_file& f) { return !f.file.temp.empty(); }

void write_rows(size_t i, size_t at_least)
{
    td_note_file& f = (*run.files)[i];
    std::string& rows = run.rows[i];
    if (rows.size() < at_least || (at_least > 0 && !streams(f)))
        return;
    td_file_write(f.file, rows.data(), rows.size());
    rows.clear();
}

// Takes out of notes, in order, those that start before frame.
template <typename Use>
void settle_notes(std::vector<vex_note>& notes, int64_t frame, Use use)
{
    const auto ready = std::partition(notes.begin(), notes.end(),
                                      [frame](const vex_note& n) { return n.start_frame < frame; });
    std::sort(notes.begin(), ready, td_note_before);
    for (auto n = notes.begin(); n != ready; ++n)
        use(*n);
    notes.erase(notes.begin(), ready);
}

void write_row(const vex_note& note)
{
    for (const size_t i : run.csv_files) {
        const td_note_file& f = (*run.files)[i];
        if (f.sample == 0 || f.sample == note.sample) {
            td_notes_csv_row(run.rows[i], note, run.names, run.rate);
            write_rows(i, csv_run_bytes);
        }
    }
}

// Writes what is settled when running_from(n) says where the running notes
// of sample n (0: of any) start; the MIDI tracks only once enough waits.
void settle(int64_t (*running_from)(int32_t), bool all)
{
    settle_notes(run.waiting, running_from(0), write_row);
    if (run.midi && (all || td_midi_worth_settling(*run.midi)))
        td_midi_settle(*run.midi, running_from);
}

void take_ended()
{
    vex_note batch[256];
    for (int32_t n; (n = vex_notes(batch, 256)) > 0;) {
        for (int32_t i = 0; i < n; i++) {
            vex_note note = batch[i];
            run.counts[note.sample & 31]++;
            run.channels[note.sample & 31] |= uint32_t{1} << (note.channel & 31);
            if (run.midi)
                td_midi_keep(*run.midi, note, vex_note_changes_at(note.first_change, note.changes));
            if (!run.csv_files.empty())
                run.waiting.push_back(note);
        }
    }
}

bool write_midi(td_note_file& f)
{
    const td_midi_bytes bytes = td_midi_file(*run.midi, f.sample);
    bool ok = (opened(f) || td_file_open(f.file, f.path)) &&
              td_file_reserve(f.file, static_cast<int64_t>(bytes.size));
    for (const std::string_view piece : bytes.pieces)
        ok = ok && td_file_write(f.file, piece.data(), piece.size());
    return td_file_close(f.file) && ok;
}

void close_all(const std::vector<int>& fds)
{
    for (const int fd : fds)
        close(fd);
}

void end_run()
{
    run.files = nullptr;
    run.rows.clear();
    run.csv_files.clear();
    run.waiting.clear();
    run.waiting.shrink_to_fit();
    run.midi.reset();
}

}  // namespace

td_note_file td_note_file_at(const std::string& path, int32_t sample)
{
    td_note_file f;
    f.path = path;
    f.sample = sample;
    return f;
}

std::vector<td_note_file> td_note_files_for(const std::string& notes_file, const std::string& dest)
{
    std::vector<td_note_file> files;
    if (!notes_file.empty()) {
        files.push_back(td_note_file_at(notes_file));
        return files;
    }
    const std::string base = without_extension(dest);
    files.push_back(td_note_file_at(base + ".csv"));
    files.push_back(td_note_file_at(base + ".mid"));
    return files;
}

bool td_note_files_start(std::vector<td_note_file>& files, const td_note_names& names,
                         int32_t rate)
{
    end_run();
    for (td_note_file& f : files) {
        if (!td_file_open(f.file, f.path)) {
            td_discard_note_files(files);
            return false;
        }
    }
    run.files = &files;
    std::fill(std::begin(run.counts), std::end(run.counts), 0);
    std::fill(std::begin(run.channels), std::end(run.channels), 0u);
    run.names = names;
    run.rate = rate;
    run.rows.assign(files.size(), std::string());
    for (size_t i = 0; i < files.size(); i++) {
        if (is_csv(files[i])) {
            run.rows[i] = td_notes_csv_header;
            run.csv_files.push_back(i);
        }
        else if (!run.midi)
            run.midi = td_midi_start(names, rate);
    }
    vex_notes_record(1);
    return true;
}

void td_note_files_take()
{
    if (run.files == nullptr)
        return;
    take_ended();
    settle(vex_notes_running_from, false);
}

bool td_note_files_finish()
{
    if (run.files == nullptr)
        return false;
    vex_notes_record(0);
    take_ended();
    settle(td_midi_nothing_runs, true);
    std::vector<td_note_file>& files = *run.files;
    bool ok = true;
    for (size_t i = 0; i < files.size(); i++) {
        td_note_file& f = files[i];
        if (is_csv(f)) {
            write_rows(i, 0);
            ok = td_file_close(f.file) && ok;
        } else {
            ok = run.midi && write_midi(f) && ok;
        }
    }
    end_run();
    if (!ok)
        td_discard_note_files(files);
    return ok;
}

void td_note_files_leave()
{
    vex_notes_record(0);
    if (run.files == nullptr)
        return;
    for (td_note_file& f : *run.files)
        td_file_close(f.file);
    end_run();
}

void td_note_files_counts(int32_t notes[32], uint32_t channels[32])
{
    std::copy(std::begin(run.counts), std::end(run.counts), notes);
    std::copy(std::begin(run.channels), std::end(run.channels), channels);
}

bool td_publish_note_files(std::vector<td_note_file>& files, const std::function<bool()>& and_then)
{
    bool ok = true;
    std::vector<int> replaced;
    for (td_note_file& f : files) {
        const int held = td_file_hold_replaced(f.file);
        if (held >= 0)
            replaced.push_back(held);
        ok = td_file_publish(f.file) && ok;
    }
    std::thread freeing;
    try {
        if (!replaced.empty())
            freeing = std::thread(close_all, replaced);
    } catch (const std::system_error&) {
        close_all(replaced);
    }
    ok = ok && (!and_then || and_then());
    if (freeing.joinable())
        freeing.join();
    return ok;
}

void td_discard_note_files(std::vector<td_note_file>& files)
{
    for (td_note_file& f : files)
        td_file_discard(f.file);
}

#include "frontend/notes_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include "frontend/notes_csv.h"
#include "frontend/output_file.h"
#include "frontend/run_cleanup.h"

namespace {

constexpr size_t write_bytes = 65536;

// A hidden scratch file in dir, registered to go with the run; null when it
// cannot be made.
FILE* open_scratch(const std::string& dir, const std::string& name, std::string* path, int* slot)
{
    std::string pattern = dir + "/." + name + ".tunedump-XXXXXX";
    td_signals_hold();
    const int fd = mkostemp(pattern.data(), O_CLOEXEC);
    *slot = fd >= 0 ? td_cleanup_add_temp(pattern.c_str()) : -1;
    FILE* file = fd >= 0 && *slot >= 0 ? fdopen(fd, "w+b") : nullptr;
    if (file == nullptr && fd >= 0) {
        unlink(pattern.c_str());
        close(fd);
        td_cleanup_drop_temp(*slot);
    }
    td_signals_release();
    *path = pattern;
    return file;
}

void close_scratch(FILE*& file, const std::string& path, int slot)
{
    if (file == nullptr)
        return;
    std::fclose(file);
    file = nullptr;
    td_signals_hold();
    unlink(path.c_str());
    td_cleanup_drop_temp(slot);
    td_signals_release();
}

bool write_note(FILE* file, const vex_note& note, const vex_note_change* changes)
{
    // A note without changes may come with no array of them.
    return std::fwrite(&note, sizeof note, 1, file) == 1 &&
           (note.changes == 0 ||
            std::fwrite(changes, sizeof *changes, static_cast<size_t>(note.changes), file) ==
                static_cast<size_t>(note.changes));
}

// One channel's file as it is read back.
struct cursor {
    FILE* file = nullptr;
    bool has = false;
    vex_note note{};
    std::vector<vex_note_change> changes;
};

// The next note of sample n (every sample with 0); false at the end.
bool read_next(cursor& c, int32_t n, bool& failed)
{
    c.has = false;
    while (c.file != nullptr && std::fread(&c.note, sizeof c.note, 1, c.file) == 1) {
        c.changes.resize(static_cast<size_t>(c.note.changes));
        if (!c.changes.empty() &&
            std::fread(c.changes.data(), sizeof(vex_note_change), c.changes.size(), c.file) !=
                c.changes.size()) {
            failed = true;
            return false;
        }
        if (n == 0 || c.note.sample == n)
            return c.has = true;
    }
    failed = failed || (c.file != nullptr && std::ferror(c.file) != 0);
    return false;
}

void walk_spill(td_note_spill& spill, int32_t n, const td_note_visit& visit)
{
    cursor cursors[32];
    for (int c = 0; c < 32; c++) {
        cursors[c].file = spill.files[c];
        if (cursors[c].file == nullptr)
            continue;
        spill.failed = std::fflush(cursors[c].file) != 0 || spill.failed;
        std::rewind(cursors[c].file);
        read_next(cursors[c], n, spill.failed);
    }
    for (;;) {
        cursor* first = nullptr;
        for (cursor& c : cursors)
            if (c.has && (first == nullptr || c.note.start_frame < first->note.start_frame))
                first = &c;
        if (first == nullptr)
            return;
        visit(first->note, first->changes.data());
        read_next(*first, n, spill.failed);
    }
}

bool ends_with(const std::string& s, const std::string& end)
{
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// Bytes into a note file in pieces of write_bytes.
struct buffered {
    td_output_file& file;
    std::string bytes;
    bool ok = true;
    void put(const std::string& more)
    {
        bytes += more;
        if (bytes.size() >= write_bytes)
            flush();
    }
    void flush()
    {
        ok = ok && td_file_write(file, bytes.data(), bytes.size());
        bytes.clear();
    }
};

bool write_csv(td_note_file& f, const td_note_walk& walk, const td_note_names& names,
               int32_t rate)
{
    if (!td_file_open(f.file, f.path))
        return false;
    buffered out{f.file, td_notes_csv_header};
    walk(f.sample, [&](const vex_note& note, const vex_note_change*) {
        out.put(td_notes_csv_row(note, names, rate));
    });
    out.flush();
    return out.ok && td_file_close(f.file);
}

// A sample's track chunks in a scratch file, each length written in once
// its chunk ends.
struct sample_chunks : td_midi_chunks {
    FILE* file = nullptr;
    std::string path;
    int slot = -1;
    long length_at = 0;
    int32_t tracks = 0;
    bool ok = true;

    void start_chunk() override
    {
        ok = std::fwrite("MTrk\0\0\0\0", 1, 8, file) == 8 && ok;
        length_at = std::ftell(file) - 4;
    }
    void put(const std::string& bytes) override
    {
        ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size() && ok;
    }
    void end_chunk() override
    {
        const long end = std::ftell(file);
        const uint32_t length = static_cast<uint32_t>(end - length_at - 4);
        const uint8_t bytes[4] = {static_cast<uint8_t>(length >> 24),
                                  static_cast<uint8_t>(length >> 16),
                                  static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
        ok = std::fseek(file, length_at, SEEK_SET) == 0 && std::fwrite(bytes, 1, 4, file) == 4 &&
             std::fseek(file, end, SEEK_SET) == 0 && ok;
    }
};

bool copy_into(td_output_file& out, FILE* from)
{
    std::vector<char> bytes(write_bytes);
    if (std::fflush(from) != 0)
        return false;
    std::rewind(from);
    for (size_t n; (n = std::fread(bytes.data(), 1, bytes.size(), from)) > 0;)
        if (!td_file_write(out, bytes.data(), n))
            return false;
    return std::ferror(from) == 0;
}

bool write_midi(td_note_file& f, sample_chunks (&samples)[32])
{
    int32_t tracks = 1;
    for (int32_t n = 1; n < 32; n++)
        if (f.sample == 0 || f.sample == n)
            tracks += samples[n].tracks;
    if (!td_file_open(f.file, f.path))
        return false;
    const std::string header = td_midi_header(tracks);
    bool ok = td_file_write(f.file, header.data(), header.size());
    for (int32_t n = 1; n < 32 && ok; n++)
        if ((f.sample == 0 || f.sample == n) && samples[n].tracks > 0)
            ok = copy_into(f.file, samples[n].file);
    return td_file_close(f.file) && ok;
}

// Every sample's tracks that a MIDI file of files needs, made once.
bool make_sample_chunks(sample_chunks (&samples)[32], const std::vector<td_note_file>& files,
                        const td_note_walk& walk, const td_note_names& names, int32_t rate,
                        const std::string& dir)
{
    bool wanted[32] = {};
    for (const td_note_file& f : files)
        if (ends_with(f.path, ".mid"))
            for (int32_t n = 1; n < 32; n++)
                wanted[n] = wanted[n] || f.sample == 0 || f.sample == n;
    for (int32_t n = 1; n < 32; n++) {
        if (!wanted[n])
            continue;
        sample_chunks& s = samples[n];
        s.file = open_scratch(dir, "notes-" + std::to_string(n), &s.path, &s.slot);
        if (s.file == nullptr)
            return false;
        s.tracks = td_midi_sample_tracks(walk, names, rate, n, s);
        if (!s.ok)
            return false;
    }
    return true;
}

}  // namespace

void td_spill_start(td_note_spill& spill, const std::string& dir)
{
    spill = td_note_spill{};
    spill.dir = dir;
}

void td_spill_take(td_note_spill& spill)
{
    vex_note batch[256];
    std::vector<vex_note_change> changes;
    for (int32_t count; (count = vex_notes(batch, 256)) > 0;) {
        for (int32_t i = 0; i < count; i++) {
            const vex_note& note = batch[i];
            const int c = note.channel & 31;
            changes.resize(static_cast<size_t>(note.changes));
            vex_note_changes(note.first_change, changes.data(), note.changes);
            if (spill.files[c] == nullptr && !spill.failed) {
                spill.files[c] = open_scratch(spill.dir, "channel-" + std::to_string(c),
                                              &spill.paths[c], &spill.slots[c]);
                spill.failed = spill.files[c] == nullptr;
            }
            if (spill.files[c] != nullptr)
                spill.failed = !write_note(spill.files[c], note, changes.data()) || spill.failed;
            spill.notes[note.sample & 31]++;
            spill.channels[note.sample & 31] |= uint32_t{1} << c;
        }
    }
}

td_note_walk td_spill_walk(td_note_spill& spill)
{
    return [&spill](int32_t n, const td_note_visit& visit) { walk_spill(spill, n, visit); };
}

void td_spill_remove(td_note_spill& spill)
{
    for (int c = 0; c < 32; c++)
        close_scratch(spill.files[c], spill.paths[c], spill.slots[c]);
}

bool td_make_note_files_streamed(std::vector<td_note_file>& files, const td_note_walk& walk,
                                 const td_note_names& names, int32_t rate,
                                 const std::string& dir)
{
    sample_chunks samples[32];
    bool ok = make_sample_chunks(samples, files, walk, names, rate, dir);
    for (td_note_file& f : files) {
        if (!ok)
            break;
        ok = ends_with(f.path, ".csv") ? write_csv(f, walk, names, rate) : write_midi(f, samples);
    }
    for (sample_chunks& s : samples)
        close_scratch(s.file, s.path, s.slot);
    if (!ok)
        td_discard_note_files(files);
    return ok;
}

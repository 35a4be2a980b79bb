// The note files of a render: CSV and MIDI by their names, written as the
// render goes and published with its audio.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "frontend/notes_list.h"
#include "frontend/output_file.h"

struct td_note_file {
    std::string path;     // ends in .csv or .mid
    int32_t sample = 0;   // 0: every sample's notes; 1..31: that sample's alone
    td_output_file file;  // its temporary once opened
};

td_note_file td_note_file_at(const std::string& path, int32_t sample = 0);
// The files of --notes beside a render into dest: FILE when one is named,
// else dest's name with .csv and with .mid in place of its extension.
std::vector<td_note_file> td_note_files_for(const std::string& notes_file, const std::string& dest);

// Opens every file (temporaries) and starts recording the render's notes
// into them: false, with none left, when one cannot be made. The files
// stay in use until td_note_files_finish or td_note_files_leave; MIDI files
// of single samples may be added until then, when a MIDI file of every
// sample is among the first. Opened before the render, the files are
// known to every process that renders a part of it.
bool td_note_files_start(std::vector<td_note_file>& files, const td_note_names& names,
                         int32_t rate);
// Takes the notes the library has to hand out and writes the CSV rows
// whose place is settled: call it as the render goes. A file written in
// place (a FIFO, a device) gets its bytes only once the render is done, so
// that a reader of the audio is never kept waiting.
void td_note_files_take();
// Stops recording, writes the rest (opening the files added since the
// start) and closes every file, ready to publish: false when one failed.
bool td_note_files_finish();
// After td_note_files_finish: each sample's note count, and the channels
// (bit c for channel c, from 0) its notes played on.
void td_note_files_counts(int32_t notes[32], uint32_t channels[32]);
// In a process that leaves the notes to another: stops recording and
// closes its descriptors of the files.
void td_note_files_leave();
// Publishes the files, then, when all went well, calls and_then (the audio's
// publishing): meanwhile another thread frees the files they replaced, a
// few milliseconds for files of some megabytes.
bool td_publish_note_files(std::vector<td_note_file>& files,
                           const std::function<bool()>& and_then = {});
void td_discard_note_files(std::vector<td_note_file>& files);

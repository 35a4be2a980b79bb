// The note files of a render: CSV and MIDI by their names, made once the
// render is done and published with its audio.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "frontend/notes_list.h"
#include "frontend/output_file.h"

struct td_note_file {
    std::string path;     // ends in .csv or .mid
    int32_t sample = 0;   // 0: every sample's notes; 1..31: that sample's alone
    td_output_file file;  // its temporary once made
};

td_note_file td_note_file_at(const std::string& path, int32_t sample = 0);
// The files of --notes beside a render into dest: FILE when one is named,
// else dest's name with .csv and with .mid in place of its extension.
std::vector<td_note_file> td_note_files_for(const std::string& notes_file, const std::string& dest);
// Makes every file (temporaries, closed); false, with none left, when one
// cannot be made.
bool td_make_note_files(std::vector<td_note_file>& files, const td_note_list& list,
                        const td_note_names& names, int32_t rate);
bool td_publish_note_files(std::vector<td_note_file>& files);
void td_discard_note_files(std::vector<td_note_file>& files);

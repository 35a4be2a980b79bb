// The notes of a long render kept on disk while it runs, and the note files
// made from there a row and a track at a time: memory stays the same
// whatever the length and however many notes the song plays.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "frontend/note_files.h"
#include "frontend/notes_midi.h"

// One hidden temporary per channel in dir, holding that channel's notes
// with their changes in the order they start (the order the library hands
// them out in, for one channel).
struct td_note_spill {
    std::string dir;
    FILE* files[32] = {};
    std::string paths[32];
    int slots[32] = {};
    bool failed = false;
    int32_t notes[32] = {};      // by sample
    uint32_t channels[32] = {};  // by sample: bit c, a note on channel c
};

void td_spill_start(td_note_spill& spill, const std::string& dir);
// Moves every note the library has to hand out into its channel's file.
void td_spill_take(td_note_spill& spill);
// Every note spilled, in order of start frame, then channel.
td_note_walk td_spill_walk(td_note_spill& spill);
void td_spill_remove(td_note_spill& spill);
// Makes every file (temporaries, closed) as td_make_note_files does, from
// the walk, with scratch files in dir; false, with none left, when one
// cannot be made.
bool td_make_note_files_streamed(std::vector<td_note_file>& files, const td_note_walk& walk,
                                 const td_note_names& names, int32_t rate,
                                 const std::string& dir);

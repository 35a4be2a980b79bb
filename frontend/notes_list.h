// The notes of a render as the library hands them out, gathered for the
// note files, and what the files say of each.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tunedump/tunedump.h"

struct td_note_list {
    std::vector<vex_note> notes;  // each one's first_change counts in changes
    std::vector<vex_note_change> changes;
};

// The name each sample goes by in the note files, by sample number.
using td_note_names = std::array<std::string, 32>;

// Appends every note the library has to hand out, with its changes.
void td_take_notes(td_note_list& list);
// Sample n's notes alone, for its stem.
td_note_list td_notes_of_sample(const td_note_list& list, int32_t n);
// The samples' names in a loaded module image, reduced as in stem names.
td_note_names td_note_names_of(const uint8_t* image);
// 60 + 12 x log2(428 / period): period 428, C-2, is MIDI note 60. Only for
// periods above 0.
double td_note_pitch(int32_t period);
// The order notes are listed in: by start frame, then channel.
inline bool td_note_before(const vex_note& a, const vex_note& b)
{
    return a.start_frame != b.start_frame ? a.start_frame < b.start_frame : a.channel < b.channel;
}
// The notes sorted by start frame, then channel.
std::vector<vex_note> td_notes_in_order(const td_note_list& list);

// The notes of a render as CSV, one row per note in the order they start.
#pragma once
#include <cstdint>
#include <string>

#include "frontend/notes_list.h"

extern const char td_notes_csv_header[];
// The file's bytes: the header row, then one row per note sorted by start
// frame, then channel; rate is the render's frames per second.
std::string td_notes_csv(const td_note_list& list, const td_note_names& names, int32_t rate);
// Appends the note's row.
void td_notes_csv_row(std::string& out, const vex_note& n, const td_note_names& names,
                      int32_t rate);

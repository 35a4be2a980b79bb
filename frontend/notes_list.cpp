#include "frontend/notes_list.h"

#include <algorithm>
#include <cmath>

#include "frontend/safe_name.h"
#include "frontend/tunedump_info.h"

void td_take_notes(td_note_list& list)
{
    vex_note batch[256];
    for (int32_t n; (n = vex_notes(batch, 256)) > 0;) {
        for (int32_t i = 0; i < n; i++) {
            vex_note note = batch[i];
            const size_t at = list.changes.size();
            list.changes.resize(at + static_cast<size_t>(note.changes));
            vex_note_changes(note.first_change, list.changes.data() + at, note.changes);
            note.first_change = static_cast<int32_t>(at);
            list.notes.push_back(note);
        }
    }
}

td_note_list td_notes_of_sample(const td_note_list& list, int32_t n)
{
    td_note_list out;
    for (vex_note note : list.notes) {
        if (note.sample != n)
            continue;
        const auto first = list.changes.begin() + note.first_change;
        note.first_change = static_cast<int32_t>(out.changes.size());
        out.changes.insert(out.changes.end(), first, first + note.changes);
        out.notes.push_back(note);
    }
    return out;
}

td_note_names td_note_names_of(const uint8_t* image)
{
    td_note_names names;
    for (int32_t n = 1; n < 32; n++)
        names[static_cast<size_t>(n)] = td_safe_name(td_sample_name(image, n), td_name_bytes);
    return names;
}

double td_note_pitch(int32_t period) { return 60.0 + 12.0 * std::log2(428.0 / period); }

std::vector<vex_note> td_notes_in_order(const td_note_list& list)
{
    std::vector<vex_note> notes = list.notes;
    std::stable_sort(notes.begin(), notes.end(), td_note_before);
    return notes;
}

// Notes for the host: the recorder in the driver table, and the cells of
// each tick, whose note indexes only the replayer knows.
#include "player/vex_notes.h"

#include "replayer/pt.h"
#include "tunedump/tunedump.h"

namespace {

int32_t cell_note(int32_t ch)
{
    const int32_t n = pt_lineptr != nullptr ? pt_lineptr[4 * ch + 1] : pt_nonote;
    return n < pt_nonote ? n : -1;
}

}  // namespace

void vex_notes_cells(int64_t frame)
{
    sd_notes_tick(frame, cell_note, pt_channels < pt_maxchannels ? pt_channels : pt_maxchannels);
}

void vex_notes_record(int32_t on) { sd_notes_record(on != 0); }

int32_t vex_notes(vex_note* notes, int32_t max) { return sd_notes_take(notes, max); }

int32_t vex_note_changes(int32_t first, vex_note_change* changes, int32_t max)
{
    return sd_notes_changes(first, changes, max);
}

const vex_note_change* vex_note_changes_at(int32_t first, int32_t count)
{
    return sd_notes_changes_at(first, count);
}

int64_t vex_notes_running_from(int32_t sample) { return sd_notes_running_from(sample); }

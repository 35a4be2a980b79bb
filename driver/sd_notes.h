// The note recorder: wrappers in the driver table that watch what the
// replayer sends each channel and make notes of it, each with the frame it
// starts and ends on. Every call goes on unchanged to the slot the wrapper
// replaced, so the mixer hears exactly what it would without them.
#pragma once
#include <cstdint>

#include "tunedump/tunedump.h"

// Puts the wrappers into the driver table over what is there, and forgets
// every note and voice: call once the mixer has filled the table.
void sd_notes_install();
// Whether notes are being made; the render pump reports ticks only then.
extern bool sd_notes_on;
// On: from an empty list, with what the voices hold now. Off: the running
// notes end at the frame the mixer has reached.
void sd_notes_record(bool on);
// After a replay tick whose first frame is frame: cell_note(ch) is the note
// index of channel ch's cell, or -1 for none, asked of the channels that
// start a note.
void sd_notes_tick(int64_t frame, int32_t (*cell_note)(int32_t), int32_t channels);
// The ended notes not handed out yet, up to max of them, in the order they
// ended; the notes handed out by the call before are then forgotten.
int32_t sd_notes_take(vex_note* notes, int32_t max);
// Changes first.. of the notes the last sd_notes_take handed out.
int32_t sd_notes_changes(int32_t first, vex_note_change* changes, int32_t max);
// The same in place: null unless first..first + count are all theirs.
const vex_note_change* sd_notes_changes_at(int32_t first, int32_t count);
// The start of the earliest running note of sample (0: of any sample) that
// may yet be listed, or the frame reached when none runs.
int64_t sd_notes_running_from(int32_t sample);

// The notes of a render as a Standard MIDI File (type 1): a tempo track,
// then one track per sample that plays, named with the sample's name.
#pragma once
#include <cstdint>
#include <string>

#include "frontend/notes_list.h"

// Within a sample's track each tracker channel plays on a MIDI channel of
// its own (1-9 and 11-16, in order of first use); a sample heard on more
// than 15 channels gets more tracks of the same name. A note is the
// nearest key with a pitch bend for the rest (bend range +-24 semitones);
// changes of period within it bend it, or, further than the range, end it
// and start the key they reach; changes of volume are expression (CC 11).
// A note without a period yet (0) sounds from its first change that has one.
// 1920 ticks a second: every event lies within 0.27 ms of its frame.
std::string td_notes_midi(const td_note_list& list, const td_note_names& names, int32_t rate);
// The same for sample n's notes alone: its stem's file.
std::string td_notes_midi_of_sample(const td_note_list& list, const td_note_names& names,
                                    int32_t rate, int32_t n);

// The notes of a render as a Standard MIDI File (type 1): a tempo track,
// then one track per sample that plays, named with the sample's name.
#pragma once
#include <cstdint>
#include <functional>
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

// The notes of a render as they are walked through: every note of sample n
// (or of every sample with 0), in order of start frame, then channel, with
// its changes.
using td_note_visit = std::function<void(const vex_note&, const vex_note_change*)>;
using td_note_walk = std::function<void(int32_t n, const td_note_visit&)>;
// Where a file's track chunks go as they are made: a chunk's length is
// known only when it ends.
struct td_midi_chunks {
    virtual ~td_midi_chunks() = default;
    virtual void start_chunk() = 0;
    virtual void put(const std::string& bytes) = 0;
    virtual void end_chunk() = 0;
};
// Sample n's tracks, as in the files above, into out; how many. Events are
// written as they become final, so memory stays within the notes sounding
// at once.
int32_t td_midi_sample_tracks(const td_note_walk& walk, const td_note_names& names,
                              int32_t rate, int32_t n, td_midi_chunks& out);
// The file's header for tracks tracks in all, and the tempo track.
std::string td_midi_header(int32_t tracks);

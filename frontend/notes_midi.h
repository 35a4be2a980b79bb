// The notes of a render as a Standard MIDI File (type 1): a tempo track,
// then one track per sample that plays, named with the sample's name.
#pragma once
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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

// The same files built as the notes of a render come, holding only what
// cannot be written yet: the events of each tracker channel not merged
// into its track, and each track's bytes.
struct td_midi_writer;
struct td_midi_writer_free {
    void operator()(td_midi_writer* w) const;
};
using td_midi_ptr = std::unique_ptr<td_midi_writer, td_midi_writer_free>;
td_midi_ptr td_midi_start(const td_note_names& names, int32_t rate);
// A note as it ends (of samples 1..31), with its changes. Each channel's
// notes come in order.
void td_midi_keep(td_midi_writer& w, const vex_note& note, const vex_note_change* changes);
// Whether enough events were kept since the last settling that merging
// them into the tracks is worth a look at what still runs.
bool td_midi_worth_settling(const td_midi_writer& w);
// Writes into the tracks what is settled, asking running_from(n) where the
// earliest running note of sample n starts (every note of it that starts
// before has been kept), for the samples that have events waiting.
void td_midi_settle(td_midi_writer& w, int64_t (*running_from)(int32_t));
// A running_from for when nothing runs any more: every event is settled.
int64_t td_midi_nothing_runs(int32_t sample);
// The file once every note is kept and settled (every sample's tracks,
// or only sample n's), in the order of its bytes: small pieces made here,
// and the tracks' events as the writer holds them.
struct td_midi_bytes {
    std::deque<std::string> made;
    std::vector<std::string_view> pieces;
    size_t size = 0;
};
td_midi_bytes td_midi_file(const td_midi_writer& w, int32_t only);

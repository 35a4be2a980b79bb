// The note recorder. A note starts on a channel in a replay tick when the
// voice is given a read position inside its sample, when a channel that
// never played gets a sample (it plays from position 0), or when another
// sample is set on a voice that plays on (the mixer reads on with the new
// sample's data). It ends at the next start, where the voice ran out, or
// where its volume went to 0 for good. All of it is settled once the tick
// is over, from what the tick sent each channel.
#include "driver/sd_notes.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "driver/sd_main.h"
#include "mixer/sd_mix.h"

bool sd_notes_on = false;

namespace {

constexpr int channels = mix_maxchannels;
constexpr int samples = mix_maxsamples;

void (*next_setsample)(int32_t) = nullptr;
void (*next_setvolume)(int32_t) = nullptr;
void (*next_setamigaperiod)(int32_t) = nullptr;
void (*next_setoffset)(int32_t) = nullptr;
void (*next_resetvoices)() = nullptr;
int32_t (*next_getsample)(int32_t, int8_t*, uint32_t, uint32_t, uint32_t, int32_t) = nullptr;

// What the replayer has sent a channel, and what this tick did to it.
struct voice_state {
    int32_t sample;
    int32_t period;
    int32_t volume;
    bool started;  // given a read position, or a sample to play from 0
    bool offset_start;
    bool first_sample;
    bool sample_set;
    int32_t sample_before;  // the sample the voice had as the tick began
};

// What every tick looks at comes first, in one cache line.
struct alignas(64) running_note {
    bool open;
    int32_t period, volume;  // as last noted
    int64_t silent_from;     // the volume has been 0 since this frame; -1 if not
    std::vector<vex_note_change> changes;
    vex_note note;
};

voice_state voices[channels];
running_note running[channels];
// Bit ch: the tick gave channel ch a read position or a sample.
uint32_t marked = 0;
uint32_t sample_length[samples];
// The mixer's solo sample as the module was loaded: only its notes count.
int32_t solo = 0;
// A tick's first frame less the mixer's clock at that tick: turns the
// frame a voice ran out on into the render's count.
int64_t clock_offset = 0;

// Ended notes, each one's changes in a run of their own in ended_changes.
// From `head` on they have not been forgotten; the first `handed` of those
// went out with the last take.
std::vector<vex_note> ended;
std::vector<vex_note_change> ended_changes;
size_t head = 0;
size_t handed = 0;
// The channels the song has: the rest are never sent anything.
int32_t song_channels = 0;

bool listed(const vex_note& n)
{
    return n.end_frame > n.start_frame && (solo == 0 || n.sample == solo);
}

// A note whose volume stayed 0 to its end was last heard where it went to 0.
void end_note(int ch, int64_t frame)
{
    running_note& r = running[ch];
    if (!r.open)
        return;
    r.open = false;
    vex_note n = r.note;
    n.end_frame = r.silent_from >= 0 && r.silent_from < frame ? r.silent_from : frame;
    if (!listed(n))
        return;
    n.first_change = static_cast<int32_t>(ended_changes.size());
    // The changes come by frame: those heard are the first ones.
    auto last = r.changes.end();
    while (last != r.changes.begin() && last[-1].frame >= n.end_frame)
        --last;
    ended_changes.insert(ended_changes.end(), r.changes.begin(), last);
    n.changes = static_cast<int32_t>(ended_changes.size()) - n.first_change;
    ended.push_back(n);
}

void start_note(int ch, int64_t frame, int32_t cell_note)
{
    end_note(ch, frame);
    const voice_state& v = voices[ch];
    running_note& r = running[ch];
    r.open = true;
    r.note = vex_note{frame, frame, ch, v.sample, cell_note, v.period, v.volume, 0, 0};
    r.period = v.period;
    r.volume = v.volume;
    r.silent_from = v.volume == 0 ? frame : -1;
    r.changes.clear();
}

// A period and the volume after it as one number: most ticks change
// neither, and one test of both is one guess of the processor's.
template <typename State>
uint64_t sound_of(const State& s)
{
    static_assert(offsetof(State, volume) == offsetof(State, period) + 4);
    uint64_t both;
    std::memcpy(&both, reinterpret_cast<const char*>(&s) + offsetof(State, period), sizeof both);
    return both;
}

inline void note_changes(int ch, int64_t frame)
{
    const voice_state& v = voices[ch];
    running_note& r = running[ch];
    if (sound_of(v) == sound_of(r))
        return;
    r.changes.push_back(vex_note_change{frame, v.period, v.volume});
    r.period = v.period;
    r.volume = v.volume;
    if (v.volume != 0)
        r.silent_from = -1;
    else if (r.silent_from < 0)
        r.silent_from = frame;
}

// A tick that set a read position or a sample.
void settle_marks(int ch, int64_t frame, int32_t (*cell_note)(int32_t))
{
    voice_state& v = voices[ch];
    const bool plays_on = v.started && sample_length[v.sample] > 0 && !mix_voiceended[ch];
    const bool switched = v.sample_set && v.sample != v.sample_before && plays_on;
    if (v.offset_start || v.first_sample || switched)
        start_note(ch, frame, cell_note(ch));
    else if (sample_length[v.sample] == 0)
        end_note(ch, frame);  // an empty sample silences the voice
    else if (running[ch].open)
        note_changes(ch, frame);
    v.offset_start = v.first_sample = v.sample_set = false;
}

// A voice that ran out since the last tick stays silent until it is given
// a read position again: its note ends where it ran out (frame, by the
// mixer's clock as of the last tick). A run-out before the note's start is
// an earlier note's, left standing until the mixer takes the new read
// position at its next block.
inline void end_if_run_out(int ch, int64_t offset)
{
    if (!mix_voiceended[ch] || !running[ch].open)
        return;
    const int64_t frame = mix_voiceendframe[ch] + offset;
    if (frame >= running[ch].note.start_frame)
        end_note(ch, frame);
}

void clear_tick_marks()
{
    for (voice_state& v : voices)
        v.offset_start = v.first_sample = v.sample_set = false;
    marked = 0;
}

void forget_notes()
{
    for (running_note& r : running)
        r.open = false;
    ended.clear();
    ended_changes.clear();
    head = handed = 0;
}

void forget_voices()
{
    for (voice_state& v : voices)
        v = voice_state{};
    marked = 0;
    for (uint32_t& length : sample_length)
        length = 0;
    solo = mix_solosample;
    song_channels = 0;
    forget_notes();
}

int32_t slot(int32_t n) { return n >= 0 && n < samples ? n : 0; }

// The channel the replayer selected last: the mixer keeps it, as every
// call to a channel goes on to the mixer through the table.
static_assert((channels & (channels - 1)) == 0);
int current() { return mix_curchannel & (channels - 1); }

// Each wrapper notes what it is sent, then hands it on: the call to the
// mixer, its last, is then a jump.
void notes_setsample(int32_t n)
{
    const int ch = current();
    voice_state& v = voices[ch];
    if (!v.sample_set)
        v.sample_before = v.sample;
    v.sample_set = true;
    marked |= uint32_t{1} << ch;
    v.sample = slot(n);
    if (!v.started && sample_length[v.sample] > 0)
        v.started = v.first_sample = true;
    next_setsample(n);
}

void notes_setvolume(int32_t volume)
{
    voices[current()].volume = volume;
    next_setvolume(volume);
}

void notes_setamigaperiod(int32_t period)
{
    voices[current()].period = period;
    next_setamigaperiod(period);
}

// The mixer takes a read position only inside the sample.
void notes_setoffset(int32_t offset)
{
    const int ch = current();
    voice_state& v = voices[ch];
    if (static_cast<uint32_t>(offset) < sample_length[v.sample]) {
        v.started = v.offset_start = true;
        marked |= uint32_t{1} << ch;
    }
    next_setoffset(offset);
}

void notes_resetvoices()
{
    next_resetvoices();
    forget_voices();
}

int32_t notes_getsample(int32_t n, int8_t* data, uint32_t length, uint32_t loop_start,
                        uint32_t loop_end, int32_t loop_enabled)
{
    sample_length[slot(n)] = length;
    return next_getsample(n, data, length, loop_start, loop_end, loop_enabled);
}

template <typename Slot>
void wrap(Slot& table_slot, Slot& next, Slot wrapper)
{
    if (table_slot != wrapper)
        next = table_slot;
    table_slot = wrapper;
}

// The changes of ended[first..] start here.
size_t changes_from(size_t first)
{
    return first < ended.size() ? static_cast<size_t>(ended[first].first_change)
                                : ended_changes.size();
}

// Drops the notes before head once they are the larger part, so that a
// host that takes notes as it goes keeps a short list.
void compact()
{
    if (head == ended.size()) {
        ended.clear();
        ended_changes.clear();
        head = 0;
        return;
    }
    if (head < 4096 || 2 * head < ended.size())
        return;
    const size_t gone = changes_from(head);
    ended.erase(ended.begin(), ended.begin() + static_cast<std::ptrdiff_t>(head));
    ended_changes.erase(ended_changes.begin(),
                        ended_changes.begin() + static_cast<std::ptrdiff_t>(gone));
    for (vex_note& n : ended)
        n.first_change -= static_cast<int32_t>(gone);
    head = 0;
}

}  // namespace

void sd_notes_install()
{
    wrap(sd_setsample, next_setsample, notes_setsample);
    wrap(sd_setvolume, next_setvolume, notes_setvolume);
    wrap(sd_setamigaperiod, next_setamigaperiod, notes_setamigaperiod);
    wrap(sd_setoffset, next_setoffset, notes_setoffset);
    wrap(sd_resetvoices, next_resetvoices, notes_resetvoices);
    wrap(sd_getsample, next_getsample, notes_getsample);
    forget_voices();
}

void sd_notes_record(bool on)
{
    if (on) {
        forget_notes();
        clear_tick_marks();
    } else if (sd_notes_on) {
        for (int ch = 0; ch < song_channels; ch++)
            end_if_run_out(ch, clock_offset);
        for (int ch = 0; ch < channels; ch++)
            end_note(ch, mix_frameclock + clock_offset);
    }
    sd_notes_on = on;
}

// Each channel's note ends where its voice ran out, then the tick settles
// it. Most ticks mark no channel: a running note then goes on, with the
// tick's period and volume (its sample is the one it started with, which
// has data: an empty one would have ended it).
void sd_notes_tick(int64_t frame, int32_t (*cell_note)(int32_t), int32_t count)
{
    const int64_t offset_before = clock_offset;
    clock_offset = frame - mix_frameclock;
    count = std::min(count, channels);
    song_channels = std::max(song_channels, count);
    for (int ch = 0; ch < count; ch++) {
        end_if_run_out(ch, offset_before);
        if (marked & (uint32_t{1} << ch))
            settle_marks(ch, frame, cell_note);
        else if (running[ch].open)
            note_changes(ch, frame);
    }
    marked = 0;
}

int32_t sd_notes_take(vex_note* notes, int32_t max)
{
    head += handed;
    handed = 0;
    compact();
    if (notes == nullptr || max <= 0)
        return 0;
    handed = std::min(ended.size() - head, static_cast<size_t>(max));
    const auto first = ended.begin() + static_cast<std::ptrdiff_t>(head);
    std::copy(first, first + static_cast<std::ptrdiff_t>(handed), notes);
    return static_cast<int32_t>(handed);
}

int32_t sd_notes_changes(int32_t first, vex_note_change* changes, int32_t max)
{
    const size_t from = changes_from(head), to = changes_from(head + handed);
    if (changes == nullptr || max <= 0 || first < 0 || static_cast<size_t>(first) < from ||
        static_cast<size_t>(first) >= to)
        return 0;
    const size_t n = std::min(to - static_cast<size_t>(first), static_cast<size_t>(max));
    std::copy_n(ended_changes.begin() + first, n, changes);
    return static_cast<int32_t>(n);
}

const vex_note_change* sd_notes_changes_at(int32_t first, int32_t count)
{
    const size_t from = changes_from(head), to = changes_from(head + handed);
    if (first < 0 || count < 0 || static_cast<size_t>(first) < from ||
        static_cast<size_t>(first) + static_cast<size_t>(count) > to)
        return nullptr;
    return ended_changes.data() + first;
}

int64_t sd_notes_running_from(int32_t sample)
{
    int64_t from = mix_frameclock + clock_offset;
    for (int ch = 0; ch < song_channels; ch++) {
        const running_note& r = running[ch];
        if (r.open && (solo == 0 || r.note.sample == solo) &&
            (sample == 0 || r.note.sample == sample))
            from = std::min(from, r.note.start_frame);
    }
    return from;
}

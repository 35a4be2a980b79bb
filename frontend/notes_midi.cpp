// The MIDI writer. A note's events are made when the sweep of its track
// reaches their tick, from the note and its changes, so a track holds
// events only as bytes. At one tick a track has notes off first, then
// controls, then notes on, each kind in the order of the notes (by start,
// then channel) and of the events within a note.
#include "frontend/notes_midi.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

namespace {

// 960 ticks a quarter at 500000 microseconds a quarter: the tempo every
// reader assumes anyway.
constexpr int32_t division = 960;
constexpr int32_t microseconds_per_quarter = 500000;
constexpr int64_t ticks_per_second = 1920;
constexpr int32_t bend_range = 24;  // semitones either way
constexpr int32_t channels_per_track = 15;
constexpr int32_t tracker_channels = 32;
constexpr int32_t cached_periods = 4096;
constexpr int64_t never = std::numeric_limits<int64_t>::max();

enum : uint32_t { order_off = 0, order_control = 1, order_on = 2 };

// The nearest tick, halves up. Below 2^52 the double quotient truncates
// to the integer one: it is never as close to the next integer as 1 / rate.
int64_t tick_of(int64_t frame, int32_t rate)
{
    const int64_t twice = frame * 2 * ticks_per_second + rate;
    const int64_t per = 2 * static_cast<int64_t>(rate);
    if (twice >= 0 && twice < (int64_t{1} << 52))
        return static_cast<int64_t>(static_cast<double>(twice) / static_cast<double>(per));
    return twice / per;
}

uint8_t clamp7(int32_t v) { return static_cast<uint8_t>(std::clamp(v, 0, 127)); }

// The MIDI channels a track hands out: all but 10, the drums.
uint8_t midi_channel(size_t k) { return static_cast<uint8_t>(k < 9 ? k : k + 1); }

// A channel event: its order within its tick, then its three bytes.
uint32_t event(uint32_t order, int status, int a, int b)
{
    return order << 24 | static_cast<uint32_t>(status) << 16 | static_cast<uint32_t>(a) << 8 |
           static_cast<uint32_t>(b);
}

uint32_t order_of(uint32_t e) { return e >> 24; }

void put_number(std::string& out, uint32_t value, int bytes)
{
    for (int i = bytes - 1; i >= 0; i--)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

void put_varlen(std::string& out, uint64_t value)
{
    if (value < 0x80) {
        out += static_cast<char>(value);
        return;
    }
    char bytes[10];
    int n = 0;
    do {
        bytes[n++] = static_cast<char>(value & 0x7F);
        value >>= 7;
    } while (value != 0);
    while (n > 1)
        out += static_cast<char>(bytes[--n] | 0x80);
    out += bytes[0];
}

void put_event(std::string& out, uint32_t e)
{
    const char bytes[3] = {static_cast<char>(e >> 16), static_cast<char>(e >> 8),
                           static_cast<char>(e)};
    out.append(bytes, 3);
}

const std::string_view end_of_track("\x00\xFF\x2F\x00", 4);

// A track's bytes as they come, in blocks that stay where they are.
struct byte_block {
    std::unique_ptr<char[]> bytes;
    size_t size = 0;
};
constexpr size_t block_bytes = 65536;

// A track: head's bytes, then body's, then the end of the track.
void add_chunk(td_midi_bytes& out, const std::string& head, const std::vector<byte_block>& body)
{
    size_t size = head.size() + end_of_track.size();
    for (const byte_block& block : body)
        size += block.size;
    std::string start = "MTrk";
    put_number(start, static_cast<uint32_t>(size), 4);
    out.made.push_back(start + head);
    out.pieces.push_back(out.made.back());
    for (const byte_block& block : body)
        out.pieces.emplace_back(block.bytes.get(), block.size);
    out.pieces.push_back(end_of_track);
}

// lround's value: half away from zero. The fraction left by the truncation
// is exact.
int32_t round_half_away(double x)
{
    const auto whole = static_cast<int64_t>(x);
    const double fraction = x - static_cast<double>(whole);
    return static_cast<int32_t>(whole + (fraction >= 0.5 ? 1 : fraction <= -0.5 ? -1 : 0));
}

struct change {
    int64_t tick;
    int32_t period;
    int32_t volume;
};

// The changes of one sample's notes on one tracker channel, from the end
// of each note until its track has written them; changes[i] is number
// base + i, and those before head are written.
struct change_store {
    std::vector<change> changes;
    int64_t base = 0;
    size_t head = 0;
};

// A placed note on its MIDI channel c, with what the channel has heard of
// it so far.
struct voice {
    vex_note note;  // first_change and changes: those not written yet
    int64_t start_tick, end_tick, next_tick;
    change_store* store;
    uint8_t c;
    bool started = false, sounding = false, done = false;
    int32_t volume = 0, period = 0, key = 0;
};

struct track {
    int32_t sample;
    std::vector<int32_t> channels;  // tracker channels, in order of first use
    std::vector<uint32_t> first_tick;  // the events at tick 0, each kind in order
    std::vector<byte_block> body;      // the events after tick 0
    int64_t at = 0;                    // the tick of the last event in body
    std::vector<voice> waiting;        // placed, by start; those before next_waiting play
    size_t next_waiting = 0;
    std::vector<voice> playing;        // by start, then channel
    int64_t next_playing = never;      // the earliest next tick of those playing
};

}  // namespace

struct td_midi_writer {
    td_note_names names;
    int32_t rate = 44100;
    change_store stores[32][tracker_channels];  // by sample, tracker channel
    int32_t track_of[32][tracker_channels];     // index in tracks, or -1
    uint8_t c_of[32][tracker_channels];
    std::vector<int32_t> tracks_of_sample[32];
    std::vector<track> tracks;
    std::vector<double> pitches;  // by period
    std::vector<uint64_t> bends;  // recent bend values: key, period, then the value
    std::vector<uint32_t> tick_events[3];  // one tick's events by kind
};

namespace {

double pitch_of(const td_midi_writer& w, int32_t period)
{
    return period < cached_periods ? w.pitches[static_cast<size_t>(period)]
                                   : td_note_pitch(period);
}

// A tick's events by kind: off, control, on.
using by_kind = std::vector<uint32_t>*;

void expression(const voice& v, by_kind out)
{
    out[order_control].push_back(event(order_control, 0xB0 | v.c, 11, clamp7(2 * v.volume)));
}

int32_t bend_value(double pitch, int32_t key)
{
    return std::clamp(8192 + round_half_away((pitch - key) * 8192.0 / bend_range), 0, 16383);
}

// The value of a bend to period from key: a vibrato goes over few of them.
int32_t bend_value(td_midi_writer& w, int32_t period, int32_t key)
{
    if (period >= cached_periods)
        return bend_value(td_note_pitch(period), key);
    const uint64_t tag = static_cast<uint64_t>(key) << 12 | static_cast<uint64_t>(period);
    uint64_t& slot = w.bends[(tag ^ tag >> 7) & (w.bends.size() - 1)];
    if (slot >> 16 != tag + 1) {
        const auto value = static_cast<uint64_t>(bend_value(pitch_of(w, period), key));
        slot = (tag + 1) << 16 | value;
    }
    return static_cast<int32_t>(slot & 0xFFFF);
}

void bend(td_midi_writer& w, const voice& v, int32_t period, by_kind out)
{
    const int32_t value = bend_value(w, period, v.key);
    out[order_control].push_back(event(order_control, 0xE0 | v.c, value & 0x7F, value >> 7));
}

void key_on(td_midi_writer& w, voice& v, int32_t period, by_kind out)
{
    v.key = std::clamp(round_half_away(pitch_of(w, period)), 0, 127);
    bend(w, v, period, out);
    out[order_on].push_back(event(order_on, 0x90 | v.c, v.key, std::clamp(2 * v.volume, 1, 127)));
    v.sounding = true;
}

void key_off(voice& v, by_kind out)
{
    if (v.sounding)
        out[order_off].push_back(event(order_off, 0x80 | v.c, v.key, 0));
    v.sounding = false;
}

// A period of 0 or below holds the voice where it is: no pitch to show.
void apply(td_midi_writer& w, voice& v, const change& c, by_kind out)
{
    if (c.volume != v.volume) {
        v.volume = c.volume;
        expression(v, out);
    }
    if (c.period <= 0 || c.period == v.period)
        return;
    v.period = c.period;
    const double pitch = pitch_of(w, c.period);
    if (v.sounding && std::fabs(pitch - v.key) <= bend_range) {
        bend(w, v, c.period, out);
        return;
    }
    key_off(v, out);
    key_on(w, v, c.period, out);
}

// The voice's events at tick, which is its next.
void play(td_midi_writer& w, voice& v, int64_t tick, by_kind out)
{
    if (!v.started) {
        v.started = true;
        v.volume = v.note.volume;
        v.period = v.note.period;
        expression(v, out);
        if (v.note.period > 0)
            key_on(w, v, v.note.period, out);
    }
    change_store& s = *v.store;
    if (v.note.changes > 0) {
        const size_t first = static_cast<size_t>(v.note.first_change - s.base);
        const change* c = s.changes.data() + first;
        const change* const end = c + v.note.changes;
        for (; c != end && c->tick == tick; ++c)
            apply(w, v, *c, out);
        const auto done = static_cast<int32_t>(c - (s.changes.data() + first));
        v.note.first_change += done;
        v.note.changes -= done;
        s.head = std::max(s.head, first + static_cast<size_t>(done));
        if (c != end) {
            v.next_tick = c->tick;
            return;
        }
    }
    if (v.end_tick == tick) {
        key_off(v, out);
        v.done = true;
    }
    v.next_tick = v.end_tick;
}

char* put_varlen(char* p, uint64_t value)
{
    if (value < 0x80) {
        *p++ = static_cast<char>(value);
        return p;
    }
    std::string bytes;
    put_varlen(bytes, value);
    for (const char b : bytes)
        *p++ = b;
    return p;
}

// Room for most bytes at the end of the track's body.
byte_block& room(track& t, size_t most)
{
    if (t.body.empty() || t.body.back().size + most > block_bytes) {
        t.body.emplace_back();
        t.body.back().bytes = std::make_unique_for_overwrite<char[]>(std::max(block_bytes, most));
    }
    return t.body.back();
}

// One tick's events into the track, off first, then controls, then on.
void write_tick(track& t, int64_t tick, const std::vector<uint32_t>* events)
{
    const size_t count = events[0].size() + events[1].size() + events[2].size();
    if (count == 0)
        return;
    if (tick == 0) {
        for (int kind = 0; kind < 3; kind++)
            t.first_tick.insert(t.first_tick.end(), events[kind].begin(), events[kind].end());
        return;
    }
    byte_block& block = room(t, 10 + 4 * count);
    char* const start = block.bytes.get() + block.size;
    char* p = put_varlen(start, static_cast<uint64_t>(tick - t.at));
    t.at = tick;
    bool first = true;
    for (int kind = 0; kind < 3; kind++)
        for (const uint32_t e : events[kind]) {
            if (!first)
                *p++ = 0;  // no time since the one before
            first = false;
            p[0] = static_cast<char>(e >> 16);
            p[1] = static_cast<char>(e >> 8);
            p[2] = static_cast<char>(e);
            p += 3;
        }
    block.size += static_cast<size_t>(p - start);
}

// Writes the track's events before tick end.
void sweep(td_midi_writer& w, track& t, int64_t end)
{
    for (;;) {
        int64_t tick = t.next_playing;
        if (t.next_waiting < t.waiting.size())
            tick = std::min(tick, t.waiting[t.next_waiting].start_tick);
        if (tick >= end || tick == never)
            break;
        while (t.next_waiting < t.waiting.size() && t.waiting[t.next_waiting].start_tick <= tick)
            t.playing.push_back(t.waiting[t.next_waiting++]);
        for (std::vector<uint32_t>& events : w.tick_events)
            events.clear();
        bool any_done = false;
        int64_t next = never;
        for (voice& v : t.playing) {
            if (v.next_tick == tick) {
                play(w, v, tick, w.tick_events);
                any_done = any_done || v.done;
            }
            if (!v.done)
                next = std::min(next, v.next_tick);
        }
        t.next_playing = next;
        write_tick(t, tick, w.tick_events);
        if (any_done)
            std::erase_if(t.playing, [](const voice& v) { return v.done; });
    }
    if (t.next_waiting == t.waiting.size()) {
        t.waiting.clear();
        t.next_waiting = 0;
    }
}

// The sample's name, or its number where it has none.
std::string track_name(const td_note_names& names, int32_t n)
{
    char number[4];
    std::snprintf(number, sizeof number, "%02d", static_cast<int>(n));
    const std::string& name = names[static_cast<size_t>(n)];
    return name.empty() ? std::string(number) : name;
}

// The events at tick 0 by kind: the name and each channel's bend range
// (registered parameter 0, then none selected) come before the notes'
// controls, after their notes off.
void add_track(td_midi_bytes& out, const td_note_names& names, const track& t)
{
    std::string first;
    for (const uint32_t e : t.first_tick)
        if (order_of(e) == order_off) {
            first += '\0';
            put_event(first, e);
        }
    const std::string name = track_name(names, t.sample);
    first += std::string("\x00\xFF\x03", 3);
    put_varlen(first, name.size());
    first += name;
    const uint8_t rpn[6][2] = {{101, 0}, {100, 0}, {6, bend_range}, {38, 0}, {101, 127},
                               {100, 127}};
    for (size_t k = 0; k < t.channels.size(); k++)
        for (const auto& cc : rpn) {
            first += '\0';
            put_event(first, event(order_control, 0xB0 | midi_channel(k), cc[0], cc[1]));
        }
    for (uint32_t order = order_control; order <= order_on; order++)
        for (const uint32_t e : t.first_tick)
            if (order_of(e) == order) {
                first += '\0';
                put_event(first, e);
            }
    add_chunk(out, first, t.body);
}

void add_tempo_track(td_midi_bytes& out)
{
    add_chunk(out,
              std::string("\x00\xFF\x51\x03", 4) +
                  static_cast<char>(microseconds_per_quarter >> 16) +
                  static_cast<char>((microseconds_per_quarter >> 8) & 0xFF) +
                  static_cast<char>(microseconds_per_quarter & 0xFF),
              {});
}

// The tracker channel's place in its sample's tracks, taken at its first
// note: the sample's last track, or a new one when that is full.
void assign(td_midi_writer& w, int32_t sample, int32_t channel)
{
    std::vector<int32_t>& own = w.tracks_of_sample[sample];
    if (own.empty() || w.tracks[static_cast<size_t>(own.back())].channels.size() >=
                           static_cast<size_t>(channels_per_track)) {
        own.push_back(static_cast<int32_t>(w.tracks.size()));
        w.tracks.emplace_back();
        w.tracks.back().sample = sample;
    }
    track& t = w.tracks[static_cast<size_t>(own.back())];
    w.track_of[sample][channel] = own.back();
    w.c_of[sample][channel] = midi_channel(t.channels.size());
    t.channels.push_back(channel);
}

std::string midi_of_list(const td_note_list& list, const td_note_names& names, int32_t rate,
                         int32_t only)
{
    td_midi_ptr w = td_midi_start(names, rate);
    for (vex_note note : td_notes_in_order(list)) {
        if (only != 0 && note.sample != only)
            continue;
        td_midi_keep(*w, note, list.changes.data() + note.first_change);
        td_midi_place(*w, note);
    }
    for (int32_t n = 1; n < 32; n++)
        td_midi_settle(*w, n, never);
    const td_midi_bytes bytes = td_midi_file(*w, only);
    std::string file;
    for (const std::string_view piece : bytes.pieces)
        file += piece;
    return file;
}

}  // namespace

void td_midi_writer_free::operator()(td_midi_writer* w) const { delete w; }

td_midi_ptr td_midi_start(const td_note_names& names, int32_t rate)
{
    td_midi_ptr w(new td_midi_writer);
    w->names = names;
    w->rate = rate;
    for (auto& row : w->track_of)
        std::fill(std::begin(row), std::end(row), -1);
    w->pitches.assign(cached_periods, 0.0);
    for (int32_t period = 1; period < cached_periods; period++)
        w->pitches[static_cast<size_t>(period)] = td_note_pitch(period);
    for (std::vector<uint32_t>& events : w->tick_events)
        events.reserve(256);
    w->bends.assign(4096, 0);
    return w;
}

void td_midi_keep(td_midi_writer& w, vex_note& note, const vex_note_change* changes)
{
    change_store& s = w.stores[note.sample & 31][note.channel & (tracker_channels - 1)];
    // The written ones go once they are the larger part.
    if (s.head >= 1024 && 2 * s.head >= s.changes.size()) {
        s.changes.erase(s.changes.begin(), s.changes.begin() + static_cast<std::ptrdiff_t>(s.head));
        s.base += static_cast<int64_t>(s.head);
        s.head = 0;
    }
    note.first_change = static_cast<int32_t>(s.base + static_cast<int64_t>(s.changes.size()));
    for (int32_t i = 0; i < note.changes; i++)
        s.changes.push_back(change{tick_of(changes[i].frame, w.rate), changes[i].period,
                                   changes[i].volume});
}

void td_midi_place(td_midi_writer& w, const vex_note& note)
{
    const int32_t sample = note.sample & 31, channel = note.channel & (tracker_channels - 1);
    if (w.track_of[sample][channel] < 0)
        assign(w, sample, channel);
    voice v;
    v.note = note;
    v.start_tick = tick_of(note.start_frame, w.rate);
    v.end_tick = tick_of(note.end_frame, w.rate);
    v.next_tick = v.start_tick;
    v.store = &w.stores[sample][channel];
    v.c = w.c_of[sample][channel];
    w.tracks[static_cast<size_t>(w.track_of[sample][channel])].waiting.push_back(v);
}

void td_midi_settle(td_midi_writer& w, int32_t n, int64_t frame)
{
    const int64_t end = frame == never ? never : tick_of(frame, w.rate);
    for (const int32_t i : w.tracks_of_sample[n & 31])
        sweep(w, w.tracks[static_cast<size_t>(i)], end);
}

td_midi_bytes td_midi_file(const td_midi_writer& w, int32_t only)
{
    td_midi_bytes out;
    out.made.emplace_back();
    out.pieces.emplace_back();  // the header, once the tracks are counted
    add_tempo_track(out);
    int32_t track_count = 1;
    for (int32_t n = 1; n < 32; n++) {
        if (only != 0 && n != only)
            continue;
        for (const int32_t i : w.tracks_of_sample[n]) {
            add_track(out, w.names, w.tracks[static_cast<size_t>(i)]);
            track_count++;
        }
    }
    std::string& header = out.made.front();
    header = "MThd";
    put_number(header, 6, 4);
    put_number(header, 1, 2);
    put_number(header, static_cast<uint32_t>(track_count), 2);
    put_number(header, division, 2);
    out.pieces.front() = header;
    for (const std::string_view piece : out.pieces)
        out.size += piece.size();
    return out;
}

std::string td_notes_midi(const td_note_list& list, const td_note_names& names, int32_t rate)
{
    return midi_of_list(list, names, rate, 0);
}

std::string td_notes_midi_of_sample(const td_note_list& list, const td_note_names& names,
                                    int32_t rate, int32_t n)
{
    return midi_of_list(list, names, rate, n);
}

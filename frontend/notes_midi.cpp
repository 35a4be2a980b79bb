// The MIDI writer. A note's events are made when the sweep of its track
// reaches their tick, from the note and its changes, so a track holds
// events only as bytes. At one tick a track has notes off first, then
// controls, then notes on, each kind in the order of the notes (by start,
// then channel) and of the events within a note.
#include "frontend/notes_midi.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
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


int varlen_size(uint64_t value)
{
    int n = 1;
    while (value >= 0x80) {
        value >>= 7;
        n++;
    }
    return n;
}

void put_varlen(char* p, uint64_t value, int size)
{
    if (size == 1) {  // most times between ticks
        *p = static_cast<char>(value);
        return;
    }
    for (int i = size - 1; i >= 0; i--) {
        p[i] = static_cast<char>((value & 0x7F) | (i == size - 1 ? 0 : 0x80));
        value >>= 7;
    }
}

void put_varlen(std::string& out, uint64_t value)
{
    const int size = varlen_size(value);
    out.resize(out.size() + static_cast<size_t>(size));
    put_varlen(out.data() + out.size() - size, value, size);
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
    size_t capacity = 0;
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

// What MIDI channel c has heard of a note: before it starts, its volume
// and period are the note's own.
struct heard {
    uint16_t* bends;  // the bends from key, by period
    int32_t volume, period, key = 0;
    uint8_t c;
    bool sounding = false;
};

// A placed note on its MIDI channel.
struct voice {
    heard h;
    int64_t start_tick, end_tick, next_tick;
    int64_t first_change;  // the first not written yet, numbered as in store
    int32_t changes;       // those not written yet
    change_store* store;
    // While a sweep plays the voice, its changes not written yet: the store
    // is not added to until the sweep is over.
    const change* next = nullptr;
    const change* last = nullptr;
    bool started = false, done = false;
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

// A bend to a period from a key: known, within the bend range, and its
// value in the low 14 bits.
constexpr uint16_t bend_known = 0x8000, bend_near = 0x4000;

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
    std::vector<uint8_t> keys;    // by period: the nearest key
    // By key, made at its first use: its bends by period (0: not made yet).
    std::unique_ptr<uint16_t[]> bends[128];
    // One tick's notes off and on, kept aside until its controls are in.
    std::vector<uint8_t> offs, ons;
    // The ticks of recent frames, by frame modulo their count: the notes
    // of every channel change at the same few frames.
    int64_t frames[1024], ticks[1024];
};

namespace {

int32_t nearest_key(double pitch) { return std::clamp(round_half_away(pitch), 0, 127); }

int32_t key_of(const td_midi_writer& w, int32_t period)
{
    return period < cached_periods ? w.keys[static_cast<size_t>(period)]
                                   : nearest_key(td_note_pitch(period));
}

int32_t bend_value(double pitch, int32_t key)
{
    return std::clamp(8192 + round_half_away((pitch - key) * 8192.0 / bend_range), 0, 16383);
}

uint16_t make_bend(double pitch, int32_t key)
{
    const bool near = std::fabs(pitch - key) <= bend_range;
    return static_cast<uint16_t>(bend_known | (near ? bend_near : 0) | bend_value(pitch, key));
}

uint16_t* bends_of(td_midi_writer& w, int32_t key)
{
    std::unique_ptr<uint16_t[]>& table = w.bends[key];
    if (!table)
        table = std::make_unique<uint16_t[]>(cached_periods);
    return table.get();
}

// The bend to period (above 0) from the voice's key: a vibrato goes over
// few of them.
uint16_t new_bend(const td_midi_writer& w, uint16_t* bends, int32_t key, int32_t period)
{
    if (period >= cached_periods)
        return make_bend(td_note_pitch(period), key);
    return bends[period] = make_bend(w.pitches[static_cast<size_t>(period)], key);
}

inline uint16_t bend_of(const td_midi_writer& w, uint16_t* bends, int32_t key, int32_t period)
{
    if (period < cached_periods && bends[period] != 0)
        return bends[period];
    return new_bend(w, bends, key, period);
}

// Where a track's events at one tick go, each as four bytes (no time since
// the one before, then the event): the controls straight into the track's
// last block, after room for the tick's time, the notes off and on aside
// until the tick is over. There is room for steps more steps of a voice:
// its start, one change, or its end. Kept by value, so that the compiler
// may hold it in registers while bytes are stored.
struct tick_out {
    char* start;     // the tick's first byte
    char* controls;  // the first control's: its time is the tick's last byte
    char* at;        // the next control's
    uint8_t* off;    // the next note off's
    uint8_t* on;     // the next note on's
    int32_t steps;
};

// A step takes at most this many bytes: 8 of controls, 4 of notes off, 4
// of notes on.
constexpr size_t step_bytes = 16;

template <typename Byte>
Byte* put(Byte* p, int status, int a, int b)
{
    p[0] = 0;
    p[1] = static_cast<Byte>(status);
    p[2] = static_cast<Byte>(a);
    p[3] = static_cast<Byte>(b);
    return p + 4;
}

// The two controls a change of a note makes, on MIDI channel c: its
// expression (CC 11, volume x 2) and its bend (14 bits, low 7 first).
template <typename Byte>
Byte* put_expression(Byte* p, int c, int32_t volume)
{
    return put(p, 0xB0 | c, 11, clamp7(2 * volume));
}

template <typename Byte>
Byte* put_bend(Byte* p, int c, uint16_t value)
{
    return put(p, 0xE0 | c, value & 0x7F, (value >> 7) & 0x7F);
}

void new_block(track& t, size_t capacity)
{
    t.body.emplace_back();
    t.body.back().bytes = std::make_unique_for_overwrite<char[]>(capacity);
    t.body.back().capacity = capacity;
}

// Room for more steps: a new block for the tick when its block is full,
// more room aside when that is.
tick_out grown(td_midi_writer& w, track& t, tick_out o)
{
    const auto off_used = static_cast<size_t>(o.off - w.offs.data());
    const auto on_used = static_cast<size_t>(o.on - w.ons.data());
    const auto tick_used = static_cast<size_t>(o.at - o.start);
    const size_t after = tick_used + off_used + on_used + 4 * step_bytes;
    const byte_block& block = t.body.back();
    if (static_cast<size_t>(o.start - block.bytes.get()) + after > block.capacity) {
        new_block(t, std::max(block_bytes, 2 * after));
        char* const start = t.body.back().bytes.get();
        std::memcpy(start, o.start, tick_used);
        o.controls = start + (o.controls - o.start);
        o.at = start + tick_used;
        o.start = start;
    }
    if (w.offs.size() - off_used < 4 * step_bytes)
        w.offs.resize(2 * w.offs.size() + 4 * step_bytes);
    if (w.ons.size() - on_used < 4 * step_bytes)
        w.ons.resize(2 * w.ons.size() + 4 * step_bytes);
    o.off = w.offs.data() + off_used;
    o.on = w.ons.data() + on_used;
    const byte_block& now = t.body.back();
    const size_t room = now.capacity - static_cast<size_t>(o.start - now.bytes.get()) -
                        tick_used - off_used - on_used;
    o.steps = static_cast<int32_t>(std::min(
        {room / step_bytes, (w.offs.size() - off_used) / 4, (w.ons.size() - on_used) / 4}));
    return o;
}

tick_out start_tick(td_midi_writer& w, track& t, int64_t tick)
{
    if (t.body.empty())
        new_block(t, block_bytes);
    const byte_block& block = t.body.back();
    tick_out o;
    o.start = block.bytes.get() + block.size;
    o.controls = o.at = o.start + varlen_size(static_cast<uint64_t>(tick - t.at)) - 1;
    o.off = w.offs.data();
    o.on = w.ons.data();
    o.steps = 0;
    if (block.capacity - block.size >= 64 * step_bytes)
        o.steps = static_cast<int32_t>(std::min(
            {(block.capacity - block.size) / step_bytes - 1, w.offs.size() / 4, w.ons.size() / 4}));
    return o;
}

// The tick's events into the track: notes off, then controls, then notes
// on. Those at tick 0 wait for the head of the track.
void finish_tick(const td_midi_writer& w, track& t, int64_t tick, const tick_out& o)
{
    const uint8_t* const offs = w.offs.data();
    const uint8_t* const ons = w.ons.data();
    const auto off_bytes = static_cast<size_t>(o.off - offs);
    const auto control_bytes = static_cast<size_t>(o.at - o.controls);
    const auto on_bytes = static_cast<size_t>(o.on - ons);
    if (off_bytes + control_bytes + on_bytes == 0)
        return;
    if (tick == 0) {
        const auto keep = [&t](uint32_t kind, const void* from, const void* to) {
            for (auto e = static_cast<const uint8_t*>(from); e != to; e += 4)
                t.first_tick.push_back(event(kind, e[1], e[2], e[3]));
        };
        keep(order_off, offs, o.off);
        keep(order_control, o.controls, o.at);
        keep(order_on, ons, o.on);
        return;
    }
    if (off_bytes > 0) {
        std::memmove(o.controls + off_bytes, o.controls, control_bytes);
        std::memcpy(o.controls, offs, off_bytes);
    }
    char* const end = o.controls + off_bytes + control_bytes;
    if (on_bytes > 0)
        std::memcpy(end, ons, on_bytes);
    put_varlen(o.start, static_cast<uint64_t>(tick - t.at),
               static_cast<int>(o.controls - o.start) + 1);
    t.at = tick;
    byte_block& block = t.body.back();
    block.size = static_cast<size_t>(end + on_bytes - block.bytes.get());
}

// One voice's events at one tick. The voice's channel state is a copy of
// its own, which stores of bytes cannot touch.
struct voice_tick {
    td_midi_writer& w;
    track& t;
    tick_out& o;
    heard h;

    // Room for one more step.
    void room()
    {
        if (o.steps == 0)
            o = grown(w, t, o);
        o.steps--;
    }

    void bend(uint16_t value) { o.at = put_bend(o.at, h.c, value); }
    void expression() { o.at = put_expression(o.at, h.c, h.volume); }

    void key_on(int32_t period)
    {
        h.key = key_of(w, period);
        h.bends = bends_of(w, h.key);
        bend(bend_of(w, h.bends, h.key, period));
        o.on = put(o.on, 0x90 | h.c, h.key, std::clamp(2 * h.volume, 1, 127));
        h.sounding = true;
    }

    void key_off()
    {
        if (h.sounding)
            o.off = put(o.off, 0x80 | h.c, h.key, 0);
        h.sounding = false;
    }

    // A period of 0 or below holds the voice where it is: no pitch to show.
    void apply(const change& c)
    {
        if (c.volume != h.volume) {
            h.volume = c.volume;
            expression();
        }
        if (c.period <= 0 || c.period == h.period)
            return;
        h.period = c.period;
        if (h.sounding) {
            const uint16_t value = bend_of(w, h.bends, h.key, c.period);
            if (value & bend_near) {
                bend(value);
                return;
            }
        }
        key_off();
        key_on(c.period);
    }
};

// The voice's changes by pointer while a sweep plays it.
void resolve(voice& v)
{
    const change_store& s = *v.store;
    v.next = s.changes.data() + (v.first_change - s.base);
    v.last = v.next + v.changes;
}

// Back to numbers: the store may then drop what the voice has written.
void unresolve(voice& v)
{
    change_store& s = *v.store;
    const auto written = static_cast<size_t>(v.next - s.changes.data());
    v.first_change = s.base + static_cast<int64_t>(written);
    v.changes = static_cast<int32_t>(v.last - v.next);
    s.head = std::max(s.head, written);
}

// The voice's events at tick, which is its next.
void play(td_midi_writer& w, track& t, voice& v, int64_t tick, tick_out& o)
{
    voice_tick at{w, t, o, v.h};
    if (!v.started) {
        at.room();
        v.started = true;
        at.expression();
        if (at.h.period > 0)
            at.key_on(at.h.period);
    }
    const change* c = v.next;
    for (; c != v.last && c->tick == tick; ++c) {
        at.room();
        at.apply(*c);
    }
    v.next = c;
    if (c != v.last) {
        v.h = at.h;
        v.next_tick = c->tick;
        return;
    }
    if (v.end_tick == tick) {
        at.room();
        at.key_off();
        v.done = true;
        unresolve(v);
    }
    v.h = at.h;
    v.next_tick = v.end_tick;
}

// The bend of the voice's change at tick, if it is what most are: a lone
// change before its last tick, which bends the key it sounds or changes
// the expression alone. 0 for none; false if the change is another kind.
inline bool quick(const td_midi_writer& w, const voice& v, int64_t tick, uint16_t* bend)
{
    // Every voice a quick tick finds has started: voices join at their
    // start, which is no quick tick.
    const change* const c = v.next;
    if (tick == v.end_tick || (c + 1 != v.last && c[1].tick == tick))
        return false;
    *bend = 0;
    if (c->period <= 0 || c->period == v.h.period)
        return true;
    if (!v.h.sounding)
        return false;
    *bend = bend_of(w, v.h.bends, v.h.key, c->period);
    return (*bend & bend_near) != 0;
}

// A voice's lone change, both of its controls written and the pointer
// moved on only past those it has.
inline char* put_quick(char* p, voice& v, uint16_t bend)
{
    const change& c = *v.next;
    if (c.volume != v.h.volume) {
        v.h.volume = c.volume;
        p = put_expression(p, v.h.c, c.volume);
    }
    if (bend != 0) {
        v.h.period = c.period;
        p = put_bend(p, v.h.c, bend);
    }
    ++v.next;
    v.next_tick = v.next != v.last ? v.next->tick : v.end_tick;
    return p;
}

// The track's ticks before limit whose steps are all quick, each tick's
// time straight before its events in the track's block. A tick is written
// as its voices come; when one of them is not quick, those before it go
// back to where the tick found them. False if there was none.
bool play_quick(td_midi_writer& w, track& t, int64_t limit)
{
    constexpr size_t most_voices = 64;
    const size_t voices = t.playing.size();
    if (voices > most_voices)
        return false;
    const size_t most = 10 + 8 * voices;  // the time, two controls a voice
    if (t.body.empty())
        new_block(t, std::max(block_bytes, 2 * most));
    byte_block* block = &t.body.back();
    char* p = block->bytes.get() + block->size;
    int64_t at = t.at;
    int64_t tick = t.next_playing;
    bool any = false;
    struct before {
        int32_t volume, period;
    } was[most_voices];
    for (; tick < limit && tick != 0; any = true) {
        if (block->capacity - static_cast<size_t>(p - block->bytes.get()) < most) {
            block->size = static_cast<size_t>(p - block->bytes.get());
            new_block(t, std::max(block_bytes, 2 * most));
            block = &t.body.back();
            p = block->bytes.get();
        }
        // The tick's time goes over its first event's.
        const auto delta = static_cast<uint64_t>(tick - at);
        const int size = delta < 0x80 ? 1 : varlen_size(delta);
        char* const start = p;
        p += size - 1;
        int64_t next = never;
        uint64_t moved = 0;
        for (size_t k = 0; k < voices; k++) {
            voice& v = t.playing[k];
            if (v.next_tick == tick) {
                uint16_t bend;
                if (!quick(w, v, tick, &bend)) {
                    for (size_t j = 0; j < k; j++) {
                        if (moved & (uint64_t{1} << j)) {
                            voice& back = t.playing[j];
                            --back.next;
                            back.next_tick = tick;
                            back.h.volume = was[j].volume;
                            back.h.period = was[j].period;
                        }
                    }
                    p = start;
                    goto done;
                }
                was[k] = {v.h.volume, v.h.period};
                moved |= uint64_t{1} << k;
                p = put_quick(p, v, bend);
            }
            next = std::min(next, v.next_tick);
        }
        if (p == start + size - 1) {
            p = start;
        } else {
            put_varlen(start, delta, size);
            at = tick;
        }
        tick = next;
    }
done:
    block->size = static_cast<size_t>(p - block->bytes.get());
    t.at = at;
    t.next_playing = tick;
    return any;
}

// The same for a voice alone in its track, its state held in registers.
bool play_alone(td_midi_writer& w, track& t, voice& v, int64_t limit)
{
    constexpr size_t most = 10 + 8;  // the time, two controls
    if (!v.started)
        return false;
    const change* c = v.next;
    const change* const last = v.last;
    heard h = v.h;
    int64_t at = t.at;
    if (t.body.empty())
        new_block(t, block_bytes);
    byte_block* block = &t.body.back();
    char* p = block->bytes.get() + block->size;
    char* room_end = block->bytes.get() + block->capacity - most;
    for (; c != last; ++c) {
        const int64_t tick = c->tick;
        if (tick >= limit || tick == v.end_tick || tick == 0 ||
            (c + 1 != last && c[1].tick == tick))
            break;
        const int32_t period = c->period, volume = c->volume;
        const bool bends = period > 0 && period != h.period;
        uint16_t bend = 0;
        if (bends) {
            if (!h.sounding)
                break;
            bend = bend_of(w, h.bends, h.key, period);
            if (!(bend & bend_near))
                break;
            h.period = period;
        }
        const bool loudness = volume != h.volume;
        if (!loudness && !bends)
            continue;
        if (p > room_end) {
            block->size = static_cast<size_t>(p - block->bytes.get());
            new_block(t, block_bytes);
            block = &t.body.back();
            p = block->bytes.get();
            room_end = p + block->capacity - most;
        }
        const auto delta = static_cast<uint64_t>(tick - at);
        const int size = delta < 0x80 ? 1 : varlen_size(delta);
        char* const start = p;
        p += size - 1;
        if (loudness) {
            h.volume = volume;
            p = put_expression(p, h.c, volume);
        }
        if (bends)
            p = put_bend(p, h.c, bend);
        put_varlen(start, delta, size);
        at = tick;
    }
    block->size = static_cast<size_t>(p - block->bytes.get());
    t.at = at;
    const bool any = c != v.next;
    v.h = h;
    v.next = c;
    v.next_tick = c != last ? c->tick : v.end_tick;
    t.next_playing = v.next_tick;
    return any;
}

int64_t next_start(const track& t)
{
    return t.next_waiting < t.waiting.size() ? t.waiting[t.next_waiting].start_tick : never;
}

// Writes the track's events before tick end.
void sweep(td_midi_writer& w, track& t, int64_t end)
{
    for (voice& v : t.playing)
        resolve(v);
    int64_t starts = next_start(t);
    for (;;) {
        const int64_t tick = std::min(t.next_playing, starts);
        if (tick >= end || tick == never)
            break;
        if (tick < starts && (t.playing.size() == 1
                                  ? play_alone(w, t, t.playing[0], std::min(end, starts))
                                  : play_quick(w, t, std::min(end, starts))))
            continue;
        while (starts <= tick) {
            t.playing.push_back(t.waiting[t.next_waiting++]);
            resolve(t.playing.back());
            starts = next_start(t);
        }
        tick_out o = start_tick(w, t, tick);
        bool any_done = false;
        int64_t next = never;
        for (voice& v : t.playing) {
            if (v.next_tick == tick) {
                play(w, t, v, tick, o);
                any_done = any_done || v.done;
            }
            if (!v.done)
                next = std::min(next, v.next_tick);
        }
        t.next_playing = next;
        finish_tick(w, t, tick, o);
        if (any_done)
            std::erase_if(t.playing, [](const voice& v) { return v.done; });
    }
    for (voice& v : t.playing)
        unresolve(v);
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
    w->keys.assign(cached_periods, 0);
    for (int32_t period = 1; period < cached_periods; period++)
        w->keys[static_cast<size_t>(period)] =
            static_cast<uint8_t>(nearest_key(w->pitches[static_cast<size_t>(period)]));
    std::fill(std::begin(w->frames), std::end(w->frames), -1);
    std::fill(std::begin(w->ticks), std::end(w->ticks), tick_of(-1, rate));
    w->offs.resize(4096);
    w->ons.resize(4096);
    return w;
}

void td_midi_keep(td_midi_writer& w, vex_note& note, const vex_note_change* changes)
{
    change_store& s = w.stores[note.sample & 31][note.channel & (tracker_channels - 1)];
    // The written ones go once they are the larger part, early, so that
    // each store stays small enough to be at hand in the cache.
    if (s.head >= 64 && 2 * s.head >= s.changes.size()) {
        s.changes.erase(s.changes.begin(), s.changes.begin() + static_cast<std::ptrdiff_t>(s.head));
        s.base += static_cast<int64_t>(s.head);
        s.head = 0;
    }
    note.first_change = static_cast<int32_t>(s.base + static_cast<int64_t>(s.changes.size()));
    for (int32_t i = 0; i < note.changes; i++) {
        const int64_t frame = changes[i].frame;
        const size_t k = static_cast<size_t>(frame) & 1023;
        if (w.frames[k] != frame) {
            w.frames[k] = frame;
            w.ticks[k] = tick_of(frame, w.rate);
        }
        s.changes.push_back(change{w.ticks[k], changes[i].period, changes[i].volume});
    }
}

void td_midi_place(td_midi_writer& w, const vex_note& note)
{
    const int32_t sample = note.sample & 31, channel = note.channel & (tracker_channels - 1);
    if (w.track_of[sample][channel] < 0)
        assign(w, sample, channel);
    voice v;
    v.first_change = note.first_change;
    v.changes = note.changes;
    v.h.volume = note.volume;
    v.h.period = note.period;
    v.start_tick = tick_of(note.start_frame, w.rate);
    v.end_tick = tick_of(note.end_frame, w.rate);
    v.next_tick = v.start_tick;
    v.store = &w.stores[sample][channel];
    v.h.c = w.c_of[sample][channel];
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

// The MIDI writer. A note is made into its events as it ends. They wait,
// each with its tick, in a list of its tracker channel's for its sample
// until every note that could come before them has ended, and are then
// merged by tick into the bytes of the sample's track. At one tick a track
// has its channels' events channel after channel, in the order their MIDI
// channels were handed out, and each channel's in the order they happened:
// events on different MIDI channels do not depend on each other's order.
#include "frontend/notes_midi.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <utility>
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
// Events waiting, over every list, before merging them is worth a look at
// the running notes: few looks, and lists that stay at hand in the cache.
constexpr size_t settle_events = 16384;

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

char* put_varlen(char* p, uint64_t value)
{
    const int size = varlen_size(value);
    for (int i = size - 1; i >= 0; i--) {
        p[i] = static_cast<char>((value & 0x7F) | (i == size - 1 ? 0 : 0x80));
        value >>= 7;
    }
    return p + size;
}

void put_varlen(std::string& out, uint64_t value)
{
    char bytes[10];
    out.append(bytes, static_cast<size_t>(put_varlen(bytes, value) - bytes));
}

// An event as it waits in its list: its tick in the high half, its three
// bytes in the low one above a byte left for the time before it, and the
// status without its MIDI channel. A render is below 2^31 frames at 8000
// a second or more, so its ticks fit the half.
uint64_t waiting_event(int64_t tick, int status, int a, int b)
{
    return static_cast<uint64_t>(tick) << 32 | static_cast<uint64_t>(b) << 24 |
           static_cast<uint64_t>(a) << 16 | static_cast<uint64_t>(status) << 8;
}

int64_t tick_of_event(uint64_t e) { return static_cast<int64_t>(e >> 32); }

// After the last event of a list: a tick no event has.
constexpr uint64_t list_end = ~uint64_t{0};
constexpr int64_t list_end_tick = 0xFFFFFFFF;

// The event's bytes in the file: the time before it, status, data.
void store_event(char* p, uint32_t bytes)
{
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(p, &bytes, 4);
    } else {
        for (int i = 0; i < 4; i++)
            p[i] = static_cast<char>(bytes >> (8 * i));
    }
}

// An event with no time before it, at the head of a track.
void put_head_event(std::string& out, int status, int a, int b)
{
    const char bytes[4] = {0, static_cast<char>(status), static_cast<char>(a),
                           static_cast<char>(b)};
    out.append(bytes, 4);
}

const std::string_view end_of_track("\x00\xFF\x2F\x00", 4);

// A track's bytes as they come, in blocks that stay where they are.
struct byte_block {
    char* bytes;
    size_t size = 0;
    size_t capacity = 0;
};
constexpr size_t block_bytes = 65536;

// The tracks' blocks are cut from slabs of 2 MiB, which the system may
// back with huge pages: megabytes of events then cost a few page faults
// rather than one every 4 KiB, each of which costs more than the events
// written into the page.
constexpr size_t slab_bytes = size_t{2} << 20;

#if defined(__linux__)
// huge: the pages may be huge ones, for a slab that will be filled.
char* map_slab(bool huge)
{
    // Small pages need no alignment; a huge page needs the slab aligned to
    // its size: twice the size is mapped, then the aligned part kept.
    const size_t span = huge ? 2 * slab_bytes : slab_bytes;
    void* const p = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        throw std::bad_alloc();
    if (!huge)
        return static_cast<char*>(p);
    const auto start = reinterpret_cast<uintptr_t>(p);
    const uintptr_t aligned = (start + slab_bytes - 1) & ~(slab_bytes - 1);
    if (aligned > start)
        munmap(p, aligned - start);
    if (start + span > aligned + slab_bytes)
        munmap(reinterpret_cast<void*>(aligned + slab_bytes), start + span - aligned - slab_bytes);
    madvise(reinterpret_cast<void*>(aligned), slab_bytes, MADV_HUGEPAGE);
    return reinterpret_cast<char*>(aligned);
}

void unmap_slab(char* slab) { munmap(slab, slab_bytes); }
#else
char* map_slab(bool) { return new char[slab_bytes](); }
void unmap_slab(char* slab) { delete[] slab; }
#endif

struct slab_unmap {
    void operator()(char* slab) const { unmap_slab(slab); }
};

// A track's first block comes from the heap, whose pages are made only as
// they are written: most tracks of a short render hold less than a block.
// A track that needs more takes its blocks from the slabs.
struct byte_arena {
    std::vector<std::unique_ptr<char[]>> first_blocks;
    std::vector<std::unique_ptr<char, slab_unmap>> slabs;
    size_t used = slab_bytes;  // of the last slab

    char* take(size_t bytes, bool first)
    {
        if (first) {
            first_blocks.push_back(std::make_unique_for_overwrite<char[]>(bytes));
            return first_blocks.back().get();
        }
        if (slab_bytes - used < bytes) {
            slabs.emplace_back(map_slab(true));
            used = 0;
        }
        char* const block = slabs.back().get() + used;
        used += bytes;
        return block;
    }
};

// An event takes at most this many bytes: a time of five, three of event;
// room for one is room for another at the same tick too.
constexpr size_t most_event_bytes = 8;
constexpr size_t room_bytes = most_event_bytes + 4;

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
        out.pieces.emplace_back(block.bytes, block.size);
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

// One tracker channel's events of one sample: those from head to end wait
// to be merged into the track.
struct event_list {
    std::vector<uint64_t> events;
    size_t head = 0, end = 0;
    uint32_t channel_bits = 0;  // the MIDI channel, where the status has it
};

struct track {
    byte_arena* arena;
    int32_t sample;
    std::vector<int32_t> channels;     // tracker channels, in order of first use
    std::vector<uint32_t> first_tick;  // the events at tick 0, as they go in the file
    std::vector<byte_block> body;      // the events after tick 0
    int64_t at = 0;                    // the tick of the last event in body
    bool sorted = false;               // the last merge ended in sorting
};

// A bend to a period from a key: its event as it waits in a list, less the
// tick, with the low byte saying that it is known and whether it lies
// within the bend range.
constexpr uint32_t bend_known = 1, bend_near = 2;
constexpr uint8_t unknown_key = 0xFF;  // keys are 0..127

}  // namespace

struct td_midi_writer {
    td_note_names names;
    int32_t rate = 44100;
    byte_arena arena;  // the tracks' bytes
    event_list lists[32][tracker_channels];  // by sample, tracker channel
    int32_t track_of[32][tracker_channels];  // index in tracks, or -1
    std::vector<int32_t> tracks_of_sample[32];
    std::vector<track> tracks;
    uint32_t unplaced[32] = {};  // by sample: bit c, channel c waits for its track
    uint32_t samples_waiting = 0;  // bit n: sample n has events waiting
    size_t kept_since_settled = 0;  // events
    std::vector<uint64_t> sorting;  // room to sort a track's events in
    uint8_t keys[cached_periods];    // by period: the nearest key, once known
    // By key, then period: the bend, once made (0: not made yet). A slab
    // that comes zeroed, whose few pages used are made as they are first
    // used.
    std::unique_ptr<char, slab_unmap> bends{map_slab(false)};
    // The ticks of recent frames, by frame modulo their count: the notes
    // of every channel change at the same few frames.
    struct frame_tick {
        int64_t frame, tick;
    } frame_ticks[1024];
};

namespace {

int32_t nearest_key(double pitch) { return std::clamp(round_half_away(pitch), 0, 127); }

// The nearest key to period (above 0), kept by the writer once known: a
// song plays few periods.
int32_t key_of(td_midi_writer& w, int32_t period)
{
    if (period >= cached_periods)
        return nearest_key(td_note_pitch(period));
    uint8_t& key = w.keys[period];
    if (key == unknown_key)
        key = static_cast<uint8_t>(nearest_key(td_note_pitch(period)));
    return key;
}

int32_t bend_value(double pitch, int32_t key)
{
    return std::clamp(8192 + round_half_away((pitch - key) * 8192.0 / bend_range), 0, 16383);
}

uint32_t make_bend(double pitch, int32_t key)
{
    const bool near = std::fabs(pitch - key) <= bend_range;
    const int32_t value = bend_value(pitch, key);
    return static_cast<uint32_t>(waiting_event(0, 0xE0, value & 0x7F, (value >> 7) & 0x7F)) |
           bend_known | (near ? bend_near : 0);
}

uint32_t* bends_of(td_midi_writer& w, int32_t key)
{
    static_assert(128 * cached_periods * sizeof(uint32_t) == slab_bytes);
    return reinterpret_cast<uint32_t*>(w.bends.get()) + static_cast<size_t>(key) * cached_periods;
}

// The bend to period (above 0) from the voice's key: a vibrato goes over
// few of them.
uint32_t new_bend(uint32_t* bends, int32_t key, int32_t period)
{
    if (period >= cached_periods)
        return make_bend(td_note_pitch(period), key);
    return bends[period] = make_bend(td_note_pitch(period), key);
}

inline uint32_t bend_of(uint32_t* bends, int32_t key, int32_t period)
{
    if (period < cached_periods && bends[period] != 0)
        return bends[period];
    return new_bend(bends, key, period);
}

int64_t tick_at(td_midi_writer& w, int64_t frame)
{
    const size_t k = static_cast<size_t>(frame) & 1023;
    td_midi_writer::frame_tick& known = w.frame_ticks[k];
    if (known.frame != frame)
        known = {frame, tick_of(frame, w.rate)};
    return known.tick;
}

// The bends of a voice that sounds no key: none is known.
const uint32_t no_bends[cached_periods] = {};

// One note's events as it goes, from its start to its end.
struct note_events {
    td_midi_writer& w;
    uint64_t* at;  // the next event's place in the list
    int32_t volume, period, key = 0;
    uint32_t* bends = nullptr;
    bool sounding = false;

    void put(int64_t tick, int status, int a, int b) { *at++ = waiting_event(tick, status, a, b); }
    void expression(int64_t tick) { put(tick, 0xB0, 11, clamp7(2 * volume)); }
    void bend(int64_t tick, uint32_t bend) { *at++ = static_cast<uint64_t>(tick) << 32 | (bend & ~0xFFu); }

    void key_on(int64_t tick)
    {
        key = key_of(w, period);
        bends = bends_of(w, key);
        bend(tick, bend_of(bends, key, period));
        put(tick, 0x90, key, std::clamp(2 * volume, 1, 127));
        sounding = true;
    }

    void key_off(int64_t tick)
    {
        if (sounding)
            put(tick, 0x80, key, 0);
        sounding = false;
    }

    void start(int64_t tick)
    {
        expression(tick);
        if (period > 0)
            key_on(tick);
    }

    // The note's changes. Most change the expression or bend the sounding
    // key within its range: those are made here with the state in locals,
    // which the stores of events cannot touch; the rest by change.
    void play(const vex_note_change* changes, int32_t count)
    {
        uint64_t* out = at;
        int32_t now_volume = volume, now_period = period;
        const uint32_t* near = sounding ? bends : no_bends;
        for (int32_t i = 0; i < count; i++) {
            const vex_note_change& c = changes[i];
            const int64_t tick = tick_at(w, c.frame);
            const uint64_t high = static_cast<uint64_t>(tick) << 32;
            if (c.volume != now_volume) {
                now_volume = c.volume;
                *out++ = high | waiting_event(0, 0xB0, 11, clamp7(2 * now_volume));
            }
            if (c.period <= 0 || c.period == now_period)
                continue;
            const uint32_t bend = c.period < cached_periods ? near[c.period] : 0;
            if (bend & bend_near) {
                now_period = c.period;
                *out++ = high | (bend & ~0xFFu);
                continue;
            }
            at = out;
            volume = now_volume;
            period = now_period;
            change(tick, c.period, now_volume);
            out = at;
            now_period = period;
            near = sounding ? bends : no_bends;
        }
        at = out;
        volume = now_volume;
        period = now_period;
    }

    // A period of 0 or below holds the voice where it is: no pitch to show.
    void change(int64_t tick, int32_t new_period, int32_t new_volume)
    {
        if (new_volume != volume) {
            volume = new_volume;
            expression(tick);
        }
        if (new_period <= 0 || new_period == period)
            return;
        period = new_period;
        if (sounding) {
            const uint32_t value = bend_of(bends, key, period);
            if (value & bend_near) {
                bend(tick, value);
                return;
            }
        }
        key_off(tick);
        key_on(tick);
    }
};

// Room in the list for more events after its end; those merged go first.
uint64_t* room(event_list& l, size_t more)
{
    if (l.head > 0 && l.head == l.end) {
        l.head = l.end = 0;
    } else if (l.head >= 4096 && 2 * l.head >= l.end) {
        std::copy(l.events.begin() + static_cast<std::ptrdiff_t>(l.head),
                  l.events.begin() + static_cast<std::ptrdiff_t>(l.end), l.events.begin());
        l.end -= l.head;
        l.head = 0;
    }
    if (l.events.size() < l.end + more)
        l.events.resize(std::max(2 * l.events.size(), l.end + more));
    return l.events.data() + l.end;
}

// The end of a track's bytes, where its next events go. The loops that
// write keep it in locals, so that their stores of bytes do not make the
// compiler load it again.
struct body_end {
    char* p;
    char* last;  // the last place an event may start without a new block
};

body_end new_block(track& t)
{
    t.body.emplace_back();
    byte_block& block = t.body.back();
    block.bytes = t.arena->take(block_bytes, t.body.size() == 1);
    block.capacity = block_bytes;
    return {block.bytes, block.bytes + block_bytes - room_bytes};
}

body_end end_of_body(track& t)
{
    if (t.body.empty())
        return new_block(t);
    byte_block& block = t.body.back();
    return {block.bytes + block.size, block.bytes + block.capacity - room_bytes};
}

void close_body(track& t, const char* p)
{
    t.body.back().size = static_cast<size_t>(p - t.body.back().bytes);
}

// An event after a longer time: kept out of the loops that write events.
[[gnu::noinline]] char* put_event_after(char* p, uint64_t delta, uint32_t bytes)
{
    p = put_varlen(p, delta);
    p[0] = static_cast<char>(bytes >> 8);
    p[1] = static_cast<char>(bytes >> 16);
    p[2] = static_cast<char>(bytes >> 24);
    return p + 3;
}

// The event into the track's bytes after the one at tick at.
inline char* put_event(char* p, int64_t& at, uint64_t e, uint32_t channel_bits)
{
    const int64_t tick = tick_of_event(e);
    const auto delta = static_cast<uint64_t>(tick - at);
    at = tick;
    const uint32_t bytes = static_cast<uint32_t>(e) | channel_bits;
    if (delta >= 0x80)  // most times between events are shorter
        return put_event_after(p, delta, bytes);
    store_event(p, bytes | static_cast<uint32_t>(delta));
    return p + 4;
}

// The events at tick 0 wait for the head of the track, after its name and
// its channels' bend range.
void put_first_tick(track& t, event_list& l)
{
    for (; l.head != l.end && tick_of_event(l.events[l.head]) == 0; l.head++)
        t.first_tick.push_back(static_cast<uint32_t>(l.events[l.head]) | l.channel_bits);
}

// Events into the track's bytes, their ticks counted from where at's is.
void put_events(track& t, body_end& b, int64_t& at_tick, const uint64_t* e, size_t n,
                uint32_t channel_bits)
{
    // A local the stores of bytes cannot touch.
    int64_t at = at_tick;
    while (n > 0) {
        if (b.p > b.last) {
            close_body(t, b.p);
            b = new_block(t);
        }
        const size_t fits = static_cast<size_t>(b.last - b.p) / most_event_bytes + 1;
        const size_t m = std::min(n, fits);
        char* p = b.p;
        for (size_t i = 0; i < m; i++)
            p = put_event(p, at, e[i], channel_bits);
        b.p = p;
        e += m;
        n -= m;
    }
    at_tick = at;
}

// The waiting events of a track's lists before the limit: from each list
// its first ones, with the ticks of the first and the last.
struct taken_events {
    event_list* list;
    size_t count;
    int64_t first, last;
};

// The events of lists in runs, each of the events of the list whose next
// event comes first (at one tick, of the list first in the track) up to
// the next event of another, found by halving: most often one list has
// events, or lists take turns (a channel takes the sample up as another
// leaves it). Runs kept short by lists that play at once are left, with
// what follows them, for sorting: false then, with each list's count of
// events left.
bool put_runs(track& t, taken_events* taken, size_t count)
{
    // Fewer tries where the track's channels played at once the last time.
    const int short_runs = t.sorted ? 4 : 32;
    body_end out = end_of_body(t);
    int64_t at = t.at;
    int shorts = 0;
    while (shorts < short_runs) {
        size_t first = count, second = count;
        int64_t first_tick = never, second_tick = never;
        for (size_t k = 0; k < count; k++) {
            if (taken[k].count == 0)
                continue;
            const event_list& l = *taken[k].list;
            const int64_t tick = tick_of_event(l.events[l.head]);
            if (tick < first_tick) {
                second = first;
                second_tick = first_tick;
                first = k;
                first_tick = tick;
            } else if (tick < second_tick) {
                second = k;
                second_tick = tick;
            }
        }
        if (first == count)
            break;
        event_list& l = *taken[first].list;
        const uint64_t* const from = l.events.data() + l.head;
        const bool goes_first = first < second;
        const uint64_t* const to =
            std::partition_point(from, from + taken[first].count, [&](uint64_t e) {
                const int64_t tick = tick_of_event(e);
                return tick < second_tick || (goes_first && tick == second_tick);
            });
        const auto n = static_cast<size_t>(to - from);
        put_events(t, out, at, from, n, l.channel_bits);
        l.head += n;
        taken[first].count -= n;
        if (taken[first].count > 0)
            taken[first].first = tick_of_event(*to);
        shorts = n <= 2 ? shorts + 1 : 0;
    }
    close_body(t, out.p);
    t.at = at;
    t.sorted = shorts == short_runs;
    return !t.sorted;
}

// Each pass of the sort cuts the events into this many stripes, each with
// counts of its own, and moves one event of each in turn: the events of one
// tick, which go one after another to the same place, then wait on each
// other's stores only once a turn.
constexpr size_t stripes = 4;
constexpr size_t most_digits = 2048;

// One pass of the sort: in's n events to out, kept in order within each
// digit at shift.
void sort_pass(const uint64_t* in, uint64_t* out, size_t n, int shift, uint64_t mask,
               uint32_t (&place)[stripes][most_digits])
{
    // Stripe s is in[s * per ..], the last one with the rest as well.
    const size_t per = n / stripes;
    for (uint32_t* p : place)
        std::fill_n(p, mask + 1, 0u);
    for (size_t i = 0; i < per; i++)
        for (size_t s = 0; s < stripes; s++)
            place[s][(in[s * per + i] >> shift) & mask]++;
    for (size_t i = stripes * per; i < n; i++)
        place[stripes - 1][(in[i] >> shift) & mask]++;
    uint32_t sum = 0;
    for (size_t d = 0; d <= mask; d++)
        for (uint32_t* p : place)
            sum += std::exchange(p[d], sum);
    for (size_t i = 0; i < per; i++)
        for (size_t s = 0; s < stripes; s++) {
            const uint64_t e = in[s * per + i];
            out[place[s][(e >> shift) & mask]++] = e;
        }
    for (size_t i = stripes * per; i < n; i++)
        out[place[stripes - 1][(in[i] >> shift) & mask]++] = in[i];
}

// The events of lists that play at once, in the order of their ticks, and
// at one tick list after list: the lists' events one list after the other,
// sorted by tick a digit at a time, each pass keeping the order of the one
// before. Sorting takes no guesses of the processor's, where taking the
// earliest of the lists' next events takes one at every step.
void put_sorted(td_midi_writer& w, track& t, const taken_events* taken, size_t count)
{
    size_t n = 0;
    int64_t first = never, last = 0;
    for (size_t k = 0; k < count; k++) {
        if (taken[k].count == 0)
            continue;
        n += taken[k].count;
        first = std::min(first, taken[k].first);
        last = std::max(last, taken[k].last);
    }
    if (n == 0)
        return;
    if (w.sorting.size() < 2 * n)
        w.sorting.resize(2 * n);
    uint64_t* in = w.sorting.data();
    uint64_t* out = in + n;
    // Ticks from the first: the digits are then the low bits of the high
    // half.
    const uint64_t from_first = static_cast<uint64_t>(first) << 32;
    uint64_t* at = in;
    for (size_t k = 0; k < count; k++) {
        event_list& l = *taken[k].list;
        const uint64_t* const from = l.events.data() + l.head;
        const uint64_t channel_bits = l.channel_bits;
        for (size_t i = 0; i < taken[k].count; i++)
            at[i] = (from[i] - from_first) | channel_bits;
        at += taken[k].count;
        l.head += taken[k].count;
    }
    const int bits = std::bit_width(static_cast<uint64_t>(last - first));
    const int passes = (bits + 10) / 11;
    const int digit = passes > 0 ? (bits + passes - 1) / passes : 0;
    const uint64_t mask = (uint64_t{1} << digit) - 1;
    uint32_t place[stripes][most_digits];
    for (int pass = 0; pass < passes; pass++) {
        sort_pass(in, out, n, 32 + pass * digit, mask, place);
        std::swap(in, out);
    }
    body_end b = end_of_body(t);
    int64_t at_tick = t.at - first;
    put_events(t, b, at_tick, in, n, 0);
    close_body(t, b.p);
    t.at = at_tick + first;
}

// The track's events before limit into its bytes.
void merge(td_midi_writer& w, track& t, int64_t limit)
{
    if (limit <= 0)
        return;
    limit = std::min(limit, list_end_tick);
    taken_events taken[channels_per_track];  // by channel
    size_t count = 0;
    for (const int32_t ch : t.channels) {
        event_list& l = w.lists[t.sample][ch];
        put_first_tick(t, l);
        const uint64_t* const from = l.events.data() + l.head;
        const uint64_t* const to =
            std::partition_point(from, from + (l.end - l.head),
                                 [limit](uint64_t e) { return tick_of_event(e) < limit; });
        if (to != from)
            taken[count++] = {&l, static_cast<size_t>(to - from), tick_of_event(*from),
                              tick_of_event(to[-1])};
    }
    if (!put_runs(t, taken, count))
        put_sorted(w, t, taken, count);
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
        w.tracks.back().arena = &w.arena;
        w.tracks.back().sample = sample;
    }
    track& t = w.tracks[static_cast<size_t>(own.back())];
    w.track_of[sample][channel] = own.back();
    w.lists[sample][channel].channel_bits = uint32_t{midi_channel(t.channels.size())} << 8;
    t.channels.push_back(channel);
}

// The channels whose first note of the sample starts before limit get
// their place, in the order their notes start (then by channel).
void place_channels(td_midi_writer& w, int32_t n, int64_t limit)
{
    while (w.unplaced[n] != 0) {
        int32_t first = -1;
        int64_t first_tick = limit;
        for (uint32_t bits = w.unplaced[n]; bits != 0; bits &= bits - 1) {
            const int ch = std::countr_zero(bits);
            const event_list& l = w.lists[n][ch];
            const int64_t tick = tick_of_event(l.events[l.head]);
            if (tick < first_tick) {
                first = ch;
                first_tick = tick;
            }
        }
        if (first < 0)
            return;
        assign(w, n, first);
        w.unplaced[n] &= ~(uint32_t{1} << first);
    }
}

void settle_sample(td_midi_writer& w, int32_t n, int64_t limit)
{
    place_channels(w, n, limit);
    for (const int32_t i : w.tracks_of_sample[n])
        merge(w, w.tracks[static_cast<size_t>(i)], limit);
    bool waiting = w.unplaced[n] != 0;
    for (const event_list& l : w.lists[n])
        waiting = waiting || l.head != l.end;
    if (!waiting)
        w.samples_waiting &= ~(uint32_t{1} << n);
}

// The sample's name, or its number where it has none.
std::string track_name(const td_note_names& names, int32_t n)
{
    char number[4];
    std::snprintf(number, sizeof number, "%02d", static_cast<int>(n));
    const std::string& name = names[static_cast<size_t>(n)];
    return name.empty() ? std::string(number) : name;
}

// At tick 0: the name, each channel's bend range (registered parameter 0,
// then none selected), then the notes' events.
void add_track(td_midi_bytes& out, const td_note_names& names, const track& t)
{
    std::string first;
    const std::string name = track_name(names, t.sample);
    first += std::string("\x00\xFF\x03", 3);
    put_varlen(first, name.size());
    first += name;
    const uint8_t rpn[6][2] = {{101, 0}, {100, 0}, {6, bend_range}, {38, 0}, {101, 127},
                               {100, 127}};
    for (size_t k = 0; k < t.channels.size(); k++)
        for (const auto& cc : rpn)
            put_head_event(first, 0xB0 | midi_channel(k), cc[0], cc[1]);
    for (const uint32_t e : t.first_tick)
        put_head_event(first, (e >> 8) & 0xFF, (e >> 16) & 0xFF, e >> 24);
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

std::string midi_of_list(const td_note_list& list, const td_note_names& names, int32_t rate,
                         int32_t only)
{
    td_midi_ptr w = td_midi_start(names, rate);
    for (const vex_note& note : td_notes_in_order(list))
        if (only == 0 || note.sample == only)
            td_midi_keep(*w, note, list.changes.data() + note.first_change);
    td_midi_settle(*w, td_midi_nothing_runs);
    const td_midi_bytes bytes = td_midi_file(*w, only);
    std::string file;
    for (const std::string_view piece : bytes.pieces)
        file += piece;
    return file;
}

}  // namespace

void td_midi_writer_free::operator()(td_midi_writer* w) const { delete w; }

int64_t td_midi_nothing_runs(int32_t) { return never; }

td_midi_ptr td_midi_start(const td_note_names& names, int32_t rate)
{
    td_midi_ptr w(new td_midi_writer);
    w->names = names;
    w->rate = rate;
    for (auto& row : w->track_of)
        std::fill(std::begin(row), std::end(row), -1);
    std::fill(std::begin(w->keys), std::end(w->keys), unknown_key);
    std::fill(std::begin(w->frame_ticks), std::end(w->frame_ticks),
              td_midi_writer::frame_tick{-1, tick_of(-1, rate)});
    return w;
}

void td_midi_keep(td_midi_writer& w, const vex_note& note, const vex_note_change* changes)
{
    const int32_t sample = note.sample & 31, channel = note.channel & (tracker_channels - 1);
    if (sample == 0)
        return;
    event_list& l = w.lists[sample][channel];
    // Three events at the start, four at a change (a key off and on, its
    // bend and expression), one at the end, and the list's end.
    uint64_t* const first = room(l, 5 + 4 * static_cast<size_t>(std::max(note.changes, 0)));
    note_events e{w, first, note.volume, note.period};
    e.start(tick_at(w, note.start_frame));
    e.play(changes, note.changes);
    e.key_off(tick_at(w, note.end_frame));
    *e.at = list_end;
    const auto added = static_cast<size_t>(e.at - first);
    l.end += added;
    w.kept_since_settled += added;
    w.samples_waiting |= uint32_t{1} << sample;
    if (w.track_of[sample][channel] < 0)
        w.unplaced[sample] |= uint32_t{1} << channel;
}

bool td_midi_worth_settling(const td_midi_writer& w)
{
    return w.kept_since_settled >= settle_events;
}

void td_midi_settle(td_midi_writer& w, int64_t (*running_from)(int32_t))
{
    w.kept_since_settled = 0;
    for (uint32_t samples = w.samples_waiting; samples != 0; samples &= samples - 1) {
        const int32_t n = std::countr_zero(samples);
        const int64_t frame = running_from(n);
        settle_sample(w, n, frame == never ? never : tick_of(frame, w.rate));
    }
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

#include "frontend/notes_midi.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <queue>
#include <vector>

namespace {

// 960 ticks a quarter at 500000 microseconds a quarter: the tempo every
// reader assumes anyway.
constexpr int32_t division = 960;
constexpr int32_t microseconds_per_quarter = 500000;
constexpr int64_t ticks_per_second = 1920;
constexpr int32_t bend_range = 24;  // semitones either way
constexpr int32_t channels_per_track = 15;

struct event {
    int64_t tick;
    int32_t order;  // at one tick: notes off, then controls, then notes on
    std::vector<uint8_t> bytes;
    int64_t made = 0;  // events made before it
};

enum : int32_t { order_off = 0, order_control = 1, order_on = 2 };

int64_t tick_of(int64_t frame, int32_t rate)
{
    return (frame * 2 * ticks_per_second + rate) / (2 * static_cast<int64_t>(rate));
}

uint8_t clamp7(int32_t v) { return static_cast<uint8_t>(std::clamp(v, 0, 127)); }

// The MIDI channels a track hands out: all but 10, the drums.
uint8_t midi_channel(size_t k) { return static_cast<uint8_t>(k < 9 ? k : k + 1); }

void put_number(std::string& out, uint32_t value, int bytes)
{
    for (int i = bytes - 1; i >= 0; i--)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

void put_varlen(std::string& out, uint64_t value)
{
    uint8_t bytes[10];
    int n = 0;
    do {
        bytes[n++] = static_cast<uint8_t>(value & 0x7F);
        value >>= 7;
    } while (value != 0);
    while (n > 1)
        out += static_cast<char>(bytes[--n] | 0x80);
    out += static_cast<char>(bytes[0]);
}

// A track's events in order of tick, then of kind, then of making, written
// as they become final: no later note starts before the tick it is told.
class event_queue {
public:
    explicit event_queue(td_midi_chunks& out) : out_(out) { out_.start_chunk(); }

    void push(event e)
    {
        e.made = made_++;
        pending_.push(std::move(e));
    }

    // Every event before tick is final.
    void write_before(int64_t tick)
    {
        std::string bytes;
        while (!pending_.empty() && pending_.top().tick < tick) {
            const event& e = pending_.top();
            put_varlen(bytes, static_cast<uint64_t>(e.tick - at_));
            at_ = e.tick;
            bytes.append(e.bytes.begin(), e.bytes.end());
            pending_.pop();
        }
        if (!bytes.empty())
            out_.put(bytes);
    }

    void finish()
    {
        write_before(INT64_MAX);
        out_.put(std::string("\x00\xFF\x2F\x00", 4));
        out_.end_chunk();
    }

private:
    struct later {
        bool operator()(const event& a, const event& b) const
        {
            if (a.tick != b.tick)
                return a.tick > b.tick;
            return a.order != b.order ? a.order > b.order : a.made > b.made;
        }
    };
    td_midi_chunks& out_;
    std::priority_queue<event, std::vector<event>, later> pending_;
    int64_t made_ = 0;
    int64_t at_ = 0;
};

// Chunks into one string, each length known once its chunk is complete.
struct string_chunks : td_midi_chunks {
    std::string text;
    size_t length_at = 0;
    void start_chunk() override
    {
        text += "MTrk";
        length_at = text.size();
        text += std::string(4, '\0');
    }
    void put(const std::string& bytes) override { text += bytes; }
    void end_chunk() override
    {
        std::string length;
        put_number(length, static_cast<uint32_t>(text.size() - length_at - 4), 4);
        text.replace(length_at, 4, length);
    }
};

std::vector<uint8_t> meta(uint8_t type, const std::string& text)
{
    std::vector<uint8_t> bytes{0xFF, type};
    std::string length;
    put_varlen(length, text.size());
    bytes.insert(bytes.end(), length.begin(), length.end());
    bytes.insert(bytes.end(), text.begin(), text.end());
    return bytes;
}

// One tracker channel's notes on MIDI channel c of a track.
class channel_writer {
public:
    channel_writer(event_queue& events, uint8_t c, int32_t rate)
        : events_(events), c_(c), rate_(rate)
    {
        // Bend range by registered parameter 0, then no parameter selected.
        const uint8_t rpn[6][2] = {{101, 0}, {100, 0}, {6, bend_range}, {38, 0}, {101, 127},
                                   {100, 127}};
        for (const auto& cc : rpn)
            add(0, order_control, {static_cast<uint8_t>(0xB0 | c_), cc[0], cc[1]});
    }

    void note(const vex_note& n, const vex_note_change* changes)
    {
        volume_ = n.volume;
        period_ = n.period;
        expression(n.start_frame, n.volume);
        if (n.period > 0)
            key_on(n.start_frame, td_note_pitch(n.period));
        for (int32_t i = 0; i < n.changes; i++)
            change(changes[i]);
        key_off(n.end_frame);
    }

private:
    void add(int64_t frame, int32_t order, std::vector<uint8_t> bytes)
    {
        events_.push(event{tick_of(frame, rate_), order, std::move(bytes)});
    }

    void expression(int64_t frame, int32_t volume)
    {
        add(frame, order_control, {static_cast<uint8_t>(0xB0 | c_), 11, clamp7(2 * volume)});
    }

    void bend(int64_t frame, double pitch)
    {
        const int32_t value = std::clamp(
            8192 + static_cast<int32_t>(std::lround((pitch - key_) * 8192.0 / bend_range)), 0,
            16383);
        add(frame, order_control,
            {static_cast<uint8_t>(0xE0 | c_), static_cast<uint8_t>(value & 0x7F),
             static_cast<uint8_t>(value >> 7)});
    }

    void key_on(int64_t frame, double pitch)
    {
        key_ = std::clamp(static_cast<int32_t>(std::lround(pitch)), 0, 127);
        bend(frame, pitch);
        const uint8_t velocity = static_cast<uint8_t>(std::clamp(2 * volume_, 1, 127));
        add(frame, order_on,
            {static_cast<uint8_t>(0x90 | c_), static_cast<uint8_t>(key_), velocity});
        sounding_ = true;
    }

    void key_off(int64_t frame)
    {
        if (sounding_)
            add(frame, order_off, {static_cast<uint8_t>(0x80 | c_), static_cast<uint8_t>(key_), 0});
        sounding_ = false;
    }

    // A period of 0 or below holds the voice where it is: no pitch to show.
    void change(const vex_note_change& c)
    {
        if (c.volume != volume_) {
            volume_ = c.volume;
            expression(c.frame, c.volume);
        }
        if (c.period <= 0 || c.period == period_)
            return;
        period_ = c.period;
        const double pitch = td_note_pitch(c.period);
        if (sounding_ && std::fabs(pitch - key_) <= bend_range) {
            bend(c.frame, pitch);
            return;
        }
        key_off(c.frame);
        key_on(c.frame, pitch);
    }

    event_queue& events_;
    uint8_t c_;
    int32_t rate_;
    int32_t volume_ = 0;
    int32_t period_ = 0;
    int32_t key_ = 0;
    bool sounding_ = false;
};

std::string tempo_track()
{
    string_chunks out;
    event_queue events(out);
    events.push(event{0, order_control,
                      {0xFF, 0x51, 0x03, static_cast<uint8_t>(microseconds_per_quarter >> 16),
                       static_cast<uint8_t>(microseconds_per_quarter >> 8),
                       static_cast<uint8_t>(microseconds_per_quarter)}});
    events.finish();
    return out.text;
}

// A track of one sample's notes on the given tracker channels.
void sample_track(const td_note_walk& walk, int32_t n, const std::string& name,
                  const std::vector<int32_t>& channels, int32_t rate, td_midi_chunks& out)
{
    event_queue events(out);
    events.push(event{0, order_control, meta(0x03, name)});
    std::vector<channel_writer> writers;
    for (size_t k = 0; k < channels.size(); k++)
        writers.emplace_back(events, midi_channel(k), rate);
    walk(n, [&](const vex_note& note, const vex_note_change* changes) {
        const auto at = std::find(channels.begin(), channels.end(), note.channel);
        if (at == channels.end())
            return;
        events.write_before(tick_of(note.start_frame, rate));
        writers[static_cast<size_t>(at - channels.begin())].note(note, changes);
    });
    events.finish();
}

// The sample's name, or its number where it has none.
std::string track_name(const td_note_names& names, int32_t n)
{
    char number[4];
    std::snprintf(number, sizeof number, "%02d", static_cast<int>(n));
    const std::string& name = names[static_cast<size_t>(n)];
    return name.empty() ? std::string(number) : name;
}

// The notes of a list in order, as a walk.
td_note_walk walk_of(const std::vector<vex_note>& ordered, const td_note_list& list)
{
    return [&ordered, &list](int32_t n, const td_note_visit& visit) {
        for (const vex_note& note : ordered)
            if (n == 0 || note.sample == n)
                visit(note, list.changes.data() + note.first_change);
    };
}

std::string midi_file(const td_note_list& list, const td_note_names& names, int32_t rate,
                      int32_t only)
{
    const std::vector<vex_note> ordered = td_notes_in_order(list);
    const td_note_walk walk = walk_of(ordered, list);
    string_chunks tracks;
    int32_t track_count = 1;
    for (int32_t n = 1; n < 32; n++)
        if (only == 0 || n == only)
            track_count += td_midi_sample_tracks(walk, names, rate, n, tracks);
    return td_midi_header(track_count) + tracks.text;
}

}  // namespace

int32_t td_midi_sample_tracks(const td_note_walk& walk, const td_note_names& names,
                              int32_t rate, int32_t n, td_midi_chunks& out)
{
    std::vector<int32_t> used;
    walk(n, [&used](const vex_note& note, const vex_note_change*) {
        if (std::find(used.begin(), used.end(), note.channel) == used.end())
            used.push_back(note.channel);
    });
    int32_t count = 0;
    for (size_t first = 0; first < used.size(); first += channels_per_track) {
        const size_t last = std::min(used.size(), first + channels_per_track);
        const std::vector<int32_t> group(used.begin() + static_cast<std::ptrdiff_t>(first),
                                         used.begin() + static_cast<std::ptrdiff_t>(last));
        sample_track(walk, n, track_name(names, n), group, rate, out);
        count++;
    }
    return count;
}

std::string td_midi_header(int32_t tracks)
{
    std::string file = "MThd";
    put_number(file, 6, 4);
    put_number(file, 1, 2);
    put_number(file, static_cast<uint32_t>(tracks), 2);
    put_number(file, division, 2);
    return file + tempo_track();
}

std::string td_notes_midi(const td_note_list& list, const td_note_names& names, int32_t rate)
{
    return midi_file(list, names, rate, 0);
}

std::string td_notes_midi_of_sample(const td_note_list& list, const td_note_names& names,
                                    int32_t rate, int32_t n)
{
    return midi_file(list, names, rate, n);
}

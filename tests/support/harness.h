// Test harness: loads built modules into a module image and records the
// calls the replayer makes through the driver table.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "driver/sd_main.h"
#include "mixer/sd_mix.h"
#include "player/cool_vex.h"
#include "replayer/pt.h"
#include "tools/modbuilder.h"
#include "tunedump/tunedump.h"

namespace harness {

inline uint8_t image[VEX_IMAGE_BUFFER];

// Copies the bytes into the image (zero past them), as the front end does.
inline void place(const std::vector<uint8_t>& bytes)
{
    std::memset(image, 0, sizeof image);
    std::memcpy(image, bytes.data(), bytes.size() < VEX_IMAGE_SIZE ? bytes.size() : VEX_IMAGE_SIZE);
}

// Fresh player, then loads the module; returns vex_get's result.
inline int32_t load(const mb_module& m, int32_t solo = 0)
{
    vex_init(44100, 4096);
    mix_solosample = solo;
    place(mb_build(m));
    const int32_t ok = vex_get(image);
    mix_solosample = 0;
    samples_left_before_tick = 0;
    vex_start(1);
    return ok;
}

enum class op { select, sample, volume, panning, period, offset };

struct call {
    op what;
    int32_t value;
    bool operator==(const call&) const = default;
};

inline std::vector<call> calls;

inline mix_channel* rec_select(int32_t v) { calls.push_back({op::select, v}); return mix_selectchannel(v); }
inline void rec_sample(int32_t v) { calls.push_back({op::sample, v}); mix_setsample(v); }
inline void rec_volume(int32_t v) { calls.push_back({op::volume, v}); mix_setvolume(v); }
inline void rec_panning(int32_t v) { calls.push_back({op::panning, v}); mix_setpanning(v); }
inline void rec_period(int32_t v) { calls.push_back({op::period, v}); mix_setamigaperiod(v); }
inline void rec_offset(int32_t v) { calls.push_back({op::offset, v}); mix_setoffset(v); }

// Installs the recorders in the per-channel slots; they pass every call on
// to the mixer.
inline void record()
{
    calls.clear();
    sd_selectchannel = rec_select;
    sd_setsample = rec_sample;
    sd_setvolume = rec_volume;
    sd_setpanning = rec_panning;
    sd_setamigaperiod = rec_period;
    sd_setoffset = rec_offset;
}

// Runs one replay tick and returns the calls it made.
inline std::vector<call> tick()
{
    calls.clear();
    pt_play();
    return calls;
}

// What one replay tick sent through the driver table, and where the
// sequencer stood: order position and row of the row the tick played (a
// jump, break or loop changes pt_songpos and pt_rowcount for the rest of the
// row), tick, speed and tempo as the tick left them.
struct tick_record {
    std::vector<call> calls;
    int32_t songpos, row, tick, speed, tempo;
};

inline int32_t played_songpos, played_row;

// On a row's first tick the channel pass selects channel 0 after the
// new-row step and before any effect of the row.
inline mix_channel* rec_select_noting_row(int32_t v)
{
    if (v == 0 && pt_vbcount == 0) {
        played_songpos = pt_songpos;
        played_row = pt_rowcount;
    }
    return rec_select(v);
}

// Loads the module and plays it tick by tick, recording every tick.
inline std::vector<tick_record> play_ticks(const mb_module& m, int ticks)
{
    std::vector<tick_record> out;
    if (load(m) != 1)
        return out;
    record();
    sd_selectchannel = rec_select_noting_row;
    played_songpos = pt_songpos;
    played_row = pt_rowcount;
    for (int i = 0; i < ticks; i++) {
        std::vector<call> cs = tick();
        out.push_back({std::move(cs), played_songpos, played_row, pt_vbcount, pt_vbtempo, pt_bpmtempo});
    }
    return out;
}

// The values of one kind of call made for one channel during one tick.
inline std::vector<int32_t> values(const std::vector<call>& cs, op what, int32_t channel)
{
    std::vector<int32_t> out;
    int32_t selected = -1;
    for (const call& c : cs) {
        if (c.what == op::select)
            selected = c.value;
        else if (c.what == what && selected == channel)
            out.push_back(c.value);
    }
    return out;
}

// The calls made for one channel (select excluded) during one tick.
inline std::vector<call> for_channel(const std::vector<call>& cs, int32_t channel)
{
    std::vector<call> out;
    int32_t selected = -1;
    for (const call& c : cs) {
        if (c.what == op::select)
            selected = c.value;
        else if (selected == channel)
            out.push_back(c);
    }
    return out;
}

// A looped sample of n bytes of the given value.
inline mb_sample flat_sample(size_t n, int8_t value, bool looped)
{
    mb_sample s;
    s.data.assign(n, value);
    if (looped) {
        s.loop_start = 0;
        s.loop_length = static_cast<uint32_t>(n);
    }
    return s;
}

}  // namespace harness

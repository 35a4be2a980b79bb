// The song scan. A state is what the sequencer has as it starts a row: the
// order position, the row and every channel's pattern-loop counter. The
// counters belong to the state so that a row a pattern loop repeats is not
// taken for the song coming round again.
#include <array>
#include <cstring>
#include <set>
#include <vector>

#include "driver/sd_main.h"
#include "player/cool_vex.h"
#include "replayer/pt.h"

namespace {

constexpr int32_t order_entries = 128;

// Position and row in the first word; 4 bits of loop counter per channel in
// the other two (a counter never exceeds 15).
using row_state = std::array<uint64_t, 3>;

std::set<row_state> started_states;
bool position_started[order_entries];
bool about_to_repeat = false;
uint32_t rows_samples = 0;

row_state current_row_state()
{
    row_state state{static_cast<uint64_t>(pt_songpos) << 8 | static_cast<uint64_t>(pt_rowcount),
                    0, 0};
    for (int32_t ch = 0; ch < pt_channels; ch++)
        state[1 + ch / 16] |= static_cast<uint64_t>(pt_pattloop[ch] & 15) << (4 * (ch % 16));
    return state;
}

void note_row_start()
{
    if (!started_states.insert(current_row_state()).second) {
        about_to_repeat = true;
        return;
    }
    position_started[pt_songpos] = true;
    for (int32_t ch = 0; ch < pt_channels; ch++) {
        const int32_t s = pt_lineptr[4 * ch];
        if (s >= 1 && s < pt_maxsamples)
            rows_samples |= 1u << s;
    }
}

// The scan plays without sound: every driver call the loader and the
// sequencer make lands here, and the mixer never hears of it.
mix_channel* silent_select(int32_t) { return nullptr; }
void silent_set(int32_t) {}
void silent_active(int32_t) {}
void silent_reset() {}
int32_t silent_getsample(int32_t, int8_t*, uint32_t, uint32_t, uint32_t, int32_t) { return 1; }

struct driver_slots {
    void (*resetvoices)();
    void (*setactivechannels)(int32_t);
    int32_t (*getsample)(int32_t, int8_t*, uint32_t, uint32_t, uint32_t, int32_t);
    mix_channel* (*selectchannel)(int32_t);
    void (*setsample)(int32_t);
    void (*setvolume)(int32_t);
    void (*setpanning)(int32_t);
    void (*setamigaperiod)(int32_t);
    void (*setoffset)(int32_t);
};

driver_slots install_silent_driver()
{
    const driver_slots saved{sd_resetvoices, sd_setactivechannels, sd_getsample,
                             sd_selectchannel, sd_setsample, sd_setvolume,
                             sd_setpanning, sd_setamigaperiod, sd_setoffset};
    sd_resetvoices = silent_reset;
    sd_setactivechannels = silent_active;
    sd_getsample = silent_getsample;
    sd_selectchannel = silent_select;
    sd_setsample = sd_setvolume = sd_setpanning = sd_setamigaperiod = sd_setoffset = silent_set;
    return saved;
}

void restore_driver(const driver_slots& s)
{
    sd_resetvoices = s.resetvoices;
    sd_setactivechannels = s.setactivechannels;
    sd_getsample = s.getsample;
    sd_selectchannel = s.selectchannel;
    sd_setsample = s.setsample;
    sd_setvolume = s.setvolume;
    sd_setpanning = s.setpanning;
    sd_setamigaperiod = s.setamigaperiod;
    sd_setoffset = s.setoffset;
}

int32_t next_unstarted_position()
{
    const int32_t songlen = pt_songlen < order_entries ? pt_songlen : order_entries;
    for (int32_t p = 0; p < songlen; p++)
        if (!position_started[p])
            return p;
    return -1;
}

// The replayer must not point into the scan's copy once it is gone.
void drop_module()
{
    pt_channels = 0;
    pt_bpmtempo = 0;
    pt_lineptr = nullptr;
}

// Frames of the sequence that starts at order position `start`, played from
// the state right after loading; the rows it starts join the states seen.
int32_t scan_sequence(int32_t start, uint32_t* samples_used)
{
    pt_init();
    pt_songpos = start - 1;
    about_to_repeat = false;
    rows_samples = 0;
    int64_t frames = 0;
    pt_rowstart_hook = note_row_start;
    while (frames < VEX_SONG_FRAMES_MAX) {
        pt_play();
        if (about_to_repeat)
            break;
        frames += vex_tickframes(pt_bpmtempo);
        if (pt_vbtempo == 0)
            break;
    }
    pt_rowstart_hook = nullptr;
    *samples_used |= rows_samples;
    return static_cast<int32_t>(frames < VEX_SONG_FRAMES_MAX ? frames : VEX_SONG_FRAMES_MAX);
}

}  // namespace

int32_t vex_sequences(const uint8_t* image, vex_sequence* sequences, int32_t max)
{
    std::vector<uint8_t> copy(image, image + VEX_IMAGE_BUFFER);
    const driver_slots saved = install_silent_driver();
    int32_t count = 0;
    if (pt_takemod(copy.data()) != 0) {
        started_states.clear();
        std::memset(position_started, 0, sizeof position_started);
        for (int32_t start = 0; start >= 0; start = next_unstarted_position()) {
            uint32_t used = 0;
            const int32_t frames = scan_sequence(start, &used);
            if (count < max)
                sequences[count] = vex_sequence{start, frames, used};
            count++;
        }
        started_states.clear();
    }
    restore_driver(saved);
    drop_module();
    return count;
}

void vex_start_at(int32_t position) { pt_songpos = position - 1; }

// The song scan. A state is what the sequencer has as it starts a row: the
// order position, the row and every channel's pattern-loop counter. The
// counters belong to the state so that a row a pattern loop repeats is not
// taken for the song coming round again.
#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "driver/sd_main.h"
#include "player/cool_vex.h"
#include "replayer/pt.h"

namespace {

constexpr int32_t order_entries = 128;

// Position and row in the first word; 4 bits of loop counter per channel in
// the other two (a counter never exceeds 15).
using row_state = std::array<uint64_t, 3>;

// Who first started a row in a state, and at which of its frames.
struct first_start {
    int32_t sequence;
    int32_t frame;
};

std::map<row_state, first_start> started_states;
bool position_started[order_entries];
bool about_to_repeat = false;
uint32_t rows_samples = 0;
int32_t scanned_sequence = 0;  // the sequence being scanned
int64_t tick_start_frame = 0;  // where the tick being played starts
first_start repeated{};        // the state the sequence came round to
row_state end_state{};
int32_t end_state_starts = 0;  // while played on past the end
int32_t passes_wanted = 1;

row_state current_row_state()
{
    row_state state{static_cast<uint64_t>(pt_songpos) << 8 | static_cast<uint64_t>(pt_rowcount),
                    0, 0};
    for (int32_t ch = 0; ch < pt_channels; ch++)
        state[1 + ch / 16] |= static_cast<uint64_t>(pt_pattloop[ch] & 15) << (4 * (ch % 16));
    return state;
}

void note_row_samples()
{
    for (int32_t ch = 0; ch < pt_channels; ch++) {
        const int32_t s = pt_lineptr[4 * ch];
        if (s >= 1 && s < pt_maxsamples)
            rows_samples |= 1u << s;
    }
}

void note_row_start()
{
    const first_start here{scanned_sequence, static_cast<int32_t>(tick_start_frame)};
    const auto [at, fresh] = started_states.try_emplace(current_row_state(), here);
    if (!fresh) {
        about_to_repeat = true;
        repeated = at->second;
        end_state = at->first;
        return;
    }
    position_started[pt_songpos] = true;
    note_row_samples();
}

// Past the sequence's end nothing joins the states seen, so which positions
// start sequences does not depend on the number of passes.
void note_replayed_row_start()
{
    if (current_row_state() == end_state && ++end_state_starts > passes_wanted) {
        about_to_repeat = true;
        return;
    }
    note_row_samples();
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

int64_t song_frames_cap()
{
    const int64_t cap = static_cast<int64_t>(vex_rate) * VEX_SONG_SECONDS_MAX;
    return cap < INT32_MAX ? cap : INT32_MAX;
}

// Plays ticks from `frames` on until a row start the hook refuses, a tick
// that leaves the speed at 0 (it still counts) or the cap.
int64_t play_ticks(int64_t frames, int64_t cap)
{
    about_to_repeat = false;
    while (frames < cap) {
        tick_start_frame = frames;
        pt_play();
        if (about_to_repeat)
            break;
        frames += vex_tickframes(pt_bpmtempo);
        if (pt_vbtempo == 0)
            break;
    }
    return frames < cap ? frames : cap;
}

// Plays a looping sequence on from its end through passes 2 .. passes_wanted.
// The tick that came round has been played but not counted.
int64_t play_further_passes(int64_t frames, int64_t cap)
{
    note_row_samples();
    frames += vex_tickframes(pt_bpmtempo);
    if (pt_vbtempo == 0 || frames >= cap)
        return frames < cap ? frames : cap;
    end_state_starts = 2;
    pt_rowstart_hook = note_replayed_row_start;
    return play_ticks(frames, cap);
}

// The sequence that starts at order position `start`, played from the
// state right after loading; the rows its first pass starts join the states
// seen.
vex_sequence scan_sequence(int32_t start)
{
    pt_init();
    pt_songpos = start - 1;
    rows_samples = 0;
    const int64_t cap = song_frames_cap();
    pt_rowstart_hook = note_row_start;
    int64_t frames = play_ticks(0, cap);
    const bool loops = about_to_repeat && repeated.sequence == scanned_sequence;
    if (loops && passes_wanted > 1)
        frames = play_further_passes(frames, cap);
    pt_rowstart_hook = nullptr;
    return vex_sequence{start, static_cast<int32_t>(frames), rows_samples,
                        loops ? repeated.frame : -1};
}

}  // namespace

int32_t vex_sequences_looped(const uint8_t* image, vex_sequence* sequences, int32_t max,
                             int32_t loops)
{
    passes_wanted = loops < 1 ? 1 : loops > VEX_MAX_LOOPS ? VEX_MAX_LOOPS : loops;
    std::vector<uint8_t> copy(image, image + VEX_IMAGE_BUFFER);
    const driver_slots saved = install_silent_driver();
    int32_t count = 0;
    if (pt_takemod(copy.data()) != 0) {
        started_states.clear();
        std::memset(position_started, 0, sizeof position_started);
        for (int32_t start = 0; start >= 0; start = next_unstarted_position()) {
            scanned_sequence = count;
            const vex_sequence found = scan_sequence(start);
            if (count < max)
                sequences[count] = found;
            count++;
        }
        started_states.clear();
    }
    restore_driver(saved);
    drop_module();
    return count;
}

int32_t vex_sequences(const uint8_t* image, vex_sequence* sequences, int32_t max)
{
    return vex_sequences_looped(image, sequences, max, 1);
}

void vex_start_at(int32_t position) { pt_songpos = position - 1; }

// The player interface and the render pump that interleaves replay ticks
// with mixing.
#include "player/cool_vex.h"

#include <cstring>
#include <vector>

#include "driver/sd_main.h"
#include "mixer/mix_left.h"
#include "mixer/sd_mix.h"
#include "player/vex_notes.h"
#include "replayer/pt.h"

int32_t laite = 0;
int32_t tix = 0;
int32_t screenHz = 0;
int32_t samples_per_tick = 0;
int32_t samples_left_before_tick = 0;
int32_t vex_rate = 44100;
int64_t vex_frames = 0;

int32_t vex_init(int32_t rate, int32_t frames)
{
    laite = 2;
    if (sd_dsp16_init() == 0)
        return 0;
    callbackcount = 0;
    if (sd_init(rate, frames) == 0)
        return 0;
    vex_rate = rate;
    sd_setmainvolume(64);
    sd_start();
    return 1;
}

int32_t vex_get(uint8_t* image)
{
    pt_rowcount = 0;
    pt_songpos = 0;
    // No row of this module has been played yet.
    pt_lineptr = nullptr;
    if (pt_takemod(image) == 0)
        return 0;
    pt_init();
    // The new module's first tick comes first.
    samples_left_before_tick = 0;
    return 1;
}

int32_t update_samples_per_tick()
{
    // No module loaded: no tempo, and no tick.
    samples_per_tick = pt_bpmtempo > 0 ? vex_tickframes(pt_bpmtempo) : 0;
    return samples_per_tick;
}

void vex_start(int32_t hz)
{
    tix = 1;
    screenHz = hz;
    vex_frames = 0;
    if (pt_bpmtempo > 0)
        samples_per_tick = vex_tickframes(pt_bpmtempo);
}

// Replay ticks interleaved with mixes of wanted frames in all; mix(done, n)
// mixes the n frames from frame done on. False, and nothing mixed, when
// there is nothing to play: a replayer that was never reset has no tempo,
// and a mixer that was never set up has no buses.
template <typename Mix>
static bool pump(int32_t wanted, Mix mix)
{
    if (pt_bpmtempo <= 0 || mix_buses[0].frames <= 0)
        return false;
    int32_t done = 0;
    for (;;) {
        if (samples_left_before_tick <= 0) {
            pt_play();
            vex_notes_tick(vex_frames + done);
            samples_per_tick = vex_tickframes(pt_bpmtempo);
            samples_left_before_tick = samples_per_tick;
        }
        int32_t n = wanted - done;
        if (samples_left_before_tick < n)
            n = samples_left_before_tick;
        // A host that gave vex_init a block smaller than a slow tick gets the
        // tick in several mixes; the result is the same.
        if (mix_buses[0].frames < n)
            n = mix_buses[0].frames;
        mix(done, n);
        samples_left_before_tick -= n;
        done += n;
        if (done >= wanted)
            break;
    }
    vex_frames += wanted;
    return true;
}

void mix_newhand(int32_t, void* destination, int32_t bytes)
{
    const int32_t wanted = bytes / 4;
    if (wanted <= 0)
        return;
    int16_t* frames = static_cast<int16_t*>(destination);
    if (!pump(wanted, [frames](int32_t done, int32_t n) {
            sd_mix_stereo(frames + 2 * done, n, 1);
        }))
        std::memset(frames, 0, static_cast<size_t>(wanted) * 4);
}

void mix_newhand_left(int32_t, void* destination, int32_t bytes)
{
    const int32_t wanted = bytes / 2;
    if (wanted <= 0)
        return;
    int16_t* values = static_cast<int16_t*>(destination);
    // The buses stay as they are set up for the whole call.
    const bool left_only = mix_left_applies();
    const auto mix = [values, left_only](int32_t done, int32_t n) {
        if (left_only) {
            sd_mix_left(values + done, n);
            return;
        }
        // Buses set up otherwise: the left values of the whole stereo mix.
        static std::vector<int16_t> stereo;
        stereo.resize(2 * static_cast<size_t>(n));
        sd_mix_stereo(stereo.data(), n, 1);
        for (int32_t k = 0; k < n; k++)
            values[done + k] = stereo[2 * static_cast<size_t>(k)];
    };
    if (!pump(wanted, mix))
        std::memset(values, 0, static_cast<size_t>(wanted) * 2);
}

void vex_skip(int32_t frames)
{
    if (frames > 0)
        pump(frames, [](int32_t, int32_t n) { sd_mix_skip(n); });
}

void vex_close()
{
    if (laite != 0) {
        sd_stop();
        sd_shutdown();
    }
}

int32_t vex_set_mastervolume(double level)
{
    return sd_setmainvolume(static_cast<int32_t>(level * 63.0));
}

int32_t vex_position() { return pt_rowcount + 100 * pt_songpos; }

int32_t vex_time()
{
    if (vex_rate <= 0)
        return 0;
    return static_cast<int32_t>(vex_frames * 1000 / vex_rate);
}

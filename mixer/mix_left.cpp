#include "mixer/mix_left.h"

#include <cstddef>
#include <vector>

#include "mixer/mix_stems.h"
#include "mixer/sd_mix.h"

namespace {

// The left side of bus 0, one float per frame; all zero between blocks, as
// the output pass clears what it takes.
std::vector<float> left_bus;

void render_left(int ch, float lvol, int32_t frames)
{
    if (!mix_voice_renders(ch))
        return;
    const mix_voicemark mark = mix_markvoice(ch);
    if (sd_c_imixleft_ended(&mix_realchannels[ch], left_bus.data(), frames, lvol))
        mix_voiceranout(ch, mark, frames);
}

void use_left_bus(int32_t frames)
{
    if (left_bus.size() < static_cast<size_t>(frames))
        left_bus.assign(static_cast<size_t>(frames), 0.0f);
}

}  // namespace

bool mix_left_applies()
{
    if (mix_stems_on)
        return false;
    const mix_bus& output = mix_buses[mix_outputbus];
    if (output.inputs[0].source != &mix_buses[0] || output.inputs[1].source != nullptr)
        return false;
    for (int b = 0; b < mix_outputbus; b++)
        if (mix_buses[b].inputs[0].source != nullptr || mix_buses[b].inputs[1].source != nullptr)
            return false;
    for (const mix_sample& sample : mix_samples)
        if (sample.bus != &mix_buses[0])
            return false;
    return true;
}

void sd_mix_left(int16_t* destination, int32_t frames)
{
    mix_mergevoices();
    if (frames <= 0)
        return;
    use_left_bus(frames);
    const int32_t mainvolume = mix_mainvolume;
    for (int ch = 0; ch < mix_activechannels; ch++) {
        const mix_channel& voice = mix_realchannels[ch];
        render_left(ch, mix_leftgain(mainvolume, voice.volume, voice.panning), frames);
    }
    mix_frameclock += frames;
    // The output bus starts cleared and bus 0 is its only input.
    sd_c_takemono32ftos16i(left_bus.data(), mix_buses[mix_outputbus].inputs[0].gain, destination,
                           frames);
}

// A voice rendered with gain 0 adds nothing, but steps, wraps and ends as
// it would have: the state after the block is that of a real mix.
void sd_mix_skip(int32_t frames)
{
    mix_mergevoices();
    if (frames <= 0)
        return;
    use_left_bus(frames);
    for (int ch = 0; ch < mix_activechannels; ch++)
        render_left(ch, 0.0f, frames);
    mix_frameclock += frames;
}

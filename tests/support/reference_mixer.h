// The block mixer and voice loop written the plain way, one frame and one
// value at a time over every bus. Tests render with it and with the real
// mixer and demand identical bits, so the fast paths can never drift.
#pragma once
#include <cmath>
#include <cstdint>
#include <cstring>

#include "mixer/sd_mix.h"

namespace reference {

inline bool advance(mix_channel* v)
{
    const uint32_t old = v->position_fraction;
    v->position += static_cast<uint32_t>(v->step);
    v->position_fraction += v->step_fraction;
    if (v->position_fraction < old)
        v->position += 1;
    if (v->loop_enabled) {
        if (v->position > v->loop_end)
            v->position = v->loop_start + 1;
        return true;
    }
    if (v->position >= v->length) {
        v->position = 0;
        v->step = 0;
        v->step_fraction = 0;
        v->volume = 0;
        return false;
    }
    return true;
}

// Returns true when the one-shot voice ended in this call.
inline bool imixstereo(mix_channel* channel, float* buffer, int32_t frames, float lvol,
                       float rvol)
{
    const double left = lvol;
    const double right = rvol;
    for (int32_t k = 0; k < frames; k++) {
        if (!advance(channel))
            return true;
        const int8_t* point = channel->sample_data + channel->position;
        const int32_t w = static_cast<int32_t>(channel->position_fraction >> 16);
        const double value =
            (static_cast<double>(point[0]) * (65536 - w) + static_cast<double>(point[1]) * w) /
            8388608.0;
        buffer[2 * k] = static_cast<float>(static_cast<double>(buffer[2 * k]) + value * left);
        buffer[2 * k + 1] =
            static_cast<float>(static_cast<double>(buffer[2 * k + 1]) + value * right);
    }
    return false;
}

inline void stereo32ftos16i(const float* source, int16_t* destination, int32_t frames)
{
    for (int32_t k = 0; k < 2 * frames; k++) {
        const double x = source[k];
        if (x > 0.9999)
            destination[k] = 32763;
        else if (x < -0.9999)
            destination[k] = -32763;
        else
            destination[k] = static_cast<int16_t>(std::trunc(x * 32767.0));
    }
}

inline float gain(int32_t mainvolume, int32_t volume, int32_t side)
{
    const uint32_t product = static_cast<uint32_t>(mainvolume) * static_cast<uint32_t>(volume) *
                             static_cast<uint32_t>(side);
    return static_cast<float>((product / 128u) / 63u) / 128.0f;
}

inline void merge(int ch)
{
    mix_channel& control = mix_channels[ch];
    mix_channel& render = mix_realchannels[ch];
    const bool restart = mix_voiceended[ch] && control.position_changed;
    const mix_channel kept = render;
    render = control;
    if (control.position_changed) {
        control.position_changed = 0;
    } else {
        render.position = kept.position;
        render.position_fraction = kept.position_fraction;
    }
    if (control.step_changed) {
        control.step_changed = 0;
    } else {
        render.step = kept.step;
        render.step_fraction = kept.step_fraction;
    }
    if (restart) {
        mix_voiceended[ch] = false;
        render.step = control.step;
        render.step_fraction = control.step_fraction;
    }
}

// One block exactly as the mixer's documented pipeline: merge, clear every
// bus whole, render every voice, sum every bus input, convert bus 7.
inline float* mix_stereo(int16_t* destination, int32_t frames, int32_t convert)
{
    const int32_t n = mix_activechannels;
    for (int ch = 0; ch < n; ch++)
        merge(ch);
    for (mix_bus& bus : mix_buses)
        std::memset(bus.buffer, 0,
                    static_cast<size_t>(bus.frames) * static_cast<size_t>(bus.channels) *
                        sizeof(float));
    const int32_t mainvolume = mix_mainvolume;
    for (int ch = 0; ch < n; ch++) {
        mix_channel& voice = mix_realchannels[ch];
        const float lvol = gain(mainvolume, voice.volume, 255 - voice.panning);
        const float rvol = gain(mainvolume, voice.volume, voice.panning);
        if (voice.length == 0 || sd_mix_interpolation == 0 || mix_voiceended[ch])
            continue;
        float* target = mix_samples[voice.sample_number].bus->buffer;
        if (imixstereo(&voice, target, frames, lvol, rvol))
            mix_voiceended[ch] = true;
    }
    for (mix_bus& bus : mix_buses) {
        for (const mix_bus_input& input : bus.inputs) {
            if (input.source == nullptr)
                continue;
            for (int32_t k = 0; k < 2 * frames; k++)
                bus.buffer[k] = static_cast<float>(static_cast<double>(bus.buffer[k]) +
                                                   static_cast<double>(input.source->buffer[k]) *
                                                       static_cast<double>(input.gain));
        }
    }
    float* output = mix_buses[mix_outputbus].buffer;
    if (convert) {
        stereo32ftos16i(output, destination, frames);
        return nullptr;
    }
    return output;
}

}  // namespace reference

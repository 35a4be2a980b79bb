// The inner loops: 32.32 stepping, one voice into a float bus, float bus to
// clamped 16-bit.
#include <cmath>

#include "mixer/sd_mix.h"

void long_addition(uint32_t* whole, uint32_t* fraction, const int32_t* step_whole,
                   const uint32_t* step_fraction)
{
    *whole += static_cast<uint32_t>(*step_whole);
    const uint32_t old = *fraction;
    *fraction += *step_fraction;
    if (*fraction < old)
        *whole += 1;
}

// Advances one frame and applies the loop or the end. Returns false when a
// one-shot voice has just ended.
static bool advance_voice(mix_channel* v)
{
    long_addition(&v->position, &v->position_fraction, &v->step, &v->step_fraction);
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

bool sd_c_imixstereo_ended(mix_channel* channel, float* buffer, int32_t frames, float lvol,
                           float rvol)
{
    const double left = lvol;
    const double right = rvol;
    for (int32_t k = 0; k < frames; k++) {
        if (!advance_voice(channel))
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

void sd_c_imixstereo(mix_channel* channel, float* buffer, int32_t frames, float lvol, float rvol)
{
    sd_c_imixstereo_ended(channel, buffer, frames, lvol, rvol);
}

void sd_c_stereo32ftos16i(const float* source, int16_t* destination, int32_t frames)
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

static int16_t wrapping_add(int16_t a, int32_t b)
{
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint16_t>(a) +
                                                      static_cast<uint16_t>(b)));
}

void sd_c_imixstereo_tos16i(mix_channel* channel, int16_t* buffer, int32_t frames,
                            float gain1, float gain2)
{
    for (int32_t k = 0; k < frames; k++) {
        if (!advance_voice(channel))
            return;
        const double point = channel->sample_data[channel->position];
        buffer[2 * k] = wrapping_add(buffer[2 * k], static_cast<int16_t>(point * gain1));
        buffer[2 * k + 1] = wrapping_add(buffer[2 * k + 1], static_cast<int16_t>(point * gain2));
    }
}

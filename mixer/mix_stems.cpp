#include "mixer/mix_stems.h"

#include <cstring>
#include <vector>

bool mix_stemused[mix_maxsamples];

namespace {

int16_t* const* targets = nullptr;
int32_t frames_done = 0;               // frames mixed since mix_stems_begin
int32_t filled[mix_maxsamples];        // frames of each target filled so far
std::vector<float> buses[mix_maxsamples];
int32_t written[mix_maxsamples];       // frames of each stem bus written this block
bool right_written[mix_maxsamples];

void silence(int n, int32_t upto)
{
    if (filled[n] < upto)
        std::memset(targets[n] + 2 * filled[n], 0,
                    static_cast<size_t>(upto - filled[n]) * 2 * sizeof(int16_t));
    filled[n] = upto;
}

// Bus 7 of the solo render: cleared, then bus 0 added at the output gain,
// then converted; the rest of the block past what was written is zero.
void convert_stem(int n, int32_t frames)
{
    sd_c_take32ftos16i(buses[n].data(), mix_buses[mix_outputbus].inputs[0].gain,
                       targets[n] + 2 * frames_done, frames, !right_written[n]);
    written[n] = 0;
    right_written[n] = false;
    filled[n] = frames_done + frames;
}

}  // namespace

void mix_stems_begin(int16_t* const* stem_targets)
{
    const size_t room = 2 * static_cast<size_t>(mix_buses[0].frames);
    for (std::vector<float>& bus : buses)
        if (bus.size() < room)
            bus.assign(room, 0.0f);
    targets = stem_targets;
    frames_done = 0;
    for (int32_t& f : filled)
        f = 0;
    mix_stems_on = true;
}

void mix_stems_end(int32_t frames)
{
    for (int n = 1; n < mix_maxsamples; n++)
        if (mix_stemused[n] && targets[n] != nullptr)
            silence(n, frames);
    targets = nullptr;
    mix_stems_on = false;
}

float* mix_stems_voice_bus(const mix_channel& voice, float rvol, int32_t frames)
{
    const int n = voice.sample_number;
    if (targets[n] == nullptr || frames <= 0)
        return nullptr;
    written[n] = frames;
    right_written[n] = right_written[n] || rvol != 0.0f;
    return buses[n].data();
}

void mix_stems_output(int32_t frames)
{
    if (frames <= 0)
        return;
    for (int n = 1; n < mix_maxsamples; n++) {
        if (!mix_stemused[n] || targets[n] == nullptr)
            continue;
        silence(n, frames_done);
        if (written[n] > 0)
            convert_stem(n, frames);
        else
            silence(n, frames_done + frames);
    }
    frames_done += frames;
}

void mix_stems_forget()
{
    for (bool& used : mix_stemused)
        used = false;
}

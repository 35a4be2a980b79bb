// Mixer state, sample registry with solo, control operations, buses and the
// block mixer.
#include "mixer/sd_mix.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "driver/sd_main.h"
#include "mixer/mix_stems.h"

mix_channel mix_channels[mix_maxchannels];
mix_channel mix_realchannels[mix_maxchannels];
mix_channel* curchan = nullptr;
int32_t mix_curchannel = 0;
mix_sample mix_samples[mix_maxsamples];
mix_bus mix_buses[mix_busnum];
int8_t emptysample[emptysample_size];
int32_t mix_solosample = 0;
int32_t mix_mainvolume = 63;
int32_t mix_activechannels = 4;
int32_t sd_mix_rate = 44100;
int32_t sd_mix_interpolation = 1;
bool mix_voiceended[mix_maxchannels];
int64_t mix_frameclock = 0;
int64_t mix_voiceendframe[mix_maxchannels];

constexpr uint32_t amiga_clock = 3546836;

int32_t mix_getsample(int32_t n, int8_t* data, uint32_t length, uint32_t loop_start,
                      uint32_t loop_end, int32_t loop_enabled)
{
    mix_sample& entry = mix_samples[n];
    const bool excluded = mix_solosample != 0 && n != mix_solosample;
    entry.sample_data = excluded ? emptysample : data;
    entry.length = length;
    entry.loop_start = loop_start;
    entry.loop_end = loop_end;
    entry.loop_enabled = loop_enabled;
    return 1;
}

mix_channel* mix_selectchannel(int32_t channel)
{
    mix_curchannel = channel;
    curchan = &mix_channels[channel];
    return curchan;
}

void mix_setsample(int32_t n)
{
    const mix_sample& entry = mix_samples[n];
    curchan->sample_number = n;
    curchan->sample_data = entry.sample_data;
    curchan->length = entry.length;
    curchan->loop_start = entry.loop_start;
    curchan->loop_end = entry.loop_end;
    curchan->loop_enabled = entry.loop_enabled;
    if (entry.length > 0)
        mix_stemused[n] = true;
}

void mix_setvolume(int32_t volume) { curchan->volume = volume; }

void mix_setpanning(int32_t panning) { curchan->panning = panning; }

void mix_setoffset(int32_t offset)
{
    const uint32_t o = static_cast<uint32_t>(offset);
    if (o > curchan->loop_end)
        curchan->loop_enabled = 0;
    if (o < curchan->length) {
        curchan->position = o;
        curchan->position_fraction = 0;
        curchan->position_changed = 1;
    }
}

void mix_setamigaperiod(int32_t period)
{
    // A period of 0 or below (vibrato can swing that low) holds the voice.
    if (period <= 0) {
        curchan->step = 0;
        curchan->step_fraction = 0;
        curchan->step_changed = 1;
        return;
    }
    // A song sends the same few periods over and over, every tick on every
    // channel: each pitch is worked out once (the divisions and the split
    // into whole and fraction cost more than the rest of a silent tick).
    struct pitch {
        int32_t period;
        int32_t rate;
        int32_t step;
        uint32_t step_fraction;
    };
    static pitch known[1024];
    const int32_t r = sd_mix_rate;
    pitch& p = known[period & 1023];
    if (p.period != period || p.rate != r) {
        p.period = period;
        p.rate = r;
        p.step = static_cast<int32_t>((amiga_clock / static_cast<uint32_t>(period)) /
                                      static_cast<uint32_t>(r));
        double whole;
        const double x = static_cast<double>(amiga_clock) /
                         (static_cast<double>(r) * static_cast<double>(period));
        const double f = std::modf(x, &whole);
        p.step_fraction = static_cast<uint32_t>(std::trunc(f * 16777216.0)) << 8;
    }
    curchan->step = p.step;
    curchan->step_fraction = p.step_fraction;
    curchan->step_changed = 1;
}

int32_t mix_setmainvolume(int32_t volume)
{
    if (volume > 252)
        volume = 252;
    if (volume < 0)
        volume = 0;
    mix_mainvolume = volume;
    return volume;
}

void mix_setactivechannels(int32_t count) { mix_activechannels = count; }

// Nothing of an earlier module may sound under, or be read for, the next one:
// its image may be gone.
void mix_resetvoices()
{
    for (int i = 0; i < mix_maxchannels; i++) {
        sd_mix_initchannel(&mix_channels[i]);
        sd_mix_initchannel(&mix_realchannels[i]);
        mix_voiceended[i] = false;
    }
    for (mix_sample& sample : mix_samples)
        sd_mix_initsample(&sample);
    mix_stems_forget();
}

mix_channel* sd_mix_initchannel(mix_channel* channel)
{
    *channel = mix_channel{};
    channel->panning = 127;
    channel->step_changed = 1;
    channel->position_changed = 1;
    return channel;
}

mix_sample* sd_mix_initsample(mix_sample* sample)
{
    *sample = mix_sample{};
    sample->bus = &mix_buses[0];
    return sample;
}

float* mix_bus_init(mix_bus* bus, int32_t frames, int32_t channels)
{
    const size_t count = static_cast<size_t>(frames) * static_cast<size_t>(channels);
    // A player brought up again gets fresh buffers; the old ones go back, so
    // repeated set-ups do not pile up memory.
    std::free(bus->buffer);
    bus->buffer = static_cast<float*>(std::calloc(count, sizeof(float)));
    bus->frames = frames;
    bus->channels = channels;
    // Until the first clear nothing is known about what the buffer holds.
    bus->written = frames;
    bus->sides = mix_left | mix_right;
    for (mix_bus_input& input : bus->inputs)
        input.source = nullptr;
    bus->effects[0] = bus->effects[1] = 0;
    return bus->buffer;
}

void mix_bus_add_input(mix_bus* bus, mix_bus* source, float gain)
{
    for (mix_bus_input& input : bus->inputs) {
        if (input.source == nullptr) {
            input.source = source;
            input.gain = gain;
            return;
        }
    }
}

void mix_bus_add_effect(mix_bus* bus, int32_t effect)
{
    for (int32_t& slot : bus->effects) {
        if (slot == 0) {
            slot = effect;
            return;
        }
    }
}

// Only the frames written since the last clear can be non-zero, so they are
// all that needs clearing for the whole buffer to read zero.
void mix_bus_clear(mix_bus* bus)
{
    if (bus->written > 0)
        std::memset(bus->buffer, 0,
                    static_cast<size_t>(bus->written) * static_cast<size_t>(bus->channels) *
                        sizeof(float));
    bus->written = 0;
    bus->sides = 0;
}

void mix_bus_wrote(mix_bus* bus, int32_t frames, int32_t sides)
{
    if (frames <= 0 || sides == 0)
        return;
    bus->sides |= sides;
    if (frames > bus->written)
        bus->written = frames < bus->frames ? frames : bus->frames;
}

int32_t sd_mix_init(int32_t rate, int32_t frames)
{
    // Periods are divided by the rate, and a block needs room for a frame.
    if (rate <= 0 || frames <= 0)
        return 0;
    // Static storage starts out zero and nothing here writes this; clearing
    // it at the first set-up would only fault in its pages.
    static bool set_up_before = false;
    if (set_up_before)
        std::memset(emptysample, 0, sizeof emptysample);
    set_up_before = true;
    sd_mix_rate = rate;
    for (mix_bus& bus : mix_buses)
        if (mix_bus_init(&bus, frames, 2) == nullptr)
            return 0;
    mix_resetvoices();
    mix_bus_add_input(&mix_buses[mix_outputbus], &mix_buses[0], 0.5f);
    return 1;
}

void sd_mix_setfunctions()
{
    sd_getsample = mix_getsample;
    sd_selectchannel = mix_selectchannel;
    sd_setsample = mix_setsample;
    sd_setamigaperiod = mix_setamigaperiod;
    sd_setvolume = mix_setvolume;
    sd_setpanning = mix_setpanning;
    sd_setoffset = mix_setoffset;
    sd_setmainvolume = mix_setmainvolume;
    sd_setactivechannels = mix_setactivechannels;
    sd_resetvoices = mix_resetvoices;
}

mix_channel* mix_copychannel(mix_channel* render, mix_channel* control)
{
    const uint32_t position = render->position;
    const uint32_t position_fraction = render->position_fraction;
    const int32_t step = render->step;
    const uint32_t step_fraction = render->step_fraction;
    *render = *control;
    if (control->position_changed) {
        control->position_changed = 0;
    } else {
        render->position = position;
        render->position_fraction = position_fraction;
    }
    if (control->step_changed) {
        control->step_changed = 0;
    } else {
        render->step = step;
        render->step_fraction = step_fraction;
    }
    return render;
}

static float gain_of(int32_t mainvolume, int32_t volume, int32_t side)
{
    const uint32_t product = static_cast<uint32_t>(mainvolume) * static_cast<uint32_t>(volume) *
                             static_cast<uint32_t>(side);
    return static_cast<float>((product / 128u) / 63u) / 128.0f;
}

float mix_leftgain(int32_t mainvolume, int32_t volume, int32_t panning)
{
    return gain_of(mainvolume, volume, 255 - panning);
}

float mix_rightgain(int32_t mainvolume, int32_t volume, int32_t panning)
{
    return gain_of(mainvolume, volume, panning);
}

// An ended one-shot voice stays silent until the control side gives it a
// new read position; it then restarts there at the control side's pitch.
static void merge_channel(int ch)
{
    mix_channel& control = mix_channels[ch];
    mix_channel& render = mix_realchannels[ch];
    const bool restart = mix_voiceended[ch] && control.position_changed;
    mix_copychannel(&render, &control);
    if (restart) {
        mix_voiceended[ch] = false;
        render.step = control.step;
        render.step_fraction = control.step_fraction;
    }
}

mix_voicemark mix_markvoice(int ch)
{
    const mix_channel& v = mix_realchannels[ch];
    return {static_cast<uint64_t>(v.position) << 32 | v.position_fraction,
            static_cast<uint64_t>(static_cast<uint32_t>(v.step)) << 32 | v.step_fraction};
}

int32_t mix_runoutframe(uint32_t length, uint64_t p, uint64_t step, int32_t frames)
{
    const uint64_t end = static_cast<uint64_t>(length) << 32;
    if (p >= end || step >= end - p)
        return 0;
    const uint64_t k = step == 0 ? UINT64_MAX : (end - p - 1) / step;
    return k < static_cast<uint64_t>(frames) ? static_cast<int32_t>(k) : frames - 1;
}

void mix_voiceranout(int ch, const mix_voicemark& mark, int32_t frames)
{
    mix_voiceended[ch] = true;
    const mix_channel& voice = mix_realchannels[ch];
    mix_voiceendframe[ch] =
        mix_frameclock + mix_runoutframe(voice.length, mark.position, mark.step, frames);
}

bool mix_voice_renders(int ch)
{
    return mix_realchannels[ch].length != 0 && sd_mix_interpolation != 0 && !mix_voiceended[ch];
}

static void render_channel(int ch, int32_t mainvolume, int32_t frames)
{
    mix_channel& voice = mix_realchannels[ch];
    const float lvol = mix_leftgain(mainvolume, voice.volume, voice.panning);
    const float rvol = mix_rightgain(mainvolume, voice.volume, voice.panning);
    if (!mix_voice_renders(ch))
        return;
    mix_bus* target = mix_samples[voice.sample_number].bus;
    float* stem = mix_stems_on ? mix_stems_voice_bus(voice, rvol, frames) : nullptr;
    // A side whose gain is 0 only gets zeros added, which leave the bus as
    // it is.
    mix_bus_wrote(target, frames, (lvol != 0.0f ? mix_left : 0) | (rvol != 0.0f ? mix_right : 0));
    const mix_voicemark mark = mix_markvoice(ch);
    if (sd_c_imixstereo_ended(&voice, target->buffer, frames, lvol, rvol, stem))
        mix_voiceranout(ch, mark, frames);
}

// Frames of a source that can add anything: past what it has written it
// reads zero, and adding zero times a gain leaves a bus value as it is (a
// bus value is never -0.0).
static int32_t frames_to_sum(const mix_bus_input& input, int32_t frames)
{
    return input.source->written < frames ? input.source->written : frames;
}

// The output bus's last input: the last sum of the block, which can be done
// together with the conversion.
static const mix_bus_input* last_output_input()
{
    const mix_bus& output = mix_buses[mix_outputbus];
    for (int slot = 1; slot >= 0; slot--)
        if (output.inputs[slot].source != nullptr)
            return &output.inputs[slot];
    return nullptr;
}

// Every bus input in order, but for the one left to the conversion.
static void sum_buses(int32_t frames, const mix_bus_input* left_over)
{
    for (mix_bus& bus : mix_buses) {
        for (const mix_bus_input& input : bus.inputs) {
            if (input.source == nullptr || &input == left_over)
                continue;
            const int32_t n = frames_to_sum(input, frames);
            if (n <= 0)
                continue;
            const float* from = input.source->buffer;
            const double gain = input.gain;
            for (int32_t k = 0; k < 2 * n; k++)
                bus.buffer[k] = static_cast<float>(static_cast<double>(bus.buffer[k]) +
                                                   static_cast<double>(from[k]) * gain);
            mix_bus_wrote(&bus, n, input.source->sides);
        }
    }
}

void mix_mergevoices()
{
    for (int ch = 0; ch < mix_activechannels; ch++)
        merge_channel(ch);
}

float* sd_mix_stereo(int16_t* destination, int32_t frames, int32_t convert)
{
    const int32_t n = mix_activechannels;
    mix_mergevoices();
    for (mix_bus& bus : mix_buses)
        mix_bus_clear(&bus);
    const int32_t mainvolume = mix_mainvolume;
    for (int ch = 0; ch < n; ch++)
        render_channel(ch, mainvolume, frames);
    mix_frameclock += frames;
    mix_bus& output = mix_buses[mix_outputbus];
    const mix_bus_input* last = convert ? last_output_input() : nullptr;
    if (frames > 0)
        sum_buses(frames, last);
    if (mix_stems_on)
        mix_stems_output(frames);
    if (!convert)
        return output.buffer;
    int32_t done = 0;
    if (last != nullptr && frames > 0) {
        done = frames_to_sum(*last, frames);
        if (done > 0) {
            const int32_t sides = output.sides | last->source->sides;
            if (sides & mix_right)
                sd_c_sumstereo32ftos16i(last->source->buffer, last->gain, output.buffer,
                                        destination, done);
            else
                sd_c_sumleft32ftos16i(last->source->buffer, last->gain, output.buffer,
                                      destination, done);
            mix_bus_wrote(&output, done, sides);
        }
    }
    sd_c_stereo32ftos16i(output.buffer + 2 * done, destination + 2 * done, frames - done);
    return nullptr;
}

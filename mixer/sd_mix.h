// Software mixer: channel records, sample registry, buses, the block mixer
// and its inner voice loops.
#pragma once
#include <cstdint>

struct mix_channel {
    int8_t* sample_data;
    int32_t sample_number;
    int32_t volume;
    uint32_t position_fraction;
    uint32_t position;
    uint32_t step_fraction;
    int32_t step;
    uint32_t loop_start;
    uint32_t loop_end;
    int32_t loop_enabled;
    uint32_t length;
    int32_t panning;
    int32_t step_changed;
    int32_t position_changed;
};

struct mix_bus;

struct mix_sample {
    int8_t* sample_data;
    uint32_t length;
    uint32_t loop_start;
    uint32_t loop_end;
    int32_t loop_enabled;
    mix_bus* bus;
};

struct mix_bus_input {
    mix_bus* source;
    float gain;
};

struct mix_bus {
    float* buffer;
    int32_t frames;
    int32_t channels;
    mix_bus_input inputs[2];
    int32_t effects[2];
    // Frames from the start of the buffer that may be non-zero: what was
    // written since the last clear. Everything past them reads zero.
    int32_t written;
    // The sides within them that may be non-zero (mix_left, mix_right).
    int32_t sides;
};

constexpr int32_t mix_left = 1;
constexpr int32_t mix_right = 2;

constexpr int mix_maxchannels = 32;
constexpr int mix_maxsamples = 32;
constexpr int mix_busnum = 8;
constexpr int mix_outputbus = 7;
constexpr uint32_t emptysample_size = 140000;

extern mix_channel mix_channels[mix_maxchannels];
extern mix_channel mix_realchannels[mix_maxchannels];
extern mix_channel* curchan;
extern int32_t mix_curchannel;
extern mix_sample mix_samples[mix_maxsamples];
extern mix_bus mix_buses[mix_busnum];
extern int8_t emptysample[emptysample_size];
extern "C" int32_t mix_solosample;
extern int32_t mix_mainvolume;
extern int32_t mix_activechannels;
extern int32_t sd_mix_rate;
extern int32_t sd_mix_interpolation;
// Set once a one-shot voice has run off its end; cleared only by a new read
// position from the control side.
extern bool mix_voiceended[mix_maxchannels];
// Frames the block mixer has moved the voices through since start-up, each
// block adding its frames once its voices are done.
extern int64_t mix_frameclock;
// Where a voice ran out: the clock's count at the first frame it no longer
// played. Holds while mix_voiceended does.
extern int64_t mix_voiceendframe[mix_maxchannels];

// Control operations (installed into the driver table).
int32_t mix_getsample(int32_t n, int8_t* data, uint32_t length, uint32_t loop_start,
                      uint32_t loop_end, int32_t loop_enabled);
mix_channel* mix_selectchannel(int32_t channel);
void mix_setsample(int32_t n);
void mix_setvolume(int32_t volume);
void mix_setpanning(int32_t panning);
void mix_setoffset(int32_t offset);
void mix_setamigaperiod(int32_t period);
int32_t mix_setmainvolume(int32_t volume);
void mix_setactivechannels(int32_t count);
void mix_resetvoices();

// Set-up.
int32_t sd_mix_init(int32_t rate, int32_t frames);
mix_channel* sd_mix_initchannel(mix_channel* channel);
mix_sample* sd_mix_initsample(mix_sample* sample);
void sd_mix_setfunctions();

// Buses.
float* mix_bus_init(mix_bus* bus, int32_t frames, int32_t channels);
void mix_bus_add_input(mix_bus* bus, mix_bus* source, float gain);
void mix_bus_add_effect(mix_bus* bus, int32_t effect);
void mix_bus_clear(mix_bus* bus);
// Notes that the given sides of the first frames of the bus's buffer may
// have been written.
void mix_bus_wrote(mix_bus* bus, int32_t frames, int32_t sides);

// One block: merge, gains, voices, bus sums, conversion.
// The control side's changes into the voices that render, at a block's start.
void mix_mergevoices();
// Whether channel ch's voice renders anything this block: it has a sample,
// interpolation is on, and it has not run off a one-shot end.
bool mix_voice_renders(int ch);
// A voice's 32.32 position and step at a block's start: from them alone the
// frame it runs out on follows.
struct mix_voicemark {
    uint64_t position;
    uint64_t step;
};
mix_voicemark mix_markvoice(int ch);
// The voice loop said channel ch's one-shot voice ran out within the block
// of frames it began at mark: it is ended, and the frame is noted.
void mix_voiceranout(int ch, const mix_voicemark& mark, int32_t frames);
// The frame of a block of frames on which a one-shot voice of length points,
// at position p stepping step, first steps to or past its end (frame k plays
// p + (k + 1) x step); the block's last frame if it does not within it.
int32_t mix_runoutframe(uint32_t length, uint64_t p, uint64_t step, int32_t frames);
float* sd_mix_stereo(int16_t* destination, int32_t frames, int32_t convert);
mix_channel* mix_copychannel(mix_channel* render, mix_channel* control);
float mix_leftgain(int32_t mainvolume, int32_t volume, int32_t panning);
float mix_rightgain(int32_t mainvolume, int32_t volume, int32_t panning);

// Inner loops.
// Whether the straight runs and the conversion use the wider instructions;
// set at start-up from what the processor offers. Both ways give the same
// bits.
extern bool sd_c_wide;
// The same for the 512-bit instructions, where the voice loop has them.
extern bool sd_c_widest;
void long_addition(uint32_t* whole, uint32_t* fraction, const int32_t* step_whole,
                   const uint32_t* step_fraction);
void sd_c_imixstereo(mix_channel* channel, float* buffer, int32_t frames, float lvol,
                     float rvol);
// As sd_c_imixstereo, into buses of the mixer's (holding only what voices
// added since their clear, at the mixer's gains: there some sums take a
// shorter way to the same floats); returns true when the one-shot voice
// ended in this call. Where second is not null, each value x gain is also
// added into it, rounded on store the same way, so it gets what a separate
// render of a copy of the voice into it would add.
bool sd_c_imixstereo_ended(mix_channel* channel, float* buffer, int32_t frames, float lvol,
                           float rvol, float* second = nullptr);
// The same into a one-sided bus of the mixer's, of left values, one float
// per frame; the right gain plays no part in them.
bool sd_c_imixleft_ended(mix_channel* channel, float* buffer, int32_t frames, float lvol);
void sd_c_stereo32ftos16i(const float* source, int16_t* destination, int32_t frames);
// The last bus sum and the conversion in one pass: adds source x gain into
// target, stores each sum there and converts it into the destination.
void sd_c_sumstereo32ftos16i(const float* source, float gain, float* target,
                             int16_t* destination, int32_t frames);
// The same when the right values of source and target are all zero: they
// stay zero and convert to 0.
void sd_c_sumleft32ftos16i(const float* source, float gain, float* target,
                           int16_t* destination, int32_t frames);
// A bus summed alone into a cleared output bus and converted, in one pass;
// the bus is left cleared. With left_only its right values are all zero.
void sd_c_take32ftos16i(float* source, float gain, int16_t* destination, int32_t frames,
                        bool left_only);
// A one-sided bus summed alone into a cleared output and converted, one
// value per frame; the bus is left cleared.
void sd_c_takemono32ftos16i(float* source, float gain, int16_t* destination, int32_t frames);
void sd_c_imixstereo_tos16i(mix_channel* channel, int16_t* buffer, int32_t frames,
                            float gain1, float gain2);

// The sound-driver table: the seam through which player and replayer reach
// the mixer, and the null driver that fills it.
#pragma once
#include <cstdint>

struct mix_channel;

extern int32_t (*sd_init)(int32_t rate, int32_t frames);
extern void (*sd_start)();
extern void (*sd_stop)();
extern void (*sd_shutdown)();
extern void (*sd_secondhand)();
extern void (*sd_hand)();
extern int32_t (*sd_setmainvolume)(int32_t volume);
extern void (*sd_setactivechannels)(int32_t count);
extern int32_t (*sd_getsample)(int32_t n, int8_t* data, uint32_t length, uint32_t loop_start,
                               uint32_t loop_end, int32_t loop_enabled);
extern mix_channel* (*sd_selectchannel)(int32_t channel);
extern void (*sd_setsample)(int32_t n);
extern void (*sd_setvolume)(int32_t volume);
extern void (*sd_setpanning)(int32_t panning);
extern void (*sd_setamigaperiod)(int32_t period);
extern void (*sd_setoffset)(int32_t offset);
// Every voice silent and every sample slot empty, as at set-up: a new module
// starts from silence.
extern void (*sd_resetvoices)();

// Null driver.
int32_t sd_dsp16_init();
int32_t sd_dsp16_detect();
int32_t dsp16_init(int32_t rate, int32_t frames);
void dsp16_start();
void dsp16_stop();
void dsp16_shutdown();
void dsp16_dummyfunction();
int32_t dsp16_initcard();
void dsp16_playsample();

// The null driver: no device. Audio exists only because the host pulls it
// through the render pump.
#include "driver/sd_main.h"
#include "driver/sd_panning.h"
#include "driver/sd_notes.h"
#include "mixer/sd_mix.h"

int32_t dsp16_init(int32_t rate, int32_t frames) { return sd_mix_init(rate, frames); }
void dsp16_start() {}
void dsp16_stop() {}
void dsp16_shutdown() {}
void dsp16_dummyfunction() {}
int32_t dsp16_initcard() { return 1; }
void dsp16_playsample() {}
int32_t sd_dsp16_detect() { return 1; }

int32_t sd_dsp16_init()
{
    sd_init = dsp16_init;
    sd_secondhand = dsp16_dummyfunction;
    sd_start = dsp16_start;
    sd_stop = dsp16_stop;
    sd_shutdown = dsp16_shutdown;
    sd_mix_setfunctions();
    sd_panning_forget();
    sd_notes_install();
    return 1;
}

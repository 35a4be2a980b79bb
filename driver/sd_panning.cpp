// Stereo panning wrapped round the driver table's slots. It chains to the
// slots it found, not to the mixer by name, so that other wrappers can
// stand above or below it.
#include "driver/sd_panning.h"

#include "driver/sd_main.h"

namespace {

int32_t separation = -1;  // negative: off, every panning passes unchanged
int32_t selected = 0;
bool wrapped = false;
mix_channel* (*next_selectchannel)(int32_t) = nullptr;
void (*next_setpanning)(int32_t) = nullptr;

mix_channel* panning_selectchannel(int32_t channel)
{
    selected = channel;
    return next_selectchannel(channel);
}

void panning_setpanning(int32_t panning)
{
    if (panning == 0 && separation >= 0)
        panning = sd_panning_of(selected, separation);
    next_setpanning(panning);
}

}  // namespace

int32_t sd_panning_of(int32_t channel, int32_t separation)
{
    const int32_t left = (255 * (100 - separation) + 100) / 200;
    const bool on_left = channel % 4 == 0 || channel % 4 == 3;
    return on_left ? left : 255 - left;
}

void sd_panning_on(int32_t value)
{
    // An empty table has nothing to wrap.
    if (!wrapped && (sd_selectchannel == nullptr || sd_setpanning == nullptr))
        return;
    separation = value;
    if (wrapped)
        return;
    next_selectchannel = sd_selectchannel;
    next_setpanning = sd_setpanning;
    sd_selectchannel = panning_selectchannel;
    sd_setpanning = panning_setpanning;
    wrapped = true;
}

void sd_panning_off()
{
    separation = -1;
    if (wrapped && sd_selectchannel == panning_selectchannel &&
        sd_setpanning == panning_setpanning) {
        sd_selectchannel = next_selectchannel;
        sd_setpanning = next_setpanning;
        wrapped = false;
    }
}

void sd_panning_forget()
{
    separation = -1;
    wrapped = false;
}

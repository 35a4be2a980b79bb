// Event conditions tested against the replay state, and the callback
// registry for host programs.
#include "player/cool_vex.h"
#include "replayer/pt.h"

void* callbacks[vex_maxcallbacks];
int32_t cbhandles[vex_maxcallbacks];
int32_t callbackcount = 0;
int32_t curhandle = 1;

int32_t inrange(int32_t value, int32_t lower, int32_t upper)
{
    return upper < 0 || (lower <= value && value <= upper) ? 1 : 0;
}

static bool channel_matches(const vex_condition& c, int32_t ch)
{
    const uint8_t* cell = pt_lineptr + 4 * ch;
    if (!inrange(ch, c.channel_lo, c.channel_hi))
        return false;
    if (!inrange(pt_cursample[ch], c.sample_lo, c.sample_hi))
        return false;
    if (!inrange(cell[2] & 0x0F, c.effect_lo, c.effect_hi))
        return false;
    if (!inrange(cell[3], c.parameter_lo, c.parameter_hi))
        return false;
    if (!inrange(pt_songpos, c.songpos_lo, c.songpos_hi))
        return false;
    const uint32_t row = static_cast<uint32_t>(pt_rowcount);
    const uint32_t modulus = static_cast<uint32_t>(c.row_modulus);
    const uint32_t r = modulus != 0 ? row % modulus : row;
    if (!inrange(static_cast<int32_t>(r), c.row_lo, c.row_hi))
        return false;
    return inrange(pt_vbcount, c.tick_lo, c.tick_hi) != 0;
}

int32_t ehto_toteutuu(const vex_condition* condition)
{
    // Nothing to test before the first tick of a loaded module.
    if (pt_channels == 0 || pt_lineptr == nullptr)
        return 0;
    for (int32_t ch = 0; ch < pt_channels; ch++)
        if (channel_matches(*condition, ch))
            return 1;
    return 0;
}

int32_t vex_set_callback(void* callback)
{
    if (callbackcount >= vex_maxcallbacks)
        return 0;
    callbacks[callbackcount] = callback;
    cbhandles[callbackcount] = curhandle;
    callbackcount++;
    return curhandle++;
}

// The row and tick sequencer: one call is one replay tick.
#include "driver/sd_main.h"
#include "replayer/pt.h"

constexpr int32_t order_entries = 128;

void (*pt_rowstart_hook)() = nullptr;

// Counts down every channel's pattern delay; true when the row is held.
static bool hold_row_for_pattern_delay()
{
    bool held = false;
    for (int ch = 0; ch < pt_channels; ch++) {
        if (pt_pattdelay[ch] > 0) {
            pt_pattdelay[ch]--;
            held = true;
        }
    }
    return held;
}

static void next_order_position()
{
    // A break row past the pattern's end starts the pattern at its top.
    pt_rowcount = pt_firstline > 63 ? 0 : pt_firstline;
    pt_firstline = 0;
    pt_songpos++;
    const uint32_t songlen = pt_songlen > order_entries ? order_entries : pt_songlen;
    if (static_cast<uint32_t>(pt_songpos) >= songlen)
        pt_songpos = pt_repstart;
}

// Returns false when a pattern delay holds the row: the tick then does nothing.
static bool start_new_row()
{
    pt_vbcount = 0;
    if (hold_row_for_pattern_delay())
        return false;
    pt_rowcount++;
    if (static_cast<uint32_t>(pt_rowcount) > 63)
        next_order_position();
    // A position jump together with a pattern-loop jump can leave the
    // position outside the order list.
    if (pt_songpos < 0 || pt_songpos >= order_entries)
        pt_songpos = pt_repstart;
    pt_curpattern = pt_order[pt_songpos];
    pt_lineptr = pt_patterns[pt_curpattern] + pt_rowcount * pt_channels * 4;
    if (pt_rowstart_hook != nullptr)
        pt_rowstart_hook();
    return true;
}

static void set_sample(int32_t ch, int32_t s, uint8_t effect)
{
    pt_cursample[ch] = s;
    pt_pan[ch] = 16 * pt_defaultpan[ch];
    pt_curvol[ch] = pt_svol[s];
    if (effect == 0xC) {
        sd_setpanning(pt_pan[ch]);
        sd_setsample(s);
    } else if (effect == 0x8) {
        sd_setvolume(pt_curvol[ch]);
        sd_setsample(s);
    } else {
        sd_setvolume(pt_curvol[ch]);
        sd_setpanning(pt_pan[ch]);
        sd_setsample(s);
    }
}

static void trigger_note(int32_t ch, int32_t n, uint8_t effect)
{
    pt_curperiod[ch] = pt_curtarget[ch];
    sd_setamigaperiod(pt_curperiod[ch]);
    if (effect != 0x9)
        sd_setoffset(0);
    pt_curnote[ch] = n;
}

static void play_first_tick(int32_t ch, const uint8_t* cell)
{
    const int32_t s = cell[0];
    const int32_t n = cell[1];
    const uint8_t effect = cell[2];
    const int32_t key = pt_effectkey(effect, cell[3]);
    // Sample numbers past 31 only come from damaged cells: no sample.
    if (s != 0 && s < pt_maxsamples)
        set_sample(ch, s, effect);
    if (n < pt_nonote) {
        pt_curfine[ch] = pt_finetune[pt_cursample[ch]];
        pt_curtarget[ch] = tuning[pt_curfine[ch]][n];
        const bool tone_portamento = effect == 0x3 || effect == 0x5;
        // ED0 plays its note at once; any other delay withholds it, and the
        // rest of this tick with it.
        const bool delayed = key == pt_key_notedelay && (cell[3] & 0x0F) != 0;
        if (delayed)
            return;
        if (!tone_portamento)
            trigger_note(ch, n, effect);
    }
    pt_effect_tick0(ch, cell);
}

void pt_play()
{
    bool pass = true;
    if (pt_vbtempo != 0) {
        pt_vbcount++;
        if (static_cast<uint32_t>(pt_vbcount) >= static_cast<uint32_t>(pt_vbtempo))
            pass = start_new_row();
    }
    if (!pass)
        return;
    for (int32_t ch = 0; ch < pt_channels; ch++) {
        const uint8_t* cell = pt_lineptr + 4 * ch;
        sd_selectchannel(ch);
        if (pt_vbcount != 0)
            pt_effect_othertick(ch, cell, pt_vbcount);
        else
            play_first_tick(ch, cell);
    }
}

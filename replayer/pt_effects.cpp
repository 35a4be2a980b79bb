// Channel effects: the tick-0 half and the running half of every effect.
#include "driver/sd_main.h"
#include "replayer/pt.h"

namespace {

int32_t waveform_delta(const int16_t* table, int32_t position, int32_t depth)
{
    return table[position] * depth / 127;
}

int32_t clamp_volume(int32_t v) { return v < 0 ? 0 : (v > 64 ? 64 : v); }

void volume_slide(int32_t ch, uint8_t p)
{
    const int32_t up = p >> 4;
    const int32_t down = p & 0x0F;
    pt_curvol[ch] = clamp_volume(up != 0 ? pt_curvol[ch] + up : pt_curvol[ch] - down);
    sd_setvolume(pt_curvol[ch]);
}

// The smallest period of the channel's row that is at or above the pitch:
// the nearest note at or below it.
int32_t nearest_note_period(int32_t ch)
{
    const auto& row = tuning[pt_curfine[ch]];
    const int32_t period = pt_curperiod[ch];
    if (period <= row[84])
        return row[84];
    for (int i = 83; i >= 0; i--)
        if (row[i] >= period)
            return row[i];
    return row[0];
}

void slide_to_target(int32_t ch)
{
    const int32_t target = pt_curtarget[ch];
    if (pt_curperiod[ch] < target) {
        pt_curperiod[ch] += pt_tporta[ch];
        if (pt_curperiod[ch] > target)
            pt_curperiod[ch] = target;
    } else if (pt_curperiod[ch] > target) {
        pt_curperiod[ch] -= pt_tporta[ch];
        if (pt_curperiod[ch] < target)
            pt_curperiod[ch] = target;
    }
}

void vibrato(int32_t ch)
{
    sd_setamigaperiod(pt_curperiod[ch] +
                      waveform_delta(pt_vibratotable, pt_vibc[ch], pt_vibd[ch]));
    pt_vibc[ch] = (pt_vibc[ch] + pt_vibs[ch]) & 63;
}

void tremolo(int32_t ch)
{
    const int32_t v =
        pt_curvol[ch] + waveform_delta(pt_tremolotable, pt_trmc[ch], pt_trmd[ch]);
    pt_trmc[ch] = (pt_trmc[ch] + pt_trms[ch]) & 63;
    sd_setvolume(clamp_volume(v));
}

void pattern_loop(int32_t ch, int32_t x)
{
    if (x == 0) {
        pt_pattloopstart[ch] = pt_rowcount;
        return;
    }
    if (pt_pattloop[ch] == 0) {
        pt_pattloop[ch] = x;
        pt_rowcount = pt_pattloopstart[ch] - 1;
        return;
    }
    pt_pattloop[ch]--;
    if (pt_pattloop[ch] > 0)
        pt_rowcount = pt_pattloopstart[ch] - 1;
}

// A late cut or delay (x at or past the speed) lands on the row's last tick.
bool is_effect_tick(int32_t tick, int32_t x)
{
    return tick == x || (tick == pt_vbtempo - 1 && x >= pt_vbtempo);
}

void retrigger(int32_t ch, int32_t n)
{
    pt_curperiod[ch] = tuning[pt_curfine[ch]][n];
    sd_setvolume(pt_curvol[ch]);
    sd_setamigaperiod(pt_curperiod[ch]);
    sd_setoffset(0);
}

void extended_tick0(int32_t ch, int32_t sub, int32_t x)
{
    switch (sub) {
    case 0x1:
        if (pt_curperiod[ch] > pt_minperiod)
            sd_setamigaperiod(--pt_curperiod[ch]);
        break;
    case 0x2:
        if (pt_curperiod[ch] < pt_maxperiod)
            sd_setamigaperiod(++pt_curperiod[ch]);
        break;
    case 0x3:
        pt_glissando[ch] = x;
        break;
    case 0x4:
        if (x <= 3)
            pt_vibc[ch] = 0;
        pt_vibratotable = pt_waveforms[x & 3];
        break;
    case 0x5:
        pt_curfine[ch] = x;
        break;
    case 0x6:
        pattern_loop(ch, x);
        break;
    case 0x7:
        if (x <= 3)
            pt_trmc[ch] = 0;
        pt_tremolotable = pt_waveforms[x & 3];
        break;
    case 0xA:
        if (pt_curvol[ch] <= 63)
            sd_setvolume(++pt_curvol[ch]);
        break;
    case 0xB:
        if (pt_curvol[ch] > 0)
            sd_setvolume(--pt_curvol[ch]);
        break;
    case 0xE:
        pt_pattdelay[ch] = x;
        break;
    default:
        break;
    }
}

void extended_othertick(int32_t ch, int32_t sub, int32_t x, int32_t n, int32_t tick)
{
    switch (sub) {
    case 0x9:
        if (x != 0 && n < pt_nonote && tick % x == 0)
            retrigger(ch, n);
        break;
    case 0xC:
        if (is_effect_tick(tick, x))
            sd_setvolume(0);
        break;
    case 0xD:
        if (n < pt_nonote && is_effect_tick(tick, x)) {
            pt_curnote[ch] = n;
            retrigger(ch, n);
        }
        break;
    default:
        break;
    }
}

}  // namespace

void pt_effect_tick0(int32_t ch, const uint8_t* cell)
{
    const uint8_t effect = cell[2];
    const uint8_t p = cell[3];
    switch (effect) {
    case 0x0:
        if (p != 0)
            sd_setamigaperiod(tuning[pt_curfine[ch]][pt_curnote[ch]]);
        break;
    case 0x9:
        sd_setoffset(p * 256);
        break;
    case 0xB:
        pt_rowcount = 63;
        pt_songpos = p - 1;
        break;
    case 0xC:
        pt_curvol[ch] = p;
        sd_setvolume(p);
        break;
    case 0xD:
        pt_rowcount = 63;
        pt_firstline = 10 * (p >> 4) + (p & 0x0F);
        break;
    case 0xE:
        extended_tick0(ch, p >> 4, p & 0x0F);
        break;
    case 0xF:
        if (p <= 31)
            pt_vbtempo = p;
        else
            pt_bpmtempo = p;
        break;
    default:
        break;
    }
}

void pt_effect_othertick(int32_t ch, const uint8_t* cell, int32_t tick)
{
    const int32_t n = cell[1];
    const uint8_t effect = cell[2];
    const uint8_t p = cell[3];
    switch (effect) {
    case 0x0:
        if (p != 0) {
            const int32_t offsets[3] = {0, p >> 4, p & 0x0F};
            sd_setamigaperiod(pt_noteperiod(pt_curfine[ch], pt_curnote[ch] + offsets[tick % 3]));
        }
        break;
    case 0x1:
        pt_curperiod[ch] -= p;
        if (pt_curperiod[ch] < pt_minperiod)
            pt_curperiod[ch] = pt_minperiod;
        sd_setamigaperiod(pt_curperiod[ch]);
        break;
    case 0x2:
        pt_curperiod[ch] += p;
        if (pt_curperiod[ch] > pt_maxperiod)
            pt_curperiod[ch] = pt_maxperiod;
        sd_setamigaperiod(pt_curperiod[ch]);
        break;
    case 0x3:
        if (p != 0)
            pt_tporta[ch] = p;
        slide_to_target(ch);
        sd_setamigaperiod(pt_glissando[ch] != 0 ? nearest_note_period(ch) : pt_curperiod[ch]);
        break;
    case 0x4:
        if ((p & 0x0F) != 0)
            pt_vibd[ch] = p & 0x0F;
        if ((p >> 4) != 0)
            pt_vibs[ch] = p >> 4;
        vibrato(ch);
        break;
    case 0x5:
        slide_to_target(ch);
        sd_setamigaperiod(pt_curperiod[ch]);
        volume_slide(ch, p);
        break;
    case 0x6:
        vibrato(ch);
        volume_slide(ch, p);
        break;
    case 0x7:
        if ((p & 0x0F) != 0)
            pt_trmd[ch] = 2 * (p & 0x0F);
        if ((p >> 4) != 0)
            pt_trms[ch] = p >> 4;
        tremolo(ch);
        break;
    case 0xA:
        volume_slide(ch, p);
        break;
    case 0xE:
        extended_othertick(ch, p >> 4, p & 0x0F, n, tick);
        break;
    default:
        break;
    }
}

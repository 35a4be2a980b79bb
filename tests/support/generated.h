// Busy generated modules: every effect family, looped and one-shot samples,
// silent notes, sample changes without a note, speed and tempo changes.
#pragma once
#include <cstdint>
#include <string>

#include "tools/modbuilder.h"

namespace generated_modules {

using lcg = mb_lcg;

inline std::string signature_for(int channels)
{
    if (channels == 4)
        return "M.K.";
    if (channels < 10)
        return std::to_string(channels) + "CHN";
    return std::to_string(channels) + "CH";
}

inline mb_sample random_sample(lcg& r, int kind)
{
    mb_sample s;
    const size_t sizes[] = {64, 200, 1000, 4000, 20000, 131070};
    s.data.resize(sizes[r.below(6)]);
    for (int8_t& b : s.data)
        b = static_cast<int8_t>(r.below(256) - 128);
    s.volume = static_cast<uint8_t>(r.below(65));
    const uint32_t n = static_cast<uint32_t>(s.data.size());
    if (kind == 0) {  // loop over the whole sample
        s.loop_start = 0;
        s.loop_length = n;
    } else if (kind == 1) {  // loop over a part, with a head played once
        s.loop_start = (n / 2) & ~1u;
        s.loop_length = ((n - s.loop_start) / 2) & ~1u;
    } else if (kind == 2) {  // the shortest loop there is
        s.loop_start = 10;
        s.loop_length = 4;
    }
    // kinds 3 and 4: one-shot
    return s;
}

inline mb_cell random_effect(lcg& r)
{
    static const uint8_t plain[] = {0x0, 0x1, 0x2, 0x3, 0x4, 0x5, 0x6, 0x7, 0x8, 0x9, 0xA, 0xC};
    mb_cell c;
    const int pick = r.below(20);
    if (pick < 12) {
        c.effect = plain[pick];
        c.parameter = static_cast<uint8_t>(r.below(256));
        if (c.effect == 0xC)
            c.parameter = static_cast<uint8_t>(r.below(3) == 0 ? 0 : r.below(80));
    } else if (pick < 17) {
        static const uint8_t sub[] = {0x1, 0x2, 0x9, 0xA, 0xB, 0xC, 0xD};
        c.effect = 0xE;
        c.parameter = static_cast<uint8_t>(sub[r.below(7)] << 4 | r.below(16));
    } else if (pick < 19) {
        c.effect = 0xF;
        c.parameter = static_cast<uint8_t>(r.below(2) ? 1 + r.below(8) : 32 + r.below(224));
    } else {
        c.effect = 0xD;
        c.parameter = static_cast<uint8_t>(r.below(4));
    }
    return c;
}

// A busy module of every effect family, looped and one-shot samples, silent
// notes, sample changes without a note and speed and tempo changes.
inline mb_module generated(int channels, uint64_t seed)
{
    lcg r{seed};
    mb_module m = mb_new(signature_for(channels));
    for (int i = 1; i <= 10; i++)
        m.samples[i] = random_sample(r, i % 5);
    m.samples[10].data.clear();  // a sample with no data
    for (int p = 0; p < 3; p++)
        for (int row = 0; row < 64; row++)
            for (int ch = 0; ch < channels; ch++) {
                mb_cell& cell = mb_at(m, p, row, ch);
                const int what = r.below(8);
                if (what < 3) {
                    cell.sample = static_cast<uint8_t>(1 + r.below(10));
                    cell.period = mb_period(r.below(60));
                } else if (what == 3) {
                    cell.sample = static_cast<uint8_t>(1 + r.below(10));
                }
                if (r.below(3) != 0) {
                    const mb_cell e = random_effect(r);
                    cell.effect = e.effect;
                    cell.parameter = e.parameter;
                }
            }
    m.order = {0, 1, 2, 1};
    return m;
}

}  // namespace generated_modules

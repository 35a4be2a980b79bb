#include "bench/bench_modules.h"

#include <cmath>

namespace {

mb_sample tone(size_t bytes, double cycles, bool looped)
{
    mb_sample s;
    s.data.resize(bytes);
    for (size_t k = 0; k < bytes; k++) {
        const double x = std::sin(6.283185307179586 * cycles * static_cast<double>(k) /
                                  static_cast<double>(bytes));
        s.data[k] = static_cast<int8_t>(std::lround(100.0 * x) + static_cast<long>(k % 7) - 3);
    }
    if (looped) {
        s.loop_start = static_cast<uint32_t>(bytes / 4) & ~1u;
        s.loop_length = static_cast<uint32_t>(bytes - s.loop_start) & ~1u;
    }
    return s;
}

// Notes every fourth row; in between, effects that send a period or a
// volume every tick, so no channel ever idles.
mb_cell cell_for(int pattern, int row, int channel)
{
    const int sample = 1 + (channel + pattern) % 8;
    const int note = 12 + (channel * 5 + row * 3 + pattern * 7) % 36;
    if ((row + channel) % 4 == 0)
        return mb_cell{static_cast<uint8_t>(sample), mb_period(note), 0x0, 0x37};
    switch ((row + channel + pattern) % 6) {
    case 0: return mb_cell{0, 0, 0x4, 0x46};  // vibrato
    case 1: return mb_cell{0, mb_period(note), 0x3, 0x08};  // tone portamento
    case 2: return mb_cell{0, 0, 0x1, 0x02};  // slide up
    case 3: return mb_cell{0, 0, 0x2, 0x02};  // slide down
    case 4: return mb_cell{0, 0, 0xA, 0x01};  // volume slide down
    default: return mb_cell{0, 0, 0x6, 0x10};  // vibrato with volume slide up
    }
}

}  // namespace

mb_module bench_module(const char* signature)
{
    mb_module m = mb_new(signature);
    m.title = "tunedump bench";
    for (int i = 1; i <= 8; i++) {
        const bool looped = i % 2 == 1;
        m.samples[i] = tone(looped ? 2000u * static_cast<size_t>(i) : 40000u, 40.0 + i, looped);
    }
    for (int p = 0; p < 4; p++)
        for (int row = 0; row < 64; row++)
            for (int ch = 0; ch < m.channels; ch++)
                mb_at(m, p, row, ch) = cell_for(p, row, ch);
    m.order = {0, 1, 2, 3};
    return m;
}

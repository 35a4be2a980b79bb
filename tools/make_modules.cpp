// Writes a small set of generated modules into a folder: the seeds of the
// fuzz target and the tunes that every build must render to the same bytes.
//
//   make_modules FOLDER
//
// Each module is busy on purpose: every effect family, looped and one-shot
// samples, a sample without data, sample changes without a note, speed and
// tempo changes, breaks and jumps. Samples are short so that a fuzz input
// stays small. The same folder always gets the same bytes.
#include <cstdint>
#include <cstdio>
#include <string>

#include "tools/modbuilder.h"

namespace {

using lcg = mb_lcg;

mb_sample random_sample(lcg& r, int kind)
{
    mb_sample s;
    const size_t sizes[] = {32, 64, 200, 600, 1500};
    s.data.resize(sizes[r.below(5)]);
    for (int8_t& b : s.data)
        b = static_cast<int8_t>(r.below(256) - 128);
    s.volume = static_cast<uint8_t>(r.below(65));
    s.finetune = static_cast<uint8_t>(r.below(16));
    const uint32_t n = static_cast<uint32_t>(s.data.size());
    if (kind == 0) {  // loop over the whole sample
        s.loop_length = n;
    } else if (kind == 1) {  // a head played once, then a loop over the rest
        s.loop_start = (n / 2) & ~1u;
        s.loop_length = (n - s.loop_start) & ~1u;
    } else if (kind == 2) {  // the shortest loop there is
        s.loop_start = 10;
        s.loop_length = 4;
    }
    // kind 3: one-shot
    return s;
}

mb_cell random_effect(lcg& r)
{
    mb_cell c;
    c.effect = static_cast<uint8_t>(r.below(16));
    c.parameter = static_cast<uint8_t>(r.below(256));
    // Keep most songs moving: few jumps, breaks and very slow speeds.
    if (c.effect == 0xB || c.effect == 0xD)
        c.parameter = static_cast<uint8_t>(r.below(4));
    if (c.effect == 0xF && c.parameter < 32)
        c.parameter = static_cast<uint8_t>(1 + r.below(8));
    if (c.effect == 0xE && (c.parameter >> 4) == 0xE)
        c.parameter = 0xE1;  // pattern delay of one row
    return c;
}

mb_module generated(const std::string& title, const std::string& signature, int patterns, uint64_t seed)
{
    lcg r{seed};
    mb_module m = mb_new(signature);
    m.title = title;
    for (int i = 1; i <= 9; i++)
        m.samples[i] = random_sample(r, i % 4);
    m.samples[9].data.clear();
    for (int p = 0; p < patterns; p++)
        for (int row = 0; row < 64; row++)
            for (int ch = 0; ch < m.channels; ch++) {
                mb_cell& cell = mb_at(m, p, row, ch);
                const int what = r.below(8);
                if (what < 3) {
                    cell.sample = static_cast<uint8_t>(1 + r.below(9));
                    cell.period = mb_period(r.below(84));
                } else if (what == 3) {
                    cell.sample = static_cast<uint8_t>(1 + r.below(9));
                } else if (what == 4) {
                    cell.period = mb_period(r.below(84));
                }
                if (r.below(3) != 0) {
                    mb_cell e = random_effect(r);
                    // A jump in the first half of a pattern could hold the
                    // song on a few silent rows for ever.
                    if (e.effect == 0xB && row < 32)
                        e.effect = 0x0;
                    cell.effect = e.effect;
                    cell.parameter = e.parameter;
                }
            }
    m.order.clear();
    for (int i = 0; i < patterns + 1; i++)
        m.order.push_back(static_cast<uint8_t>(i % patterns));
    m.restart = 1;
    return m;
}

struct module_plan {
    const char* name;
    const char* signature;
    int patterns;
};

constexpr module_plan plans[] = {
    {"busy4", "M.K.", 3},  {"busy32", "32CH", 1}, {"two", "2CHN", 2},
    {"six", "6CHN", 2},    {"flt8", "FLT8", 2},   {"ten", "10CH", 1},
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fputs("make_modules FOLDER\n", stderr);
        return 1;
    }
    uint64_t seed = 1;
    int index = 0;
    for (const module_plan& plan : plans) {
        // The fuzz target takes the first byte as its mode: counting titles
        // give the seeds every mode.
        const std::string title = std::to_string(index++ % 10) + " " + plan.name;
        const std::string path = std::string(argv[1]) + "/" + plan.name + ".mod";
        if (!mb_write(generated(title, plan.signature, plan.patterns, seed++ * 7919), path)) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}

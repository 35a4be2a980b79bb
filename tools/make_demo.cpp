// Composes the demo tune and writes it as a module file.
#include <cmath>
#include <cstdio>

#include "tools/modbuilder.h"

int main(int argc, char** argv)
{
    const char* path = argc > 1 ? argv[1] : "demo.mod";
    mb_module m = mb_new("M.K.");
    mb_sample& lead = m.samples[1];
    for (int i = 0; i < 64; i++)
        lead.data.push_back(static_cast<int8_t>(std::lround(100.0 * std::sin(i * 6.2831853 / 64))));
    lead.loop_start = 0;
    lead.loop_length = 64;
    for (int row = 0; row < 64; row += 4)
        mb_at(m, 0, row, 0) = mb_cell{1, mb_period(36 + (row / 4) % 12), 0, 0};
    if (!mb_write(m, path)) {
        std::fprintf(stderr, "cannot write %s\n", path);
        return 1;
    }
    return 0;
}

// The render pump with stems: the stereo mix and, in the same pass, what
// the solo render of every sample gives.
#include "mixer/mix_stems.h"
#include "tunedump/tunedump.h"

void mix_newhand_stems(int32_t unused, void* destination, int32_t bytes, int16_t* const* stems)
{
    if (stems == nullptr) {
        mix_newhand(unused, destination, bytes);
        return;
    }
    mix_stems_begin(stems);
    mix_newhand(unused, destination, bytes);
    mix_stems_end(bytes > 0 ? bytes / 4 : 0);
}

int32_t vex_sample_used(int32_t n)
{
    return n >= 1 && n < mix_maxsamples && mix_stemused[n] ? 1 : 0;
}

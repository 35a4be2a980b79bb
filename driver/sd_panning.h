// Stereo for the replayer's channels: a wrapper in the driver table that
// puts each channel's own side in place of the full-left panning (0) the
// replayer sends whenever it sets a sample.
#pragma once
#include <cstdint>

// Channel c's panning at a separation of 0..100 per cent: channels go left,
// right, right, left, repeating.
int32_t sd_panning_of(int32_t channel, int32_t separation);
// Wraps the selectchannel and setpanning slots as they stand, once; while
// wrapped, a further call only changes the separation.
void sd_panning_on(int32_t separation);
// Every panning passes unchanged again; the slots are unwrapped when
// nothing has wrapped them since.
void sd_panning_off();
// The table has been filled anew, so the wrapper is no longer in it.
void sd_panning_forget();

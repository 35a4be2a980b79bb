// The replayer's own random sequence, for the random waveform: the sequence
// a freshly started process gets from the C library's rand() on this
// machine, restarted at every reset, so that every load renders the same
// bytes whatever else the process (or a host) draws, and on every platform.
#pragma once
#include <cstdint>

// Back to the start of the sequence.
void pt_rand_reset();
// The next value, 0..2147483647.
int32_t pt_rand();

// Stems: for every sample, what the solo render of that sample gives, made
// in the same pass as the full mix. Solo n plays every other sample as
// silence, its voices move the same whatever their data, and adding silence
// leaves a bus value as it is; so stem n is the voices whose current sample
// is n, added in channel order with the same rounding, then the same bus
// gain and the same conversion.
#pragma once
#include <cstdint>

#include "mixer/sd_mix.h"

// Set when a sample of non-zero length is set on a channel; cleared when a
// module is loaded.
extern bool mix_stemused[mix_maxsamples];

// While the targets are set, every block also fills, for each used sample n
// whose target is not null, stereo frames at targets[n] from the frame
// where the block lands; a used sample that did not sound gets silence. The
// targets must have room for every frame mixed until mix_stems_end.
void mix_stems_begin(int16_t* const* targets);
// Fills the used targets with silence up to frames, then stops filling.
void mix_stems_end(int32_t frames);

// Called by the block mixer. The stem bus a voice of this block is added
// into as well as into its own bus, or null where its sample has no target.
float* mix_stems_voice_bus(const mix_channel& voice, float rvol, int32_t frames);
void mix_stems_output(int32_t frames);
void mix_stems_forget();
inline bool mix_stems_on = false;

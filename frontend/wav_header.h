// The 44-byte header of a RIFF WAVE file of 16-bit PCM.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr size_t td_wav_header_bytes = 44;
// The header for data_bytes bytes of samples, channels to a frame, at rate.
void td_wav_header(uint8_t* header, uint32_t data_bytes, uint32_t rate, uint32_t channels);

#include "frontend/wav_header.h"

#include <cstring>

namespace {

uint8_t* put_lsb(uint8_t* at, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; i++)
        *at++ = static_cast<uint8_t>(value >> (8 * i));
    return at;
}

uint8_t* put_text(uint8_t* at, const char* text)
{
    const size_t n = std::strlen(text);
    std::memcpy(at, text, n);
    return at + n;
}

}  // namespace

void td_wav_header(uint8_t* header, uint32_t data_bytes, uint32_t rate, uint32_t channels)
{
    const uint32_t frame_bytes = 2 * channels;
    uint8_t* at = put_text(header, "RIFF");
    at = put_lsb(at, data_bytes + 36, 4);
    at = put_text(at, "WAVEfmt ");
    at = put_lsb(at, 16, 4);
    at = put_lsb(at, 1, 2);  // PCM
    at = put_lsb(at, channels, 2);
    at = put_lsb(at, rate, 4);
    at = put_lsb(at, rate * frame_bytes, 4);
    at = put_lsb(at, frame_bytes, 2);
    at = put_lsb(at, 16, 2);
    at = put_text(at, "data");
    put_lsb(at, data_bytes, 4);
}

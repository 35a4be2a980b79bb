// The plainest render and WAV writer: every left value into one buffer,
// then the file written whole, byte by byte for the header. The streamed
// front end must give exactly these bytes.
#pragma once
#include <cstdint>
#include <cstdio>

#include "tunedump/tunedump.h"

namespace whole_buffer {

inline void lsb32(uint32_t value, FILE* file)
{
    for (int i = 0; i < 4; i++)
        std::fputc(static_cast<int>((value >> (8 * i)) & 0xFF), file);
}

inline void lsb16(uint32_t value, FILE* file)
{
    for (int i = 0; i < 2; i++)
        std::fputc(static_cast<int>((value >> (8 * i)) & 0xFF), file);
}

// 0 on success, -1 when the file cannot be created.
inline int32_t writewav(const char* path, const void* data, uint32_t bytes, uint32_t rate)
{
    FILE* file = std::fopen(path, "wb");
    if (file == nullptr)
        return -1;
    std::fputs("RIFF", file);
    lsb32(bytes + 36, file);
    std::fputs("WAVEfmt ", file);
    lsb32(16, file);
    lsb16(1, file);
    lsb16(1, file);
    lsb32(rate, file);
    lsb32(rate * 2, file);
    lsb16(2, file);
    lsb16(16, file);
    std::fputs("data", file);
    lsb32(bytes, file);
    std::fwrite(data, 1, bytes, file);
    std::fclose(file);
    return 0;
}

// Whole blocks of 1024 left values until at least target; the count.
inline int32_t render(int16_t* output, int32_t target)
{
    int32_t count = 0;
    for (; count < target; count += 1024)
        mix_newhand_left(0, output + count, 1024 * 2);
    return count;
}

}  // namespace whole_buffer

// The MD5 digest of a stream of bytes, taken in pieces of any size: what a
// FLAC file's STREAMINFO holds for its samples.
#pragma once
#include <cstddef>
#include <cstdint>

struct td_md5 {
    uint32_t state[4];
    uint64_t bytes;        // taken so far
    uint8_t pending[64];   // the start of a block not yet whole
};

void td_md5_start(td_md5& md5);
void td_md5_add(td_md5& md5, const void* data, size_t bytes);
void td_md5_end(td_md5& md5, uint8_t digest[16]);

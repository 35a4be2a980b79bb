// SHA-256 of bytes, for the dataset's track names, shards and keys.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

struct td_sha256 {
    uint32_t state[8];
    uint64_t bytes = 0;  // taken in so far
    uint8_t block[64];
};

void td_sha256_start(td_sha256& h);
void td_sha256_add(td_sha256& h, const void* data, size_t size);
std::array<uint8_t, 32> td_sha256_end(td_sha256& h);
// The digest of data in 64 lower-case hex digits.
std::string td_sha256_hex(const void* data, size_t size);
std::string td_hex(const uint8_t* bytes, size_t size);

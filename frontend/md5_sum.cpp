#include "frontend/md5_sum.h"

#include <cstring>
#include <utility>

namespace {

constexpr uint32_t sines[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
    0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
    0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
    0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
    0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
    0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
    0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
    0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
    0xeb86d391};
constexpr int shifts[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

uint32_t rotate(uint32_t x, int n) { return x << n | x >> (32 - n); }

// Step i of the 64, on the four words turned round by i places; with i
// known while compiling, every word stays in a register.
template <int i>
inline void step(uint32_t v[4], const uint32_t m[16])
{
    uint32_t& a = v[(64 - i) % 4];
    const uint32_t b = v[(65 - i) % 4], c = v[(66 - i) % 4], d = v[(67 - i) % 4];
    uint32_t f;
    int g;
    if constexpr (i < 16) {
        f = d ^ (b & (c ^ d));
        g = i;
    } else if constexpr (i < 32) {
        f = c ^ (d & (b ^ c));
        g = (5 * i + 1) % 16;
    } else if constexpr (i < 48) {
        f = b ^ c ^ d;
        g = (3 * i + 5) % 16;
    } else {
        f = c ^ (b | ~d);
        g = 7 * i % 16;
    }
    a = b + rotate(a + f + sines[i] + m[g], shifts[i / 16][i % 4]);
}

template <size_t... i>
inline void steps(uint32_t v[4], const uint32_t m[16], std::index_sequence<i...>)
{
    (step<static_cast<int>(i)>(v, m), ...);
}

void take_block(uint32_t state[4], const uint8_t* block)
{
    uint32_t m[16];
    for (int i = 0; i < 16; i++)
        m[i] = uint32_t{block[4 * i]} | uint32_t{block[4 * i + 1]} << 8 |
               uint32_t{block[4 * i + 2]} << 16 | uint32_t{block[4 * i + 3]} << 24;
    uint32_t v[4] = {state[0], state[1], state[2], state[3]};
    steps(v, m, std::make_index_sequence<64>());
    for (int i = 0; i < 4; i++)
        state[i] += v[i];
}

}  // namespace

void td_md5_start(td_md5& md5)
{
    md5 = td_md5{{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476}, 0, {}};
}

void td_md5_add(td_md5& md5, const void* data, size_t bytes)
{
    const uint8_t* at = static_cast<const uint8_t*>(data);
    size_t held = md5.bytes % 64;
    md5.bytes += bytes;
    if (held > 0) {
        const size_t n = bytes < 64 - held ? bytes : 64 - held;
        std::memcpy(md5.pending + held, at, n);
        at += n;
        bytes -= n;
        held += n;
        if (held < 64)
            return;
        take_block(md5.state, md5.pending);
    }
    for (; bytes >= 64; at += 64, bytes -= 64)
        take_block(md5.state, at);
    std::memcpy(md5.pending, at, bytes);
}

void td_md5_end(td_md5& md5, uint8_t digest[16])
{
    const uint64_t bits = md5.bytes * 8;
    static const uint8_t pad[64] = {0x80};
    td_md5_add(md5, pad, 1 + (119 - md5.bytes % 64) % 64);
    uint8_t length[8];
    for (int i = 0; i < 8; i++)
        length[i] = static_cast<uint8_t>(bits >> (8 * i));
    td_md5_add(md5, length, 8);
    for (int i = 0; i < 16; i++)
        digest[i] = static_cast<uint8_t>(md5.state[i / 4] >> (8 * (i % 4)));
}

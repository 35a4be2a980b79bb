// An additive feedback generator over a ring of 31 words, its taps 3 apart,
// seeded by a multiplicative congruential sequence from seed 1; the first 310
// results are discarded.
#include "replayer/pt_random.h"

namespace {

constexpr int32_t ring_words = 31;
constexpr int32_t tap_distance = 3;
constexpr int32_t warm_up = 310;

uint32_t ring[ring_words];
int32_t front = tap_distance;
int32_t rear = 0;

// 16807 x value mod (2^31 - 1) without overflow.
int32_t park_miller(int32_t value)
{
    const int32_t hi = value / 127773;
    const int32_t lo = value % 127773;
    int32_t word = 16807 * lo - 2836 * hi;
    if (word < 0)
        word += 2147483647;
    return word;
}

uint32_t next_word()
{
    ring[front] += ring[rear];
    const uint32_t word = ring[front];
    front = (front + 1) % ring_words;
    rear = (rear + 1) % ring_words;
    return word;
}

}  // namespace

void pt_rand_reset()
{
    ring[0] = 1;
    for (int32_t i = 1; i < ring_words; i++)
        ring[i] = static_cast<uint32_t>(park_miller(static_cast<int32_t>(ring[i - 1])));
    front = tap_distance;
    rear = 0;
    for (int32_t i = 0; i < warm_up; i++)
        next_word();
}

int32_t pt_rand() { return static_cast<int32_t>(next_word() >> 1); }

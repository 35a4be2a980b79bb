// Assembles module images in memory for tests, tools and benchmarks.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct mb_cell {
    uint8_t sample = 0;     // 0 none, 1..31 (up to 255 for damaged cells)
    uint16_t period = 0;    // 12-bit Amiga period, 0 for no note
    uint8_t effect = 0;     // 0..15
    uint8_t parameter = 0;
};

struct mb_sample {
    std::vector<int8_t> data;  // length is data.size() rounded down to whole words
    uint8_t finetune = 0;      // the raw byte; only the low nibble is finetune
    uint8_t volume = 64;       // the raw byte
    uint32_t loop_start = 0;   // bytes, written as words
    uint32_t loop_length = 0;  // bytes, written as words; 0 or 2 means no loop
    // When set, these raw words go into the header instead of the ones above.
    bool raw_header = false;
    uint16_t length_words = 0, loop_start_words = 0, loop_length_words = 0;
};

struct mb_module {
    std::string signature = "M.K.";
    int channels = 4;  // cells per row, must match the signature for a playable file
    std::string title = "tunedump test";
    mb_sample samples[32];  // index 1..31 are written
    // patterns[p][row][channel]
    std::vector<std::vector<std::vector<mb_cell>>> patterns;
    std::vector<uint8_t> order;  // written as the first entries of the 128-byte table
    int song_length = -1;        // -1: order.size()
    uint8_t restart = 0;
    // Extra pattern count beyond patterns.size() implied by order entries is
    // written as empty patterns.
};

// A small seeded random sequence for generated modules: the same modules
// on every machine.
struct mb_lcg {
    uint64_t state;
    uint32_t next()
    {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(state >> 33);
    }
    int below(int n) { return static_cast<int>(next() % static_cast<uint32_t>(n)); }
};

// The channel count the loader gives a signature, or 0 when it knows none.
int mb_channels_of(const std::string& signature);
// A module with one empty pattern for the signature's channel count.
mb_module mb_new(const std::string& signature = "M.K.");
// Pattern p, created (with every earlier one) empty if missing.
std::vector<std::vector<mb_cell>>& mb_pattern(mb_module& m, int p);
mb_cell& mb_at(mb_module& m, int pattern, int row, int channel);
// A note: the period of note index n (0..83) at finetune 0.
uint16_t mb_period(int note);
// The file image.
std::vector<uint8_t> mb_build(const mb_module& m);
bool mb_write(const mb_module& m, const std::string& path);
bool mb_write_bytes(const std::vector<uint8_t>& bytes, const std::string& path);

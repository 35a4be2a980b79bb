// The module loader: header tables, signature, in-place cell conversion and
// sample registration.
#include <cstring>

#include "driver/sd_main.h"
#include "replayer/pt.h"

uint8_t* rb_src;
int32_t rb_ofs;
char pt_modid[5];
const char* pt_errorstr;
uint8_t pt_lastpattern;
int32_t pt_channels;
uint8_t pt_songlen;
int32_t pt_repstart;
uint8_t pt_order[128];
uint8_t* pt_patterns[256];
int32_t pt_slen[pt_maxsamples];
uint8_t pt_finetune[pt_maxsamples];
int32_t pt_svol[pt_maxsamples];
int32_t pt_loops[pt_maxsamples];
int32_t pt_loope[pt_maxsamples];

const char* const pt_modid_table[22] = {
    "2CHN", "4CHN", "M.K.", "M!K!", "FLT4", "FLT8", "OCTA", "6CHN", "8CHN", "10CH", "12CH",
    "14CH", "16CH", "18CH", "20CH", "22CH", "24CH", "26CH", "28CH", "30CH", "32CH", "STOP"};
const uint16_t pt_modid_channels_table[22] = {2,  4,  4,  4,  4,  8,  8,  6,  8,  10, 12,
                                              14, 16, 18, 20, 22, 24, 26, 28, 30, 32, 0};

uint16_t read68kword()
{
    const uint16_t value = static_cast<uint16_t>(rb_src[rb_ofs] * 256 + rb_src[rb_ofs + 1]);
    rb_ofs += 2;
    return value;
}

uint8_t readbyte() { return rb_src[rb_ofs++]; }

void skipbytes(int32_t n) { rb_ofs += n; }

static uint8_t note_of_period(uint32_t period)
{
    for (uint8_t j = 0; j < 84; j++)
        if (period >= tuning[0][j])
            return j;
    return pt_nonote;
}

void pt_convertpattern(uint8_t* pattern)
{
    const int32_t cells = pt_channels * 64;
    for (int32_t i = 0; i < cells; i++) {
        uint8_t* cell = pattern + 4 * i;
        const uint32_t period = (cell[0] & 0x0Fu) * 256u + cell[1];
        cell[0] = static_cast<uint8_t>((cell[0] & 0xF0) + (cell[2] >> 4));
        cell[2] = cell[2] & 0x0F;
        cell[1] = note_of_period(period);
    }
}

static void read_sample_headers()
{
    for (int s = 1; s < pt_maxsamples; s++) {
        skipbytes(22);
        pt_slen[s] = read68kword() * 2;
        pt_finetune[s] = readbyte() & 0x0F;
        const uint8_t v = readbyte();
        pt_svol[s] = v <= 64 ? v : 64;
        pt_loops[s] = read68kword() * 2;
        pt_loope[s] = read68kword() * 2;
    }
}

static int32_t channels_of_signature()
{
    int i = 0;
    while (std::memcmp(pt_modid_table[i], "STOP", 4) != 0 &&
           std::memcmp(pt_modid, pt_modid_table[i], 4) != 0)
        i++;
    return pt_modid_channels_table[i];
}

static uint8_t highest_pattern()
{
    uint8_t highest = 0;
    for (uint8_t p : pt_order)
        if (p > highest)
            highest = p;
    return highest;
}

// Samples are bounded by the image: one that starts past its end is left
// out, one that runs past it is cut, and a loop never reaches past what is
// registered.
static void register_sample(int s)
{
    const int64_t start = rb_ofs;
    if (start >= pt_imagesize)
        return;
    int64_t length = pt_slen[s];
    if (start + length > pt_imagesize)
        length = pt_imagesize - start;
    int64_t loop_end = static_cast<int64_t>(pt_loops[s]) + pt_loope[s];
    if (loop_end > length)
        loop_end = length;
    const int32_t looping = loop_end - pt_loops[s] > 2 ? 1 : 0;
    sd_getsample(s, reinterpret_cast<int8_t*>(rb_src + rb_ofs), static_cast<uint32_t>(length),
                 static_cast<uint32_t>(pt_loops[s]), static_cast<uint32_t>(loop_end), looping);
}

int32_t pt_takemod(uint8_t* image)
{
    rb_src = image;
    rb_ofs = 0;
    skipbytes(20);
    read_sample_headers();
    pt_songlen = readbyte();
    const uint8_t restart = readbyte();
    pt_repstart = restart > 126 ? 0 : restart;
    for (uint8_t& entry : pt_order)
        entry = readbyte();
    for (int i = 0; i < 4; i++)
        pt_modid[i] = static_cast<char>(readbyte());
    pt_modid[4] = 0;

    pt_channels = channels_of_signature();
    if (pt_channels == 0) {
        pt_errorstr = "pt_takemod error: unknown module type!";
        return 0;
    }
    const uint8_t lastpattern = highest_pattern();
    const int32_t pattern_bytes = pt_channels * 256;
    if (1084 + (lastpattern + 1) * pattern_bytes > pt_imagesize) {
        pt_channels = 0;
        pt_errorstr = "pt_takemod error: module too large!";
        return 0;
    }
    pt_lastpattern = lastpattern;
    sd_resetvoices();
    for (int p = 0; p <= pt_lastpattern; p++) {
        pt_patterns[p] = rb_src + rb_ofs;
        pt_convertpattern(pt_patterns[p]);
        skipbytes(pattern_bytes);
    }
    for (int s = 1; s < pt_maxsamples; s++) {
        if (pt_slen[s] == 0)
            continue;
        register_sample(s);
        skipbytes(pt_slen[s]);
    }
    sd_setactivechannels(pt_channels);
    return 1;
}

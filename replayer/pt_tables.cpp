// Replay state, its reset, the period table and the waveform tables.
#include <array>
#include "replayer/pt.h"
#include "replayer/pt_random.h"

int32_t pt_vbtempo;
int32_t pt_bpmtempo;
int32_t pt_vbcount;
int32_t pt_rowcount;
int32_t pt_songpos;
int32_t pt_curpattern;
uint8_t* pt_lineptr;
int32_t pt_firstline;
const int16_t* pt_vibratotable;
const int16_t* pt_tremolotable;

int32_t pt_cursample[pt_maxchannels];
int32_t pt_curnote[pt_maxchannels];
int32_t pt_curperiod[pt_maxchannels];
int32_t pt_curtarget[pt_maxchannels];
int32_t pt_curfine[pt_maxchannels];
int32_t pt_curvol[pt_maxchannels];
int32_t pt_tporta[pt_maxchannels];
int32_t pt_glissando[pt_maxchannels];
int32_t pt_vibd[pt_maxchannels];
int32_t pt_vibs[pt_maxchannels];
int32_t pt_vibc[pt_maxchannels];
int32_t pt_trmd[pt_maxchannels];
int32_t pt_trms[pt_maxchannels];
int32_t pt_trmc[pt_maxchannels];
int32_t pt_pattloopstart[pt_maxchannels];
int32_t pt_pattloop[pt_maxchannels];
int32_t pt_pattdelay[pt_maxchannels];
int32_t pt_pan[pt_maxchannels];
uint8_t pt_defaultpan[pt_maxchannels];

namespace {

// Entries 24..59 (three octaves) of each finetune row; the rest of each row
// follows by octaves.
constexpr uint16_t middle_octaves[16][36] = {
    {856, 808, 762, 720, 678, 640, 604, 570, 538, 508, 480, 453, 428, 404, 381, 360, 339, 320,
     302, 285, 269, 254, 240, 226, 214, 202, 190, 180, 170, 160, 151, 143, 135, 127, 120, 113},
    {850, 802, 757, 715, 674, 637, 601, 567, 535, 505, 477, 450, 425, 401, 379, 357, 337, 318,
     300, 284, 268, 253, 239, 225, 213, 201, 189, 179, 169, 159, 150, 142, 134, 126, 119, 113},
    {844, 796, 752, 709, 670, 632, 597, 563, 532, 502, 474, 447, 422, 398, 376, 355, 335, 316,
     298, 282, 266, 251, 237, 224, 211, 199, 188, 177, 167, 158, 149, 141, 133, 125, 118, 112},
    {838, 791, 746, 704, 665, 628, 592, 559, 528, 498, 470, 444, 419, 395, 373, 352, 332, 314,
     296, 280, 264, 249, 235, 222, 209, 198, 187, 176, 166, 157, 148, 140, 132, 125, 118, 111},
    {832, 785, 741, 699, 660, 623, 588, 555, 524, 495, 467, 441, 416, 392, 370, 350, 330, 312,
     294, 278, 262, 247, 233, 220, 208, 196, 185, 175, 165, 156, 147, 139, 131, 124, 117, 110},
    {826, 779, 736, 694, 655, 619, 584, 551, 520, 491, 463, 437, 413, 390, 368, 347, 328, 309,
     292, 276, 260, 245, 232, 219, 206, 195, 184, 174, 164, 155, 146, 138, 130, 123, 116, 109},
    {820, 774, 730, 689, 651, 614, 580, 547, 516, 487, 460, 434, 410, 387, 365, 345, 325, 307,
     290, 274, 258, 244, 230, 217, 205, 193, 183, 172, 163, 154, 145, 137, 129, 122, 115, 109},
    {814, 768, 725, 684, 646, 610, 575, 543, 513, 484, 457, 431, 407, 384, 363, 342, 323, 305,
     288, 272, 256, 242, 228, 216, 204, 192, 181, 171, 161, 152, 144, 136, 128, 121, 114, 108},
    {907, 856, 808, 762, 720, 678, 640, 604, 570, 538, 508, 480, 453, 428, 404, 381, 360, 339,
     320, 302, 285, 269, 254, 240, 226, 214, 202, 190, 180, 170, 160, 151, 143, 135, 127, 120},
    {900, 850, 802, 757, 715, 675, 636, 601, 567, 535, 505, 477, 450, 425, 401, 379, 357, 337,
     318, 300, 284, 268, 253, 238, 225, 212, 200, 189, 179, 169, 159, 150, 142, 134, 126, 119},
    {894, 844, 796, 752, 709, 670, 632, 597, 563, 532, 502, 474, 447, 422, 398, 376, 355, 335,
     316, 298, 282, 266, 251, 237, 223, 211, 199, 188, 177, 167, 158, 149, 141, 133, 125, 118},
    {887, 838, 791, 746, 704, 665, 628, 592, 559, 528, 498, 470, 444, 419, 395, 373, 352, 332,
     314, 296, 280, 264, 249, 235, 222, 209, 198, 187, 176, 166, 157, 148, 140, 132, 125, 118},
    {881, 832, 785, 741, 699, 660, 623, 588, 555, 524, 494, 467, 441, 416, 392, 370, 350, 330,
     312, 294, 278, 262, 247, 233, 220, 208, 196, 185, 175, 165, 156, 147, 139, 131, 123, 117},
    {875, 826, 779, 736, 694, 655, 619, 584, 551, 520, 491, 463, 437, 413, 390, 368, 347, 328,
     309, 292, 276, 260, 245, 232, 219, 206, 195, 184, 174, 164, 155, 146, 138, 130, 123, 116},
    {868, 820, 774, 730, 689, 651, 614, 580, 547, 516, 487, 460, 434, 410, 387, 365, 345, 325,
     307, 290, 274, 258, 244, 230, 217, 205, 193, 183, 172, 163, 154, 145, 137, 129, 122, 115},
    {862, 814, 768, 725, 684, 646, 610, 575, 543, 513, 484, 457, 431, 407, 384, 363, 342, 323,
     305, 288, 272, 256, 242, 228, 216, 203, 192, 181, 171, 161, 152, 144, 136, 128, 121, 114},
};

// The top note of each row, which the octave rule alone would not give.
constexpr uint16_t top_notes[16] = {28, 28, 28, 27, 27, 27, 27, 27,
                                    30, 30, 29, 29, 29, 29, 28, 28};

// Two octaves below are 4x and 2x the middle; two above are the upper
// octave halved and quartered, rounded down.
constexpr std::array<std::array<uint16_t, pt_notes>, 16> build_tuning()
{
    std::array<std::array<uint16_t, pt_notes>, 16> t{};
    for (int row = 0; row < 16; row++) {
        const uint16_t* mid = middle_octaves[row];
        for (int i = 0; i < 36; i++)
            t[row][24 + i] = mid[i];
        for (int i = 0; i < 12; i++) {
            t[row][i] = static_cast<uint16_t>(4 * mid[i]);
            t[row][12 + i] = static_cast<uint16_t>(2 * mid[i]);
            t[row][60 + i] = static_cast<uint16_t>(mid[24 + i] / 2);
            t[row][72 + i] = static_cast<uint16_t>(mid[24 + i] / 4);
        }
        t[row][83] = top_notes[row];
        t[row][84] = top_notes[row];
    }
    return t;
}

}  // namespace

constinit const std::array<std::array<uint16_t, pt_notes>, 16> tuning = build_tuning();

const int16_t pt_sinetable[64] = {
    0,    24,   49,   74,   97,   120,  141,  161,  180,  197,  212,  224,  235,
    244,  250,  253,  255,  253,  250,  244,  235,  224,  212,  197,  180,  161,
    141,  120,  97,   74,   49,   24,   0,    -24,  -49,  -74,  -97,  -120, -141,
    -161, -180, -197, -212, -224, -235, -244, -250, -253, -255, -253, -250, -244,
    -235, -224, -212, -197, -180, -161, -141, -120, -97,  -74,  -49,  -24};
int16_t pt_ramptable[64];
// Stepped through zero: 0, +255, 0, -256.
const int16_t pt_squaretable[64] = {
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0,    0,    0,    255,  255,  255,  255,  255,  255,  255,  255,  255,  255,
    255,  255,  255,  255,  255,  255,  0,    0,    0,    0,    0,    0,    0,
    0,    0,    0,    0,    0,    0,    0,    0,    0,    -256, -256, -256, -256,
    -256, -256, -256, -256, -256, -256, -256, -256, -256, -256, -256, -256};
int16_t pt_randtable[64];
const int16_t* const pt_waveforms[4] = {pt_sinetable, pt_ramptable, pt_squaretable,
                                        pt_randtable};

int32_t pt_noteperiod(int32_t fine, int32_t n)
{
    return tuning[fine][n < pt_nonote ? n : pt_nonote];
}

void pt_init()
{
    for (int ch = 0; ch < pt_maxchannels; ch++) {
        pt_curtarget[ch] = 0;
        pt_tporta[ch] = 0;
        pt_cursample[ch] = 0;
        pt_curvol[ch] = 0;
        pt_curnote[ch] = 0;
        pt_curperiod[ch] = 0;
        pt_curfine[ch] = 0;
        pt_trmc[ch] = 0;
        pt_trmd[ch] = 0;
        pt_trms[ch] = 0;
        pt_vibc[ch] = 0;
        pt_vibd[ch] = 0;
        pt_vibs[ch] = 0;
        pt_pattloopstart[ch] = 0;
        pt_pattloop[ch] = 0;
        pt_pattdelay[ch] = 0;
        pt_glissando[ch] = 0;
    }
    pt_songpos = -1;
    pt_firstline = 0;
    pt_vbtempo = 6;
    pt_bpmtempo = 125;
    pt_vbcount = 5;
    pt_curpattern = 0;
    pt_rowcount = 63;
    pt_vibratotable = pt_sinetable;
    pt_tremolotable = pt_sinetable;
    // Every reset draws the same table, whatever else the process drew.
    pt_rand_reset();
    for (int i = 0; i < 64; i++) {
        pt_randtable[i] = static_cast<int16_t>(pt_rand() % 511 - 256);
        pt_ramptable[i] = static_cast<int16_t>(255 - 8 * i);
    }
}

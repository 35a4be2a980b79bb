// The module replayer: loader, replay state and tables, row and tick
// sequencer, channel effects.
#pragma once
#include <array>
#include <cstdint>

constexpr int pt_maxchannels = 32;
constexpr int pt_maxsamples = 32;
constexpr int pt_notes = 85;    // note indexes 0..83, and 84 for no note
constexpr int pt_nonote = 84;
constexpr int pt_minperiod = 27;
constexpr int pt_maxperiod = 3628;
// The module image: the file's first bytes, zero past its end. The loader
// and the mixer never look past image_size; the guard behind it stays zero
// so that the one point read beyond a sample cut at the end reads silence.
constexpr int32_t pt_imagesize = 2000000;
constexpr int32_t pt_imageguard = 16;

// Loader state and song tables.
extern uint8_t* rb_src;
extern int32_t rb_ofs;
extern char pt_modid[5];
extern "C" const char* pt_errorstr;
extern uint8_t pt_lastpattern;
extern int32_t pt_channels;
extern uint8_t pt_songlen;
extern int32_t pt_repstart;
extern uint8_t pt_order[128];
extern uint8_t* pt_patterns[256];
extern int32_t pt_slen[pt_maxsamples];
extern uint8_t pt_finetune[pt_maxsamples];
extern int32_t pt_svol[pt_maxsamples];
extern int32_t pt_loops[pt_maxsamples];
extern int32_t pt_loope[pt_maxsamples];
extern const char* const pt_modid_table[22];
extern const uint16_t pt_modid_channels_table[22];

// Song and position state.
extern int32_t pt_vbtempo;
extern int32_t pt_bpmtempo;
extern int32_t pt_vbcount;
extern int32_t pt_rowcount;
extern int32_t pt_songpos;
extern int32_t pt_curpattern;
extern uint8_t* pt_lineptr;
extern int32_t pt_firstline;
extern const int16_t* pt_vibratotable;
extern const int16_t* pt_tremolotable;

// Per-channel state.
extern int32_t pt_cursample[pt_maxchannels];
extern int32_t pt_curnote[pt_maxchannels];
extern int32_t pt_curperiod[pt_maxchannels];
extern int32_t pt_curtarget[pt_maxchannels];
extern int32_t pt_curfine[pt_maxchannels];
extern int32_t pt_curvol[pt_maxchannels];
extern int32_t pt_tporta[pt_maxchannels];
extern int32_t pt_glissando[pt_maxchannels];
extern int32_t pt_vibd[pt_maxchannels];
extern int32_t pt_vibs[pt_maxchannels];
extern int32_t pt_vibc[pt_maxchannels];
extern int32_t pt_trmd[pt_maxchannels];
extern int32_t pt_trms[pt_maxchannels];
extern int32_t pt_trmc[pt_maxchannels];
extern int32_t pt_pattloopstart[pt_maxchannels];
extern int32_t pt_pattloop[pt_maxchannels];
extern int32_t pt_pattdelay[pt_maxchannels];
extern int32_t pt_pan[pt_maxchannels];
extern uint8_t pt_defaultpan[pt_maxchannels];

// Tables.
extern const std::array<std::array<uint16_t, pt_notes>, 16> tuning;
extern const int16_t pt_sinetable[64];
extern int16_t pt_ramptable[64];
extern const int16_t pt_squaretable[64];
extern int16_t pt_randtable[64];
extern const int16_t* const pt_waveforms[4];

// Loader.
int32_t pt_takemod(uint8_t* image);
void pt_convertpattern(uint8_t* pattern);
uint16_t read68kword();
uint8_t readbyte();
void skipbytes(int32_t n);

// Replay.
void pt_init();
void pt_play();
// Called as the sequencer starts a row, before the row's notes and effects:
// pt_songpos, pt_rowcount and pt_pattloop then describe the row as started.
// Null while nobody listens.
extern void (*pt_rowstart_hook)();

// Effects, called by the channel pass for the selected channel. cell points
// at the channel's 4-byte pattern cell.
void pt_effect_tick0(int32_t ch, const uint8_t* cell);
void pt_effect_othertick(int32_t ch, const uint8_t* cell, int32_t tick);
// The period of note index n in finetune row fine; indexes past 84 read 84.
int32_t pt_noteperiod(int32_t fine, int32_t n);
// Effect key: the effect number, or 0x10 + x for the extended effects Ex.
constexpr int32_t pt_effectkey(uint8_t effect, uint8_t parameter)
{
    return effect == 14 ? 0x10 + (parameter >> 4) : effect;
}
constexpr int32_t pt_key_notedelay = 0x10 + 0xD;

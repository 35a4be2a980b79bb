// Composes the demo tune and writes it as a module file.
//
// A four-channel song in A minor, about 48 seconds long, that starts over
// when it ends. Channel 0 plays the drums, 1 the bass, 2 the arpeggio chords
// and 3 the lead. Every sample is synthesised here, so the module needs no
// data from outside.
//
// Song plan (16 rows to a bar, 4 bars to a pattern):
//   order 0  intro    Am (played twice by a pattern loop) F C G
//   order 1  verse    Am F C G
//   order 2  verse'   Am F C G, the lead glides up into
//   order 3  chorus   F G Em Am
//   order 4  chorus'  F G Em E, with a snare roll that swells
//   order 5  outro    Am F G Am, slowing down and fading
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/modbuilder.h"

namespace {

constexpr double two_pi = 6.283185307179586;
constexpr double paula_clock = 3546836.0;

// Channels.
constexpr int drums = 0;
constexpr int bass = 1;
constexpr int chords = 2;
constexpr int lead = 3;

// Samples.
constexpr int bass_sample = 1;
constexpr int lead_sample = 2;
constexpr int pad_sample = 3;
constexpr int kick_sample = 4;
constexpr int snare_sample = 5;
constexpr int hat_sample = 6;

// Effect numbers as they appear in a cell.
constexpr uint8_t fx_arpeggio = 0x0;
constexpr uint8_t fx_portamento = 0x3;
constexpr uint8_t fx_vibrato = 0x4;
constexpr uint8_t fx_volume_slide = 0xA;
constexpr uint8_t fx_set_volume = 0xC;
constexpr uint8_t fx_extended = 0xE;
constexpr uint8_t fx_speed = 0xF;

// The note index that sounds a MIDI note: with a wave cycle of 32 bytes,
// index 36 (period 428) sounds just below middle C (MIDI 60); a 64-byte
// cycle sounds an octave lower.
struct instrument {
    int sample;
    int midi_at_index_0;
};
constexpr instrument bass_voice{bass_sample, 12};
constexpr instrument lead_voice{lead_sample, 24};
constexpr instrument pad_voice{pad_sample, 24};

// Drum notes; each drum is synthesised for the playback rate of its note.
constexpr int kick_note = 36;
constexpr int snare_note = 43;
constexpr int hat_note = 60;

double playback_rate(int note) { return paula_clock / mb_period(note); }

// ---------------------------------------------------------------- samples

uint32_t noise_state = 0x12345678u;

// A deterministic white noise in -1..1, so every build writes the same file.
double noise()
{
    noise_state = noise_state * 1664525u + 1013904223u;
    return static_cast<double>(noise_state >> 8) / 8388608.0 - 1.0;
}

double peak_of(const std::vector<double>& wave)
{
    double peak = 1e-9;
    for (double v : wave)
        peak = std::max(peak, std::fabs(v));
    return peak;
}

// Scales the wave so its loudest point reaches `peak` (of 1.0) and stores it
// as signed bytes; an odd last byte is dropped, samples are whole words.
std::vector<int8_t> to_bytes(const std::vector<double>& wave, double peak)
{
    const double scale = peak * 127.0 / peak_of(wave);
    std::vector<int8_t> out;
    for (size_t i = 0; i < (wave.size() & ~size_t{1}); i++) {
        const long v = std::lround(wave[i] * scale);
        out.push_back(static_cast<int8_t>(std::clamp(v, -127L, 127L)));
    }
    return out;
}

// A sum of harmonics at `phase` cycles; amps[0] is the fundamental.
double harmonics(double phase, const std::vector<double>& amps)
{
    double v = 0;
    for (size_t h = 0; h < amps.size(); h++)
        v += amps[h] * std::sin(two_pi * phase * static_cast<double>(h + 1));
    return v;
}

// Bass: a plucked saw, 64 bytes a cycle, whose upper harmonics die away in
// the attack part; it then holds a darker tone in a four-cycle loop.
mb_sample make_bass()
{
    constexpr int cycle = 64, attack_cycles = 48, loop_cycles = 4;
    std::vector<double> wave;
    for (int i = 0; i < cycle * (attack_cycles + loop_cycles); i++) {
        const double t = std::min(1.0, static_cast<double>(i) / (cycle * attack_cycles));
        const double level = std::min(1.0, i / 8.0) * (1.0 - 0.45 * t);
        std::vector<double> amps;
        for (int h = 1; h <= 10; h++)
            amps.push_back(std::exp(-h * (0.15 + 0.5 * t)) / h);
        amps[0] += 0.5;  // a little sub weight under the saw
        wave.push_back(level * harmonics(static_cast<double>(i) / cycle, amps));
    }
    mb_sample s;
    s.data = to_bytes(wave, 0.95);
    s.volume = 28;
    s.loop_start = cycle * attack_cycles;
    s.loop_length = cycle * loop_cycles;
    return s;
}

// Two voices 1/128 apart: over a loop of 128 cycles the second voice makes
// exactly 127, so the loop closes without a step and the voices beat slowly.
double chorus(double phase, const std::vector<double>& amps)
{
    return 0.5 * harmonics(phase, amps) + 0.5 * harmonics(phase * 127.0 / 128.0, amps);
}

// Lead: a bright, reedy chorused tone with a quick attack that settles to
// three quarters, 32 bytes a cycle.
mb_sample make_lead()
{
    constexpr int cycle = 32, attack_cycles = 32, loop_cycles = 128;
    const std::vector<double> amps = {1.0, 0.45, 0.35, 0.2, 0.16, 0.1, 0.07, 0.04};
    std::vector<double> wave;
    for (int i = 0; i < cycle * (attack_cycles + loop_cycles); i++) {
        const double t = std::min(1.0, static_cast<double>(i) / (cycle * attack_cycles));
        const double level = std::min(1.0, i / 48.0) * (1.0 - 0.25 * t);
        wave.push_back(level * chorus(static_cast<double>(i) / cycle, amps));
    }
    mb_sample s;
    s.data = to_bytes(wave, 0.95);
    s.volume = 42;
    s.loop_start = cycle * attack_cycles;
    s.loop_length = cycle * loop_cycles;
    return s;
}

// Pad: a soft, nearly pure chorused tone that swells in, for the arpeggio
// chords; 32 bytes a cycle.
mb_sample make_pad()
{
    constexpr int cycle = 32, attack_cycles = 64, loop_cycles = 128;
    const std::vector<double> amps = {1.0, 0.3, 0.12, 0.06};
    std::vector<double> wave;
    for (int i = 0; i < cycle * (attack_cycles + loop_cycles); i++) {
        const double t = std::min(1.0, static_cast<double>(i) / (cycle * attack_cycles));
        const double level = 0.25 + 0.75 * std::sin(t * two_pi / 4);
        wave.push_back(level * chorus(static_cast<double>(i) / cycle, amps));
    }
    mb_sample s;
    s.data = to_bytes(wave, 0.9);
    s.volume = 20;
    s.loop_start = cycle * attack_cycles;
    s.loop_length = cycle * loop_cycles;
    return s;
}

// Kick: a sine that falls from about 160 Hz to 45 Hz, with a short click.
mb_sample make_kick()
{
    const double rate = playback_rate(kick_note);
    std::vector<double> wave;
    double phase = 0;
    for (int i = 0; i < static_cast<int>(0.32 * rate); i++) {
        const double t = i / rate;
        phase += (45.0 + 115.0 * std::exp(-t / 0.03)) / rate;
        const double click = t < 0.004 ? 0.4 * noise() : 0.0;
        wave.push_back(std::exp(-t / 0.11) * std::sin(two_pi * phase) + click);
    }
    mb_sample s;
    s.data = to_bytes(wave, 1.0);
    s.volume = 50;
    return s;
}

// Snare: a short tone body under a longer burst of brightened noise.
mb_sample make_snare()
{
    const double rate = playback_rate(snare_note);
    std::vector<double> wave;
    double previous = 0;
    for (int i = 0; i < static_cast<int>(0.28 * rate); i++) {
        const double t = i / rate;
        const double n = noise();
        const double bright = n - 0.6 * previous;  // tilts the noise upward
        previous = n;
        const double body = std::sin(two_pi * 185.0 * t) + 0.5 * std::sin(two_pi * 330.0 * t);
        wave.push_back(0.6 * std::exp(-t / 0.04) * body + 0.8 * std::exp(-t / 0.08) * bright);
    }
    mb_sample s;
    s.data = to_bytes(wave, 0.9);
    s.volume = 38;
    return s;
}

// Hi-hat: high-passed noise that rings for a third of a second; note cuts
// make it a closed hat and volume slides a shorter open one.
mb_sample make_hat()
{
    const double rate = playback_rate(hat_note);
    std::vector<double> wave;
    double previous = 0;
    for (int i = 0; i < static_cast<int>(0.35 * rate); i++) {
        const double t = i / rate;
        const double n = noise();
        wave.push_back(std::exp(-t / 0.1) * (n - previous));
        previous = n;
    }
    mb_sample s;
    s.data = to_bytes(wave, 0.6);
    s.volume = 30;
    return s;
}

// ---------------------------------------------------------------- notes

// "A4", "C#5", "Bb3" as a MIDI note number (C4 = 60).
int midi(const std::string& name)
{
    static constexpr int steps[7] = {9, 11, 0, 2, 4, 5, 7};  // A B C D E F G
    int note = steps[name[0] - 'A'];
    size_t at = 1;
    if (name[at] == '#')
        note++, at++;
    else if (name[at] == 'b')
        note--, at++;
    return note + 12 * (std::atoi(name.c_str() + at) + 1);
}

int note_index(const instrument& voice, int midi_note)
{
    const int n = midi_note - voice.midi_at_index_0;
    if (n < 0 || n > 83) {
        std::fprintf(stderr, "note %d is outside the period table\n", midi_note);
        std::exit(1);
    }
    return n;
}

void put_note(mb_module& m, int p, int row, int ch, const instrument& voice, int midi_note,
              uint8_t effect = 0, uint8_t param = 0)
{
    mb_at(m, p, row, ch) = mb_cell{static_cast<uint8_t>(voice.sample),
                                   mb_period(note_index(voice, midi_note)), effect, param};
}

void put_effect(mb_module& m, int p, int row, int ch, uint8_t effect, uint8_t param)
{
    mb_cell& c = mb_at(m, p, row, ch);
    c.effect = effect;
    c.parameter = param;
}

std::vector<std::string> tokens(const std::string& line)
{
    std::vector<std::string> out;
    size_t at = 0;
    while (at < line.size()) {
        const size_t end = std::min(line.find(' ', at), line.size());
        if (end > at)
            out.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    return out;
}

// One token a row from `row` on: a note name plays it, "." leaves the row
// empty, "-" silences the channel (volume 0).
void melody(mb_module& m, int p, int row, int ch, const instrument& voice, const std::string& line)
{
    for (const std::string& t : tokens(line)) {
        if (t == "-")
            put_effect(m, p, row, ch, fx_set_volume, 0);
        else if (t != ".")
            put_note(m, p, row, ch, voice, midi(t));
        row++;
    }
}

// Vibrato on the rows first..last of a held note: the delay before it sets
// in keeps the note's start clean. The swing is in period units, so high
// notes take depth 1 and middle ones depth 2 for about a quarter tone.
void vibrato(mb_module& m, int p, int ch, int first, int last, uint8_t speed_depth)
{
    for (int row = first; row <= last; row++)
        put_effect(m, p, row, ch, fx_vibrato, speed_depth);
}

// A glide from the note sounding into `midi_note`, `rate` period units a
// tick, carried on by the remembered rate over `rows` rows in all.
void glide(mb_module& m, int p, int row, int ch, const instrument& voice, int midi_note,
           uint8_t rate, int rows)
{
    mb_at(m, p, row, ch) = mb_cell{0, mb_period(note_index(voice, midi_note)), fx_portamento, rate};
    for (int r = row + 1; r < row + rows; r++)
        put_effect(m, p, r, ch, fx_portamento, 0);
}

// ---------------------------------------------------------------- parts

// One bar of a chord: the pad note with its arpeggio, which has to be
// repeated on every row to keep the chord going.
void chord_bar(mb_module& m, int p, int bar, const std::string& base, uint8_t arpeggio)
{
    const int row0 = 16 * bar;
    put_note(m, p, row0, chords, pad_voice, midi(base), fx_arpeggio, arpeggio);
    for (int row = row0 + 1; row < row0 + 16; row++)
        put_effect(m, p, row, chords, fx_arpeggio, arpeggio);
}

// Voicings that move little from chord to chord.
void chord_am(mb_module& m, int p, int bar) { chord_bar(m, p, bar, "A3", 0x37); }  // A C E
void chord_f(mb_module& m, int p, int bar) { chord_bar(m, p, bar, "A3", 0x38); }   // A C F
void chord_c(mb_module& m, int p, int bar) { chord_bar(m, p, bar, "G3", 0x59); }   // G C E
void chord_g(mb_module& m, int p, int bar) { chord_bar(m, p, bar, "G3", 0x47); }   // G B D
void chord_em(mb_module& m, int p, int bar) { chord_bar(m, p, bar, "G3", 0x49); }  // G B E
void chord_e(mb_module& m, int p, int bar) { chord_bar(m, p, bar, "G#3", 0x38); }  // G# B E

// Bass figures for one bar on the chord's root.
void bass_held(mb_module& m, int p, int bar, const std::string& root)
{
    put_note(m, p, 16 * bar, bass, bass_voice, midi(root));
    put_note(m, p, 16 * bar + 8, bass, bass_voice, midi(root));
}

void bass_groove(mb_module& m, int p, int bar, const std::string& root)
{
    static constexpr int steps[8] = {0, 0, 12, 0, 0, 7, 12, 7};
    const int r = midi(root);
    for (int i = 0; i < 8; i++)
        put_note(m, p, 16 * bar + 2 * i, bass, bass_voice, r + steps[i]);
}

// Drum tokens, one a row: K kick, S snare, s soft snare, h closed hat (cut
// after two ticks), o open hat (sliding down), . nothing.
void drum_line(mb_module& m, int p, int row, const std::string& line)
{
    for (char c : line) {
        if (c == ' ')
            continue;
        mb_cell& cell = mb_at(m, p, row, drums);
        if (c == 'K')
            cell = mb_cell{kick_sample, mb_period(kick_note), 0, 0};
        else if (c == 'S')
            cell = mb_cell{snare_sample, mb_period(snare_note), 0, 0};
        else if (c == 's')
            cell = mb_cell{snare_sample, mb_period(snare_note), fx_set_volume, 20};
        else if (c == 'h')
            cell = mb_cell{hat_sample, mb_period(hat_note), fx_extended, 0xC2};
        else if (c == 'o')
            cell = mb_cell{hat_sample, mb_period(hat_note), fx_volume_slide, 0x03};
        row++;
    }
}

constexpr const char* groove = "K . h . S . h . K . K . S . o .";
constexpr const char* groove_busy = "K . h . S . h s K . K . S . o h";

// A snare roll over one bar that grows from a whisper: the first stroke sets
// a low volume, and the strokes after it keep the channel's volume (they
// name no sample) while a slide raises it a little on every tick.
void snare_roll(mb_module& m, int p, int bar)
{
    const int row0 = 16 * bar;
    mb_at(m, p, row0, drums) = mb_cell{snare_sample, mb_period(snare_note), fx_set_volume, 8};
    for (int row = row0 + 1; row < row0 + 16; row++)
        mb_at(m, p, row, drums) = mb_cell{0, mb_period(snare_note), fx_volume_slide, 0x10};
}

// ---------------------------------------------------------------- patterns

// Intro: the first bar plays twice (a pattern loop on the drum channel),
// then the bass comes in. Row 0 also sets speed and tempo, because the
// outro slows down before the song starts over here.
void intro(mb_module& m, int p)
{
    chord_am(m, p, 0);
    chord_f(m, p, 1);
    chord_c(m, p, 2);
    chord_g(m, p, 3);
    drum_line(m, p, 0, "K . h . . . h . K . h . . . h .");
    put_effect(m, p, 0, drums, fx_extended, 0x60);
    put_effect(m, p, 15, drums, fx_extended, 0x61);
    put_effect(m, p, 0, bass, fx_speed, 6);
    put_effect(m, p, 0, lead, fx_speed, 125);
    drum_line(m, p, 16, "K . h . S . h . K . h . S . h .");
    drum_line(m, p, 32, "K . h . S . h . K . h . S . h .");
    drum_line(m, p, 48, "K . h . S . h . K . K . S S S S");
    bass_held(m, p, 1, "F2");
    bass_held(m, p, 2, "C3");
    bass_held(m, p, 3, "G2");
}

void verse_rhythm(mb_module& m, int p)
{
    chord_am(m, p, 0);
    chord_f(m, p, 1);
    chord_c(m, p, 2);
    chord_g(m, p, 3);
    bass_groove(m, p, 0, "A2");
    bass_groove(m, p, 1, "F2");
    bass_groove(m, p, 2, "C3");
    bass_groove(m, p, 3, "G2");
    for (int bar = 0; bar < 4; bar++)
        drum_line(m, p, 16 * bar, bar == 3 ? groove_busy : groove);
}

// The first half of the verse tune, shared by both verses and the outro.
void verse_opening(mb_module& m, int p)
{
    melody(m, p, 0, lead, lead_voice, "E5 . . . D5 . C5 . B4 . C5 . A4 . . .");
    melody(m, p, 16, lead, lead_voice, "A4 . C5 . F5 . . . E5 . D5 . C5 . . .");
    vibrato(m, p, lead, 2, 3, 0x51);
    vibrato(m, p, lead, 14, 15, 0x51);
    vibrato(m, p, lead, 22, 23, 0x51);
    vibrato(m, p, lead, 30, 31, 0x51);
}

void verse(mb_module& m, int p)
{
    verse_rhythm(m, p);
    verse_opening(m, p);
    melody(m, p, 32, lead, lead_voice, "G4 . C5 . E5 . . . G5 . E5 . D5 . C5 .");
    melody(m, p, 48, lead, lead_voice, "D5 . . . . . . . B4 . . . G4 . . -");
    vibrato(m, p, lead, 51, 55, 0x62);
}

// The second verse ends by gliding from D up to G, into the chorus.
void verse_rising(mb_module& m, int p)
{
    verse_rhythm(m, p);
    verse_opening(m, p);
    melody(m, p, 32, lead, lead_voice, "G4 . C5 . E5 . . . G5 . A5 . G5 . E5 .");
    melody(m, p, 48, lead, lead_voice, "D5 . . .");
    glide(m, p, 52, lead, lead_voice, midi("G5"), 0x04, 3);
    vibrato(m, p, lead, 56, 63, 0x61);
}

void chorus_rhythm(mb_module& m, int p, bool to_dominant)
{
    chord_f(m, p, 0);
    chord_g(m, p, 1);
    chord_em(m, p, 2);
    bass_groove(m, p, 0, "F2");
    bass_groove(m, p, 1, "G2");
    bass_groove(m, p, 2, "E2");
    drum_line(m, p, 0, groove);
    drum_line(m, p, 16, groove);
    drum_line(m, p, 32, groove_busy);
    if (to_dominant) {
        chord_e(m, p, 3);
        bass_held(m, p, 3, "E2");
        snare_roll(m, p, 3);
    } else {
        chord_am(m, p, 3);
        bass_groove(m, p, 3, "A2");
        drum_line(m, p, 48, groove_busy);
    }
}

// The chorus tune: long high notes that swing with vibrato.
void chorus_opening(mb_module& m, int p)
{
    melody(m, p, 0, lead, lead_voice, "C5 . F5 . A5 . . . . . . . G5 . F5 .");
    melody(m, p, 16, lead, lead_voice, "G5 . . . . . F5 . D5 . . . B4 . . .");
    melody(m, p, 32, lead, lead_voice, "E5 . G5 . B5 . . . . . . . A5 . G5 .");
    vibrato(m, p, lead, 7, 11, 0x61);
    vibrato(m, p, lead, 19, 21, 0x51);
    vibrato(m, p, lead, 39, 43, 0x61);
}

void chorus(mb_module& m, int p)
{
    chorus_rhythm(m, p, false);
    chorus_opening(m, p);
    melody(m, p, 48, lead, lead_voice, "A5 . . . . . . . . . . . E5 . C5 .");
    vibrato(m, p, lead, 51, 59, 0x61);
}

// The second chorus ends on E major, which leans back to A minor.
void chorus_turning(mb_module& m, int p)
{
    chorus_rhythm(m, p, true);
    chorus_opening(m, p);
    melody(m, p, 48, lead, lead_voice, "B4 . . . E5 . . . G#5 . . . . . . .");
    vibrato(m, p, lead, 59, 63, 0x61);
}

// Outro: the verse tune once more, then a held A minor under which the
// tempo falls on every beat while bass and lead fade out.
void outro(mb_module& m, int p)
{
    chord_am(m, p, 0);
    chord_f(m, p, 1);
    chord_g(m, p, 2);
    chord_am(m, p, 3);
    bass_groove(m, p, 0, "A2");
    bass_groove(m, p, 1, "F2");
    bass_groove(m, p, 2, "G2");
    drum_line(m, p, 0, groove);
    drum_line(m, p, 16, groove);
    drum_line(m, p, 32, groove_busy);
    drum_line(m, p, 48, "K . . . . . . . . . . . . . . .");
    verse_opening(m, p);
    melody(m, p, 32, lead, lead_voice, "D5 . . . C5 . B4 . D5 . . . B4 . . .");
    melody(m, p, 48, lead, lead_voice, "A4");
    vibrato(m, p, lead, 50, 55, 0x62);
    for (int row = 56; row < 64; row++)
        put_effect(m, p, row, lead, fx_volume_slide, 0x02);
    put_note(m, p, 48, bass, bass_voice, midi("A2"));
    for (int row = 52; row < 64; row++)
        put_effect(m, p, row, bass, fx_volume_slide, 0x01);
    static constexpr uint8_t slowing[4] = {120, 112, 104, 96};
    for (int i = 0; i < 4; i++)
        put_effect(m, p, 48 + 4 * i, drums, fx_speed, slowing[i]);
}

mb_module compose()
{
    mb_module m = mb_new("M.K.");
    m.title = "tunedump demo";
    m.samples[bass_sample] = make_bass();
    m.samples[lead_sample] = make_lead();
    m.samples[pad_sample] = make_pad();
    m.samples[kick_sample] = make_kick();
    m.samples[snare_sample] = make_snare();
    m.samples[hat_sample] = make_hat();
    intro(m, 0);
    verse(m, 1);
    verse_rising(m, 2);
    chorus(m, 3);
    chorus_turning(m, 4);
    outro(m, 5);
    m.order = {0, 1, 2, 3, 4, 5};
    m.restart = 0;
    return m;
}

}  // namespace

int main(int argc, char** argv)
{
    const char* path = argc > 1 ? argv[1] : "demo.mod";
    if (!mb_write(compose(), path)) {
        std::fprintf(stderr, "cannot write %s\n", path);
        return 1;
    }
    return 0;
}

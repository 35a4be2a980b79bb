// The player for the page: plain C functions the page's JavaScript calls,
// one instance each in the page (what a module holds, its notes), in the
// audio worklet (playback) and in the stems worker (the files to download).
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "frontend/safe_name.h"
#include "frontend/tunedump_info.h"
#include "frontend/wav_header.h"
#include "tunedump/tunedump.h"

#define TD_WEB extern "C" __attribute__((used, visibility("default")))

namespace {

// The command line's rate, mixer limit and block for the files; playback
// pulls at most a block at a time, in stereo.
constexpr int32_t file_rate = 44100;
constexpr int32_t mix_limit = 4096;
constexpr int32_t block = 1024;
constexpr int32_t play_separation = 50;
constexpr int32_t slots = 32;  // 0 is the mix, 1..31 the samples
constexpr int32_t note_fields = 6;
constexpr int32_t notes_at_once = 256;

// input: where the page writes a file; pristine: the module taken, as read;
// image: the copy the player converts and plays.
uint8_t input[VEX_IMAGE_BUFFER];
uint8_t pristine[VEX_IMAGE_BUFFER];
uint8_t image[VEX_IMAGE_BUFFER];
vex_sequence sequences[VEX_MAX_SEQUENCES];
int32_t sequence_count = 0;
std::string text;

// The stems pump's targets: slot 0 the mix, slot n sample n's stem.
int16_t stereo[slots][2 * block];
int16_t* stem_targets[slots];
float out_left[block];
float out_right[block];

std::vector<int16_t> file_chunk[slots];  // mono, the blocks of one td_web_stems_render
int32_t file_frames = 0;
int32_t file_done = 0;
uint8_t wav_header[td_wav_header_bytes];

std::vector<int32_t> note_table;

bool start_player(int32_t rate, int32_t separation)
{
    if (vex_init(rate, mix_limit) == 0)
        return false;
    if (separation >= 0)
        vex_set_stereo(separation);
    mix_solosample = 0;
    return true;
}

// The module taken, from row 0 of order position.
bool load_at(int32_t position)
{
    std::memcpy(image, pristine, sizeof image);
    if (vex_get(image) == 0)
        return false;
    vex_start_at(position);
    vex_start(1);
    return true;
}

// Sequence n, or null when the module has none of that number.
const vex_sequence* sequence(int32_t n)
{
    return n >= 0 && n < sequence_count ? &sequences[n] : nullptr;
}

// A field of sequence n, 0 when there is none.
template <typename Field>
int32_t of_sequence(int32_t n, Field field)
{
    const vex_sequence* s = sequence(n);
    return s != nullptr ? static_cast<int32_t>(s->*field) : 0;
}

// A sample's stem stays silent until its first use, so the pump leaves it
// alone until then.
void clear_stems()
{
    for (int32_t n = 0; n < slots; n++) {
        std::memset(stereo[n], 0, sizeof stereo[n]);
        stem_targets[n] = n == 0 ? nullptr : stereo[n];
    }
}

// The input as the command line reads a file of size bytes.
void zero_past(int32_t size)
{
    const size_t kept = size < 0                ? 0
                        : size > VEX_IMAGE_SIZE ? VEX_IMAGE_SIZE
                                                : static_cast<size_t>(size);
    std::memset(input + kept, 0, sizeof input - kept);
}

int16_t clamp16(int32_t v)
{
    return static_cast<int16_t>(v > 32767 ? 32767 : v < -32768 ? -32768 : v);
}

}  // namespace

// Where the page writes up to VEX_IMAGE_SIZE bytes of a file.
TD_WEB uint8_t* td_web_input() { return input; }

// Takes size bytes of the input as the module, as the command line reads a
// file: its first VEX_IMAGE_SIZE bytes, zero past its end, scanned at 44100
// frames a second. 0 when refused (td_web_error says why); the module
// taken before stays.
TD_WEB int32_t td_web_open(int32_t size)
{
    zero_past(size);
    if (!start_player(file_rate, -1))
        return 0;
    vex_sequence found[VEX_MAX_SEQUENCES];
    const int32_t count = vex_sequences(input, found, VEX_MAX_SEQUENCES);
    if (count == 0)
        return 0;
    std::memcpy(pristine, input, sizeof pristine);
    std::memcpy(sequences, found, sizeof sequences);
    sequence_count = count;
    return 1;
}

// Takes the input as the module unchecked, for an instance that plays a
// module another instance has taken.
TD_WEB void td_web_take(int32_t size)
{
    zero_past(size);
    std::memcpy(pristine, input, sizeof pristine);
}

TD_WEB const char* td_web_error() { return pt_errorstr != nullptr ? pt_errorstr : ""; }
TD_WEB const char* td_web_title()
{
    text = td_printable(pristine, td_title_bytes);
    return text.c_str();
}
TD_WEB int32_t td_web_channels() { return td_channels(pristine); }
TD_WEB int32_t td_web_sequences() { return sequence_count; }
TD_WEB int32_t td_web_sequence_position(int32_t n)
{
    return of_sequence(n, &vex_sequence::start_position);
}
// At 44100 frames a second.
TD_WEB int32_t td_web_sequence_frames(int32_t n) { return of_sequence(n, &vex_sequence::frames); }
TD_WEB uint32_t td_web_sequence_samples(int32_t n)
{
    return static_cast<uint32_t>(of_sequence(n, &vex_sequence::samples_used));
}
TD_WEB const char* td_web_sample_name(int32_t n)
{
    text = td_printable(td_sample_name(pristine, n), td_name_bytes);
    return text.c_str();
}
TD_WEB int32_t td_web_sample_bytes(int32_t n) { return td_sample_bytes(pristine, n); }

// Notes of sequence n at 44100 frames a second, note_fields values each:
// start frame, end frame, channel, sample, period, volume. Their count.
TD_WEB int32_t td_web_notes(int32_t n)
{
    note_table.clear();
    const vex_sequence* s = sequence(n);
    if (s == nullptr || !start_player(file_rate, -1) || !load_at(s->start_position))
        return 0;
    vex_notes_record(1);
    vex_skip(s->frames);
    vex_notes_record(0);
    vex_note notes[notes_at_once];
    for (int32_t got; (got = vex_notes(notes, notes_at_once)) > 0;) {
        for (int32_t i = 0; i < got; i++) {
            const vex_note& e = notes[i];
            const int32_t row[note_fields] = {static_cast<int32_t>(e.start_frame),
                                              static_cast<int32_t>(e.end_frame), e.channel,
                                              e.sample, e.period, e.volume};
            note_table.insert(note_table.end(), row, row + note_fields);
        }
    }
    return static_cast<int32_t>(note_table.size() / note_fields);
}
TD_WEB const int32_t* td_web_note_table() { return note_table.data(); }

// Playback: stereo at rate, from `frame` frames into the sequence that
// starts at order position `position`. 1 when playing.
TD_WEB int32_t td_web_play(int32_t rate, int32_t position, int32_t frame)
{
    if (!start_player(rate, play_separation) || !load_at(position))
        return 0;
    if (frame > 0)
        vex_skip(frame);
    clear_stems();
    return 1;
}

// The next frames frames (at most a block) into td_web_left and
// td_web_right. Bit n of audible lets sample n be heard: with every sample
// the song has used audible it is the mix, else the sum of the audible
// samples' stems.
TD_WEB void td_web_pull(int32_t frames, uint32_t audible)
{
    if (frames > block)
        frames = block;
    mix_newhand_stems(0, stereo[0], frames * 4, stem_targets);
    uint32_t used = 0;
    for (int32_t n = 1; n < slots; n++)
        if (vex_sample_used(n))
            used |= 1u << n;
    const bool whole = (used & audible) == used;
    for (int32_t i = 0; i < frames; i++) {
        int32_t l = 0;
        int32_t r = 0;
        if (whole) {
            l = stereo[0][2 * i];
            r = stereo[0][2 * i + 1];
        } else {
            for (int32_t n = 1; n < slots; n++) {
                if ((used & audible) >> n & 1) {
                    l += stereo[n][2 * i];
                    r += stereo[n][2 * i + 1];
                }
            }
        }
        out_left[i] = clamp16(l) / 32768.0f;
        out_right[i] = clamp16(r) / 32768.0f;
    }
}
TD_WEB const float* td_web_left() { return out_left; }
TD_WEB const float* td_web_right() { return out_right; }

// The files of `--stems` for sequence n: the command line's player (44100,
// mono, no stereo), the sequence's frames in whole blocks. Their number of
// frames, or 0.
TD_WEB int32_t td_web_stems_start(int32_t n)
{
    const vex_sequence* s = sequence(n);
    if (s == nullptr || !start_player(file_rate, -1))
        return 0;
    // The command line scans the module before it loads it.
    vex_sequence scan[VEX_MAX_SEQUENCES];
    vex_sequences(pristine, scan, VEX_MAX_SEQUENCES);
    if (!load_at(s->start_position))
        return 0;
    clear_stems();
    file_frames = (s->frames + block - 1) / block * block;
    file_done = 0;
    return file_frames;
}

// Renders up to blocks more blocks; td_web_stems_chunk(k) then holds their
// left values for slot k (0 the mix). Returns the slots that have a file
// (bit k): the mix and every sample used so far. A file's frames before
// its sample was first used are silence.
TD_WEB uint32_t td_web_stems_render(int32_t blocks)
{
    for (std::vector<int16_t>& chunk : file_chunk)
        chunk.clear();
    for (int32_t b = 0; b < blocks && file_done < file_frames; b++, file_done += block) {
        mix_newhand_stems(0, stereo[0], static_cast<int32_t>(sizeof stereo[0]), stem_targets);
        for (int32_t k = 0; k < slots; k++)
            for (int32_t i = 0; i < block; i++)
                file_chunk[k].push_back(stereo[k][2 * i]);
    }
    uint32_t files = 1;
    for (int32_t k = 1; k < slots; k++)
        if (vex_sample_used(k))
            files |= 1u << k;
    return files;
}
TD_WEB const int16_t* td_web_stems_chunk(int32_t k) { return file_chunk[k].data(); }
TD_WEB int32_t td_web_stems_done() { return file_done; }
// Slot k's file name, as `--stems` names it.
TD_WEB const char* td_web_stem_file(int32_t k)
{
    text = k == 0 ? std::string("mix.wav")
                  : td_stem_name(k, td_sample_name(image, k), td_name_bytes);
    return text.c_str();
}
// The WAV header of a file of frames mono frames at 44100.
TD_WEB const uint8_t* td_web_wav_header(int32_t frames)
{
    td_wav_header(wav_header, static_cast<uint32_t>(frames) * 2, file_rate, 1);
    return wav_header;
}

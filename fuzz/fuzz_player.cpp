// libFuzzer target: a fuzz input is a module file, played the way the
// command line plays it.
//
// How an input is read:
// - the whole input (at most VEX_IMAGE_SIZE bytes) is the module image, zero
//   past its end, exactly as the front end reads a file;
// - its first byte (the first byte of the module title, which playback never
//   reads) picks the mode, byte % fuzz_mode_count, from fuzz_modes: play the
//   mix, play the mix with every sample's stem, scan the song's sequences
//   (over one pass and over two) and play the one the second-last byte
//   picks (% the sequence count), or describe the module as --info does and
//   name its stem files; the mix is played with its notes recorded, made
//   into a MIDI file as they come, which must be the file made from all of
//   them at the end, and into CSV;
// - its last byte % 32 is the solo sample number (0: no solo);
// - the event conditions tested between blocks are made from its last
//   condition_bytes bytes, read backwards and wrapping round a short input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "frontend/notes_csv.h"
#include "frontend/notes_midi.h"
#include "frontend/tunedump_info.h"
#include "frontend/tunedump_stems.h"
#include "frontend/module_load.h"
#include "tunedump/tunedump.h"

namespace {

constexpr int32_t block_bytes = 4 * td_blockframes;  // the front end's block
constexpr int32_t play_blocks = 128;                  // 3 s of audio
constexpr int32_t blocks_between_conditions = 8;
constexpr int32_t condition_count = 3;
constexpr int32_t condition_fields = sizeof(vex_condition) / sizeof(int32_t);
constexpr size_t condition_bytes = condition_count * condition_fields;

uint8_t* image = nullptr;
int16_t block[2 * td_blockframes];

void load_image(const uint8_t* data, size_t size)
{
    const size_t used = size < VEX_IMAGE_SIZE ? size : VEX_IMAGE_SIZE;
    std::memset(image, 0, VEX_IMAGE_BUFFER);
    std::memcpy(image, data, used);
}

// Small signed values reach every case of a pair: a negative upper bound
// (any value), empty ranges, a row modulus of 0, 1 or a negative one.
void make_conditions(const uint8_t* data, size_t size, vex_condition* out)
{
    int32_t* fields = reinterpret_cast<int32_t*>(out);
    for (size_t i = 0; i < condition_bytes; i++)
        fields[i] = static_cast<int8_t>(data[(size - 1 - i % size)]);
}

void check_conditions(const vex_condition* conditions)
{
    for (int32_t i = 0; i < condition_count; i++)
        if ((ehto_toteutuu(&conditions[i]) & ~1) != 0)
            std::abort();
}

using block_fn = void (*)();

void mix_block() { mix_newhand(0, block, block_bytes); }

// The notes of a render, and its MIDI file made as they come.
td_note_list noted;
td_midi_ptr midi;
int32_t noted_blocks = 0;

void take_notes()
{
    vex_note batch[64];
    for (int32_t n; (n = vex_notes(batch, 64)) > 0;) {
        for (int32_t i = 0; i < n; i++) {
            vex_note note = batch[i];
            const vex_note_change* changes = vex_note_changes_at(note.first_change, note.changes);
            if (note.end_frame <= note.start_frame || note.channel < 0 || note.channel >= 32 ||
                note.sample < 0 || note.sample >= 32 || (note.changes > 0 && changes == nullptr))
                std::abort();
            td_midi_keep(*midi, note, changes);
            note.first_change = static_cast<int32_t>(noted.changes.size());
            noted.changes.insert(noted.changes.end(), changes, changes + note.changes);
            noted.notes.push_back(note);
        }
    }
}

// Recording starts once the module is loaded and started, as in the front end.
void mix_block_noting()
{
    if (noted_blocks == 0)
        vex_notes_record(1);
    mix_newhand(0, block, block_bytes);
    take_notes();
    if (++noted_blocks % 16 == 0)
        td_midi_settle(*midi, vex_notes_running_from);
}

void mix_block_with_stems()
{
    static int16_t stem[32][2 * td_blockframes];
    static int16_t* stems[32];
    for (int32_t n = 1; n < 32; n++)
        stems[n] = stem[n];
    mix_newhand_stems(0, block, block_bytes, stems);
    for (int32_t n = 1; n < 32; n++)
        if ((vex_sample_used(n) & ~1) != 0)
            std::abort();
}

// Loads the image as it stands, starts at an order position and renders.
void load_and_render(const uint8_t* data, size_t size, int32_t position, block_fn mix)
{
    mix_solosample = data[size - 1] % 32;
    if (vex_get(image) == 0)
        return;
    vex_start_at(position);
    vex_start(1);
    vex_condition conditions[condition_count];
    make_conditions(data, size, conditions);
    for (int32_t b = 0; b < play_blocks; b++) {
        mix();
        if (b % blocks_between_conditions == 0)
            check_conditions(conditions);
    }
}

void play(const uint8_t* data, size_t size)
{
    load_image(data, size);
    const td_note_names names = td_note_names_of(image);
    noted = td_note_list{};
    midi = td_midi_start(names, td_rate);
    noted_blocks = 0;
    load_and_render(data, size, 0, mix_block_noting);
    vex_notes_record(0);
    take_notes();
    td_midi_settle(*midi, td_midi_nothing_runs);
    std::string file;
    for (const std::string_view piece : td_midi_file(*midi, 0).pieces)
        file += piece;
    if (file != td_notes_midi(noted, names, td_rate) ||
        td_notes_csv(noted, names, td_rate).size() < std::strlen(td_notes_csv_header))
        std::abort();
    midi.reset();
}

void play_stems(const uint8_t* data, size_t size)
{
    load_image(data, size);
    load_and_render(data, size, 0, mix_block_with_stems);
}

// Over two passes: the same sequences, each at least as long, a looping one
// looping from inside its first pass, every length within the cap. Only for
// songs of a few minutes in all, so that the mode stays fast.
void check_two_passes(const vex_sequence* once, int32_t count, int32_t filled)
{
    int64_t total = 0;
    for (int32_t i = 0; i < filled; i++)
        total += once[i].frames;
    if (total > 180LL * td_rate)
        return;
    static vex_sequence twice[VEX_MAX_SEQUENCES];
    if (vex_sequences_looped(image, twice, VEX_MAX_SEQUENCES, 2) != count)
        std::abort();
    for (int32_t i = 0; i < filled; i++)
        if (twice[i].frames > VEX_SONG_FRAMES_MAX ||
            twice[i].start_position != once[i].start_position ||
            twice[i].loop_start != once[i].loop_start || twice[i].frames < once[i].frames ||
            (once[i].loop_start < 0 && twice[i].frames != once[i].frames) ||
            once[i].loop_start >= once[i].frames)
            std::abort();
}

void play_sequence(const uint8_t* data, size_t size)
{
    load_image(data, size);
    static vex_sequence sequences[VEX_MAX_SEQUENCES];
    const int32_t count = vex_sequences(image, sequences, VEX_MAX_SEQUENCES);
    if (count < 0)
        std::abort();
    if (count == 0)
        return;
    // The scan counts every sequence but fills at most the table's entries.
    const int32_t filled = count < VEX_MAX_SEQUENCES ? count : VEX_MAX_SEQUENCES;
    for (int32_t i = 0; i < filled; i++)
        if (sequences[i].frames < 0 || sequences[i].frames > VEX_SONG_FRAMES_MAX)
            std::abort();
    check_two_passes(sequences, count, filled);
    const int32_t pick = size >= 2 ? data[size - 2] % filled : 0;
    load_and_render(data, size, sequences[pick].start_position, mix_block);
}

// What --info prints and the names --stems gives the files, from the
// untrusted header: no name may leave the folder or hide.
void describe(const uint8_t* data, size_t size)
{
    load_image(data, size);
    static FILE* sink = std::fopen("/dev/null", "w");
    static vex_sequence sequences[VEX_MAX_SEQUENCES];
    const int32_t count = vex_sequences(image, sequences, VEX_MAX_SEQUENCES);
    if (count > 0)
        td_print_info(sink, image, sequences, count, td_rate);
    for (int32_t n = 1; n < 32; n++) {
        const std::string name = td_stem_name(n, td_sample_name(image, n), td_name_bytes);
        if (name.find('/') != std::string::npos || name[0] == '.')
            std::abort();
    }
}

using fuzz_mode = void (*)(const uint8_t*, size_t);
constexpr fuzz_mode fuzz_modes[] = {play, play_stems, play_sequence, describe};
constexpr size_t fuzz_mode_count = sizeof fuzz_modes / sizeof fuzz_modes[0];

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // One image for the whole run, on the heap so that a read past its end
    // is caught; the player is brought up once, as a host does.
    image = static_cast<uint8_t*>(std::malloc(VEX_IMAGE_BUFFER));
    if (image == nullptr || vex_init(td_rate, td_mixblock) == 0)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    fuzz_modes[data[0] % fuzz_mode_count](data, size);
    return 0;
}

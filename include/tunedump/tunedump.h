/* tunedump: a module player library for host programs.
 *
 * Calling order: vex_init once; vex_set_stereo if stereo is wanted; set
 * mix_solosample if one sample is to be heard alone; vex_get with a module image that stays in place for the whole
 * playback; vex_start; any number of mix_newhand calls; vex_close.
 * vex_position, vex_time, vex_set_mastervolume and ehto_toteutuu may be
 * called between mix_newhand calls.
 */
#ifndef TUNEDUMP_TUNEDUMP_H
#define TUNEDUMP_TUNEDUMP_H

#include <stdint.h>

/* A module image is the module file's first VEX_IMAGE_SIZE bytes, zero past
 * the end of the file, followed by VEX_IMAGE_GUARD zero bytes: allocate
 * VEX_IMAGE_BUFFER bytes, zero them, and read the file into the front. */
#define VEX_IMAGE_SIZE 2000000
#define VEX_IMAGE_GUARD 16
#define VEX_IMAGE_BUFFER (VEX_IMAGE_SIZE + VEX_IMAGE_GUARD)

#ifdef __cplusplus
extern "C" {
#endif

/* An event condition: eight (lower, upper) pairs, seven of them tested.
 * A pair matches any value when its upper bound is negative. */
typedef struct vex_condition {
    int32_t channel_lo, channel_hi;
    int32_t sample_lo, sample_hi;
    int32_t reserved_lo, reserved_hi;
    int32_t effect_lo, effect_hi;
    int32_t parameter_lo, parameter_hi;
    int32_t songpos_lo, songpos_hi;
    int32_t row_modulus; /* unsigned divisor of the row; 0 leaves it unreduced */
    int32_t row_lo, row_hi;
    int32_t tick_lo, tick_hi;
} vex_condition;

/* Mixes `rate` frames a second, at most `frames` frames in one mixer call.
 * A replay tick lasts rate x 125 / (tempo x 50) frames, rounded down (2.5 /
 * tempo seconds; at least one frame). 1 on success, 0 when the driver or
 * mixer could not be brought up. */
int32_t vex_init(int32_t rate, int32_t frames);
/* 1 if the module was loaded, 0 if refused (the reason is in pt_errorstr). */
int32_t vex_get(uint8_t* image);
void vex_start(int32_t hz);
/* Fills bytes / 4 stereo frames of two signed 16-bit values, left first. */
void mix_newhand(int32_t unused, void* destination, int32_t bytes);
/* The left channel alone: fills bytes / 2 signed 16-bit values, the left
 * values mix_newhand gives for the same frames, in less time. Calls of
 * either kind may follow each other. */
void mix_newhand_left(int32_t unused, void* destination, int32_t bytes);
/* Moves the song on by frames frames without rendering them: what follows
 * is what a render of those frames would have been followed by. Much faster
 * than rendering, for starting part way into a song. */
void vex_skip(int32_t frames);
/* As mix_newhand, and in the same pass every sample's stem: for each sample n
 * (1..31) whose stems[n] is not null and that vex_sample_used reports after
 * the call, stems[n] receives bytes / 4 stereo frames, exactly what
 * mix_newhand gives with mix_solosample = n from the same load on. The
 * buffer of a sample not used yet is left as it is: that sample has been
 * silent so far. stems holds 32 pointers; stems[0] is not used.
 *
 *     int16_t mix[2 * 1024], stem[32][2 * 1024];
 *     int16_t* stems[32] = {0};
 *     for (int n = 1; n < 32; n++) stems[n] = stem[n];
 *     mix_newhand_stems(0, mix, sizeof mix, stems);
 *     for (int n = 1; n < 32; n++)
 *         if (vex_sample_used(n)) use(n, stem[n]);
 */
void mix_newhand_stems(int32_t unused, void* destination, int32_t bytes, int16_t* const* stems);
/* 1 once sample n (1..31), of non-zero length, has been set on a channel
 * since the module was loaded, else 0. */
int32_t vex_sample_used(int32_t n);
void vex_close(void);
/* Stereo: channels panned left, right, right, left, repeating, at a
 * separation of 0..100 per cent (100: hard left and right; 0: every channel
 * in the middle; more is taken as 100); a negative value turns it off.
 * A left channel gets the panning (255 x (100 - separation) + 100) / 200, a
 * right one 255 minus that (0..255 is full left .. full right). It takes the
 * place of the full-left panning the player gives a channel when a sample
 * is set on it, so a sample set with effect 8, which sends no panning,
 * leaves the channel as it was (127 after vex_init). Call after vex_init,
 * which turns it off; it holds through vex_get and vex_sequences. Off, the
 * mix is the same to the byte as without this call. */
void vex_set_stereo(int32_t separation);
int32_t vex_set_mastervolume(double level);
/* Row + 100 x order position. */
int32_t vex_position(void);
/* Milliseconds of audio produced since the last vex_start. */
int32_t vex_time(void);
/* Recomputes and returns the frames of one replay tick at the current tempo
 * and the rate of the last vex_init; 0 while no module is loaded. */
int32_t update_samples_per_tick(void);

/* The song and the further tunes a module packs into its order list.
 *
 * A sequence starts at row 0 of an order position and plays, tick by tick,
 * until it is about to start a row in a state (order position, row, every
 * channel's pattern-loop counter) that it or an earlier sequence has
 * started a row in, or until a tick leaves the speed at 0 (that tick still
 * counts). Sequence 0 starts at position 0; each further one at the lowest
 * position below the song length that no earlier sequence started a row at,
 * from the state right after loading.
 *
 * Lengths are in frames at the rate given to the last vex_init (44100 before
 * any), at most 1200 s: VEX_SONG_FRAMES_AT(rate). VEX_SONG_FRAMES_MAX is
 * that cap at 44100 frames a second. */
#define VEX_MAX_SEQUENCES 128
#define VEX_SONG_SECONDS_MAX 1200
#define VEX_SONG_FRAMES_AT(rate) ((int32_t)(rate) * VEX_SONG_SECONDS_MAX)
#define VEX_SONG_FRAMES_MAX 52920000
#define VEX_MAX_LOOPS 16

typedef struct vex_sequence {
    int32_t start_position; /* order position whose row 0 starts the sequence */
    int32_t frames;         /* its length */
    uint32_t samples_used;  /* bit s (1..31): a row it plays names sample s */
    /* The frame at which the row state that ended the sequence first
     * started, when that state is one the sequence itself started: it loops
     * from there. -1 when it does not loop: it stopped at speed 0, reached
     * the cap, or ran into a row state an earlier sequence started. */
    int32_t loop_start;
} vex_sequence;

/* Scans a module image as read from the file (not one already given to
 * vex_get: loading converts it in place). The image itself is not touched:
 * a copy is loaded and played without mixing. Fills up to max entries and
 * returns the number of sequences (1 or more), or 0 when the module is
 * refused (the reason is in pt_errorstr).
 * Left behind: the mixer, its sample slots, the driver table and the render
 * pump are as they were, but the replayer holds no module any more (a
 * module loaded before is dropped; mix_newhand gives silence), so call
 * vex_get after the scan, not before it. */
int32_t vex_sequences(const uint8_t* image, vex_sequence* sequences, int32_t max);
/* As vex_sequences, with each looping sequence's length taken over `loops`
 * passes (1..VEX_MAX_LOOPS; values outside are taken as the nearest end).
 * The sequence is played on past its end, and the length ends where the row
 * state that ended it is about to start for the (loops + 1)-th time. Passes
 * are played, not multiplied: speed and tempo are not part of the row
 * state, so a later pass may be a few frames longer or shorter than the
 * first. The length stays within the cap, and stops early should a later
 * pass leave the speed at 0. A sequence that does not loop keeps its
 * length. Which positions start sequences, and where they loop, do not
 * depend on loops; samples_used covers the rows of every pass. 1 gives what
 * vex_sequences gives. */
int32_t vex_sequences_looped(const uint8_t* image, vex_sequence* sequences, int32_t max,
                             int32_t loops);
/* Call after vex_get and before the first mix_newhand: the first tick then
 * starts row 0 of order position `position` instead of position 0, with
 * every other part of the player as vex_get left it. A position at or past
 * the song length starts at the restart position. */
void vex_start_at(int32_t position);

/* Notes: every note the song plays, with the frames it starts and ends on.
 *
 * A note starts on a channel in a replay tick when the channel's voice is
 * given a read position inside its sample (a note, a delayed note, a
 * retrigger, a sample offset), when a channel that never played gets a
 * sample (it plays from position 0), or when another sample is set on a
 * voice that plays on without a new position. It ends at the earliest of:
 * the next start on its channel; the frame after the last one its voice
 * played (a one-shot sample ran out, or the volume went to 0 and stayed
 * there until the next start); the frame reached when recording stops. A
 * note never heard is not listed. With mix_solosample = n only sample n's
 * notes are listed. Frames count from vex_start, as mix_newhand and
 * vex_skip move on: a skip records the notes a render of the same frames
 * would. Loading a module (vex_get, vex_init) forgets every note not handed
 * out yet, and the running ones; recording stays on or off as it was. */
typedef struct vex_note {
    int64_t start_frame; /* the first frame of the tick it starts in */
    int64_t end_frame;   /* the first frame it is no longer heard in */
    int32_t channel;     /* 0 for the first channel */
    int32_t sample;      /* 1..31 */
    int32_t note;        /* the note index of the cell (36 is C-2), -1 when it has none */
    int32_t period;      /* the last period sent to the channel by then; 0 if none */
    int32_t volume;      /* at the start, 0..64 */
    int32_t first_change; /* its changes: vex_note_changes from first_change on, */
    int32_t changes;      /* this many */
} vex_note;

/* A tick within a note that changed its period or volume (slides,
 * vibrato, arpeggio, tremolo), in the order they happened. */
typedef struct vex_note_change {
    int64_t frame; /* the first frame of that tick */
    int32_t period;
    int32_t volume;
} vex_note_change;

/* 1 starts recording from an empty list (notes running already are not
 * known); 0 stops it, and every running note ends at the frame reached. */
void vex_notes_record(int32_t on);
/* Hands out up to max of the notes that have ended and were not handed out
 * yet, in the order they ended; returns how many. A running note is only
 * handed out once it has ended, with its end and all its changes: stop
 * recording at the end of the render to end the running ones. */
int32_t vex_notes(vex_note* notes, int32_t max);
/* Copies up to max changes, from change first on, of the notes the last
 * vex_notes call handed out; returns how many. They stay there until the
 * next vex_notes call. */
int32_t vex_note_changes(int32_t first, vex_note_change* changes, int32_t max);
/* The same changes in place, count of them from change first on, without a
 * copy: null unless all of them belong to the notes the last vex_notes call
 * handed out. They stay there until the next vex_notes call. */
const vex_note_change* vex_note_changes_at(int32_t first, int32_t count);
/* Every note of sample (0: of any sample) not handed out yet that has not
 * ended starts at or after this frame: the start of the earliest running
 * note of that sample, or the frame reached when none runs. A host that
 * lists notes by their start (taking what vex_notes has first) may list
 * those that start before it. */
int64_t vex_notes_running_from(int32_t sample);

/* 0: no solo; 1..31: only that sample is heard. Set before vex_get. */
extern int32_t mix_solosample;
/* The loader's message for the last refused module, or null. */
extern const char* pt_errorstr;

/* Stores a host value; returns its id (1 or more), or 0 when full. */
int32_t vex_set_callback(void* callback);
/* 1 when some channel meets the condition at the current tick. */
int32_t ehto_toteutuu(const vex_condition* condition);
int32_t inrange(int32_t value, int32_t lower, int32_t upper);

#ifdef __cplusplus
}
#endif

#endif

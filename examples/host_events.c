/* host_events: plays a module through the tunedump library and reports its
 * musical events as they happen.
 *
 *     host_events [module.mod [sample [seconds]]]
 *
 * The module defaults to demo.mod in the current folder, the watched sample
 * to 1 and the playing time to 8 seconds. Each event line gives the audio
 * time in milliseconds, the position (row + 100 x order position) and the
 * event. Events with a callback were registered with vex_set_callback; the
 * host calls them itself when their condition matches.
 */
#include <stdio.h>
#include <stdlib.h>

#include <tunedump/tunedump.h>

/* Shorter than the shortest replay tick (432 frames at tempo 255): the
 * replayer never runs two ticks inside one block, so no tick goes unseen. */
#define BLOCK_FRAMES 256

static uint8_t image[VEX_IMAGE_BUFFER];
static int16_t block[2 * BLOCK_FRAMES];

struct event;
typedef void (*event_callback)(const struct event* e);

struct event {
    const char* name;
    vex_condition when;
    event_callback callback; /* NULL: the event is only printed */
    int32_t id;              /* from vex_set_callback; 0 when not registered */
    /* A tick spans several blocks: an event is reported when it begins to
     * match, or when it goes on matching at a new position. */
    int32_t matching;
    int32_t position;
    int32_t count;
};

static vex_condition anything(void)
{
    vex_condition c = {
        .channel_lo = 0, .channel_hi = -1, .sample_lo = 0, .sample_hi = -1,
        .reserved_lo = 0, .reserved_hi = -1, .effect_lo = 0, .effect_hi = -1,
        .parameter_lo = 0, .parameter_hi = -1, .songpos_lo = 0, .songpos_hi = -1,
        .row_modulus = 1, .row_lo = 0, .row_hi = -1, .tick_lo = 0, .tick_hi = -1,
    };
    return c;
}

/* The first tick of every row whose place in a period of rows is 0. */
static vex_condition every_rows(int32_t period)
{
    vex_condition c = anything();
    c.row_modulus = period;
    c.row_lo = 0, c.row_hi = 0;
    c.tick_lo = 0, c.tick_hi = 0;
    return c;
}

static vex_condition sample_playing(int32_t sample)
{
    vex_condition c = anything();
    c.sample_lo = sample, c.sample_hi = sample;
    c.tick_lo = 0, c.tick_hi = 0;
    return c;
}

static void print_event(const struct event* e, const char* how)
{
    printf("%7d ms  pos %5d  %s%s\n", (int)vex_time(), (int)vex_position(), e->name, how);
}

static void on_pattern_start(const struct event* e) { print_event(e, " (callback)"); }
static void on_bar(const struct event* e) { print_event(e, " (callback)"); }

static int load_module(const char* path)
{
    FILE* file = fopen(path, "rb");
    if (file == NULL) {
        fprintf(stderr, "host_events: cannot open %s\n", path);
        return 0;
    }
    size_t got = fread(image, 1, VEX_IMAGE_SIZE, file);
    (void)got; /* a short file is zero past its end */
    fclose(file);
    if (vex_get(image) == 0) {
        fprintf(stderr, "host_events: %s\n", pt_errorstr);
        return 0;
    }
    return 1;
}

static void check_events(struct event* events, int n)
{
    for (int i = 0; i < n; i++) {
        struct event* e = &events[i];
        const int32_t was_matching = e->matching;
        const int32_t was_at = e->position;
        e->matching = ehto_toteutuu(&e->when);
        e->position = vex_position();
        if (!e->matching || (was_matching && was_at == e->position))
            continue;
        e->count++;
        if (e->callback != NULL)
            e->callback(e);
        else
            print_event(e, "");
    }
}

int main(int argc, char** argv)
{
    const char* path = argc > 1 ? argv[1] : "demo.mod";
    const int32_t watched = argc > 2 ? atoi(argv[2]) : 1;
    const int32_t seconds = argc > 3 ? atoi(argv[3]) : 8;
    char sample_name[32];
    snprintf(sample_name, sizeof sample_name, "sample %d", (int)watched);

    struct event events[] = {
        {"pattern start", every_rows(64), on_pattern_start, 0, 0, 0, 0},
        {"bar", every_rows(16), on_bar, 0, 0, 0, 0},
        {sample_name, sample_playing(watched), NULL, 0, 0, 0, 0},
    };
    const int n = (int)(sizeof events / sizeof events[0]);

    if (vex_init(44100, 4096) == 0) {
        fputs("host_events: the player cannot start\n", stderr);
        return 1;
    }
    for (int i = 0; i < n; i++) {
        if (events[i].callback == NULL)
            continue;
        events[i].id = vex_set_callback(&events[i]);
        printf("callback %d: %s\n", (int)events[i].id, events[i].name);
    }
    if (!load_module(path))
        return 1;
    vex_start(1);

    const long frames = 44100L * seconds;
    for (long done = 0; done < frames; done += BLOCK_FRAMES) {
        mix_newhand(0, block, (int32_t)sizeof block);
        check_events(events, n);
    }
    vex_close();

    for (int i = 0; i < n; i++)
        printf("%s: %d\n", events[i].name, (int)events[i].count);
    return 0;
}

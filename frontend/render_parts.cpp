#include "frontend/render_parts.h"

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "frontend/module_load.h"
#include "frontend/note_files.h"
#include "frontend/piece_writer.h"
#include "frontend/render.h"
#include "frontend/run_cleanup.h"
#include "tunedump/tunedump.h"

int td_render_parts = 0;

namespace {

// Below this a part costs more to start than it saves.
constexpr int32_t min_part_seconds = 30;
// Each process holds its pieces and up to 2 MiB besides: four parts stay
// within 16 MiB.
constexpr int max_parts = 4;

int processors()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return 1;
    return CPU_COUNT(&set);
}

// Frame where part i of parts starts, on a block boundary. The last part
// moves the player over all the others first; with notes it also writes
// the note files, so it is made shorter: moving on costs about an eighth
// of rendering, and the notes of a busy song about an eighth of rendering
// the whole song.
int32_t part_start(int32_t frames, int parts, int i, bool notes)
{
    const int64_t blocks = frames / td_blockframes;
    int64_t at = blocks * i / parts;
    if (notes && i == parts - 1)
        at += blocks / parts * (parts + 1) / 16;
    return static_cast<int32_t>(at) * td_blockframes;
}

// Moves the player on by frames, taking its notes as it goes.
void skip_taking_notes(int32_t frames)
{
    constexpr int32_t step = 1 << 17;
    for (int32_t done = 0; done < frames; done += step) {
        vex_skip(std::min(step, frames - done));
        td_note_files_take();
    }
}

// A child's part: frames start..end at their place in the temporary, and
// with notes every note of the render. Its exit status says whether every
// byte of it got there.
[[noreturn]] void render_part(const td_output_file& file, int64_t data_offset, int32_t start,
                              int32_t end, const td_render_shape& shape, bool notes)
{
    if (notes)
        skip_taking_notes(start);
    else
        vex_skip(start);
    const int64_t frame_bytes = 2 * shape.channels;
    std::unique_ptr<td_sink> part =
        td_part_sink(file.temp, data_offset + frame_bytes * start, shape.channels);
    td_pieces_start(true);
    td_render_frames(*part, shape, start, end - start, notes ? td_note_files_take : nullptr);
    td_pieces_finish();
    bool ok = part->finish();
    if (notes)
        ok = td_note_files_finish() && ok;
    _exit(ok ? 0 : 1);
}

// A part that cannot be waited for, or did not end well, failed.
bool wait_all(const std::vector<pid_t>& children)
{
    bool ok = true;
    for (const pid_t child : children) {
        int status = 0;
        pid_t got;
        while ((got = waitpid(child, &status, 0)) < 0 && errno == EINTR) {
        }
        td_cleanup_drop_child(child);
        ok = ok && got == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    return ok;
}

void stop_all(const std::vector<pid_t>& children)
{
    for (const pid_t child : children)
        kill(child, SIGKILL);
    wait_all(children);
}

// Forks parts 1.. of the render; the children the parent must wait for. A
// fork that fails leaves fewer parts: *parts says how many.
std::vector<pid_t> fork_parts(const td_output_file& file, int64_t data_offset,
                              const td_render_shape& shape, int* parts, bool notes)
{
    const int32_t frames = shape.frames;
    const pid_t parent = getpid();
    std::vector<pid_t> children;
    for (int i = 1; i < *parts; i++) {
        // The handler must know every child it has to stop.
        td_signals_hold();
        const pid_t child = fork();
        if (child == 0) {
            if (!td_cleanup_in_child(parent))
                _exit(1);
            render_part(file, data_offset, part_start(frames, *parts, i, notes),
                        part_start(frames, *parts, i + 1, notes), shape, notes && i == *parts - 1);
        }
        if (child > 0)
            td_cleanup_add_child(child);
        td_signals_release();
        if (child < 0) {
            // One process renders it all after all.
            stop_all(children);
            children.clear();
            *parts = 1;
            break;
        }
        children.push_back(child);
    }
    return children;
}

// The parent renders the first part, inline: it forked with no other
// thread, and keeps one processor busy as each part does. The notes are
// the last part's, unless no part could be forked.
bool render_in_parts(td_sink& sink, const td_render_shape& shape, int parts, bool notes)
{
    int64_t data_offset = 0;
    const td_output_file& file = *sink.positional(&data_offset);
    const std::vector<pid_t> children = fork_parts(file, data_offset, shape, &parts, notes);
    const bool notes_here = notes && parts == 1;
    if (notes && !notes_here)
        td_note_files_leave();
    td_pieces_start(true);
    const int32_t first_part = parts > 1 ? part_start(shape.frames, parts, 1, notes) : shape.frames;
    td_render_frames(sink, shape, 0, first_part, notes_here ? td_note_files_take : nullptr);
    td_pieces_finish();
    bool ok = !sink.failed();
    if (notes_here)
        ok = td_note_files_finish() && ok;
    if (!ok) {
        stop_all(children);
        return false;
    }
    return wait_all(children);
}

}  // namespace

int td_parts_for(td_sink& sink, const td_render_shape& shape)
{
    const int32_t frames = shape.frames;
    int64_t data_offset = 0;
    if (sink.positional(&data_offset) == nullptr)
        return 1;
    int parts = td_render_parts;
    if (parts <= 0)
        parts = std::min({processors(), max_parts, frames / (min_part_seconds * shape.rate)});
    return std::clamp(parts, 1, std::max(1, frames / td_blockframes));
}

bool td_render_to(td_sink& sink, const td_render_shape& shape, bool notes)
{
    const int parts = td_parts_for(sink, shape);
    if (parts > 1)
        return render_in_parts(sink, shape, parts, notes);
    td_pieces_start();
    td_render_frames(sink, shape, 0, shape.frames, notes ? td_note_files_take : nullptr);
    td_pieces_finish();
    const bool ok = !sink.failed();
    return (!notes || td_note_files_finish()) && ok;
}

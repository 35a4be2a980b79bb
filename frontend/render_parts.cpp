#include "frontend/render_parts.h"

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "frontend/module_load.h"
#include "frontend/note_files.h"
#include "frontend/part_boundary.h"
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

// Frame where part i of parts starts, on a block boundary, for every part
// but the last, whose start is settled as they render (td_part_boundary).
int32_t part_start(int32_t frames, int parts, int i)
{
    const int64_t blocks = frames / td_blockframes;
    return static_cast<int32_t>(blocks * i / parts) * td_blockframes;
}

// Frames start.. of the render, up to where claims get closed; returns
// that frame.
int32_t render_claimed(td_sink& sink, const td_render_shape& shape, int32_t start,
                       td_claims& claims, void (*after_piece)())
{
    const int32_t piece_frames = sink.piece_frames();
    int32_t at = start;
    while (!sink.failed()) {
        const int32_t to = td_claim(claims, at, std::min(shape.frames, at + piece_frames));
        if (to <= at)
            break;
        td_render_frames(sink, shape, at, to - at, after_piece);
        td_claims_rendered(claims, to - at);
        at = to;
    }
    return at;
}

// The song moved on from frame at to frame to, with notes taken as it goes
// (at every multiple of take_every); what taking them cost goes into
// *take_ns, when given.
void skip_to(int32_t at, int32_t to, bool notes, int64_t* take_ns = nullptr)
{
    constexpr int32_t take_every = 1 << 17;
    while (at < to) {
        const int32_t next = std::min(to, (at / take_every + 1) * take_every);
        vex_skip(next - at);
        at = next;
        if (notes && at % take_every == 0) {
            const int64_t before = take_ns != nullptr ? td_boundary_now() : 0;
            td_note_files_take();
            if (take_ns != nullptr)
                *take_ns += td_boundary_now() - before;
        }
    }
}

// What a frame of rendering costs the last part besides the mixing, with
// notes: writing them, which is measured, and recording them and the room
// they take in the processor's caches, which are not measured apart from
// moving on. Counted as half the writing and half of what moving on costs
// a frame: the bench modules, 4 to 32 channels, end closest together so.
double notes_extra(int64_t began, int32_t at, int64_t take_ns, bool notes)
{
    if (!notes || at == 0)
        return 0.0;
    const double moving = static_cast<double>(td_boundary_now() - began) / at;
    return (moving + static_cast<double>(take_ns) / at) / 2;
}

// The last part: moves the song on, a step at a time, until the part before
// it has as long left to render as this one would have; returns the frame
// where it renders from.
int32_t last_part_start(td_part_boundary& boundary, int32_t frames, bool notes)
{
    constexpr int32_t step = 1 << 14;
    const int64_t began = td_boundary_now();
    int32_t at = 0;
    int64_t take_ns = 0;
    while (!td_boundary_start_here(boundary, at, frames, notes_extra(began, at, take_ns, notes))) {
        const int32_t to = std::min(frames, at + step);
        skip_to(at, to, notes, &take_ns);
        at = to;
    }
    const int32_t start = td_claims_close(boundary.before, at);
    skip_to(at, start, notes, &take_ns);
    if (start > 0) {
        const auto moving = static_cast<double>(td_boundary_now() - began);
        boundary.last_moving_ns = moving / start;
        boundary.moving_ns = (moving - static_cast<double>(take_ns)) / start;
    }
    boundary.last_takes_notes = notes;
    return start;
}

// How a part knows its frames: from start to end, or, with a boundary,
// from start up to where the boundary settles, or from there to the end.
enum class part_kind { fixed, before_last, last };

// The part before the last, done with its claims at frame at: renders the
// end of the song when taking it off the last part pays. False if that
// failed.
bool take_the_end(const td_output_file& file, int64_t data_offset, const td_render_shape& shape,
                  td_part_boundary& boundary, int32_t at)
{
    const int32_t from = td_boundary_take_end(boundary, at, shape.frames);
    if (from >= shape.frames)
        return true;
    vex_skip(from - at);
    std::unique_ptr<td_sink> end =
        td_part_sink(file.temp, data_offset + int64_t{2} * shape.channels * from, shape.channels);
    td_pieces_start(true);
    td_render_frames(*end, shape, from, shape.frames - from, nullptr);
    td_pieces_finish();
    return end->finish();
}

// The last part: its frames claimed from where it starts until the part
// before takes the end over, then the song moved on to the end for its
// notes.
void render_last(td_sink& sink, const td_render_shape& shape, td_part_boundary& boundary,
                 int32_t start, bool notes)
{
    td_claims_open(boundary.last, start);
    const int32_t to =
        render_claimed(sink, shape, start, boundary.last, notes ? td_note_files_take : nullptr);
    if (notes && !sink.failed())
        skip_to(to, shape.frames, true);
}

// A child's part: its frames at their place in the temporary, and with
// notes (the last part's) every note of the render. Its exit status says
// whether every byte of it got there.
[[noreturn]] void render_part(const td_output_file& file, int64_t data_offset, int32_t start,
                              int32_t end, const td_render_shape& shape, part_kind kind,
                              td_part_boundary* boundary, bool notes)
{
    if (kind == part_kind::last)
        start = last_part_start(*boundary, end, notes);
    else
        skip_to(0, start, notes);
    const int64_t frame_bytes = 2 * shape.channels;
    std::unique_ptr<td_sink> part =
        td_part_sink(file.temp, data_offset + frame_bytes * start, shape.channels);
    td_pieces_start(true);
    int32_t at = end;
    if (kind == part_kind::before_last)
        at = render_claimed(*part, shape, start, boundary->before, nullptr);
    else if (kind == part_kind::last)
        render_last(*part, shape, *boundary, start, notes);
    else
        td_render_frames(*part, shape, start, end - start, notes ? td_note_files_take : nullptr);
    td_pieces_finish();
    bool ok = part->finish();
    if (kind == part_kind::before_last && ok)
        ok = take_the_end(file, data_offset, shape, *boundary, at);
    if (notes)
        ok = td_note_files_finish() && ok;
    _exit(ok ? 0 : 1);
}

part_kind kind_of(int i, int parts, const td_part_boundary* boundary)
{
    if (boundary == nullptr)
        return part_kind::fixed;
    return i == parts - 1 ? part_kind::last
           : i == parts - 2 ? part_kind::before_last
                            : part_kind::fixed;
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
                              const td_render_shape& shape, int* parts,
                              td_part_boundary* boundary, bool notes)
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
            const int32_t end = i == *parts - 1 ? frames : part_start(frames, *parts, i + 1);
            render_part(file, data_offset, part_start(frames, *parts, i), end, shape,
                        kind_of(i, *parts, boundary), boundary, notes && i == *parts - 1);
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
    td_part_boundary* const boundary = td_boundary_new(part_start(shape.frames, parts, parts - 2));
    const std::vector<pid_t> children =
        fork_parts(file, data_offset, shape, &parts, boundary, notes);
    const bool notes_here = notes && parts == 1;
    if (notes && !notes_here)
        td_note_files_leave();
    td_pieces_start(true);
    const bool before_last = parts > 1 && kind_of(0, parts, boundary) == part_kind::before_last;
    int32_t at = shape.frames;
    if (before_last)
        at = render_claimed(sink, shape, 0, boundary->before, nullptr);
    else
        td_render_frames(sink, shape, 0, parts > 1 ? part_start(shape.frames, parts, 1) : shape.frames,
                         notes_here ? td_note_files_take : nullptr);
    td_pieces_finish();
    bool ok = !sink.failed();
    if (before_last && ok)
        ok = take_the_end(file, data_offset, shape, *boundary, at);
    if (notes_here)
        ok = td_note_files_finish() && ok;
    if (!ok)
        stop_all(children);
    else
        ok = wait_all(children);
    td_boundary_free(boundary);
    return ok;
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

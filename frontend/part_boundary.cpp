#include "frontend/part_boundary.h"

#include <sys/mman.h>
#include <time.h>

#include <algorithm>
#include <new>

#include "frontend/module_load.h"

namespace {

constexpr uint64_t closed_bit = uint64_t{1} << 63;

int32_t frame_of(uint64_t claim) { return static_cast<int32_t>(claim & ~closed_bit); }

// Nanoseconds a frame has cost claims so far; 0 before any.
double pace_of(const td_claims& claims)
{
    const int64_t started = claims.started.load();
    const int64_t rendered = claims.rendered.load();
    if (started == 0 || rendered == 0)
        return 0.0;
    return static_cast<double>(td_boundary_now() - started) / static_cast<double>(rendered);
}

}  // namespace

void td_claims_open(td_claims& claims, int32_t from)
{
    claims.from = from;
    claims.claim = static_cast<uint64_t>(from);
}

td_part_boundary* td_boundary_new(int32_t from)
{
    void* memory = mmap(nullptr, sizeof(td_part_boundary), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return nullptr;
    auto* boundary = new (memory) td_part_boundary;
    td_claims_open(boundary->before, from);
    return boundary;
}

void td_boundary_free(td_part_boundary* boundary)
{
    if (boundary != nullptr)
        munmap(boundary, sizeof(td_part_boundary));
}

int64_t td_boundary_now()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

int32_t td_claim(td_claims& claims, int32_t at, int32_t want)
{
    int64_t never_started = 0;
    claims.started.compare_exchange_strong(never_started, td_boundary_now());
    uint64_t claim = claims.claim.load();
    for (;;) {
        if (claim & closed_bit)
            return std::clamp(frame_of(claim), at, want);
        if (frame_of(claim) >= want)
            return want;
        if (claims.claim.compare_exchange_weak(claim, static_cast<uint64_t>(want)))
            return want;
    }
}

void td_claims_rendered(td_claims& claims, int64_t frames) { claims.rendered += frames; }

int32_t td_claims_close(td_claims& claims, int32_t at)
{
    uint64_t claim = claims.claim.load();
    for (;;) {
        if (claim & closed_bit)
            return std::max(frame_of(claim), at);
        const int32_t settled = std::max(frame_of(claim), at);
        if (claims.claim.compare_exchange_weak(claim, closed_bit | static_cast<uint64_t>(settled)))
            return settled;
    }
}

// The part before has rendered its frames so far at a pace the last part
// would match from at, plus its extra.
bool td_boundary_start_here(const td_part_boundary& boundary, int32_t at, int32_t end,
                            double extra_ns)
{
    const td_claims& before = boundary.before;
    if (at >= end || (before.claim.load() & closed_bit))
        return true;
    const double per_frame = pace_of(before);
    if (per_frame == 0.0)
        return false;
    const double before_left =
        static_cast<double>(at - before.from - before.rendered.load()) * per_frame;
    const double last_left = static_cast<double>(end - at) * (per_frame + extra_ns);
    return before_left >= last_left;
}

// Both end together when the part before moves on from at to y (at the
// last part's pace of moving on, the writing of notes aside: an upper
// bound of its own) and renders y..end, while the last part renders from
// where it has claimed to y, then moves on to the end taking its notes.
int32_t td_boundary_take_end(td_part_boundary& boundary, int32_t at, int32_t end)
{
    td_claims& last = boundary.last;
    const double render = pace_of(boundary.before), last_render = pace_of(last);
    const double moving = boundary.moving_ns.load();
    const double last_moving =
        boundary.last_takes_notes.load() ? boundary.last_moving_ns.load() : 0.0;
    const uint64_t claim = last.claim.load();
    if (render == 0.0 || last_render == 0.0 || (claim & closed_bit))
        return end;
    const double x = frame_of(claim);
    const double divisor = last_render + render - moving - last_moving;
    if (divisor <= 0.0)
        return end;
    const double y = (last_render * x + (render - last_moving) * end - moving * at) / divisor;
    // Too little to take: the moving on would cost more than it saves.
    const double least = 16.0 * td_blockframes;
    if (y < x || y > end - least)
        return end;
    const auto from = static_cast<int32_t>(y) / td_blockframes * td_blockframes;
    return std::min(end, td_claims_close(last, std::max(from, at)));
}

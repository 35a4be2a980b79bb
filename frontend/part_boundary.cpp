#include "frontend/part_boundary.h"

#include <sys/mman.h>
#include <time.h>

#include <algorithm>
#include <new>

namespace {

constexpr uint64_t closed_bit = uint64_t{1} << 63;

int32_t frame_of(uint64_t claim) { return static_cast<int32_t>(claim & ~closed_bit); }

}  // namespace

td_part_boundary* td_boundary_new(int32_t from)
{
    void* memory = mmap(nullptr, sizeof(td_part_boundary), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return nullptr;
    auto* boundary = new (memory) td_part_boundary;
    boundary->claim = static_cast<uint64_t>(from);
    boundary->from = from;
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

int32_t td_boundary_claim(td_part_boundary& boundary, int32_t at, int32_t want)
{
    int64_t never_started = 0;
    boundary.started.compare_exchange_strong(never_started, td_boundary_now());
    uint64_t claim = boundary.claim.load();
    for (;;) {
        if (claim & closed_bit)
            return std::clamp(frame_of(claim), at, want);
        if (frame_of(claim) >= want)
            return want;
        if (boundary.claim.compare_exchange_weak(claim, static_cast<uint64_t>(want)))
            return want;
    }
}

void td_boundary_rendered(td_part_boundary& boundary, int64_t frames)
{
    boundary.rendered += frames;
}

// The part before has rendered its frames so far at a pace the last part
// would match from at, plus its extra.
bool td_boundary_start_here(const td_part_boundary& boundary, int32_t at, int32_t end,
                            double extra_ns)
{
    if (at >= end || (boundary.claim.load() & closed_bit))
        return true;
    const int64_t started = boundary.started.load();
    const int64_t rendered = boundary.rendered.load();
    if (started == 0 || rendered == 0)
        return false;
    const double per_frame =
        static_cast<double>(td_boundary_now() - started) / static_cast<double>(rendered);
    const double before_left = static_cast<double>(at - boundary.from - rendered) * per_frame;
    const double last_left = static_cast<double>(end - at) * (per_frame + extra_ns);
    return before_left >= last_left;
}

int32_t td_boundary_close(td_part_boundary& boundary, int32_t at)
{
    uint64_t claim = boundary.claim.load();
    for (;;) {
        if (claim & closed_bit)
            return std::max(frame_of(claim), at);
        const int32_t settled = std::max(frame_of(claim), at);
        if (boundary.claim.compare_exchange_weak(claim, closed_bit | static_cast<uint64_t>(settled)))
            return settled;
    }
}

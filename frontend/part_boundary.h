// Where the last part of a render in parts starts, settled while the parts
// render. The part before it claims frames a piece at a time as it renders
// them; the last part moves the song on without rendering until the part
// before has as long left to render as it would have itself from there,
// then closes the claims at that frame. Whatever either part's speed (a
// busy processor, a song whose notes cost more than its mixing), both end
// together; and should the last part never close, the part before renders
// to the end. Lives in memory the parts share, made before they fork.
#pragma once
#include <atomic>
#include <cstdint>

struct td_part_boundary {
    std::atomic<uint64_t> claim{0};    // claimed up to this frame; closed_bit once settled
    std::atomic<int64_t> rendered{0};  // frames the part before has rendered
    std::atomic<int64_t> started{0};   // when it started, CLOCK_MONOTONIC nanoseconds
    int32_t from = 0;                  // where the part before starts
};

// A boundary the part starting at frame from claims after: nullptr when no
// shared memory can be had.
td_part_boundary* td_boundary_new(int32_t from);
void td_boundary_free(td_part_boundary* boundary);

int64_t td_boundary_now();

// The part before the last, which has rendered up to frame at: claims up
// to want and says how far it may render, at when nothing is left to it.
// Its first claim starts the clock its pace is judged by.
int32_t td_boundary_claim(td_part_boundary& boundary, int32_t at, int32_t want);
void td_boundary_rendered(td_part_boundary& boundary, int64_t frames);

// The last part, with the song at frame at of end: whether it should start
// rendering here. extra_ns: what each frame costs it besides rendering
// (writing notes), in nanoseconds.
bool td_boundary_start_here(const td_part_boundary& boundary, int32_t at, int32_t end,
                            double extra_ns);
// Settles the boundary at frame at, or where the claims have got to when
// that is further; returns it.
int32_t td_boundary_close(td_part_boundary& boundary, int32_t at);

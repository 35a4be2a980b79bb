// Where the last two parts of a render in parts meet, settled while they
// render. The part before the last claims frames a piece at a time as it
// renders them; the last part moves the song on without rendering until
// the part before has as long left to render as it would have itself from
// there, then closes those claims at that frame and claims its own frames
// the same way. Should the part before then end first, it takes the end of
// the song off the last part: it moves its own song on to a frame the last
// part has not claimed, closes the last part's claims there and renders
// from there to the end, so that both end together whatever either part's
// speed turned out to be (a busy processor, notes that cost more than
// foreseen). Should the last part never close the claims, the part before
// renders to the end. Lives in memory the parts share, made before they
// fork.
#pragma once
#include <atomic>
#include <cstdint>

// Frames claimed a piece at a time by the part that renders them, up to
// where another part closes the claims.
struct td_claims {
    std::atomic<uint64_t> claim{0};    // claimed up to this frame; closed once settled
    std::atomic<int64_t> rendered{0};  // frames rendered from
    std::atomic<int32_t> from{0};      // this frame
    std::atomic<int64_t> started{0};   // since, CLOCK_MONOTONIC nanoseconds; 0 before
};

struct td_part_boundary {
    td_claims before;  // the part before the last
    td_claims last;    // the last part, once it renders
    // What a frame cost the last part as it moved on, notes included.
    std::atomic<double> last_moving_ns{0.0};
    // The same, the writing of notes aside: at most what the part before,
    // which writes none, pays to move on.
    std::atomic<double> moving_ns{0.0};
    std::atomic<bool> last_takes_notes{false};
};

// A boundary for a part before the last that starts at frame from: nullptr
// when no shared memory can be had.
td_part_boundary* td_boundary_new(int32_t from);
void td_boundary_free(td_part_boundary* boundary);

int64_t td_boundary_now();

// Claims that start at frame from.
void td_claims_open(td_claims& claims, int32_t from);
// The claiming part, which has rendered up to frame at: claims up to want
// and says how far it may render, at when nothing is left to it. Its first
// claim starts the clock its pace is judged by.
int32_t td_claim(td_claims& claims, int32_t at, int32_t want);
void td_claims_rendered(td_claims& claims, int64_t frames);
// Settles the claims at frame at, or where they have got to when that is
// further; returns it.
int32_t td_claims_close(td_claims& claims, int32_t at);

// The last part, with the song at frame at of end: whether it should start
// rendering here. extra_ns: what each frame costs it besides rendering
// (writing notes), in nanoseconds.
bool td_boundary_start_here(const td_part_boundary& boundary, int32_t at, int32_t end,
                            double extra_ns);

// The part before the last, done at frame at: the frame it should render
// the end of the song from, the last part's claims closed there; end when
// taking the end over does not pay.
int32_t td_boundary_take_end(td_part_boundary& boundary, int32_t at, int32_t end);

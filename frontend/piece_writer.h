// Rendered audio goes to its files in pieces: the render loop fills a free
// piece and hands it in, and a writer thread writes the pieces in the order
// they were handed in while the next ones render.
#pragma once
#include <cstddef>
#include <cstdint>

#include "frontend/output_file.h"

constexpr size_t td_piece_bytes = 262144;

// With inline_writes, the render loop writes each piece itself as it hands
// it in, with no writer thread: for processes that render side by side,
// each keeping one processor busy.
void td_pieces_start(bool inline_writes = false);
// A free piece of td_piece_bytes bytes; waits while none is free. Up to 32
// pieces may be held at once.
uint8_t* td_pieces_take();
// Queues the first bytes of a piece for file; the piece goes back to the
// free ones once written.
void td_pieces_put(td_output_file& file, const uint8_t* piece, size_t bytes);
// Gives a piece back unwritten.
void td_pieces_return(const uint8_t* piece);
// True once a piece could not be written: the rest need not be rendered.
bool td_pieces_failed();
// Waits until every queued piece is written, then ends the thread.
void td_pieces_finish();

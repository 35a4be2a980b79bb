// WAV output streamed piece by piece: the header first (its sizes are known
// before the first sample), then the samples as they are rendered, written
// by a second thread while the next pieces render.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

struct wav_out {
    FILE* file = nullptr;
    std::string path;  // empty for a stream the caller owns, such as standard output
    bool created = false;
    bool failed = false;
    int error = 0;  // errno of the first failed write
    // A part of a file that another process opened: the part waits for a
    // byte on ready_fd (the file is emptied), then writes through part_fd,
    // a descriptor of that file it shares, at offset and on.
    int part_fd = -1;
    int ready_fd = -1;
    long offset = 0;
    // The opening side: a file opened but not yet emptied is emptied at its
    // first use; then one byte per waiting part goes to announce_fd.
    bool empty_first = false;
    int announce_fd = -1;
    int announce_count = 0;
};

// Names the file to create ("wb"). The writer thread creates it before its
// first byte, so that emptying an old file of that name overlaps with the
// rendering; a file that cannot be created fails like a write.
void wav_open(wav_out& out, const char* path);
// Opens the file at path now, creating it where it does not exist, but
// empties it only at its first use (as "wb" would have): processes forked
// after this share the descriptor. False, and out failed, when it cannot be
// opened.
bool wav_open_shared(wav_out& out, const char* path);
// Writes through fd, a descriptor shared with the process that opened the
// file, from offset on, once a byte arrives on ready_fd; the file is never
// created, emptied or removed from here.
void wav_open_part(wav_out& out, int fd, long offset, int ready_fd);
// Writes to a stream that is already open and is never removed.
void wav_use(wav_out& out, FILE* stream);
// The 44-byte header of bytes bytes of 16-bit mono samples at rate.
constexpr size_t wav_header_bytes = 44;
void wav_header(uint8_t* header, uint32_t bytes, uint32_t rate);
// Removes path if it names a regular file (never a device or a folder).
void wav_remove_if_regular(const std::string& path);
// 0 when every byte reached the file and it closed cleanly; else -1, and an
// incomplete regular file is removed.
int32_t wav_close(wav_out& out);

// Pieces of samples, filled by the render loop and written by the writer
// thread, in the order they were handed in.
constexpr size_t wav_piece_bytes = 262144;
// With inline_writes, the render loop writes each piece itself as it hands
// it in, with no writer thread (pieces queue only while the file opens):
// for processes that render side by side, each keeping one processor busy.
// ahead: how many pieces may wait for the file to open (at most
// wav_most_ahead).
constexpr int wav_most_ahead = 24;
void wav_writer_start(bool inline_writes = false, int ahead = wav_most_ahead);
// A free piece of wav_piece_bytes bytes; waits while none is free. Up to 32
// pieces may be held at once.
uint8_t* wav_writer_piece();
// Queues a piece that was handed out, its first bytes bytes, for out; the
// piece goes back to the free ones once written.
void wav_writer_submit(wav_out& out, const uint8_t* piece, size_t bytes);
// With inline writes, starts opening (creating or emptying) out now, in a
// thread of its own, rather than at its first piece; pieces queue meanwhile.
void wav_writer_open(wav_out& out);
// Queues the header of out, as wav_header gives it.
void wav_writer_header(wav_out& out, uint32_t bytes, uint32_t rate);
// True once a piece could not be written: the rest need not be rendered.
bool wav_writer_failed();
// Waits until every queued piece is written, then ends the thread.
void wav_writer_finish();

// Where rendered frames go. A sink takes frames in pieces, in order; then it
// is finished (every byte written and closed) and published (renamed into
// place), or discarded (nothing of it left, the destination as it was).
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "frontend/output_file.h"

// What a render gives: interleaved 16-bit frames.
struct td_audio {
    int32_t channels = 1;
    int32_t rate = 44100;
    int32_t frames = 0;  // in all, known before the first
};

struct td_sink {
    virtual ~td_sink() = default;
    // A buffer for up to piece_frames() frames; fill it, then put it.
    virtual int16_t* piece() = 0;
    virtual int32_t piece_frames() const = 0;
    // Hands in the first frames of a piece from piece().
    virtual void put(int16_t* piece, int32_t frames) = 0;
    // True once something could not be written: the rest need not be
    // rendered.
    virtual bool failed() const = 0;
    // errno of the first failure.
    virtual int error() const = 0;
    // After the last put and the pieces' writer has finished: false when
    // anything was lost.
    virtual bool finish() = 0;
    virtual bool publish() = 0;
    virtual void discard() = 0;
    // The file that parts of a render may write into side by side, with
    // where the frames start in it; null for a sink that takes its frames
    // only in order (a stream, an encoder).
    virtual td_output_file* positional(int64_t* data_offset) = 0;
};

// A WAV file published by rename (or written in place where dest is a
// device or a FIFO); failed() at once when it cannot be made.
std::unique_ptr<td_sink> td_wav_file_sink(const std::string& dest, const td_audio& audio);
// A WAV stream on a descriptor the caller owns, such as standard output.
std::unique_ptr<td_sink> td_wav_stream_sink(int fd, const td_audio& audio);
// The frames of a part of a render, written from offset on into the
// temporary another process publishes; no header.
std::unique_ptr<td_sink> td_part_sink(const std::string& temp, int64_t offset, int32_t channels);

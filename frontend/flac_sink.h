// FLAC output: the frames a WAV would hold, losslessly compressed by
// libFLAC. Each piece handed in is encoded by a small pool of threads, one
// per processor, beside the render: several FLAC files at once (stems)
// spread over the processors, one piece of a file at a time, in order.
// A FLAC sink takes its frames only in order: never positional.
#pragma once
#include <memory>
#include <string>

#include "frontend/output_sink.h"

constexpr int td_flac_level_default = 5;
constexpr int td_flac_level_max = 8;

// A FLAC file published by rename (or written in place where dest is a
// device or a FIFO); failed() at once when it cannot be made. level is
// libFLAC's compression level, 0..8. STREAMINFO holds the total sample
// count and the MD5 of the samples (where the file can be sought back in);
// a Vorbis comment holds TITLE (title, when not empty: printable text) and
// ENCODER=tunedump X.Y.Z, with a seek table every 10 seconds.
std::unique_ptr<td_sink> td_flac_file_sink(const std::string& dest, const td_audio& audio,
                                           int level, const std::string& title);
// A FLAC stream on a descriptor the caller owns, such as standard output:
// nothing is sought back, so the MD5 stays unset (zero) and there is no
// seek table.
std::unique_ptr<td_sink> td_flac_stream_sink(int fd, const td_audio& audio, int level,
                                             const std::string& title);

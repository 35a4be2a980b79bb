// Which kind of file a render goes into: WAV or FLAC, chosen by the
// --format option or the destination's name.
#pragma once
#include <memory>
#include <string>

#include "frontend/command_line.h"
#include "frontend/output_sink.h"

// What an output file is made as: its format, FLAC level and title.
struct td_output_form {
    td_format format = td_format::wav;  // never automatic here
    int32_t flac_level = 5;
    std::string title;  // the module's title, as printable text
};

// The format for dest: what was asked for, else FLAC for a name ending in
// .flac, else WAV (standard output, "-", is WAV unless asked).
td_format td_format_for(const std::string& dest, td_format asked);
const char* td_extension(td_format format);
// A file sink of the form's format, published by rename.
std::unique_ptr<td_sink> td_file_sink(const std::string& dest, const td_audio& audio,
                                      const td_output_form& form);
// A stream sink of the form's format on a descriptor the caller owns.
std::unique_ptr<td_sink> td_stream_sink(int fd, const td_audio& audio, const td_output_form& form);

// The command line, parsed into a request: options first (getopt_long, so
// that "song.mod -1 1 out.wav" still reads -1 as the sample number), then
// the arguments of the form.
#pragma once
#include <cstdint>
#include <string>

enum class td_form { render, stems, info, help, version };

struct td_request {
    td_form form = td_form::render;
    bool any_option = false;
    // render: source samplenum seconds dest; stems: source seconds outdir;
    // info: source
    const char* source = nullptr;
    const char* samplenum = nullptr;
    const char* seconds = nullptr;
    const char* dest = nullptr;
    const char* song = nullptr;  // --song N, or null
};

// Fills request from the command line; false after a message, with the
// exit status in *status.
bool td_parse_command_line(int argc, char** argv, td_request& request, int* status);
// What --help prints.
extern const char* const td_help_text;

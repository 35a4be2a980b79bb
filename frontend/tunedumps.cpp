#include "frontend/tunedumps.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "frontend/command_line.h"
#include "frontend/dataset.h"
#include "frontend/module_load.h"
#include "frontend/note_files.h"
#include "frontend/output_format.h"
#include "frontend/render_parts.h"
#include "frontend/run_cleanup.h"
#include "frontend/tunedump_info.h"
#include "frontend/tunedump_stems.h"
#include "tunedump/tunedump.h"

namespace {

// With "-" for the file, audio goes to standard output and every message
// to standard error.
bool refuse_terminal(bool to_stdout)
{
    if (!to_stdout || isatty(STDOUT_FILENO) == 0)
        return false;
    std::fputs("Refusing to write audio to a terminal.\n", stderr);
    return true;
}

// The module read and its numbers checked, in the order the messages have
// always come: the input before the sample number before the seconds.
bool load_render(const td_request& r, FILE* messages, int32_t* frames)
{
    if (!td_start_player(r.render))
        return false;
    if (!td_read_module(r.source)) {
        std::fputs("Error opening input file.\n", messages);
        return false;
    }
    if (r.samplenum != nullptr) {
        const int32_t solo = std::atoi(r.samplenum);
        if (solo < 0 || solo > 31) {
            std::fputs("sample number must be 0..31. Number 0 means, do not solo anything. \n",
                       stderr);
            return false;
        }
        mix_solosample = solo;
    }
    return td_load_and_start(r.seconds, r.song, r.render, frames);
}

td_render_shape shape_of(const td_render_options& options, int32_t frames)
{
    td_render_shape shape;
    shape.frames = frames;
    shape.channels = options.stereo >= 0 ? 2 : 1;
    shape.rate = options.rate;
    shape.fade_frames = td_fade_frames(options.fade_seconds, options.rate, frames);
    return shape;
}

td_output_form form_of(const td_render_options& options, td_format format)
{
    return td_output_form{format, options.flac_level,
                          td_printable(td_module_image(), td_title_bytes)};
}

// A reader of standard output that stops early ends the run quietly; a
// FIFO written in place whose reader stops ends it as that signal would.
int report_failure(const td_sink& sink, bool to_stdout, FILE* messages)
{
    if (sink.error() == EPIPE) {
        if (to_stdout)
            return 1;
        td_cleanup_stop(SIGPIPE);
    }
    std::fputs("File error.\n", messages);
    return 1;
}

int render_main(const td_request& r)
{
    const bool to_stdout = std::strcmp(r.dest, "-") == 0;
    FILE* messages = to_stdout ? stderr : stdout;
    if (refuse_terminal(to_stdout))
        return 1;
    int32_t frames = 0;
    if (!load_render(r, messages, &frames))
        return 1;
    td_cleanup_install(!to_stdout);
    const td_render_shape shape = shape_of(r.render, frames);
    const td_audio audio{shape.channels, shape.rate, shape.frames};
    const td_output_form form =
        form_of(r.render, td_format_for(to_stdout ? "" : r.dest, r.render.format));
    std::vector<td_note_file> notes;
    if (r.notes)
        notes = td_note_files_for(r.notes_file, r.dest);
    vex_notes_record(0);
    std::unique_ptr<td_sink> sink = to_stdout ? td_stream_sink(STDOUT_FILENO, audio, form)
                                              : td_file_sink(r.dest, audio, form);
    bool ok = !sink->failed() &&
              (!r.notes ||
               td_note_files_start(notes, td_note_names_of(td_module_image()), shape.rate)) &&
              td_render_to(*sink, shape, r.notes);
    ok = sink->finish() && ok;
    if (ok) {
        // The notes first: new audio marks a complete render.
        td_signals_hold();
        ok = td_publish_note_files(notes, [&sink] { return sink->publish(); });
        td_signals_release();
    }
    if (!ok) {
        td_discard_note_files(notes);
        sink->discard();
        return report_failure(*sink, to_stdout, messages);
    }
    vex_close();
    return 0;
}

int stems_main(const td_request& r)
{
    int32_t frames = 0;
    if (!load_render(r, stdout, &frames))
        return 1;
    td_cleanup_install(true);
    const td_format format =
        r.render.format == td_format::automatic ? td_format::wav : r.render.format;
    const int status =
        td_write_stems(r.dest, shape_of(r.render, frames), form_of(r.render, format), r.notes);
    vex_close();
    return status;
}

int info_main(const td_request& r)
{
    if (!td_start_player(r.render))
        return 1;
    if (!td_read_module(r.source)) {
        std::puts("Error opening input file.");
        return 1;
    }
    vex_sequence sequences[VEX_MAX_SEQUENCES];
    const int32_t count = vex_sequences(td_module_image(), sequences, VEX_MAX_SEQUENCES);
    if (count == 0) {
        std::fprintf(stderr, "%s\n", pt_errorstr);
        return 1;
    }
    td_print_info(stdout, td_module_image(), sequences, count, r.render.rate);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int td_main(int argc, char** argv)
{
    td_request request;
    int status = 0;
    if (!td_parse_command_line(argc, argv, request, &status))
        return status;
    switch (request.form) {
    case td_form::help:
        std::fputs(td_help_text, stdout);
        return 0;
    case td_form::version:
        std::puts("tunedump " TUNEDUMP_VERSION);
        return 0;
    case td_form::info:
        return info_main(request);
    case td_form::stems:
        return stems_main(request);
    case td_form::dataset:
        return td_dataset_main(request);
    case td_form::dataset_manifest:
        return td_dataset_manifest_main(request);
    case td_form::render:
        break;
    }
    return render_main(request);
}

#include "frontend/command_line.h"

#include <getopt.h>

#include <cstdio>
#include <cstring>

const char* const td_help_text =
    "usage:\n"
    "  tunedump [options] source.mod samplenum seconds dest.wav\n"
    "  tunedump [options] --stems source.mod seconds outdir\n"
    "  tunedump --info source.mod\n"
    "  tunedump --help\n"
    "  tunedump --version\n"
    "\n"
    "  source.mod  the module (31 samples, 2 to 32 channels)\n"
    "  samplenum   0 plays every sample, 1..31 only that one\n"
    "  seconds     1..1200, or song for the length of the song (of sequence N)\n"
    "  dest.wav    the WAV file to write, or - for standard output\n"
    "  outdir      the folder for mix.wav and one NN-name.wav per sample played\n"
    "\n"
    "options:\n"
    "  --song N    play sequence N (0 is the song; --info lists them)\n"
    "  --stems     write the mix and every sample's solo render in one pass\n"
    "  --info      print the module's header, sequences and samples\n"
    "  --help      print this text\n"
    "  --version   print the version\n"
    "\n"
    "A file is written under a temporary name beside it and renamed into place\n"
    "when complete: a run that fails or is stopped leaves the old file.\n";

namespace {

enum option_id { opt_song = 256, opt_stems, opt_info, opt_help, opt_version };

const option long_options[] = {
    {"song", required_argument, nullptr, opt_song},
    {"stems", no_argument, nullptr, opt_stems},
    {"info", no_argument, nullptr, opt_info},
    {"help", no_argument, nullptr, opt_help},
    {"version", no_argument, nullptr, opt_version},
    {nullptr, 0, nullptr, 0},
};

bool refuse(int* status, const char* format, const char* what)
{
    std::fprintf(stderr, "tunedump: ");
    std::fprintf(stderr, format, what);
    std::fprintf(stderr, "\n");
    *status = 1;
    return false;
}

bool set_form(td_request& request, td_form form, const char* name, int* status)
{
    if (request.form != td_form::render && request.form != form)
        return refuse(status, "%s cannot be combined with another form", name);
    request.form = form;
    return true;
}

bool take_option(int id, td_request& request, int* status)
{
    switch (id) {
    case opt_song:
        request.song = optarg;
        return true;
    case opt_stems:
        return set_form(request, td_form::stems, "--stems", status);
    case opt_info:
        return set_form(request, td_form::info, "--info", status);
    case opt_help:
        return set_form(request, td_form::help, "--help", status);
    case opt_version:
        return set_form(request, td_form::version, "--version", status);
    default:
        return false;
    }
}

bool unknown_option(int id, char** argv, int* status)
{
    std::string given = argv[optind - 1];
    if (id == ':')
        return refuse(status, "%s needs a value (tunedump --help lists the forms)", given.c_str());
    if (optopt != 0)
        given = std::string("-") + static_cast<char>(optopt);
    return refuse(status, "unknown option %s (tunedump --help lists the forms)", given.c_str());
}

// The arguments after the options, checked against the form.
bool take_arguments(td_request& request, int count, char** args, int* status)
{
    switch (request.form) {
    case td_form::help:
    case td_form::version:
        if (count != 0)
            return refuse(status, "%s takes no arguments",
                          request.form == td_form::help ? "--help" : "--version");
        return true;
    case td_form::info:
        if (count != 1)
            return refuse(status, "%s takes one argument: source.mod", "--info");
        request.source = args[0];
        return true;
    case td_form::stems:
        if (count != 3)
            return refuse(status, "%s takes three arguments: source.mod seconds outdir",
                          "--stems");
        request.source = args[0];
        request.seconds = args[1];
        request.dest = args[2];
        return true;
    case td_form::render:
        break;
    }
    if (count != 4) {
        if (!request.any_option) {
            std::puts("tunedump source.mod samplenum seconds dest.wav");
            *status = 1;
            return false;
        }
        return refuse(status, "%s after the options (tunedump --help lists the forms)",
                      "a render takes source.mod samplenum seconds dest.wav");
    }
    request.source = args[0];
    request.samplenum = args[1];
    request.seconds = args[2];
    request.dest = args[3];
    return true;
}

}  // namespace

bool td_parse_command_line(int argc, char** argv, td_request& request, int* status)
{
    request = td_request{};
    // From the start each time: a process may parse more than once.
    optind = 0;
    opterr = 0;
    for (;;) {
        const int id = getopt_long(argc, argv, "+:", long_options, nullptr);
        if (id == -1)
            break;
        if (id == '?' || id == ':')
            return unknown_option(id, argv, status);
        request.any_option = true;
        if (!take_option(id, request, status))
            return false;
    }
    return take_arguments(request, argc - optind, argv + optind, status);
}

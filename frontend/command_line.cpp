#include "frontend/command_line.h"

#include <getopt.h>

#include <cstdio>
#include <cstring>
#include <vector>

const char* const td_help_text =
    "usage:\n"
    "  tunedump [options] source.mod samplenum seconds dest.wav\n"
    "  tunedump [options] --stems source.mod seconds outdir\n"
    "  tunedump [--rate HZ] --info source.mod\n"
    "  tunedump [options] --dataset indir outdir [--jobs N] [--shard I/N]\n"
    "  tunedump --dataset-manifest outdir\n"
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
    "  --song N          play sequence N (0 is the song; --info lists them)\n"
    "  --stems           write the mix and every sample's solo render in one pass\n"
    "  --stereo[=SEP]    both sides of the mix, channels panned left, right, right,\n"
    "                    left at SEP per cent separation (0..100, default 50);\n"
    "                    without it, the left side alone (mono)\n"
    "  --rate HZ         mixing and output rate, 8000..192000 (default 44100)\n"
    "  --format FORMAT   wav or flac (default: flac for a name ending in .flac)\n"
    "  --flac-level N    FLAC compression 0..8 (default 5)\n"
    "  --loops N         with seconds song: play the song's loop N times (1..16)\n"
    "  --fade S          fade out over the last S seconds (0..60)\n"
    "  --notes[=FILE]    every note, aligned to the frame: FILE.csv or FILE.mid;\n"
    "                    without FILE, both beside dest.wav (song.csv, song.mid);\n"
    "                    with --stems, notes.csv, notes.mid and MIDI/NN-name.mid\n"
    "  --dataset         every module under indir, each sequence a track folder in\n"
    "                    outdir: mix, stems/, MIDI/, notes and metadata.json, in\n"
    "                    FLAC unless --format wav; outdir/manifest.jsonl lists them\n"
    "  --seconds S       with --dataset: S seconds (1..1200) or song (the default)\n"
    "  --jobs N          with --dataset: N worker processes (default: one per\n"
    "                    processor)\n"
    "  --shard I/N       with --dataset: only the modules of shard I of N, listed in\n"
    "                    manifest-I-of-N.jsonl\n"
    "  --dataset-manifest  rebuild outdir/manifest.jsonl from the tracks and the\n"
    "                    shards' manifests\n"
    "  --info            print the module's header, sequences and samples\n"
    "  --help            print this text\n"
    "  --version         print the version\n"
    "\n"
    "A file is written under a temporary name beside it and renamed into place\n"
    "when complete: a run that fails or is stopped leaves the old file.\n";

namespace {

enum option_id {
    opt_song = 256,
    opt_stems,
    opt_info,
    opt_help,
    opt_version,
    opt_stereo,
    opt_rate,
    opt_format,
    opt_flac_level,
    opt_loops,
    opt_fade,
    opt_notes,
    opt_dataset,
    opt_dataset_manifest,
    opt_jobs,
    opt_shard,
    opt_seconds,
};

const option long_options[] = {
    {"song", required_argument, nullptr, opt_song},
    {"stems", no_argument, nullptr, opt_stems},
    {"stereo", optional_argument, nullptr, opt_stereo},
    {"rate", required_argument, nullptr, opt_rate},
    {"format", required_argument, nullptr, opt_format},
    {"flac-level", required_argument, nullptr, opt_flac_level},
    {"loops", required_argument, nullptr, opt_loops},
    {"fade", required_argument, nullptr, opt_fade},
    {"notes", optional_argument, nullptr, opt_notes},
    {"dataset", no_argument, nullptr, opt_dataset},
    {"dataset-manifest", no_argument, nullptr, opt_dataset_manifest},
    {"jobs", required_argument, nullptr, opt_jobs},
    {"shard", required_argument, nullptr, opt_shard},
    {"seconds", required_argument, nullptr, opt_seconds},
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

// Plain decimal digits within lowest..highest.
bool parse_number(const char* text, int32_t lowest, int32_t highest, int32_t* value)
{
    int64_t n = 0;
    for (const char* c = text; *c != 0; c++) {
        if (*c < '0' || *c > '9' || n > highest)
            return false;
        n = n * 10 + (*c - '0');
    }
    if (*text == 0 || n < lowest || n > highest)
        return false;
    *value = static_cast<int32_t>(n);
    return true;
}

bool take_number(const char* name, int32_t lowest, int32_t highest, int32_t* value, int* status)
{
    if (parse_number(optarg, lowest, highest, value))
        return true;
    std::fprintf(stderr, "tunedump: %s takes a number from %d to %d, not %s\n", name, lowest,
                 highest, optarg);
    *status = 1;
    return false;
}

bool take_format(td_request& request, int* status)
{
    if (std::strcmp(optarg, "wav") == 0)
        request.render.format = td_format::wav;
    else if (std::strcmp(optarg, "flac") == 0)
        request.render.format = td_format::flac;
    else
        return refuse(status, "--format takes wav or flac, not %s", optarg);
    return true;
}

// I/N with I < N.
bool take_shard(td_request& request, int* status)
{
    const std::string text = optarg;
    const size_t slash = text.find('/');
    int32_t index = 0, count = 0;
    if (slash == std::string::npos || !parse_number(text.substr(slash + 1).c_str(), 1, 1000000, &count) ||
        !parse_number(text.substr(0, slash).c_str(), 0, count - 1, &index))
        return refuse(status, "--shard takes I/N with 0 <= I < N, not %s", optarg);
    request.shard_index = index;
    request.shard_count = count;
    return true;
}

bool take_seconds(td_request& request, int* status)
{
    int32_t seconds = 0;
    if (std::strcmp(optarg, "song") != 0 && !parse_number(optarg, 1, 1200, &seconds))
        return refuse(status, "--seconds takes song or a number from 1 to 1200, not %s", optarg);
    request.seconds = optarg;
    request.seconds_option = true;
    return true;
}

bool take_option(int id, td_request& request, int* status)
{
    td_render_options& render = request.render;
    switch (id) {
    case opt_song:
        request.song = optarg;
        return true;
    case opt_stereo:
        render.stereo = 50;
        return optarg == nullptr || take_number("--stereo", 0, 100, &render.stereo, status);
    case opt_rate:
        return take_number("--rate", 8000, 192000, &render.rate, status);
    case opt_format:
        return take_format(request, status);
    case opt_flac_level:
        return take_number("--flac-level", 0, 8, &render.flac_level, status);
    case opt_loops:
        return take_number("--loops", 1, 16, &render.loops, status);
    case opt_fade:
        return take_number("--fade", 0, 60, &render.fade_seconds, status);
    case opt_notes:
        request.notes = true;
        request.notes_file = optarg == nullptr ? "" : optarg;
        return true;
    case opt_stems:
        return set_form(request, td_form::stems, "--stems", status);
    case opt_dataset:
        return set_form(request, td_form::dataset, "--dataset", status);
    case opt_dataset_manifest:
        return set_form(request, td_form::dataset_manifest, "--dataset-manifest", status);
    case opt_jobs:
        return take_number("--jobs", 1, 256, &request.jobs, status);
    case opt_shard:
        return take_shard(request, status);
    case opt_seconds:
        return take_seconds(request, status);
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
    case td_form::dataset:
        if (count != 2)
            return refuse(status, "%s takes two arguments: indir outdir", "--dataset");
        request.source = args[0];
        request.dest = args[1];
        if (request.seconds == nullptr)
            request.seconds = "song";
        return true;
    case td_form::dataset_manifest:
        if (count != 1)
            return refuse(status, "%s takes one argument: outdir", "--dataset-manifest");
        request.dest = args[0];
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

// What only makes sense with other choices.
bool check_combinations(const td_request& request, int* status)
{
    const bool dataset = request.form == td_form::dataset;
    if (!dataset && (request.jobs != 0 || request.shard_count != 0 || request.seconds_option))
        return refuse(status, "%s", "--jobs, --shard and --seconds go with --dataset");
    if (dataset && (request.song != nullptr || request.notes))
        return refuse(status, "%s", "--dataset renders every sequence, with its notes: "
                                    "no --song or --notes");
    const bool renders = request.form == td_form::render || request.form == td_form::stems ||
                         dataset;
    if (request.render.loops > 1 && renders && std::strcmp(request.seconds, "song") != 0)
        return refuse(status, "%s needs seconds song", "--loops");
    if (!request.notes || !renders || dataset)
        return true;
    if (request.form == td_form::stems && !request.notes_file.empty())
        return refuse(status, "%s takes no file name with --stems", "--notes");
    if (request.notes_file.empty() && std::strcmp(request.dest, "-") == 0)
        return refuse(status, "%s needs a file with - as destination: --notes=FILE.csv or .mid",
                      "--notes");
    const std::string& f = request.notes_file;
    const auto ends = [&f](const char* e) {
        const size_t n = std::strlen(e);
        return f.size() > n && f.compare(f.size() - n, n, e) == 0;
    };
    if (!f.empty() && !ends(".csv") && !ends(".mid"))
        return refuse(status, "%s=FILE: the name ends in .csv or .mid", "--notes");
    return true;
}

}  // namespace

bool td_parse_command_line(int argc, char** argv, td_request& request, int* status)
{
    request = td_request{};
    // From the start each time: a process may parse more than once.
    optind = 0;
    opterr = 0;
    // The dataset forms also take options after their folders.
    std::vector<char*> positional;
    for (;;) {
        const int id = getopt_long(argc, argv, "+:", long_options, nullptr);
        const bool dataset =
            request.form == td_form::dataset || request.form == td_form::dataset_manifest;
        if (id == -1 && dataset && optind < argc && std::strcmp(argv[optind - 1], "--") != 0) {
            positional.push_back(argv[optind++]);
            continue;
        }
        if (id == -1)
            break;
        if (id == '?' || id == ':')
            return unknown_option(id, argv, status);
        request.any_option = true;
        if (!take_option(id, request, status))
            return false;
    }
    for (int i = optind; i < argc; i++)
        positional.push_back(argv[i]);
    return take_arguments(request, static_cast<int>(positional.size()), positional.data(),
                          status) &&
           check_combinations(request, status);
}

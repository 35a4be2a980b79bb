#include "frontend/tunedump_options.h"

#include <cstdio>
#include <cstring>

#include "frontend/tunedump_info.h"
#include "frontend/tunedump_stems.h"
#include "frontend/tunedumps.h"

namespace {

constexpr const char* help_text =
    "usage:\n"
    "  tunedump [--song N] source.mod samplenum seconds dest.wav\n"
    "  tunedump [--song N] --stems source.mod seconds outdir\n"
    "  tunedump --info source.mod\n"
    "  tunedump --help\n"
    "  tunedump --version\n"
    "\n"
    "  source.mod  the module (31 samples, 2 to 32 channels)\n"
    "  samplenum   0 plays every sample, 1..31 only that one\n"
    "  seconds     1..1200, or song for the length of the song (of sequence N)\n"
    "  dest.wav    the WAV file to write, or - for standard output\n"
    "  outdir      the folder for mix.wav and one NN-name.wav per sample played\n"
    "  --song N    play sequence N (0 is the song; --info lists them)\n"
    "  --stems     write the mix and every sample's solo render in one pass\n"
    "  --info      print the module's header, sequences and samples\n"
    "  --help      print this text\n"
    "  --version   print the version\n";

int wrong_count(const char* option, const char* expected)
{
    std::fprintf(stderr, "tunedump: %s takes %s\n", option, expected);
    return 1;
}

int info_main(const char* source)
{
    if (!td_start_player())
        return 1;
    if (!td_read_module(source)) {
        std::puts("Error opening input file.");
        return 1;
    }
    vex_sequence sequences[VEX_MAX_SEQUENCES];
    const int32_t count = vex_sequences(td_module_image(), sequences, VEX_MAX_SEQUENCES);
    if (count == 0) {
        std::fprintf(stderr, "%s\n", pt_errorstr);
        return 1;
    }
    td_print_info(stdout, td_module_image(), sequences, count);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int td_options_main(int argc, char** argv)
{
    const char* option = argv[1];
    if (std::strcmp(option, "--help") == 0) {
        if (argc != 2)
            return wrong_count(option, "no arguments");
        std::fputs(help_text, stdout);
        return 0;
    }
    if (std::strcmp(option, "--version") == 0) {
        if (argc != 2)
            return wrong_count(option, "no arguments");
        std::puts("tunedump " TUNEDUMP_VERSION);
        return 0;
    }
    if (std::strcmp(option, "--info") == 0)
        return argc == 3 ? info_main(argv[2]) : wrong_count(option, "one argument: source.mod");
    if (std::strcmp(option, "--stems") == 0) {
        if (argc != 5)
            return wrong_count(option, "three arguments: source.mod seconds outdir");
        return td_stems_main(argv[2], argv[3], argv[4], nullptr);
    }
    if (std::strcmp(option, "--song") == 0) {
        if (argc == 7 && std::strcmp(argv[3], "--stems") == 0)
            return td_stems_main(argv[4], argv[5], argv[6], argv[2]);
        if (argc != 7)
            return wrong_count(option, "N source.mod samplenum seconds dest.wav");
        return td_render_main(argv[3], argv[4], argv[5], argv[6], argv[2]);
    }
    std::fprintf(stderr, "tunedump: unknown option %s (tunedump --help lists the forms)\n", option);
    return 1;
}

// The machine's floor for the front end's job: write files of the given
// size piece by piece from one small reused buffer, each under a temporary
// name beside it, then renamed over the old file: the least any renderer
// that streams its output and never leaves a broken file must do. With
// --reserve the room for each file is set aside first, as the program does
// where it knows the size.
//
//   floor [--reserve] bytes dest [dest ...]
#include <fcntl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static bool write_file(const char* path, size_t bytes, bool reserve)
{
    static char piece[64 * 1024];
    const std::string temp = std::string(path) + ".floor-temp";
    FILE* file = std::fopen(temp.c_str(), "wb");
    if (file == nullptr)
        return false;
    bool ok = !reserve || fallocate(fileno(file), 0, 0, static_cast<off_t>(bytes)) == 0;
    for (size_t done = 0; done < bytes && ok;) {
        const size_t n = bytes - done < sizeof piece ? bytes - done : sizeof piece;
        // Fill the piece each time, as a renderer fills its block.
        std::memset(piece, static_cast<int>(done >> 16), n);
        ok = std::fwrite(piece, 1, n, file) == n;
        done += n;
    }
    ok = std::fclose(file) == 0 && ok;
    return ok && std::rename(temp.c_str(), path) == 0;
}

int main(int argc, char** argv)
{
    const bool reserve = argc > 1 && std::strcmp(argv[1], "--reserve") == 0;
    if (reserve) {
        argc--;
        argv++;
    }
    if (argc < 3) {
        std::fputs("floor [--reserve] bytes dest [dest ...]\n", stderr);
        return 1;
    }
    const size_t bytes = std::strtoull(argv[1], nullptr, 10);
    for (int i = 2; i < argc; i++)
        if (!write_file(argv[i], bytes, reserve))
            return 1;
    return 0;
}

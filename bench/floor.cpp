// The machine's floor for the front end's job: write files of the given
// size piece by piece from one small reused buffer, the least any renderer
// that streams its output must do.
//
//   floor bytes dest [dest ...]
#include <cstdio>
#include <cstdlib>
#include <cstring>

static bool write_file(const char* path, size_t bytes)
{
    static char piece[64 * 1024];
    FILE* file = std::fopen(path, "wb");
    if (file == nullptr)
        return false;
    bool ok = true;
    for (size_t done = 0; done < bytes && ok;) {
        const size_t n = bytes - done < sizeof piece ? bytes - done : sizeof piece;
        // Fill the piece each time, as a renderer fills its block.
        std::memset(piece, static_cast<int>(done >> 16), n);
        ok = std::fwrite(piece, 1, n, file) == n;
        done += n;
    }
    return std::fclose(file) == 0 && ok;
}

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fputs("floor bytes dest [dest ...]\n", stderr);
        return 1;
    }
    const size_t bytes = std::strtoull(argv[1], nullptr, 10);
    for (int i = 2; i < argc; i++)
        if (!write_file(argv[i], bytes))
            return 1;
    return 0;
}

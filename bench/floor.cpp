// The machine's floor for the front end's job: write a file of the given
// size piece by piece from one small reused buffer, the least any renderer
// that streams its output must do.
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fputs("floor bytes dest\n", stderr);
        return 1;
    }
    const size_t bytes = std::strtoull(argv[1], nullptr, 10);
    static char piece[64 * 1024];
    FILE* file = std::fopen(argv[2], "wb");
    if (file == nullptr)
        return 1;
    bool ok = true;
    for (size_t done = 0; done < bytes && ok;) {
        const size_t n = bytes - done < sizeof piece ? bytes - done : sizeof piece;
        // Fill the piece each time, as a renderer fills its block.
        std::memset(piece, static_cast<int>(done >> 16), n);
        ok = std::fwrite(piece, 1, n, file) == n;
        done += n;
    }
    return std::fclose(file) == 0 && ok ? 0 : 1;
}

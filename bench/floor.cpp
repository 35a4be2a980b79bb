// The machine's floor for the front end's job: write a file of the given
// size from memory that the program has already filled.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fputs("floor bytes dest\n", stderr);
        return 1;
    }
    const size_t bytes = std::strtoull(argv[1], nullptr, 10);
    std::vector<char> data(bytes);
    // Touch every page, as a renderer must.
    std::memset(data.data(), 1, bytes);
    FILE* file = std::fopen(argv[2], "wb");
    if (file == nullptr)
        return 1;
    const bool ok = std::fwrite(data.data(), 1, bytes, file) == bytes;
    return std::fclose(file) == 0 && ok ? 0 : 1;
}

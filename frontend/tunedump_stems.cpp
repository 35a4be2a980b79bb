#include "frontend/tunedump_stems.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frontend/safe_name.h"
#include "frontend/tunedump_info.h"
#include "frontend/tunedumps.h"
#include "tunedump/tunedump.h"

namespace {

constexpr int32_t stem_slots = 32;  // 0 is the full mix, 1..31 the samples
constexpr int32_t piece_samples = static_cast<int32_t>(wav_piece_bytes / 2);

struct stem_file {
    wav_out out;
    std::string path;
    int16_t* piece = nullptr;
    int32_t filled = 0;
    bool open = false;
};

stem_file files[stem_slots];
int16_t blocks[stem_slots][2 * td_blockframes];

const uint8_t* sample_name(int32_t n) { return td_sample_name(td_module_image(), n); }

void hand_in(stem_file& f)
{
    wav_writer_submit(f.out, reinterpret_cast<uint8_t*>(f.piece), static_cast<size_t>(f.filled) * 2);
    f.piece = nullptr;
    f.filled = 0;
}

// Appends count samples: the left values of stereo, or silence when null.
void append(stem_file& f, const int16_t* stereo, int32_t count)
{
    for (int32_t k = 0; k < count;) {
        if (f.piece == nullptr)
            f.piece = reinterpret_cast<int16_t*>(wav_writer_piece());
        const int32_t n = std::min(count - k, piece_samples - f.filled);
        int16_t* __restrict out = f.piece + f.filled;
        if (stereo == nullptr) {
            std::memset(out, 0, static_cast<size_t>(n) * sizeof(int16_t));
        } else {
            const int16_t* __restrict in = stereo + 2 * k;
            for (int32_t i = 0; i < n; i++)
                out[i] = in[2 * i];
        }
        f.filled += n;
        k += n;
        if (f.filled == piece_samples)
            hand_in(f);
    }
}

// Opens a file at its first use; its solo render was silent until now.
void open_file(stem_file& f, const std::string& path, int32_t count, int32_t done)
{
    f.path = path;
    wav_open(f.out, path.c_str());
    f.open = true;
    wav_writer_header(f.out, static_cast<uint32_t>(count) * 2, td_rate);
    append(f, nullptr, done);
}

void render_all(const std::string& dir, int32_t count)
{
    int16_t* targets[stem_slots] = {};
    for (int32_t n = 1; n < stem_slots; n++)
        targets[n] = blocks[n];
    open_file(files[0], dir + "/mix.wav", count, 0);
    for (int32_t done = 0; done < count && !wav_writer_failed(); done += td_blockframes) {
        mix_newhand_stems(0, blocks[0], static_cast<int32_t>(sizeof blocks[0]), targets);
        for (int32_t n = 0; n < stem_slots; n++) {
            if (n > 0 && !vex_sample_used(n))
                continue;
            stem_file& f = files[n];
            if (!f.open)
                open_file(f, dir + "/" + td_stem_name(n, sample_name(n), td_name_bytes), count, done);
            append(f, blocks[n], td_blockframes);
        }
    }
}

// Hands in what is left, waits for the writer, closes every file.
bool finish_all()
{
    bool ok = !wav_writer_failed();
    for (stem_file& f : files)
        if (f.piece != nullptr)
            hand_in(f);
    wav_writer_finish();
    for (stem_file& f : files)
        if (f.open && wav_close(f.out) != 0)
            ok = false;
    return ok;
}

void remove_all(const std::string& dir, bool made_dir)
{
    // A file this run could not create was not ours to remove.
    for (stem_file& f : files)
        if (f.open && f.out.created)
            unlink(f.path.c_str());
    if (made_dir)
        rmdir(dir.c_str());
}

void print_files()
{
    for (int32_t n = 0; n < stem_slots; n++) {
        if (!files[n].open)
            continue;
        const std::string name = n == 0 ? "" : td_printable(sample_name(n), td_name_bytes);
        std::printf("%s%s%s\n", files[n].path.c_str(), name.empty() ? "" : "  ", name.c_str());
    }
}

}  // namespace

std::string td_stem_name(int32_t n, const uint8_t* name, int32_t bytes)
{
    const std::string safe = td_safe_name(name, bytes);
    char number[4];
    std::snprintf(number, sizeof number, "%02d", static_cast<int>(n));
    return std::string(number) + (safe.empty() ? "" : "-" + safe) + ".wav";
}

int td_stems_main(const char* source, const char* seconds, const char* outdir, const char* song)
{
    if (!td_start_player())
        return 1;
    if (!td_read_module(source)) {
        std::puts("Error opening input file.");
        return 1;
    }
    int32_t target = 0;
    if (!td_load_and_start(seconds, song, &target))
        return 1;
    const int status = td_write_stems(outdir, target);
    vex_close();
    return status;
}

int td_write_stems(const char* outdir, int32_t target)
{
    const std::string dir = outdir;
    const int32_t count = (target + td_blockframes - 1) / td_blockframes * td_blockframes;
    struct stat info;
    bool made_dir = false;
    if (stat(outdir, &info) == 0) {
        if (!S_ISDIR(info.st_mode)) {
            std::puts("File error.");
            return 1;
        }
    } else if (mkdir(outdir, 0777) == 0) {
        made_dir = true;
    } else {
        std::puts("File error.");
        return 1;
    }
    wav_writer_start();
    render_all(dir, count);
    if (!finish_all()) {
        remove_all(dir, made_dir);
        std::puts("File error.");
        return 1;
    }
    print_files();
    return 0;
}

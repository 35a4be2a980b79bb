#include "frontend/wav_stream.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

void put(wav_out& out, const void* data, size_t bytes)
{
    // After the first failure nothing more is written: the file is lost.
    if (!out.failed && std::fwrite(data, 1, bytes, out.file) != bytes) {
        out.failed = true;
        out.error = errno;
    }
}

void put_lsb(wav_out& out, uint32_t value, int bytes)
{
    uint8_t b[4];
    for (int i = 0; i < bytes; i++)
        b[i] = static_cast<uint8_t>(value >> (8 * i));
    put(out, b, static_cast<size_t>(bytes));
}

void remove_if_regular(const std::string& path)
{
    struct stat info;
    if (!path.empty() && stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode))
        unlink(path.c_str());
}

}  // namespace

bool wav_open(wav_out& out, const char* path)
{
    out.file = std::fopen(path, "wb");
    out.path = path;
    out.failed = false;
    out.error = 0;
    return out.file != nullptr;
}

void wav_use(wav_out& out, FILE* stream)
{
    out.file = stream;
    out.path.clear();
    out.failed = false;
    out.error = 0;
}

void wav_put_header(wav_out& out, uint32_t bytes, uint32_t rate)
{
    put(out, "RIFF", 4);
    put_lsb(out, bytes + 36, 4);
    put(out, "WAVEfmt ", 8);
    put_lsb(out, 16, 4);
    put_lsb(out, 1, 2);  // PCM
    put_lsb(out, 1, 2);  // one channel
    put_lsb(out, rate, 4);
    put_lsb(out, rate * 2, 4);
    put_lsb(out, 2, 2);
    put_lsb(out, 16, 2);
    put(out, "data", 4);
    put_lsb(out, bytes, 4);
}

int32_t wav_close(wav_out& out)
{
    bool ok = !out.failed;
    if (out.path.empty())
        ok = std::fflush(out.file) == 0 && ok;
    else
        ok = std::fclose(out.file) == 0 && ok;
    out.file = nullptr;
    if (ok)
        return 0;
    remove_if_regular(out.path);
    return -1;
}

// The writer thread: pieces are free, held by the render loop, or queued;
// queued pieces are written in the order they were handed in.
namespace {

// Room for a piece in hand for each of 32 files and as many queued behind.
constexpr int piece_count = 66;

struct queued_piece {
    wav_out* out;
    int piece;
    size_t bytes;
};

uint8_t pieces[piece_count][wav_piece_bytes];
int free_pieces[piece_count];
int free_count = 0;
queued_piece queue[piece_count];
int queued = 0;  // jobs waiting, the oldest at head
int head = 0;
bool closing = false;
bool write_failed = false;
std::mutex lock;
std::condition_variable changed;
std::thread writer;

void write_pieces()
{
    std::unique_lock<std::mutex> hold(lock);
    for (;;) {
        changed.wait(hold, [] { return queued > 0 || closing; });
        if (queued == 0)
            return;
        const queued_piece job = queue[head];
        hold.unlock();
        put(*job.out, pieces[job.piece], job.bytes);
        const bool failed = job.out->failed;
        hold.lock();
        write_failed = write_failed || failed;
        head = (head + 1) % piece_count;
        queued--;
        free_pieces[free_count++] = job.piece;
        changed.notify_all();
    }
}

}  // namespace

void wav_writer_start()
{
    // Highest first, so that a single file keeps reusing the same few pieces.
    for (free_count = 0; free_count < piece_count; free_count++)
        free_pieces[free_count] = piece_count - 1 - free_count;
    queued = head = 0;
    closing = write_failed = false;
    writer = std::thread(write_pieces);
}

uint8_t* wav_writer_piece()
{
    std::unique_lock<std::mutex> hold(lock);
    changed.wait(hold, [] { return free_count > 0; });
    return pieces[free_pieces[--free_count]];
}

void wav_writer_submit(wav_out& out, const uint8_t* piece, size_t bytes)
{
    std::lock_guard<std::mutex> hold(lock);
    const int index = static_cast<int>((piece - pieces[0]) / static_cast<std::ptrdiff_t>(wav_piece_bytes));
    queue[(head + queued) % piece_count] = {&out, index, bytes};
    queued++;
    changed.notify_all();
}

bool wav_writer_failed()
{
    std::lock_guard<std::mutex> hold(lock);
    return write_failed;
}

void wav_writer_finish()
{
    {
        std::lock_guard<std::mutex> hold(lock);
        closing = true;
        changed.notify_all();
    }
    writer.join();
}

#include "frontend/wav_stream.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

void fail(wav_out& out)
{
    out.failed = true;
    out.error = errno;
}

// A part waits until the file exists, then opens it for update at its
// offset; no byte of it means the file was never made.
void open_part(wav_out& out)
{
    char byte = 0;
    ssize_t got;
    do
        got = read(out.ready_fd, &byte, 1);
    while (got < 0 && errno == EINTR);
    if (got == 1)
        out.file = std::fopen(out.path.c_str(), "r+b");
    if (out.file == nullptr || std::fseek(out.file, out.offset, SEEK_SET) != 0)
        fail(out);
}

void create_file(wav_out& out)
{
    out.file = std::fopen(out.path.c_str(), "wb");
    out.created = out.file != nullptr;
    if (!out.created) {
        fail(out);
        return;
    }
    for (int i = 0; i < out.announce_count; i++)
        if (write(out.announce_fd, "+", 1) != 1)
            break;
}

void put(wav_out& out, const void* data, size_t bytes)
{
    if (out.file == nullptr && !out.failed) {
        if (out.ready_fd >= 0)
            open_part(out);
        else
            create_file(out);
    }
    // After the first failure nothing more is written: the file is lost.
    if (!out.failed && std::fwrite(data, 1, bytes, out.file) != bytes) {
        fail(out);
    }
}

uint8_t* put_lsb(uint8_t* at, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; i++)
        *at++ = static_cast<uint8_t>(value >> (8 * i));
    return at;
}

uint8_t* put_text(uint8_t* at, const char* text)
{
    const size_t n = std::strlen(text);
    std::memcpy(at, text, n);
    return at + n;
}

}  // namespace

void wav_remove_if_regular(const std::string& path)
{
    struct stat info;
    if (!path.empty() && stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode))
        unlink(path.c_str());
}

void wav_open(wav_out& out, const char* path)
{
    out = wav_out{};
    out.path = path;
}

void wav_open_part(wav_out& out, const char* path, long offset, int ready_fd)
{
    wav_open(out, path);
    out.offset = offset;
    out.ready_fd = ready_fd;
}

void wav_use(wav_out& out, FILE* stream)
{
    out = wav_out{};
    out.file = stream;
}

void wav_header(uint8_t* header, uint32_t bytes, uint32_t rate)
{
    uint8_t* at = put_text(header, "RIFF");
    at = put_lsb(at, bytes + 36, 4);
    at = put_text(at, "WAVEfmt ");
    at = put_lsb(at, 16, 4);
    at = put_lsb(at, 1, 2);  // PCM
    at = put_lsb(at, 1, 2);  // one channel
    at = put_lsb(at, rate, 4);
    at = put_lsb(at, rate * 2, 4);
    at = put_lsb(at, 2, 2);
    at = put_lsb(at, 16, 2);
    at = put_text(at, "data");
    put_lsb(at, bytes, 4);
}

int32_t wav_close(wav_out& out)
{
    bool ok = !out.failed;
    if (out.path.empty())
        ok = std::fflush(out.file) == 0 && ok;
    else if (out.file != nullptr)
        ok = std::fclose(out.file) == 0 && ok;
    out.file = nullptr;
    if (ok)
        return 0;
    // Only a file this run created is removed.
    if (out.created)
        wav_remove_if_regular(out.path);
    return -1;
}

// The writer thread: pieces are free, held by the render loop, or queued;
// queued pieces are written in the order they were handed in.
namespace {

// Room for a piece in hand for each of 32 files and a few queued behind;
// at most 9 MiB however long the render, and little more than a MiB for one
// file: a render that runs ahead of the disk waits.
constexpr int queue_limit = 4;
constexpr int piece_count = 32 + queue_limit;

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
// Pieces written at once by the render loop itself, with no writer thread.
bool write_inline = false;

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

void wav_writer_start(bool inline_writes)
{
    write_inline = inline_writes;
    // Highest first, so that a single file keeps reusing the same few pieces.
    for (free_count = 0; free_count < piece_count; free_count++)
        free_pieces[free_count] = piece_count - 1 - free_count;
    queued = head = 0;
    closing = write_failed = false;
    if (!write_inline)
        writer = std::thread(write_pieces);
}

uint8_t* wav_writer_piece()
{
    if (write_inline)
        return pieces[piece_count - 1];
    std::unique_lock<std::mutex> hold(lock);
    changed.wait(hold, [] { return free_count > 0 && queued < queue_limit; });
    return pieces[free_pieces[--free_count]];
}

void wav_writer_submit(wav_out& out, const uint8_t* piece, size_t bytes)
{
    if (write_inline) {
        put(out, piece, bytes);
        write_failed = write_failed || out.failed;
        return;
    }
    std::lock_guard<std::mutex> hold(lock);
    const int index = static_cast<int>((piece - pieces[0]) / static_cast<std::ptrdiff_t>(wav_piece_bytes));
    queue[(head + queued) % piece_count] = {&out, index, bytes};
    queued++;
    changed.notify_all();
}

void wav_writer_header(wav_out& out, uint32_t bytes, uint32_t rate)
{
    uint8_t* piece = wav_writer_piece();
    wav_header(piece, bytes, rate);
    wav_writer_submit(out, piece, wav_header_bytes);
}

bool wav_writer_failed()
{
    std::lock_guard<std::mutex> hold(lock);
    return write_failed;
}

void wav_writer_finish()
{
    if (write_inline)
        return;
    {
        std::lock_guard<std::mutex> hold(lock);
        closing = true;
        changed.notify_all();
    }
    writer.join();
}

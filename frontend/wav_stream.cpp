#include "frontend/wav_stream.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace {

void fail(wav_out& out)
{
    out.failed = true;
    out.error = errno;
}

void announce(const wav_out& out)
{
    for (int i = 0; i < out.announce_count; i++)
        if (write(out.announce_fd, "+", 1) != 1)
            break;
}

// A part waits until the file is emptied; no byte means it never will be.
void wait_for_file(wav_out& out)
{
    char byte = 0;
    ssize_t got;
    do
        got = read(out.ready_fd, &byte, 1);
    while (got < 0 && errno == EINTR);
    out.ready_fd = -1;
    if (got != 1)
        fail(out);
}

void create_file(wav_out& out)
{
    out.file = std::fopen(out.path.c_str(), "wb");
    out.created = out.file != nullptr;
    if (!out.created)
        fail(out);
}

void empty_file(wav_out& out)
{
    out.empty_first = false;
    if (ftruncate(fileno(out.file), 0) != 0) {
        fail(out);
        return;
    }
    announce(out);
}

void open_output(wav_out& out)
{
    if (out.failed)
        return;
    if (out.part_fd >= 0) {
        if (out.ready_fd >= 0)
            wait_for_file(out);
    } else if (out.file == nullptr) {
        create_file(out);
    } else if (out.empty_first) {
        empty_file(out);
    }
}

// Positional writes: the descriptor's offset belongs to the process that
// opened it.
bool write_at(int fd, const uint8_t* data, size_t bytes, long offset)
{
    while (bytes > 0) {
        const ssize_t done = pwrite(fd, data, bytes, offset);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return false;
        data += done;
        bytes -= static_cast<size_t>(done);
        offset += done;
    }
    return true;
}

void put(wav_out& out, const void* data, size_t bytes)
{
    open_output(out);
    // After the first failure nothing more is written: the file is lost.
    if (out.failed)
        return;
    if (out.part_fd >= 0) {
        if (!write_at(out.part_fd, static_cast<const uint8_t*>(data), bytes, out.offset))
            fail(out);
        out.offset += static_cast<long>(bytes);
    } else if (std::fwrite(data, 1, bytes, out.file) != bytes) {
        fail(out);
    }
}

}  // namespace

namespace {

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

bool wav_open_shared(wav_out& out, const char* path)
{
    wav_open(out, path);
    const int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    out.file = fd < 0 ? nullptr : fdopen(fd, "wb");
    if (out.file == nullptr) {
        fail(out);
        if (fd >= 0)
            close(fd);
        return false;
    }
    out.created = true;
    out.empty_first = true;
    return true;
}

void wav_open_part(wav_out& out, int fd, long offset, int ready_fd)
{
    out = wav_out{};
    out.part_fd = fd;
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
    if (out.part_fd >= 0) {
        ok = close(out.part_fd) == 0 && ok;
        out.part_fd = -1;
        return ok ? 0 : -1;
    }
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

// Room for a piece in hand for each of 32 files and a few queued behind
// (little more than a MiB for one file: a render that runs ahead of the disk
// waits), or for the pieces of one part rendered ahead while its file
// opens: at most 9 MiB however long the render.
constexpr int queue_limit = 4;
constexpr int piece_count = 32 + queue_limit;
static_assert(wav_most_ahead <= piece_count);

struct queued_piece {
    wav_out* out;
    int piece;
    size_t bytes;
};

// The pieces lie in memory the kernel may back with 2 MiB pages: a first
// touch of a small page costs a fault, and the pieces are touched often.
using piece_bytes = uint8_t[wav_piece_bytes];
piece_bytes* piece_memory()
{
    constexpr size_t huge = size_t{2} << 20;
    constexpr size_t bytes = piece_count * wav_piece_bytes;
    void* block = mmap(nullptr, bytes + huge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                       -1, 0);
    if (block == MAP_FAILED)
        std::abort();
    const uintptr_t at = (reinterpret_cast<uintptr_t>(block) + huge - 1) & ~(huge - 1);
    madvise(reinterpret_cast<void*>(at), bytes, MADV_HUGEPAGE);
    return reinterpret_cast<piece_bytes*>(at);
}
piece_bytes* const pieces = piece_memory();
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

// Pieces written by the render loop itself, with no writer thread. Until
// the file is open (emptying an old file takes a while, and a part waits
// for it to exist) they queue, up to inline_limit, while a short-lived
// thread opens it.
bool write_inline = false;
int inline_limit = wav_most_ahead;
// A plain thread handle: a process forked while it runs must be able to
// forget it.
pthread_t opener;
bool opener_running = false;
std::atomic<bool> opened{false};

void* open_in_background(void* out)
{
    open_output(*static_cast<wav_out*>(out));
    opened.store(true, std::memory_order_release);
    return nullptr;
}

// Whether the first write to out would have to wait: for the file to be
// created or emptied, or for another process to empty it.
bool must_open(const wav_out& out)
{
    if (out.failed)
        return false;
    if (out.part_fd >= 0)
        return out.ready_fd >= 0;
    return out.file == nullptr || out.empty_first;
}

void start_opener(wav_out& out)
{
    if (opener_running || opened.load(std::memory_order_relaxed) || !must_open(out))
        return;
    opener_running = pthread_create(&opener, nullptr, open_in_background, &out) == 0;
    // Without a thread, the file opens at the first write.
}

void write_queued()
{
    while (queued > 0) {
        const queued_piece job = queue[head];
        put(*job.out, pieces[job.piece], job.bytes);
        write_failed = write_failed || job.out->failed;
        head = (head + 1) % piece_count;
        queued--;
        free_pieces[free_count++] = job.piece;
    }
}

// Writes what is queued once the file is open; with wait, waits for that.
void flush_inline(bool wait)
{
    if (opener_running) {
        if (!wait && !opened.load(std::memory_order_acquire))
            return;
        pthread_join(opener, nullptr);
        opener_running = false;
    }
    write_queued();
}

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

void wav_writer_start(bool inline_writes, int ahead)
{
    write_inline = inline_writes;
    inline_limit = ahead < 1 ? 1 : ahead > wav_most_ahead ? wav_most_ahead : ahead;
    // Highest first, so that a single file keeps reusing the same few pieces.
    for (free_count = 0; free_count < piece_count; free_count++)
        free_pieces[free_count] = piece_count - 1 - free_count;
    queued = head = 0;
    closing = write_failed = false;
    opened.store(false);
    opener_running = false;
    if (!write_inline)
        writer = std::thread(write_pieces);
}

uint8_t* wav_writer_piece()
{
    if (write_inline) {
        if (queued >= inline_limit)
            flush_inline(true);
        return pieces[free_pieces[--free_count]];
    }
    std::unique_lock<std::mutex> hold(lock);
    changed.wait(hold, [] { return free_count > 0 && queued < queue_limit; });
    return pieces[free_pieces[--free_count]];
}

void wav_writer_submit(wav_out& out, const uint8_t* piece, size_t bytes)
{
    const int index = static_cast<int>((piece - pieces[0]) / static_cast<std::ptrdiff_t>(wav_piece_bytes));
    if (write_inline) {
        start_opener(out);
        queue[(head + queued) % piece_count] = {&out, index, bytes};
        queued++;
        flush_inline(false);
        return;
    }
    std::lock_guard<std::mutex> hold(lock);
    queue[(head + queued) % piece_count] = {&out, index, bytes};
    queued++;
    changed.notify_all();
}

void wav_writer_open(wav_out& out)
{
    if (write_inline)
        start_opener(out);
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
    if (write_inline) {
        flush_inline(true);
        return;
    }
    {
        std::lock_guard<std::mutex> hold(lock);
        closing = true;
        changed.notify_all();
    }
    writer.join();
}

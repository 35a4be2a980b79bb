#include "frontend/piece_writer.h"

#include <sys/mman.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "frontend/run_cleanup.h"

namespace {

// Room for a piece in hand for each of 32 files and a few queued behind
// (little more than a MiB for one file: a render that runs ahead of the
// disk waits).
constexpr int queue_limit = 4;
constexpr int piece_count = 32 + queue_limit;

struct queued_piece {
    td_output_file* file;
    int piece;
    size_t bytes;
};

// The pieces lie in memory the kernel may back with 2 MiB pages: a first
// touch of a small page costs a fault, and the pieces are touched often.
using piece_bytes = uint8_t[td_piece_bytes];
piece_bytes* piece_memory()
{
    constexpr size_t huge = size_t{2} << 20;
    constexpr size_t bytes = piece_count * td_piece_bytes;
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
bool write_inline = false;
std::mutex lock;
std::condition_variable changed;
std::thread writer;

int index_of(const uint8_t* piece)
{
    return static_cast<int>((piece - pieces[0]) / static_cast<std::ptrdiff_t>(td_piece_bytes));
}

// After its first failure nothing more goes to a file: it is lost.
bool write_piece(const queued_piece& job)
{
    return td_file_write(*job.file, pieces[job.piece], job.bytes);
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
        const bool ok = write_piece(job);
        hold.lock();
        write_failed = write_failed || !ok;
        head = (head + 1) % piece_count;
        queued--;
        free_pieces[free_count++] = job.piece;
        changed.notify_all();
    }
}

}  // namespace

void td_pieces_start(bool inline_writes)
{
    write_inline = inline_writes;
    // Highest first, so that a single file keeps reusing the same few pieces.
    for (free_count = 0; free_count < piece_count; free_count++)
        free_pieces[free_count] = piece_count - 1 - free_count;
    queued = head = 0;
    closing = write_failed = false;
    if (write_inline)
        return;
    // The writer never takes a stopping signal: the handler runs on the
    // thread that forks.
    td_signals_hold();
    writer = std::thread(write_pieces);
    td_signals_release();
}

uint8_t* td_pieces_take()
{
    if (write_inline)
        return pieces[free_pieces[--free_count]];
    std::unique_lock<std::mutex> hold(lock);
    changed.wait(hold, [] { return free_count > 0 && queued < queue_limit; });
    return pieces[free_pieces[--free_count]];
}

void td_pieces_put(td_output_file& file, const uint8_t* piece, size_t bytes)
{
    const queued_piece job{&file, index_of(piece), bytes};
    if (write_inline) {
        write_failed = !write_piece(job) || write_failed;
        free_pieces[free_count++] = job.piece;
        return;
    }
    std::lock_guard<std::mutex> hold(lock);
    queue[(head + queued) % piece_count] = job;
    queued++;
    changed.notify_all();
}

void td_pieces_return(const uint8_t* piece)
{
    std::lock_guard<std::mutex> hold(lock);
    free_pieces[free_count++] = index_of(piece);
    changed.notify_all();
}

bool td_pieces_failed()
{
    std::lock_guard<std::mutex> hold(lock);
    return write_failed;
}

void td_pieces_finish()
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

#include "frontend/render_parts.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "frontend/tunedumps.h"
#include "tunedump/tunedump.h"

int td_render_parts = 0;

namespace {

// Below this a part costs more to start than it saves.
constexpr int32_t min_part_samples = 30 * td_rate;

// All parts together stay within 16 MiB: each process needs up to 2 MiB
// besides its pieces, and its pieces take memory 2 MiB at a time. That
// leaves room for four parts at most.
constexpr int64_t memory_budget = int64_t{16} << 20;
constexpr int64_t process_memory = int64_t{2} << 20;
constexpr int64_t piece_memory_step = int64_t{2} << 20;
constexpr int max_parts = 4;

// The pieces each of parts processes may render ahead while the file opens.
int pieces_ahead(int parts)
{
    const int64_t room = (memory_budget / parts - process_memory) / piece_memory_step *
                         piece_memory_step;
    return static_cast<int>(std::min<int64_t>(room / static_cast<int64_t>(wav_piece_bytes),
                                              wav_most_ahead));
}
static_assert(int64_t{max_parts} * (process_memory + piece_memory_step) <= memory_budget);

int processors()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return 1;
    return CPU_COUNT(&set);
}

// Sample where part i of parts starts, on a block boundary.
int32_t part_start(int32_t count, int parts, int i)
{
    const int64_t blocks = count / td_blockframes;
    return static_cast<int32_t>(blocks * i / parts) * td_blockframes;
}

// A child's part: samples start..end, written once the parent has emptied the
// file. Its exit status says whether every byte of it got there.
[[noreturn]] void render_part(int fd, int32_t start, int32_t end, int ready_fd, int ahead)
{
    vex_skip(start);
    wav_out out;
    wav_open_part(out, fd, static_cast<long>(wav_header_bytes) + 2L * start, ready_fd);
    wav_writer_start(true, ahead);
    td_stream_samples(out, end - start);
    wav_writer_finish();
    _exit(wav_close(out) == 0 ? 0 : 1);
}

// A descriptor of its own for each later part, opened before the forks:
// a file's last writes are handed to the disk when the last descriptor that
// shares its opening closes, so a part that ends first does that while the
// others still render. Where the file cannot be opened again (a new file
// that its mode makes read-only), the part shares the first descriptor.
std::vector<int> part_descriptors(const wav_out& out, int parts)
{
    std::vector<int> fds(static_cast<size_t>(parts), -1);
    for (size_t i = 1; i < fds.size(); i++) {
        fds[i] = open(out.path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fds[i] < 0)
            fds[i] = fcntl(fileno(out.file), F_DUPFD_CLOEXEC, 0);
    }
    return fds;
}

// In part i's process: every other part's descriptor closed, and the first.
void keep_only(const std::vector<int>& fds, int i, int first)
{
    for (size_t j = 1; j < fds.size(); j++)
        if (j != static_cast<size_t>(i))
            close(fds[j]);
    close(first);
}

bool wait_all(const std::vector<pid_t>& children)
{
    bool ok = true;
    for (const pid_t child : children) {
        int status = 0;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    return ok;
}

void stop_all(const std::vector<pid_t>& children)
{
    for (const pid_t child : children)
        kill(child, SIGKILL);
    wait_all(children);
}

}  // namespace

int td_parts_for(const wav_out& out, int32_t count)
{
    struct stat info;
    if (out.path.empty() || (stat(out.path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)))
        return 1;
    int parts = td_render_parts;
    if (parts <= 0)
        parts = std::min({processors(), max_parts, count / min_part_samples});
    return std::clamp(parts, 1, count / td_blockframes);
}

int32_t td_render_in_parts(wav_out& out, int32_t count, int parts)
{
    int ready[2] = {-1, -1};
    if (pipe(ready) != 0) {
        ready[0] = ready[1] = -1;
        parts = 1;
    }
    // Opened before the forks, so that no part opens the file by its name
    // again; emptied after them, while the parts render ahead.
    const std::string path = out.path;
    if (!wav_open_shared(out, path.c_str())) {
        close(ready[0]);
        close(ready[1]);
        return wav_close(out);
    }
    const std::vector<int> part_fds = part_descriptors(out, parts);
    out.announce_fd = ready[1];
    out.announce_count = parts - 1;
    std::vector<pid_t> children;
    for (int i = 1; i < parts; i++) {
        const pid_t child = fork();
        if (child == 0) {
            close(ready[1]);
            keep_only(part_fds, i, fileno(out.file));
            render_part(part_fds[static_cast<size_t>(i)], part_start(count, parts, i),
                        part_start(count, parts, i + 1), ready[0], pieces_ahead(parts));
        }
        if (child < 0) {
            // One process renders it all after all.
            stop_all(children);
            children.clear();
            parts = 1;
            break;
        }
        children.push_back(child);
    }
    for (size_t i = 1; i < part_fds.size(); i++)
        close(part_fds[i]);
    // Emptying an old file takes a while and nothing can be written before:
    // it starts now, and every part renders meanwhile. Not before the forks:
    // a process forked while another of its threads is inside the C library
    // may find that library's locks held for good.
    wav_writer_start(true, pieces_ahead(parts));
    wav_writer_open(out);
    wav_writer_header(out, static_cast<uint32_t>(count) * 2, td_rate);
    td_stream_samples(out, parts > 1 ? part_start(count, parts, 1) : count);
    wav_writer_finish();
    // A part still waiting for the file learns here that it will not come.
    // The reading end stays open until then, so that telling the parts the
    // file is ready never meets a closed pipe, whatever became of them.
    close(ready[1]);
    close(ready[0]);
    // The parts end first: the file's last close hands its writes to the
    // disk, and two closes at once would both do it, each slowing the other.
    bool parts_ok = false;
    if (wav_writer_failed())
        stop_all(children);
    else
        parts_ok = wait_all(children);
    if (wav_close(out) != 0)
        return -1;
    if (parts_ok)
        return 0;
    wav_remove_if_regular(out.path);
    return -1;
}

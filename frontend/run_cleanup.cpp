#include "frontend/run_cleanup.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace {

// The handler reads these tables: every entry is whole before it is marked
// used, and marked unused before it changes.
constexpr int temp_slots = 256;
constexpr int dir_slots = 16;
constexpr int child_slots = 256;
constexpr int tree_slots = 4;
// Folders below a tree: its track folders and theirs.
constexpr int tree_depth = 6;

volatile sig_atomic_t temp_used[temp_slots];
char temp_paths[temp_slots][PATH_MAX];
volatile sig_atomic_t dir_used[dir_slots];
char dir_paths[dir_slots][PATH_MAX];
volatile pid_t children[child_slots];
volatile sig_atomic_t tree_used[tree_slots];
char tree_paths[tree_slots][PATH_MAX];

constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

sigset_t stop_set()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int s : stop_signals)
        sigaddset(&set, s);
    return set;
}

// The folder entries as the kernel gives them.
struct folder_entry {
    uint64_t inode;
    int64_t offset;
    unsigned short size;
    unsigned char type;
    char name[1];
};

// Empties the folder open as fd; async-signal-safe (getdents64, openat,
// unlinkat, close). Entries go while the folder is read, so it is read
// again from the start until a pass finds nothing.
void empty_folder(int fd, int depth)
{
    alignas(8) char buffer[4096];
    for (bool found = true; found;) {
        found = false;
        lseek(fd, 0, SEEK_SET);
        long n;
        while ((n = syscall(SYS_getdents64, fd, buffer, sizeof buffer)) > 0) {
            for (long at = 0; at < n;) {
                const folder_entry* e = reinterpret_cast<const folder_entry*>(buffer + at);
                at += e->size;
                const char* name = e->name;
                if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
                    continue;
                if (unlinkat(fd, name, 0) == 0) {
                    found = true;
                    continue;
                }
                if (errno != EISDIR || depth == 0)
                    continue;
                const int sub = openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (sub >= 0) {
                    empty_folder(sub, depth - 1);
                    close(sub);
                }
                found = unlinkat(fd, name, AT_REMOVEDIR) == 0 || found;
            }
        }
    }
}

bool remove_tree(const char* path)
{
    const int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT;
    empty_folder(fd, tree_depth);
    close(fd);
    return rmdir(path) == 0;
}

// Async-signal-safe only: kill, waitpid, unlink, rmdir, signal, raise.
void undo_run()
{
    for (volatile pid_t& child : children)
        if (child > 0)
            kill(child, SIGKILL);
    for (volatile pid_t& child : children) {
        const pid_t pid = child;
        if (pid > 0) {
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
            child = 0;
        }
    }
    for (int i = 0; i < temp_slots; i++)
        if (temp_used[i])
            unlink(temp_paths[i]);
    for (int i = 0; i < tree_slots; i++)
        if (tree_used[i])
            remove_tree(tree_paths[i]);
    for (int i = dir_slots - 1; i >= 0; i--)
        if (dir_used[i])
            rmdir(dir_paths[i]);
}

void on_stop_signal(int signal_number)
{
    td_cleanup_stop(signal_number);
}

int add_path(volatile sig_atomic_t* used, char (*paths)[PATH_MAX], int slots, const char* path)
{
    if (std::strlen(path) >= PATH_MAX)
        return -1;
    for (int i = 0; i < slots; i++) {
        if (used[i])
            continue;
        std::strcpy(paths[i], path);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        used[i] = 1;
        return i;
    }
    return -1;
}

}  // namespace

void td_cleanup_install(bool pipe_is_stop)
{
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    for (const int s : stop_signals)
        sigaddset(&action.sa_mask, s);
    for (const int s : stop_signals)
        if (s != SIGPIPE || pipe_is_stop)
            sigaction(s, &action, nullptr);
    if (!pipe_is_stop)
        std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

void td_signals_hold()
{
    const sigset_t set = stop_set();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void td_signals_release()
{
    const sigset_t set = stop_set();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

int td_cleanup_add_temp(const char* path)
{
    return add_path(temp_used, temp_paths, temp_slots, path);
}

void td_cleanup_drop_temp(int slot)
{
    if (slot >= 0)
        temp_used[slot] = 0;
}

int td_cleanup_add_dir(const char* path)
{
    return add_path(dir_used, dir_paths, dir_slots, path);
}

void td_cleanup_drop_dir(int slot)
{
    if (slot >= 0)
        dir_used[slot] = 0;
}

int td_cleanup_add_tree(const char* path)
{
    return add_path(tree_used, tree_paths, tree_slots, path);
}

void td_cleanup_drop_tree(int slot)
{
    if (slot >= 0)
        tree_used[slot] = 0;
}

bool td_remove_tree(const char* path) { return remove_tree(path); }

void td_cleanup_add_child(pid_t child)
{
    for (volatile pid_t& c : children) {
        if (c == 0) {
            c = child;
            return;
        }
    }
}

void td_cleanup_drop_child(pid_t child)
{
    for (volatile pid_t& c : children)
        if (c == child)
            c = 0;
}

bool td_cleanup_in_child(pid_t parent)
{
    for (const int s : stop_signals)
        std::signal(s, SIG_DFL);
    for (volatile sig_atomic_t& used : temp_used)
        used = 0;
    for (volatile sig_atomic_t& used : dir_used)
        used = 0;
    for (volatile sig_atomic_t& used : tree_used)
        used = 0;
    for (volatile pid_t& c : children)
        c = 0;
    td_signals_release();
    // The parent may have died between the fork and the request.
    return prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 && getppid() == parent;
}

void td_cleanup_stop(int signal_number)
{
    undo_run();
    std::signal(signal_number, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal_number);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal_number);
    _exit(128 + signal_number);
}

#include "frontend/dataset.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <vector>

#include "frontend/dataset_manifest.h"
#include "frontend/dataset_track.h"
#include "frontend/run_cleanup.h"

namespace {

// A file under the input folder: a module for a worker to try, or skipped
// here with the reason.
struct entry {
    std::string relative;
    bool candidate = false;
    std::string reason;
};

struct walk {
    std::string indir;
    struct stat outdir{};
    std::vector<entry> entries;
};

void walk_folder(walk& w, const std::string& relative)
{
    const std::string dir = relative.empty() ? w.indir : w.indir + "/" + relative;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        w.entries.push_back({relative, false, std::string("cannot open: ") + std::strerror(errno)});
        return;
    }
    std::vector<std::string> folders;
    while (const dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string rel = relative.empty() ? name : relative + "/" + name;
        struct stat info;
        if (lstat((w.indir + "/" + rel).c_str(), &info) != 0)
            w.entries.push_back({rel, false, std::string("cannot open: ") + std::strerror(errno)});
        else if (S_ISLNK(info.st_mode))
            w.entries.push_back({rel, false, "symbolic link"});
        else if (S_ISDIR(info.st_mode))
            folders.push_back(rel);
        else if (S_ISREG(info.st_mode))
            w.entries.push_back({rel, true, ""});
        else
            w.entries.push_back({rel, false, "not a regular file"});
    }
    closedir(d);
    for (const std::string& rel : folders) {
        struct stat info;
        // The output folder inside the input folder is not walked.
        if (stat((w.indir + "/" + rel).c_str(), &info) == 0 && info.st_dev == w.outdir.st_dev &&
            info.st_ino == w.outdir.st_ino)
            continue;
        walk_folder(w, rel);
    }
}

struct worker {
    pid_t pid = 0;
    int tasks = -1;    // the pipe of modules to do
    int results = -1;  // the pipe of events back
    std::string buffer;
    std::string scratch;
    bool busy = false;
    size_t module = 0;
    int32_t next = 0;       // the first sequence not reported yet
    int32_t sequences = 0;  // 0 until known
    bool rendering = false;
    std::string track_id;
    double deadline = 0;
    int64_t limit = 0;  // seconds
    std::string stop_reason;
};

struct run {
    td_dataset_setup setup;
    std::string indir;
    std::vector<entry> entries;
    std::deque<std::pair<size_t, int32_t>> queue;  // module, first sequence
    std::vector<worker> workers;
    int manifest_fd = -1;
    std::string manifest_path;
    std::vector<std::string> lines;
    int64_t modules_done = 0, rendered = 0, done = 0, failed = 0, skipped = 0;
    double audio_seconds = 0;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    bool progress = false;
    double last_progress = -1;
};

double now(const run& r)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - r.start).count();
}

int processors()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return 1;
    return CPU_COUNT(&set);
}

bool write_all(int fd, const std::string& bytes)
{
    size_t at = 0;
    while (at < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + at, bytes.size() - at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

// A row as it comes: one whole line in one write, appended.
void add_row(run& r, const td_json& row, bool was_done, double seconds)
{
    const std::string line = td_manifest_line(row);
    write_all(r.manifest_fd, line);
    r.lines.push_back(line);
    const std::string status = row["status"];
    if (status == "skipped")
        r.skipped++;
    else if (status == "failed")
        r.failed++;
    else if (was_done)
        r.done++;
    else
        r.rendered++;
    r.audio_seconds += seconds;
}

std::string clock_text(double seconds)
{
    const long s = static_cast<long>(seconds);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    return text;
}

double hours_per_hour(const run& r)
{
    const double wall = now(r);
    return wall > 0 ? r.audio_seconds / wall : 0;
}

void show_progress(run& r)
{
    const double t = now(r);
    if (!r.progress || t - r.last_progress < 0.5)
        return;
    r.last_progress = t;
    const int64_t total = static_cast<int64_t>(r.entries.size());
    const std::string eta =
        r.modules_done > 0 ? clock_text(t * static_cast<double>(total - r.modules_done) /
                                        static_cast<double>(r.modules_done))
                           : "-";
    std::fprintf(stderr,
                 "\rmodules %lld/%lld, tracks %lld (%lld failed), %.2f h of audio, %.1f "
                 "audio-hours per hour, ETA %s\033[K",
                 static_cast<long long>(r.modules_done), static_cast<long long>(total),
                 static_cast<long long>(r.rendered + r.done), static_cast<long long>(r.failed),
                 r.audio_seconds / 3600, hours_per_hour(r), eta.c_str());
}

[[noreturn]] void worker_main(const run& r, const td_dataset_setup& setup, int tasks, int results)
{
    FILE* in = fdopen(tasks, "r");
    const td_dataset_report report = [results](const td_json& event) {
        if (!write_all(results, event.dump(-1, ' ', false,
                                           nlohmann::json::error_handler_t::replace) +
                                    "\n"))
            _exit(1);
    };
    char* line = nullptr;
    size_t room = 0;
    while (in != nullptr && getline(&line, &room, in) > 0) {
        unsigned long module = 0;
        int first = 0;
        if (std::sscanf(line, "%lu %d", &module, &first) != 2 || module >= r.entries.size())
            _exit(1);
        const std::string& relative = r.entries[module].relative;
        td_render_module(setup, r.indir + "/" + relative, relative, first, report);
        report(td_json{{"event", "end"}});
    }
    _exit(0);
}

bool start_worker(run& r, worker& w)
{
    int tasks[2], results[2];
    if (pipe2(tasks, O_CLOEXEC) != 0)
        return false;
    if (pipe2(results, O_CLOEXEC) != 0) {
        close(tasks[0]);
        close(tasks[1]);
        return false;
    }
    mkdir(w.scratch.c_str(), 0777);
    std::fflush(stdout);
    const pid_t parent = getpid();
    td_signals_hold();
    const pid_t pid = fork();
    if (pid == 0) {
        if (!td_cleanup_in_child(parent))
            _exit(1);
        // Only the run writes the manifest, and a worker's end must show
        // on its own pipe alone.
        close(r.manifest_fd);
        for (const worker& other : r.workers)
            if (other.pid > 0) {
                close(other.tasks);
                close(other.results);
            }
        close(tasks[1]);
        close(results[0]);
        td_dataset_setup setup = r.setup;
        setup.scratch = w.scratch;
        worker_main(r, setup, tasks[0], results[1]);
    }
    if (pid > 0)
        td_cleanup_add_child(pid);
    td_signals_release();
    close(tasks[0]);
    close(results[1]);
    if (pid < 0) {
        close(tasks[1]);
        close(results[0]);
        return false;
    }
    w.pid = pid;
    w.tasks = tasks[1];
    w.results = results[0];
    w.buffer.clear();
    return true;
}

void module_ended(run& r, worker& w)
{
    w.busy = false;
    w.rendering = false;
    w.deadline = 0;
    r.modules_done++;
}

void take_event(run& r, worker& w, const td_json& event)
{
    const std::string kind = event.value("event", "");
    if (kind == "sequences") {
        w.sequences = event["count"];
    } else if (kind == "start") {
        w.rendering = true;
        w.next = event["sequence"];
        w.track_id = event["id"];
        w.limit = event["limit"];
        w.deadline = now(r) + static_cast<double>(w.limit);
    } else if (kind == "row") {
        const td_json& row = event["row"];
        add_row(r, row, event["done"], event["seconds"]);
        if (row.contains("sequence"))
            w.next = row["sequence"].get<int32_t>() + 1;
        w.rendering = false;
        w.deadline = 0;
    } else if (kind == "end") {
        module_ended(r, w);
    }
}

std::string ending_of(int status)
{
    if (WIFSIGNALED(status))
        return "the worker ended by signal " + std::to_string(WTERMSIG(status));
    return "the worker exited with status " + std::to_string(WEXITSTATUS(status));
}

// A worker that ended (crashed or stopped): the track it was on failed,
// the rest of its module goes back in the queue, and its scratch folder is
// cleared for the next one.
void worker_ended(run& r, worker& w)
{
    int status = 0;
    while (waitpid(w.pid, &status, 0) < 0 && errno == EINTR) {
    }
    td_cleanup_drop_child(w.pid);
    close(w.tasks);
    close(w.results);
    w.pid = 0;
    td_remove_tree(w.scratch.c_str());
    if (!w.busy)
        return;
    const std::string reason = w.stop_reason.empty() ? ending_of(status) : w.stop_reason;
    w.stop_reason.clear();
    const std::string& relative = r.entries[w.module].relative;
    const int32_t failing = w.next;
    add_row(r, td_failed_row(td_track_id(relative, failing), relative, failing, reason), false, 0);
    if (w.sequences > failing + 1) {
        r.queue.emplace_front(w.module, failing + 1);
        w.busy = false;
        w.rendering = false;
        w.deadline = 0;
    } else {
        module_ended(r, w);
    }
}

bool read_events(run& r, worker& w)
{
    char chunk[4096];
    const ssize_t n = read(w.results, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR)
        return true;
    if (n <= 0)
        return false;
    w.buffer.append(chunk, static_cast<size_t>(n));
    for (size_t end; (end = w.buffer.find('\n')) != std::string::npos;) {
        const td_json event = td_json::parse(w.buffer.substr(0, end), nullptr, false);
        w.buffer.erase(0, end + 1);
        if (event.is_object())
            take_event(r, w, event);
    }
    return true;
}

bool give_work(run& r, worker& w)
{
    if (w.pid == 0 && !start_worker(r, w))
        return false;
    const auto [module, first] = r.queue.front();
    r.queue.pop_front();
    w.busy = true;
    w.module = module;
    w.next = first;
    w.sequences = 0;
    w.rendering = false;
    w.deadline = 0;
    if (!write_all(w.tasks, std::to_string(module) + " " + std::to_string(first) + "\n"))
        kill(w.pid, SIGKILL);
    return true;
}

void stop_late_workers(run& r)
{
    const double t = now(r);
    for (worker& w : r.workers) {
        if (w.pid > 0 && w.rendering && w.deadline > 0 && t > w.deadline &&
            w.stop_reason.empty()) {
            w.stop_reason = "stopped at its time limit of " + std::to_string(w.limit) + " s";
            kill(w.pid, SIGKILL);
        }
    }
}

int poll_timeout(const run& r)
{
    double wait = r.progress ? 0.5 : 5;
    const double t = now(r);
    for (const worker& w : r.workers)
        if (w.deadline > 0)
            wait = std::min(wait, std::max(0.0, w.deadline - t) + 0.01);
    return static_cast<int>(wait * 1000);
}

// Hands out modules and takes in what the workers say until every module
// has been through.
bool work(run& r)
{
    for (;;) {
        bool any_busy = false;
        for (worker& w : r.workers) {
            if (!w.busy && !r.queue.empty() && !give_work(r, w))
                return false;
            any_busy = any_busy || w.busy;
        }
        if (!any_busy)
            return true;
        std::vector<pollfd> fds;
        std::vector<worker*> polled;
        for (worker& w : r.workers)
            if (w.pid > 0) {
                fds.push_back(pollfd{w.results, POLLIN, 0});
                polled.push_back(&w);
            }
        if (poll(fds.data(), fds.size(), poll_timeout(r)) < 0 && errno != EINTR)
            return false;
        for (size_t i = 0; i < fds.size(); i++)
            if (fds[i].revents != 0 && !read_events(r, *polled[i]))
                worker_ended(r, *polled[i]);
        stop_late_workers(r);
        show_progress(r);
    }
}

void stop_workers(run& r)
{
    for (worker& w : r.workers) {
        if (w.pid == 0)
            continue;
        close(w.tasks);
        close(w.results);
        while (waitpid(w.pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        td_cleanup_drop_child(w.pid);
        w.pid = 0;
    }
}

// The modules of this shard; what is not a regular file is a skipped row at
// once.
void choose_modules(run& r, const td_request& request, std::vector<entry> all)
{
    std::sort(all.begin(), all.end(),
              [](const entry& a, const entry& b) { return a.relative < b.relative; });
    for (entry& e : all) {
        if (request.shard_count > 0 &&
            td_shard_number(e.relative) % static_cast<uint64_t>(request.shard_count) !=
                static_cast<uint64_t>(request.shard_index))
            continue;
        r.entries.push_back(std::move(e));
    }
}

bool make_folder(const std::string& path)
{
    struct stat info;
    if (stat(path.c_str(), &info) == 0)
        return S_ISDIR(info.st_mode);
    return mkdir(path.c_str(), 0777) == 0;
}

void print_summary(const run& r)
{
    if (r.progress)
        std::fputs("\r\033[K", stderr);
    std::fprintf(stderr,
                 "tunedump: %lld modules: %lld tracks rendered (%.3f h of audio), %lld already "
                 "done, %lld failed, %lld skipped; %s, %.1f audio-hours per hour\n",
                 static_cast<long long>(r.entries.size()), static_cast<long long>(r.rendered),
                 r.audio_seconds / 3600, static_cast<long long>(r.done),
                 static_cast<long long>(r.failed), static_cast<long long>(r.skipped),
                 clock_text(now(r)).c_str(), hours_per_hour(r));
}

bool fail(const char* what, const std::string& path)
{
    std::fprintf(stderr, "tunedump: %s %s: %s\n", what, path.c_str(), std::strerror(errno));
    return false;
}

// The scratch folder, removed with all in it whatever ends the run (but
// SIGKILL): hidden, and saying whose it is.
bool make_scratch(run& r, int* slot)
{
    std::string name = r.setup.outdir + "/.tunedump-dataset-XXXXXX";
    td_signals_hold();
    const bool made = mkdtemp(name.data()) != nullptr;
    *slot = made ? td_cleanup_add_tree(name.c_str()) : -1;
    td_signals_release();
    if (!made || *slot < 0)
        return fail("cannot make a folder in", r.setup.outdir);
    r.setup.scratch = name;
    for (size_t i = 0; i < r.workers.size(); i++)
        r.workers[i].scratch = name + "/w" + std::to_string(i);
    return true;
}

bool set_up(run& r, const td_request& request)
{
    r.indir = request.source;
    r.setup.outdir = request.dest;
    r.setup.seconds = request.seconds;
    r.setup.render = request.render;
    if (r.setup.render.format == td_format::automatic)
        r.setup.render.format = td_format::flac;
    struct stat info;
    if (stat(r.indir.c_str(), &info) != 0)
        return fail("cannot read the folder", r.indir);
    if (!S_ISDIR(info.st_mode)) {
        errno = ENOTDIR;
        return fail("cannot read the folder", r.indir);
    }
    if (!make_folder(r.setup.outdir))
        return fail("cannot make the folder", r.setup.outdir);
    walk w;
    w.indir = r.indir;
    stat(r.setup.outdir.c_str(), &w.outdir);
    if (w.outdir.st_dev == info.st_dev && w.outdir.st_ino == info.st_ino) {
        errno = EINVAL;
        return fail("the output folder is the input folder:", r.indir);
    }
    walk_folder(w, "");
    choose_modules(r, request, std::move(w.entries));
    r.manifest_path =
        r.setup.outdir + "/" + td_manifest_name(request.shard_index, request.shard_count);
    r.manifest_fd =
        open(r.manifest_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0666);
    if (r.manifest_fd < 0)
        return fail("cannot write", r.manifest_path);
    const int jobs = request.jobs > 0 ? request.jobs : processors();
    size_t candidates = 0;
    for (size_t i = 0; i < r.entries.size(); i++) {
        if (r.entries[i].candidate) {
            r.queue.emplace_back(i, 0);
            candidates++;
        }
    }
    r.workers.resize(std::max<size_t>(1, std::min<size_t>(static_cast<size_t>(jobs), candidates)));
    r.progress = isatty(STDERR_FILENO) != 0;
    return true;
}

}  // namespace

int td_dataset_main(const td_request& request)
{
    td_cleanup_install(false);
    run r;
    if (!set_up(r, request))
        return 1;
    int scratch_slot = -1;
    if (!make_scratch(r, &scratch_slot)) {
        close(r.manifest_fd);
        return 1;
    }
    for (const entry& e : r.entries) {
        if (!e.candidate) {
            add_row(r, td_skipped_row(td_track_id(e.relative, 0), e.relative, e.reason), false, 0);
            r.modules_done++;
        }
    }
    const bool worked = work(r);
    stop_workers(r);
    close(r.manifest_fd);
    td_signals_hold();
    td_remove_tree(r.setup.scratch.c_str());
    td_cleanup_drop_tree(scratch_slot);
    td_signals_release();
    td_sort_manifest(r.lines);
    const bool written = td_write_manifest(r.manifest_path, r.lines);
    print_summary(r);
    if (!worked)
        std::fprintf(stderr, "tunedump: cannot start a worker: %s\n", std::strerror(errno));
    if (!written)
        std::fprintf(stderr, "tunedump: cannot write %s\n", r.manifest_path.c_str());
    return worked && written && r.failed == 0 ? 0 : 1;
}

int td_dataset_manifest_main(const td_request& request)
{
    td_cleanup_install(false);
    return td_rebuild_manifest(request.dest);
}

#include "frontend/output_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "frontend/run_cleanup.h"

namespace {

constexpr int most_links = 40;
// Keeps the temporary's name within a folder entry's limit.
constexpr size_t longest_base = 200;

void fail(td_output_file& file, int error)
{
    if (!file.failed)
        file.error = error;
    file.failed = true;
}

std::string folder_of(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

mode_t plain_create_mode()
{
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// The new file's mode and owner: those of the file it replaces, or those a
// plain create gives. An owner that cannot be kept is not an error.
void take_attributes(int fd, const std::string& target)
{
    struct stat old;
    if (stat(target.c_str(), &old) != 0) {
        fchmod(fd, plain_create_mode());
        return;
    }
    if (fchown(fd, old.st_uid, old.st_gid) != 0) {
    }
    fchmod(fd, old.st_mode & 07777);
}

bool open_in_place(td_output_file& file)
{
    file.fd = open(file.target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (file.fd < 0)
        fail(file, errno);
    return file.fd >= 0;
}

bool open_temp(td_output_file& file)
{
    std::string name = td_temp_prefix(file.target) + "XXXXXX";
    std::vector<char> writable(name.begin(), name.end());
    writable.push_back(0);
    // The handler must never miss a temporary that exists.
    td_signals_hold();
    file.fd = mkostemp(writable.data(), O_CLOEXEC);
    const int error = errno;
    if (file.fd >= 0) {
        file.temp = writable.data();
        file.cleanup_slot = td_cleanup_add_temp(file.temp.c_str());
        if (file.cleanup_slot < 0) {
            unlink(file.temp.c_str());
            close(file.fd);
            file.fd = -1;
            file.temp.clear();
        }
    }
    td_signals_release();
    if (file.fd < 0) {
        fail(file, file.cleanup_slot < 0 && error == 0 ? EMFILE : error);
        return false;
    }
    take_attributes(file.fd, file.target);
    file.reserves_ahead = true;
    return true;
}

// Room past the end for what comes next: at least as much again as there
// is, at least 1 MiB. Where that cannot be had, the writes go on as they
// come, and fail by themselves should the disk be full.
void reserve_ahead(td_output_file& file, size_t bytes)
{
    const int64_t from = std::max(file.reserved, file.written);
    const int64_t more = std::max({static_cast<int64_t>(bytes), from, int64_t{1} << 20});
    int error;
    while ((error = fallocate(file.fd, FALLOC_FL_KEEP_SIZE, from, more)) != 0 && errno == EINTR) {
    }
    if (error == 0)
        file.reserved = from + more;
    else
        file.reserves_ahead = false;
}

}  // namespace

// The folder part is made canonical at each step, so that links among the
// folders are followed too.
std::string td_resolve_links(const std::string& dest)
{
    std::string path = dest;
    for (int i = 0; i < most_links; i++) {
        char* folder = realpath(folder_of(path).c_str(), nullptr);
        if (folder != nullptr) {
            path = std::string(folder) + (folder[1] == 0 ? "" : "/") + base_of(path);
            std::free(folder);
        }
        struct stat info;
        if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
            return path;
        std::vector<char> link(PATH_MAX + 1);
        const ssize_t n = readlink(path.c_str(), link.data(), PATH_MAX);
        if (n <= 0)
            return path;
        const std::string to(link.data(), static_cast<size_t>(n));
        path = to[0] == '/' ? to : folder_of(path) + "/" + to;
    }
    return path;
}

std::string td_temp_prefix(const std::string& target)
{
    std::string base = base_of(target);
    if (base.size() > longest_base)
        base.resize(longest_base);
    return folder_of(target) + "/." + base + ".tunedump-";
}

// Links into /proc name open descriptors (/dev/fd/N, /dev/stdout): what they
// reach is written where it is.
static bool names_descriptor(const std::string& path) { return path.rfind("/proc/", 0) == 0; }

bool td_file_open(td_output_file& file, const std::string& dest)
{
    file = td_output_file{};
    file.target = dest;
    struct stat info;
    if (stat(dest.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) {
            fail(file, EISDIR);
            return false;
        }
        if (!S_ISREG(info.st_mode))
            return open_in_place(file);
    }
    file.target = td_resolve_links(dest);
    if (names_descriptor(file.target)) {
        file.target = dest;
        return open_in_place(file);
    }
    return open_temp(file);
}

void td_file_use_fd(td_output_file& file, int fd)
{
    file = td_output_file{};
    file.fd = fd;
    file.owns_fd = false;
}

bool td_file_reserve(td_output_file& file, int64_t bytes)
{
    if (file.failed || file.temp.empty() || bytes <= 0)
        return !file.failed;
    int error;
    while ((error = fallocate(file.fd, 0, 0, bytes)) != 0 && errno == EINTR) {
    }
    // A file system that cannot set room aside writes as it comes.
    if (error != 0 && (errno == ENOSPC || errno == EFBIG || errno == EDQUOT))
        fail(file, errno);
    file.reserves_ahead = false;
    file.reserved = bytes;
    return !file.failed;
}

bool td_file_open_part(td_output_file& file, const std::string& temp, int64_t offset)
{
    file = td_output_file{};
    file.fd = open(temp.c_str(), O_WRONLY | O_CLOEXEC);
    file.positional = true;
    file.written = offset;
    if (file.fd < 0)
        fail(file, errno);
    return file.fd >= 0;
}

// Positional writes leave the descriptor's offset alone: several processes
// write one file side by side.
bool td_file_write(td_output_file& file, const void* data, size_t bytes)
{
    if (file.failed)
        return false;
    if (file.reserves_ahead && file.written + static_cast<int64_t>(bytes) > file.reserved)
        reserve_ahead(file, bytes);
    const char* at = static_cast<const char*>(data);
    while (bytes > 0) {
        const ssize_t done = file.positional ? pwrite(file.fd, at, bytes, file.written)
                                             : write(file.fd, at, bytes);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0) {
            fail(file, done < 0 ? errno : ENOSPC);
            return false;
        }
        at += done;
        bytes -= static_cast<size_t>(done);
        file.written += done;
    }
    return true;
}

bool td_file_write_whole(td_output_file& file, const std::string& dest, const std::string& bytes)
{
    const bool ok = td_file_open(file, dest) &&
                    td_file_reserve(file, static_cast<int64_t>(bytes.size())) &&
                    td_file_write(file, bytes.data(), bytes.size()) && td_file_close(file);
    if (!ok)
        td_file_discard(file);
    return ok;
}

bool td_file_close(td_output_file& file)
{
    // The room set aside past the end goes back (a file may have been
    // sought back in: its end is its size); should that fail, the bytes
    // and the size are still right.
    struct stat info;
    if (file.fd >= 0 && file.reserves_ahead && file.reserved > 0 && fstat(file.fd, &info) == 0)
        (void)ftruncate(file.fd, info.st_size);
    if (file.fd >= 0 && file.owns_fd && close(file.fd) != 0)
        fail(file, errno);
    file.fd = -1;
    return !file.failed;
}

bool td_file_publish(td_output_file& file)
{
    if (file.failed || file.fd >= 0)
        return false;
    if (file.temp.empty())
        return true;
    if (rename(file.temp.c_str(), file.target.c_str()) != 0) {
        fail(file, errno);
        return false;
    }
    td_cleanup_drop_temp(file.cleanup_slot);
    file.cleanup_slot = -1;
    file.temp.clear();
    return true;
}

int td_file_hold_replaced(const td_output_file& file)
{
    if (file.failed || file.temp.empty())
        return -1;
    return open(file.target.c_str(), O_PATH | O_CLOEXEC | O_NOFOLLOW);
}

void td_file_discard(td_output_file& file)
{
    if (file.fd >= 0 && file.owns_fd)
        close(file.fd);
    file.fd = -1;
    if (!file.temp.empty()) {
        td_signals_hold();
        unlink(file.temp.c_str());
        td_cleanup_drop_temp(file.cleanup_slot);
        td_signals_release();
    }
    file.cleanup_slot = -1;
    file.temp.clear();
    fail(file, file.error);
}

// One output file, published whole or not at all: it is written under a
// hidden temporary name beside its destination and renamed over it only when
// every byte is written and the file closed cleanly. A destination that
// exists and is not a regular file (a device, a FIFO) is written in place; a
// symbolic link is followed, and its target is what gets replaced. Nothing is
// synced to the disk: a power loss may lose a published file.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

struct td_output_file {
    std::string target;  // what is replaced: the destination, links followed
    std::string temp;    // the temporary name; empty when written in place
    int fd = -1;
    bool owns_fd = true;  // false for standard output
    bool failed = false;
    int error = 0;       // errno of the first failure
    int cleanup_slot = -1;
    int64_t written = 0;  // bytes written; with positional, where the next go
    bool positional = false;
    // A temporary of unknown size gets room set aside ahead of its writes,
    // beyond its end, and given back at the close.
    bool reserves_ahead = false;
    int64_t reserved = 0;  // bytes of room from the start
};

// Opens a temporary beside dest (or dest itself, in place); false, with the
// file failed, when it cannot be made.
bool td_file_open(td_output_file& file, const std::string& dest);
// Writes to a descriptor the caller owns, such as standard output.
void td_file_use_fd(td_output_file& file, int fd);
// A part of a file another process is writing: a descriptor of its own for
// the temporary, writing from offset on. The part never publishes or
// removes it.
bool td_file_open_part(td_output_file& file, const std::string& temp, int64_t offset);
// Sets aside room for a temporary of bytes bytes before it is written: a
// full disk or a file-size limit shows at once, and the rename that
// publishes it need not first allocate what was written. False (and the
// file failed) when the room is not there. A temporary whose size is not
// set aside this way gets its room a growing stretch at a time as it is
// written, for the same rename.
bool td_file_reserve(td_output_file& file, int64_t bytes);
// Appends bytes; false (and the file failed) when they did not all get there.
bool td_file_write(td_output_file& file, const void* data, size_t bytes);
// A whole small file at once, closed and ready to publish; false (and
// nothing left) when it cannot be made.
bool td_file_write_whole(td_output_file& file, const std::string& dest, const std::string& bytes);
// Closes the file; false when anything written was lost.
bool td_file_close(td_output_file& file);
// Renames the closed temporary over the destination.
bool td_file_publish(td_output_file& file);
// The file a publish is about to replace, held by a path descriptor (which
// needs no right to read it and opens no device); -1 when there is none.
// Held, the replaced file gives its room back only when the descriptor is
// closed, which can then be done beside other work.
int td_file_hold_replaced(const td_output_file& file);
// Closes and removes the temporary; the destination stays as it was.
void td_file_discard(td_output_file& file);
// The name of the temporary for dest, without its random end: hidden, in
// dest's folder, saying whose it is.
std::string td_temp_prefix(const std::string& target);
// dest with every symbolic link along it followed to a path that is not a
// link (or does not exist).
std::string td_resolve_links(const std::string& dest);

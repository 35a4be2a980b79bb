// What a run must undo when it is stopped: the temporaries it is writing,
// the folders it made, the processes it forked. A stopping signal (SIGINT,
// SIGTERM, SIGHUP, SIGPIPE) ends the parts, removes the temporaries and the
// folders, then ends the program by the same signal, so that a shell or a
// scheduler sees the usual status.
#pragma once
#include <sys/types.h>

// Installs the handlers once; a file-size limit makes a write fail instead
// of ending the program. SIGPIPE is handled only with files: a reader of
// standard output that stops early ends the run with status 1.
void td_cleanup_install(bool pipe_is_stop);
// Held off while the tables change together with the files they name, and
// while files are renamed into place; threads created meanwhile never take
// these signals, so the handler always runs on the thread that forks.
void td_signals_hold();
void td_signals_release();
// Slots in the tables; -1 when a table is full (the caller then fails).
int td_cleanup_add_temp(const char* path);
void td_cleanup_drop_temp(int slot);
int td_cleanup_add_dir(const char* path);
void td_cleanup_drop_dir(int slot);
// A folder removed with everything in it (a few levels deep): the scratch
// folder of a dataset run.
int td_cleanup_add_tree(const char* path);
void td_cleanup_drop_tree(int slot);
// Removes path and everything below it, as the handler does; false when
// something was left.
bool td_remove_tree(const char* path);
void td_cleanup_add_child(pid_t child);
void td_cleanup_drop_child(pid_t child);
// In a process just forked: the default actions again, and death with the
// parent. False when the parent is already gone.
bool td_cleanup_in_child(pid_t parent);
// Ends the program by signal as the handler does, after its cleanup.
[[noreturn]] void td_cleanup_stop(int signal_number);

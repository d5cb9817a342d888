// The few calls that differ between systems, behind which the temporaries
// and the signal handler are written once: os_posix.cpp and os_windows.cpp
// each define all of them, and the build compiles the one for its target.
// Internal to the platform library.
//
// A call that can fail returns a result (io/result.h) whose failure holds
// an errno value (EEXIST, ENOENT, ...), translated from the system's own
// codes where it has others, so that a message names the reason the same
// way on every system. The three calls that stand in for one system call
// each and that tests replace through platform/seams.h (open_nameless,
// dup_at_start, read_from_start) answer as such a call does: -1 or null,
// with errno.
#pragma once

#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <string>

#include "io/result.h"

namespace cellfreq::os {

// ---- files --------------------------------------------------------------------

// Creates `name` for binary reading and writing by its owner only, if no
// file or link of that name exists (EEXIST otherwise).
result<std::FILE*> create_new(const std::string& name);

// Creates a scratch file of the fresh name `name` that has no name by the
// time this returns (or that is deleted when closed), so that it vanishes
// whatever ends the process (EEXIST: try another).
result<std::FILE*> create_scratch(const std::string& name);

// A file of no name in `folder`, for reading and writing by its owner only,
// that link_nameless() can name later: a descriptor, or -1 with errno
// (EOPNOTSUPP where the system has no such files). The seam's default.
[[nodiscard]] int open_nameless(const char* folder);

// The stream of a descriptor from open_nameless(); null where the system
// makes no nameless files.
result<std::FILE*> nameless_stream(int descriptor);

// Gives the nameless file `f` the new name `name` (EEXIST: try another;
// EOPNOTSUPP where files cannot be named so).
result<void> link_nameless(std::FILE* f, const std::string& name);

// Opens `name` as fopen "w+b" does; `regular` tells whether the name is a
// regular file, which removing the name undoes.
result<std::FILE*> open_path(const std::string& name, bool& regular);

// A stream writing through this process's open `descriptor`, as it stands
// (appending included).
result<std::FILE*> write_descriptor(int descriptor);

// Succeeds when this process may write the existing file `path`, else
// fails with the reason fopen would give for refusing it.
result<void> may_write(const std::string& path);

// The permissions fopen would give a new file: 0666 less the umask.
[[nodiscard]] unsigned new_mode();

// Gives `f` the permissions `mode`, as far as the file system keeps any.
void set_mode(std::FILE* f, unsigned mode);

// Renames `from` over `to`.
result<void> rename_over(const std::string& from, const std::string& to);

// A duplicate of `f`'s descriptor, at the file's start, or -1 with errno.
[[nodiscard]] int dup_at_start(std::FILE* f);

// A stream reading the descriptor `fd`, which it then owns; null (the
// descriptor closed) on a failure. The seam's default.
[[nodiscard]] std::FILE* read_from_start(int fd);

// Whether `path`, one of this program's temporary names, is a file that a
// killed run left: a regular file owned by this user (and readable by the
// owner only where permissions exist), unchanged for a day.
[[nodiscard]] bool stale(const std::filesystem::path& path);

// The folder for temporaries: TMPDIR (on Windows, the system's).
[[nodiscard]] std::string temp_folder();

// The descriptor of this process that `path` names, when it is open; else
// -1 (always, where descriptors have no names).
[[nodiscard]] int named_descriptor(const std::string& path);

// ---- signals -----------------------------------------------------------------

// A signal that ends a run, by its number and the name its line shows.
struct signal_name {
  int number;
  const char* name;
};
constexpr std::size_t signal_count = 3;
// The interrupt, the request to end and the hang-up (on Windows Ctrl-C,
// Ctrl-Break and the console closed).
extern const signal_name ending_signals[signal_count];

// From here on `handler` runs for each of ending_signals, but for those
// ignored when the program started.
void install_handler(void (*handler)(int));

// Async-signal-safe: removes the file `name`; writes `length` bytes of
// `text` to standard error; waits for ever.
void remove_name(const char* name);
void write_error(const char* text, std::size_t length);
[[noreturn]] void idle();

}  // namespace cellfreq::os

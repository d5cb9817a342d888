// The platform layer: what the run needs from the system beyond standard C
// and C++, written once over a few calls that os_posix.cpp and
// os_windows.cpp each implement (platform/os.h; the build picks one). It
// owns temporary files, outputs put in place only when complete, and the
// end of a run by a signal (platform/signals.h); tests replace its calls
// through platform/seams.h.
//
// Files that appear complete or not at all, and what a signal leaves behind:
// every temporary is created without a name where the system allows it
// (Linux's O_TMPFILE), so that no way of ending the run, not even a kill,
// leaves a partial file; elsewhere it is created exclusively under a fresh
// random name, readable by its owner only, so no existing file or link is
// ever opened in its place, and such names left by a killed run are swept
// away by a later one once they are a day old. An output named by the user
// is written to such a temporary beside it and put in its place only once
// written and closed without error, so a failed or interrupted run leaves
// the old file as it was. While a file has a name that is not the user's
// to keep, the name is held in a fixed registry, from which the signal
// handler removes it before the process ends.
//
// A call that can fail returns a result (io/result.h) whose failure holds
// the errno value; the caller, who knows which file it is, names it.
#pragma once

#include <cstdio>
#include <string>

#include "io/result.h"

namespace cellfreq {

// Where an atomic_file is made.
enum class placement {
  replace,    // a temporary beside the path, put over it by commit(); a path
              // that is not a regular file (a device, a pipe, one of the
              // process's own descriptors such as /dev/stdout) is written in place
  inplace,    // the path itself, truncated as fopen "wb" does; never removed
  temporary,  // a file of no lasting name in TMPDIR (the path is not used)
};

class atomic_file {
public:
  atomic_file() = default;
  ~atomic_file() { discard(); }
  atomic_file(const atomic_file&) = delete;
  atomic_file& operator=(const atomic_file&) = delete;

  // Creates the file for writing (binary). With `readable`, the file can be
  // read back by read_back() before it is committed: a path that is not a
  // regular file then gets a temporary in TMPDIR, copied there by finish().
  // Fails when it cannot be made; path() then names what was tried.
  result<void> open(const std::string& path, placement how, bool readable = false);
  // Opens as `replace` does, but always under a name (temp_name()), so that
  // other processes can write into it before commit(): for outputs whose
  // parts are put in place by the pieces of a run.
  result<void> open_shared(const std::string& path) {
    named_ = true;
    return open(path, placement::replace);
  }
  // The temporary's name, while it has one.
  const std::string& temp_name() const { return temp_; }
  std::FILE* file() const { return file_; }
  // Flushes what was written and checks it, leaving the file where only
  // this run sees it (for `replace`) until commit().
  result<void> finish();
  // A new stream reading the finished file from its start: this run's own
  // file, never one opened again by name, so that another process writing
  // the same path cannot hand this run its bytes.
  result<std::FILE*> read_back();
  // Finishes the file if that is still to do and, for `replace`, gives it
  // the permissions the path had (or 0666 less the umask for a new one) and
  // puts it in place. When any of it fails, the file is closed and only
  // discard() is left to do.
  result<void> commit();
  // Closes the file if open and removes what is not the user's: a
  // temporary, or a replacement that was not committed.
  void discard();
  // The name to show: the path given, or for `temporary` the folder it is in.
  const std::string& path() const { return path_; }

private:
  result<void> open_replacement();
  result<void> open_in_place(int descriptor, bool& regular);
  result<void> place();
  // Takes `f` as the file being written.
  result<void> adopt(result<std::FILE*> f);

  std::FILE* file_ = nullptr;
  std::string path_;
  std::string target_;  // replace: the file put in place of (a link's target)
  std::string temp_;    // the temporary's name, while it has one
  placement how_ = placement::inplace;
  unsigned mode_ = 0;   // replace: permissions given before the rename
  int entry_ = -1;      // the registry entry of an unfinished file or a named temporary
  std::FILE* out_ = nullptr;  // readable: the path that is no regular file, copied to by finish()
  bool unnamed_ = false;   // the temporary has no name yet (O_TMPFILE)
  bool named_ = false;     // open_shared(): never a nameless temporary
  bool finished_ = false;
};

// The folder for temporaries: TMPDIR (on Windows, the system's).
std::string temp_folder();

// What a path names after following its symbolic links (at most 40): the
// path itself when it is no link.
std::string link_target(const std::string& path);

// The descriptor of this process that `path` names (/dev/stdout,
// /dev/fd/N, /proc/self/fd/N and links to them), when it is open; else -1.
// Such a path is written through the descriptor, never opened anew, so an
// output sent there goes where the shell pointed it, appending included.
[[nodiscard]] int named_descriptor(const std::string& path);

// Makes a scratch file in temp_folder(), created exclusively and readable by
// its owner only, opened for reading and writing; it has no name by the
// time this returns, so the file vanishes when closed or when the process
// ends in any way. Safe to call from two threads. A seam
// (seams::scratch_file), so that tests can make the disk fail.
result<std::FILE*> scratch_file();

}  // namespace cellfreq

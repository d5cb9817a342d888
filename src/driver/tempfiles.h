// Files that appear complete or not at all, and what a signal leaves behind.
//
// Every temporary is created exclusively under a fresh random name, readable
// by its owner only, so no existing file or link is ever opened in its
// place. An output named by the user is written to such a temporary beside
// it and renamed over it only once written and closed without error, so a
// failed or interrupted run leaves the old file as it was. While a file is
// unfinished (or is a temporary) its name is kept in a fixed registry, from
// which the signal handler removes it before the process ends.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace cellfreq {

// Where an atomicfile is made.
enum class placement {
  replace,    // a temporary beside the path, renamed over it by commit();
              // a path that is not a regular file (a device, a pipe) is written in place
  inplace,    // the path itself, truncated as fopen "wb" does; never removed
  temporary,  // a fresh name in TMPDIR (the path is not used), removed by discard()
};

class atomicfile {
public:
  atomicfile() = default;
  ~atomicfile() { discard(); }
  atomicfile(const atomicfile&) = delete;
  atomicfile& operator=(const atomicfile&) = delete;

  // Creates the file for writing (binary). False with `errnum` set when it
  // cannot be made; path() then names what was tried.
  bool open(const std::string& path, placement how, int& errnum);
  std::FILE* file() const { return file_; }
  // Closes the file and, for `replace`, gives it the permissions the path
  // had (or 0666 less the umask for a new one) and renames it into place.
  // False with `errnum` set when any of it fails; the file is then closed
  // and only discard() is left to do.
  bool commit(int& errnum);
  // Closes the file if open and removes what is not the user's: a
  // temporary, or a replacement that was not committed.
  void discard();
  // The name to show and to read the finished file from: the path given,
  // or the temporary's own name for `temporary`.
  const std::string& path() const { return path_; }

private:
  std::FILE* file_ = nullptr;
  std::string path_;
  std::string target_;  // replace: the file renamed over (a link's target)
  std::string temp_;    // replace and temporary: the name created
  placement how_ = placement::inplace;
  unsigned mode_ = 0;   // replace: permissions given before the rename
  int slot_ = -1;       // the registry entry of an unfinished file or a temporary
};

// The folder for temporaries: TMPDIR (on Windows, the system's).
std::string tempfolder();

// Makes a scratch file in tempfolder(), created exclusively and readable by
// its owner only, opened for reading and writing; its name is gone before
// this returns, so the file vanishes when closed or when the process ends in
// any way. Null with `errnum` set on a failure. Safe to call from two
// threads. A seam, so that tests can make the disk fail.
extern std::FILE* (*scratchfile)(int& errnum);

// From here on SIGINT, SIGTERM and SIGHUP (Ctrl-C, Ctrl-Break and closing the
// console on Windows) remove every registered file, print one line
// "PROGNAME: interrupted by SIGNAL" on standard error and end the process
// with status 128 + the signal's number; a second signal ends it at once.
// A signal ignored when the program started stays ignored.
void catchsignals(const char* progname);

// Seams for tests: the random part of temporary names, and how the cell
// file is opened again for reading.
extern std::uint64_t (*randombits)();
extern std::FILE* (*reopencells)(const char* path);

}  // namespace cellfreq

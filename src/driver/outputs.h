// A run's outputs as one set.
//
// Every output file of a run is written to a temporary of its own and
// committed together with the others only at the run's end, after
// everything that can fail has succeeded: a run that fails leaves every
// output as it was, not a new cell file beside an old report.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver/runconfig.h"
#include "platform/tempfiles.h"

namespace cellfreq {

// Writes `f` through write(textout&) and flushes it; the first error, or
// 0 (ECANCELED once `*stop` is set). A large output bypasses the page
// cache where it can.
int writeall(std::FILE* f, const std::function<void(textout&)>& write, const std::atomic<bool>* stop = nullptr);

class outputset {
public:
  // The files' writing fails with ECANCELED once `*stop` is set.
  explicit outputset(const std::atomic<bool>* stop = nullptr) : stop_(stop) {}

  // Makes the file for `path` as placed by `how` (readable: see
  // atomic_file::open()), to be committed with the others; null with
  // `fail` naming the file as `noun` when it cannot be made.
  atomic_file* open(const std::string& path, placement how, const char* noun, bool readable, runfailure& fail);
  // The same for a replacement that other processes write into before the
  // commit (atomic_file::open_shared()).
  atomic_file* openshared(const std::string& path, const char* noun, runfailure& fail);
  // Writes the file for `path` (replaced) through write() and finishes it;
  // false with `fail` set, the file then dropped from the set.
  bool write(const std::string& path, const char* noun, const std::function<void(textout&)>& write,
             runfailure& fail);
  // Finishes `file` of this set, written through write(); false with
  // `fail` set when anything written failed.
  bool finish(atomic_file& file, const std::function<void(textout&)>& write, runfailure& fail);
  // Puts every file of the set in place, in the order they were made;
  // false with `fail` naming the first that could not be. The set is
  // empty afterwards; files not committed are discarded.
  bool commit(runfailure& fail);

private:
  struct entry {
    std::unique_ptr<atomic_file> file;
    const char* noun;
  };
  std::vector<entry> files_;
  const std::atomic<bool>* stop_;
};

}  // namespace cellfreq

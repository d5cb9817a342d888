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

// Writes `f` through write(textout&) and flushes it; fails with the first
// error (ECANCELED once `*stop` is set). A large output bypasses the page
// cache where it can.
result<void> writeall(std::FILE* f, const std::function<void(textout&)>& write,
                      const std::atomic<bool>* stop = nullptr);

class outputset {
public:
  // The files' writing fails with ECANCELED once `*stop` is set.
  explicit outputset(const std::atomic<bool>* stop = nullptr) : stop_(stop) {}

  // Makes the file for `path` as placed by `how` (readable: see
  // atomic_file::open()), to be committed with the others; the failure
  // names the file as `noun` when it cannot be made.
  result<atomic_file*> open(const std::string& path, placement how, const char* noun, bool readable);
  // The same for a replacement that other processes write into before the
  // commit (atomic_file::open_shared()).
  result<atomic_file*> openshared(const std::string& path, const char* noun);
  // Writes the file for `path` (replaced) through write() and finishes it;
  // on a failure the file is dropped from the set.
  result<void> write(const std::string& path, const char* noun, const std::function<void(textout&)>& write);
  // Finishes `file` of this set, written through write(); fails when
  // anything written failed, the file then dropped from the set.
  result<void> finish(atomic_file& file, const std::function<void(textout&)>& write);
  // Puts every file of the set in place, in the order they were made;
  // the failure names the first that could not be. The set is empty
  // afterwards; files not committed are discarded.
  result<void> commit();

private:
  // Takes `file`, opened as `opened` tells, into the set.
  result<atomic_file*> add(std::unique_ptr<atomic_file> file, const char* noun, result<void> opened);
  struct entry {
    std::unique_ptr<atomic_file> file;
    const char* noun;
  };
  std::vector<entry> files_;
  const std::atomic<bool>* stop_;
};

}  // namespace cellfreq

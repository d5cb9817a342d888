// The platform calls that tests replace, to give temporaries known names
// and to make the disk fail where a real one seldom does. Each stays the
// system's own but while a seam_override puts another in its place.
#pragma once

#include <cstdint>
#include <cstdio>

#include "io/result.h"

namespace cellfreq {

// One hook per call; a null one is not replaced.
struct seams {
  // The random part of temporary names.
  std::uint64_t (*random_bits)() = nullptr;
  // A finished file read back, from a descriptor of its own at the file's
  // start, which the stream then owns.
  std::FILE* (*read_back)(int descriptor) = nullptr;
  // A nameless temporary made in a folder: a descriptor, or -1 with errno
  // (EOPNOTSUPP makes named temporaries the way).
  int (*open_nameless)(const char* folder) = nullptr;
  // What scratch_file() makes (platform/tempfiles.h).
  result<std::FILE*> (*scratch_file)() = nullptr;
};

// Puts the hooks of `replacement` that are not null in place while it
// lives, and the ones they replaced back when it goes:
//   const seam_override bits({.random_bits = counting});
// For tests, while no other thread makes temporaries.
class seam_override {
public:
  explicit seam_override(const seams& replacement);
  ~seam_override();
  seam_override(const seam_override&) = delete;
  seam_override& operator=(const seam_override&) = delete;

private:
  seams before_;
};

}  // namespace cellfreq

// directio: writes that go to the disk around the page cache, where the
// system offers it (Linux's O_DIRECT), for outputs of many gigabytes that
// the cache would only take in to write back.
//
// Both the output's background writer and the records' scratch files
// write this way; everything else about a file stays the stream's.
#pragma once

#include <cstddef>
#include <cstdint>

#include "io/chunkalloc.h"
#include "io/result.h"

#ifdef __linux__
#include <fcntl.h>  // O_DIRECT, which the callers test for
#endif

namespace cellfreq {

// Whether `n` bytes at `p`, written at file offset `at`, are whole disk
// pages in memory and in the file.
inline bool wholepages(const void* p, std::size_t n, std::uint64_t at) {
  return n % diskpage == 0 && at % diskpage == 0 && reinterpret_cast<std::uintptr_t>(p) % diskpage == 0;
}

// These two exist only where the system defines O_DIRECT.
// Turns direct transfers of descriptor `fd` on or off; fails when the
// system or the file system refuses.
result<void> setdirect(int fd, bool on);
// Writes from p until n bytes are written (at file offset `at`, or at the
// descriptor's position when `at` is negative), retrying interrupted
// writes; p, n (and at) then tell what is left, also after a failure.
result<void> writefully(int fd, const char*& p, std::size_t& n, std::int64_t& at);

}  // namespace cellfreq

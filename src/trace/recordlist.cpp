// Chunk storage and scratch-file transfers for the record lists.
#include "trace/recordlist.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <new>
#include <utility>

#include "trace/directio.h"

#ifdef __linux__
#include <sys/mman.h>
#endif
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace cellfreq {

namespace {

constexpr std::size_t huge_page = std::size_t{2} << 20;

// Positions `f` at byte `offset`, 64-bit on every platform.
bool seekto(std::FILE* f, std::uint64_t offset) {
#ifdef _WIN32
  return _fseeki64(f, static_cast<std::int64_t>(offset), SEEK_SET) == 0;
#else
  return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

int lasterror() { return errno != 0 ? errno : EIO; }

// The large block kept for reuse, if any: blocks from 32 MiB on, taken by
// a request of at least half its size, so that little of it goes unused.
constexpr std::size_t keep_from = std::size_t{32} << 20;
struct kept_block {
  std::mutex mutex;
  void* storage = nullptr;
  std::size_t bytes = 0;
};
kept_block& kept() {
  static kept_block k;
  return k;
}

}  // namespace

void* chunkalloc(std::size_t bytes) {
  void* storage = nullptr;
  if (bytes >= keep_from) {
    kept_block& k = kept();
    const std::lock_guard<std::mutex> lock(k.mutex);
    if (k.storage != nullptr && k.bytes >= bytes && k.bytes / 2 <= bytes) {
      k.bytes = 0;
      return std::exchange(k.storage, nullptr);
    }
  }
#ifdef __GLIBC__
  // Large chunks always come from the system and go back to it when freed.
  // Left to itself the C library raises its threshold for that to the size
  // of the first large block freed, so that a second run in one process
  // (a Python session's) takes its chunks from the heap instead, where they
  // cost some 50 % more resident memory than in the first run.
  static const bool fixed = mallopt(M_MMAP_THRESHOLD, static_cast<int>(huge_page)) != 0;
  (void)fixed;
#endif
#ifdef __linux__
  const std::size_t align = bytes >= huge_page ? huge_page : diskpage;
  storage = std::aligned_alloc(align, (std::max<std::size_t>(bytes, 1) + align - 1) / align * align);
  if (storage != nullptr && align == huge_page) madvise(storage, bytes, MADV_HUGEPAGE);  // a hint; failure is harmless
#endif
  if (storage == nullptr) storage = std::malloc(bytes);
  if (storage == nullptr) throw std::bad_alloc();
  return storage;
}

void chunkfree(void* p, std::size_t bytes) {
  if (p != nullptr && bytes >= keep_from) {
    kept_block& k = kept();
    std::unique_lock<std::mutex> lock(k.mutex);
    void* const older = std::exchange(k.storage, p);
    k.bytes = bytes;
    lock.unlock();
    std::free(older);
    return;
  }
  std::free(p);
}

void chunk_trim() {
  kept_block& k = kept();
  std::unique_lock<std::mutex> lock(k.mutex);
  void* const older = std::exchange(k.storage, nullptr);
  k.bytes = 0;
  lock.unlock();
  std::free(older);
}

#ifdef O_DIRECT
// Writes a large run of whole pages from page-aligned memory straight to
// the disk: spilled records are many gigabytes that the page cache would
// only take in to write back. False, with nothing changed but perhaps part
// of the range written, when the system or the file system declines (the
// caller then writes it all the usual way) or a write fails (`errnum`).
bool directwrite(std::FILE* f, std::uint64_t offset, const void* data, std::size_t bytes, int& errnum) {
  if (bytes < (std::size_t{1} << 20) || !wholepages(data, bytes, offset) || std::fflush(f) != 0) return false;
  const int fd = ::fileno(f);
  if (!setdirect(fd, true)) return false;
  const char* p = static_cast<const char*>(data);
  auto at = static_cast<std::int64_t>(offset);
  const int err = writefully(fd, p, bytes, at);
  (void)setdirect(fd, false);
  if (err == EINVAL) return false;  // the transfer itself declined
  if (err != 0) errnum = err;
  return true;
}
#endif

// The data goes to the kernel before the call returns, so that a full disk
// is reported here and not at some later read.
bool scratchwrite(std::FILE* f, std::uint64_t offset, const void* data, std::size_t bytes, int& errnum) {
#ifdef O_DIRECT
  if (f != nullptr) {
    int err = 0;
    if (directwrite(f, offset, data, bytes, err)) {
      if (err != 0) errnum = err;
      return err == 0;
    }
  }
#endif
  errno = 0;
  if (f == nullptr || !seekto(f, offset) || std::fwrite(data, 1, bytes, f) != bytes || std::fflush(f) != 0) {
    errnum = f == nullptr ? EBADF : lasterror();
    return false;
  }
  return true;
}

bool scratchread(std::FILE* f, std::uint64_t offset, void* data, std::size_t bytes, int& errnum) {
  errno = 0;
  if (f == nullptr || !seekto(f, offset) || std::fread(data, 1, bytes, f) != bytes) {
    errnum = f == nullptr ? EBADF : lasterror();
    return false;
  }
  return true;
}

}  // namespace cellfreq

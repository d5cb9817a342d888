// Chunk storage and scratch-file transfers for the record lists.
#include "trace/recordlist.h"

#include <cerrno>
#include <cstdlib>
#include <new>

#ifdef __linux__
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
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

}  // namespace

void* chunkalloc(std::size_t bytes) {
  void* storage = nullptr;
#ifdef __linux__
  if (bytes >= huge_page) {
    storage = std::aligned_alloc(huge_page, (bytes + huge_page - 1) / huge_page * huge_page);
    if (storage != nullptr) madvise(storage, bytes, MADV_HUGEPAGE);  // a hint; failure is harmless
  }
#endif
  if (storage == nullptr) storage = std::malloc(bytes);
  if (storage == nullptr) throw std::bad_alloc();
  return storage;
}

void chunkfree(void* p) { std::free(p); }

#ifdef O_DIRECT
// Writes a large run of whole pages from page-aligned memory straight to
// the disk: spilled records are many gigabytes that the page cache would
// only take in to write back. False, with nothing changed but perhaps part
// of the range written, when the system or the file system declines (the
// caller then writes it all the usual way) or a write fails (`errnum`).
bool directwrite(std::FILE* f, std::uint64_t offset, const void* data, std::size_t bytes, int& errnum) {
  constexpr std::size_t page = 4096;
  if (bytes < (std::size_t{1} << 20) || bytes % page != 0 || offset % page != 0 ||
      reinterpret_cast<std::uintptr_t>(data) % page != 0 || std::fflush(f) != 0)
    return false;
  const int fd = ::fileno(f);
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_DIRECT) != 0) return false;
  const char* p = static_cast<const char*>(data);
  std::size_t left = bytes;
  int err = 0;
  while (left > 0) {
    const ssize_t k = ::pwrite(fd, p, left, static_cast<off_t>(offset + (bytes - left)));
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) {
      err = k < 0 ? errno : EIO;
      break;
    }
    p += k;
    left -= static_cast<std::size_t>(k);
  }
  (void)::fcntl(fd, F_SETFL, flags);
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

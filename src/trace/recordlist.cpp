// Chunk storage and scratch-file transfers for the record lists.
#include "trace/recordlist.h"

#include <cerrno>
#include <cstdlib>
#include <new>

#ifdef __linux__
#include <sys/mman.h>
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

// The data goes to the kernel before the call returns, so that a full disk
// is reported here and not at some later read.
bool scratchwrite(std::FILE* f, std::uint64_t offset, const void* data, std::size_t bytes, int& errnum) {
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

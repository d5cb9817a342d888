// Scratch-file transfers for the record lists.
#include "trace/recordlist.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "io/directio.h"


namespace cellfreq {

namespace {

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

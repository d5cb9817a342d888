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

}  // namespace

#ifdef O_DIRECT
// Writes a large run of whole pages from page-aligned memory straight to
// the disk: spilled records are many gigabytes that the page cache would
// only take in to write back. Whether it was written so; false, with
// nothing changed but perhaps part of the range written, when the system or
// the file system declines (the caller then writes it all the usual way).
result<bool> directwrite(std::FILE* f, std::uint64_t offset, const void* data, std::size_t bytes) {
  if (bytes < (std::size_t{1} << 20) || !wholepages(data, bytes, offset) || std::fflush(f) != 0) return false;
  const int fd = ::fileno(f);
  if (!setdirect(fd, true)) return false;
  const char* p = static_cast<const char*>(data);
  auto at = static_cast<std::int64_t>(offset);
  result<void> written = writefully(fd, p, bytes, at);
  (void)setdirect(fd, false);  // a descriptor that keeps the flag only writes slower
  if (written) return true;
  if (written.error().errnum == EINVAL) return false;  // the transfer itself declined
  return std::move(written.error());
}
#endif

// The data goes to the kernel before the call returns, so that a full disk
// is reported here and not at some later read.
result<void> scratchwrite(std::FILE* f, std::uint64_t offset, const void* data, std::size_t bytes) {
  if (f == nullptr) return syserror(EBADF);
#ifdef O_DIRECT
  result<bool> direct = directwrite(f, offset, data, bytes);
  if (!direct) return std::move(direct.error());
  if (direct.value()) return {};
#endif
  errno = 0;
  if (!seekto(f, offset) || std::fwrite(data, 1, bytes, f) != bytes || std::fflush(f) != 0) return lasterror();
  return {};
}

result<void> scratchread(std::FILE* f, std::uint64_t offset, void* data, std::size_t bytes) {
  if (f == nullptr) return syserror(EBADF);
  errno = 0;
  if (!seekto(f, offset) || std::fread(data, 1, bytes, f) != bytes) return lasterror();
  return {};
}

}  // namespace cellfreq

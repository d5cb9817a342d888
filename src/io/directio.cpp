// Direct transfers through the descriptor's flags, where the system
// offers them; elsewhere nothing calls these.
#include "io/directio.h"

#include <cerrno>

#ifdef __linux__
#include <fcntl.h>
#include <unistd.h>
#endif

namespace cellfreq {

#ifdef O_DIRECT
result<void> setdirect(int fd, bool on) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0 && ::fcntl(fd, F_SETFL, on ? flags | O_DIRECT : flags & ~O_DIRECT) == 0) return {};
  return lasterror();
}

result<void> writefully(int fd, const char*& p, std::size_t& n, std::int64_t& at) {
  while (n > 0) {
    const ssize_t k = at < 0 ? ::write(fd, p, n) : ::pwrite(fd, p, n, static_cast<off_t>(at));
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return syserror(k < 0 ? errno : EIO);
    p += k;
    n -= static_cast<std::size_t>(k);
    if (at >= 0) at += k;
  }
  return {};
}
#endif

}  // namespace cellfreq

// The system calls of platform/os.h on POSIX systems: descriptors opened
// close-on-exec, owner-only exclusive creation, Linux's nameless files
// (O_TMPFILE) named later through /proc/self/fd, and sigaction.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include "platform/os.h"

namespace cellfreq::os {

namespace fs = std::filesystem;

result<std::FILE*> create_new(const std::string& name) {
  const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return lasterror();
  std::FILE* f = ::fdopen(fd, "w+b");
  if (f != nullptr) return f;
  const failure why = syserror(errno != 0 ? errno : ENOMEM);
  ::close(fd);
  ::unlink(name.c_str());
  return why;
}

// The name goes at once: the file lives on through its descriptor alone.
result<std::FILE*> create_scratch(const std::string& name) {
  result<std::FILE*> f = create_new(name);
  if (f) ::unlink(name.c_str());
  return f;
}

#ifdef O_TMPFILE
int open_nameless(const char* folder) {
  // Naming it later goes through /proc/self/fd: without /proc, names it is.
  static const bool proc = ::access("/proc/self/fd", X_OK) == 0;
  if (!proc) {
    errno = EOPNOTSUPP;
    return -1;
  }
  return ::open(*folder != '\0' ? folder : ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
}

// A file cannot be linked over an existing name, so it gets a fresh one,
// which the rename then puts in place.
result<void> link_nameless(std::FILE* f, const std::string& name) {
  const std::string self = "/proc/self/fd/" + std::to_string(::fileno(f));
  if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return {};
  return lasterror();
}
#else
int open_nameless(const char*) {
  errno = EOPNOTSUPP;
  return -1;
}

result<void> link_nameless(std::FILE*, const std::string&) { return syserror(EOPNOTSUPP); }
#endif

result<std::FILE*> nameless_stream(int descriptor) {
  std::FILE* f = ::fdopen(descriptor, "w+b");
  if (f != nullptr) return f;
  const failure why = syserror(errno != 0 ? errno : ENOMEM);
  ::close(descriptor);
  return why;
}

result<std::FILE*> open_path(const std::string& name, bool& regular) {
  errno = 0;
  std::FILE* f = std::fopen(name.c_str(), "w+b");
  regular = false;
  if (f == nullptr) return lasterror();
  struct stat st {};
  regular = ::lstat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  return f;
}

result<std::FILE*> write_descriptor(int descriptor) {
  const int fd = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
  std::FILE* f = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
  if (f != nullptr) return f;
  const failure why = syserror(errno != 0 ? errno : EBADF);
  if (fd >= 0) ::close(fd);
  return why;
}

result<void> may_write(const std::string& path) {
  if (::access(path.c_str(), W_OK) == 0) return {};
  return lasterror();
}

unsigned new_mode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666u & ~static_cast<unsigned>(mask);
}

void set_mode(std::FILE* f, unsigned mode) { (void)::fchmod(::fileno(f), static_cast<mode_t>(mode)); }

result<void> rename_over(const std::string& from, const std::string& to) {
  if (std::rename(from.c_str(), to.c_str()) == 0) return {};
  return lasterror();
}

int dup_at_start(std::FILE* f) {
  const int fd = ::fcntl(::fileno(f), F_DUPFD_CLOEXEC, 0);
  if (fd >= 0 && ::lseek(fd, 0, SEEK_SET) < 0) {
    const int e = errno;
    ::close(fd);
    errno = e;
    return -1;
  }
  return fd;
}

std::FILE* read_from_start(int fd) {
  std::FILE* f = ::fdopen(fd, "rb");
  if (f == nullptr) ::close(fd);
  return f;
}

bool stale(const fs::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
         (st.st_mode & 07777) == 0600 && st.st_mtime + 24 * 60 * 60 < std::time(nullptr);
}

std::string temp_folder() {
  const char* t = std::getenv("TMPDIR");
  return t != nullptr && *t != '\0' ? t : "/tmp";
}

// The names of a descriptor: "/dev/stdin" and its kin, "/dev/fd/N" and
// "/proc/{self,thread-self,PID}/fd/N", met anywhere along the links.
int named_descriptor(const std::string& path) {
  const std::string self = "/proc/" + std::to_string(::getpid()) + "/fd/";
  const auto number = [](const std::string& s, std::size_t from) {
    if (from >= s.size() || s.size() - from > 9) return -1;
    int n = 0;
    for (std::size_t i = from; i < s.size(); ++i) {
      if (s[i] < '0' || s[i] > '9') return -1;
      n = n * 10 + (s[i] - '0');
    }
    return n;
  };
  std::error_code ec;
  fs::path t = fs::absolute(path, ec).lexically_normal();
  for (int n = 0; !ec && n < 40; ++n) {
    const std::string s = t.string();
    int fd = s == "/dev/stdin" ? 0 : s == "/dev/stdout" ? 1 : s == "/dev/stderr" ? 2 : -1;
    for (const std::string& dir : {std::string("/dev/fd/"), std::string("/proc/self/fd/"),
                                   std::string("/proc/thread-self/fd/"), self})
      if (fd < 0 && s.compare(0, dir.size(), dir) == 0) fd = number(s, dir.size());
    if (fd >= 0) return ::fcntl(fd, F_GETFD) != -1 ? fd : -1;
    if (!fs::is_symlink(fs::symlink_status(t, ec))) return -1;
    const fs::path to = fs::read_symlink(t, ec);
    t = (to.is_absolute() ? to : t.parent_path() / to).lexically_normal();
  }
  return -1;
}

const signal_name ending_signals[signal_count] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};

// SA_NODEFER lets a second signal in while the first is handled, so that
// it can end the process at once.
void install_handler(void (*handler)(int)) {
  for (const signal_name& s : ending_signals) {
    struct sigaction old {};
    if (::sigaction(s.number, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART | SA_NODEFER;
    ::sigaction(s.number, &sa, nullptr);
  }
}

void remove_name(const char* name) { ::unlink(name); }

void write_error(const char* text, std::size_t length) {
  const ssize_t n = ::write(STDERR_FILENO, text, length);
  (void)n;
}

void idle() {
  for (;;) ::pause();
}

}  // namespace cellfreq::os

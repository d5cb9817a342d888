// Nameless or exclusive temporaries, outputs put into place, and the
// removal of unfinished files when a signal ends the run.
//
// The signal handler does only async-signal-safe work: it reads a fixed
// registry of names (each written before it is armed and left alone while
// armed), unlinks them, writes a line prepared beforehand and calls _Exit.
// A signal that arrives while a file is being created and registered waits
// until that is done: a file never exists unregistered, and no name is
// removed that this run did not create.
#include "driver/tempfiles.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <random>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace cellfreq {
namespace {

namespace fs = std::filesystem;

// ---- the registry and the handler ------------------------------------------

// Names registered at once: the cell file and the run's other outputs,
// which are committed together at the end.
constexpr int nslots = 8;
constexpr std::size_t maxname = 4096;

struct slot {
  std::atomic<bool> armed{false};
  char name[maxname];
};
slot slots[nslots];

std::atomic<int> caught{0};         // the first signal, once one came
std::atomic<bool> creating{false};  // a file is being created: the signal waits
std::atomic_flag ending;  // clear
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

// The line printed for a signal, composed before any can arrive.
struct signalline {
  int sig;
  const char* name;
  char text[128];
  std::size_t length;
};
#ifdef _WIN32
constexpr int sighup = 1;  // the console window was closed
signalline lines[] = {{SIGINT, "SIGINT", {}, 0}, {SIGBREAK, "SIGBREAK", {}, 0}, {sighup, "SIGHUP", {}, 0}};
#else
signalline lines[] = {{SIGINT, "SIGINT", {}, 0}, {SIGTERM, "SIGTERM", {}, 0}, {SIGHUP, "SIGHUP", {}, 0}};
#endif

void removename(const char* name) {
#ifdef _WIN32
  DeleteFileA(name);
#else
  ::unlink(name);
#endif
}

// Waits for the thread that is ending the process.
[[noreturn]] void idle() {
  for (;;) {
#ifdef _WIN32
    Sleep(INFINITE);
#else
    ::pause();
#endif
  }
}

// Removes every registered name, prints the signal's line and exits; the
// first thread to get here does it.
[[noreturn]] void finish(int sig) {
  if (ending.test_and_set()) idle();
  removetemporaries();
  for (const signalline& l : lines) {
    if (l.sig != sig) continue;
#ifdef _WIN32
    DWORD n = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), l.text, static_cast<DWORD>(l.length), &n, nullptr);
#else
    const ssize_t n = ::write(STDERR_FILENO, l.text, l.length);
    (void)n;
#endif
  }
  std::_Exit(128 + sig);
}

void onsignal(int sig) {
  if (caught.exchange(sig) != 0) std::_Exit(128 + sig);  // a second signal: at once
  if (creating.load()) return;  // the creating thread finishes once its file is registered
  finish(sig);
}

#ifdef _WIN32
BOOL WINAPI onconsole(DWORD event) {
  const int sig = event == CTRL_C_EVENT       ? SIGINT
                  : event == CTRL_BREAK_EVENT ? SIGBREAK
                  : event == CTRL_CLOSE_EVENT ? sighup
                                              : 0;
  if (sig == 0) return FALSE;
  onsignal(sig);
  return TRUE;
}
#endif

// Holds signals back while a file is created and registered. A signal
// caught before the hold, or during it, ends the run when the hold starts
// or ends: with sequentially consistent order either this thread sees the
// signal or the handler sees the hold, so no handler reads a name that is
// being written.
class creation {
public:
  creation() {
    creating.store(true);
    settle();
  }
  ~creation() {
    creating.store(false);
    settle();
  }
  creation(const creation&) = delete;
  creation& operator=(const creation&) = delete;

private:
  static void settle() {
    if (const int sig = caught.load(); sig != 0) finish(sig);
  }
};

// A registry entry that is not armed, or -1.
int freeslot() {
  for (int i = 0; i < nslots; ++i)
    if (!slots[i].armed.load()) return i;
  return -1;
}

bool setname(int i, const std::string& name) {
  if (name.size() >= maxname) return false;
  std::memcpy(slots[i].name, name.c_str(), name.size() + 1);
  return true;
}

// Registers `name` in a free entry; the entry, or -1 when none is free or
// the name does not fit.
int enter(const std::string& name) {
  const int i = freeslot();
  if (i < 0 || !setname(i, name)) return -1;
  slots[i].armed.store(true);
  return i;
}

// ---- creating files ----------------------------------------------------------

#ifdef _WIN32
int winerrno(DWORD e) {
  switch (e) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    default: return EIO;
  }
}

// Opens `name` for binary reading and writing with `disposition` (CREATE_NEW or
// CREATE_ALWAYS), shared for deletion so that the console handler can
// remove it while it is open.
std::FILE* winopen(const std::string& name, DWORD disposition, int& errnum) {
  HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    errnum = winerrno(GetLastError());
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDWR | _O_BINARY);
  std::FILE* f = fd >= 0 ? _fdopen(fd, "w+b") : nullptr;
  if (f == nullptr) {
    errnum = EMFILE;
    if (fd >= 0) _close(fd);
    else CloseHandle(h);
    if (disposition == CREATE_NEW) DeleteFileA(name.c_str());
  }
  return f;
}
#endif

// Creates `name` for reading and writing by its owner only, if no file or
// link of that name exists.
std::FILE* createnew(const std::string& name, int& errnum) {
#ifdef _WIN32
  return winopen(name, CREATE_NEW, errnum);
#else
  const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    errnum = errno;
    return nullptr;
  }
  std::FILE* f = ::fdopen(fd, "w+b");
  if (f == nullptr) {
    errnum = errno != 0 ? errno : ENOMEM;
    ::close(fd);
    ::unlink(name.c_str());
  }
  return f;
#endif
}

std::uint64_t defaultbits() {
  static std::uint64_t state = [] {
    std::random_device rd;
    return (std::uint64_t{rd()} << 32 | rd()) ^
           static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  }();
  // splitmix64: every call a different, well-mixed value.
  std::uint64_t z = state += 0x9e3779b97f4a7c15u;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
  return z ^ (z >> 31);
}

// The names of this program's temporaries: PREFIX, 16 hex digits, SUFFIX.
struct tempkind {
  const char* prefix;
  const char* suffix;
};
constexpr tempkind besideoutput{".cellfreq-", ".tmp"};
constexpr tempkind cellsintmp{"cellfreq-", ".cells"};
constexpr tempkind spillintmp{"cellfreq-", ".spill"};
constexpr tempkind tempkinds[] = {besideoutput, cellsintmp, spillintmp};

// A fresh name "FOLDER/PREFIX<16 hex digits>SUFFIX", the digits random.
std::string freshname(const std::string& folder, tempkind kind) {
  std::uint64_t bits = randombits();
  char hex[17] = {};
  for (int k = 15; k >= 0; --k, bits >>= 4) hex[k] = "0123456789abcdef"[bits & 15];
  std::string name = folder;
  if (!name.empty() && name.back() != '/' && name.back() != '\\') name += '/';
  name.append(kind.prefix).append(hex).append(kind.suffix);
  return name;
}

// Whether `name` (a file name, no folder) is one that freshname() makes.
bool isfreshname(const std::string& name) {
  for (const tempkind& k : tempkinds) {
    const std::size_t p = std::strlen(k.prefix), s = std::strlen(k.suffix);
    if (name.size() != p + 16 + s || name.compare(0, p, k.prefix) != 0 || name.compare(p + 16, s, k.suffix) != 0)
      continue;
    if (std::all_of(name.begin() + static_cast<std::ptrdiff_t>(p), name.begin() + static_cast<std::ptrdiff_t>(p + 16),
                    [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }))
      return true;
  }
  return false;
}

// Removes from `folder` the temporaries that a killed run of this program
// left: regular files of its names, owned by this user, readable by the
// owner only, unchanged for a day (so no running run's file is touched).
// Done once per folder and process, before the first temporary is made
// there: even nameless temporaries get a name for a moment, between their
// link and their rename into place.
void sweepstale(const std::string& folder) {
  static std::mutex one;
  static std::vector<std::string> swept;
  const std::lock_guard lock(one);
  if (std::find(swept.begin(), swept.end(), folder) != swept.end()) return;
  swept.push_back(folder);
  std::error_code ec;
  for (fs::directory_iterator it(folder.empty() ? "." : folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!isfreshname(name)) continue;
#ifndef _WIN32
    struct stat st {};
    const bool stale = ::lstat(it->path().c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
                       (st.st_mode & 07777) == 0600 && st.st_mtime + 24 * 60 * 60 < std::time(nullptr);
#else
    const auto age = fs::file_time_type::clock::now() - fs::last_write_time(it->path(), ec);
    const bool stale = !ec && fs::is_regular_file(fs::symlink_status(it->path(), ec)) && age > std::chrono::hours(24);
#endif
    if (stale) fs::remove(it->path(), ec);
  }
}

// Creates a file of a fresh name (see freshname()), registered in entry
// `i`, trying other names while one exists. `name` receives the name
// created, or the last one tried.
std::FILE* createfresh(const std::string& folder, tempkind kind, int i, std::string& name, int& errnum) {
  for (int tries = 0; tries < 100; ++tries) {
    name = freshname(folder, kind);
    if (!setname(i, name)) {
      errnum = ENAMETOOLONG;
      return nullptr;
    }
    std::FILE* f = createnew(name, errnum);
    if (f != nullptr) {
      slots[i].armed.store(true);
      return f;
    }
    if (errnum != EEXIST) return nullptr;
  }
  return nullptr;
}

#if defined(O_TMPFILE) && !defined(_WIN32)
// A file of no name in `folder`, for reading and writing by its owner
// only; it can be given a name later (no O_EXCL).
int defaultnameless(const char* folder) {
  // Naming it later goes through /proc/self/fd: without /proc, names it is.
  static const bool proc = ::access("/proc/self/fd", X_OK) == 0;
  if (!proc) {
    errno = EOPNOTSUPP;
    return -1;
  }
  return ::open(*folder != '\0' ? folder : ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
}
#else
int defaultnameless(const char*) {
  errno = EOPNOTSUPP;
  return -1;
}
#endif

// A nameless file in `folder` as a stream, or null: with `errnum` 0 when
// the system or the file system has no such files, so that a named
// temporary is the way, else with the reason.
std::FILE* createnameless(const std::string& folder, int& errnum) {
  errnum = 0;
  const int fd = opennameless(folder.c_str());
  if (fd < 0) {
    const int e = errno;
    if (e != EOPNOTSUPP && e != EISDIR && e != EINVAL && e != ENOSYS) errnum = e != 0 ? e : EIO;
    return nullptr;
  }
#ifdef _WIN32
  return nullptr;
#else
  std::FILE* f = ::fdopen(fd, "w+b");
  if (f == nullptr) {
    errnum = errno != 0 ? errno : ENOMEM;
    ::close(fd);
  }
  return f;
#endif
}

// Opens `name` as fopen "w+b" does; `regular` tells whether the name is a
// regular file, which removing the name undoes.
std::FILE* openpath(const std::string& name, bool& regular, int& errnum) {
#ifdef _WIN32
  std::FILE* f = winopen(name, CREATE_ALWAYS, errnum);
  regular = f != nullptr && GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)))) == FILE_TYPE_DISK;
#else
  errno = 0;
  std::FILE* f = std::fopen(name.c_str(), "w+b");
  if (f == nullptr) errnum = errno != 0 ? errno : EIO;
  struct stat st {};
  regular = f != nullptr && ::lstat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
#endif
  return f;
}

// The permissions fopen would give a new file: 0666 less the umask.
unsigned newmode() {
#ifdef _WIN32
  return 0666u;
#else
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666u & ~static_cast<unsigned>(mask);
#endif
}

// 0, or the reason `from` could not be renamed over `to`.
int renameover(const std::string& from, const std::string& to) {
#ifdef _WIN32
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : winerrno(GetLastError());
#else
  return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
#endif
}

// A duplicate of `f`'s descriptor, at the file's start, or -1 with errno.
int dupatstart(std::FILE* f) {
#ifdef _WIN32
  const int fd = _dup(_fileno(f));
  if (fd >= 0 && _lseeki64(fd, 0, SEEK_SET) < 0) {
    _close(fd);
    return -1;
  }
#else
  const int fd = ::fcntl(::fileno(f), F_DUPFD_CLOEXEC, 0);
  if (fd >= 0 && ::lseek(fd, 0, SEEK_SET) < 0) {
    const int e = errno;
    ::close(fd);
    errno = e;
    return -1;
  }
#endif
  return fd;
}

std::FILE* readfromstart(int fd) {
#ifdef _WIN32
  std::FILE* f = _fdopen(fd, "rb");
  if (f == nullptr) _close(fd);
#else
  std::FILE* f = ::fdopen(fd, "rb");
  if (f == nullptr) ::close(fd);
#endif
  return f;
}

// Copies all of `from` (from its start) to `to`; 0 or the first error.
int copyall(std::FILE* from, std::FILE* to) {
  errno = 0;
  std::FILE* in = reopencells(dupatstart(from));
  if (in == nullptr) return errno != 0 ? errno : EIO;
  std::vector<char> buf(1 << 20);
  int errnum = 0;
  for (std::size_t n; errnum == 0 && (n = std::fread(buf.data(), 1, buf.size(), in)) > 0;)
    if (std::fwrite(buf.data(), 1, n, to) != n) errnum = errno != 0 ? errno : EIO;
  if (errnum == 0 && std::ferror(in)) errnum = errno != 0 ? errno : EIO;
  std::fclose(in);
  return errnum;
}

}  // namespace

std::uint64_t (*randombits)() = defaultbits;
std::FILE* (*reopencells)(int descriptor) = readfromstart;
int (*opennameless)(const char* folder) = defaultnameless;

std::string tempfolder() {
#ifdef _WIN32
  std::error_code ec;
  const fs::path p = fs::temp_directory_path(ec);
  return ec ? std::string(".") : p.string();
#else
  const char* t = std::getenv("TMPDIR");
  return t != nullptr && *t != '\0' ? t : "/tmp";
#endif
}

std::string linktarget(const std::string& path) {
  std::error_code ec;
  fs::path t = path;
  for (int n = 0; n < 40 && fs::is_symlink(fs::symlink_status(t, ec)); ++n) {
    const fs::path to = fs::read_symlink(t, ec);
    if (ec) break;
    t = to.is_absolute() ? to : t.parent_path() / to;
  }
  return t.string();
}

int nameddescriptor(const std::string& path) {
#ifdef _WIN32
  (void)path;
  return -1;
#else
  // The names of a descriptor: "/dev/stdin" and its kin, "/dev/fd/N" and
  // "/proc/{self,thread-self,PID}/fd/N", met anywhere along the links.
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
#endif
}

namespace {

// The name exists only while the creation holds off signals: on POSIX
// systems it is removed at once (where the file is not made without one),
// on Windows the file is deleted when its handle closes. Either way no exit
// path, not even a kill, leaves it behind.
std::FILE* makescratch(int& errnum) {
  static std::mutex one;  // readers on two threads may spill at once
  const std::lock_guard lock(one);
  const creation held;
  const std::string folder = tempfolder();
  sweepstale(folder);
  if (std::FILE* f = createnameless(folder, errnum); f != nullptr || errnum != 0) return f;
  for (int tries = 0; tries < 100; ++tries) {
    const std::string name = freshname(folder, spillintmp);
#ifdef _WIN32
    HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      errnum = winerrno(GetLastError());
      if (errnum == EEXIST) continue;
      return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDWR | _O_BINARY);
    std::FILE* f = fd >= 0 ? _fdopen(fd, "w+b") : nullptr;
    if (f == nullptr) {
      errnum = EMFILE;
      if (fd >= 0) _close(fd);
      else CloseHandle(h);
    }
    return f;
#else
    std::FILE* f = createnew(name, errnum);
    if (f != nullptr) ::unlink(name.c_str());
    if (f != nullptr || errnum != EEXIST) return f;
#endif
  }
  return nullptr;
}

}  // namespace

std::FILE* (*scratchfile)(int& errnum) = makescratch;

bool atomicfile::open(const std::string& path, placement how, int& errnum, bool readable) {
  discard();
  errnum = 0;
  path_ = target_ = path;
  temp_.clear();
  how_ = how;
  unnamed_ = finished_ = false;
  if (how_ == placement::temporary) {
    path_ = tempfolder();
    file_ = scratchfile(errnum);
    return file_ != nullptr;
  }
  const int descriptor = nameddescriptor(path);
  if (descriptor >= 0) how_ = placement::inplace;  // never renamed over, never removed
  if (how_ == placement::replace) {
    // A link stays: what it names, existing or not, is replaced.
    target_ = linktarget(path);
    // What exists there decides how, and with which permissions.
    std::error_code ec;
    const fs::file_status st = fs::status(target_, ec);
    if (!fs::exists(st)) {
      mode_ = newmode();
    } else if (!fs::is_regular_file(st)) {
      how_ = placement::inplace;  // a device, a pipe or a folder is written (or refused) where it is
    } else {
#ifndef _WIN32
      if (::access(target_.c_str(), W_OK) != 0) {  // refused as fopen would refuse it
        errnum = errno;
        return false;
      }
#endif
      mode_ = static_cast<unsigned>(st.permissions()) & 07777u;
    }
  }
  if (how_ == placement::replace) return openreplacement(errnum);
  bool regular = false;
  if (!openinplace(descriptor, regular, errnum)) return false;
  if (!readable || regular) return true;
  // Read back before it goes where it cannot be read: a temporary first,
  // copied there by finish().
  out_ = file_;
  file_ = scratchfile(errnum);
  if (file_ == nullptr) {
    discard();
    return false;
  }
  return true;
}

bool atomicfile::openinplace(int descriptor, bool& regular, int& errnum) {
  regular = false;
  if (descriptor >= 0) {
    // Written through the descriptor as it stands, so an output appended
    // to by the shell keeps what it held.
#ifndef _WIN32
    const int fd = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
    file_ = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
    if (file_ == nullptr) {
      errnum = errno != 0 ? errno : EBADF;
      if (fd >= 0) ::close(fd);
    }
#endif
    return file_ != nullptr;
  }
  // Opened before the hold, since opening a pipe waits for its reader.
  file_ = openpath(path_, regular, errnum);
  const creation held;
  if (regular) slot_ = enter(path_);
  return file_ != nullptr;
}

bool atomicfile::openreplacement(int& errnum) {
  const std::string folder = fs::path(target_).parent_path().string();
  sweepstale(folder);
  const creation held;
  if (!named_) file_ = createnameless(folder, errnum);
  if (file_ != nullptr || errnum != 0) {
    unnamed_ = file_ != nullptr;
    return unnamed_;
  }
  const int i = freeslot();
  if (i < 0) {
    errnum = EMFILE;
    return false;
  }
  file_ = createfresh(folder, besideoutput, i, temp_, errnum);
  if (file_ != nullptr) slot_ = i;
  return file_ != nullptr;
}

bool atomicfile::finish(int& errnum) {
  errnum = 0;
  if (finished_) return true;
  if (file_ == nullptr) errnum = EBADF;
  else if (std::fflush(file_) != 0) errnum = errno != 0 ? errno : EIO;
  // What is written in place goes there now, as it would have unread.
  if (errnum == 0 && out_ != nullptr && (errnum = copyall(file_, out_)) == 0 && std::fflush(out_) != 0)
    errnum = errno != 0 ? errno : EIO;
  finished_ = errnum == 0;
  return finished_;
}

std::FILE* atomicfile::readback(int& errnum) {
  if (!finish(errnum)) return nullptr;
  errno = 0;
  std::FILE* f = reopencells(dupatstart(file_));
  if (f == nullptr) errnum = errno != 0 ? errno : EBADF;
  return f;
}

// Gives the finished nameless temporary a fresh name beside the target,
// registered, so that the rename can put it in place: a file cannot be
// linked over an existing name.
bool atomicfile::place(int& errnum) {
#if defined(O_TMPFILE) && !defined(_WIN32)
  const std::string folder = fs::path(target_).parent_path().string();
  const std::string self = "/proc/self/fd/" + std::to_string(::fileno(file_));
  const creation held;
  const int i = freeslot();
  if (i < 0) {
    errnum = EMFILE;
    return false;
  }
  for (int tries = 0; tries < 100; ++tries) {
    temp_ = freshname(folder, besideoutput);
    if (!setname(i, temp_)) {
      errnum = ENAMETOOLONG;
      return false;
    }
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temp_.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      slots[i].armed.store(true);
      slot_ = i;
      unnamed_ = false;
      return true;
    }
    errnum = errno;
    if (errnum != EEXIST) break;
  }
  temp_.clear();
  return false;
#else
  errnum = EOPNOTSUPP;
  return false;
#endif
}

bool atomicfile::commit(int& errnum) {
  if (!finish(errnum)) return false;
  if (how_ == placement::temporary) return true;  // the run's own, until discard()
#ifndef _WIN32
  // Best effort: a file system without permissions has its own.
  if (how_ == placement::replace) (void)::fchmod(::fileno(file_), static_cast<mode_t>(mode_));
#endif
  if (unnamed_ && !place(errnum)) return false;
  if (out_ != nullptr) std::swap(file_, out_);  // the copy's to close; the temporary goes with discard()
  errno = 0;
  if (std::fclose(file_) != 0 && errnum == 0) errnum = errno != 0 ? errno : EIO;
  file_ = nullptr;
  if (errnum == 0 && how_ == placement::replace) errnum = renameover(temp_, target_);
  if (errnum != 0) return false;
  if (slot_ >= 0) {
    slots[slot_].armed.store(false);
    slot_ = -1;
  }
  return true;
}

void atomicfile::discard() {
  for (std::FILE** f : {&file_, &out_}) {
    if (*f != nullptr) std::fclose(*f);
    *f = nullptr;
  }
  if (slot_ < 0) return;
  if (how_ != placement::inplace) removename(temp_.c_str());
  slots[slot_].armed.store(false);
  slot_ = -1;
}

void removetemporaries() {
  for (slot& s : slots)
    if (s.armed.load()) removename(s.name);
}

void catchsignals(const char* progname) {
  for (signalline& l : lines) {
    std::string text = progname;
    text.append(": interrupted by ").append(l.name);
    text.resize(std::min(text.size(), sizeof l.text - 1));
    text += '\n';
    std::memcpy(l.text, text.data(), text.size());
    l.length = text.size();
  }
#ifdef _WIN32
  SetConsoleCtrlHandler(onconsole, TRUE);
#else
  for (const signalline& l : lines) {
    struct sigaction old {};
    if (::sigaction(l.sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    struct sigaction sa {};
    sa.sa_handler = onsignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART | SA_NODEFER;
    ::sigaction(l.sig, &sa, nullptr);
  }
#endif
}

}  // namespace cellfreq

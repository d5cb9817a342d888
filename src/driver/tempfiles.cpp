// Exclusive temporaries, outputs renamed into place, and the removal of
// unfinished files when a signal ends the run.
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
#include <filesystem>
#include <mutex>
#include <random>

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

// Names registered at once: the cell file and one output at a time.
constexpr int nslots = 4;
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
  for (slot& s : slots)
    if (s.armed.load()) removename(s.name);
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

// Opens `name` for binary writing with `disposition` (CREATE_NEW or
// CREATE_ALWAYS), shared for deletion so that the console handler can
// remove it while it is open.
std::FILE* winopen(const std::string& name, DWORD disposition, int& errnum) {
  HANDLE h = CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    errnum = winerrno(GetLastError());
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
  std::FILE* f = fd >= 0 ? _fdopen(fd, "wb") : nullptr;
  if (f == nullptr) {
    errnum = EMFILE;
    if (fd >= 0) _close(fd);
    else CloseHandle(h);
    if (disposition == CREATE_NEW) DeleteFileA(name.c_str());
  }
  return f;
}
#endif

// Creates `name` for writing by its owner only, if no file or link of that
// name exists.
std::FILE* createnew(const std::string& name, int& errnum) {
#ifdef _WIN32
  return winopen(name, CREATE_NEW, errnum);
#else
  const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    errnum = errno;
    return nullptr;
  }
  std::FILE* f = ::fdopen(fd, "wb");
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

// A fresh name "FOLDER/PREFIX<16 hex digits>SUFFIX", the digits random.
std::string freshname(const std::string& folder, const char* prefix, const char* suffix) {
  std::uint64_t bits = randombits();
  char hex[17] = {};
  for (int k = 15; k >= 0; --k, bits >>= 4) hex[k] = "0123456789abcdef"[bits & 15];
  std::string name = folder;
  if (!name.empty() && name.back() != '/' && name.back() != '\\') name += '/';
  name.append(prefix).append(hex).append(suffix);
  return name;
}

// Creates a file of a fresh name (see freshname()),
// registered in entry `i`, trying other names while one exists. `name`
// receives the name created, or the last one tried.
std::FILE* createfresh(const std::string& folder, const char* prefix, const char* suffix, int i, std::string& name,
                       int& errnum) {
  for (int tries = 0; tries < 100; ++tries) {
    name = freshname(folder, prefix, suffix);
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

// Opens `name` as fopen "wb" does; `regular` tells whether the name is a
// regular file, which removing the name undoes.
std::FILE* openinplace(const std::string& name, bool& regular, int& errnum) {
#ifdef _WIN32
  std::FILE* f = winopen(name, CREATE_ALWAYS, errnum);
  regular = f != nullptr && GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)))) == FILE_TYPE_DISK;
#else
  errno = 0;
  std::FILE* f = std::fopen(name.c_str(), "wb");
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

std::FILE* openforreading(const char* path) { return std::fopen(path, "rb"); }

}  // namespace

std::uint64_t (*randombits)() = defaultbits;
std::FILE* (*reopencells)(const char* path) = openforreading;

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

namespace {

// The name exists only while the creation holds off signals: on POSIX
// systems it is removed at once, on Windows the file is deleted when its
// handle closes. Either way no exit path, not even a kill, leaves it behind.
std::FILE* makescratch(int& errnum) {
  static std::mutex one;  // readers on two threads may spill at once
  const std::lock_guard lock(one);
  const creation held;
  const std::string folder = tempfolder();
  for (int tries = 0; tries < 100; ++tries) {
    const std::string name = freshname(folder, "cellfreq-", ".spill");
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
    const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      errnum = errno;
      if (errnum == EEXIST) continue;
      return nullptr;
    }
    ::unlink(name.c_str());
    std::FILE* f = ::fdopen(fd, "w+b");
    if (f == nullptr) {
      errnum = errno != 0 ? errno : ENOMEM;
      ::close(fd);
    }
    return f;
#endif
  }
  return nullptr;
}

}  // namespace

std::FILE* (*scratchfile)(int& errnum) = makescratch;

bool atomicfile::open(const std::string& path, placement how, int& errnum) {
  discard();
  errnum = 0;
  path_ = target_ = path;
  temp_.clear();
  how_ = how;
  if (how_ == placement::replace) {
    // A link stays: what it names, existing or not, is replaced.
    std::error_code ec;
    fs::path t = path;
    for (int n = 0; n < 40 && fs::is_symlink(fs::symlink_status(t, ec)); ++n) {
      const fs::path to = fs::read_symlink(t, ec);
      if (ec) break;
      t = to.is_absolute() ? to : t.parent_path() / to;
    }
    target_ = t.string();
    // What exists there decides how, and with which permissions.
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
  if (how_ == placement::inplace) {
    // Opened before the hold, since opening a pipe waits for its reader.
    bool regular = false;
    file_ = openinplace(path_, regular, errnum);
    const creation held;
    if (regular) slot_ = enter(path_);
    return file_ != nullptr;
  }
  const creation held;
  const int i = freeslot();
  if (i < 0) {
    errnum = EMFILE;
    return false;
  }
  if (how_ == placement::temporary) {
    file_ = createfresh(tempfolder(), "cellfreq-", ".cells", i, temp_, errnum);
    path_ = temp_;
  } else {
    file_ = createfresh(fs::path(target_).parent_path().string(), ".cellfreq-", ".tmp", i, temp_, errnum);
  }
  if (file_ != nullptr) slot_ = i;
  return file_ != nullptr;
}

bool atomicfile::commit(int& errnum) {
  errnum = 0;
  if (file_ == nullptr) {
    errnum = EBADF;
    return false;
  }
#ifndef _WIN32
  // Best effort: a file system without permissions has its own.
  if (how_ == placement::replace) (void)::fchmod(::fileno(file_), static_cast<mode_t>(mode_));
#endif
  errno = 0;
  if (std::fclose(file_) != 0) errnum = errno != 0 ? errno : EIO;
  file_ = nullptr;
  if (errnum == 0 && how_ == placement::replace) errnum = renameover(temp_, target_);
  if (errnum != 0) return false;
  // A temporary stays registered until discard() removes it.
  if (how_ != placement::temporary && slot_ >= 0) {
    slots[slot_].armed.store(false);
    slot_ = -1;
  }
  return true;
}

void atomicfile::discard() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  if (slot_ < 0) return;
  if (how_ != placement::inplace) removename(temp_.c_str());
  slots[slot_].armed.store(false);
  slot_ = -1;
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

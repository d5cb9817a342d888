// The system calls of platform/os.h on Windows: files opened shared for
// deletion (so that the console handler can remove them while open),
// scratch files deleted when closed, error codes turned into errno values,
// and the console's control events in place of signals. Windows has no
// nameless files and no names for descriptors.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/os.h"

namespace cellfreq::os {
namespace {

namespace fs = std::filesystem;

int windows_errno(DWORD e) {
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

// The handle `h` as a binary stream for reading and writing; on a failure
// the handle is closed.
result<std::FILE*> handle_stream(HANDLE h) {
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDWR | _O_BINARY);
  std::FILE* f = fd >= 0 ? _fdopen(fd, "w+b") : nullptr;
  if (f != nullptr) return f;
  if (fd >= 0) _close(fd);
  else CloseHandle(h);
  return syserror(EMFILE);
}

// Opens `name` for binary reading and writing with `disposition`
// (CREATE_NEW or CREATE_ALWAYS), shared for deletion.
result<std::FILE*> open_shared(const std::string& name, DWORD disposition) {
  HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return syserror(windows_errno(GetLastError()));
  result<std::FILE*> f = handle_stream(h);
  if (!f && disposition == CREATE_NEW) DeleteFileA(name.c_str());
  return f;
}

constexpr int sighup = 1;  // the console window was closed
void (*signal_handler)(int) = nullptr;

BOOL WINAPI on_console(DWORD event) {
  const int sig = event == CTRL_C_EVENT       ? SIGINT
                  : event == CTRL_BREAK_EVENT ? SIGBREAK
                  : event == CTRL_CLOSE_EVENT ? sighup
                                              : 0;
  if (sig == 0) return FALSE;
  signal_handler(sig);
  return TRUE;
}

}  // namespace

result<std::FILE*> create_new(const std::string& name) { return open_shared(name, CREATE_NEW); }

result<std::FILE*> create_scratch(const std::string& name) {
  HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) return syserror(windows_errno(GetLastError()));
  return handle_stream(h);
}

int open_nameless(const char*) {
  errno = EOPNOTSUPP;
  return -1;
}

result<std::FILE*> nameless_stream(int descriptor) {
  _close(descriptor);
  return static_cast<std::FILE*>(nullptr);
}

result<void> link_nameless(std::FILE*, const std::string&) { return syserror(EOPNOTSUPP); }

result<std::FILE*> open_path(const std::string& name, bool& regular) {
  result<std::FILE*> f = open_shared(name, CREATE_ALWAYS);
  regular = f && GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f.value())))) == FILE_TYPE_DISK;
  return f;
}

result<std::FILE*> write_descriptor(int) { return syserror(EBADF); }

// Opening decides: a read-only file is refused by CreateFileA itself.
result<void> may_write(const std::string&) { return {}; }

unsigned new_mode() { return 0666u; }

void set_mode(std::FILE*, unsigned) {}

result<void> rename_over(const std::string& from, const std::string& to) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return {};
  return syserror(windows_errno(GetLastError()));
}

int dup_at_start(std::FILE* f) {
  const int fd = _dup(_fileno(f));
  if (fd >= 0 && _lseeki64(fd, 0, SEEK_SET) < 0) {
    _close(fd);
    return -1;
  }
  return fd;
}

std::FILE* read_from_start(int fd) {
  std::FILE* f = _fdopen(fd, "rb");
  if (f == nullptr) _close(fd);
  return f;
}

// Windows keeps no owner-only permissions to check: the age and the name
// must do.
bool stale(const fs::path& path) {
  std::error_code ec;
  const auto age = fs::file_time_type::clock::now() - fs::last_write_time(path, ec);
  return !ec && fs::is_regular_file(fs::symlink_status(path, ec)) && age > std::chrono::hours(24);
}

std::string temp_folder() {
  std::error_code ec;
  const fs::path p = fs::temp_directory_path(ec);
  return ec ? std::string(".") : p.string();
}

int named_descriptor(const std::string&) { return -1; }

const signal_name ending_signals[signal_count] = {{SIGINT, "SIGINT"}, {SIGBREAK, "SIGBREAK"}, {sighup, "SIGHUP"}};

void install_handler(void (*handler)(int)) {
  signal_handler = handler;
  SetConsoleCtrlHandler(on_console, TRUE);
}

void remove_name(const char* name) { DeleteFileA(name); }

void write_error(const char* text, std::size_t length) {
  DWORD n = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(length), &n, nullptr);
}

void idle() {
  for (;;) Sleep(INFINITE);
}

}  // namespace cellfreq::os

// Nameless or exclusive temporaries and outputs put into place, the same on
// every system: fresh names, the sweep of a killed run's names, the
// registration that a signal reads, and the steps of an atomic_file. What
// differs between systems is left to platform/os.h.
#include "platform/tempfiles.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>
#include <vector>

#include "platform/os.h"
#include "platform/registry.h"
#include "platform/seams.h"

namespace cellfreq {
namespace {

namespace fs = std::filesystem;

std::uint64_t system_bits() {
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

std::FILE* make_scratch(int& errnum);

// The calls in use: the system's, but while a seam_override lives.
constinit seams hooks{system_bits, os::read_from_start, os::open_nameless, make_scratch};

// ---- names ---------------------------------------------------------------------

// The names of this program's temporaries: PREFIX, 16 hex digits, SUFFIX.
struct temp_kind {
  const char* prefix;
  const char* suffix;
};
constexpr temp_kind beside_output{".cellfreq-", ".tmp"};
constexpr temp_kind cells_in_tmp{"cellfreq-", ".cells"};
constexpr temp_kind spill_in_tmp{"cellfreq-", ".spill"};
constexpr temp_kind temp_kinds[] = {beside_output, cells_in_tmp, spill_in_tmp};

// A fresh name "FOLDER/PREFIX<16 hex digits>SUFFIX", the digits random.
std::string fresh_name(const std::string& folder, temp_kind kind) {
  std::uint64_t bits = hooks.random_bits();
  char hex[17] = {};
  for (int k = 15; k >= 0; --k, bits >>= 4) hex[k] = "0123456789abcdef"[bits & 15];
  std::string name = folder;
  if (!name.empty() && name.back() != '/' && name.back() != '\\') name += '/';
  name.append(kind.prefix).append(hex).append(kind.suffix);
  return name;
}

// Whether `name` (a file name, no folder) is one that fresh_name() makes.
bool is_fresh_name(const std::string& name) {
  for (const temp_kind& k : temp_kinds) {
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
// left (of its names, and os::stale()). Done once per folder and process,
// before the first temporary is made there: even nameless temporaries get a
// name for a moment, between their link and their rename into place.
void sweep_stale(const std::string& folder) {
  static std::mutex one;
  static std::vector<std::string> swept;
  const std::lock_guard lock(one);
  if (std::find(swept.begin(), swept.end(), folder) != swept.end()) return;
  swept.push_back(folder);
  std::error_code ec;
  for (fs::directory_iterator it(folder.empty() ? "." : folder, ec), end; !ec && it != end; it.increment(ec))
    if (is_fresh_name(it->path().filename().string()) && os::stale(it->path())) fs::remove(it->path(), ec);
}

// ---- creating files ----------------------------------------------------------

// Creates a file of a fresh name (see fresh_name()), registered in entry
// `i`, trying other names while one exists. `name` receives the name
// created, or the last one tried.
std::FILE* create_fresh(const std::string& folder, temp_kind kind, int i, std::string& name, int& errnum) {
  for (int tries = 0; tries < 100; ++tries) {
    name = fresh_name(folder, kind);
    if (!temporaries().set_name(i, name)) {
      errnum = ENAMETOOLONG;
      return nullptr;
    }
    std::FILE* f = os::create_new(name, errnum);
    if (f != nullptr) {
      temporaries().arm(i);
      return f;
    }
    if (errnum != EEXIST) return nullptr;
  }
  return nullptr;
}

// A nameless file in `folder` as a stream, or null: with `errnum` 0 when
// the system or the file system has no such files, so that a named
// temporary is the way, else with the reason.
std::FILE* create_nameless(const std::string& folder, int& errnum) {
  errnum = 0;
  const int fd = hooks.open_nameless(folder.c_str());
  if (fd < 0) {
    const int e = errno;
    if (e != EOPNOTSUPP && e != EISDIR && e != EINVAL && e != ENOSYS) errnum = e != 0 ? e : EIO;
    return nullptr;
  }
  return os::nameless_stream(fd, errnum);
}

// Copies all of `from` (from its start) to `to`; 0 or the first error.
int copy_all(std::FILE* from, std::FILE* to) {
  errno = 0;
  std::FILE* in = hooks.read_back(os::dup_at_start(from));
  if (in == nullptr) return errno != 0 ? errno : EIO;
  std::vector<char> buf(1 << 20);
  int errnum = 0;
  for (std::size_t n; errnum == 0 && (n = std::fread(buf.data(), 1, buf.size(), in)) > 0;)
    if (std::fwrite(buf.data(), 1, n, to) != n) errnum = errno != 0 ? errno : EIO;
  if (errnum == 0 && std::ferror(in)) errnum = errno != 0 ? errno : EIO;
  std::fclose(in);
  return errnum;
}

// The name exists only while the creation holds off signals (on POSIX
// systems it is removed at once where the file is not made without one, on
// Windows the file is deleted when its handle closes), so no exit path, not
// even a kill, leaves it behind.
std::FILE* make_scratch(int& errnum) {
  static std::mutex one;  // readers on two threads may spill at once
  const std::lock_guard lock(one);
  const creation held;
  const std::string folder = os::temp_folder();
  sweep_stale(folder);
  if (std::FILE* f = create_nameless(folder, errnum); f != nullptr || errnum != 0) return f;
  for (int tries = 0; tries < 100; ++tries) {
    std::FILE* f = os::create_scratch(fresh_name(folder, spill_in_tmp), errnum);
    if (f != nullptr || errnum != EEXIST) return f;
  }
  return nullptr;
}

}  // namespace

seam_override::seam_override(const seams& replacement) : before_(hooks) {
  if (replacement.random_bits != nullptr) hooks.random_bits = replacement.random_bits;
  if (replacement.read_back != nullptr) hooks.read_back = replacement.read_back;
  if (replacement.open_nameless != nullptr) hooks.open_nameless = replacement.open_nameless;
  if (replacement.scratch_file != nullptr) hooks.scratch_file = replacement.scratch_file;
}

seam_override::~seam_override() { hooks = before_; }

std::FILE* scratch_file(int& errnum) { return hooks.scratch_file(errnum); }

std::string temp_folder() { return os::temp_folder(); }

std::string link_target(const std::string& path) {
  std::error_code ec;
  fs::path t = path;
  for (int n = 0; n < 40 && fs::is_symlink(fs::symlink_status(t, ec)); ++n) {
    const fs::path to = fs::read_symlink(t, ec);
    if (ec) break;
    t = to.is_absolute() ? to : t.parent_path() / to;
  }
  return t.string();
}

int named_descriptor(const std::string& path) { return os::named_descriptor(path); }

bool atomic_file::open(const std::string& path, placement how, int& errnum, bool readable) {
  discard();
  errnum = 0;
  path_ = target_ = path;
  temp_.clear();
  how_ = how;
  unnamed_ = finished_ = false;
  if (how_ == placement::temporary) {
    path_ = temp_folder();
    file_ = scratch_file(errnum);
    return file_ != nullptr;
  }
  const int descriptor = named_descriptor(path);
  if (descriptor >= 0) how_ = placement::inplace;  // never renamed over, never removed
  if (how_ == placement::replace) {
    // A link stays: what it names, existing or not, is replaced.
    target_ = link_target(path);
    // What exists there decides how, and with which permissions.
    std::error_code ec;
    const fs::file_status st = fs::status(target_, ec);
    if (!fs::exists(st)) {
      mode_ = os::new_mode();
    } else if (!fs::is_regular_file(st)) {
      how_ = placement::inplace;  // a device, a pipe or a folder is written (or refused) where it is
    } else {
      if ((errnum = os::may_write(target_)) != 0) return false;  // refused as fopen would refuse it
      mode_ = static_cast<unsigned>(st.permissions()) & 07777u;
    }
  }
  if (how_ == placement::replace) return open_replacement(errnum);
  bool regular = false;
  if (!open_in_place(descriptor, regular, errnum)) return false;
  if (!readable || regular) return true;
  // Read back before it goes where it cannot be read: a temporary first,
  // copied there by finish().
  out_ = file_;
  file_ = scratch_file(errnum);
  if (file_ == nullptr) {
    discard();
    return false;
  }
  return true;
}

bool atomic_file::open_in_place(int descriptor, bool& regular, int& errnum) {
  regular = false;
  if (descriptor >= 0) {
    // Written through the descriptor as it stands, so an output appended
    // to by the shell keeps what it held.
    file_ = os::write_descriptor(descriptor, errnum);
    return file_ != nullptr;
  }
  // Opened before the hold, since opening a pipe waits for its reader.
  file_ = os::open_path(path_, regular, errnum);
  const creation held;
  if (regular) entry_ = temporaries().enter(path_);
  return file_ != nullptr;
}

bool atomic_file::open_replacement(int& errnum) {
  const std::string folder = fs::path(target_).parent_path().string();
  sweep_stale(folder);
  const creation held;
  if (!named_) file_ = create_nameless(folder, errnum);
  if (file_ != nullptr || errnum != 0) {
    unnamed_ = file_ != nullptr;
    return unnamed_;
  }
  const int i = temporaries().free_entry();
  if (i < 0) {
    errnum = EMFILE;
    return false;
  }
  file_ = create_fresh(folder, beside_output, i, temp_, errnum);
  if (file_ != nullptr) entry_ = i;
  return file_ != nullptr;
}

bool atomic_file::finish(int& errnum) {
  errnum = 0;
  if (finished_) return true;
  if (file_ == nullptr) errnum = EBADF;
  else if (std::fflush(file_) != 0) errnum = errno != 0 ? errno : EIO;
  // What is written in place goes there now, as it would have unread.
  if (errnum == 0 && out_ != nullptr && (errnum = copy_all(file_, out_)) == 0 && std::fflush(out_) != 0)
    errnum = errno != 0 ? errno : EIO;
  finished_ = errnum == 0;
  return finished_;
}

std::FILE* atomic_file::read_back(int& errnum) {
  if (!finish(errnum)) return nullptr;
  errno = 0;
  std::FILE* f = hooks.read_back(os::dup_at_start(file_));
  if (f == nullptr) errnum = errno != 0 ? errno : EBADF;
  return f;
}

// Gives the finished nameless temporary a fresh name beside the target,
// registered, so that the rename can put it in place: a file cannot be
// linked over an existing name.
bool atomic_file::place(int& errnum) {
  const std::string folder = fs::path(target_).parent_path().string();
  const creation held;
  const int i = temporaries().free_entry();
  if (i < 0) {
    errnum = EMFILE;
    return false;
  }
  for (int tries = 0; tries < 100; ++tries) {
    temp_ = fresh_name(folder, beside_output);
    if (!temporaries().set_name(i, temp_)) {
      errnum = ENAMETOOLONG;
      return false;
    }
    if ((errnum = os::link_nameless(file_, temp_)) == 0) {
      temporaries().arm(i);
      entry_ = i;
      unnamed_ = false;
      return true;
    }
    if (errnum != EEXIST) break;
  }
  temp_.clear();
  return false;
}

bool atomic_file::commit(int& errnum) {
  if (!finish(errnum)) return false;
  if (how_ == placement::temporary) return true;  // the run's own, until discard()
  // Best effort: a file system without permissions has its own.
  if (how_ == placement::replace) os::set_mode(file_, mode_);
  if (unnamed_ && !place(errnum)) return false;
  if (out_ != nullptr) std::swap(file_, out_);  // the copy's to close; the temporary goes with discard()
  errno = 0;
  if (std::fclose(file_) != 0 && errnum == 0) errnum = errno != 0 ? errno : EIO;
  file_ = nullptr;
  if (errnum == 0 && how_ == placement::replace) errnum = os::rename_over(temp_, target_);
  if (errnum != 0) return false;
  if (entry_ >= 0) {
    temporaries().disarm(entry_);
    entry_ = -1;
  }
  return true;
}

void atomic_file::discard() {
  for (std::FILE** f : {&file_, &out_}) {
    if (*f != nullptr) std::fclose(*f);
    *f = nullptr;
  }
  if (entry_ < 0) return;
  if (how_ != placement::inplace) os::remove_name(temp_.c_str());
  temporaries().disarm(entry_);
  entry_ = -1;
}

}  // namespace cellfreq

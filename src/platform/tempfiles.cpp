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

result<std::FILE*> make_scratch();

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
result<std::FILE*> create_fresh(const std::string& folder, temp_kind kind, int i, std::string& name) {
  for (int tries = 0;; ++tries) {
    name = fresh_name(folder, kind);
    if (!temporaries().set_name(i, name)) return syserror(ENAMETOOLONG);
    result<std::FILE*> f = os::create_new(name);
    if (f) temporaries().arm(i);
    if (f || f.error().errnum != EEXIST || tries == 99) return f;
  }
}

// A nameless file in `folder` as a stream; null when the system or the
// file system has no such files, so that a named temporary is the way.
result<std::FILE*> create_nameless(const std::string& folder) {
  const int fd = hooks.open_nameless(folder.c_str());
  if (fd < 0) {
    const int e = errno;
    if (e != EOPNOTSUPP && e != EISDIR && e != EINVAL && e != ENOSYS) return syserror(e);
    return static_cast<std::FILE*>(nullptr);
  }
  return os::nameless_stream(fd);
}

// Copies all of `from` (from its start) to `to`; the first error fails it.
result<void> copy_all(std::FILE* from, std::FILE* to) {
  errno = 0;
  std::FILE* in = hooks.read_back(os::dup_at_start(from));
  if (in == nullptr) return lasterror();
  std::vector<char> buf(1 << 20);
  result<void> copied;
  for (std::size_t n; copied && (n = std::fread(buf.data(), 1, buf.size(), in)) > 0;)
    if (std::fwrite(buf.data(), 1, n, to) != n) copied = lasterror();
  if (copied && std::ferror(in)) copied = lasterror();
  std::fclose(in);
  return copied;
}

// The name exists only while the creation holds off signals (on POSIX
// systems it is removed at once where the file is not made without one, on
// Windows the file is deleted when its handle closes), so no exit path, not
// even a kill, leaves it behind.
result<std::FILE*> make_scratch() {
  static std::mutex one;  // readers on two threads may spill at once
  const std::lock_guard lock(one);
  const creation held;
  const std::string folder = os::temp_folder();
  sweep_stale(folder);
  if (result<std::FILE*> f = create_nameless(folder); !f || f.value() != nullptr) return f;
  for (int tries = 0;; ++tries) {
    result<std::FILE*> f = os::create_scratch(fresh_name(folder, spill_in_tmp));
    if (f || f.error().errnum != EEXIST || tries == 99) return f;
  }
}

}  // namespace

seam_override::seam_override(const seams& replacement) : before_(hooks) {
  if (replacement.random_bits != nullptr) hooks.random_bits = replacement.random_bits;
  if (replacement.read_back != nullptr) hooks.read_back = replacement.read_back;
  if (replacement.open_nameless != nullptr) hooks.open_nameless = replacement.open_nameless;
  if (replacement.scratch_file != nullptr) hooks.scratch_file = replacement.scratch_file;
}

seam_override::~seam_override() { hooks = before_; }

result<std::FILE*> scratch_file() {
  errno = 0;
  result<std::FILE*> f = hooks.scratch_file();
  if (f && f.value() == nullptr) return lasterror();  // a replacement that answers as fopen does
  return f;
}

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

result<void> atomic_file::open(const std::string& path, placement how, bool readable) {
  discard();
  path_ = target_ = path;
  temp_.clear();
  how_ = how;
  unnamed_ = finished_ = false;
  if (how_ == placement::temporary) {
    path_ = temp_folder();
    return adopt(scratch_file());
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
      if (result<void> may = os::may_write(target_); !may) return may;  // refused as fopen would refuse it
      mode_ = static_cast<unsigned>(st.permissions()) & 07777u;
    }
  }
  if (how_ == placement::replace) return open_replacement();
  bool regular = false;
  if (result<void> opened = open_in_place(descriptor, regular); !opened || !readable || regular) return opened;
  // Read back before it goes where it cannot be read: a temporary first,
  // copied there by finish().
  out_ = file_;
  file_ = nullptr;
  result<void> scratch = adopt(scratch_file());
  if (!scratch) discard();
  return scratch;
}

result<void> atomic_file::adopt(result<std::FILE*> f) {
  if (!f) return std::move(f.error());
  file_ = f.value();
  return {};
}

result<void> atomic_file::open_in_place(int descriptor, bool& regular) {
  regular = false;
  // Written through the descriptor as it stands, so an output appended
  // to by the shell keeps what it held.
  if (descriptor >= 0) return adopt(os::write_descriptor(descriptor));
  // Opened before the hold, since opening a pipe waits for its reader.
  result<std::FILE*> f = os::open_path(path_, regular);
  const creation held;
  if (regular) entry_ = temporaries().enter(path_);
  return adopt(std::move(f));
}

result<void> atomic_file::open_replacement() {
  const std::string folder = fs::path(target_).parent_path().string();
  sweep_stale(folder);
  const creation held;
  if (!named_) {
    result<std::FILE*> nameless = create_nameless(folder);
    if (!nameless || nameless.value() != nullptr) {
      unnamed_ = nameless.ok();
      return adopt(std::move(nameless));
    }
  }
  const int i = temporaries().free_entry();
  if (i < 0) return syserror(EMFILE);
  result<void> made = adopt(create_fresh(folder, beside_output, i, temp_));
  if (made) entry_ = i;
  return made;
}

result<void> atomic_file::finish() {
  if (finished_) return {};
  result<void> done;
  if (file_ == nullptr) done = syserror(EBADF);
  else if (std::fflush(file_) != 0) done = lasterror();
  // What is written in place goes there now, as it would have unread.
  if (done && out_ != nullptr && (done = copy_all(file_, out_)) && std::fflush(out_) != 0) done = lasterror();
  finished_ = done.ok();
  return done;
}

result<std::FILE*> atomic_file::read_back() {
  if (result<void> done = finish(); !done) return std::move(done.error());
  errno = 0;
  std::FILE* f = hooks.read_back(os::dup_at_start(file_));
  if (f == nullptr) return syserror(errno != 0 ? errno : EBADF);
  return f;
}

// Gives the finished nameless temporary a fresh name beside the target,
// registered, so that the rename can put it in place: a file cannot be
// linked over an existing name.
result<void> atomic_file::place() {
  const std::string folder = fs::path(target_).parent_path().string();
  const creation held;
  const int i = temporaries().free_entry();
  if (i < 0) return syserror(EMFILE);
  for (int tries = 0;; ++tries) {
    temp_ = fresh_name(folder, beside_output);
    if (!temporaries().set_name(i, temp_)) return syserror(ENAMETOOLONG);
    result<void> linked = os::link_nameless(file_, temp_);
    if (linked) {
      temporaries().arm(i);
      entry_ = i;
      unnamed_ = false;
      return linked;
    }
    if (linked.error().errnum != EEXIST || tries == 99) {
      temp_.clear();
      return linked;
    }
  }
}

result<void> atomic_file::commit() {
  if (result<void> done = finish(); !done) return done;
  if (how_ == placement::temporary) return {};  // the run's own, until discard()
  // Best effort: a file system without permissions has its own.
  if (how_ == placement::replace) os::set_mode(file_, mode_);
  if (unnamed_) {
    if (result<void> placed = place(); !placed) return placed;
  }
  if (out_ != nullptr) std::swap(file_, out_);  // the copy's to close; the temporary goes with discard()
  errno = 0;
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  if (!closed) return lasterror();
  if (how_ == placement::replace) {
    if (result<void> renamed = os::rename_over(temp_, target_); !renamed) return renamed;
  }
  if (entry_ >= 0) {
    temporaries().disarm(entry_);
    entry_ = -1;
  }
  return {};
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

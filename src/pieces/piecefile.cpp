// Writing and reading the frame of a piece file (see piecefile.h).
#include "pieces/piecefile.h"

#include <zlib.h>

#include <cerrno>
#include <limits>
#include <vector>

#include "io/textout.h"

namespace cellfreq {
namespace {

constexpr char format_version = '4';

// The first six bytes of each kind; the version digit and a line feed follow.
const char* kindtag(piecekind kind) {
  switch (kind) {
    case piecekind::part: return "cfpart";
    case piecekind::plan: return "cfplan";
    case piecekind::heat: return "cfheat";
    case piecekind::cells: return "cfcell";
    case piecekind::report: return "cfrept";
    case piecekind::places: return "cfplac";
    case piecekind::placed: return "cfdone";
  }
  return "";
}

}  // namespace

bool piecein::trustchecksums = false;

const char* piecenoun(piecekind kind) {
  return kind == piecekind::part   ? "part file"
         : kind == piecekind::plan ? "plan file"
         : kind == piecekind::places || kind == piecekind::placed ? "placement file"
                                                                   : "merge file";
}

std::uint32_t crc32of(std::uint32_t crc, const void* p, std::size_t n) {
  // zlib takes lengths of its own width: longer spans go in steps.
  const auto* b = static_cast<const Bytef*>(p);
  for (std::size_t step; n != 0; n -= step, b += step) {
    step = std::min<std::size_t>(n, std::numeric_limits<uInt>::max());
    crc = static_cast<std::uint32_t>(::crc32(crc, b, static_cast<uInt>(step)));
  }
  return crc;
}

std::uint32_t crc32join(std::uint32_t a, std::uint32_t b, std::int64_t blength) {
  return static_cast<std::uint32_t>(::crc32_combine(a, b, static_cast<z_off_t>(blength)));
}

pieceout::pieceout(piecekind kind, bool framed) : kind_(kind) {
  if (!framed) return;
  bytes_.append(kindtag(kind), 6);
  bytes_ += format_version;
  bytes_ += '\n';
}

void pieceout::putstring(std::string_view s) {
  put(static_cast<std::int64_t>(s.size()));
  bytes_.append(s);
}

result<void> pieceout::save(const std::string& path) {
  seal();
  return replacefile(path, piecenoun(kind_), [&](textout& out) { out.put(bytes_); });
}

piecein::~piecein() {
  if (f_ != nullptr) std::fclose(f_);
}

bool piecein::stick(failure f) {
  if (ok()) fail_ = std::move(f);
  return false;
}

result<void> piecein::outcome() const {
  if (ok()) return {};
  return *fail_;
}

result<void> piecein::fails(failure f) {
  stick(std::move(f));
  return outcome();
}

bool piecein::unreadable(int errnum) {
  return stick({"cannot read " + std::string(piecenoun(kind_)) + " " + inquotes(path_), errnum != 0 ? errnum : EIO});
}

bool piecein::broken(const std::string& what) {
  return stick({std::string(piecenoun(kind_)) + " " + inquotes(path_) + " is damaged: " + what, 0, {},
                status_failed, true});
}

result<void> piecein::damaged(const std::string& what) {
  broken(what);
  return outcome();
}

result<void> piecein::open(const std::string& path, piecekind kind, bool whole) {
  readframe(path, kind, whole);
  return outcome();
}

bool piecein::readframe(const std::string& path, piecekind kind, bool whole) {
  path_ = path;
  kind_ = kind;
  errno = 0;
  f_ = std::fopen(path.c_str(), "rb");
  if (f_ == nullptr) return unreadable(errno != 0 ? errno : ENOENT);
  if (fseeko(f_, 0, SEEK_END) != 0 || (size_ = static_cast<std::int64_t>(ftello(f_))) < 0 ||
      fseeko(f_, 0, SEEK_SET) != 0)
    return unreadable(errno);
  char tag[8] = {};
  const std::string name = std::string(piecenoun(kind)) + " " + inquotes(path);
  if (size_ < 12 || std::fread(tag, 1, 8, f_) != 8 || std::memcmp(tag, kindtag(kind), 6) != 0 || tag[7] != '\n' ||
      tag[6] < '0' || tag[6] > '9')
    return stick({inquotes(path) + " is not a " + piecenoun(kind), 0, {}, status_failed, true});
  if (tag[6] != format_version)
    return stick({name + " is of format version " + tag[6] + "; this cellfreq reads version " + format_version, 0,
                  {}, status_failed, true});
  at_ = 8;
  running_ = crc32of(0, tag, 8);
  // The final checksum, then (when asked for) everything it covers.
  unsigned char tail[4];
  if (fseeko(f_, static_cast<off_t>(end()), SEEK_SET) != 0 || std::fread(tail, 1, 4, f_) != 4)
    return unreadable(errno);
  std::memcpy(&final_, tail, 4);
  if (whole) {
    std::uint32_t crc = 0;
    std::vector<char> block(std::size_t{1} << 16);
    std::int64_t left = end();
    if (fseeko(f_, 0, SEEK_SET) != 0) return unreadable(errno);
    while (left > 0) {
      const auto n = static_cast<std::size_t>(std::min<std::int64_t>(left, static_cast<std::int64_t>(block.size())));
      if (std::fread(block.data(), 1, n, f_) != n) return unreadable(errno);
      crc = crc32of(crc, block.data(), n);
      left -= static_cast<std::int64_t>(n);
    }
    if (crc != final_ && !trustchecksums) return broken("its checksum does not match its contents");
  }
  if (fseeko(f_, 8, SEEK_SET) != 0) return unreadable(errno);
  return true;
}

bool piecein::checkspan(std::int64_t offset, std::int64_t length, std::uint32_t crc, const char* what) {
  if (!seek(offset, what)) return false;
  if (length < 0 || length > end() - offset) return broken(std::string(what) + " runs past its end");
  std::vector<char> block(static_cast<std::size_t>(std::min<std::int64_t>(length, std::int64_t{1} << 16)));
  std::uint32_t got = 0;
  for (std::int64_t left = length; left > 0;) {
    const auto n = static_cast<std::size_t>(std::min<std::int64_t>(left, static_cast<std::int64_t>(block.size())));
    if (std::fread(block.data(), 1, n, f_) != n) return unreadable(std::ferror(f_) ? errno : 0);
    got = crc32of(got, block.data(), n);
    left -= static_cast<std::int64_t>(n);
  }
  if (got != crc && !trustchecksums) return broken(std::string("its ") + what + " do not match their checksum");
  if (fseeko(f_, static_cast<off_t>(offset), SEEK_SET) != 0) return unreadable(errno);
  return true;
}

bool piecein::bytes(void* p, std::size_t n, const char* what) {
  if (!ok()) return false;
  if (static_cast<std::uint64_t>(end() - at_) < n) return broken(std::string(what) + " runs past its end");
  if (std::fread(p, 1, n, f_) != n) return unreadable(std::ferror(f_) ? errno : 0);
  at_ += static_cast<std::int64_t>(n);
  if (inorder_) running_ = crc32of(running_, p, n);
  return true;
}

bool piecein::getflag(bool& b, const char* what) {
  std::uint8_t byte = 0;
  if (!get(byte, what)) return false;
  if (byte > 1) return broken(std::string("its ") + what + " is neither 0 nor 1");
  b = byte == 1;
  return true;
}

bool piecein::getcount(std::int64_t& n, std::int64_t limit, std::int64_t each, const char* what) {
  std::int64_t v = 0;
  if (!get(v, what)) return false;
  if (v < 0 || v > limit || (each > 0 && v > (end() - at_) / each))
    return broken(std::string("its ") + what + " " + std::to_string(v) + " is more than it can hold");
  n = v;
  return true;
}

bool piecein::getstring(std::string& s, std::int64_t limit, const char* what) {
  std::int64_t n = 0;
  if (!getcount(n, limit, 1, what)) return false;
  s.resize(static_cast<std::size_t>(n));
  return bytes(s.data(), s.size(), what);
}

result<void> piecein::seal() {
  const std::uint32_t expected = running_;
  const bool inorder = inorder_;
  std::uint32_t stored = 0;
  if (get(stored, "seal") && (!inorder || (stored != expected && !trustchecksums)))
    return damaged("its checksum does not match its contents");
  return outcome();
}

bool piecein::seek(std::int64_t offset, const char* what) {
  if (!ok()) return false;
  if (offset < 8 || offset > end()) return broken(std::string(what) + " runs past its end");
  // A seek drops the stream's buffer: reads that follow each other need none.
  if (offset != at_ && fseeko(f_, static_cast<off_t>(offset), SEEK_SET) != 0)
    return unreadable(errno);
  at_ = offset;
  inorder_ = false;
  return true;
}

}  // namespace cellfreq

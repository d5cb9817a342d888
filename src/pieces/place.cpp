// The place piece: puts the text of one merge's fragments where the
// placement file that --join-placed wrote says, each fragment checked whole
// first, then marks the merge placed. Its messages name the outputs by the
// paths the user gave, not by their hidden temporaries.
#ifdef __linux__
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <vector>

#include "pieces/steps.h"

namespace cellfreq {
namespace {

namespace fs = std::filesystem;

// Copies `length` bytes at `from` of `in` into `to` at `at`: in the kernel
// where it can, through a buffer otherwise. A failure is the system's.
result<void> copy_at(std::FILE* in, std::int64_t from, std::FILE* to, std::int64_t at, std::int64_t length) {
#ifdef __linux__
  off_t src = static_cast<off_t>(from), dst = static_cast<off_t>(at);
  while (length > 0) {
    const ssize_t n = ::copy_file_range(::fileno(in), &src, ::fileno(to), &dst, static_cast<std::size_t>(length), 0);
    if (n <= 0) break;
    length -= n;
  }
  from = src;
  at = dst;
#endif
  std::vector<char> buf(std::size_t{1} << 20);
  while (length > 0) {
    const auto n = static_cast<std::size_t>(std::min<std::int64_t>(length, static_cast<std::int64_t>(buf.size())));
    errno = 0;
    if (fseeko(in, static_cast<off_t>(from), SEEK_SET) != 0 || std::fread(buf.data(), 1, n, in) != n)
      return lasterror();
    if (result<void> written = writeat(to, at, buf.data(), n); !written) return written;
    from += static_cast<std::int64_t>(n);
    at += static_cast<std::int64_t>(n);
    length -= static_cast<std::int64_t>(n);
  }
  if (std::fflush(to) != 0) return lasterror();
  return {};
}

// Copies the text of the fragment that `t` names into its place; a
// failure names the fragment, or the output by its user's path.
result<void> place_text(const fingerprint& fp, const textplace& t) {
  piecein in;
  if (result<void> opened = openfragment(in, t.fragment, t.cells ? piecekind::cells : piecekind::report, fp, t.seal);
      !opened)
    return opened;
  const char* noun = t.cells ? "cell file" : "report";
  const std::int64_t length = in.end() - in.at();
  std::error_code ec;
  const bool prepared = fs::is_regular_file(t.target, ec) &&
                        static_cast<std::int64_t>(fs::file_size(t.target, ec)) >= t.at + length && !ec;
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> to(prepared ? std::fopen(t.target.c_str(), "r+b") : nullptr,
                                                           std::fclose);
  if (in.at() != t.textat || to == nullptr)
    return failure{std::string(noun) + " " + inquotes(t.output) + " is not being prepared by --join-placed", 0, {},
                   status_failed, true};
  if (result<void> copied = copy_at(in.file(), in.at(), to.get(), t.at, length); !copied)
    return failure{cannot("write", noun, t.output), copied.error().errnum};
  return {};
}

// Places the text of the merge the piece names, then marks it placed.
result<void> place_merge(const commandline& cl) {
  const std::string& work = cl.piece.work;
  result<fingerprint> fp = fingerprint_now(cl);
  if (!fp) return std::move(fp.error());
  piecein list;
  std::vector<textplace> places;
  if (result<void> loaded = loadplaces(list, places_name(work), fp.value(), places); !loaded) return loaded;
  for (const textplace& t : places)
    if (t.first == cl.piece.first)
      if (result<void> placed = place_text(fp.value(), t); !placed) return placed;
  pieceout done(piecekind::placed);
  putfingerprint(done, fp.value());
  done.put(cl.piece.first);
  return done.save(placed_name(work, cl.piece.first));
}

}  // namespace

int place_piece(const commandline& cl, std::FILE* err) { return piece_status(place_merge(cl), err); }

}  // namespace cellfreq

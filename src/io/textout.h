// textout: buffered text output with hand-written number formatting.
//
// Output is collected in a large buffer and handed to the file in big
// blocks, so a report of hundreds of megabytes costs few system calls. Once
// a first block is full, a background thread writes each full block while
// the next one is filled, so formatting and the system's copying overlap;
// small outputs never start it. Lines end with `eol`, the platform's line
// end by default (CRLF on Windows), which is written explicitly: files are
// opened in binary mode so that nothing else is ever translated. The first
// failed write is remembered and ends all further writing (a check at every
// put would cost the formatting loops their speed); failed() tells it on
// the way, and flush(), where the caller learns the outcome, returns it.
//
// A large output may be written around the page cache (bypasscache()):
// an output of many gigabytes then streams to the disk at the disk's speed
// instead of filling the cache with pages that must be found, filled and
// written back, and evicting the trace.
#pragma once

#include <array>
#include <bit>
#include <cerrno>
#include <cstddef>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "io/result.h"

#include "io/chunkalloc.h"

namespace cellfreq {

#ifdef _WIN32
inline constexpr std::string_view platform_eol = "\r\n";
#else
inline constexpr std::string_view platform_eol = "\n";
#endif

namespace textout_detail {

// The output's blocks, in storage that starts at a whole disk page.
using blockbuffer = std::vector<char, hugeallocator<char>>;

// "00" … "99", for formatting two digits at a time.
inline constexpr auto digitpairs = [] {
  std::array<char, 200> t{};
  for (int i = 0; i < 100; ++i) {
    t[static_cast<std::size_t>(2 * i)] = static_cast<char>('0' + i / 10);
    t[static_cast<std::size_t>(2 * i + 1)] = static_cast<char>('0' + i % 10);
  }
  return t;
}();

// The magnitude of v, also for the most negative value.
inline std::uint64_t magnitude(std::int64_t v) {
  const auto u = static_cast<std::uint64_t>(v);
  return v < 0 ? ~u + 1 : u;
}

}  // namespace textout_detail

// Writes the decimal digits of u at p (at most 20 bytes) and returns the
// end: the length is found first, then the digits are placed two at a time
// from the end, with no intermediate copy.
inline char* formatuint(char* p, std::uint64_t u) {
  using textout_detail::digitpairs;
  static constexpr std::uint64_t pow10[] = {1u, 10u, 100u, 1000u, 10000u, 100000u, 1000000u, 10000000u,
                                            100000000u, 1000000000u, 10000000000u, 100000000000u,
                                            1000000000000u, 10000000000000u, 100000000000000u,
                                            1000000000000000u, 10000000000000000u, 100000000000000000u,
                                            1000000000000000000u, 10000000000000000000u};
  // Digits from the bit length (1233 / 4096 ~ log10 2), then one correction.
  const int guess = (64 - std::countl_zero(u | 1)) * 1233 >> 12;
  const int n = guess + (u >= pow10[guess] || u == 0 ? 1 : 0);
  char* const end = p + n;
  char* q = end;
  while (u >= 100) {
    q -= 2;
    std::memcpy(q, &digitpairs[static_cast<std::size_t>(u % 100) * 2], 2);
    u /= 100;
  }
  if (u >= 10) std::memcpy(q - 2, &digitpairs[static_cast<std::size_t>(u) * 2], 2);
  else q[-1] = static_cast<char>('0' + u);
  return end;
}

// Writes "%d" of v at p (at most 20 bytes) and returns the end.
inline char* formatint(char* p, std::int64_t v) {
  if (v < 0) *p++ = '-';
  return formatuint(p, textout_detail::magnitude(v));
}

// Writes exactly `width` digits of v at p, zero-padded on the left ("%0*u"),
// and returns the end; v must be below 10^width. Two digits at a time, as
// formatuint places them.
inline char* formatpadded(char* p, std::uint32_t v, int width) {
  using textout_detail::digitpairs;
  int w = width;
  for (; w >= 2; w -= 2) {
    const std::uint32_t q = v / 100;
    std::memcpy(p + w - 2, &digitpairs[static_cast<std::size_t>(v - q * 100) * 2], 2);
    v = q;
  }
  if (w == 1) p[0] = static_cast<char>('0' + v);
  return p + width;
}

class textout {
public:
  static constexpr std::size_t default_block = std::size_t{1} << 20;
  // The most that claim() hands out at once; no buffer is smaller.
  static constexpr std::size_t max_claim = 256;

  // Writes to `f` (opened in binary mode, owned by the caller).
  explicit textout(std::FILE* f, std::string_view eol = platform_eol,
                   std::size_t block = default_block);
  // Appends to `sink`; for tests and in-memory runs.
  explicit textout(std::string& sink, std::string_view eol = platform_eol);
  // Hands every block to `sink`, in order, as it leaves the buffer: for an
  // output that another writer puts in place (see in_order.h).
  using block_sink = std::function<void(std::string_view)>;
  explicit textout(block_sink sink, std::string_view eol = platform_eol);

  ~textout();
  textout(const textout&) = delete;
  textout& operator=(const textout&) = delete;

  void put(char c) {
    if (pos_ == end_) drain();
    *pos_++ = c;
  }
  void put(std::string_view s) {
    // Inline so that the copy of a literal compiles to a few moves.
    if (s.size() <= static_cast<std::size_t>(end_ - pos_)) {
      std::memcpy(pos_, s.data(), s.size());
      pos_ += s.size();
    } else {
      putlong(s);
    }
  }
  void newline() { put(eol_); }

  // "%.3d": at least three digits, zero-padded, a minus sign before them.
  void putpad3(std::int32_t v) {
    if (v >= 0 && v <= 999) {
      room(3);
      pos_[0] = static_cast<char>('0' + v / 100);
      pos_[1] = static_cast<char>('0' + v / 10 % 10);
      pos_[2] = static_cast<char>('0' + v % 10);
      pos_ += 3;
    } else if (v > 999) {  // projected cells: no padding to add
      room(20);
      pos_ = formatuint(pos_, static_cast<std::uint32_t>(v));
    } else {
      putwide(v, 3);
    }
  }
  // "%d" of any 64-bit value.
  void putint(std::int64_t v) { putwide(v, 1); }

  // Direct formatting into the buffer, for formatters of many short lines:
  // claim(n) returns room for at least n bytes (n at most max_claim), and
  // advance(p) ends what was written there at p.
  char* claim(std::size_t n) {
    room(n);
    return pos_;
  }
  void advance(char* p) { pos_ = p; }
  std::string_view eol() const { return eol_; }

  // Lets the output go around the page cache once large: past its first
  // `after` bytes, whole blocks go to the disk directly where the system
  // and the file system allow it. The stream's own descriptor is left as
  // it was, but for its position, which moves with the writes as always,
  // so this is safe for a standard stream too. Must come before anything
  // is written.
  static constexpr std::uint64_t bypass_after = std::uint64_t{64} << 20;
  void bypasscache(std::uint64_t after = bypass_after) { bypassafter_ = after; }

  // Hands everything buffered to the file and flushes it; fails with the
  // error of the first write that failed, if any did.
  result<void> flush();
  // A failed write is known here once the block after it is handed over,
  // and at the latest after flush().
  bool failed() const { return error_ != 0; }
  int error() const { return error_; }
  // Ends all further writing as a failed write would, with `errnum`: for a
  // producer whose own input failed, so that the output is not taken for
  // complete.
  void abandon(int errnum) {
    if (error_ == 0) error_ = errnum != 0 ? errnum : EIO;
  }
  // Shows every byte to `watch` too, block by block as it leaves the
  // buffer, in order (null: no more): for a checksum of what was written.
  void tap(std::function<void(std::string_view)> watch) { tap_ = std::move(watch); }
  // Once `*stop` is set (from any thread), the next block handed on fails
  // the output with ECANCELED, as abandon() does: a long output then ends
  // within a block of the request. Null: never.
  void stopwhen(const std::atomic<bool>* stop) { stop_ = stop; }

private:
  void room(std::size_t n) {
    if (static_cast<std::size_t>(end_ - pos_) < n) drain();
  }
  void putwide(std::int64_t v, int mindigits);
  void putlong(std::string_view s);
  void drain(bool all = false);

  class writer;
  std::unique_ptr<writer> writer_;
  std::FILE* file_ = nullptr;
  block_sink sink_;
  textout_detail::blockbuffer buf_;
  std::uint64_t bypassafter_ = UINT64_MAX;
  char* pos_ = nullptr;
  char* end_ = nullptr;
  std::string eol_;
  std::function<void(std::string_view)> tap_;
  const std::atomic<bool>* stop_ = nullptr;
  int error_ = 0;
};

}  // namespace cellfreq

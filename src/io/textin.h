// textin: a forward-only character reader that applies text-mode rules
// identically on every platform.
//
// The trace and the cell file are opened in binary mode and translated here,
// so that a run gives the same records on Windows and elsewhere: a carriage
// return directly followed by a line feed reads as one '\n' (a lone carriage
// return is an ordinary character), and, where `ctrlz_ends` is set (the
// default on Windows only), a Ctrl-Z byte ends the input as Windows text mode
// ends it. Input is read in large blocks; a block boundary is invisible to the
// reader, including one that falls between the two bytes of a CRLF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

#include "io/textsource.h"

namespace cellfreq {

#ifdef _WIN32
inline constexpr bool platform_ctrlz_ends = true;
#else
inline constexpr bool platform_ctrlz_ends = false;
#endif

class textin {
public:
  static constexpr int eof = -1;
  static constexpr std::size_t default_block = std::size_t{1} << 20;

  // Reads `f` (opened in binary mode) in blocks of `block` bytes; `f` stays
  // owned by the caller.
  explicit textin(std::FILE* f, bool ctrlz_ends = platform_ctrlz_ends,
                  std::size_t block = default_block);
  // Reads the bytes that `src` gives, in the same blocks; `src` stays owned
  // by the caller and must outlive the reader.
  explicit textin(textsource& src, bool ctrlz_ends = platform_ctrlz_ends,
                  std::size_t block = default_block);
  // Reads an in-memory text; `text` must outlive the reader.
  explicit textin(std::string_view text, bool ctrlz_ends = platform_ctrlz_ends);

  textin(const textin&) = delete;
  textin& operator=(const textin&) = delete;

  // The next character after translation, or `eof`; does not consume it.
  int peek() {
    if (end_ - pos_ < 2 && !final_) fill();
    if (pos_ == end_) {
      end_seen_ = true;
      return eof;
    }
    const auto c = static_cast<unsigned char>(*pos_);
    if (c == '\r' && end_ - pos_ >= 2 && pos_[1] == '\n') return '\n';
    return c;
  }

  // Consumes the character that peek() returned; only valid after a peek()
  // that did not return `eof`.
  void skip() { pos_ += (*pos_ == '\r' && end_ - pos_ >= 2 && pos_[1] == '\n') ? 2 : 1; }

  // Reads and consumes one character, or returns `eof`.
  int get() {
    const int c = peek();
    if (c != eof) skip();
    return c;
  }

  // Direct access to the buffered bytes, for scanners that work on a span
  // and fall back to peek()/skip() near its end: [data(), limit()) are the
  // untranslated bytes not yet consumed, and complete() tells whether no
  // more will follow them.
  const char* data() const { return pos_; }
  const char* limit() const { return end_; }
  bool complete() const { return final_; }
  // Consumes the raw bytes up to `p`, which must lie in [data(), limit()]
  // and not split a CRLF pair.
  void consume_to(const char* p) { pos_ = p; }
  // Makes at least `n` bytes available in the span unless the input ends
  // first (n must not exceed the block size).
  void want(std::size_t n) {
    if (static_cast<std::size_t>(end_ - pos_) < n && !final_) fill();
  }

  // The error number of a failed read (the system's, or the source's), or
  // 0. A failed read ends the input, so every later peek() returns `eof`.
  int error() const { return error_; }

  // Raw bytes taken from the underlying file so far (for progress reports).
  std::uint64_t bytes_read() const { return bytes_read_; }

  // Raw bytes consumed so far, counted from where the reader started.
  std::uint64_t offset() const { return bytes_read_ - static_cast<std::uint64_t>(end_ - pos_); }

  // Reads at most `n` more raw bytes from the file: the input ends there as
  // if the file did. Used to parse one part of a file.
  void limit_to(std::uint64_t n) { limit_ = bytes_read_ + n; }

  // Whether a read has met the end of the input; scanners that work on the
  // span directly report it with note_end().
  bool end_seen() const { return end_seen_; }
  void note_end() { end_seen_ = true; }

  // Whether the input ended at a Ctrl-Z rather than at the end of the file.
  bool ended_by_ctrlz() const { return ctrlz_hit_; }

  // Called after each block is read with the running byte count.
  using progressfn = void (*)(void* ctx, std::uint64_t bytes);
  void on_progress(progressfn fn, void* ctx) { progress_ = fn; progress_ctx_ = ctx; }

private:
  void fill();
  void cut_at_ctrlz(const char* from);

  filesource file_{nullptr};
  textsource* source_ = nullptr;  // nullptr for an in-memory text
  std::vector<char> buf_;
  const char* pos_ = nullptr;
  const char* end_ = nullptr;
  bool final_ = false;  // no more data will arrive after end_
  bool ctrlz_ = false;
  int error_ = 0;
  std::uint64_t bytes_read_ = 0;
  std::uint64_t limit_ = UINT64_MAX;
  bool ctrlz_hit_ = false;
  bool end_seen_ = false;
  progressfn progress_ = nullptr;
  void* progress_ctx_ = nullptr;
};

}  // namespace cellfreq

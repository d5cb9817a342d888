// output: the generator's output stream. Lines are formatted straight into
// one large buffer, which goes to the file as it is or through zlib's
// deflate.
//
// The project's textout is not used: it cannot compress on the way out, and
// --bytes bounds the bytes before compression, which only this buffer sees.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tracegen {

class writer {
public:
  // Room for far more than one line past the cursor, whenever need_flush()
  // is false.
  static constexpr std::size_t line_reserve = 512;

  // Writes to `f` (opened in binary mode, owned by the caller), gzip
  // compressed at level 1 when `gzip` is set.
  writer(std::FILE* f, bool gzip);
  ~writer();
  writer(const writer&) = delete;
  writer& operator=(const writer&) = delete;

  // Formatting goes to cursor(), and advance(end) keeps it; callers check
  // need_flush() once per line and then flush().
  char* cursor() { return buf_.data() + used_; }
  void advance(char* end) { used_ = static_cast<std::size_t>(end - buf_.data()); }
  bool need_flush() const { return used_ > buffer_size - line_reserve; }

  // Hands the buffer on (to the file, or to deflate); false once a write
  // or the compressor failed.
  bool flush();
  // Hands on what is left and, compressed, ends the gzip stream.
  bool finish();
  // The bytes formatted so far, before any compression: what --bytes bounds.
  std::uint64_t total() const { return written_ + used_; }

private:
  bool put(const char* p, std::size_t n);
  bool compress(int mode);

  static constexpr std::size_t buffer_size = std::size_t{4} << 20;
  // Level 1: a sixth of the time of level 6 (2.3 s against 13.6 s for a
  // 200 MB trace) for a file 18 % larger.
  static constexpr int gzip_level = 1;

  std::FILE* f_;
  std::vector<char> buf_;
  std::size_t used_ = 0;
  std::uint64_t written_ = 0;
  bool gzip_ = false;
  bool zok_ = false;
  z_stream z_{};
  std::vector<char> zbuf_;
};

// The stream to write to: standard output for an empty `path` (switched to
// binary mode on Windows, whose text mode would turn every "\n" into
// "\r\n" and break byte equality with the other platforms), else the file
// `path` created anew; null when it cannot be opened.
std::FILE* open_output(const std::string& path);

}  // namespace tracegen

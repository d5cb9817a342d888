// gzsource: the bytes of a gzip-compressed file, decompressed on the fly,
// as a textsource for textin.
//
// Every member of the file is decompressed in turn, so concatenated members
// (`cat a.gz b.gz`, parallel compressors) read as one text. The input ends
// cleanly only at the end of a member; anything else is a failure that ends
// the input with a nonzero error number and a reason for the message:
// "truncated gzip data" when the file ends inside a member (or holds no
// member at all), "corrupt gzip data" for bytes that are no gzip data
// (also after a member) or a failed check sum, and the system's text for a
// failed read. A member's check sum is tested at its end, after its text
// was handed on, so a reader must discard everything it read from a source
// that failed (as a run does with a trace that cannot be read).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include <zlib.h>

#include "trace/textsource.h"

namespace cellfreq {

class gzsource final : public textsource {
public:
  static constexpr std::size_t input_block = std::size_t{256} << 10;

  // Reads `f` (binary mode, owned by the caller). With `sniff`, the bytes
  // are decompressed only if they start with the gzip magic bytes 1f 8b and
  // are otherwise passed on unchanged (standard input); without it they are
  // always decompressed (a file named *.gz).
  gzsource(std::FILE* f, bool sniff);
  ~gzsource() override;
  gzsource(const gzsource&) = delete;
  gzsource& operator=(const gzsource&) = delete;

  std::size_t read(char* buf, std::size_t n, int& error) override;

  // Whether the bytes are being decompressed (false: passed on as read).
  bool compressed() const { return compressed_; }
  // Why the input failed ("truncated gzip data", "corrupt gzip data", the
  // system's text of a read error), or nullptr while it has not.
  const char* reason() const;
  // Bytes taken from the file so far, compressed or not (for progress).
  std::uint64_t consumed() const { return consumed_; }

private:
  std::size_t refill();
  std::size_t pass(char* buf, std::size_t n);
  std::size_t decompress(char* buf, std::size_t n);
  void fail(int error, const char* reason);

  std::FILE* file_;
  std::vector<unsigned char> in_;
  z_stream z_{};
  bool compressed_ = false;
  bool ready_ = false;      // z_ is initialised
  bool inmember_ = false;   // input taken since the last member ended
  bool anymember_ = false;  // at least one member has ended
  bool eof_ = false;        // the file has no more bytes
  bool done_ = false;       // no more bytes will be handed on
  int error_ = 0;
  const char* reason_ = nullptr;
  std::uint64_t consumed_ = 0;
};

}  // namespace cellfreq

// gzsource: the bytes of a gzip-compressed file, decompressed on the fly,
// as a textsource for textin.
//
// Every member of the file is decompressed in turn, so concatenated members
// (`cat a.gz b.gz`, parallel compressors) read as one text. The input ends
// cleanly only at the end of a member; anything else is a failure that ends
// the input with a nonzero error number and a reason for the message:
// "truncated gzip data" when the file ends inside a member (or holds no
// member at all), "corrupt gzip data" for bytes that are no gzip data
// (also after a member) or a failed check, and the system's text for a
// failed read. A member's check sum is tested at its end, after its text
// was handed on, so a reader must discard everything it read from a source
// that failed (as a run does with a trace that cannot be read).
//
// Decompression runs on a thread of its own, a few blocks ahead of the
// reader, so that inflating and parsing overlap; memory stays bounded by
// those blocks. Plain input is passed on by the reader's thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "io/textsource.h"

namespace cellfreq {

class gzsource final : public textsource {
public:
  static constexpr std::size_t input_block = std::size_t{256} << 10;
  static constexpr std::size_t output_block = std::size_t{1} << 20;
  static constexpr std::size_t output_blocks = 3;

  // Reads `f` (binary mode, owned by the caller, which must not touch it
  // until the source is gone). With `sniff`, the bytes are decompressed
  // only if they start with the gzip magic bytes 1f 8b, and are otherwise
  // passed on unchanged (standard input); without it they are always
  // decompressed (a file named *.gz).
  gzsource(std::FILE* f, bool sniff);
  // Stops the decompression, once the block at hand is done.
  ~gzsource() override;
  gzsource(const gzsource&) = delete;
  gzsource& operator=(const gzsource&) = delete;

  std::size_t read(char* buf, std::size_t n, int& error) override;

  // Whether the bytes are being decompressed (false: passed on as read).
  bool compressed() const { return inflater_ != nullptr; }
  // Why the input failed ("truncated gzip data", "corrupt gzip data", the
  // system's text of a read error), or nullptr while no read has failed.
  const char* reason() const;
  // Bytes taken from the file so far, compressed or not (for progress).
  std::uint64_t consumed() const { return consumed_.load(std::memory_order_relaxed); }

private:
  class inflater;
  std::size_t pass(char* buf, std::size_t n);
  std::size_t take(char* buf, std::size_t n);
  void fail(int error, const char* reason);

  std::FILE* file_;
  unsigned char held_[2] = {};  // the sniffed bytes not yet passed on
  std::size_t nheld_ = 0;
  bool done_ = false;  // no more bytes will be handed on
  int error_ = 0;
  const char* reason_ = nullptr;
  std::atomic<std::uint64_t> consumed_{0};
  // The block of text being handed on: [at_, end_), the last one if last_.
  const char* at_ = nullptr;
  const char* end_ = nullptr;
  bool last_ = false;
  std::unique_ptr<inflater> inflater_;
};

}  // namespace cellfreq

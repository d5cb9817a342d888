// textsource: where a textin takes its raw bytes from.
//
// A reader of a plain file reads it with fread; a source lets the same
// reader take bytes that are made on the way (decompressed, for one). The
// reader asks for one large block at a time, so one indirect call per block
// is all that a source costs.
#pragma once

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>

namespace cellfreq {

// The longest line of a trace that a reader holds in memory at once: the
// TAB dialect's parses past it in one go, the CSV reader skips a longer row
// as a bad one.
inline constexpr std::size_t longest_line = std::size_t{64} << 20;

class textsource {
public:
  virtual ~textsource() = default;
  // Fills buf with up to n bytes and returns their number. Fewer than n only
  // at the end of the input or on a failure; a failure also sets `error` to
  // a nonzero errno-like number (left alone otherwise), and ends the input.
  virtual std::size_t read(char* buf, std::size_t n, int& error) = 0;
};

// The bytes of a file opened in binary mode, as fread gives them; the file
// stays owned by the caller.
class filesource final : public textsource {
public:
  explicit filesource(std::FILE* f) : file_(f) {}
  std::size_t read(char* buf, std::size_t n, int& error) override;

private:
  std::FILE* file_;
};

// The bytes of `inner` until `*stop` is set (from any thread): from then on
// the input fails with ECANCELED, so that a reader asked to stop ends at
// its next block. A null `stop` never stops.
class stoppablesource final : public textsource {
public:
  stoppablesource(textsource& inner, const std::atomic<bool>* stop) : inner_(inner), stop_(stop) {}
  std::size_t read(char* buf, std::size_t n, int& error) override {
    if (stop_ != nullptr && stop_->load(std::memory_order_relaxed)) {
      error = ECANCELED;
      return 0;
    }
    return inner_.read(buf, n, error);
  }

private:
  textsource& inner_;
  const std::atomic<bool>* stop_;
};

}  // namespace cellfreq

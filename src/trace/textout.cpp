// Block writing and general integer formatting for textout.
#include "trace/textout.h"

#include <algorithm>
#include <cerrno>

namespace cellfreq {

textout::textout(std::FILE* f, std::string_view eol, std::size_t block)
    : file_(f), buf_(block < 64 ? 64 : block), eol_(eol) {
  pos_ = buf_.data();
  end_ = pos_ + buf_.size();
}

textout::textout(std::string& sink, std::string_view eol)
    : sink_(&sink), buf_(64 * 1024), eol_(eol) {
  pos_ = buf_.data();
  end_ = pos_ + buf_.size();
}

void textout::put(std::string_view s) {
  while (!s.empty()) {
    if (pos_ == end_) drain();
    const std::size_t n = std::min(s.size(), static_cast<std::size_t>(end_ - pos_));
    std::memcpy(pos_, s.data(), n);
    pos_ += n;
    s.remove_prefix(n);
  }
}

void textout::putwide(std::int64_t v, int mindigits) {
  room(24);
  std::uint64_t u = static_cast<std::uint64_t>(v);
  if (v < 0) {
    *pos_++ = '-';
    u = ~u + 1;  // magnitude, also for the most negative value
  }
  char digits[20];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u != 0);
  for (int i = n; i < mindigits; ++i) *pos_++ = '0';
  while (n > 0) *pos_++ = digits[--n];
}

// Empties the buffer into the file. After a failure the buffer is simply
// discarded, so a broken output costs no further system calls.
void textout::drain() {
  const auto n = static_cast<std::size_t>(pos_ - buf_.data());
  if (n != 0 && error_ == 0) {
    if (sink_ != nullptr) {
      sink_->append(buf_.data(), n);
    } else {
      errno = 0;
      if (std::fwrite(buf_.data(), 1, n, file_) != n) error_ = errno != 0 ? errno : EIO;
    }
  }
  pos_ = buf_.data();
}

bool textout::flush() {
  drain();
  if (error_ == 0 && file_ != nullptr) {
    errno = 0;
    if (std::fflush(file_) != 0) error_ = errno != 0 ? errno : EIO;
  }
  return error_ == 0;
}

}  // namespace cellfreq

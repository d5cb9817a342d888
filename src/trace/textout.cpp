// Block writing and general integer formatting for textout.
#include "trace/textout.h"

#include <algorithm>
#include <array>
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

void textout::putlong(std::string_view s) {
  while (!s.empty()) {
    if (pos_ == end_) drain();
    const std::size_t n = std::min(s.size(), static_cast<std::size_t>(end_ - pos_));
    std::memcpy(pos_, s.data(), n);
    pos_ += n;
    s.remove_prefix(n);
  }
}

namespace {

// "00" … "99", for formatting two digits at a time.
constexpr auto digitpairs = [] {
  std::array<char, 200> t{};
  for (int i = 0; i < 100; ++i) {
    t[static_cast<std::size_t>(2 * i)] = static_cast<char>('0' + i / 10);
    t[static_cast<std::size_t>(2 * i + 1)] = static_cast<char>('0' + i % 10);
  }
  return t;
}();

}  // namespace

void textout::putwide(std::int64_t v, int mindigits) {
  room(24);
  std::uint64_t u = static_cast<std::uint64_t>(v);
  if (v < 0) {
    *pos_++ = '-';
    u = ~u + 1;  // magnitude, also for the most negative value
  }
  char digits[20];
  char* d = digits + sizeof digits;
  while (u >= 100) {
    const auto pair = static_cast<std::size_t>(u % 100) * 2;
    u /= 100;
    *--d = digitpairs[pair + 1];
    *--d = digitpairs[pair];
  }
  if (u >= 10) {
    *--d = digitpairs[static_cast<std::size_t>(u) * 2 + 1];
    *--d = digitpairs[static_cast<std::size_t>(u) * 2];
  } else {
    *--d = static_cast<char>('0' + u);
  }
  const auto n = static_cast<int>(digits + sizeof digits - d);
  for (int i = n; i < mindigits; ++i) *pos_++ = '0';
  std::memcpy(pos_, d, static_cast<std::size_t>(n));
  pos_ += n;
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

// Block reading and Ctrl-Z handling for textin.
#include "io/textin.h"

#include <cerrno>
#include <cstring>

namespace cellfreq {

// fread's count; a short count with the file's error flag set is a failure.
std::size_t filesource::read(char* buf, std::size_t n, int& error) {
  errno = 0;
  const std::size_t got = std::fread(buf, 1, n, file_);
  if (got < n && std::ferror(file_)) error = errno != 0 ? errno : EIO;
  return got;
}

textin::textin(std::FILE* f, bool ctrlz_ends, std::size_t block)
    : file_(f), source_(&file_), buf_(block < 16 ? 16 : block), ctrlz_(ctrlz_ends) {
  pos_ = end_ = buf_.data();
}

textin::textin(textsource& src, bool ctrlz_ends, std::size_t block)
    : source_(&src), buf_(block < 16 ? 16 : block), ctrlz_(ctrlz_ends) {
  pos_ = end_ = buf_.data();
}

textin::textin(std::string_view text, bool ctrlz_ends)
    : pos_(text.data()), end_(text.data() + text.size()), final_(true), ctrlz_(ctrlz_ends) {
  bytes_read_ = text.size();
  cut_at_ctrlz(pos_);
}

// Ends the input at the first Ctrl-Z at or after `from`, when enabled.
void textin::cut_at_ctrlz(const char* from) {
  if (!ctrlz_ || from == end_) return;
  const void* z = std::memchr(from, 0x1A, static_cast<std::size_t>(end_ - from));
  if (z != nullptr) {
    end_ = static_cast<const char*>(z);
    final_ = true;
    ctrlz_hit_ = true;
  }
}

// Keeps the unread tail, then reads the next block behind it; the buffer
// grows when the tail fills half of it, so a caller's want() is always met.
// A short read ends the input, recording the source's error if any.
void textin::fill() {
  if (source_ == nullptr) {
    final_ = true;
    return;
  }
  const auto tail = static_cast<std::size_t>(end_ - pos_);
  if (tail * 2 > buf_.size()) {
    std::vector<char> bigger(tail * 2);
    std::memcpy(bigger.data(), pos_, tail);
    buf_.swap(bigger);
  } else {
    std::memmove(buf_.data(), pos_, tail);
  }
  char* base = buf_.data();
  pos_ = base;
  end_ = base + tail;
  std::size_t room = buf_.size() - tail;
  if (limit_ - bytes_read_ < room) room = static_cast<std::size_t>(limit_ - bytes_read_);
  const std::size_t got = source_->read(base + tail, room, error_);
  if (got < room) final_ = true;
  bytes_read_ += got;
  if (bytes_read_ >= limit_) final_ = true;
  end_ = base + tail + got;
  cut_at_ctrlz(base + tail);
  if (progress_ != nullptr) progress_(progress_ctx_, bytes_read_);
}

}  // namespace cellfreq

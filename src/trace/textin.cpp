// Block reading and Ctrl-Z handling for textin.
#include "trace/textin.h"

#include <cerrno>
#include <cstring>

namespace cellfreq {

textin::textin(std::FILE* f, bool ctrlz_ends, std::size_t block)
    : file_(f), buf_(block < 16 ? 16 : block), ctrlz_(ctrlz_ends) {
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
// A short read with an error records errno and ends the input.
void textin::fill() {
  if (file_ == nullptr) {
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
  errno = 0;
  const std::size_t got = std::fread(base + tail, 1, room, file_);
  if (got < room) {
    final_ = true;
    if (std::ferror(file_)) error_ = errno != 0 ? errno : EIO;
  }
  bytes_read_ += got;
  if (bytes_read_ >= limit_) final_ = true;
  end_ = base + tail + got;
  cut_at_ctrlz(base + tail);
  if (progress_ != nullptr) progress_(progress_ctx_, bytes_read_);
}

}  // namespace cellfreq

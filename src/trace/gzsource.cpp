// Decompression of gzip members with zlib's inflate, straight into the
// reader's buffer, and the pass-through of plain input.
#include "trace/gzsource.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace cellfreq {

namespace {
constexpr int gzip_window = MAX_WBITS + 16;  // gzip wrapper only, largest window
constexpr const char* truncated = "truncated gzip data";
constexpr const char* corrupt = "corrupt gzip data";
}  // namespace

gzsource::gzsource(std::FILE* f, bool sniff) : file_(f), in_(input_block) {
  compressed_ = true;
  if (sniff) {
    // The two bytes stay in the input buffer, to be decompressed or passed on.
    errno = 0;
    const std::size_t got = std::fread(in_.data(), 1, 2, file_);
    consumed_ = got;
    if (got < 2 && std::ferror(file_)) fail(errno != 0 ? errno : EIO, nullptr);
    compressed_ = got == 2 && in_[0] == 0x1f && in_[1] == 0x8b;
    z_.next_in = in_.data();
    z_.avail_in = static_cast<uInt>(got);
  }
  if (!compressed_ || error_ != 0) return;
  const int r = inflateInit2(&z_, gzip_window);
  if (r != Z_OK) {
    fail(ENOMEM, r == Z_MEM_ERROR ? "out of memory" : "zlib version mismatch");
    return;
  }
  ready_ = true;
}

gzsource::~gzsource() {
  if (ready_) inflateEnd(&z_);
}

const char* gzsource::reason() const {
  if (reason_ != nullptr || error_ == 0) return reason_;
  return std::strerror(error_);
}

// Ends the input with `error`; `reason` is nullptr for a system error.
void gzsource::fail(int error, const char* reason) {
  error_ = error;
  reason_ = reason;
  done_ = true;
}

std::size_t gzsource::read(char* buf, std::size_t n, int& error) {
  std::size_t got = 0;
  if (!done_) got = compressed_ ? decompress(buf, n) : pass(buf, n);
  if (error_ != 0) error = error_;
  return got;
}

// Refills the empty input buffer from the file; 0 at its end or on a
// failed read (then the source has failed).
std::size_t gzsource::refill() {
  errno = 0;
  const std::size_t got = std::fread(in_.data(), 1, in_.size(), file_);
  if (got < in_.size()) {
    eof_ = true;
    if (std::ferror(file_)) fail(errno != 0 ? errno : EIO, nullptr);
  }
  consumed_ += got;
  z_.next_in = in_.data();
  z_.avail_in = static_cast<uInt>(got);
  return got;
}

// Plain input: the sniffed bytes, then the file's own.
std::size_t gzsource::pass(char* buf, std::size_t n) {
  const std::size_t held = std::min<std::size_t>(z_.avail_in, n);
  std::memcpy(buf, z_.next_in, held);
  z_.next_in += held;
  z_.avail_in -= static_cast<uInt>(held);
  errno = 0;
  const std::size_t got = held + std::fread(buf + held, 1, n - held, file_);
  consumed_ += got - held;
  if (got < n) {
    done_ = true;
    if (std::ferror(file_)) fail(errno != 0 ? errno : EIO, nullptr);
  }
  return got;
}

// Inflates into buf until it is full or the input ends. A member's end
// restarts the inflater for the next one; the file may end only there.
std::size_t gzsource::decompress(char* buf, std::size_t n) {
  auto* out = reinterpret_cast<Bytef*>(buf);
  const Bytef* const end = out + n;
  while (out != end) {
    if (z_.avail_in == 0 && !eof_ && refill() == 0 && error_ != 0) break;
    if (z_.avail_in == 0 && eof_ && !inmember_) {
      if (!anymember_) fail(ENODATA, truncated);
      done_ = true;
      break;
    }
    inmember_ = true;
    z_.next_out = out;
    z_.avail_out = static_cast<uInt>(std::min<std::size_t>(static_cast<std::size_t>(end - out), UINT_MAX));
    const int r = inflate(&z_, Z_NO_FLUSH);
    out = z_.next_out;
    if (r == Z_STREAM_END) {
      inmember_ = false;
      anymember_ = true;
      inflateReset(&z_);
    } else if (r == Z_BUF_ERROR && eof_ && z_.avail_in == 0) {
      fail(ENODATA, truncated);  // nothing left to finish the member with
    } else if (r == Z_MEM_ERROR) {
      fail(ENOMEM, "out of memory");
    } else if (r != Z_OK && r != Z_BUF_ERROR) {
      fail(EILSEQ, corrupt);
    }
    if (done_) break;
  }
  return static_cast<std::size_t>(out - reinterpret_cast<Bytef*>(buf));
}

}  // namespace cellfreq

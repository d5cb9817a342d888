// The output buffer, its plain and deflated ways to the file, and the
// choice of the file.
#include "output.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace tracegen {

// A compressor that cannot be set up fails the first flush, so that the
// run reports a write error rather than a trace that is not gzip.
writer::writer(std::FILE* f, bool gzip) : f_(f), buf_(buffer_size) {
  if (!gzip) return;
  gzip_ = true;
  zok_ = deflateInit2(&z_, gzip_level, Z_DEFLATED, MAX_WBITS + 16, 8, Z_DEFAULT_STRATEGY) == Z_OK;
  zbuf_.resize(buffer_size);
}

writer::~writer() {
  if (gzip_ && zok_) deflateEnd(&z_);
}

bool writer::flush() {
  const bool ok = gzip_ ? compress(Z_NO_FLUSH) : put(buf_.data(), used_);
  written_ += used_;
  used_ = 0;
  return ok;
}

bool writer::finish() { return flush() && (!gzip_ || compress(Z_FINISH)); }

bool writer::put(const char* p, std::size_t n) { return n == 0 || std::fwrite(p, 1, n, f_) == n; }

// Deflates the buffered lines (ending the stream with Z_FINISH) and writes
// every full or final output buffer.
bool writer::compress(int mode) {
  if (!zok_) return false;
  z_.next_in = reinterpret_cast<Bytef*>(buf_.data());
  z_.avail_in = static_cast<uInt>(used_);
  do {
    z_.next_out = reinterpret_cast<Bytef*>(zbuf_.data());
    z_.avail_out = static_cast<uInt>(zbuf_.size());
    if (deflate(&z_, mode) == Z_STREAM_ERROR) return false;
    if (!put(zbuf_.data(), zbuf_.size() - z_.avail_out)) return false;
  } while (z_.avail_out == 0);
  return true;
}

std::FILE* open_output(const std::string& path) {
  if (!path.empty()) return std::fopen(path.c_str(), "wb");
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  return stdout;
}

}  // namespace tracegen

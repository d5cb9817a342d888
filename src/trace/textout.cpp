// Block writing and general integer formatting for textout.
#include "trace/textout.h"

#include "trace/directio.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>

#ifdef __linux__
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace cellfreq {

textout::textout(std::FILE* f, std::string_view eol, std::size_t block)
    : file_(f), buf_(std::max(block, max_claim)), eol_(eol) {
  pos_ = buf_.data();
  end_ = pos_ + buf_.size();
}

// Writes one block at a time on its own thread. The owner hands over a
// full buffer and gets back the one written before, so exactly two buffers
// circulate and memory stays bounded. Past `bypassafter` bytes, blocks of
// whole pages go to the file descriptor opened for direct transfers, and
// anything else (the last block) through it with the flag cleared again.
class textout::writer {
public:
  explicit writer(std::FILE* f, std::size_t block, std::uint64_t bypassafter)
      : file_(f), block_(block), bypassafter_(bypassafter), thread_([this] { loop(); }) {}
  ~writer() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
#ifdef O_DIRECT
    if (direct_) setdirect(fd_, false);
#endif
  }
  writer(const writer&) = delete;
  writer& operator=(const writer&) = delete;

  // Waits for the previous block, then takes the first n bytes of `buf`
  // and leaves the previous (written) buffer in its place. Returns the
  // error of the writes so far, or 0.
  int submit(textout_detail::blockbuffer& buf, std::size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return !busy_; });
    block_.swap(buf);
    buf.resize(block_.size());
    length_ = n;
    busy_ = true;
    wake_.notify_all();
    return error_;
  }
  // Waits until every block handed over is written; the first error, or 0.
  int wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return !busy_; });
    return error_;
  }

private:
  void loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return busy_ || stop_; });
      if (!busy_) return;
      lock.unlock();
      // Only this thread sets error_ while busy_.
      const int err = error_ == 0 ? put(block_.data(), length_) : 0;
      lock.lock();
      if (error_ == 0) error_ = err;
      busy_ = false;
      idle_.notify_all();
    }
  }

  // Writes [p, p + n) to the file; 0 or the error.
  int put(const char* p, std::size_t n) {
    written_ += n;
#ifdef O_DIRECT
    const bool whole = wholepages(p, n, 0);
    if (!tried_ && whole && written_ - n >= bypassafter_) takeover();
    if (fd_ >= 0) {
      if (direct_ && !whole) direct_ = !setdirect(fd_, false);
      std::int64_t here = -1;
      int err = writefully(fd_, p, n, here);
      if (err == EINVAL && direct_) {  // a file system that takes the flag but not the transfer
        direct_ = !setdirect(fd_, false);
        err = writefully(fd_, p, n, here);
      }
      return err;
    }
#endif
    errno = 0;
    return std::fwrite(p, 1, n, file_) == n ? 0 : errno != 0 ? errno : EIO;
  }

#ifdef O_DIRECT
  // Flushes the stream and takes its descriptor over for direct
  // transfers, if it is a regular file positioned at a whole page and the
  // system and file system take the flag; otherwise the writes stay as
  // they were. Tried once.
  void takeover() {
    tried_ = true;
    struct stat st {};
    const int fd = std::fflush(file_) == 0 ? ::fileno(file_) : -1;
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
    const off_t at = ::lseek(fd, 0, SEEK_CUR);
    if (at < 0 || !wholepages(nullptr, 0, static_cast<std::uint64_t>(at)) || !setdirect(fd, true)) return;
    fd_ = fd;
    direct_ = true;
  }

  int fd_ = -1;  // the stream's descriptor, once taken over
  bool tried_ = false;
  bool direct_ = false;
#endif

  std::FILE* file_;
  textout_detail::blockbuffer block_;
  std::uint64_t written_ = 0;
  std::uint64_t bypassafter_;
  std::size_t length_ = 0;
  bool busy_ = false;
  bool stop_ = false;
  int error_ = 0;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::thread thread_;  // last: starts once the rest is ready
};

textout::~textout() = default;

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

void textout::putwide(std::int64_t v, int mindigits) {
  room(24);
  if (v < 0) *pos_++ = '-';
  char digits[20];
  const auto n = static_cast<int>(formatuint(digits, textout_detail::magnitude(v)) - digits);
  for (int i = n; i < mindigits; ++i) *pos_++ = '0';
  std::memcpy(pos_, digits, static_cast<std::size_t>(n));
  pos_ += n;
}

// Empties the full buffer into the file, through the background writer
// (started here, on the first full buffer). After a failure the buffer is
// simply discarded, so a broken output costs no further system calls.
void textout::drain(bool all) {
  const auto n = static_cast<std::size_t>(pos_ - buf_.data());
  pos_ = buf_.data();
  if (n == 0 || error_ != 0) return;
  if (sink_ != nullptr) {
    sink_->append(buf_.data(), n);
    return;
  }
  if (writer_ == nullptr) writer_ = std::make_unique<writer>(file_, buf_.size(), bypassafter_);
  // A file that may bypass the cache is handed over in whole pages until
  // the end; the bytes past the last whole page begin the next block.
  const bool pages = bypassafter_ != UINT64_MAX && !all && buf_.size() >= 16 * diskpage;
  const std::size_t whole = pages ? n / diskpage * diskpage : n;
  char rest[diskpage];
  std::memcpy(rest, buf_.data() + whole, n - whole);
  error_ = writer_->submit(buf_, whole);
  end_ = buf_.data() + buf_.size();
  std::memcpy(buf_.data(), rest, n - whole);
  pos_ = buf_.data() + (n - whole);
}

bool textout::flush() {
  if (writer_ == nullptr && file_ != nullptr) {
    // An output that never filled a block: one write, no thread.
    const auto n = static_cast<std::size_t>(pos_ - buf_.data());
    errno = 0;
    if (n != 0 && error_ == 0 && std::fwrite(buf_.data(), 1, n, file_) != n) error_ = errno != 0 ? errno : EIO;
    pos_ = buf_.data();
  } else {
    drain(true);
    if (writer_ != nullptr && error_ == 0) error_ = writer_->wait();
  }
  if (error_ == 0 && file_ != nullptr) {
    errno = 0;
    if (std::fflush(file_) != 0) error_ = errno != 0 ? errno : EIO;
  }
  return error_ == 0;
}

}  // namespace cellfreq

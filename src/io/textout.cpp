// Block writing and general integer formatting for textout.
#include "io/textout.h"

#include "io/directio.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <string>
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
// whole pages go to the file through a descriptor of the writer's own,
// opened for direct transfers; the stream's descriptor is moved past each
// of them, so that whoever shares it (a shell's redirection, say) finds its
// position where ordinary writes would have left it, also when the run is
// cut short. Anything else (the last block) goes through the stream's
// descriptor, so no data is ever left in the cache behind the private one.
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
    release();
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
    if (!tried_ && wholepages(p, n, 0) && written_ - n >= bypassafter_) takeover();
    if (direct_ >= 0 && wholepages(p, n, static_cast<std::uint64_t>(at_))) {
      const int err = errnumof(writefully(direct_, p, n, at_));
      if (err != EINVAL) return err != 0 ? err : movestream();
      // A file system that opens for direct transfers but refuses this one:
      // ordinary writes from here on, behind what did go out.
      release();
      if (const int moved = movestream(); moved != 0) return moved;
    }
    if (stream_ >= 0) {
      // The stream's position is where direct writes go on, so it is
      // followed through ordinary writes too (a flush in mid-output hands
      // over a block that is no whole pages).
      std::int64_t here = -1;
      const std::size_t left = n;
      const int err = errnumof(writefully(stream_, p, n, here));
      at_ += static_cast<std::int64_t>(left - n);
      return err;
    }
#endif
    errno = 0;
    return std::fwrite(p, 1, n, file_) == n ? 0 : errno != 0 ? errno : EIO;
  }

#ifdef O_DIRECT
  // Flushes the stream and opens its file a second time for direct
  // transfers, if it is a regular file positioned at a whole page, not
  // opened for appending (where the position is not the stream's to keep),
  // and the system and file system take the flag; otherwise the writes
  // stay as they were. Tried once.
  void takeover() {
    tried_ = true;
    struct stat st {}, again {};
    const int fd = std::fflush(file_) == 0 ? ::fileno(file_) : -1;
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
    const int flags = ::fcntl(fd, F_GETFL);
    const off_t at = ::lseek(fd, 0, SEEK_CUR);
    if (flags < 0 || (flags & O_APPEND) != 0 || at < 0 || !wholepages(nullptr, 0, static_cast<std::uint64_t>(at)))
      return;
    stream_ = fd;
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const int direct = ::open(self.c_str(), O_WRONLY | O_DIRECT | O_CLOEXEC);
    if (direct < 0) return;
    if (::fstat(direct, &again) != 0 || again.st_dev != st.st_dev || again.st_ino != st.st_ino) {
      ::close(direct);
      return;
    }
    direct_ = direct;
    at_ = at;
  }
  // Puts the stream's descriptor where the direct writes ended.
  int movestream() const { return ::lseek(stream_, static_cast<off_t>(at_), SEEK_SET) < 0 ? errno : 0; }
  // Closes the descriptor of direct transfers; it holds nothing cached.
  void release() {
    if (direct_ >= 0) ::close(direct_);
    direct_ = -1;
  }

  int stream_ = -1;  // the stream's descriptor, once taken over
  int direct_ = -1;  // the file opened again for direct transfers
  std::int64_t at_ = 0;  // where the next direct write goes
  bool tried_ = false;
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
    : textout([&sink](std::string_view s) { sink.append(s); }, eol) {}

textout::textout(block_sink sink, std::string_view eol) : sink_(std::move(sink)), buf_(64 * 1024), eol_(eol) {
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
  if (stop_ != nullptr && stop_->load(std::memory_order_relaxed)) abandon(ECANCELED);
  const auto n = static_cast<std::size_t>(pos_ - buf_.data());
  pos_ = buf_.data();
  if (n == 0 || error_ != 0) return;
  if (sink_) {
    if (tap_) tap_({buf_.data(), n});
    sink_({buf_.data(), n});
    return;
  }
  if (writer_ == nullptr) writer_ = std::make_unique<writer>(file_, buf_.size(), bypassafter_);
  // A file that may bypass the cache is handed over in whole pages until
  // the end; the bytes past the last whole page begin the next block.
  const bool pages = bypassafter_ != UINT64_MAX && !all && buf_.size() >= 16 * diskpage;
  const std::size_t whole = pages ? n / diskpage * diskpage : n;
  char rest[diskpage];
  std::memcpy(rest, buf_.data() + whole, n - whole);
  if (tap_) tap_({buf_.data(), whole});
  error_ = writer_->submit(buf_, whole);
  end_ = buf_.data() + buf_.size();
  std::memcpy(buf_.data(), rest, n - whole);
  pos_ = buf_.data() + (n - whole);
}

result<void> textout::flush() {
  if (stop_ != nullptr && stop_->load(std::memory_order_relaxed)) abandon(ECANCELED);
  if (writer_ == nullptr && file_ != nullptr) {
    // An output that never filled a block: one write, no thread.
    const auto n = static_cast<std::size_t>(pos_ - buf_.data());
    errno = 0;
    if (n != 0 && error_ == 0 && tap_) tap_({buf_.data(), n});
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
  return fromerrno(error_);
}

}  // namespace cellfreq

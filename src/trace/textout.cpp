// Block writing and general integer formatting for textout.
#include "trace/textout.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace cellfreq {

textout::textout(std::FILE* f, std::string_view eol, std::size_t block)
    : file_(f), buf_(std::max(block, max_claim)), eol_(eol) {
  pos_ = buf_.data();
  end_ = pos_ + buf_.size();
}

// Writes one block at a time on its own thread. The owner hands over a
// full buffer and gets back the one written before, so exactly two buffers
// circulate and memory stays bounded.
class textout::writer {
public:
  explicit writer(std::FILE* f, std::size_t block) : file_(f), block_(block), thread_([this] { loop(); }) {}
  ~writer() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  writer(const writer&) = delete;
  writer& operator=(const writer&) = delete;

  // Waits for the previous block, then takes the first n bytes of `buf`
  // and leaves the previous (written) buffer in its place. Returns the
  // error of the writes so far, or 0.
  int submit(std::vector<char>& buf, std::size_t n) {
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
      int err = 0;
      if (error_ == 0) {  // only this thread sets it while busy_
        errno = 0;
        if (std::fwrite(block_.data(), 1, length_, file_) != length_) err = errno != 0 ? errno : EIO;
      }
      lock.lock();
      if (error_ == 0) error_ = err;
      busy_ = false;
      idle_.notify_all();
    }
  }

  std::FILE* file_;
  std::vector<char> block_;
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
void textout::drain() {
  const auto n = static_cast<std::size_t>(pos_ - buf_.data());
  if (n != 0 && error_ == 0) {
    if (sink_ != nullptr) {
      sink_->append(buf_.data(), n);
    } else {
      if (writer_ == nullptr) writer_ = std::make_unique<writer>(file_, buf_.size());
      error_ = writer_->submit(buf_, n);
      end_ = buf_.data() + buf_.size();
    }
  }
  pos_ = buf_.data();
}

bool textout::flush() {
  if (writer_ == nullptr && file_ != nullptr) {
    // An output that never filled a block: one write, no thread.
    const auto n = static_cast<std::size_t>(pos_ - buf_.data());
    errno = 0;
    if (n != 0 && error_ == 0 && std::fwrite(buf_.data(), 1, n, file_) != n) error_ = errno != 0 ? errno : EIO;
    pos_ = buf_.data();
  } else {
    drain();
    if (writer_ != nullptr && error_ == 0) error_ = writer_->wait();
  }
  if (error_ == 0 && file_ != nullptr) {
    errno = 0;
    if (std::fflush(file_) != 0) error_ = errno != 0 ? errno : EIO;
  }
  return error_ == 0;
}

}  // namespace cellfreq

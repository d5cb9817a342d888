// Decompression of gzip members with zlib's inflate on a thread that runs a
// few blocks ahead of the reader, and the pass-through of plain input.
#include "io/gzsource.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace cellfreq {

namespace {
constexpr int gzip_window = MAX_WBITS + 16;  // gzip wrapper only, largest window
constexpr const char* truncated = "truncated gzip data";
constexpr const char* corrupt = "corrupt gzip data";
}  // namespace

// Inflates the file into a ring of output blocks on its own thread. The
// reader holds one block at a time and hands it back when it asks for the
// next; the thread fills a block only when the reader holds none of its
// bytes, so at most `output_blocks` blocks exist. The zlib state and the
// failure are the thread's alone until the last block is published.
class gzsource::inflater {
public:
  struct block {
    const char* data;
    std::size_t size;
    bool last;  // no text follows; error() and reason() tell how it ended
  };

  // Starts inflating `f`, whose first `nheld` bytes were already read.
  inflater(std::FILE* f, const unsigned char* held, std::size_t nheld, std::atomic<std::uint64_t>& consumed)
      : file_(f), consumed_(consumed), in_(input_block), out_(output_block * output_blocks) {
    std::memcpy(in_.data(), held, nheld);
    z_.next_in = in_.data();
    z_.avail_in = static_cast<uInt>(nheld);
    const int r = inflateInit2(&z_, gzip_window);
    if (r == Z_OK) ready_ = true;
    else fail(ENOMEM, r == Z_MEM_ERROR ? "out of memory" : "zlib version mismatch");
    thread_ = std::thread([this] { run(); });
  }

  ~inflater() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    room_.notify_one();
    thread_.join();
    if (ready_) inflateEnd(&z_);
  }
  inflater(const inflater&) = delete;
  inflater& operator=(const inflater&) = delete;

  // Hands back the block returned before, if any, and waits for the next.
  block next() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (holding_) {
      ++taken_;
      room_.notify_one();
    }
    holding_ = true;
    filled_cv_.wait(lock, [this] { return filled_ > taken_; });
    const std::size_t i = taken_ % output_blocks;
    return {out_.data() + i * output_block, sizes_[i], finished_ && filled_ == taken_ + 1};
  }

  int error() const { return error_; }
  const char* reason() const { return reason_; }

private:
  // Fills free blocks until the text ends or the owner stops it; a block
  // shorter than output_block is the last.
  void run() {
    for (;;) {
      std::size_t i = 0;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        room_.wait(lock, [this] { return stop_ || filled_ - taken_ < output_blocks; });
        if (stop_) return;
        i = filled_ % output_blocks;
      }
      const std::size_t got = done_ ? 0 : decompress(reinterpret_cast<Bytef*>(out_.data() + i * output_block));
      {
        std::lock_guard<std::mutex> lock(mutex_);
        sizes_[i] = got;
        ++filled_;
        finished_ = done_;
      }
      filled_cv_.notify_one();
      if (done_) return;
    }
  }

  // Ends the text with `error`; `reason` is nullptr for a system error.
  void fail(int error, const char* reason) {
    error_ = error;
    reason_ = reason;
    done_ = true;
  }

  // Refills the empty input buffer from the file; 0 at its end or on a
  // failed read (then the text has failed).
  std::size_t refill() {
    errno = 0;
    const std::size_t got = std::fread(in_.data(), 1, in_.size(), file_);
    if (got < in_.size()) {
      eof_ = true;
      if (std::ferror(file_)) fail(errno != 0 ? errno : EIO, nullptr);
    }
    consumed_.fetch_add(got, std::memory_order_relaxed);
    z_.next_in = in_.data();
    z_.avail_in = static_cast<uInt>(got);
    return got;
  }

  // Inflates one block's worth of text into `out`, less only where the
  // text ends. A member's end restarts the inflater for the next one; the
  // file may end only there.
  std::size_t decompress(Bytef* const out) {
    z_.next_out = out;
    z_.avail_out = static_cast<uInt>(output_block);
    while (z_.avail_out != 0) {
      if (z_.avail_in == 0 && !eof_ && refill() == 0 && done_) break;
      if (z_.avail_in == 0 && eof_ && !inmember_) {
        if (!anymember_) fail(ENODATA, truncated);
        done_ = true;
        break;
      }
      inmember_ = true;
      const int r = inflate(&z_, Z_NO_FLUSH);
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
    return static_cast<std::size_t>(z_.next_out - out);
  }

  // The thread's own.
  std::FILE* file_;
  std::atomic<std::uint64_t>& consumed_;
  std::vector<unsigned char> in_;
  z_stream z_{};
  bool ready_ = false;      // z_ is initialised
  bool eof_ = false;        // the file has no more bytes
  bool inmember_ = false;   // input taken since the last member ended
  bool anymember_ = false;  // at least one member has ended
  bool done_ = false;       // the text has ended
  int error_ = 0;
  const char* reason_ = nullptr;

  // Shared, under mutex_ (the bytes of block k are the thread's until
  // filled_ passes k, then the reader's until taken_ does).
  std::vector<char> out_;
  std::size_t sizes_[output_blocks] = {};
  std::uint64_t filled_ = 0;
  std::uint64_t taken_ = 0;
  bool holding_ = false;
  bool finished_ = false;  // the last block is published
  bool stop_ = false;
  std::mutex mutex_;
  std::condition_variable filled_cv_;
  std::condition_variable room_;
  std::thread thread_;
};

gzsource::gzsource(std::FILE* f, bool sniff) : file_(f) {
  if (sniff) {
    // The two bytes are kept, to be decompressed or passed on.
    errno = 0;
    nheld_ = std::fread(held_, 1, 2, file_);
    consumed_ = nheld_;
    if (nheld_ < 2 && std::ferror(file_)) {
      fail(errno != 0 ? errno : EIO, nullptr);
      return;
    }
    if (nheld_ < 2 || held_[0] != 0x1f || held_[1] != 0x8b) return;
  }
  inflater_ = std::make_unique<inflater>(file_, held_, nheld_, consumed_);
  nheld_ = 0;
}

gzsource::~gzsource() = default;

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
  if (!done_) got = compressed() ? take(buf, n) : pass(buf, n);
  if (error_ != 0) error = error_;
  return got;
}

// Plain input: the sniffed bytes, then the file's own.
std::size_t gzsource::pass(char* buf, std::size_t n) {
  const std::size_t held = std::min(nheld_, n);
  std::memcpy(buf, held_, held);
  nheld_ -= held;
  std::memmove(held_, held_ + held, nheld_);
  errno = 0;
  const std::size_t got = held + std::fread(buf + held, 1, n - held, file_);
  consumed_ += got - held;
  if (got < n) {
    done_ = true;
    if (std::ferror(file_)) fail(errno != 0 ? errno : EIO, nullptr);
  }
  return got;
}

// Compressed input: copies from the inflater's blocks, taking the next one
// as each is used up, until buf is full or the text has ended.
std::size_t gzsource::take(char* buf, std::size_t n) {
  std::size_t got = 0;
  while (got < n) {
    if (at_ == end_) {
      if (last_) {
        done_ = true;
        if (inflater_->error() != 0) fail(inflater_->error(), inflater_->reason());
        break;
      }
      const inflater::block b = inflater_->next();
      at_ = b.data;
      end_ = b.data + b.size;
      last_ = b.last;
      continue;
    }
    const std::size_t k = std::min(n - got, static_cast<std::size_t>(end_ - at_));
    std::memcpy(buf + got, at_, k);
    at_ += k;
    got += k;
  }
  return got;
}

}  // namespace cellfreq

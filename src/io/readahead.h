// readahead: a producer that runs on its own thread a few items ahead of
// its consumer, through a fixed ring of reused items.
//
// The consumer gets the items in the order they were filled, so whatever
// it does with them happens in the order a single thread would have done
// it; only the filling overlaps. Memory stays at `depth` items, whatever
// the input's length.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace cellfreq {

template <class T>
class readahead {
public:
  // Starts filling: fill(item) fills one item (left as the consumer handed
  // it back) and returns false once there is nothing more, that item then
  // being dropped. It runs on the producer thread only.
  readahead(std::size_t depth, std::function<bool(T&)> fill)
      : items_(depth < 1 ? 1 : depth), fill_(std::move(fill)), thread_([this] { produce(); }) {}
  // Stops the producer after the item it is filling and waits for it.
  ~readahead() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  readahead(const readahead&) = delete;
  readahead& operator=(const readahead&) = delete;

  // The next filled item, or nullptr once the producer has ended; valid
  // until done().
  T* next() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return filled_ > taken_ || ended_; });
    return filled_ > taken_ ? &items_[taken_ % items_.size()] : nullptr;
  }
  // Hands the item from next() back to be filled again.
  void done() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++taken_;
    }
    changed_.notify_all();
  }

private:
  void produce() {
    for (;;) {
      T* item;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return filled_ - taken_ < items_.size() || stop_; });
        if (stop_) break;
        item = &items_[filled_ % items_.size()];
      }
      const bool more = fill_(*item);
      std::lock_guard<std::mutex> lock(mutex_);
      if (!more) break;
      ++filled_;
      changed_.notify_all();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    changed_.notify_all();
  }

  std::vector<T> items_;
  std::function<bool(T&)> fill_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t filled_ = 0, taken_ = 0;
  bool ended_ = false, stop_ = false;
  std::thread thread_;  // last: starts once the rest is ready
};

}  // namespace cellfreq

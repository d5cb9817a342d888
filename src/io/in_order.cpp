// The in-order formatter: pieces handed out in order, turns taken in order.
#include "io/in_order.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

namespace cellfreq {

unsigned usable_cores() {
#if defined(__linux__)
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<unsigned>(std::max(CPU_COUNT(&set), 1));
#endif
  return std::max(1u, std::thread::hardware_concurrency());
}

share_plan share_plan::machine() { return {usable_cores()}; }

namespace {

// The pieces' turns at the output: piece i writes once next() is i. A
// thread waiting for its turn also wakes when the run is halted.
class turns {
public:
  bool mine(std::size_t i) const { return next_.load(std::memory_order_acquire) == i; }
  // Waits for piece i's turn; false when halted first.
  bool await(std::size_t i) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return halted_ || mine(i); });
    return !halted_;
  }
  void pass(std::size_t i) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      next_.store(i + 1, std::memory_order_release);
    }
    changed_.notify_all();
  }
  void halt() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      halted_ = true;
    }
    changed_.notify_all();
  }
  bool halted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return halted_;
  }

private:
  std::atomic<std::size_t> next_{0};
  bool halted_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
};

// The first exception of several threads, kept to be rethrown by the one
// that started them.
class firstthrown {
public:
  void keep() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!thrown_) thrown_ = std::current_exception();
  }
  explicit operator bool() const { return static_cast<bool>(thrown_); }
  [[noreturn]] void rethrow() const { std::rethrow_exception(thrown_); }

private:
  std::mutex mutex_;
  std::exception_ptr thrown_;
};

// Runs work(t) for t = 1 … threads-1 on threads of their own and work(0)
// here, then joins them; a thread that cannot be started leaves its share
// to the caller's, so `work` must not depend on running concurrently.
void spread(unsigned threads, const std::function<void(unsigned)>& work) {
  std::vector<std::thread> helpers;
  helpers.reserve(threads > 0 ? threads - 1 : 0);
  unsigned started = 1;
  try {
    for (; started < threads; ++started) helpers.emplace_back(work, started);
  } catch (const std::system_error&) {
    // No more threads to be had.
  }
  work(0);
  for (; started < threads; ++started) work(started);
  for (std::thread& t : helpers) t.join();
}

}  // namespace

void on_each(unsigned threads, const std::function<void(unsigned)>& work) {
  firstthrown thrown;
  spread(std::max(threads, 1u), [&](unsigned t) {
    try {
      work(t);
    } catch (...) {
      thrown.keep();
    }
  });
  if (thrown) thrown.rethrow();
}

void format_in_order(textout& out, std::size_t n, const piece_format& format, share_plan plan) {
  const auto threads = static_cast<unsigned>(std::min<std::size_t>(std::max(plan.threads, 1u), n));
  if (threads <= 1) {
    try {
      for (std::size_t i = 0; i < n && !out.failed(); ++i) format(i, 0, out);
    } catch (...) {
      out.abandon(ECANCELED);
      throw;
    }
    return;
  }
  std::atomic<std::size_t> taken{0};
  turns turn;
  firstthrown thrown;
  const auto work = [&](unsigned worker) {
    std::string held;
    try {
      for (std::size_t i; (i = taken.fetch_add(1)) < n;) {
        // Bytes go straight to `out` once it is this piece's turn, and are
        // held until then; a piece that outgrows its share waits for it.
        bool direct = false;
        const auto through = [&] {
          direct = true;
          out.put(held);
          held.clear();
        };
        {
          textout piece(
              [&](std::string_view s) {
                if (!direct && turn.mine(i)) through();
                if (direct) {
                  out.put(s);
                  return;
                }
                held.append(s);
                if (held.size() < plan.most) return;
                if (turn.await(i)) through();
                else held.clear();  // halted: nothing more is written
              },
              out.eol());
          if (!turn.halted()) format(i, worker, piece);
          (void)piece.flush();  // a string takes every byte
        }
        if (!turn.await(i)) return;
        out.put(held);
        held.clear();
        if (out.failed()) turn.halt();
        turn.pass(i);
      }
    } catch (...) {
      thrown.keep();
      turn.halt();
    }
  };
  spread(threads, work);
  if (thrown) {
    out.abandon(ECANCELED);
    thrown.rethrow();
  }
}

}  // namespace cellfreq

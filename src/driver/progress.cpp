// Drawing the progress line.
#include "driver/progress.h"

namespace cellfreq {
namespace {

constexpr auto redraw_interval = std::chrono::milliseconds(200);

// The bytes from the current position of `f` to its end, or -1 when `f`
// cannot seek (a pipe or a terminal); the position is restored.
std::int64_t remaining(std::FILE* f) {
  const long here = std::ftell(f);
  if (here < 0 || std::fseek(f, 0, SEEK_END) != 0) return -1;
  const long end = std::ftell(f);
  if (std::fseek(f, here, SEEK_SET) != 0) return -1;
  return end >= here ? end - here : -1;
}

}  // namespace

progressline::progressline(std::FILE* err, const char* progname, std::FILE* trace, const recordlist& list,
                           std::function<void(std::int64_t, std::int64_t)> report)
    : err_(err), report_(std::move(report)), progname_(progname), list_(list), total_(remaining(trace)),
      start_(std::chrono::steady_clock::now()), last_(start_) {}

void progressline::onblock(void* ctx, std::uint64_t bytes) {
  auto& self = *static_cast<progressline*>(ctx);
  self.bytes_ = bytes;
  const auto now = std::chrono::steady_clock::now();
  if (now - self.last_ < redraw_interval) return;
  self.last_ = now;
  self.draw(bytes, static_cast<std::int64_t>(self.list_.size()),
            std::chrono::duration<double>(now - self.start_).count());
}

void progressline::finish(std::int64_t nrec, bool complete) {
  draw(complete && total_ >= 0 ? static_cast<std::uint64_t>(total_) : bytes_, nrec, std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count());
  if (report_) return;
  std::fputc('\n', err_);
  std::fflush(err_);
}

void progressline::draw(std::uint64_t bytes, std::int64_t records, double seconds) {
  if (report_) {
    report_(static_cast<std::int64_t>(bytes), total_);
    return;
  }
  const double mb = static_cast<double>(bytes) / 1e6;
  std::fprintf(err_, "\r%s: read %.1f MB", progname_, mb);
  if (total_ > 0) {
    const double pct = 100.0 * static_cast<double>(bytes) / static_cast<double>(total_);
    std::fprintf(err_, " of %.1f MB (%.0f%%)", static_cast<double>(total_) / 1e6, pct > 100 ? 100 : pct);
  } else if (total_ == 0) {
    std::fputs(" of 0.0 MB (100%)", err_);
  }
  const double rate = seconds > 0 ? static_cast<double>(records) / seconds : 0;
  // Trailing spaces wipe what a longer earlier line left behind.
  std::fprintf(err_, ", %lld lines, %.0f lines/s   ", static_cast<long long>(records), rate);
  std::fflush(err_);
}

}  // namespace cellfreq

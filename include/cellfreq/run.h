// cellfreq/run.h: one run of the analysis, from an input to its results.
//
//   cellfreq::settings s;
//   s.cell_size = 300;
//   cellfreq::results r = cellfreq::run(cellfreq::trace_file{"trace.txt"}, s);
//
// gives the rows `cellfreq --cell-size 300 --format csv trace.txt` prints.
// A run is self-contained: several may go on at once on different threads.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "cellfreq/error.h"
#include "cellfreq/input.h"
#include "cellfreq/results.h"
#include "cellfreq/settings.h"

namespace cellfreq {

// Stops a run from another thread: once cancel() is called, the run ends
// within a fraction of a second with an error of kind `interrupted`,
// removing its temporaries and committing no output. Copies share one
// state; a token may be given to one run at a time.
class cancel_token {
public:
  cancel_token() : flag_(std::make_shared<std::atomic<bool>>(false)) {}
  void cancel() const noexcept { flag_->store(true); }
  bool cancelled() const noexcept { return flag_->load(); }
  const std::atomic<bool>& flag() const noexcept { return *flag_; }

private:
  std::shared_ptr<std::atomic<bool>> flag_;
};

// Runs the analysis of `in` with `s`, handing the `want`ed results to
// `out` as they are made. Throws cellfreq::error on any failure (after
// which `out` may have received part of the results).
void run(const input& in, const settings& s, const wanted& want, sink& out, const cancel_token* cancel = nullptr);

// The same, with the results gathered as columns.
results run(const input& in, const settings& s, const wanted& want = {}, const cancel_token* cancel = nullptr);

// The version that `cellfreq --version` prints, e.g. "1.0.0".
std::string version();

}  // namespace cellfreq

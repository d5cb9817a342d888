// The progress line shown on the error stream while a trace is read.
//
// One line, rewritten in place with a carriage return: the bytes read, the
// percentage when the trace's size is known, the records read and their
// rate. Updates are limited to a few per second so that drawing costs
// nothing measurable; finish() leaves the final figures on their own line.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>

#include "trace/recordlist.h"

namespace cellfreq {

class progressline {
public:
  // Reports on `err` the reading of `trace`, whose records arrive in `list`.
  // The size is learnt from the file when it can seek (a regular file, also
  // as standard input); otherwise no percentage is shown.
  // With `report`, the figures go to report(bytes, total or -1) instead,
  // as often as the line would be drawn, and finish() reports once more.
  progressline(std::FILE* err, const char* progname, std::FILE* trace, const recordlist& list,
               std::function<void(std::int64_t, std::int64_t)> report = {});

  // The callback for readtracefile(): `ctx` is the progressline.
  static void onblock(void* ctx, std::uint64_t bytes);

  // Draws the final figures with `nrec` records and ends the line; a
  // `complete` read of a file of known size shows all of its bytes, since
  // the reader's last report may come before its last block.
  void finish(std::int64_t nrec, bool complete);

private:
  void draw(std::uint64_t bytes, std::int64_t records, double seconds);

  std::FILE* err_;
  std::function<void(std::int64_t, std::int64_t)> report_;
  const char* progname_;
  const recordlist& list_;
  std::int64_t total_ = -1;  // bytes, or -1 when unknown
  std::uint64_t bytes_ = 0;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_;
};

}  // namespace cellfreq

// in_order: a long output formatted on every core and written in order.
//
// An output made of independent pieces (the users of a report, the objects
// of a cell file) is formatted by several threads at once, each piece into
// a buffer of the thread's own, and handed to the output in the order of
// the pieces: the output is byte for byte the one that a single thread
// writes calling the pieces in order, whatever the number of threads. The
// thread whose piece is next writes straight through; one whose buffered
// piece grows past `most` bytes waits for its turn and then writes straight
// through too, so memory stays within threads × most however large a piece.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "io/textout.h"

namespace cellfreq {

// The cores this process may run on (its affinity mask, where the system
// tells), at least 1.
unsigned usable_cores();

// How a pass shares its work out: up to `threads` threads, each holding
// at most `most` bytes of a piece that is not next, in pieces of about
// `piece_codes` cells (a piece costs a few system calls and a wake-up, so it
// is kept large enough to amortise them).
struct share_plan {
  unsigned threads = 1;
  std::size_t most = std::size_t{4} << 20;
  std::int64_t piece_codes = std::int64_t{1} << 16;
  // A thread per usable core.
  static share_plan machine();
};

// The bounds of the pieces that items from … to-1 fall into, in order:
// from, then the end of each piece. A piece ends once its items' codes,
// codes(i) each and one more for the item itself, reach the plan's piece.
template <class Codes>
std::vector<std::int64_t> piece_bounds(std::int64_t from, std::int64_t to, const share_plan& plan, Codes&& codes) {
  std::vector<std::int64_t> bounds{from};
  std::int64_t held = 0;
  for (std::int64_t i = from; i < to; ++i) {
    held += std::max<std::int64_t>(codes(i), 0) + 1;
    if (held >= plan.piece_codes || i + 1 == to) {
      bounds.push_back(i + 1);
      held = 0;
    }
  }
  return bounds;
}

// Calls format(piece, worker, out) for pieces 0 … n-1, `worker` (0 …
// plan.threads-1) naming the thread, so that a piece may use scratch state
// of its thread's own; what each writes reaches `out` in piece order. No
// piece is begun once `out` failed. An exception of a format is rethrown
// here once every thread has stopped; `out` is then abandoned.
using piece_format = std::function<void(std::size_t piece, unsigned worker, textout& out)>;
void format_in_order(textout& out, std::size_t n, const piece_format& format, share_plan plan = share_plan::machine());

// Calls work(0) … work(threads-1), each on a thread of its own (work(0) on
// the caller's), and returns once all have: for the passes whose threads
// each take a share of one array. An exception of any is rethrown here once
// all have stopped.
void on_each(unsigned threads, const std::function<void(unsigned)>& work);

}  // namespace cellfreq

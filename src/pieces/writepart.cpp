// The writing of a part file from a byte range of the trace: the parse's
// records grouped by object, a window at a time within the memory budget.
// The parse piece writes one; the plan writes more where it parses again.
#include <algorithm>

#include "cells/grouping.h"
#include "pieces/steps.h"
#include "platform/tempfiles.h"

namespace cellfreq {
namespace {

// What a part's writing keeps per object number besides its records: the
// count, the cursor, the index entry and a checksum.
constexpr std::int64_t perobject = 2 * sizeof(std::int64_t) + sizeof(indexentry) + sizeof(std::uint32_t);

// The records of [start, end) that the budget lets a part keep in memory
// while it parses, and as many again while it writes them grouped, with
// `objects` numbers to keep books on: together within the budget.
std::size_t part_share(std::int64_t budget, std::int64_t objects, std::size_t each) {
  const std::int64_t left = std::max(budget - perobject * objects - budget / 8, budget / 8);
  return static_cast<std::size_t>(std::max<std::int64_t>(left / 2 / static_cast<std::int64_t>(each), 1));
}

// Writes the part file `path` of `head` from the records [lo, hi) of
// `list` (and `times`), in trace order: grouped by object, objects from
// `n` on left out. Each pass over the records places those of one window
// of the grouped order, a counting sort by object that keeps the trace
// order within each object, so that only a window is in memory at once.
result<void> write_records(const runconfig& cfg, const fingerprint& fp, const partheader& head,
                           const recordlist& list, const chunkedlist<double>& times, std::size_t lo, std::size_t hi,
                           std::size_t n, const partinfo& extras, const std::string& path) {
  const std::int64_t budget = memorybudget(cfg.memorylimit);
  const auto inrange = [&](const auto& each) {
    std::size_t i = 0;
    chunkedlist<double>::reader t(times);
    list.foreachblock([&](const node* block, std::size_t k) {
      double stamp[1 << 12];
      for (std::size_t b = 0; b < k;) {
        const std::size_t m = std::min<std::size_t>(k - b, std::size(stamp));
        for (std::size_t got = 0, r = 1; head.timed && got < m && r != 0; got += r) r = t.read(stamp + got, m - got);
        for (std::size_t j = 0; j < m; ++j, ++i)
          if (i >= lo && i < hi && static_cast<std::uint32_t>(block[b + j].id) < n) each(block[b + j], stamp[j]);
        b += m;
      }
    });
  };
  std::vector<std::int64_t> counts(n, 0);
  inrange([&](const node& r, double) { ++counts[static_cast<std::size_t>(r.id)]; });
  std::vector<std::int64_t> cursor(n);
  const windowfill fill = [&](std::int64_t first, std::size_t count, node* records, double* stamps) {
    std::int64_t at = 0;
    for (std::size_t o = 0; o < n; at += counts[o++]) cursor[o] = at;
    const std::int64_t last = first + static_cast<std::int64_t>(count);
    inrange([&](const node& r, double stamp) {
      const std::int64_t pos = cursor[static_cast<std::size_t>(r.id)]++;
      if (pos < first || pos >= last) return;
      records[pos - first] = r;
      if (stamps != nullptr) stamps[pos - first] = stamp;
    });
    return spillok(list.error() != 0 ? list.error() : times.error());
  };
  const std::size_t each = sizeof(node) + (head.timed ? sizeof(double) : 0);
  if (result<void> spilled = spillok(list.error() != 0 ? list.error() : times.error()); !spilled) return spilled;
  return savepart(path, fp, head, counts, blocksize(cfg.groupsize),
                  part_share(budget, static_cast<std::int64_t>(n), each), fill, extras);
}

// What a part file says about the range [start, end) of a trace of `size`
// bytes, parsed up to `state`, and of a CSV range what its reader met.
partheader part_header(std::int64_t start, std::int64_t end, std::int64_t size, const parsestate& state, bool csv,
                       const commandinput::csvpart& extra) {
  partheader head;
  head.start = start;
  head.end = end;
  head.size = size;
  head.state = state;
  head.csv = csv;
  head.clean = extra.clean;
  head.failed = extra.failed;
  head.chosen = extra.chosen;
  head.lines = extra.lines;
  head.bad = extra.bad;
  return head;
}

// The state at the last point from which the parse that reached `state`
// can be resumed: a closed record at a line end, with the values carried
// there.
parsestate resumed(const parsestate& state) {
  parsestate at;
  at.v = at.freshv = state.freshv;
  at.w = at.freshw = state.freshw;
  at.nrec = at.freshnrec = state.freshnrec;
  at.cleanend = true;
  return at;
}

}  // namespace

// Parses [start, end) of the trace from `state` (TAB) and writes the part
// file `path`: its records grouped by object, TAB ids outside the run's
// objects left out, CSV ones by the part's own numbering, with their times.
// An empty range of a trace that is not empty parses nothing. The records
// beyond the budget's share wait in a scratch file, so that a range of any
// size keeps within the budget.
//
// With a `tailpath`, a TAB range that ends where the parse cannot be
// resumed is written as two parts, split at the last line end from which it
// can (see parsestate): `path` up to there, and `tailpath` from there on,
// so that a later boundary that cannot be proved re-parses only the tail.
// `split` tells whether it was.
result<void> write_part(const runconfig& cfg, commandinput& input, bool csv, std::FILE* f, const fingerprint& fp,
                        std::int64_t start, std::int64_t end, parsestate state, const std::string& path,
                        const std::string& tailpath, bool* split) {
  const std::int64_t size = fp.trace.size;
  const std::int64_t budget = memorybudget(cfg.memorylimit);
  recordlist list;
  chunkedlist<double> times;
  const std::size_t reading =
      part_share(budget, csv ? 0 : cfg.nobjects, sizeof(node) + (csv ? sizeof(double) : 0));
  list.limit(reading, scratch_file);
  times.limit(reading, scratch_file);
  commandinput::csvpart extra;
  bool ctrlz = false;
  const bool empty = start == end && size != 0;
  const std::int64_t nrec = state.nrec;
  state.freshoffset = 0;
  if (csv && !empty) {
    if (result<void> read = input.readrange(cfg, f, start, end, list, times, extra); !read) return read;
  } else if (!empty) {
    if (result<void> parsed = parserange(f, start, end, end >= size, cfg.cellsize, state, list, ctrlz); !parsed)
      return failure{cannotread(cfg), parsed.error().errnum};
  }
  partheader head = part_header(start, end, size, state, csv, extra);
  head.final = !empty && (end >= size || ctrlz);
  head.timed = times.size() != 0;
  const auto n = csv ? extra.ids.size() : static_cast<std::size_t>(cfg.nobjects);
  partinfo extras;
  extras.ids = std::move(extra.ids);
  extras.named = std::move(extra.named);
  extras.gridcrs = std::move(extra.gridcrs);
  // Every line end closes one record, so the records before the last
  // point of resumption are the line ends handled before it.
  const auto fresh = static_cast<std::int64_t>(state.freshoffset);
  const bool cut = !tailpath.empty() && !csv && !head.final && !(state.cleanend && state.fieldno == 0) &&
                   fresh > 0 && fresh < end - start;
  if (split != nullptr) *split = cut;
  if (!cut) return write_records(cfg, fp, head, list, times, 0, list.size(), n, extras, path);
  partheader body = head, tail = head;
  body.end = tail.start = start + fresh;
  body.state = resumed(state);
  const auto k = static_cast<std::size_t>(state.freshnrec - nrec);
  if (result<void> written = write_records(cfg, fp, body, list, times, 0, k, n, extras, path); !written)
    return written;
  return write_records(cfg, fp, tail, list, times, k, list.size(), n, extras, tailpath);
}

}  // namespace cellfreq

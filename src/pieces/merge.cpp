// The merge piece: the records of a range of users gathered from every
// part, grouped into that range's cell-file lines, read back and reported
// as the whole run reads back and reports its users (analysis/readback.h),
// then the .heat that marks the merge complete.
#include <algorithm>
#include <cerrno>
#include <memory>

#include "analysis/readback.h"
#include "cells/grouping.h"
#include "pieces/steps.h"
#include "platform/tempfiles.h"

namespace cellfreq {
namespace {

// What the steps of one merge share: its run, its plan and its users
// first … last-1, whose objects are from … to-1.
struct merge {
  merge(const commandline& c, commandinput& i) : cl(c), input(i), cfg(c.cfg), budget(memorybudget(cfg.memorylimit)) {}

  const commandline& cl;
  commandinput& input;
  runconfig cfg;
  std::int64_t budget;
  fingerprint fp;
  plan p;
  std::int64_t first = 0, last = 0;
  std::int32_t from = 0, to = 0;

  bool timed() const { return cl.input.csv && !cl.input.columns.timecolumn.empty(); }
  std::string name(const char* ext) const { return merge_name(cl.piece.work, first, ext); }
};

// Takes the plan and the users the piece names: some of the plan's.
result<void> start_merge(merge& m) {
  if (result<void> started = start_from_plan(m.cl, m.input, m.cfg, m.fp, m.p); !started) return started;
  m.first = m.cl.piece.first;
  m.last = std::min<std::int64_t>(m.cl.piece.last, m.p.users);
  if (m.first >= m.last)
    return failure{"no users " + std::to_string(m.first) + ":" + std::to_string(m.cl.piece.last) + " in the plan's " +
                       std::to_string(m.p.users), 0, {}, status_usage, true};
  m.from = static_cast<std::int32_t>(m.first * m.cfg.groupsize);
  m.to = static_cast<std::int32_t>(m.last * m.cfg.groupsize);
  return {};
}

// Whether block `k` of part `i` holds any of the range's objects. A TAB
// part's blocks hold fixed ranges of the run's objects; a CSV part numbers
// its objects apart, in the order they first come in it, and the plan's map
// gives each its run's number: a block is read when any of its numbers maps
// into the range. In a trace whose objects come in about the same order all
// along, that is about the range's share of each part's blocks.
bool holds_range(const merge& m, std::size_t i, const partinfo& info, std::size_t k) {
  const std::int64_t first = info.blocks[k].first;
  if (!m.cl.input.csv) return first < m.to && first + info.blockobjects > m.from;
  const std::vector<std::int32_t>& map = m.p.objects[i];
  const auto end = static_cast<std::size_t>(std::min<std::int64_t>(first + info.blockobjects, std::ssize(map)));
  for (auto local = static_cast<std::size_t>(std::min<std::int64_t>(first, std::ssize(map))); local < end; ++local)
    if (map[local] >= m.from && map[local] < m.to) return true;
  return false;
}

// Adds the range's records (and times) of part `i` to `list`, with the
// run's object numbers, reading only the blocks that hold them.
result<void> gather_part(const merge& m, std::size_t i, recordlist& list, chunkedlist<double>& times) {
  const bool csv = m.cl.input.csv;
  piecein in;
  partinfo info;
  if (result<void> loaded = loadpart(in, m.p.parts[i], m.fp, object_limit(m.cl, m.cfg), false, info); !loaded)
    return loaded;
  std::vector<indexentry> index;
  std::vector<node> slice;
  std::vector<double> stamps;
  for (std::size_t k = 0; k < info.blocks.size(); ++k) {
    if (!holds_range(m, i, info, k)) continue;
    std::int64_t at = 0;
    if (result<void> loaded = loadblock(in, info, k, index, at); !loaded) return loaded;
    for (const indexentry& e : index) {
      const auto local = static_cast<std::size_t>(e.object);
      const std::int32_t o = !csv ? e.object : local < m.p.objects[i].size() ? m.p.objects[i][local] : -1;
      if (o >= m.from && o < m.to) {
        if (result<void> loaded = loadslice(in, info, e, at, slice, stamps); !loaded) return loaded;
        for (node r : slice) {
          r.id = o;
          list.push(r);
        }
        for (const double t : stamps) times.push(t);
      }
      at += e.count;
    }
  }
  return {};
}

// The range's records, part after part, so each object's come in trace
// order.
result<void> gather_records(const merge& m, recordlist& list, chunkedlist<double>& times) {
  for (std::size_t i = 0; i < m.p.parts.size(); ++i)
    if (result<void> gathered = gather_part(m, i, list, times); !gathered) return gathered;
  return spillok(list.error() != 0 ? list.error() : times.error());
}

// Groups the records into the range's cell-file lines, the fragment
// .cells; `cells` receives what reading them back needs, `bodyat` where
// its text begins.
result<void> write_cells(const merge& m, recordlist& list, chunkedlist<double>& times, grouped& cells,
                         heatinfo& heat, std::int64_t& bodyat) {
  cells.codecount.assign(static_cast<std::size_t>(m.p.users), 0);
  result<void> spilled;
  const bool countvisits = !m.cfg.heatmappath.empty();
  if (result<void> saved = savefragment(m.name(".cells"), piecekind::cells, "cell file", m.fp, [&](textout& out) {
        spilled = groupcells(list, m.timed() ? &times : nullptr, m.from, m.to, {m.cfg.groupsize, m.cfg.exactcells},
                             m.budget, countvisits, out, cells);
      }, heat.cells, bodyat);
      !saved)
    return saved;
  if (!spilled) return spillok(spilled.error().errnum);
  return {};
}

// Reads the range's analysed users back from .cells, from `bodyat`, and
// writes their report fragment, the .report: as a whole run reads back and
// reports its users. `heat` receives its seal, its features and the
// frequent cells of the heat map.
result<void> write_report(const merge& m, const grouped& cells, std::int64_t bodyat, heatinfo& heat) {
  const std::string cellpath = m.name(".cells");
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(cellpath.c_str(), "rb"), std::fclose);
  if (f == nullptr || fseeko(f.get(), static_cast<off_t>(bodyat), SEEK_SET) != 0)
    return failure{"cannot reopen cell file " + inquotes(cellpath), errno};
  textin in(f.get());
  const auto unread = [&] { return failure{"cannot read cell file " + inquotes(cellpath), in.error()}; };
  const bool svg = !m.cfg.heatmappath.empty() && !isgeojson(m.cfg.heatmappath);
  const auto analysed = static_cast<std::int32_t>(std::min<std::int64_t>(m.last, m.cfg.nusers));
  user_readback users(in, cells, static_cast<std::int32_t>(m.first), analysed, m.budget,
                      {m.cfg.threshold, svg ? &heat.frequent : nullptr, nullptr, nullptr});
  if (users.at_once()) {
    if (!users.read_at_once()) return unread();
    f.reset();
  }
  const objectids ids{m.cl.input.csv ? &m.p.ids : nullptr, m.cfg.groupsize};
  std::int64_t reportat = 0;
  result<void> read;
  result<void> written = savefragment(m.name(".report"), piecekind::report, "report", m.fp, [&](textout& out) {
    reportwriter writer(m.cfg.style, m.cfg.threshold, out, ids, m.input.layer(m.cfg), true);
    read = users.report(writer, out);
    heat.features = writer.features();
  }, heat.report, reportat);
  // A range that could not be read cut the report short: its failure is the one told.
  if (!read) return unread();
  return written;
}

// The merge's steps in order; the .heat, the visits per cell, the frequent
// cells and the fragments' seals, last: its presence marks the merge complete.
result<void> run_merge(merge& m) {
  if (result<void> started = start_merge(m); !started) return started;
  grouped cells;
  heatinfo heat;
  heat.last = m.last;
  std::int64_t bodyat = 0;
  {
    recordlist list;
    chunkedlist<double> times;
    const std::size_t limit = readinglimit(m.budget, sizeof(node) + (m.timed() ? sizeof(double) : 0));
    list.limit(limit, scratch_file);
    times.limit(limit, scratch_file);
    if (result<void> gathered = gather_records(m, list, times); !gathered) return gathered;
    if (result<void> written = write_cells(m, list, times, cells, heat, bodyat); !written) return written;
  }
  if (result<void> reported = write_report(m, cells, bodyat, heat); !reported) return reported;
  heat.visits.assign(cells.visits.counts().begin(), cells.visits.counts().end());
  return saveheat(m.name(".heat"), m.fp, heat);
}

}  // namespace

int merge_piece(const commandline& cl, commandinput& input, std::FILE* err) {
  merge m(cl, input);
  return piece_status(run_merge(m), err);
}

}  // namespace cellfreq

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
  runfailure fail;

  bool timed() const { return cl.input.csv && !cl.input.columns.timecolumn.empty(); }
  std::string name(const char* ext) const { return merge_name(cl.piece.work, first, ext); }
};

// Takes the plan and the users the piece names: some of the plan's.
bool start_merge(merge& m) {
  if (!start_from_plan(m.cl, m.input, m.cfg, m.fp, m.p, m.fail)) return false;
  m.first = m.cl.piece.first;
  m.last = std::min<std::int64_t>(m.cl.piece.last, m.p.users);
  if (m.first >= m.last) {
    m.fail = {"no users " + std::to_string(m.first) + ":" + std::to_string(m.cl.piece.last) + " in the plan's " +
                  std::to_string(m.p.users), 0, {}, status_usage, true};
    return false;
  }
  m.from = static_cast<std::int32_t>(m.first * m.cfg.groupsize);
  m.to = static_cast<std::int32_t>(m.last * m.cfg.groupsize);
  return true;
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
bool gather_part(merge& m, std::size_t i, recordlist& list, chunkedlist<double>& times, piecein& in) {
  const bool csv = m.cl.input.csv;
  partinfo info;
  if (!loadpart(in, m.p.parts[i], m.fp, object_limit(m.cl, m.cfg), false, info)) return false;
  std::vector<indexentry> index;
  std::vector<node> slice;
  std::vector<double> stamps;
  for (std::size_t k = 0; k < info.blocks.size(); ++k) {
    if (!holds_range(m, i, info, k)) continue;
    std::int64_t at = 0;
    if (!loadblock(in, info, k, index, at)) return false;
    for (const indexentry& e : index) {
      const auto local = static_cast<std::size_t>(e.object);
      const std::int32_t o = !csv ? e.object : local < m.p.objects[i].size() ? m.p.objects[i][local] : -1;
      if (o >= m.from && o < m.to) {
        if (!loadslice(in, info, e, at, slice, stamps)) return false;
        for (node r : slice) {
          r.id = o;
          list.push(r);
        }
        for (const double t : stamps) times.push(t);
      }
      at += e.count;
    }
  }
  return true;
}

// The range's records, part after part, so each object's come in trace
// order.
bool gather_records(merge& m, recordlist& list, chunkedlist<double>& times) {
  for (std::size_t i = 0; i < m.p.parts.size(); ++i) {
    piecein in;
    if (!gather_part(m, i, list, times, in)) {
      m.fail = in.failure();
      return false;
    }
  }
  return settle(spillok(list.error() != 0 ? list.error() : times.error()), m.fail);
}

// Groups the records into the range's cell-file lines, the fragment
// .cells; `cells` receives what reading them back needs, `bodyat` where
// its text begins.
bool write_cells(merge& m, recordlist& list, chunkedlist<double>& times, grouped& cells, heatinfo& heat,
                 std::int64_t& bodyat) {
  cells.codecount.assign(static_cast<std::size_t>(m.p.users), 0);
  int scratch = 0;
  const bool countvisits = !m.cfg.heatmappath.empty();
  return savefragment(m.name(".cells"), piecekind::cells, "cell file", m.fp, [&](textout& out) {
           scratch = errnumof(groupcells(list, m.timed() ? &times : nullptr, m.from, m.to,
                                         {m.cfg.groupsize, m.cfg.exactcells}, m.budget, countvisits, out, cells));
         }, heat.cells, bodyat, m.fail) &&
         settle(spillok(scratch), m.fail);
}

// Reads the range's analysed users back from .cells, from `bodyat`, and
// writes their report fragment, the .report: as a whole run reads back and
// reports its users. `heat` receives its seal, its features and the
// frequent cells of the heat map.
bool write_report(merge& m, const grouped& cells, std::int64_t bodyat, heatinfo& heat) {
  const std::string cellpath = m.name(".cells");
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(cellpath.c_str(), "rb"), std::fclose);
  if (f == nullptr || fseeko(f.get(), static_cast<off_t>(bodyat), SEEK_SET) != 0) {
    m.fail = {"cannot reopen cell file " + inquotes(cellpath), errno};
    return false;
  }
  textin in(f.get());
  const bool svg = !m.cfg.heatmappath.empty() && !isgeojson(m.cfg.heatmappath);
  const auto analysed = static_cast<std::int32_t>(std::min<std::int64_t>(m.last, m.cfg.nusers));
  user_readback users(in, cells, static_cast<std::int32_t>(m.first), analysed, m.budget,
                      {m.cfg.threshold, svg ? &heat.frequent : nullptr, nullptr, nullptr});
  const bool atonce = users.at_once();
  if (atonce && users.read_at_once()) f.reset();
  const objectids ids{m.cl.input.csv ? &m.p.ids : nullptr, m.cfg.groupsize};
  std::int64_t reportat = 0;
  const bool written = users.loaded() &&
                       savefragment(m.name(".report"), piecekind::report, "report", m.fp, [&](textout& out) {
                         reportwriter writer(m.cfg.style, m.cfg.threshold, out, ids, m.input.layer(m.cfg), true);
                         users.report(writer, out);
                         heat.features = writer.features();
                       }, heat.report, reportat, m.fail);
  if (!users.loaded()) m.fail = {"cannot read cell file " + inquotes(cellpath), in.error()};
  return users.loaded() && written;
}

}  // namespace

int merge_piece(const commandline& cl, commandinput& input, std::FILE* err) {
  merge m(cl, input);
  if (!start_merge(m)) return reportfailure(m.fail, err, "cellfreq");
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
    if (!gather_records(m, list, times) || !write_cells(m, list, times, cells, heat, bodyat))
      return reportfailure(m.fail, err, "cellfreq");
  }
  if (!write_report(m, cells, bodyat, heat)) return reportfailure(m.fail, err, "cellfreq");
  // Last, the visits per cell, the frequent cells and the fragments' seals:
  // its presence marks the merge complete.
  heat.visits.assign(cells.visits.counts().begin(), cells.visits.counts().end());
  return saveheat(m.name(".heat"), m.fp, heat, m.fail) ? status_ok : reportfailure(m.fail, err, "cellfreq");
}

}  // namespace cellfreq

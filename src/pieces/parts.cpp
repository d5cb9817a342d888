// The pieces of a run cut into parts; the files they pass on, and how
// those are checked, are in partfiles.h.
//
// The split rule is the two-thread reader's: a part is taken as parsed when
// the part before it ended exactly at its start with a closed record and it
// took no value from before its start (see parsestate). Otherwise the part
// and the one before it are parsed again as one, from the state in which
// the part before that one ended, which the sequential parse shares.
//
// Every piece takes the fingerprint of its own run (the options and the
// trace as it is now) and meets every file it reads with it, so that pieces
// of other runs, of another trace, or of this trace before it changed, stop
// the run with the difference named.
#include "pieces/parts.h"

#ifdef __linux__
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>

#include "analysis/formats.h"
#include "analysis/geojson.h"
#include "cells/grouping.h"
#include "driver/ingest.h"
#include "driver/outputs.h"
#include "pieces/partfiles.h"
#include "platform/signals.h"
#include "platform/tempfiles.h"

namespace cellfreq {
namespace {

namespace fs = std::filesystem;

std::string partname(const std::string& work, std::int64_t start) {
  return (fs::path(work) / ("part-" + std::to_string(start) + ".bin")).string();
}
std::string mergename(const std::string& work, std::int64_t first, const char* ext) {
  return (fs::path(work) / ("merge-" + std::to_string(first) + ext)).string();
}
std::string planname(const std::string& work) { return (fs::path(work) / "plan.bin").string(); }

// The fingerprint of the run `cl` on its trace, open as `f`.
bool fingerprintof(const commandline& cl, std::FILE* f, fingerprint& fp, runfailure& fail) {
  traceidentity id;
  int errnum = 0;
  if (!identifytrace(f, id, errnum)) {
    fail = {cannotread(cl.cfg), errnum};
    return false;
  }
  fp = runfingerprint(cl, id);
  return true;
}

// The same for a piece that reads nothing else of the trace.
bool fingerprintnow(const commandline& cl, fingerprint& fp, runfailure& fail) {
  std::FILE* f = settle(opentrace(cl.cfg), fail);
  if (f == nullptr) return false;
  const bool ok = fingerprintof(cl, f, fp, fail);
  std::fclose(f);
  return ok;
}

// The highest object number (plus one) that a part's index may hold: a TAB
// part's are the run's, a CSV part's its own, checked against its ids.
std::int32_t objectlimit(const commandline& cl, const runconfig& cfg) {
  return cl.input.csv ? max_objects : cfg.nobjects;
}

// What a part's writing keeps per object number besides its records: the
// count, the cursor, the index entry and a checksum.
constexpr std::int64_t perobject = 2 * sizeof(std::int64_t) + sizeof(indexentry) + sizeof(std::uint32_t);

// The records of [start, end) that the budget lets a part keep in memory
// while it parses, and as many again while it writes them grouped, with
// `objects` numbers to keep books on: together within the budget.
std::size_t partshare(std::int64_t budget, std::int64_t objects, std::size_t each) {
  const std::int64_t left = std::max(budget - perobject * objects - budget / 8, budget / 8);
  return static_cast<std::size_t>(std::max<std::int64_t>(left / 2 / static_cast<std::int64_t>(each), 1));
}

// Writes the part file `path` of `head` from the records [lo, hi) of
// `list` (and `times`), in trace order: grouped by object, objects from
// `n` on left out. Each pass over the records places those of one window
// of the grouped order, a counting sort by object that keeps the trace
// order within each object, so that only a window is in memory at once.
bool writerecords(const runconfig& cfg, const fingerprint& fp, const partheader& head, const recordlist& list,
                  const chunkedlist<double>& times, std::size_t lo, std::size_t hi, std::size_t n,
                  const partinfo& extras, const std::string& path, runfailure& fail) {
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
    return settle(spillok(list.error() != 0 ? list.error() : times.error()), fail);
  };
  const std::size_t each = sizeof(node) + (head.timed ? sizeof(double) : 0);
  return settle(spillok(list.error() != 0 ? list.error() : times.error()), fail) &&
         savepart(path, fp, head, counts, blocksize(cfg.groupsize),
                  partshare(budget, static_cast<std::int64_t>(n), each), fill, extras, fail);
}

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
bool writepart(const runconfig& cfg, commandinput& input, bool csv, std::FILE* f, const fingerprint& fp,
               std::int64_t start, std::int64_t end, parsestate state, const std::string& path, runfailure& fail,
               const std::string& tailpath = {}, bool* split = nullptr) {
  const std::int64_t size = fp.trace.size;
  const std::int64_t budget = memorybudget(cfg.memorylimit);
  recordlist list;
  chunkedlist<double> times;
  const std::size_t reading =
      partshare(budget, csv ? 0 : cfg.nobjects, sizeof(node) + (csv ? sizeof(double) : 0));
  list.limit(reading, scratch_file);
  times.limit(reading, scratch_file);
  commandinput::csvpart extra;
  bool ctrlz = false;
  const bool empty = start == end && size != 0;
  const std::int64_t nrec = state.nrec;
  state.freshoffset = 0;
  if (csv && !empty) {
    if (!settle(input.readrange(cfg, f, start, end, list, times, extra), fail)) return false;
  } else if (!empty) {
    const int errnum = errnumof(parserange(f, start, end, end >= size, cfg.cellsize, state, list, ctrlz));
    if (errnum != 0) {
      fail = {cannotread(cfg), errnum};
      return false;
    }
  }
  partheader head;
  head.start = start;
  head.end = end;
  head.size = size;
  head.state = state;
  head.final = !empty && (end >= size || ctrlz);
  head.csv = csv;
  head.clean = extra.clean;
  head.failed = extra.failed;
  head.timed = times.size() != 0;
  head.chosen = extra.chosen;
  head.lines = extra.lines;
  head.bad = extra.bad;
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
  if (!cut) return writerecords(cfg, fp, head, list, times, 0, list.size(), n, extras, path, fail);
  partheader body = head, tail = head;
  body.end = tail.start = start + fresh;
  body.state = parsestate{};
  body.state.v = body.state.freshv = state.freshv;
  body.state.w = body.state.freshw = state.freshw;
  body.state.nrec = body.state.freshnrec = state.freshnrec;
  body.state.cleanend = true;
  const auto k = static_cast<std::size_t>(state.freshnrec - nrec);
  return writerecords(cfg, fp, body, list, times, 0, k, n, extras, path, fail) &&
         writerecords(cfg, fp, tail, list, times, k, list.size(), n, extras, tailpath, fail);
}

std::int64_t filesize(std::FILE* f) {
  if (fseeko(f, 0, SEEK_END) != 0) return -1;
  return static_cast<std::int64_t>(ftello(f));
}

// ---- parse ------------------------------------------------------------------

int parsepiece(const commandline& cl, commandinput& input, std::FILE* err) {
  const runconfig& cfg = cl.cfg;
  runfailure fail;
  std::FILE* f = settle(opentrace(cfg), fail);
  if (f == nullptr) return reportfailure(fail, err, "cellfreq");
  fingerprint fp;
  bool ok = filesize(f) >= 0;
  if (!ok) fail = {cannotread(cfg), errno != 0 ? errno : ESPIPE};
  if (ok && (ok = fingerprintof(cl, f, fp, fail))) {
    const std::int64_t start = linestart(f, cl.piece.first), end = linestart(f, cl.piece.last);
    parsestate state;
    state.vknown = state.wknown = start == 0;
    ok = writepart(cfg, input, cl.input.csv, f, fp, start, std::max(start, end), state,
                   partname(cl.piece.work, cl.piece.first), fail);
  }
  std::fclose(f);
  return ok ? status_ok : reportfailure(fail, err, "cellfreq");
}

// ---- plan -------------------------------------------------------------------

// Reads the part file `path`, all of it, into `p`.
bool readpart(const commandline& cl, const fingerprint& fp, const std::string& path, partinfo& p, runfailure& fail) {
  piecein in;
  if (loadpart(in, path, fp, objectlimit(cl, cl.cfg), true, p)) return true;
  fail = in.failure();
  return false;
}

// The parts of `work`, ordered by their start; false with `fail` set when
// one cannot be read or is not of this run, or they do not tile the trace.
bool loadparts(const commandline& cl, const fingerprint& fp, std::vector<partinfo>& parts, runfailure& fail) {
  const std::string& work = cl.piece.work;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(work, ec)) {
    const std::string name = e.path().filename().string();
    if (name.rfind("part-", 0) != 0 || e.path().extension() != ".bin") continue;
    partinfo p;
    if (!readpart(cl, fp, e.path().string(), p, fail)) return false;
    parts.push_back(std::move(p));
  }
  if (ec) {
    fail = {"cannot read folder " + inquotes(work), ec.value()};
    return false;
  }
  // Several small ranges can hold no line start, and so all begin at the same one.
  std::sort(parts.begin(), parts.end(), [](const partinfo& a, const partinfo& b) {
    return a.head.start != b.head.start ? a.head.start < b.head.start : a.head.end < b.head.end;
  });
  bool tiled = !parts.empty() && parts.front().head.start == 0 && parts.back().head.end == fp.trace.size;
  for (std::size_t i = 1; tiled && i < parts.size(); ++i) tiled = parts[i].head.start == parts[i - 1].head.end;
  if (!tiled) fail = {"the parts in " + inquotes(work) + " do not cover the trace from its start to its end", 0, {},
                      status_failed, true};
  return tiled;
}

int planpiece(const commandline& cl, commandinput& input, std::FILE* out, std::FILE* err) {
  runconfig cfg = cl.cfg;
  const std::string& work = cl.piece.work;
  const bool csv = cl.input.csv;
  runfailure fail;
  fingerprint fp;
  // The trace stays open for the parts to parse again.
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(settle(opentrace(cfg), fail), std::fclose);
  std::vector<partinfo> parts;
  if (f == nullptr || !fingerprintof(cl, f.get(), fp, fail) || !loadparts(cl, fp, parts, fail))
    return reportfailure(fail, err, "cellfreq");
  // Accepted parts, each with the state in which the one before it ended.
  std::vector<partinfo> chain;
  for (partinfo& p : parts) {
    if (!chain.empty() && chain.back().head.final) break;  // a Ctrl-Z ended the trace
    if (p.head.start == p.head.end && p.head.size != 0) continue;  // an empty range
    if (chain.empty()) {
      chain.push_back(std::move(p));
      continue;
    }
    const partinfo& prev = chain.back();
    const bool proved = csv ? prev.head.clean
                            : prev.head.state.cleanend && prev.head.state.fieldno == 0 && !p.head.state.guessed;
    if (proved) {
      // A value the part never read is the one the parse carried into it,
      // which a later re-parse from its end must start from.
      parsestate& s = p.head.state;
      if (!s.vknown) s.v = prev.head.state.v;
      if (!s.wknown) s.w = prev.head.state.w;
      chain.push_back(std::move(p));
      continue;
    }
    // A TAB part that took a value from before its start, after one that
    // ended where the parse can resume, is parsed again alone from the
    // state that one ended in: the sequential parse's there.
    if (!csv && prev.head.state.cleanend && prev.head.state.fieldno == 0) {
      parsestate state = prev.head.state;
      state.vknown = state.wknown = true;
      state.guessed = false;
      const std::string path = (fs::path(work) / ("reparse-" + std::to_string(p.head.start) + ".bin")).string();
      partinfo again;
      if (!writepart(cfg, input, csv, f.get(), fp, p.head.start, p.head.end, state, path, fail) ||
          !readpart(cl, fp, path, again, fail))
        return reportfailure(fail, err, "cellfreq");
      chain.push_back(std::move(again));
      continue;
    }
    // Parse the two again as one, from where the sequential parse stands at
    // the start of the first: the part before it ended clean there. A TAB
    // pair is written as two parts split at its last line end from which
    // the parse can be resumed, so that the next boundary that cannot be
    // proved re-parses the short tail and the next part, not the chain.
    parsestate state;
    if (chain.size() >= 2) {
      const parsestate& before = chain[chain.size() - 2].head.state;
      state.v = before.v;
      state.w = before.w;
      state.nrec = before.nrec;
    }
    const std::string name = "reparse-" + std::to_string(prev.head.start) + "-" + std::to_string(p.head.end);
    const std::string path = (fs::path(work) / (name + ".bin")).string();
    const std::string tailpath = (fs::path(work) / (name + "-tail.bin")).string();
    partinfo joined, tail;
    bool split = false;
    if (!writepart(cfg, input, csv, f.get(), fp, prev.head.start, p.head.end, state, path, fail, tailpath, &split) ||
        !readpart(cl, fp, path, joined, fail) || (split && !readpart(cl, fp, tailpath, tail, fail)))
      return reportfailure(fail, err, "cellfreq");
    chain.back() = std::move(joined);
    if (split) chain.push_back(std::move(tail));
  }

  // A CSV trace's ids are numbered in order of first appearance over the
  // parts in order, and its lines counted from the trace's start.
  plan pl;
  std::int64_t lines = 0;
  for (partinfo& p : chain) {
    std::vector<std::int32_t> map;
    if (csv) {
      for (const std::string_view id : p.ids) map.push_back(pl.ids.number(id));
      for (const badrow& b : p.named)
        if (static_cast<std::int64_t>(pl.named.size()) < csvreader::named_max) pl.named.push_back({b.line + lines, b.reason});
      pl.bad += p.head.bad;
      lines += p.head.lines;
      if (pl.gridcrs.empty()) {
        pl.gridcrs = p.gridcrs;
        pl.chosen = p.head.chosen;
      }
      if (p.head.failed) {
        if (!pl.named.empty())
          std::fprintf(err, "%s:%lld: %s\n", tracename(cfg).c_str(), static_cast<long long>(pl.named.back().line),
                       pl.named.back().reason.c_str());
        return reportfailure({"stopped at the first bad row of " + tracename(cfg) + " (--strict)", 0, {}, status_failed,
                              true},
                             err, "cellfreq");
      }
    }
    pl.parts.push_back(p.path);
    pl.objects.push_back(std::move(map));
  }
  if (!settle(settleobjects(cl.input, static_cast<std::int64_t>(pl.ids.size()), cfg), fail))
    return reportfailure(fail, err, "cellfreq");
  for (auto& map : pl.objects)
    for (std::int32_t& o : map)
      if (o >= cfg.nobjects) o = -1;
  pl.nobjects = cfg.nobjects;
  pl.nusers = cfg.nusers;
  pl.users = cfg.nobjects / cfg.groupsize;
  const auto users = static_cast<std::size_t>(pl.users);
  // A TAB part's directory gives the records of each block of users; a CSV
  // part's objects are numbered apart, so its index gives each user's.
  pl.blockusers = csv ? 1 : std::min<std::int64_t>(blocksize(cfg.groupsize) / cfg.groupsize, pl.users);
  pl.blockcount.assign((users + static_cast<std::size_t>(pl.blockusers) - 1) / static_cast<std::size_t>(pl.blockusers), 0);
  for (std::size_t i = 0; i < chain.size(); ++i) {
    const partinfo& part = chain[i];
    piecein in;
    std::vector<indexentry> index;
    std::int64_t at = 0;
    for (std::size_t b = 0; b < part.blocks.size(); ++b) {
      if (!csv) {
        pl.blockcount[static_cast<std::size_t>(part.blocks[b].first / cfg.groupsize / pl.blockusers)] += part.blocks[b].records;
        continue;
      }
      if ((b == 0 && !in.open(part.path, piecekind::part, false)) || !loadblock(in, part, b, index, at))
        return reportfailure(in.failure(), err, "cellfreq");
      for (const indexentry& e : index) {
        const auto local = static_cast<std::size_t>(e.object);
        const std::int32_t o = local < pl.objects[i].size() ? pl.objects[i][local] : -1;
        if (o >= 0 && o < cfg.nobjects) pl.blockcount[static_cast<std::size_t>(o / cfg.groupsize)] += e.count;
      }
    }
  }
  // Each user's share of its block's records, for ranges of about equal work.
  std::vector<std::int64_t> counts(users, 0);
  for (std::size_t b = 0; b < pl.blockcount.size(); ++b) {
    const auto bu = static_cast<std::size_t>(pl.blockusers);
    const std::size_t in = std::min(bu, users - b * bu);
    for (std::size_t k = 0; k < in; ++k)
      counts[b * bu + k] = pl.blockcount[b] / static_cast<std::int64_t>(in) +
                           (static_cast<std::int64_t>(k) < pl.blockcount[b] % static_cast<std::int64_t>(in) ? 1 : 0);
  }
  if (!saveplan(planname(work), fp, pl, fail)) return reportfailure(fail, err, "cellfreq");


  // User ranges of about equal numbers of visits, each at least one user.
  std::int64_t total = 0;
  for (const std::int64_t c : counts) total += c;
  const std::int64_t pieces = std::clamp<std::int64_t>(cl.piece.merges, 1, static_cast<std::int64_t>(users));
  std::size_t from = 0;
  std::int64_t seen = 0;
  for (std::int64_t k = 1; k <= pieces; ++k) {
    std::size_t to = from + 1;
    seen += counts[from];
    const std::int64_t goal = total / pieces * k;
    while (to < users && static_cast<std::int64_t>(users - to) > pieces - k && (k == pieces || seen + counts[to] <= goal))
      seen += counts[to++];
    if (k == pieces) to = users;
    std::fprintf(out, "%zu:%zu\n", from, to);
    from = to;
    if (from >= users) break;
  }
  return std::fflush(out) == 0 ? status_ok : status_failed;
}

// ---- merge ------------------------------------------------------------------

// Takes the run's fingerprint, loads the plan and settles what it decided:
// the objects and users of a CSV trace, and the grid CRS of its coordinates.
bool startfromplan(const commandline& cl, commandinput& input, runconfig& cfg, fingerprint& fp, plan& p,
                   runfailure& fail) {
  if (!fingerprintnow(cl, fp, fail)) return false;
  piecein in;
  if (!loadplan(in, planname(cl.piece.work), fp, cfg.groupsize, p)) {
    fail = in.failure();
    return false;
  }
  if (!settle(input.preparecrs(p.gridcrs), fail)) return false;
  cfg.nobjects = p.nobjects;
  cfg.nusers = p.nusers;
  return true;
}

int mergepiece(const commandline& cl, commandinput& input, std::FILE* err) {
  runconfig cfg = cl.cfg;
  const std::string& work = cl.piece.work;
  const std::int64_t budget = memorybudget(cfg.memorylimit);
  runfailure fail;
  fingerprint fp;
  plan p;
  if (!startfromplan(cl, input, cfg, fp, p, fail)) return reportfailure(fail, err, "cellfreq");
  const std::int64_t users = p.users;
  const std::int64_t a = cl.piece.first, b = std::min<std::int64_t>(cl.piece.last, users);
  if (a >= b) {
    fail = {"no users " + std::to_string(a) + ":" + std::to_string(cl.piece.last) + " in the plan's " +
                std::to_string(users), 0, {}, status_usage, true};
    return reportfailure(fail, err, "cellfreq");
  }
  const auto from = static_cast<std::int32_t>(a * cfg.groupsize), to = static_cast<std::int32_t>(b * cfg.groupsize);

  // The range's records (and times), part after part, so each object's
  // come in trace order; a CSV part's objects take the run's numbers.
  const bool timed = cl.input.csv && !cl.input.columns.timecolumn.empty();
  recordlist list;
  chunkedlist<double> times;
  const std::size_t limit = readinglimit(budget, sizeof(node) + (timed ? sizeof(double) : 0));
  list.limit(limit, scratch_file);
  times.limit(limit, scratch_file);
  // A TAB part's blocks hold fixed ranges of objects: only the range's own
  // are read. A CSV part numbers its objects apart: all of its are.
  for (std::size_t i = 0; i < p.parts.size(); ++i) {
    partinfo info;
    piecein in;
    if (!loadpart(in, p.parts[i], fp, objectlimit(cl, cfg), false, info))
      return reportfailure(in.failure(), err, "cellfreq");
    std::vector<indexentry> index;
    std::vector<node> slice;
    std::vector<double> stamps;
    for (std::size_t k = 0; k < info.blocks.size(); ++k) {
      const std::int64_t first = info.blocks[k].first;
      if (!cl.input.csv && (first >= to || first + info.blockobjects <= from)) continue;
      std::int64_t at = 0;
      if (!loadblock(in, info, k, index, at)) return reportfailure(in.failure(), err, "cellfreq");
      for (const indexentry& e : index) {
        const auto local = static_cast<std::size_t>(e.object);
        const std::int32_t o = !cl.input.csv ? e.object : local < p.objects[i].size() ? p.objects[i][local] : -1;
        if (o >= from && o < to) {
          if (!loadslice(in, info, e, at, slice, stamps)) return reportfailure(in.failure(), err, "cellfreq");
          for (node r : slice) {
            r.id = o;
            list.push(r);
          }
          for (const double t : stamps) times.push(t);
        }
        at += e.count;
      }
    }
  }
  if (!settle(spillok(list.error() != 0 ? list.error() : times.error()), fail)) return reportfailure(fail, err, "cellfreq");

  // The range's cell-file lines, read back for its analysed users' report.
  grouped cells;
  cells.codecount.assign(static_cast<std::size_t>(users), 0);
  int scratch = 0;
  heatinfo heat;
  heat.last = b;
  std::int64_t bodyat = 0;
  const std::string cellpath = mergename(work, a, ".cells");
  const bool countvisits = !cfg.heatmappath.empty();
  if (!savefragment(cellpath, piecekind::cells, "cell file", fp, [&](textout& out) {
        scratch = errnumof(groupcells(list, timed ? &times : nullptr, from, to, {cfg.groupsize, cfg.exactcells}, budget,
                                      countvisits, out, cells));
      }, heat.cells, bodyat, fail))
    return reportfailure(fail, err, "cellfreq");
  if (!settle(spillok(scratch), fail)) return reportfailure(fail, err, "cellfreq");
  const bool svg = countvisits && !isgeojson(cfg.heatmappath);
  const auto analysed = static_cast<std::int32_t>(std::min<std::int64_t>(b, cfg.nusers));
  // The widest of the range's analysed users: every one of them then gets
  // all of its codes, as under the whole run's widest.
  std::int64_t widest = 0;
  for (std::int64_t u = a; u < analysed; ++u) widest = std::max(widest, cells.codecount[static_cast<std::size_t>(u)]);
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(cellpath.c_str(), "rb"), std::fclose);
  if (f == nullptr || fseeko(f.get(), static_cast<off_t>(bodyat), SEEK_SET) != 0)
    return reportfailure({"cannot reopen cell file " + inquotes(cellpath), errno}, err, "cellfreq");
  textin in(f.get());
  bool loaded = true;
  const objectids ids{cl.input.csv ? &p.ids : nullptr, cfg.groupsize};
  const std::string reportpath = mergename(work, a, ".report");
  const bool written = savefragment(reportpath, piecekind::report, "report", fp, [&](textout& out) {
    reportwriter writer(cfg.style, cfg.threshold, out, ids, input.layer(cfg), true);
    celltable table;
    // The range's users read back as a whole run reads its users: as many
    // at a time as the table's share of the budget holds.
    const std::int64_t room = tableshare(budget) / static_cast<std::int64_t>(sizeof(std::int32_t));
    for (const auto& [first, last] : table_ranges(cells.codecount, widest, room, static_cast<std::int32_t>(a), analysed)) {
      if (out.failed()) break;
      if (!loadcells(in, cells.codecount, widest, table, &cells.box, first, last) || in.error() != 0) {
        loaded = false;
        out.abandon(in.error());
        return;
      }
      writer.users(table, cells.codecount, first, last);
      if (svg) addfrequent(table, cells.codecount, first, last, cfg.threshold, heat.frequent);
    }
    writer.finish();
  }, heat.report, bodyat, fail);
  if (!loaded) fail = {"cannot read cell file " + inquotes(cellpath), in.error()};
  if (!loaded || !written) return reportfailure(fail, err, "cellfreq");

  // Last, the visits per cell, the frequent cells and the fragments' seals:
  // its presence marks the merge complete.
  heat.visits.assign(cells.visits.counts().begin(), cells.visits.counts().end());
  return saveheat(mergename(work, a, ".heat"), fp, heat, fail) ? status_ok : reportfailure(fail, err, "cellfreq");
}

// ---- join -------------------------------------------------------------------

// A merge's users, its fragments' seals and where their text lies.
struct mergeinfo {
  std::int64_t first = 0, last = 0;
  fragmentseal cells, report;
  std::int64_t cellsat = 0, cellslength = 0, reportat = 0, reportlength = 0;
};

// Checks the fragment `path` whole against the seal its .heat holds; `at`
// and `length` receive where its text lies.
bool checkfragment(const std::string& path, piecekind kind, const fingerprint& fp, const fragmentseal& seal,
                   std::int64_t& at, std::int64_t& length, runfailure& fail) {
  piecein in;
  if (!openfragment(in, path, kind, fp, seal)) {
    fail = in.failure();
    return false;
  }
  at = in.at();
  length = in.end() - in.at();
  return true;
}

// Where a fragment's text begins: after its kind, version and fingerprint.
std::int64_t textstart(const fingerprint& fp) {
  pieceout start(piecekind::cells);
  putfingerprint(start, fp);
  return static_cast<std::int64_t>(start.bytes().size());
}

std::string placedname(const std::string& work, std::int64_t first) {
  return (fs::path(work) / ("placed-" + std::to_string(first) + ".bin")).string();
}
std::string placesname(const std::string& work) { return (fs::path(work) / "places.bin").string(); }

// Puts a merge's fragment into an output: copies it, or leaves its place.
using fragmentfn = std::function<void(const mergeinfo& m, bool cells, textout& to)>;

// Writes an output into the shared temporary `file`: the text write()
// puts, with a gap of each fragment's length where write() leaves one for
// a --place piece, listed in `places`. The file gets its whole size now.
bool writeplaced(atomic_file& file, const char* noun, const std::string& work,
                 const std::function<void(textout&, const fragmentfn&)>& write, std::vector<textplace>& places,
                 runfailure& fail) {
  std::string text;
  std::vector<std::pair<std::size_t, textplace>> gaps;
  {
    textout to(text);
    write(to, [&](const mergeinfo& m, bool cells, textout& out) {
      (void)out.flush();  // a string takes every byte
      textplace t;
      t.first = m.first;
      t.cells = cells;
      t.fragment = mergename(work, m.first, cells ? ".cells" : ".report");
      t.target = fs::absolute(file.temp_name()).string();  // the same for pieces in other folders
      t.seal = cells ? m.cells : m.report;
      t.textat = cells ? m.cellsat : m.reportat;
      t.at = cells ? m.cellslength : m.reportlength;  // the length, until the offsets are known
      gaps.emplace_back(text.size(), t);
    });
    (void)to.flush();  // a string takes every byte
  }
  int errnum = 0;
  std::int64_t shift = 0;
  std::size_t from = 0;
  bool ok = true;
  for (auto& [pos, t] : gaps) {
    const std::int64_t length = t.at;
    ok = ok && writeat(file.file(), static_cast<std::int64_t>(from) + shift, text.data() + from, pos - from, errnum);
    t.at = static_cast<std::int64_t>(pos) + shift;
    shift += length;
    from = pos;
    places.push_back(t);
  }
  const auto total = static_cast<std::int64_t>(text.size()) + shift;
  ok = ok && writeat(file.file(), static_cast<std::int64_t>(from) + shift, text.data() + from, text.size() - from, errnum);
  // A file that ends in a gap is made its full size by its last byte, which its place overwrites.
  if (ok && from == text.size() && total > 0) ok = writeat(file.file(), total - 1, "", 1, errnum);
  if (ok && std::fflush(file.file()) != 0) {
    errnum = errno != 0 ? errno : EIO;
    ok = false;
  }
  if (!ok) fail = {cannot("write", noun, file.path()), errnum};
  return ok;
}

// The join; `placed`, the one of --join-placed: a report or cell file that
// goes to a file gets its merges' text from --place pieces, and all the
// outputs are put in place once "commit" comes on standard input.
int joinpiece(const commandline& cl, commandinput& input, std::FILE* out, std::FILE* err, bool placed) {
  runconfig cfg = cl.cfg;
  const std::string& work = cl.piece.work;
  runfailure fail;
  fingerprint fp;
  plan p;
  if (!startfromplan(cl, input, cfg, fp, p, fail)) return reportfailure(fail, err, "cellfreq");
  const std::int64_t users = p.users;
  const std::int64_t textat = textstart(fp);
  // The merges, each checked with its fragments (their text only by the
  // --place pieces when they are placed), in order of their users.
  std::vector<mergeinfo> merges;
  cellvisits visits;
  std::vector<cell> frequent;
  for (std::int64_t a = 0; a < users;) {
    piecein in;
    heatinfo h;
    mergeinfo m;
    m.first = a;
    if (!loadheat(in, mergename(work, a, ".heat"), fp, a, p, h)) {
      fail = in.failure();
      if (fail.errnum == ENOENT)
        fail = {"no merge of the users from " + std::to_string(a) + " in " + inquotes(work), 0, {}, status_failed, true};
      return reportfailure(fail, err, "cellfreq");
    }
    m.cells = h.cells;
    m.report = h.report;
    if (!placed) {
      if (!checkfragment(mergename(work, a, ".cells"), piecekind::cells, fp, h.cells, m.cellsat, m.cellslength, fail) ||
          !checkfragment(mergename(work, a, ".report"), piecekind::report, fp, h.report, m.reportat, m.reportlength,
                         fail))
        return reportfailure(fail, err, "cellfreq");
    } else {
      if (h.cells.size < textat + 4 || h.report.size < textat + 4) {
        in.damaged("its fragments' sizes are out of range");
        return reportfailure(in.failure(), err, "cellfreq");
      }
      m.cellsat = m.reportat = textat;
      m.cellslength = h.cells.size - textat - 4;
      m.reportlength = h.report.size - textat - 4;
    }
    for (const auto& [k, v] : h.visits) visits.addcount(k, v);
    frequent.insert(frequent.end(), h.frequent.begin(), h.frequent.end());
    m.last = h.last;
    merges.push_back(m);
    a = m.last;
  }
  std::sort(frequent.begin(), frequent.end());
  frequent.erase(std::unique(frequent.begin(), frequent.end()), frequent.end());
  // What the run prints while it reads the trace.
  const std::string name = tracename(cfg);
  if (p.chosen) std::fprintf(err, "cellfreq: %s\n", gridmessage(p.gridcrs).c_str());
  for (const badrow& b : p.named)
    std::fprintf(err, "%s:%lld: %s\n", name.c_str(), static_cast<long long>(b.line), b.reason.c_str());
  if (p.bad != 0)
    std::fprintf(err, "%s: %lld bad row%s skipped\n", name.c_str(), static_cast<long long>(p.bad), p.bad == 1 ? "" : "s");

  // Copies a merge's fragment text into `to`.
  std::string missing;
  const fragmentfn copy = [&](const mergeinfo& m, bool cells, textout& to) {
    const std::string path = mergename(work, m.first, cells ? ".cells" : ".report");
    std::int64_t length = cells ? m.cellslength : m.reportlength;
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), std::fclose);
    char buf[1 << 16];
    errno = 0;
    if (f != nullptr && fseeko(f.get(), static_cast<off_t>(cells ? m.cellsat : m.reportat), SEEK_SET) == 0)
      for (std::size_t n; length > 0 && (n = std::fread(buf, 1, std::min<std::size_t>(sizeof buf, static_cast<std::size_t>(length)), f.get())) > 0;) {
        to.put(std::string_view(buf, n));
        length -= static_cast<std::int64_t>(n);
      }
    if (length != 0 || f == nullptr) {
      missing = path;
      to.abandon(errno);
    }
  };
  const geojsonlayer layer = input.layer(cfg);
  const objectids ids{cl.input.csv ? &p.ids : nullptr, cfg.groupsize};
  const auto report = [&](textout& to, const fragmentfn& fragment) {
    reportwriter writer(cfg.style, cfg.threshold, to, ids, layer);
    bool features = false;
    for (const mergeinfo& m : merges) {
      if (m.first >= cfg.nusers) break;
      // A comma between two pieces that have features.
      if (cfg.style.format == reportformat::geojson && m.reportlength != 0 && features) to.put(',');
      features |= m.reportlength != 0;
      fragment(m, false, to);
    }
    writer.finish();
  };
  const auto cellfile = [&](textout& to, const fragmentfn& fragment) {
    for (const mergeinfo& m : merges) fragment(m, true, to);
  };
  // Writes `path` through `write` into the outputs: placed when it can be.
  std::vector<textplace> places;
  outputset outputs;
  const auto output = [&](const std::string& path, const char* noun,
                          const std::function<void(textout&, const fragmentfn&)>& write) {
    const auto copied = [&](textout& to) { write(to, copy); };
    if (!placed) return settle(outputs.write(path, noun, copied), fail);
    atomic_file* file = settle(outputs.openshared(path, noun), fail);
    if (file == nullptr) return false;
    if (file->temp_name().empty()) return settle(outputs.finish(*file, copied), fail);  // a device or a pipe
    return writeplaced(*file, noun, work, write, places, fail) && settle(outputs.finish(*file, [](textout&) {}), fail);
  };
  bool ok = cfg.outputpath.empty() ? settle(writereport(cfg, out, [&](textout& to) { report(to, copy); }, &outputs), fail)
                                   : output(cfg.outputpath, "report", report);
  if (ok && !cfg.cellpath.empty()) ok = output(cfg.cellpath, "cell file", cellfile);
  ok = ok && settle(writeheatmap(cfg, visits, frequent, layer, &outputs), fail) &&
       settle(writeidmapfile(cfg, ids, &outputs), fail) && missing.empty();
  if (!missing.empty()) fail = {"cannot read " + inquotes(missing), errno != 0 ? errno : EIO};
  if (ok && placed) {
    // The places for the --place pieces; then the word to commit, and
    // every merge's mark that its text is in place.
    char line[16] = {};
    ok = saveplaces(placesname(work), fp, places, fail);
    if (ok && (std::fgets(line, sizeof line, stdin) == nullptr || std::string_view(line) != "commit\n")) {
      // "abandon": the one who ran the pieces names the failure.
      if (std::string_view(line) == "abandon\n") return status_failed;
      fail = {"no 'commit' on standard input: no outputs were written", 0, {}, status_failed, true};
      ok = false;
    }
    for (std::size_t i = 0; ok && i < merges.size(); ++i) {
      piecein in;
      std::int64_t first = -1;
      if (!in.open(placedname(work, merges[i].first), piecekind::placed, true) || !checkfingerprint(in, fp) ||
          !in.get(first, "merge") || (first != merges[i].first && !in.damaged("it names another merge"))) {
        fail = in.failure();
        if (fail.errnum == ENOENT)
          fail = {"the merge of the users from " + std::to_string(merges[i].first) + " was not placed: no outputs were written",
                  0, {}, status_failed, true};
        ok = false;
      }
    }
  }
  ok = ok && settle(outputs.commit(), fail);
  return ok ? status_ok : reportfailure(fail, err, "cellfreq");
}

// ---- place ------------------------------------------------------------------

// Copies `length` bytes at `from` of `in` into `to` at `at`: in the kernel
// where it can, through a buffer otherwise.
bool copyat(std::FILE* in, std::int64_t from, std::FILE* to, std::int64_t at, std::int64_t length, int& errnum) {
#ifdef __linux__
  off_t src = static_cast<off_t>(from), dst = static_cast<off_t>(at);
  while (length > 0) {
    const ssize_t n = ::copy_file_range(::fileno(in), &src, ::fileno(to), &dst, static_cast<std::size_t>(length), 0);
    if (n <= 0) break;
    length -= n;
  }
  from = src;
  at = dst;
#endif
  std::vector<char> buf(std::size_t{1} << 20);
  while (length > 0) {
    const auto n = static_cast<std::size_t>(std::min<std::int64_t>(length, static_cast<std::int64_t>(buf.size())));
    errno = 0;
    if (fseeko(in, static_cast<off_t>(from), SEEK_SET) != 0 || std::fread(buf.data(), 1, n, in) != n ||
        !writeat(to, at, buf.data(), n, errnum)) {
      if (errnum == 0) errnum = errno != 0 ? errno : EIO;
      return false;
    }
    from += static_cast<std::int64_t>(n);
    at += static_cast<std::int64_t>(n);
    length -= static_cast<std::int64_t>(n);
  }
  return std::fflush(to) == 0 || ((errnum = errno != 0 ? errno : EIO), false);
}

// Puts the text of the merge of users from cl.piece.first where the
// placement file says, each fragment checked whole first; then marks the
// merge placed.
int placepiece(const commandline& cl, std::FILE* err) {
  const std::string& work = cl.piece.work;
  runfailure fail;
  fingerprint fp;
  piecein list;
  std::vector<textplace> places;
  if (!fingerprintnow(cl, fp, fail)) return reportfailure(fail, err, "cellfreq");
  if (!loadplaces(list, placesname(work), fp, places)) return reportfailure(list.failure(), err, "cellfreq");
  for (const textplace& t : places) {
    if (t.first != cl.piece.first) continue;
    piecein in;
    if (!openfragment(in, t.fragment, t.cells ? piecekind::cells : piecekind::report, fp, t.seal))
      return reportfailure(in.failure(), err, "cellfreq");
    const std::int64_t length = in.end() - in.at();
    std::error_code ec;
    const bool prepared = fs::is_regular_file(t.target, ec) &&
                          static_cast<std::int64_t>(fs::file_size(t.target, ec)) >= t.at + length && !ec;
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> to(
        prepared ? std::fopen(t.target.c_str(), "r+b") : nullptr, std::fclose);
    if (in.at() != t.textat || to == nullptr)
      return reportfailure({inquotes(t.target) + " is not an output that --join-placed prepared", 0, {}, status_failed,
                            true},
                           err, "cellfreq");
    int errnum = 0;
    if (!copyat(in.file(), in.at(), to.get(), t.at, length, errnum))
      return reportfailure({cannot("write", t.cells ? "cell file" : "report", t.target), errnum}, err, "cellfreq");
  }
  pieceout done(piecekind::placed);
  putfingerprint(done, fp);
  done.put(cl.piece.first);
  return done.save(placedname(work, cl.piece.first), fail) ? status_ok : reportfailure(fail, err, "cellfreq");
}

}  // namespace

int runpiece(const commandline& cl, std::FILE* out, std::FILE* err) {
  commandinput input(cl.input);
  const std::string& trace = cl.cfg.tracepath;
  const char* refused = trace == stdin_path ? "needs the trace as a file"
                        : isgzipname(trace)  ? "cannot cut a gzipped trace"
                                             : nullptr;
  if (refused != nullptr) {
    std::fprintf(err, "cellfreq: a run in pieces %s\n", refused);
    return status_usage;
  }
  // A signal removes the files a piece has not finished, as in a whole run.
  catch_signals("cellfreq");
  switch (cl.piece.what) {
    case piececonfig::kind::parse: return parsepiece(cl, input, err);
    case piececonfig::kind::plan: return planpiece(cl, input, out, err);
    case piececonfig::kind::merge: return mergepiece(cl, input, err);
    case piececonfig::kind::join: return joinpiece(cl, input, out, err, false);
    case piececonfig::kind::joinplaced: return joinpiece(cl, input, out, err, true);
    case piececonfig::kind::place: return placepiece(cl, err);
    case piececonfig::kind::none: break;
  }
  return status_usage;
}

}  // namespace cellfreq

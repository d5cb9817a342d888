// The pieces of a run cut into parts, and the files they pass on.
//
// A part file (WORK/part-START.bin) holds the range it parsed, the parser's
// state at its end, and its records grouped by object (trace order within
// an object) behind an index of (object, count), so that a merge reads only
// its objects' slices. Records of ids outside the run's objects appear in
// no output, so a part leaves them out.
//
// The split rule is the two-thread reader's: a part is taken as parsed when
// the part before it ended exactly at its start with a closed record and it
// took no value from before its start (see parsestate). Otherwise the part
// and the one before it are parsed again as one, from the state in which
// the part before that one ended, which the sequential parse shares.
//
// The plan (WORK/plan.bin) lists the parts in order and every user's count.
// A merge writes WORK/merge-FIRST.cells (its cell-file lines), .report (its
// report fragment) and .heat (its cells' visits and frequent cells), the
// last one a list of the other two, written after them, so that a merge
// whose .heat exists is complete.
//
// The files are in the host's byte order: the machines of one run must
// share it (all of today's common ones are little-endian).
#include "driver/parts.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>

#include "analysis/formats.h"
#include "analysis/geojson.h"
#include "driver/grouping.h"
#include "driver/ingest.h"
#include "driver/tempfiles.h"

namespace cellfreq {
namespace {

namespace fs = std::filesystem;

constexpr char partmagic[8] = {'c', 'f', 'p', 'a', 'r', 't', '1', '\n'};
constexpr char planmagic[8] = {'c', 'f', 'p', 'l', 'a', 'n', '1', '\n'};
constexpr char heatmagic[8] = {'c', 'f', 'h', 'e', 'a', 't', '1', '\n'};

// What a part file says about its range, before the index and the records.
struct partheader {
  char magic[8];
  std::int64_t start = 0, end = 0, size = 0;  // the range parsed, and the trace's size
  parsestate state;                           // at the end of the range
  std::uint8_t final = 0;                     // the trace ends in this range
  std::uint8_t csv = 0;                       // a CSV trace: the fields below count
  std::uint8_t clean = 1;                     // the range ended at a row's start
  std::uint8_t failed = 0;                    // strict mode met a bad row
  std::uint8_t timed = 0;                     // times follow the records
  std::uint8_t chosen = 0;                    // the grid CRS was chosen from the first row
  std::uint8_t pad[2] = {};
  std::int64_t entries = 0, records = 0;      // index entries and records
  std::int64_t lines = 0, bad = 0;            // line feeds read, bad rows
};
static_assert(std::is_trivially_copyable_v<partheader>);

struct indexentry {
  std::int32_t object;
  std::int32_t pad;
  std::int64_t count;
};

// Whole-file output written under a fresh name and renamed into place.
class binout {
public:
  template <class T>
  void put(const T& v) {
    static_assert(std::is_trivially_copyable_v<T>);
    const auto* p = reinterpret_cast<const char*>(&v);
    bytes_.append(p, sizeof v);
  }
  template <class T>
  void putall(const T* v, std::size_t n) {
    bytes_.append(reinterpret_cast<const char*>(v), n * sizeof(T));
  }
  void putstring(std::string_view s) {
    put(static_cast<std::int64_t>(s.size()));
    bytes_ += s;
  }
  bool save(const std::string& path, runfailure& fail) const {
    return replacefile(path, "part file", [&](textout& out) { out.put(bytes_); }, fail);
  }

private:
  std::string bytes_;
};

// Reads a file of ours back, failing (and staying failed) on a short read.
class binin {
public:
  explicit binin(const std::string& path) : path_(path), f_(std::fopen(path.c_str(), "rb")) {
    if (f_ == nullptr) errnum_ = errno != 0 ? errno : ENOENT;
  }
  ~binin() {
    if (f_ != nullptr) std::fclose(f_);
  }
  binin(const binin&) = delete;
  binin& operator=(const binin&) = delete;

  template <class T>
  bool getall(T* v, std::size_t n) {
    if (!ok()) return false;
    if (std::fread(v, sizeof(T), n, f_) != n) errnum_ = std::ferror(f_) ? (errno != 0 ? errno : EIO) : -1;
    return ok();
  }
  template <class T>
  bool get(T& v) {
    return getall(&v, 1);
  }
  bool getstring(std::string& s) {
    std::int64_t n = 0;
    if (!get(n) || n < 0 || n > (std::int64_t{1} << 32)) return fails();
    s.resize(static_cast<std::size_t>(n));
    return getall(s.data(), s.size());
  }
  bool seek(std::int64_t offset) {
    if (ok() && fseeko(f_, static_cast<off_t>(offset), SEEK_SET) != 0) errnum_ = errno != 0 ? errno : EIO;
    return ok();
  }
  bool fails() {
    if (errnum_ == 0) errnum_ = -1;
    return false;
  }
  bool ok() const { return errnum_ == 0; }
  // The failure as the run reports it: a system error, or a file that is
  // not what a piece wrote.
  runfailure failure() const {
    runfailure f{"cannot read " + inquotes(path_), errnum_ > 0 ? errnum_ : 0};
    if (errnum_ < 0) f.reason = "it is not a complete file of this run's pieces";
    return f;
  }

private:
  std::string path_;
  std::FILE* f_;
  int errnum_ = 0;
};

std::string partname(const std::string& work, std::int64_t start) {
  return (fs::path(work) / ("part-" + std::to_string(start) + ".bin")).string();
}
std::string mergename(const std::string& work, std::int64_t first, const char* ext) {
  return (fs::path(work) / ("merge-" + std::to_string(first) + ext)).string();
}

// A part file's header and index, and where its records begin.
struct partinfo {
  std::string path;
  partheader head;
  std::vector<indexentry> index;
  std::int64_t recordsat = 0;
  // Of a CSV part, read by loadextras(): the part's ids by its own object
  // numbers, its named bad rows and the grid's CRS.
  std::vector<std::string> ids;
  std::vector<badrow> named;
  std::string gridcrs;
};

// Reads a CSV part's ids, named bad rows and grid CRS, after its records.
bool loadextras(partinfo& p, runfailure& fail) {
  binin in(p.path);
  std::int64_t n = 0;
  const std::int64_t after = p.head.records * static_cast<std::int64_t>(sizeof(node) + (p.head.timed ? sizeof(double) : 0));
  if (in.seek(p.recordsat + after) && in.get(n) && (n < 0 || n > max_objects)) in.fails();
  p.ids.resize(in.ok() ? static_cast<std::size_t>(n) : 0);
  for (std::string& id : p.ids) in.getstring(id);
  if (in.get(n) && (n < 0 || n > csvreader::named_max)) in.fails();
  p.named.resize(in.ok() ? static_cast<std::size_t>(n) : 0);
  for (badrow& b : p.named) in.get(b.line) && in.getstring(b.reason);
  if (!in.getstring(p.gridcrs)) {
    fail = in.failure();
    return false;
  }
  return true;
}

bool loadpart(const std::string& path, partinfo& p, runfailure& fail) {
  binin in(path);
  p.path = path;
  if (in.get(p.head) && std::memcmp(p.head.magic, partmagic, sizeof partmagic) != 0) in.fails();
  if (in.ok() && (p.head.entries < 0 || p.head.entries > max_objects)) in.fails();
  p.index.resize(in.ok() ? static_cast<std::size_t>(p.head.entries) : 0);
  if (!in.getall(p.index.data(), p.index.size())) {
    fail = in.failure();
    return false;
  }
  p.recordsat = static_cast<std::int64_t>(sizeof(partheader) + p.index.size() * sizeof(indexentry));
  return true;
}

// Parses [start, end) of the trace from `state` (TAB) and writes the part
// file `path`: its records grouped by object, TAB ids outside the run's
// objects left out, CSV ones by the part's own numbering, with their times.
// An empty range of a trace that is not empty parses nothing.
bool writepart(const runconfig& cfg, commandinput& input, bool csv, std::FILE* f, std::int64_t size,
               std::int64_t start, std::int64_t end, parsestate state, const std::string& path, runfailure& fail) {
  recordlist list;
  chunkedlist<double> times;
  commandinput::csvpart extra;
  bool ctrlz = false;
  const bool empty = start == end && size != 0;
  if (csv && !empty) {
    if (!input.readrange(cfg, f, start, end, list, times, extra, fail)) return false;
  } else if (!empty) {
    const int errnum = parserange(f, start, end, end >= size, cfg.cellsize, state, list, ctrlz);
    if (errnum != 0) {
      fail = {cannotread(cfg), errnum};
      return false;
    }
  }
  if (!spillok(list.error() != 0 ? list.error() : times.error(), fail)) return false;
  partheader head{};
  std::memcpy(head.magic, partmagic, sizeof partmagic);
  head.start = start;
  head.end = end;
  head.size = size;
  head.state = state;
  head.final = !empty && (end >= size || ctrlz) ? 1 : 0;
  head.csv = csv ? 1 : 0;
  head.clean = extra.clean ? 1 : 0;
  head.failed = extra.failed ? 1 : 0;
  head.timed = times.size() != 0 ? 1 : 0;
  head.chosen = extra.chosen ? 1 : 0;
  head.lines = extra.lines;
  head.bad = extra.bad;
  // A counting sort by object keeps the trace order within each object.
  const auto n = csv ? extra.ids.size() : static_cast<std::size_t>(cfg.nobjects);
  std::vector<std::int64_t> first(n + 1, 0);
  list.foreach([&](const node& r) {
    if (static_cast<std::uint32_t>(r.id) < n) ++first[static_cast<std::size_t>(r.id) + 1];
  });
  std::vector<indexentry> index;
  for (std::size_t o = 0; o < n; ++o) {
    if (first[o + 1] != 0) index.push_back({static_cast<std::int32_t>(o), 0, first[o + 1]});
    first[o + 1] += first[o];
  }
  std::vector<node> grouped(static_cast<std::size_t>(first[n]));
  std::vector<double> stamps(head.timed ? grouped.size() : 0);
  chunkedlist<double>::reader t(times);
  list.foreach([&](const node& r) {
    double stamp = 0;
    if (head.timed) t.read(&stamp, 1);
    if (static_cast<std::uint32_t>(r.id) >= n) return;
    const auto at = static_cast<std::size_t>(first[static_cast<std::size_t>(r.id)]++);
    grouped[at] = r;
    if (head.timed) stamps[at] = stamp;
  });
  head.entries = static_cast<std::int64_t>(index.size());
  head.records = static_cast<std::int64_t>(grouped.size());
  binout out;
  out.put(head);
  out.putall(index.data(), index.size());
  out.putall(grouped.data(), grouped.size());
  out.putall(stamps.data(), stamps.size());
  if (csv) {
    out.put(static_cast<std::int64_t>(extra.ids.size()));
    for (const std::string_view id : extra.ids) out.putstring(id);
    out.put(static_cast<std::int64_t>(extra.named.size()));
    for (const badrow& b : extra.named) {
      out.put(b.line);
      out.putstring(b.reason);
    }
    out.putstring(extra.gridcrs);
  }
  return out.save(path, fail);
}

std::int64_t filesize(std::FILE* f) {
  if (fseeko(f, 0, SEEK_END) != 0) return -1;
  return static_cast<std::int64_t>(ftello(f));
}

// ---- parse ------------------------------------------------------------------

int parsepiece(const commandline& cl, commandinput& input, std::FILE* err) {
  const runconfig& cfg = cl.cfg;
  runfailure fail;
  std::FILE* f = opentrace(cfg, fail);
  if (f == nullptr) return reportfailure(fail, err, "cellfreq");
  const std::int64_t size = filesize(f);
  bool ok = size >= 0;
  if (!ok) fail = {cannotread(cfg), errno != 0 ? errno : ESPIPE};
  if (ok) {
    const std::int64_t start = linestart(f, cl.piece.first), end = linestart(f, cl.piece.last);
    parsestate state;
    state.vknown = state.wknown = start == 0;
    ok = writepart(cfg, input, cl.input.csv, f, size, start, std::max(start, end), state,
                   partname(cl.piece.work, cl.piece.first), fail);
  }
  std::fclose(f);
  return ok ? status_ok : reportfailure(fail, err, "cellfreq");
}

// ---- plan -------------------------------------------------------------------

// The parts of `work`, ordered by their start; false with `fail` set when
// one cannot be read or they do not tile one trace of `size` bytes.
bool loadparts(const std::string& work, std::vector<partinfo>& parts, runfailure& fail) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(work, ec)) {
    const std::string name = e.path().filename().string();
    if (name.rfind("part-", 0) != 0 || e.path().extension() != ".bin") continue;
    partinfo p;
    if (!loadpart(e.path().string(), p, fail)) return false;
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
  bool tiled = !parts.empty() && parts.front().head.start == 0 && parts.back().head.end == parts.back().head.size;
  for (std::size_t i = 1; tiled && i < parts.size(); ++i)
    tiled = parts[i].head.start == parts[i - 1].head.end && parts[i].head.size == parts[0].head.size;
  if (!tiled) fail = {"the parts in " + inquotes(work) + " do not cover the trace from its start to its end", 0, {},
                      status_failed, true};
  return tiled;
}

// The plan: the parts that hold the records, in order, with the map from
// each CSV part's own object numbers to the run's, and what the counts of
// the whole trace decide: objects, users, each user's count, the ids, the
// grid CRS and the bad rows to name.
struct plan {
  std::vector<std::string> parts;
  std::vector<std::vector<std::int32_t>> objects;  // per CSV part: own number -> run's (-1: not in the run)
  std::int32_t nobjects = 0, nusers = 0;
  std::vector<std::int64_t> codecount;
  std::int64_t maxcount = 0;
  idtable ids;                   // CSV: the run's object number -> id
  std::string gridcrs;
  bool chosen = false;           // the grid CRS was chosen from the first position
  std::int64_t bad = 0;
  std::vector<badrow> named;     // with the trace's line numbers
};

bool loadplan(const std::string& work, plan& p, runfailure& fail) {
  binin in((fs::path(work) / "plan.bin").string());
  char magic[8] = {};
  std::int64_t n = 0;
  const auto count = [&](std::int64_t limit) {
    if (in.get(n) && (n < 0 || n > limit)) in.fails();
    return in.ok() ? static_cast<std::size_t>(n) : 0;
  };
  if (in.getall(magic, 8) && std::memcmp(magic, planmagic, 8) != 0) in.fails();
  p.parts.resize(count(std::int64_t{1} << 24));
  p.objects.resize(p.parts.size());
  for (std::size_t i = 0; i < p.parts.size(); ++i) {
    in.getstring(p.parts[i]);
    p.objects[i].resize(count(max_objects));
    in.getall(p.objects[i].data(), p.objects[i].size());
  }
  in.get(p.nobjects);
  in.get(p.nusers);
  p.codecount.resize(count(max_objects));
  in.getall(p.codecount.data(), p.codecount.size());
  in.get(p.maxcount);
  std::string id;
  for (std::size_t i = count(max_objects); i > 0 && in.getstring(id); --i) p.ids.push_back(id);
  in.getstring(p.gridcrs);
  in.get(p.chosen);
  in.get(p.bad);
  p.named.resize(count(csvreader::named_max));
  for (badrow& b : p.named) in.get(b.line) && in.getstring(b.reason);
  if (!in.ok()) {
    fail = in.failure();
    return false;
  }
  return true;
}

int planpiece(const commandline& cl, commandinput& input, std::FILE* out, std::FILE* err) {
  runconfig cfg = cl.cfg;
  const std::string& work = cl.piece.work;
  const bool csv = cl.input.csv;
  runfailure fail;
  std::vector<partinfo> parts;
  if (!loadparts(work, parts, fail)) return reportfailure(fail, err, "cellfreq");
  std::FILE* f = nullptr;
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
    const bool proved = csv ? prev.head.clean != 0
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
    // Parse the two again as one, from where the sequential parse stands at
    // the start of the first: the part before it ended clean there.
    parsestate state;
    if (chain.size() >= 2) {
      const parsestate& before = chain[chain.size() - 2].head.state;
      state.v = before.v;
      state.w = before.w;
    }
    if (f == nullptr && (f = opentrace(cfg, fail)) == nullptr) return reportfailure(fail, err, "cellfreq");
    const std::string path = (fs::path(work) / ("reparse-" + std::to_string(prev.head.start) + "-" +
                                                 std::to_string(p.head.end) + ".bin"))
                                 .string();
    partinfo joined;
    if (!writepart(cfg, input, csv, f, p.head.size, prev.head.start, p.head.end, state, path, fail) ||
        !loadpart(path, joined, fail)) {
      std::fclose(f);
      return reportfailure(fail, err, "cellfreq");
    }
    chain.back() = std::move(joined);
  }
  if (f != nullptr) std::fclose(f);

  // A CSV trace's ids are numbered in order of first appearance over the
  // parts in order, and its lines counted from the trace's start.
  plan pl;
  std::map<std::string, std::int32_t> numbers;
  std::int64_t lines = 0;
  for (partinfo& p : chain) {
    std::vector<std::int32_t> map;
    if (csv) {
      if (!loadextras(p, fail)) return reportfailure(fail, err, "cellfreq");
      for (const std::string& id : p.ids) {
        const auto [it, fresh] = numbers.try_emplace(id, static_cast<std::int32_t>(pl.ids.size()));
        if (fresh) pl.ids.push_back(id);
        map.push_back(it->second);
      }
      for (const badrow& b : p.named)
        if (static_cast<std::int64_t>(pl.named.size()) < csvreader::named_max) pl.named.push_back({b.line + lines, b.reason});
      pl.bad += p.head.bad;
      lines += p.head.lines;
      if (pl.gridcrs.empty()) {
        pl.gridcrs = p.gridcrs;
        pl.chosen = p.head.chosen != 0;
      }
      if (p.head.failed) {
        const badrow& b = pl.named.back();
        std::fprintf(err, "%s:%lld: %s\n", tracename(cfg).c_str(), static_cast<long long>(b.line), b.reason.c_str());
        return reportfailure({"stopped at the first bad row of " + tracename(cfg) + " (--strict)", 0, {}, status_failed,
                              true},
                             err, "cellfreq");
      }
    }
    pl.parts.push_back(p.path);
    pl.objects.push_back(std::move(map));
  }
  if (!settleobjects(cl.input, static_cast<std::int64_t>(pl.ids.size()), cfg, fail))
    return reportfailure(fail, err, "cellfreq");
  for (auto& map : pl.objects)
    for (std::int32_t& o : map)
      if (o >= cfg.nobjects) o = -1;
  pl.nobjects = cfg.nobjects;
  pl.nusers = cfg.nusers;
  const auto users = static_cast<std::size_t>(cfg.nobjects / cfg.groupsize);
  std::vector<std::int64_t>& counts = pl.codecount;
  counts.assign(users, 0);
  for (std::size_t i = 0; i < chain.size(); ++i)
    for (const indexentry& e : chain[i].index) {
      // Parts parsed with other options than the plan's must not reach
      // past the counts.
      const auto local = static_cast<std::size_t>(e.object);
      const std::int32_t o = !csv ? e.object : local < pl.objects[i].size() ? pl.objects[i][local] : -1;
      if (o >= 0 && o < cfg.nobjects) counts[static_cast<std::size_t>(o / cfg.groupsize)] += e.count;
    }
  pl.maxcount = cellfreq::max(counts, cfg.nusers);

  binout file;
  file.putall(planmagic, 8);
  file.put(static_cast<std::int64_t>(pl.parts.size()));
  for (std::size_t i = 0; i < pl.parts.size(); ++i) {
    file.putstring(pl.parts[i]);
    file.put(static_cast<std::int64_t>(pl.objects[i].size()));
    file.putall(pl.objects[i].data(), pl.objects[i].size());
  }
  file.put(pl.nobjects);
  file.put(pl.nusers);
  file.put(static_cast<std::int64_t>(users));
  file.putall(counts.data(), counts.size());
  file.put(pl.maxcount);
  file.put(static_cast<std::int64_t>(pl.ids.size()));
  for (const std::string_view id : pl.ids) file.putstring(id);
  file.putstring(pl.gridcrs);
  file.put(pl.chosen);
  file.put(pl.bad);
  file.put(static_cast<std::int64_t>(pl.named.size()));
  for (const badrow& b : pl.named) {
    file.put(b.line);
    file.putstring(b.reason);
  }
  if (!file.save((fs::path(work) / "plan.bin").string(), fail)) return reportfailure(fail, err, "cellfreq");

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

// Loads the plan and settles what it decided: the objects and users of a
// CSV trace, and the grid CRS of its coordinates.
bool startfromplan(const commandline& cl, commandinput& input, runconfig& cfg, plan& p, runfailure& fail) {
  if (!loadplan(cl.piece.work, p, fail) || !input.preparecrs(p.gridcrs, fail)) return false;
  cfg.nobjects = p.nobjects;
  cfg.nusers = p.nusers;
  return true;
}

int mergepiece(const commandline& cl, commandinput& input, std::FILE* err) {
  runconfig cfg = cl.cfg;
  const std::string& work = cl.piece.work;
  const std::int64_t budget = memorybudget(cfg.memorylimit);
  runfailure fail;
  plan p;
  if (!startfromplan(cl, input, cfg, p, fail)) return reportfailure(fail, err, "cellfreq");
  const auto users = static_cast<std::int64_t>(p.codecount.size());
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
  list.limit(limit, scratchfile);
  times.limit(limit, scratchfile);
  for (std::size_t i = 0; i < p.parts.size(); ++i) {
    partinfo info;
    if (!loadpart(p.parts[i], info, fail)) return reportfailure(fail, err, "cellfreq");
    binin in(p.parts[i]);
    std::int64_t at = 0;
    std::vector<node> slice;
    std::vector<double> stamps;
    for (const indexentry& e : info.index) {
      const auto local = static_cast<std::size_t>(e.object);
      const std::int32_t o = !cl.input.csv ? e.object : local < p.objects[i].size() ? p.objects[i][local] : -1;
      if (o >= from && o < to) {
        slice.resize(static_cast<std::size_t>(e.count));
        stamps.resize(info.head.timed ? slice.size() : 0);
        if (!in.seek(info.recordsat + at * static_cast<std::int64_t>(sizeof(node))) ||
            !in.getall(slice.data(), slice.size()) ||
            !in.seek(info.recordsat + info.head.records * static_cast<std::int64_t>(sizeof(node)) +
                     at * static_cast<std::int64_t>(sizeof(double))) ||
            !in.getall(stamps.data(), stamps.size()))
          return reportfailure(in.failure(), err, "cellfreq");
        for (node r : slice) {
          r.id = o;
          list.push(r);
        }
        for (const double t : stamps) times.push(t);
      }
      at += e.count;
    }
  }
  if (!spillok(list.error() != 0 ? list.error() : times.error(), fail)) return reportfailure(fail, err, "cellfreq");

  // The range's cell-file lines, read back for its analysed users' report.
  grouped cells;
  cells.codecount.assign(static_cast<std::size_t>(users), 0);
  int scratch = 0;
  const std::string cellpath = mergename(work, a, ".cells");
  const bool countvisits = !cfg.heatmappath.empty();
  if (!replacefile(cellpath, "cell file", [&](textout& out) {
        groupcells(list, timed ? &times : nullptr, from, to, {cfg.groupsize, cfg.exactcells}, budget, countvisits,
                   out, cells, scratch);
      }, fail))
    return reportfailure(fail, err, "cellfreq");
  std::vector<cell> frequent;
  if (!spillok(scratch, fail)) return reportfailure(fail, err, "cellfreq");
  const bool svg = countvisits && !isgeojson(cfg.heatmappath);
  const auto analysed = static_cast<std::int32_t>(std::min<std::int64_t>(b, cfg.nusers));
  cfg.outputpath = mergename(work, a, ".report");
  std::FILE* f = std::fopen(cellpath.c_str(), "rb");
  if (f == nullptr) return reportfailure({"cannot reopen cell file " + inquotes(cellpath), errno}, err, "cellfreq");
  textin in(f);
  bool loaded = true;
  const objectids ids{cl.input.csv ? &p.ids : nullptr, cfg.groupsize};
  const bool written = writereport(cfg, nullptr, [&](textout& out) {
    reportwriter writer(cfg.style, cfg.threshold, out, ids, input.layer(cfg), true);
    celltable table;
    for (std::int32_t u = static_cast<std::int32_t>(a); u < analysed && !out.failed(); ++u) {
      if (!loadcells(in, cells.codecount, p.maxcount, table, &cells.box, u, u + 1) || in.error() != 0) {
        loaded = false;
        out.abandon(in.error());
        return;
      }
      writer.users(table, cells.codecount, u, u + 1);
      if (svg) addfrequent(table, cells.codecount, u, u + 1, cfg.threshold, frequent);
    }
    writer.finish();
  }, fail);
  std::fclose(f);
  if (!loaded) fail = {"cannot read cell file " + inquotes(cellpath), in.error()};
  if (!loaded || !written) return reportfailure(fail, err, "cellfreq");

  // Last, the visits per cell and the frequent cells: its presence marks
  // the merge complete.
  binout heat;
  heat.putall(heatmagic, 8);
  heat.put(b);
  heat.put(static_cast<std::int64_t>(cells.visits.counts().size()));
  for (const auto& [k, v] : cells.visits.counts()) {
    heat.put(k);
    heat.put(v);
  }
  heat.put(static_cast<std::int64_t>(frequent.size()));
  heat.putall(frequent.data(), frequent.size());
  return heat.save(mergename(work, a, ".heat"), fail) ? status_ok : reportfailure(fail, err, "cellfreq");
}

// ---- join -------------------------------------------------------------------

struct mergeinfo {
  std::int64_t first = 0, last = 0;
};

int joinpiece(const commandline& cl, commandinput& input, std::FILE* out, std::FILE* err) {
  runconfig cfg = cl.cfg;
  const std::string& work = cl.piece.work;
  runfailure fail;
  plan p;
  if (!startfromplan(cl, input, cfg, p, fail)) return reportfailure(fail, err, "cellfreq");
  // What the run prints while it reads the trace.
  const std::string name = tracename(cfg);
  if (p.chosen) std::fprintf(err, "cellfreq: %s\n", gridmessage(p.gridcrs).c_str());
  for (const badrow& b : p.named)
    std::fprintf(err, "%s:%lld: %s\n", name.c_str(), static_cast<long long>(b.line), b.reason.c_str());
  if (p.bad != 0)
    std::fprintf(err, "%s: %lld bad row%s skipped\n", name.c_str(), static_cast<long long>(p.bad), p.bad == 1 ? "" : "s");
  const auto users = static_cast<std::int64_t>(p.codecount.size());
  // The merges, each with its visits, in order of their users.
  std::vector<mergeinfo> merges;
  cellvisits visits;
  std::vector<cell> frequent;
  for (std::int64_t a = 0; a < users;) {
    binin in(mergename(work, a, ".heat"));
    char magic[8] = {};
    mergeinfo m{a, 0};
    std::int64_t n = 0;
    if (in.getall(magic, 8) && std::memcmp(magic, heatmagic, 8) != 0) in.fails();
    if (in.get(m.last) && (m.last <= a || m.last > users)) in.fails();
    in.get(n);
    for (std::int64_t i = 0; i < n && in.ok(); ++i) {
      std::uint64_t k = 0;
      std::int64_t v = 0;
      if (in.get(k) && in.get(v)) visits.addcount(k, v);
    }
    if (in.get(n) && (n < 0 || n > (std::int64_t{1} << 32))) in.fails();
    const std::size_t had = frequent.size();
    frequent.resize(in.ok() ? had + static_cast<std::size_t>(n) : had);
    if (!in.getall(frequent.data() + had, frequent.size() - had)) {
      fail = in.failure();
      if (in.failure().errnum == ENOENT)
        fail = {"no merge of the users from " + std::to_string(a) + " in " + inquotes(work), 0, {}, status_failed, true};
      return reportfailure(fail, err, "cellfreq");
    }
    merges.push_back(m);
    a = m.last;
  }
  std::sort(frequent.begin(), frequent.end());
  frequent.erase(std::unique(frequent.begin(), frequent.end()), frequent.end());

  // Copies the file `path` into `to`; false when it cannot be read.
  std::string missing;
  const auto copy = [&](const std::string& path, textout& to) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
      missing = path;
      to.abandon(errno);
      return false;
    }
    char buf[1 << 16];
    bool any = false;
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) {
      to.put(std::string_view(buf, n));
      any = true;
    }
    if (std::ferror(f)) {
      missing = path;
      to.abandon(errno);
    }
    std::fclose(f);
    return any;
  };
  const geojsonlayer layer = input.layer(cfg);
  const objectids ids{cl.input.csv ? &p.ids : nullptr, cfg.groupsize};
  bool ok = writereport(cfg, out, [&](textout& to) {
    reportwriter writer(cfg.style, cfg.threshold, to, ids, layer);
    bool features = false;
    for (const mergeinfo& m : merges) {
      if (m.first >= cfg.nusers) break;
      const std::string path = mergename(work, m.first, ".report");
      if (cfg.style.format == reportformat::geojson) {
        // A comma between two pieces that have features.
        std::error_code ec;
        const auto size = fs::file_size(path, ec);
        if (!ec && size != 0 && features) to.put(',');
        features |= !ec && size != 0;
      }
      copy(path, to);
    }
    writer.finish();
  }, fail);
  if (ok && !cfg.cellpath.empty())
    ok = replacefile(cfg.cellpath, "cell file", [&](textout& to) {
      for (const mergeinfo& m : merges) copy(mergename(work, m.first, ".cells"), to);
    }, fail);
  ok = ok && writeheatmap(cfg, visits, frequent, layer, fail) && writeidmapfile(cfg, ids, fail);
  if (!missing.empty()) fail = {"cannot read " + inquotes(missing), errno};
  return ok ? status_ok : reportfailure(fail, err, "cellfreq");
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
  switch (cl.piece.what) {
    case piececonfig::kind::parse: return parsepiece(cl, input, err);
    case piececonfig::kind::plan: return planpiece(cl, input, out, err);
    case piececonfig::kind::merge: return mergepiece(cl, input, err);
    case piececonfig::kind::join: return joinpiece(cl, input, out, err);
    case piececonfig::kind::none: break;
  }
  return status_usage;
}

}  // namespace cellfreq

// Grouping the records by object range, in memory or part by part.
//
// A part holds the records of a range of objects in trace order, in a
// scratch file (and their times in a second one), so each part grouped on
// its own gives exactly the lines the whole trace would give for its
// objects: writecells() keeps the trace order within an object, and so does
// the split. Records whose ids are outside the range appear on no line and
// in no count, so the split drops them.
#include "cells/grouping.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <memory>
#include <numeric>
#include <string>
#include <system_error>

#include "platform/tempfiles.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace cellfreq {
namespace {

constexpr std::int64_t mib = std::int64_t{1} << 20;

// The bytes that grouping `records` records of `objects` objects costs at
// its peak: the records and their codes (12 + 4 bytes), four positions per
// object, and, to order them by time first, the copies ordertimes() makes
// beside the times (36 bytes a record in all).
std::int64_t cost(std::int64_t records, std::int64_t objects, bool timed) {
  return records * (timed ? 36 : 16) + objects * 32;
}

struct fileclose {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using fileptr = std::unique_ptr<std::FILE, fileclose>;

// The records of objects from … to-1, in trace order, in scratch files.
struct part {
  std::int32_t from = 0, to = 0;
  std::int64_t count = 0;
  fileptr nodes, times;
};

// Records moved at a time, and the most parts one split makes (each costs
// open files and a buffer).
constexpr std::size_t block = std::size_t{1} << 14;
constexpr std::int64_t maxparts = 256;
constexpr std::size_t partbuffer = 2048;

class grouper {
public:
  grouper(std::int32_t from, std::int32_t to, const cellform& form, std::int64_t budget, bool countvisits,
          textout& out, grouped& into)
      : from_(from), to_(to), form_(form), share_(groupingshare(budget)), countvisits_(countvisits), out_(out),
        into_(into) {}

  // The error of the first scratch file that failed, or 0.
  int error() const { return error_; }

  bool run(recordlist& list, chunkedlist<double>* times) {
    const bool timed = times != nullptr;
    if (!list.spilled() && (!timed || !times->spilled()) &&
        cost(static_cast<std::int64_t>(list.size()), to_ - from_, timed) <= share_) {
      std::vector<double> t;
      if (timed) {
        t = times->tovector();
        *times = {};
      }
      return group(list, timed ? &t : nullptr, from_, to_);
    }
    recordlist::reader nodes(list);
    std::unique_ptr<chunkedlist<double>::reader> stamps;
    if (timed) stamps = std::make_unique<chunkedlist<double>::reader>(*times);
    std::vector<part> parts;
    const bool split = distribute(
        [&](node* n, double* t, std::size_t max) {
          const std::size_t got = nodes.read(n, max);
          if (timed && stamps->read(t, got) != got && error_ == 0) error_ = times->error() != 0 ? times->error() : EIO;
          return got;
        },
        from_, to_, static_cast<std::int64_t>(list.size()), timed, parts);
    if (error_ == 0) error_ = list.error();
    list = recordlist();
    if (timed) *times = {};
    if (!split || error_ != 0) return fail();
    for (part& p : parts)
      if (!finish(p, timed)) return false;
    return true;
  }

private:
  // Makes a scratch file into `f`; false with error_ set when it cannot be made.
  bool scratch(fileptr& f) {
    result<std::FILE*> made = scratch_file();
    if (!made) error_ = made.error().errnum;
    else f.reset(made.value());
    return made.ok();
  }

  bool fail() {
    if (error_ != 0) out_.abandon(error_);
    return false;
  }

  // Writes the lines of objects from … to-1 from records in memory, after
  // ordering them by `times` when given, and counts their visits.
  bool group(recordlist& list, std::vector<double>* times, std::int32_t from, std::int32_t to) {
    if (times != nullptr) {
      ordertimes(list, *times);
      *times = {};
    }
    if (!writecellrange(list, from, to, out_, into_.codecount, form_, into_.box)) return false;  // told by `out_`
    if (countvisits_) into_.visits.add(list, from, to);
    list = recordlist();
    return true;
  }

  // Splits the `count` records that next(nodes, times, max) hands out into
  // parts of objects from … to-1, as many as the cost needs for each part
  // to fill half of a share, in `parts`. False on a scratch file's error.
  template <class Next>
  bool distribute(Next&& next, std::int32_t from, std::int32_t to, std::int64_t count, bool timed,
                  std::vector<part>& parts) {
    const std::int64_t objects = to - from;
    const std::int64_t half = std::max<std::int64_t>(share_ / 2, 1);
    std::int64_t n = std::min(std::max<std::int64_t>((cost(count, objects, timed) + half - 1) / half, 2),
                              std::min(maxparts, objects));
    const std::int64_t width = (objects + n - 1) / n;
    n = (objects + width - 1) / width;
    parts.resize(static_cast<std::size_t>(n));
    std::vector<std::vector<node>> nodebuf(parts.size());
    std::vector<std::vector<double>> timebuf(parts.size());
    for (std::size_t i = 0; i < parts.size(); ++i) {
      part& p = parts[i];
      p.from = static_cast<std::int32_t>(from + static_cast<std::int64_t>(i) * width);
      p.to = static_cast<std::int32_t>(std::min<std::int64_t>(to, p.from + width));
      if (!scratch(p.nodes) || (timed && !scratch(p.times))) return false;
      nodebuf[i].reserve(partbuffer);
      if (timed) timebuf[i].reserve(partbuffer);
    }
    const auto flush = [&](std::size_t i) {
      part& p = parts[i];
      errno = 0;
      if (std::fwrite(nodebuf[i].data(), sizeof(node), nodebuf[i].size(), p.nodes.get()) != nodebuf[i].size() ||
          (timed && std::fwrite(timebuf[i].data(), sizeof(double), timebuf[i].size(), p.times.get()) !=
                        timebuf[i].size())) {
        error_ = lasterror().errnum;
        return false;
      }
      p.count += static_cast<std::int64_t>(nodebuf[i].size());
      nodebuf[i].clear();
      timebuf[i].clear();
      return true;
    };
    const auto nodes = std::make_unique_for_overwrite<node[]>(block);
    const auto times = std::make_unique_for_overwrite<double[]>(timed ? block : 0);
    const auto base = static_cast<std::uint32_t>(from);
    for (std::size_t got; (got = next(nodes.get(), times.get(), block)) > 0;) {
      for (std::size_t k = 0; k < got; ++k) {
        const std::uint32_t o = static_cast<std::uint32_t>(nodes[k].id) - base;
        if (o >= static_cast<std::uint64_t>(objects)) continue;
        const std::size_t i = o / static_cast<std::uint64_t>(width);
        nodebuf[i].push_back(nodes[k]);
        if (timed) timebuf[i].push_back(times[k]);
        if (nodebuf[i].size() == partbuffer && !flush(i)) return false;
      }
    }
    if (error_ != 0) return false;
    for (std::size_t i = 0; i < parts.size(); ++i) {
      if (!flush(i)) return false;
      errno = 0;
      if (std::fflush(parts[i].nodes.get()) != 0 || (timed && std::fflush(parts[i].times.get()) != 0)) {
        error_ = lasterror().errnum;
        return false;
      }
    }
    return true;
  }

  // Reads up to `max` records of part `p` (and their times) from where its
  // files stand; 0 at the end or on a read error (then error_ is set).
  std::size_t readpart(part& p, node* nodes, double* times, std::size_t max, std::int64_t& left) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(left, static_cast<std::int64_t>(max)));
    errno = 0;
    if (n == 0) return 0;
    if (std::fread(nodes, sizeof(node), n, p.nodes.get()) != n ||
        (p.times && std::fread(times, sizeof(double), n, p.times.get()) != n)) {
      error_ = lasterror().errnum;
      return 0;
    }
    left -= static_cast<std::int64_t>(n);
    return n;
  }

  // Groups part `p`: in memory when it fits a share (or is a single object,
  // which cannot be split), else split again.
  bool finish(part& p, bool timed) {
    errno = 0;
    if (std::fseek(p.nodes.get(), 0, SEEK_SET) != 0 || (timed && std::fseek(p.times.get(), 0, SEEK_SET) != 0)) {
      error_ = lasterror().errnum;
      return fail();
    }
    std::int64_t left = p.count;
    if (cost(p.count, p.to - p.from, timed) > share_ && p.to - p.from > 1) {
      std::vector<part> sub;
      const bool split = distribute(
          [&](node* n, double* t, std::size_t max) { return readpart(p, n, t, max, left); }, p.from, p.to, p.count,
          timed, sub);
      p.nodes.reset();
      p.times.reset();
      if (!split || error_ != 0) return fail();
      for (part& s : sub)
        if (!finish(s, timed)) return false;
      return true;
    }
    recordlist list;
    std::vector<double> times;
    times.reserve(timed ? static_cast<std::size_t>(p.count) : 0);
    const auto nodes = std::make_unique_for_overwrite<node[]>(block);
    const auto stamps = std::make_unique_for_overwrite<double[]>(timed ? block : 0);
    for (std::size_t got; (got = readpart(p, nodes.get(), stamps.get(), block, left)) > 0;) {
      for (std::size_t k = 0; k < got; ++k) list.push(nodes[k]);
      if (timed) times.insert(times.end(), stamps.get(), stamps.get() + got);
    }
    p.nodes.reset();
    p.times.reset();
    if (error_ != 0) return fail();
    return group(list, timed ? &times : nullptr, p.from, p.to);
  }

  std::int32_t from_, to_;
  cellform form_;
  std::int64_t share_;
  bool countvisits_;
  textout& out_;
  grouped& into_;
  int error_ = 0;  // kept as a stream keeps its error, through the recursion over the parts
};

// The bytes a cgroup file states, 0 for "max" or anything but a number.
std::int64_t limitin(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
  std::int64_t v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  return ec == std::errc() && end == text.data() + text.size() && v > 0 ? v : 0;
}

// The smallest limit in file `name` of the cgroup `path` under `root` and
// of its ancestors (each bounds it), 0 when none has one; `found` tells
// whether any of them has the file.
std::int64_t smallestlimit(std::string path, const std::string& root, const char* name,
                           const std::function<std::string(const std::string&)>& readfile, bool& found) {
  std::int64_t least = 0;
  if (path.empty() || path[0] != '/') return least;
  for (;;) {
    const std::string text = readfile(root + (path == "/" ? "" : path) + "/" + name);
    found |= !text.empty();
    const std::int64_t v = limitin(text);
    if (v > 0 && (least == 0 || v < least)) least = v;
    if (path == "/") return least;
    path.erase(std::max<std::size_t>(path.rfind('/'), 1));
  }
}

#ifndef _WIN32
// The whole of a small file, empty when it cannot be read.
std::string slurp(const std::string& path) {
  std::string text;
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0 && text.size() < (1 << 20);) text.append(buf, n);
    std::fclose(f);
  }
  return text;
}
#endif

}  // namespace

std::int64_t cgroupmemory(std::string_view selfcgroup, const std::function<std::string(const std::string&)>& readfile) {
  std::string unified, memory;  // the paths of the v2 cgroup and of the v1 memory controller's
  bool haveunified = false, havememory = false;
  while (!selfcgroup.empty()) {
    const std::size_t eol = std::min(selfcgroup.find('\n'), selfcgroup.size());
    const std::string_view line = selfcgroup.substr(0, eol);
    selfcgroup.remove_prefix(std::min(eol + 1, selfcgroup.size()));
    const std::size_t a = line.find(':'), b = a == std::string_view::npos ? a : line.find(':', a + 1);
    if (b == std::string_view::npos) continue;
    const std::string_view controllers = line.substr(a + 1, b - a - 1), path = line.substr(b + 1);
    if (line.substr(0, a) == "0" && controllers.empty()) {
      unified = path;
      haveunified = true;
    }
    for (std::string_view rest = controllers; !havememory && !rest.empty();) {
      const std::size_t comma = std::min(rest.find(','), rest.size());
      if (rest.substr(0, comma) == "memory") {
        memory = path;
        havememory = true;
      }
      rest.remove_prefix(std::min(comma + 1, rest.size()));
    }
  }
  bool found = false;
  if (haveunified) {
    const std::int64_t v2 = smallestlimit(unified, "/sys/fs/cgroup", "memory.max", readfile, found);
    if (found) return v2;
  }
  return havememory ? smallestlimit(memory, "/sys/fs/cgroup/memory", "memory.limit_in_bytes", readfile, found) : 0;
}

std::int64_t memorybudget(std::int64_t limit) {
  if (limit > 0) return limit;
  std::int64_t physical = 0;
#ifdef _WIN32
  MEMORYSTATUSEX m{};
  m.dwLength = sizeof m;
  if (GlobalMemoryStatusEx(&m)) physical = static_cast<std::int64_t>(m.ullTotalPhys);
#else
  const long pages = ::sysconf(_SC_PHYS_PAGES), size = ::sysconf(_SC_PAGE_SIZE);
  if (pages > 0 && size > 0) physical = static_cast<std::int64_t>(pages) * size;
  const std::int64_t contained = cgroupmemory(slurp("/proc/self/cgroup"), slurp);
  if (contained > 0 && (physical == 0 || contained < physical)) physical = contained;
#endif
  return std::max(physical / 4, 256 * mib);
}

// Shares of the budget: the buffers of the reader, the report and the cell
// file, and a chunk that a list may fill beyond its limit, take a few tens
// of MiB besides.
std::size_t readinglimit(std::int64_t budget, std::size_t recordbytes) {
  return static_cast<std::size_t>(std::max<std::int64_t>(budget / 10 * 6 / static_cast<std::int64_t>(recordbytes), 1));
}
std::int64_t groupingshare(std::int64_t budget) { return std::max<std::int64_t>(budget / 10 * 8, 1); }
std::int64_t tableshare(std::int64_t budget) { return std::max<std::int64_t>(budget / 2, 1); }

result<void> groupcells(recordlist& list, chunkedlist<double>* times, std::int32_t from, std::int32_t to,
                        const cellform& form, std::int64_t budget, bool countvisits, textout& out, grouped& into) {
  grouper g(from, to, form, budget, countvisits, out, into);
  (void)g.run(list, times);  // a failed write stays with `out`; a scratch file's failure is error()
  return fromerrno(g.error());
}

void ordertimes(recordlist& list, const std::vector<double>& times) {
  // Usually every object's rows already come in time order; then nothing moves.
  {
    std::vector<double> last;
    bool sorted = true;
    std::size_t i = 0;
    list.foreach([&](const node& n) {
      if (n.id < 0) {
        ++i;
        return;
      }
      const auto id = static_cast<std::size_t>(n.id);
      if (id >= last.size()) last.resize(id + 1, -HUGE_VAL);
      if (times[i] < last[id]) sorted = false;
      last[id] = times[i++];
    });
    if (sorted) return;
  }
  const std::vector<node> nodes = list.tovector();
  list = recordlist();
  std::vector<std::uint32_t> order(nodes.size());
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    return nodes[a].id != nodes[b].id ? nodes[a].id < nodes[b].id : times[a] < times[b];
  });
  for (const std::uint32_t k : order) list.push(nodes[k]);
}

}  // namespace cellfreq

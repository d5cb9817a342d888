// The layouts of part, plan, heat and fragment files, and the checks that
// a file read back is one that a piece of this run wrote (see partfiles.h).
#include "driver/partfiles.h"

#include <limits>

#include "driver/options.h"
#include "trace/textout.h"

namespace cellfreq {
namespace {

constexpr std::int64_t max_parts = std::int64_t{1} << 24;
constexpr std::int64_t max_text = std::int64_t{1} << 30;  // an id, a reason, a CRS, a path
constexpr std::int64_t max_total = std::int64_t{1} << 62;
constexpr auto node_bytes = static_cast<std::int64_t>(sizeof(node));
constexpr auto time_bytes = static_cast<std::int64_t>(sizeof(double));

// Opens `path` as a file of `kind` and checks that it is of this run.
bool openpiece(piecein& in, const std::string& path, piecekind kind, const fingerprint& run, bool whole) {
  return in.open(path, kind, whole) && checkfingerprint(in, run);
}

// A file read to its end: nothing may follow what its layout holds.
bool atend(piecein& in) { return in.ok() && (in.at() == in.end() || in.damaged("it goes on past its last field")); }

void putstate(pieceout& out, const parsestate& s) {
  out.put(s.current.id);
  out.put(s.current.x);
  out.put(s.current.y);
  out.put(s.fieldno);
  out.put(s.v);
  out.put(s.w);
  out.put(s.nrec);
  for (const bool b : {s.vknown, s.wknown, s.guessed, s.cleanend}) out.putflag(b);
  out.put(s.freshoffset);
  out.put(s.freshnrec);
  out.put(s.freshv);
  out.put(s.freshw);
}

bool getstate(piecein& in, parsestate& s) {
  in.get(s.current.id, "state") && in.get(s.current.x, "state") && in.get(s.current.y, "state") &&
      in.get(s.fieldno, "state") && in.get(s.v, "state") && in.get(s.w, "state") && in.get(s.nrec, "state") &&
      in.getflag(s.vknown, "state flag") && in.getflag(s.wknown, "state flag") && in.getflag(s.guessed, "state flag") &&
      in.getflag(s.cleanend, "state flag") && in.get(s.freshoffset, "state") && in.get(s.freshnrec, "state") &&
      in.get(s.freshv, "state") && in.get(s.freshw, "state");
  return in.ok() && ((s.fieldno >= 0 && s.nrec >= 0 && s.freshnrec >= 0) || in.damaged("its parser state is out of range"));
}

void putrows(pieceout& out, const std::vector<badrow>& named) {
  out.put(static_cast<std::int64_t>(named.size()));
  for (const badrow& b : named) {
    out.put(b.line);
    out.putstring(b.reason);
  }
}

bool getrows(piecein& in, std::vector<badrow>& named) {
  std::int64_t n = 0;
  in.getcount(n, csvreader::named_max, 16, "number of named bad rows");
  named.resize(in.ok() ? static_cast<std::size_t>(n) : 0);
  for (badrow& b : named) {
    if (!in.get(b.line, "bad row") || !in.getstring(b.reason, max_text, "bad row's reason")) return false;
    if (b.line < 0) return in.damaged("a bad row's line is negative");
  }
  return in.ok();
}

// A list of texts: the paths of the parts, or the ids of a trace.
template <class texts>
void putstrings(pieceout& out, const texts& strings) {
  out.put(static_cast<std::int64_t>(strings.size()));
  for (const std::string_view s : strings) out.putstring(s);
}

bool getstrings(piecein& in, std::vector<std::string>& strings, const char* what) {
  std::int64_t n = 0;
  in.getcount(n, max_objects, 8, what);
  strings.resize(in.ok() ? static_cast<std::size_t>(n) : 0);
  for (std::string& s : strings) in.getstring(s, max_text, what);
  return in.ok();
}

bool getstrings(piecein& in, idtable& ids, const char* what) {
  std::int64_t n = 0;
  in.getcount(n, max_objects, 8, what);
  std::string id;
  for (std::int64_t i = in.ok() ? n : 0; i > 0 && in.getstring(id, max_text, what); --i) ids.push_back(id);
  return in.ok();
}

}  // namespace

bool savepart(const std::string& path, const fingerprint& fp, const partheader& head,
              const std::vector<indexentry>& index, const std::vector<node>& grouped,
              const std::vector<double>& stamps, const partinfo& p, runfailure& fail) {
  pieceout out(piecekind::part);
  putfingerprint(out, fp);
  out.put(head.start);
  out.put(head.end);
  out.put(head.size);
  putstate(out, head.state);
  for (const bool b : {head.final, head.csv, head.clean, head.failed, head.timed, head.chosen}) out.putflag(b);
  out.put(head.lines);
  out.put(head.bad);
  out.put(static_cast<std::int64_t>(index.size()));
  out.put(static_cast<std::int64_t>(grouped.size()));
  std::size_t at = 0;
  for (indexentry e : index) {
    const auto n = static_cast<std::size_t>(e.count);
    e.crc = crc32of(crc32of(0, grouped.data() + at, n * sizeof(node)), stamps.data() + (stamps.empty() ? 0 : at),
                    stamps.empty() ? 0 : n * sizeof(double));
    out.put(e);
    at += n;
  }
  out.seal();
  out.putall(grouped.data(), grouped.size());
  out.putall(stamps.data(), stamps.size());
  if (head.csv) {
    putstrings(out, p.ids);
    putrows(out, p.named);
    out.putstring(p.gridcrs);
  }
  return out.save(path, fail);
}

bool loadpart(piecein& in, const std::string& path, const fingerprint& run, std::int32_t objects, bool whole,
              partinfo& p) {
  p.path = path;
  partheader& h = p.head;
  if (!openpiece(in, path, piecekind::part, run, whole) || !in.get(h.start, "range") || !in.get(h.end, "range") ||
      !in.get(h.size, "range") || !getstate(in, h.state))
    return false;
  for (bool* b : {&h.final, &h.csv, &h.clean, &h.failed, &h.timed, &h.chosen}) in.getflag(*b, "flag");
  std::int64_t entries = 0;
  if (!in.get(h.lines, "line count") || !in.get(h.bad, "bad row count") ||
      !in.getcount(entries, max_objects, sizeof(indexentry), "index count") ||
      !in.getcount(p.records, max_total, node_bytes + (h.timed ? time_bytes : 0), "record count"))
    return false;
  if (h.size != run.trace.size || h.start < 0 || h.start > h.end || h.end > h.size || h.lines < 0 || h.bad < 0)
    return in.damaged("its range or counts are out of range");
  p.index.resize(static_cast<std::size_t>(entries));
  if (!in.getall(p.index.data(), p.index.size(), "index")) return false;
  // Objects ascending, each with records, together all of the part's.
  std::int64_t sum = 0;
  std::int32_t last = -1;
  for (const indexentry& e : p.index) {
    if (e.object <= last || e.object >= objects || e.count < 1 || e.count > p.records - sum)
      return in.damaged("its index does not match its records");
    last = e.object;
    sum += e.count;
  }
  if (sum != p.records) return in.damaged("its index does not match its records");
  if (!in.seal()) return false;
  p.recordsat = in.at();
  const std::int64_t after = p.recordsat + p.records * (node_bytes + (h.timed ? time_bytes : 0));
  if (after > in.end()) return in.damaged("its records run past its end");
  if (!whole) return true;
  if (!in.seek(after, "records")) return false;
  if (h.csv) {
    getstrings(in, p.ids, "number of ids") && getrows(in, p.named) && in.getstring(p.gridcrs, max_text, "grid CRS");
    if (in.ok() && last >= static_cast<std::int64_t>(p.ids.size())) return in.damaged("its index names objects it has no id for");
  }
  return atend(in);
}

bool loadslice(piecein& in, const partinfo& p, const indexentry& e, std::int64_t at, std::vector<node>& records,
               std::vector<double>& times) {
  records.resize(static_cast<std::size_t>(e.count));
  times.resize(p.head.timed ? records.size() : 0);
  if (!in.readat(p.recordsat + at * node_bytes, records.data(), records.size() * sizeof(node), "records") ||
      (p.head.timed && !in.readat(p.recordsat + p.records * node_bytes + at * time_bytes, times.data(),
                                  times.size() * sizeof(double), "times")))
    return false;
  const std::uint32_t crc =
      crc32of(crc32of(0, records.data(), records.size() * sizeof(node)), times.data(), times.size() * sizeof(double));
  return crc == e.crc || piecein::trustchecksums ||
         in.damaged("the records of object " + std::to_string(e.object) + " do not match their checksum");
}

bool saveplan(const std::string& path, const fingerprint& fp, const plan& p, runfailure& fail) {
  pieceout out(piecekind::plan);
  putfingerprint(out, fp);
  putstrings(out, p.parts);
  for (const auto& map : p.objects) {
    out.put(static_cast<std::int64_t>(map.size()));
    out.putall(map.data(), map.size());
  }
  out.put(p.nobjects);
  out.put(p.nusers);
  out.put(static_cast<std::int64_t>(p.codecount.size()));
  out.putall(p.codecount.data(), p.codecount.size());
  out.put(p.maxcount);
  putstrings(out, p.ids);
  out.putstring(p.gridcrs);
  out.putflag(p.chosen);
  out.put(p.bad);
  putrows(out, p.named);
  return out.save(path, fail);
}

bool loadplan(piecein& in, const std::string& path, const fingerprint& run, std::int32_t groupsize, plan& p) {
  std::int64_t n = 0;
  if (!openpiece(in, path, piecekind::plan, run, true) || !getstrings(in, p.parts, "number of parts")) return false;
  if (static_cast<std::int64_t>(p.parts.size()) > max_parts) return in.damaged("it lists too many parts");
  p.objects.resize(p.parts.size());
  for (auto& map : p.objects)
    if (in.getcount(n, max_objects, sizeof(std::int32_t), "object map")) {
      map.resize(static_cast<std::size_t>(n));
      in.getall(map.data(), map.size(), "object map");
    }
  if (!in.get(p.nobjects, "objects") || !in.get(p.nusers, "users") ||
      !in.getcount(n, max_objects, sizeof(std::int64_t), "number of users"))
    return false;
  if (p.nobjects < 1 || p.nobjects > max_objects || groupsize < 1 || p.nobjects % groupsize != 0 ||
      n != p.nobjects / groupsize || p.nusers < 0 || p.nusers > n)
    return in.damaged("its objects and users do not match");
  for (const auto& map : p.objects)
    for (const std::int32_t o : map)
      if (o < -1 || o >= p.nobjects) return in.damaged("its object map names an object out of range");
  p.codecount.resize(static_cast<std::size_t>(n));
  if (!in.getall(p.codecount.data(), p.codecount.size(), "counts") || !in.get(p.maxcount, "largest count"))
    return false;
  std::int64_t total = 0;
  for (const std::int64_t c : p.codecount) {
    if (c < 0 || c > max_total - total) return in.damaged("its counts are out of range");
    total += c;
  }
  if (p.maxcount != cellfreq::max(p.codecount, p.nusers)) return in.damaged("its largest count is not its counts'");
  getstrings(in, p.ids, "number of ids") && in.getstring(p.gridcrs, max_text, "grid CRS") &&
      in.getflag(p.chosen, "flag") && in.get(p.bad, "bad row count") && getrows(in, p.named);
  return atend(in) && (p.bad >= 0 || in.damaged("its bad row count is negative"));
}

bool saveheat(const std::string& path, const fingerprint& fp, const heatinfo& h, runfailure& fail) {
  pieceout out(piecekind::heat);
  putfingerprint(out, fp);
  out.put(h.last);
  for (const fragmentseal& s : {h.cells, h.report}) {
    out.put(s.size);
    out.put(s.crc);
  }
  out.put(static_cast<std::int64_t>(h.visits.size()));
  for (const auto& [key, count] : h.visits) {
    out.put(key);
    out.put(count);
  }
  out.put(static_cast<std::int64_t>(h.frequent.size()));
  out.putall(h.frequent.data(), h.frequent.size());
  return out.save(path, fail);
}

bool loadheat(piecein& in, const std::string& path, const fingerprint& run, std::int64_t first,
              const std::vector<std::int64_t>& codecount, heatinfo& h) {
  std::int64_t n = 0;
  if (!openpiece(in, path, piecekind::heat, run, true) || !in.get(h.last, "users")) return false;
  if (h.last <= first || h.last > static_cast<std::int64_t>(codecount.size()))
    return in.damaged("its users are out of range");
  for (fragmentseal* s : {&h.cells, &h.report}) in.get(s->size, "fragment size") && in.get(s->crc, "fragment checksum");
  if (!in.getcount(n, max_total, 16, "number of cells")) return false;
  h.visits.resize(static_cast<std::size_t>(n));
  // No more visits than the users' records, so that no sum overflows.
  std::int64_t left = 0;
  for (auto u = static_cast<std::size_t>(first); u < static_cast<std::size_t>(h.last); ++u) left += codecount[u];
  for (auto& [key, count] : h.visits) {
    if (!in.get(key, "cell") || !in.get(count, "visits")) return false;
    if (count < 1 || count > left) return in.damaged("its visits are more than its users' records");
    left -= count;
  }
  if (!in.getcount(n, max_total, sizeof(cell), "number of frequent cells")) return false;
  h.frequent.resize(static_cast<std::size_t>(n));
  in.getall(h.frequent.data(), h.frequent.size(), "frequent cells");
  return atend(in);
}

bool savefragment(const std::string& path, piecekind kind, const char* noun, const fingerprint& fp,
                  const std::function<void(textout&)>& write, fragmentseal& seal, std::int64_t& bodyat,
                  runfailure& fail) {
  pieceout start(kind);
  putfingerprint(start, fp);
  bodyat = static_cast<std::int64_t>(start.bytes().size());
  return replacefile(path, noun, [&](textout& out) {
    std::uint32_t crc = 0;
    std::int64_t size = 0;
    out.tap([&](std::string_view block) {
      crc = crc32of(crc, block.data(), block.size());
      size += static_cast<std::int64_t>(block.size());
    });
    out.put(start.bytes());
    write(out);
    out.flush();  // every byte before the checksum has passed the tap
    out.tap(nullptr);
    char bytes[sizeof crc];
    std::memcpy(bytes, &crc, sizeof crc);
    out.put(std::string_view(bytes, sizeof bytes));
    seal = {size + static_cast<std::int64_t>(sizeof crc), crc};
  }, fail);
}

bool openfragment(piecein& in, const std::string& path, piecekind kind, const fingerprint& run,
                  const fragmentseal& seal) {
  return openpiece(in, path, kind, run, true) &&
         ((in.size() == seal.size && in.checksum() == seal.crc) ||
          in.damaged("it is not the fragment its merge's .heat was written with"));
}

}  // namespace cellfreq

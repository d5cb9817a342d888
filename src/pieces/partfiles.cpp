// The layouts of part, plan, heat and fragment files, and the checks that
// a file read back is one that a piece of this run wrote (see partfiles.h).
#include "pieces/partfiles.h"

#include <algorithm>
#include <cerrno>
#include <limits>

#include "driver/outputs.h"
#include "platform/tempfiles.h"

#include "driver/options.h"
#include "io/textout.h"

namespace cellfreq {
namespace {

constexpr std::int64_t max_parts = std::int64_t{1} << 24;
constexpr std::int64_t max_text = std::int64_t{1} << 30;  // an id, a reason, a CRS, a path
constexpr std::int64_t max_total = std::int64_t{1} << 62;
constexpr auto node_bytes = static_cast<std::int64_t>(sizeof(node));
constexpr auto time_bytes = static_cast<std::int64_t>(sizeof(double));
constexpr std::int64_t block_objects = 4096;  // about: a whole number of users

// Opens `path` as a file of `kind` and checks that it is of this run.
result<void> openpiece(piecein& in, const std::string& path, piecekind kind, const fingerprint& run, bool whole) {
  if (result<void> opened = in.open(path, kind, whole); !opened) return opened;
  return checkfingerprint(in, run);
}

// A file read to its end: nothing may follow what its layout holds.
result<void> atend(piecein& in) {
  if (in.ok() && in.at() != in.end()) return in.damaged("it goes on past its last field");
  return in.outcome();
}

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
  for (badrow& b : named)
    if (!in.get(b.line, "bad row") || !in.getstring(b.reason, max_text, "bad row's reason") ||
        (b.line < 0 && !in.damaged("a bad row's line is negative")))
      return false;
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

result<void> writeat(std::FILE* f, std::int64_t at, const void* p, std::size_t n) {
  errno = 0;
  if (n == 0) return {};
  if (fseeko(f, static_cast<off_t>(at), SEEK_SET) == 0 && std::fwrite(p, 1, n, f) == n) return {};
  return lasterror();
}

std::int64_t blocksize(std::int32_t groupsize) {
  const std::int64_t g = std::max<std::int32_t>(groupsize, 1);
  return g * std::max<std::int64_t>(1, block_objects / g);
}

result<void> savepart(const std::string& path, const fingerprint& fp, const partheader& head,
                      const std::vector<std::int64_t>& counts, std::int64_t blockobjects, std::size_t window,
                      const windowfill& fill, const partinfo& extras) {
  // The index and the directory, from the counts alone.
  std::vector<indexentry> index;
  std::vector<indexblock> blocks;
  std::int64_t records = 0;
  for (std::size_t o = 0; o < counts.size(); ++o) {
    if (counts[o] == 0) continue;
    const auto first = static_cast<std::int32_t>(static_cast<std::int64_t>(o) / blockobjects * blockobjects);
    if (blocks.empty() || blocks.back().first != first) blocks.push_back({first});
    ++blocks.back().entries;
    blocks.back().records += counts[o];
    index.push_back({static_cast<std::int32_t>(o), 0, counts[o]});
    records += counts[o];
  }
  pieceout csvpart(piecekind::part, false);
  if (head.csv) {
    putstrings(csvpart, extras.ids);
    putrows(csvpart, extras.named);
    csvpart.putstring(extras.gridcrs);
  }
  const std::string& tail = csvpart.bytes();
  const auto puthead = [&](pieceout& out) {
    putfingerprint(out, fp);
    out.put(head.start);
    out.put(head.end);
    out.put(head.size);
    putstate(out, head.state);
    for (const bool b : {head.final, head.csv, head.clean, head.failed, head.timed, head.chosen}) out.putflag(b);
    out.put(head.lines);
    out.put(head.bad);
    out.put(static_cast<std::int64_t>(blocks.size()));
    out.put(static_cast<std::int64_t>(index.size()));
    out.put(records);
    out.put(blockobjects);
    out.put(static_cast<std::int64_t>(tail.size()));
    out.put(crc32of(0, tail.data(), tail.size()));
    out.putall(blocks.data(), blocks.size());
    out.seal();
  };
  pieceout sized(piecekind::part);
  puthead(sized);
  const auto indexat = static_cast<std::int64_t>(sized.bytes().size());
  const std::int64_t recordsat = indexat + static_cast<std::int64_t>(index.size() * sizeof(indexentry));
  const std::int64_t timesat = recordsat + records * node_bytes;
  const std::int64_t extrasat = timesat + (head.timed ? records * time_bytes : 0);

  outputset file;
  result<atomic_file*> opened = file.open(path, placement::replace, "part file", false);
  if (!opened) return std::move(opened.error());
  atomic_file* f = opened.value();
  offset_writer writes(f->file());
  // The records a window at a time, each object's checksum going on from
  // window to window: of its records, and of its times apart.
  const std::size_t step = static_cast<std::size_t>(std::min<std::int64_t>(records, std::max<std::size_t>(window, 1)));
  std::vector<node> buf(step);
  std::vector<double> stamps(head.timed ? step : 0);
  std::vector<std::uint32_t> timecrc(index.size(), 0);
  std::size_t e = 0;
  std::int64_t inentry = 0;
  for (std::int64_t r = 0; r < records;) {
    const auto n = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(step), records - r));
    if (result<void> filled = fill(r, n, buf.data(), head.timed ? stamps.data() : nullptr); !filled) return filled;
    for (std::size_t i = 0; i < n;) {
      const auto take = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(n - i), index[e].count - inentry));
      index[e].crc = crc32of(index[e].crc, buf.data() + i, take * sizeof(node));
      if (head.timed) timecrc[e] = crc32of(timecrc[e], stamps.data() + i, take * sizeof(double));
      i += take;
      if ((inentry += static_cast<std::int64_t>(take)) == index[e].count) {
        ++e;
        inentry = 0;
      }
    }
    if (!writes.put(recordsat + r * node_bytes, buf.data(), n * sizeof(node)) ||
        (head.timed && !writes.put(timesat + r * time_bytes, stamps.data(), n * sizeof(double))))
      break;
    r += static_cast<std::int64_t>(n);
  }
  // Each block's checksums from its objects', each entry's from its
  // records' and times'.
  std::uint32_t allrecords = 0, alltimes = 0;
  for (std::size_t k = 0, at = 0; k < blocks.size(); ++k) {
    indexblock& blk = blocks[k];
    for (std::size_t i = at; i < at + static_cast<std::size_t>(blk.entries); ++i) {
      blk.recordscrc = crc32join(blk.recordscrc, index[i].crc, index[i].count * node_bytes);
      if (head.timed) blk.timescrc = crc32join(blk.timescrc, timecrc[i], index[i].count * time_bytes);
      index[i].crc = crc32join(index[i].crc, timecrc[i], head.timed ? index[i].count * time_bytes : 0);
    }
    blk.indexcrc = crc32of(0, index.data() + at, static_cast<std::size_t>(blk.entries) * sizeof(indexentry));
    allrecords = crc32join(allrecords, blk.recordscrc, blk.records * node_bytes);
    alltimes = crc32join(alltimes, blk.timescrc, head.timed ? blk.records * time_bytes : 0);
    at += static_cast<std::size_t>(blk.entries);
  }
  pieceout start(piecekind::part);
  puthead(start);
  const std::string& h = start.bytes();
  std::uint32_t crc = crc32of(0, h.data(), h.size());
  crc = crc32join(crc, crc32of(0, index.data(), index.size() * sizeof(indexentry)),
                  static_cast<std::int64_t>(index.size() * sizeof(indexentry)));
  crc = crc32join(crc32join(crc, allrecords, records * node_bytes), alltimes, extrasat - timesat);
  crc = crc32join(crc, crc32of(0, tail.data(), tail.size()), static_cast<std::int64_t>(tail.size()));
  writes.put(indexat, index.data(), index.size() * sizeof(indexentry));
  writes.put(extrasat, tail.data(), tail.size());
  writes.put(0, h.data(), h.size());
  writes.put(extrasat + static_cast<std::int64_t>(tail.size()), &crc, sizeof crc);
  if (const result<void>& wrote = writes.outcome(); !wrote)
    return failure{cannot("write", "part file", path), wrote.error().errnum};
  if (result<void> finished = file.finish(*f, [](textout&) {}); !finished) return finished;
  return file.commit();
}

result<void> loadpart(piecein& in, const std::string& path, const fingerprint& run, std::int32_t objects,
                      bool whole, partinfo& p) {
  p.path = path;
  partheader& h = p.head;
  if (!openpiece(in, path, piecekind::part, run, false) || !in.get(h.start, "range") || !in.get(h.end, "range") ||
      !in.get(h.size, "range") || !getstate(in, h.state))
    return in.outcome();
  for (bool* b : {&h.final, &h.csv, &h.clean, &h.failed, &h.timed, &h.chosen}) in.getflag(*b, "flag");
  std::int64_t nblocks = 0;
  const std::int64_t each = node_bytes + (h.timed ? time_bytes : 0);
  if (!in.get(h.lines, "line count") || !in.get(h.bad, "bad row count") ||
      !in.getcount(nblocks, max_objects, sizeof(indexblock), "number of blocks") ||
      !in.getcount(p.entries, max_objects, sizeof(indexentry), "index count") ||
      !in.getcount(p.records, max_total, each, "record count") || !in.get(p.blockobjects, "block size") ||
      !in.getcount(p.extraslength, max_total, 1, "CSV section's size") || !in.get(p.extrascrc, "CSV section's checksum"))
    return in.outcome();
  if (h.size != run.trace.size || h.start < 0 || h.start > h.end || h.end > h.size || h.lines < 0 || h.bad < 0 ||
      p.blockobjects < 1 || p.blockobjects > max_objects || (!h.csv && p.extraslength != 0))
    return in.damaged("its range or counts are out of range");
  p.blocks.resize(static_cast<std::size_t>(nblocks));
  if (!in.getall(p.blocks.data(), p.blocks.size(), "directory")) return in.outcome();
  // Blocks ascending, each with entries and records, together all of the part's.
  std::int64_t entries = 0, records = 0, last = -1;
  p.firstentry.clear();
  p.firstrecord.clear();
  for (const indexblock& b : p.blocks) {
    if (b.first <= last || b.first >= objects || b.first % p.blockobjects != 0 || b.entries < 1 ||
        b.entries > p.blockobjects || b.entries > p.entries - entries || b.records < b.entries ||
        b.records > p.records - records)
      return in.damaged("its directory does not match its index");
    p.firstentry.push_back(entries);
    p.firstrecord.push_back(records);
    last = b.first;
    entries += b.entries;
    records += b.records;
  }
  if (entries != p.entries || records != p.records) return in.damaged("its directory does not match its index");
  if (!in.seal()) return in.outcome();
  p.limit = objects;
  p.indexat = in.at();
  p.recordsat = p.indexat + p.entries * static_cast<std::int64_t>(sizeof(indexentry));
  p.timesat = p.recordsat + p.records * node_bytes;
  p.extrasat = p.timesat + (h.timed ? p.records * time_bytes : 0);
  if (p.extrasat + p.extraslength != in.end()) return in.damaged("its sections do not fill it");
  // The whole file's checksum, from the seal's and the directory's.
  std::uint32_t crc = in.running(), indexcrc = 0, recordscrc = 0, timescrc = 0;
  for (const indexblock& b : p.blocks) {
    indexcrc = crc32join(indexcrc, b.indexcrc, b.entries * static_cast<std::int64_t>(sizeof(indexentry)));
    recordscrc = crc32join(recordscrc, b.recordscrc, b.records * node_bytes);
    timescrc = crc32join(timescrc, b.timescrc, h.timed ? b.records * time_bytes : 0);
  }
  crc = crc32join(crc32join(crc32join(crc32join(crc, indexcrc, p.recordsat - p.indexat), recordscrc,
                                      p.timesat - p.recordsat),
                            timescrc, p.extrasat - p.timesat),
                  p.extrascrc, p.extraslength);
  if (crc != in.checksum() && !piecein::trustchecksums) return in.damaged("its checksum does not match its directory");
  if (!whole || !h.csv) return {};
  if (!in.checkspan(p.extrasat, p.extraslength, p.extrascrc, "ids and bad rows")) return in.outcome();
  getstrings(in, p.ids, "number of ids") && getrows(in, p.named) && in.getstring(p.gridcrs, max_text, "grid CRS");
  if (in.ok() && last >= static_cast<std::int64_t>(p.ids.size())) return in.damaged("its index names objects it has no id for");
  p.limit = static_cast<std::int32_t>(std::min<std::int64_t>(objects, static_cast<std::int64_t>(p.ids.size())));
  return atend(in);
}

result<void> loadblock(piecein& in, const partinfo& p, std::size_t b, std::vector<indexentry>& index,
                       std::int64_t& at) {
  const indexblock& blk = p.blocks[b];
  index.resize(static_cast<std::size_t>(blk.entries));
  if (!in.readat(p.indexat + p.firstentry[b] * static_cast<std::int64_t>(sizeof(indexentry)), index.data(),
                 index.size() * sizeof(indexentry), "index"))
    return in.outcome();
  if (crc32of(0, index.data(), index.size() * sizeof(indexentry)) != blk.indexcrc && !piecein::trustchecksums)
    return in.damaged("its index does not match its directory");
  // Objects ascending within the block, each with records, together the block's.
  std::int64_t sum = 0, last = blk.first - 1;
  for (const indexentry& e : index) {
    if (e.object <= last || e.object >= blk.first + p.blockobjects || e.object >= p.limit || e.count < 1 ||
        e.count > blk.records - sum)
      return in.damaged("its index does not match its records");
    last = e.object;
    sum += e.count;
  }
  if (sum != blk.records) return in.damaged("its index does not match its records");
  at = p.firstrecord[b];
  return {};
}

result<void> loadslice(piecein& in, const partinfo& p, const indexentry& e, std::int64_t at,
                       std::vector<node>& records, std::vector<double>& times) {
  records.resize(static_cast<std::size_t>(e.count));
  times.resize(p.head.timed ? records.size() : 0);
  if (!in.readat(p.recordsat + at * node_bytes, records.data(), records.size() * sizeof(node), "records") ||
      (p.head.timed && !in.readat(p.timesat + at * time_bytes, times.data(), times.size() * sizeof(double), "times")))
    return in.outcome();
  const std::uint32_t crc =
      crc32of(crc32of(0, records.data(), records.size() * sizeof(node)), times.data(), times.size() * sizeof(double));
  if (crc != e.crc && !piecein::trustchecksums)
    return in.damaged("the records of object " + std::to_string(e.object) + " do not match their checksum");
  return {};
}

result<void> saveplan(const std::string& path, const fingerprint& fp, const plan& p) {
  pieceout out(piecekind::plan);
  putfingerprint(out, fp);
  putstrings(out, p.parts);
  for (const auto& map : p.objects) {
    out.put(static_cast<std::int64_t>(map.size()));
    out.putall(map.data(), map.size());
  }
  out.put(p.nobjects);
  out.put(p.nusers);
  out.put(p.users);
  out.put(p.blockusers);
  out.put(static_cast<std::int64_t>(p.blockcount.size()));
  out.putall(p.blockcount.data(), p.blockcount.size());
  putstrings(out, p.ids);
  out.putstring(p.gridcrs);
  out.putflag(p.chosen);
  out.put(p.bad);
  putrows(out, p.named);
  return out.save(path);
}

result<void> loadplan(piecein& in, const std::string& path, const fingerprint& run, std::int32_t groupsize,
                      plan& p) {
  std::int64_t n = 0;
  if (!openpiece(in, path, piecekind::plan, run, true) || !getstrings(in, p.parts, "number of parts"))
    return in.outcome();
  if (static_cast<std::int64_t>(p.parts.size()) > max_parts) return in.damaged("it lists too many parts");
  p.objects.resize(p.parts.size());
  for (auto& map : p.objects)
    if (in.getcount(n, max_objects, sizeof(std::int32_t), "object map")) {
      map.resize(static_cast<std::size_t>(n));
      in.getall(map.data(), map.size(), "object map");
    }
  if (!in.get(p.nobjects, "objects") || !in.get(p.nusers, "users") || !in.get(p.users, "users") ||
      !in.get(p.blockusers, "users per block") ||
      !in.getcount(n, max_objects, sizeof(std::int64_t), "number of blocks"))
    return in.outcome();
  if (p.nobjects < 1 || p.nobjects > max_objects || groupsize < 1 || p.nobjects % groupsize != 0 ||
      p.users != p.nobjects / groupsize || p.nusers < 0 || p.nusers > p.users || p.blockusers < 1 ||
      p.blockusers > p.users || n != (p.users + p.blockusers - 1) / p.blockusers)
    return in.damaged("its objects and users do not match");
  for (const auto& map : p.objects)
    for (const std::int32_t o : map)
      if (o < -1 || o >= p.nobjects) return in.damaged("its object map names an object out of range");
  p.blockcount.resize(static_cast<std::size_t>(n));
  if (!in.getall(p.blockcount.data(), p.blockcount.size(), "counts")) return in.outcome();
  std::int64_t total = 0;
  for (const std::int64_t c : p.blockcount) {
    if (c < 0 || c > max_total - total) return in.damaged("its counts are out of range");
    total += c;
  }
  getstrings(in, p.ids, "number of ids") && in.getstring(p.gridcrs, max_text, "grid CRS") &&
      in.getflag(p.chosen, "flag") && in.get(p.bad, "bad row count") && getrows(in, p.named);
  if (result<void> ended = atend(in); !ended) return ended;
  if (p.bad < 0) return in.damaged("its bad row count is negative");
  return {};
}

result<void> saveheat(const std::string& path, const fingerprint& fp, const heatinfo& h) {
  pieceout out(piecekind::heat);
  putfingerprint(out, fp);
  out.put(h.last);
  for (const fragmentseal& s : {h.cells, h.report}) {
    out.put(s.size);
    out.put(s.crc);
  }
  out.put(h.features);
  out.put(static_cast<std::int64_t>(h.visits.size()));
  for (const auto& [key, count] : h.visits) {
    out.put(key);
    out.put(count);
  }
  out.put(static_cast<std::int64_t>(h.frequent.size()));
  out.putall(h.frequent.data(), h.frequent.size());
  return out.save(path);
}

std::int64_t recordsbound(const plan& p, std::int64_t first, std::int64_t last) {
  std::int64_t sum = 0;
  for (std::int64_t b = first / p.blockusers; b * p.blockusers < last; ++b) sum += p.blockcount[static_cast<std::size_t>(b)];
  return sum;
}

result<void> loadheat(piecein& in, const std::string& path, const fingerprint& run, std::int64_t first,
                      const plan& p, heatinfo& h) {
  std::int64_t n = 0;
  if (!openpiece(in, path, piecekind::heat, run, true) || !in.get(h.last, "users")) return in.outcome();
  if (first < 0 || h.last <= first || h.last > p.users)
    return in.damaged("its users are out of range");
  for (fragmentseal* s : {&h.cells, &h.report}) in.get(s->size, "fragment size") && in.get(s->crc, "fragment checksum");
  if (in.get(h.features, "number of features") && (h.features < 0 || h.features > h.report.size))
    return in.damaged("its features are more than its report fragment can hold");
  if (!in.getcount(n, max_total, 16, "number of cells")) return in.outcome();
  h.visits.resize(static_cast<std::size_t>(n));
  // No more visits than the users' records, so that no sum overflows.
  std::int64_t left = recordsbound(p, first, h.last);
  for (auto& [key, count] : h.visits) {
    if (!in.get(key, "cell") || !in.get(count, "visits")) return in.outcome();
    if (count < 1 || count > left) return in.damaged("its visits are more than its users' records");
    left -= count;
  }
  if (!in.getcount(n, max_total, sizeof(cell), "number of frequent cells")) return in.outcome();
  h.frequent.resize(static_cast<std::size_t>(n));
  in.getall(h.frequent.data(), h.frequent.size(), "frequent cells");
  return atend(in);
}

result<void> saveplaces(const std::string& path, const fingerprint& fp, const std::vector<textplace>& places) {
  pieceout out(piecekind::places);
  putfingerprint(out, fp);
  out.put(static_cast<std::int64_t>(places.size()));
  for (const textplace& t : places) {
    out.put(t.first);
    out.putflag(t.cells);
    out.putstring(t.fragment);
    out.putstring(t.target);
    out.putstring(t.output);
    out.put(t.seal.size);
    out.put(t.seal.crc);
    out.put(t.textat);
    out.put(t.at);
  }
  return out.save(path);
}

result<void> loadplaces(piecein& in, const std::string& path, const fingerprint& run,
                        std::vector<textplace>& places) {
  std::int64_t n = 0;
  if (!openpiece(in, path, piecekind::places, run, true) || !in.getcount(n, max_parts, 50, "number of places"))
    return in.outcome();
  places.resize(static_cast<std::size_t>(n));
  for (textplace& t : places) {
    if (!in.get(t.first, "merge") || !in.getflag(t.cells, "flag") || !in.getstring(t.fragment, max_text, "fragment") ||
        !in.getstring(t.target, max_text, "temporary output") || !in.getstring(t.output, max_text, "output") ||
        !in.get(t.seal.size, "fragment size") ||
        !in.get(t.seal.crc, "fragment checksum") || !in.get(t.textat, "text offset") || !in.get(t.at, "output offset"))
      return in.outcome();
    if (t.first < 0 || t.at < 0 || t.textat < 8 || t.seal.size < t.textat + 4 || t.fragment.empty() || t.target.empty() ||
        t.output.empty())
      return in.damaged("a place lies outside its fragment or output");
  }
  return atend(in);
}

result<void> savefragment(const std::string& path, piecekind kind, const char* noun, const fingerprint& fp,
                          const std::function<void(textout&)>& write, fragmentseal& seal, std::int64_t& bodyat) {
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
    (void)out.flush();  // every byte before the checksum has passed the tap; a failure stays with `out`
    out.tap(nullptr);
    char bytes[sizeof crc];
    std::memcpy(bytes, &crc, sizeof crc);
    out.put(std::string_view(bytes, sizeof bytes));
    seal = {size + static_cast<std::int64_t>(sizeof crc), crc};
  });
}

result<void> openfragment(piecein& in, const std::string& path, piecekind kind, const fingerprint& run,
                          const fragmentseal& seal) {
  if (result<void> opened = openpiece(in, path, kind, run, true); !opened) return opened;
  if (in.size() != seal.size || in.checksum() != seal.crc)
    return in.damaged("it is not the fragment its merge's .heat was written with");
  return {};
}

}  // namespace cellfreq

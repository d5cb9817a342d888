// libFuzzer target for the readers of the files that the pieces of a run
// hand to each other: part, plan, merge and placement files. The input is
// the file; its first six bytes name its kind, as a real one's do, so the
// seeds are real pieces of a run. Checksums are not compared (a fuzzer cannot forge
// a CRC), and the run's fingerprint is the one the file holds, so the
// fuzzer reaches every check behind them. Whatever the bytes, a reader
// either fails with one message or gives a result that keeps its
// invariants; it never crashes, overflows or allocates beyond the file.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "pieces/fingerprint.h"
#include "pieces/partfiles.h"
#include "pieces/piecefile.h"
#include "fuzzcheck.h"

using fuzzcheck::require;

namespace {

using namespace cellfreq;

// The plan a merge file is read against: 100 users, blocks of 10 users
// with 500 records each.
plan hundredusers() {
  plan p;
  p.users = 100;
  p.blockusers = 10;
  p.blockcount.assign(10, 500);
  return p;
}

// A failure must be one line that names the file.
void failedwell(const result<void>& failed, const std::string& path) {
  const failure& f = failed.error();
  require(!f.what.empty() && f.what.find('\n') == std::string::npos, "a failure is not one line");
  require(f.what.find(path) != std::string::npos || f.errnum != 0, "a failure does not name the file");
}

// The fingerprint the file holds, or false when it has none to read.
bool ownfingerprint(const std::string& path, piecekind kind, fingerprint& fp) {
  piecein in;
  return in.open(path, kind, false).ok() && getfingerprint(in, fp);
}

void partfile(const std::string& path) {
  fingerprint fp;
  if (!ownfingerprint(path, piecekind::part, fp)) return;
  {
    piecein in;
    partinfo p;
    if (const result<void> r = loadpart(in, path, fp, max_objects, true, p); !r) return failedwell(r, path);
    std::int64_t entries = 0, records = 0;
    for (const indexblock& b : p.blocks) {
      require(b.entries > 0 && b.records >= b.entries, "a block without records");
      entries += b.entries;
      records += b.records;
    }
    require(entries == p.entries && records == p.records, "the directory does not add up to the index");
    require(p.head.start <= p.head.end && p.head.end <= p.head.size, "a range outside the trace");
    require(p.extrasat + p.extraslength == in.end(), "sections that do not fill the file");
  }
  // As a merge reads it: the directory, each block's index, then each
  // object's records.
  piecein in;
  partinfo p;
  if (const result<void> r = loadpart(in, path, fp, max_objects, false, p); !r) return failedwell(r, path);
  std::vector<indexentry> index;
  std::vector<node> records;
  std::vector<double> times;
  for (std::size_t b = 0; b < p.blocks.size(); ++b) {
    std::int64_t at = 0, sum = 0;
    if (const result<void> r = loadblock(in, p, b, index, at); !r) return failedwell(r, path);
    for (const indexentry& e : index) {
      require(e.object >= p.blocks[b].first && e.object < p.blocks[b].first + p.blockobjects && e.count > 0,
              "an index entry outside its block");
      if (const result<void> r = loadslice(in, p, e, at, records, times); !r) return failedwell(r, path);
      require(static_cast<std::int64_t>(records.size()) == e.count, "a slice of another size than its entry");
      require(!p.head.timed || times.size() == records.size(), "a slice without a time per record");
      at += e.count;
      sum += e.count;
    }
    require(sum == p.blocks[b].records, "a block's index does not add up to its records");
  }
}

void planfile(const std::string& path) {
  fingerprint fp;
  if (!ownfingerprint(path, piecekind::plan, fp)) return;
  piecein in;
  plan p;
  if (const result<void> r = loadplan(in, path, fp, objects_per_user, p); !r) return failedwell(r, path);
  require(p.nusers >= 0 && p.nobjects > 0 && p.nusers <= p.users && p.users * objects_per_user == p.nobjects,
          "a plan's objects and users disagree");
  require(p.blockusers > 0 &&
              static_cast<std::int64_t>(p.blockcount.size()) == (p.users + p.blockusers - 1) / p.blockusers,
          "a plan's blocks do not cover its users");
  require(p.parts.size() == p.objects.size(), "a part without its object map");
}

void heatfile(const std::string& path) {
  fingerprint fp;
  if (!ownfingerprint(path, piecekind::heat, fp)) return;
  piecein in;
  heatinfo h;
  static const plan p = hundredusers();
  if (const result<void> r = loadheat(in, path, fp, 0, p, h); !r) return failedwell(r, path);
  require(h.last > 0 && h.last <= p.users, "a merge's users outside the plan");
  require(h.features >= 0 && h.features <= h.report.size, "a merge's features outside its report fragment");
  std::int64_t visits = 0;
  for (const auto& v : h.visits) visits += v.second;
  require(visits <= recordsbound(p, 0, h.last), "more visits than the users' records");
}

// A placement file: every place it gives lies within its fragment and
// names its output.
void placesfile(const std::string& path) {
  fingerprint fp;
  if (!ownfingerprint(path, piecekind::places, fp)) return;
  piecein in;
  std::vector<textplace> places;
  if (const result<void> r = loadplaces(in, path, fp, places); !r) return failedwell(r, path);
  for (const textplace& t : places)
    require(t.at >= 0 && t.textat >= 8 && t.seal.size >= t.textat + 4 && !t.fragment.empty() && !t.target.empty() &&
                !t.output.empty(),
            "a place outside its fragment or without its output");
}

// A text fragment, sealed as its own final bytes say.
void fragment(const std::string& path, piecekind kind, const std::uint8_t* data, std::size_t size) {
  fingerprint fp;
  if (size < 4 || !ownfingerprint(path, kind, fp)) return;
  fragmentseal seal{static_cast<std::int64_t>(size), 0};
  std::memcpy(&seal.crc, data + size - 4, 4);
  piecein in;
  if (const result<void> r = openfragment(in, path, kind, fp, seal); !r) return failedwell(r, path);
  require(in.at() <= in.end(), "a fragment's text ends before it begins");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  piecein::trustchecksums = true;
  static const std::string path = "/tmp/fuzz_pieces-" + std::to_string(getpid()) + ".bin";
  static std::FILE* f = nullptr;
  if (f == nullptr) f = std::fopen(path.c_str(), "w+b");
  require(f != nullptr, "cannot create the piece file");
  fuzzcheck::rewrite(f, {reinterpret_cast<const char*>(data), size});
  const std::string tag(reinterpret_cast<const char*>(data), size < 6 ? size : 6);
  if (tag == "cfpart") partfile(path);
  else if (tag == "cfplan") planfile(path);
  else if (tag == "cfheat") heatfile(path);
  else if (tag == "cfplac") placesfile(path);
  else if (tag == "cfcell") fragment(path, piecekind::cells, data, size);
  else if (tag == "cfrept") fragment(path, piecekind::report, data, size);
  return 0;
}

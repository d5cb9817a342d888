// libFuzzer target for the readers of the files that the pieces of a run
// hand to each other: part, plan and merge files. The input is the file;
// its first six bytes name its kind, as a real one's do, so the seeds are
// real pieces of a run. Checksums are not compared (a fuzzer cannot forge
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

#include "driver/fingerprint.h"
#include "driver/partfiles.h"
#include "driver/piecefile.h"
#include "fuzzcheck.h"

using fuzzcheck::require;

namespace {

using namespace cellfreq;

// The users a merge file is read against, as a plan of 100 users says.
const std::vector<std::int64_t> counts(100, 50);

// A failure must be one line that names the file.
void failedwell(const piecein& in, const std::string& path) {
  const runfailure& f = in.failure();
  require(!f.what.empty() && f.what.find('\n') == std::string::npos, "a failure is not one line");
  require(f.what.find(path) != std::string::npos || f.errnum != 0, "a failure does not name the file");
}

// The fingerprint the file holds, or false when it has none to read.
bool ownfingerprint(const std::string& path, piecekind kind, fingerprint& fp) {
  piecein in;
  return in.open(path, kind, false) && getfingerprint(in, fp);
}

void partfile(const std::string& path) {
  fingerprint fp;
  if (!ownfingerprint(path, piecekind::part, fp)) return;
  {
    piecein in;
    partinfo p;
    if (!loadpart(in, path, fp, max_objects, true, p)) return failedwell(in, path);
    std::int64_t sum = 0;
    for (const indexentry& e : p.index) {
      require(e.object >= 0 && e.count > 0, "an index entry without records");
      sum += e.count;
    }
    require(sum == p.records, "the index does not add up to the records");
    require(p.head.start <= p.head.end && p.head.end <= p.head.size, "a range outside the trace");
  }
  // As a merge reads it: the index, then each object's records.
  piecein in;
  partinfo p;
  if (!loadpart(in, path, fp, max_objects, false, p)) return failedwell(in, path);
  std::int64_t at = 0;
  std::vector<node> records;
  std::vector<double> times;
  for (const indexentry& e : p.index) {
    if (!loadslice(in, p, e, at, records, times)) return failedwell(in, path);
    require(static_cast<std::int64_t>(records.size()) == e.count, "a slice of another size than its entry");
    require(!p.head.timed || times.size() == records.size(), "a slice without a time per record");
    at += e.count;
  }
}

void planfile(const std::string& path) {
  fingerprint fp;
  if (!ownfingerprint(path, piecekind::plan, fp)) return;
  piecein in;
  plan p;
  if (!loadplan(in, path, fp, objects_per_user, p)) return failedwell(in, path);
  require(p.nusers >= 0 && p.nobjects > 0 && p.nusers <= static_cast<std::int64_t>(p.codecount.size()) &&
              static_cast<std::int64_t>(p.codecount.size()) * objects_per_user == p.nobjects,
          "a plan's objects, users and counts disagree");
  for (std::int32_t u = 0; u < p.nusers; ++u)
    require(p.codecount[static_cast<std::size_t>(u)] <= p.maxcount, "an analysed count beyond the plan's largest");
  require(p.parts.size() == p.objects.size(), "a part without its object map");
}

void heatfile(const std::string& path) {
  fingerprint fp;
  if (!ownfingerprint(path, piecekind::heat, fp)) return;
  piecein in;
  heatinfo h;
  if (!loadheat(in, path, fp, 0, counts, h)) return failedwell(in, path);
  require(h.last > 0 && h.last <= static_cast<std::int64_t>(counts.size()), "a merge's users outside the plan");
  std::int64_t visits = 0;
  for (const auto& v : h.visits) visits += v.second;
  require(visits <= 50 * h.last, "more visits than the users' records");
}

// A text fragment, sealed as its own final bytes say.
void fragment(const std::string& path, piecekind kind, const std::uint8_t* data, std::size_t size) {
  fingerprint fp;
  if (size < 4 || !ownfingerprint(path, kind, fp)) return;
  fragmentseal seal{static_cast<std::int64_t>(size), 0};
  std::memcpy(&seal.crc, data + size - 4, 4);
  piecein in;
  if (!openfragment(in, path, kind, fp, seal)) return failedwell(in, path);
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
  else if (tag == "cfcell") fragment(path, piecekind::cells, data, size);
  else if (tag == "cfrept") fragment(path, piecekind::report, data, size);
  return 0;
}

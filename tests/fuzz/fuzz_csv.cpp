// libFuzzer target for the CSV trace reader. The first byte chooses the
// options (delimiter, strict mode, a time column, columns by name or
// number, a header put in front); the rest is the text. Any bytes must read
// without a fault, identically from memory and from a file in small blocks
// handed out in small batches, with rows, messages, ids and lines that keep
// their invariants.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "fuzzcheck.h"
#include "trace/csvtrace.h"
#include "trace/textin.h"

using fuzzcheck::require;

namespace {

struct outcome {
  std::string error;
  std::vector<std::string> ids;
  std::vector<std::int32_t> object;
  std::vector<std::uint64_t> bits;  // x, y and time of each row, as bit patterns
  std::vector<std::int64_t> line;
  std::string err;
  std::int64_t rows = 0, bad = 0;
  bool failed = false;
  bool operator==(const outcome&) const = default;
};

outcome readall(cellfreq::textin& in, const cellfreq::csvoptions& opts, std::size_t max) {
  static std::FILE* errfile = nullptr;
  std::FILE* err = fuzzcheck::rewrite(errfile, "");
  cellfreq::csvreader r(in, opts, "f", err);
  outcome o;
  if (r.open(o.error)) {
    cellfreq::csvbatch b;
    // After a strict failure the rows appended before it stay in the batch.
    for (bool more = true; more;) {
      more = r.next(b, max);
      require(b.size() <= max && (b.size() > 0 || !more), "a batch is empty or too large");
      require(b.x.size() == b.size() && b.y.size() == b.size() && b.line.size() == b.size() &&
                  b.time.size() == (opts.timecolumn.empty() ? 0 : b.size()),
              "batch vectors are not parallel");
      for (std::size_t i = 0; i < b.size(); ++i) {
        o.object.push_back(b.object[i]);
        o.line.push_back(b.line[i]);
        o.bits.insert(o.bits.end(), {std::bit_cast<std::uint64_t>(b.x[i]), std::bit_cast<std::uint64_t>(b.y[i])});
        if (!opts.timecolumn.empty()) o.bits.push_back(std::bit_cast<std::uint64_t>(b.time[i]));
      }
      b.clear();
    }
    r.finish();
  } else {
    require(!o.error.empty() && o.error.find('\n') == std::string::npos, "open() failed without a one-line message");
  }
  o.ids = r.ids();
  o.rows = r.rows();
  o.bad = r.badrows();
  o.failed = r.failed();
  std::fflush(err);
  std::rewind(err);
  for (int c = std::fgetc(err); c != EOF; c = std::fgetc(err)) o.err += static_cast<char>(c);
  require(in.error() == 0, "reading failed");
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const unsigned flags = data[0];
  static constexpr char delims[] = {',', ';', '\t', '|'};
  cellfreq::csvoptions opts;
  opts.delimiter = delims[flags & 3];
  opts.strict = (flags & 4) != 0;
  const bool bynumber = (flags & 16) != 0;
  if (flags & 8) opts.timecolumn = bynumber ? "4" : "t";
  if (bynumber) {
    opts.idcolumn = "1";
    opts.xcolumn = "2";
    opts.ycolumn = "3";
  }
  std::string text;
  if (flags & 32) text = std::string("id") + opts.delimiter + "x" + opts.delimiter + "y" + opts.delimiter + "t\n";
  text.append(reinterpret_cast<const char*>(data + 1), size - 1);

  cellfreq::textin mem(text, false);
  const outcome a = readall(mem, opts, SIZE_MAX);
  static std::FILE* file = nullptr;
  cellfreq::textin blocks(fuzzcheck::rewrite(file, text), false, 16 + size % 41);
  require(readall(blocks, opts, 1 + size % 5) == a, "file in small blocks and memory give different results");

  if (!a.error.empty()) return 0;
  const std::size_t good = a.object.size();
  require(a.rows == static_cast<std::int64_t>(good) + a.bad, "rows are not good + bad");
  require(!opts.strict || a.bad <= 1, "strict mode read on after a bad row");
  require(a.failed == (opts.strict && a.bad == 1), "strict failure and bad rows disagree");
  std::int64_t lines = 0;
  for (const char c : a.err) lines += c == '\n';
  require(lines == std::min<std::int64_t>(a.bad, 10) + (a.bad > 0 && !a.failed ? 1 : 0), "wrong number of messages");
  std::vector<std::string> sorted = a.ids;
  std::sort(sorted.begin(), sorted.end());
  require(std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end(), "an id was numbered twice");
  require(sorted.empty() || !sorted[0].empty(), "an empty id was numbered");
  std::int32_t next = 0;
  for (std::size_t i = 0; i < good; ++i) {
    require(a.object[i] >= 0 && a.object[i] <= next, "object numbers are not in first-appearance order");
    if (a.object[i] == next) ++next;
    require(i == 0 || a.line[i] > a.line[i - 1], "lines do not increase");
  }
  require(static_cast<std::size_t>(next) == a.ids.size(), "an id without a good row");

  return 0;
}

// libFuzzer target for the CSV trace reader. The first byte chooses the
// options (delimiter, strict mode, a time column, columns by name or
// number, a header put in front, a short longest row, longitudes and
// latitudes); the rest is the text. Any bytes must read
// without a fault, identically from memory and from a file in small blocks
// handed out in small batches, with rows, ids and lines that keep their
// invariants.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzzcheck.h"
#include "trace/csvtrace.h"
#include "io/textin.h"

using fuzzcheck::require;

namespace {

// Everything a read gives: the open error, the rows as bits, the messages.
struct outcome {
  std::string error, err;
  std::vector<std::string> ids;
  std::vector<std::int64_t> rows;  // object, line and the bits of x, y (and time) of each good row
  std::int64_t seen = 0, bad = 0;
  bool failed = false;
  bool operator==(const outcome&) const = default;
};

// Reads all of `in` in batches of at most `max` rows, checking each batch.
outcome readall(cellfreq::textin& in, const cellfreq::csvoptions& opts, std::size_t max) {
  static std::FILE* errfile = nullptr;
  std::FILE* err = fuzzcheck::rewrite(errfile, "");
  cellfreq::csvreader r(in, opts, "f", err);
  cellfreq::idtable ids;
  outcome o;
  const cellfreq::result<void> opened = r.open();
  if (!opened) o.error = opened.error().what;
  if (opened) {
    cellfreq::csvbatch b;
    // After a strict failure the rows appended before it stay in the batch.
    for (bool more = true; more;) {
      more = r.next(b, max);
      require(b.size() <= max && (b.size() > 0 || !more), "a batch is empty or too large");
      b.number(ids);
      for (std::size_t i = 0; i < b.size(); ++i) {
        require(b.object[i] >= 0 && static_cast<std::size_t>(b.object[i]) < ids.size() &&
                    ids[static_cast<std::size_t>(b.object[i])] == b.id(i),
                "an object without its id");
        require(!opts.degrees || (std::fabs(b.x[i]) <= 180 && std::fabs(b.y[i]) <= 90), "a position beyond the globe");
        require(o.rows.empty() || b.line[i] > o.rows[o.rows.size() - (opts.timecolumn.empty() ? 3 : 4)],
                "lines do not increase");
        o.rows.insert(o.rows.end(), {b.object[i], b.line[i], std::bit_cast<std::int64_t>(b.x[i]),
                                     std::bit_cast<std::int64_t>(b.y[i])});
        if (!opts.timecolumn.empty()) o.rows.push_back(std::bit_cast<std::int64_t>(b.time[i]));
      }
      b.clear();
    }
    r.finish();
  } else {
    require(!o.error.empty() && o.error.find('\n') == std::string::npos, "open() failed without a one-line message");
  }
  o.ids.assign(ids.begin(), ids.end());
  o.seen = r.rows();
  o.bad = r.badrows();
  o.failed = r.failed();
  require(o.failed == (opts.strict && o.bad == 1) && (!opts.strict || o.bad <= 1), "strict mode read on");
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
  if (flags & 64) opts.longest = 8 + size % 57;
  opts.degrees = (flags & 128) != 0;
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
  return 0;
}

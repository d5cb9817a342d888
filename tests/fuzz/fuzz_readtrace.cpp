// libFuzzer target for the trace parser: any bytes must parse without a
// fault, into nrec + 1 records, and every way of delivering the same text
// (from memory, from a file in tiny blocks, with CRLF line ends, with a
// Ctrl-Z cut) must give the same records.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

#include "fuzzcheck.h"
#include "trace/recordlist.h"
#include "trace/textin.h"

using fuzzcheck::require;

namespace {

struct parsed {
  std::vector<cellfreq::node> nodes;
  std::int64_t nrec = 0;
  bool operator==(const parsed&) const = default;
};

parsed parse(cellfreq::textin& in, float cellsize) {
  cellfreq::recordlist list;
  parsed p;
  p.nrec = cellfreq::readtrace(in, cellsize, list);
  require(p.nrec >= 0, "nrec is negative");
  require(list.size() == static_cast<std::size_t>(p.nrec) + 1, "record list does not hold nrec + 1 records");
  p.nodes = list.tovector();
  require(p.nodes.size() == list.size(), "tovector() and size() disagree");
  return p;
}

parsed parsememory(std::string_view text, bool ctrlz, float cellsize) {
  cellfreq::textin in(text, ctrlz);
  return parse(in, cellsize);
}

// One temporary file for the whole fuzzing session, rewritten per input:
// creating a file per input would cost more than the parse.
std::FILE* scratchfile() {
  static std::FILE* f = std::tmpfile();
  require(f != nullptr, "cannot create a temporary file");
  return f;
}

parsed parsefile(std::string_view text, bool ctrlz, float cellsize, std::size_t block) {
  std::FILE* f = scratchfile();
  // Drop a longer earlier input's bytes, which the reader would go on to.
  require(ftruncate(fileno(f), 0) == 0, "cannot truncate the temporary file");
  std::rewind(f);
  require(std::fwrite(text.data(), 1, text.size(), f) == text.size(), "cannot write the temporary file");
  require(std::fflush(f) == 0, "cannot flush the temporary file");
  std::rewind(f);
  cellfreq::textin in(f, ctrlz, block);
  parsed p = parse(in, cellsize);
  require(in.error() == 0, "reading the temporary file failed");
  return p;
}

std::int64_t newlines(std::string_view text) {
  std::int64_t n = 0;
  for (const char c : text) n += c == '\n';
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // Vary the cell size and block size with the input so that both sweep
  // their ranges over a session; the smallest block splits nearly every
  // number and CRLF pair across a refill.
  static constexpr float cellsizes[] = {400.0f, 100.0f, 300.0f, 1.0f, 0.001f};
  const float cellsize = cellsizes[size % 5];
  const std::size_t block = 16 + size % 41;

  for (const bool ctrlz : {false, true}) {
    const parsed mem = parsememory(text, ctrlz, cellsize);
    const std::string_view seen = ctrlz ? fuzzcheck::cutatctrlz(text) : text;
    // Numeric reads swallow newlines as whitespace, so the character step
    // sees at most every newline of the text.
    require(mem.nrec <= newlines(seen), "more records closed than the text has newlines");
    require(parsefile(text, ctrlz, cellsize, block) == mem, "file in small blocks and memory give different records");
    if (ctrlz) require(parsememory(seen, false, cellsize) == mem, "Ctrl-Z does not end the trace like a cut");
  }
  require(parsememory(fuzzcheck::tocrlf(text), false, cellsize) == parsememory(text, false, cellsize),
          "CRLF line ends give different records than LF");
  return 0;
}

// libFuzzer target for the trace parser: any bytes must parse without a
// fault, into nrec + 1 records, and every way of delivering the same text
// (from memory, from a file in tiny blocks, with CRLF line ends, with a
// Ctrl-Z cut) must give the same records.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "fuzzcheck.h"
#include "trace/recordlist.h"
#include "trace/textin.h"

using fuzzcheck::require;

namespace {

// The records that `in` gives, checked to be nrec + 1 with nrec at most the
// newlines of `seen`: numeric reads swallow newlines as whitespace, so the
// character step sees at most every one of them.
std::vector<cellfreq::node> parse(cellfreq::textin& in, float cellsize, std::string_view seen) {
  cellfreq::recordlist list;
  const std::int64_t nrec = cellfreq::readtrace(in, cellsize, list);
  require(nrec >= 0 && nrec <= static_cast<std::int64_t>(std::count(seen.begin(), seen.end(), '\n')),
          "nrec is negative or above the newlines of the text");
  require(list.size() == static_cast<std::size_t>(nrec) + 1, "record list does not hold nrec + 1 records");
  std::vector<cellfreq::node> nodes = list.tovector();
  require(nodes.size() == list.size(), "tovector() and size() disagree");
  return nodes;
}

std::vector<cellfreq::node> parsememory(std::string_view text, bool ctrlz, float cellsize) {
  cellfreq::textin in(text, ctrlz);
  return parse(in, cellsize, ctrlz ? fuzzcheck::cutatctrlz(text) : text);
}

// From a file read in blocks of `block` bytes.
std::vector<cellfreq::node> parsefile(std::string_view text, bool ctrlz, float cellsize, std::size_t block) {
  static std::FILE* f = nullptr;
  cellfreq::textin in(fuzzcheck::rewrite(f, text), ctrlz, block);
  std::vector<cellfreq::node> nodes = parse(in, cellsize, ctrlz ? fuzzcheck::cutatctrlz(text) : text);
  require(in.error() == 0, "reading the temporary file failed");
  return nodes;
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
    const auto mem = parsememory(text, ctrlz, cellsize);
    require(parsefile(text, ctrlz, cellsize, block) == mem, "file in small blocks and memory give different records");
    if (ctrlz)
      require(parsememory(fuzzcheck::cutatctrlz(text), false, cellsize) == mem, "Ctrl-Z does not end the trace like a cut");
  }
  require(parsememory(fuzzcheck::tocrlf(text), false, cellsize) == parsememory(text, false, cellsize),
          "CRLF line ends give different records than LF");
  return 0;
}

// libFuzzer target for the trace parser: any bytes must parse without a
// fault into nrec + 1 records, and every way of delivering the same text
// (from memory, from a file in tiny blocks, with CRLF line ends, with a
// Ctrl-Z cut) must give the same records.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "fuzzcheck.h"
#include "trace/recordlist.h"
#include "io/textin.h"

using fuzzcheck::require;

namespace {

// The records that `in` gives, checked to be nrec + 1.
std::vector<cellfreq::node> parse(cellfreq::textin& in, float cellsize) {
  cellfreq::recordlist list;
  const std::int64_t nrec = cellfreq::readtrace(in, cellsize, list);
  require(nrec >= 0 && list.size() == static_cast<std::size_t>(nrec) + 1, "the list does not hold nrec + 1 records");
  return list.tovector();
}

// The records of `text` read from memory.
std::vector<cellfreq::node> parsememory(std::string_view text, bool ctrlz, float cellsize) {
  cellfreq::textin in(text, ctrlz);
  return parse(in, cellsize);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // The cell size and the block size vary with the input, so that both
  // sweep their ranges over a session; the smallest block splits nearly
  // every number and CRLF pair across a refill.
  static constexpr float cellsizes[] = {400.0f, 100.0f, 300.0f, 1.0f, 0.001f};
  const float cellsize = cellsizes[size % 5];
  static std::FILE* file = nullptr;
  for (const bool ctrlz : {false, true}) {
    const auto mem = parsememory(text, ctrlz, cellsize);
    cellfreq::textin blocks(fuzzcheck::rewrite(file, text), ctrlz, 16 + size % 41);
    require(parse(blocks, cellsize) == mem && blocks.error() == 0, "a file in small blocks and memory differ");
    if (ctrlz) require(parsememory(text.substr(0, text.find('\x1a')), false, cellsize) == mem, "Ctrl-Z is no cut");
  }
  // Every LF without a CR before it turned into CRLF reads the same.
  std::string crlf;
  for (std::size_t i = 0; i < size; ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) crlf += '\r';
    crlf += text[i];
  }
  require(parsememory(crlf, false, cellsize) == parsememory(text, false, cellsize), "CRLF reads unlike LF");
  return 0;
}

// libFuzzer target for the whole pass sequence, in memory, for each fixed
// configuration: trace -> record list -> cell file -> cell table -> report,
// the cell file and the report compared byte for byte with the literal
// reference implementation of the tests.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/report.h"
#include "cells/celltable.h"
#include "fuzzcheck.h"
#include "support/reference.h"
#include "trace/recordlist.h"
#include "io/textin.h"
#include "io/textout.h"

using fuzzcheck::require;

namespace {

constexpr std::int32_t nobjects = 1000;

struct setup {
  float cellsize;
  std::int32_t nusers;
  std::int32_t threshold;
};
// cellfreq400, cellfreq100 and cellfreq300.
constexpr setup setups[] = {{400.0f, 100, 3}, {100.0f, 100, 3}, {300.0f, 10, 4}};

void runone(std::string_view trace, const setup& s, bool ctrlz) {
  using namespace cellfreq;
  textin in(trace, ctrlz);
  recordlist list;
  const std::int64_t nrec = readtrace(in, s.cellsize, list);
  require(list.size() == static_cast<std::size_t>(nrec) + 1, "record list does not hold nrec + 1 records");

  std::string cells;
  std::vector<std::int64_t> codecount;
  {
    textout out(cells, "\n");
    require(writecells(list, nobjects, out, codecount).ok(), "writecells failed in memory");
    require(out.flush().ok(), "flushing the cell file failed in memory");
  }
  require(codecount.size() == static_cast<std::size_t>(nobjects / objects_per_user), "not one count per user");

  const std::int64_t maxcount = max(codecount, s.nusers);
  celltable table;
  {
    textin back(cells, false);
    require(loadcells(back, codecount, maxcount, table).ok(), "loadcells failed in memory");
  }
  for (std::int32_t u = 0; u < s.nusers; ++u)
    require(static_cast<std::int64_t>(table.row(u).size()) == codecount[static_cast<std::size_t>(u)],
            "an analysed row does not hold its count of codes");

  std::string report;
  {
    textout out(report, "\n");
    freqcounter counter;
    for (std::int32_t u = 0; u < s.nusers; ++u)
      findx(table, u, codecount[static_cast<std::size_t>(u)], s.threshold, counter, out);
    require(out.flush().ok(), "flushing the report failed in memory");
  }

  const reference::result ref =
      reference::run(std::string(trace), {s.cellsize, s.nusers, s.threshold, ctrlz, "\n"});
  require(ref.nrec == nrec, "nrec differs from the reference");
  require(ref.cellfile == cells, "cell file differs from the reference");
  require(ref.report == report, "report differs from the reference");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view trace(reinterpret_cast<const char*>(data), size);
  const bool hasctrlz = trace.find('\x1a') != std::string_view::npos;
  for (const setup& s : setups) {
    runone(trace, s, false);
    if (hasctrlz) runone(trace, s, true);
  }
  return 0;
}

// passtimes: runs the passes of one cellfreq400 run on a trace and prints
// the wall time of each, on as many threads as the process may use, so
// that the benchmark shows which pass dominates and how each one scales.
// Usage: passtimes TRACE CELLFILE REPORT
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "analysis/formats.h"
#include "cells/celltable.h"
#include "driver/runconfig.h"
#include "trace/recordlist.h"

namespace {

double since(std::chrono::steady_clock::time_point& t) {
  const auto now = std::chrono::steady_clock::now();
  const double s = std::chrono::duration<double>(now - t).count();
  t = now;
  return s;
}

// Ends the harness when the pass `what` failed: times of a failed pass mean nothing.
template <class R>
void check(const R& outcome, const char* what) {
  if (outcome) return;
  const cellfreq::failure& f = outcome.error();
  std::fprintf(stderr, "passtimes: %s: %s\n", what, f.reason.empty() ? std::strerror(f.errnum) : f.reason.c_str());
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace cellfreq;
  if (argc != 4) {
    std::fprintf(stderr, "usage: passtimes TRACE CELLFILE REPORT\n");
    return 2;
  }
  const runconfig cfg = config400();
  auto t = std::chrono::steady_clock::now();
  std::FILE* f = std::fopen(argv[1], "rb");
  std::FILE* c = std::fopen(argv[2], "wb");
  std::FILE* r = std::fopen(argv[3], "wb");
  if (f == nullptr || c == nullptr || r == nullptr) {
    std::perror("passtimes");
    return 1;
  }
  recordlist list;
  filesource fs(f);
  check(readtracefile(fs, cfg.cellsize, list), "reading the trace");
  const double parse = since(t);
  std::vector<std::int64_t> codecount;
  {
    textout out(c);
    check(writecells(list, cfg.nobjects, out, codecount), "writing the cell file");
    check(out.flush(), "writing the cell file");
  }
  std::fclose(c);
  const double write = since(t);
  c = std::fopen(argv[2], "rb");
  celltable table;
  {
    textin in(c);
    check(loadcells(in, codecount, cellfreq::max(codecount, cfg.nusers), table), "reading the cell file back");
  }
  const double load = since(t);
  textout out(r);
  reportwriter writer({}, cfg.threshold, out);
  writer.users(table, codecount, 0, cfg.nusers);
  writer.finish();
  check(out.flush(), "writing the report");
  const double report = since(t);
  std::printf("parse %.3f s, cell file write %.3f s, read-back %.3f s, counting and report %.3f s\n", parse,
              write, load, report);
  return 0;
}

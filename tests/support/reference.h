// A deliberately literal, slow implementation of the whole run, kept only in
// the tests as an independent check of the real programs: one heap node per
// record in a linked list, character reads from a pre-translated text,
// numbers converted by the C library from the collected characters, the list
// walked once per object id, rows of a fixed-shape table and the quadratic
// frequency count.
#pragma once

#include <cstdint>
#include <string>

namespace reference {

struct config {
  float cellsize = 400.0f;
  int nusers = 100;
  int threshold = 3;
  bool ctrlz_ends = false;
  std::string eol = "\n";
};

struct result {
  std::string cellfile;
  std::string report;
  std::int64_t nrec = 0;
};

result run(const std::string& trace, const config& cfg);

}  // namespace reference

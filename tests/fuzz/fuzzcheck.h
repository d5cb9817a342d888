// Shared helpers of the fuzz targets: an invariant check that stops the
// fuzzer with a readable message (libFuzzer then saves the input), and a
// scratch file for reads in blocks.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include <unistd.h>

namespace fuzzcheck {

// Aborts with `what` when `ok` is false; an abort is what libFuzzer records
// as a crash, so every broken invariant leaves a reproducer behind.
inline void require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

// `f` (created on first use) holding exactly `text`, rewound: one file for
// the whole session, since a file per input would cost more than the read.
inline std::FILE* rewrite(std::FILE*& f, std::string_view text) {
  if (f == nullptr) f = std::tmpfile();
  require(f != nullptr && ftruncate(fileno(f), 0) == 0, "cannot create or truncate a temporary file");
  std::rewind(f);
  require(std::fwrite(text.data(), 1, text.size(), f) == text.size() && std::fflush(f) == 0,
          "cannot write a temporary file");
  std::rewind(f);
  return f;
}

}  // namespace fuzzcheck

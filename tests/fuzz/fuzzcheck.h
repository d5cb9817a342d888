// Shared helpers of the fuzz targets: an invariant check that stops the
// fuzzer with a readable message (libFuzzer then saves the input), a
// scratch file for reads in blocks, and the text-mode translation used to
// build equivalent inputs.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <unistd.h>

namespace fuzzcheck {

// Aborts with `what` when `ok` is false; an abort is what libFuzzer records
// as a crash, so every broken invariant leaves a reproducer behind.
inline void require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

// `f` (created on first use) holding exactly `text`, rewound: one file for
// the whole session, since creating a file per input would cost more than
// the read.
inline std::FILE* rewrite(std::FILE*& f, std::string_view text) {
  if (f == nullptr) f = std::tmpfile();
  require(f != nullptr && ftruncate(fileno(f), 0) == 0, "cannot create or truncate a temporary file");
  std::rewind(f);
  require(std::fwrite(text.data(), 1, text.size(), f) == text.size() && std::fflush(f) == 0,
          "cannot write a temporary file");
  std::rewind(f);
  return f;
}

// The same text with every LF that has no CR before it turned into CRLF.
// Text-mode reading maps both to the same characters, so the records of
// the two must be identical.
inline std::string tocrlf(std::string_view s) {
  std::string t;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\n' && (i == 0 || s[i - 1] != '\r')) t.push_back('\r');
    t.push_back(s[i]);
  }
  return t;
}

// The bytes before the first Ctrl-Z, where Windows text mode ends a file.
inline std::string_view cutatctrlz(std::string_view s) { return s.substr(0, s.find('\x1a')); }

}  // namespace fuzzcheck

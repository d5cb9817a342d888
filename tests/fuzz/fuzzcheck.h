// Shared helpers of the fuzz targets: an invariant check that stops the
// fuzzer with a readable message (libFuzzer then saves the input), and the
// text-mode translation used to build equivalent inputs.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzzcheck {

// Aborts with `what` when `ok` is false; an abort is what libFuzzer records
// as a crash, so every broken invariant leaves a reproducer behind.
inline void require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

// The same text with every LF that has no CR before it turned into CRLF.
// Text-mode reading maps both to the same characters, so the records of
// the two must be identical.
inline std::string tocrlf(std::string_view s) {
  std::string t;
  t.reserve(s.size() * 2);
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\n' && (i == 0 || s[i - 1] != '\r')) t.push_back('\r');
    t.push_back(s[i]);
  }
  return t;
}

// The bytes before the first Ctrl-Z, where Windows text mode ends a file.
inline std::string_view cutatctrlz(std::string_view s) { return s.substr(0, s.find('\x1a')); }

}  // namespace fuzzcheck

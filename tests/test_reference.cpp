// The real programs, the fixed ones and the command in their
// configurations, against the literal reference implementation, on
// generated traces and on generated traces made malformed in every way the
// parser has a defined answer for.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "support/reference.h"
#include "support/runner.h"

using namespace testsupport;

namespace {

// A trace from tracegen, of `objects` objects moving `steps` steps.
std::string generate(const scratch& s, int seed, int objects, int steps) {
  const outcome o = runin(s.dir(), program("tracegen"), cat({"--seed ", std::to_string(seed), " --objects ",
                                                             std::to_string(objects), " --steps ", std::to_string(steps)}));
  EXPECT_EQ(o.status, 0) << o.err;
  return o.out;
}

// The fields of `s` between the separators.
std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> parts(1);
  for (const char c : s) {
    if (c == sep) parts.emplace_back();
    else parts.back().push_back(c);
  }
  return parts;
}

// Breaks about one line in `rate` in one of the ways that trace files get
// broken, so that nearly every case meets every other.
std::string mutate(const std::string& trace, unsigned seed, unsigned rate) {
  std::mt19937 rng(seed);
  std::vector<std::string> lines = split(trace, '\n');
  if (!lines.empty() && lines.back().empty()) lines.pop_back();
  std::string out;
  for (std::string line : lines) {
    std::string eol = "\n";
    if (rng() % rate == 0) {
      std::vector<std::string> f = split(line, '\t');
      switch (rng() % 17) {
        case 0: out += "\n"; break;                                        // blank line before
        case 1: out += "label\tid\tseq\tclass\ttime\tx\ty\tspeed\n"; break; // header line
        case 2: f.resize(std::min<std::size_t>(f.size(), 4)); break;       // three fields
        case 3: f.resize(std::min<std::size_t>(f.size(), 6)); break;       // five fields
        case 4: if (f.size() > 7) f[1 + rng() % 6].clear(); break;         // an empty field
        case 5: f.push_back(""); break;                                    // trailing TAB
        case 6: if (f.size() > 7) { f[6] += " " + f[7]; f.erase(f.begin() + 7); } break;  // space after field 6
        case 7: f[0] = std::to_string(rng() % 5000) + f[0]; break;         // label starts with digits
        case 8: eol = "\r\n"; break;                                       // CRLF
        case 9: if (f.size() > 6) { f[5] = "-" + f[5]; f[6] = "-" + f[6]; } break;  // negative coordinates
        case 10: if (f.size() > 1) f[1] = std::to_string(static_cast<int>(rng() % 3000) - 1000); break;  // ids out of range
        case 11: f.resize(std::min<std::size_t>(f.size(), 7)); break;      // ends right after field 6
        case 12: if (f.size() > 1) f[0].clear(); break;                    // empty label
        case 13: if (f.size() > 6) f[5 + rng() % 2] = (rng() % 2) ? "1e" : "-"; break;  // partial numbers
        case 14: if (f.size() > 6) f[5] = (rng() % 2) ? "1e40" : "99999999999999999999"; break;  // beyond range
        case 15: eol = "\r"; break;                                        // a lone CR
        case 16: if (f.size() > 6) f[6] = "inf"; break;                    // not a number
      }
      line.clear();
      for (std::size_t i = 0; i < f.size(); ++i) line.append(i ? "\t" : "").append(f[i]);
    }
    out += line + eol;
  }
  if (seed % 3 == 0 && !out.empty()) out.pop_back();  // no final newline
  return out;
}

// Runs the three programs on `trace`, and with `command` (for traces whose
// cells all have exact codes, where it writes the same bytes) the command
// with each one's configuration, and compares them all with the reference.
void compare(const std::string& trace, const std::string& what, bool command = true) {
  scratch s;
  s.put_trace(trace);
  struct prog {
    const char *name, *cellfile, *options;
    reference::config cfg;
  };
  for (const prog& p : {prog{"cellfreq400", "new400.txt", "--cell-size 400 --users 100 --threshold 3", {400.0f, 100, 3}},
                        prog{"cellfreq100", "new1.txt", "--cell-size 100 --users 100 --threshold 3", {100.0f, 100, 3}},
                        prog{"cellfreq300", "new300.txt", "--cell-size 300 --users 10 --threshold 4", {300.0f, 10, 4}}}) {
    const reference::result want = reference::run(trace, p.cfg);
    std::vector<std::tuple<const char*, std::string, const char*>> runs{{p.name, "", p.cellfile}};
    if (command) runs.emplace_back("cellfreq", cat({p.options, " --cell-file C:/mine.txt 'C:/oldenburg(1000).txt'"}), "mine.txt");
    for (const auto& [exe, args, cells] : runs) {
      const outcome o = runin(s.dir(), program(exe), args);
      ASSERT_EQ(o.status, 0) << what << " " << exe << " " << args << ": " << o.err;
      ASSERT_TRUE(args.empty() || o.err.empty()) << what << " " << exe << " " << args << ": " << o.err;
      ASSERT_EQ(readfile(s.drive() / cells), want.cellfile) << what << " " << exe << " " << args;
      ASSERT_EQ(o.out, want.report) << what << " " << exe << " " << args;
    }
  }
}

}  // namespace

TEST(Reference, EmbeddedSample) {
  compare(readfile(std::string(CELLFREQ_SOURCE_DIR) + "/data/oldenburg-sample.txt"), "sample");
}

TEST(Reference, GeneratedTraces) {
  scratch s;
  for (int seed = 1; seed <= 3; ++seed) compare(generate(s, seed, 1000, 6), "seed " + std::to_string(seed));
  // Objects beyond id 999 are never written.
  compare(generate(s, 4, 1500, 3), "1500 objects");
}

TEST(Reference, MalformedTraces) {
  scratch s;
  const std::string base = generate(s, 7, 1000, 4);
  for (unsigned seed = 1; seed <= 6; ++seed) compare(mutate(base, seed, 3 + seed), "mutation " + std::to_string(seed), false);
}

TEST(Reference, HandMadeOddities) {
  compare("\x1a\r\r\n\t\t\t\t\t\t\t\n", "control characters");
  compare("a\t1\t2\t3\t4\t5\t6\t7\t8\t9\t10\t11\t12\t13\t14\n", "long line");
  compare(std::string(3000, '\t'), "only tabs");
  compare("x\t5\t1\t1\t1\t-1e3\t-200\t1\nx\t5\t1\t1\t1\t100\t-1\t1\nx\t15\t1\t1\t1\t1\t1\t1\n", "negative cells", false);
  compare("", "empty");
  compare(user_one_trace(), "user one");
  compare("label\tid\tseq\tclass\ttime\tx\ty\tspeed\r\n" + at400(3, 1, 1) + "\t\t\n" + at400(5, 2, 2) + "x\t1\t2\n", "header");
  compare(repeat(at400(999, 7, 7), 300) + at400(1000, 1, 1) + at400(-4, 1, 1), "rows past the narrowest width");
}

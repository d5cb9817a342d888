// Hostile traces for the fixed programs: garbage, huge lines, huge numbers
// and empty fields, which must complete with the fixed outcome in bounded
// time and memory.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <functional>
#include <random>
#include <string>

#include "support/reference.h"
#include "support/runner.h"

using namespace testsupport;

// Each trace gives a complete run (status 0, 1000 cell lines, the closing
// line of every user) within its time and a resident size of a small
// multiple of the trace plus an allowance for the runtime (and a sanitizer's
// shadow memory). The literal reference gives the expected bytes where it is
// fast enough. The traces grow, since the peak size is that of all runs.
// ThreadSanitizer's shadow memory is several times the program's own, so
// the resident bound holds only without it.
#ifdef __SANITIZE_THREAD__
constexpr bool boundedrss = false;
#else
constexpr bool boundedrss = true;
#endif

TEST(HostileTraces, CompleteInBoundedTimeAndMemory) {
  std::string big(10000, '0'), tiny(10002, '0');  // 1e9999 and 1e-10000
  big[0] = tiny.back() = '1';
  tiny[1] = '.';
  const struct {
    const char* what;
    std::function<std::string()> make;
    double seconds;
    bool reference;
    std::string cells;  // expected cell file, when given: then the report is the closing lines only
  } cases[] = {
      {"ids and coordinates beyond 32 bits",
       [] { return repeat("p\t99999999999\t1\t0\t42\t5\t5\t1\np\t-99999999999\t1\t0\t42\t5\t5\t1\np\t7\t1\t0\t42\t1e12\t-1e12\t1\n", 50); },
       30, true, ""},
      // The first field's read skips every TAB and newline to the end, so
      // the whole trace is one record of object 0 in cell (0, 0).
      {"every field empty", [] { return repeat("\t\t\t\t\t\t\t\n", 100000); }, 30, true, ""},
      {"a million tabs",
       [] { return "p\t5" + std::string(1000000, '\t') + "7\np" + std::string(1000000, '\t') + "\np\t5\t1\t0\t42\t5\t5\t1\n"; },
       30, true, ""},
      {"NUL bytes everywhere",
       [] {
         const std::string nuls(1u << 20, '\0');
         return nuls + repeat(std::string("p\0\t3\t1\t0\t42\t400\0\t400\t1\n", 23), 1000) + nuls;
       },
       30, true, ""},
      // Infinity saturates to the 32-bit limits; a tiny coordinate is cell 1.
      {"numbers of ten thousand digits and huge exponents",
       [&] {
         return repeat(cat({"p\t", big, "\t1\t0\t42\t5\t5\t1\np\t5\t", big, "\t0\t42\t", big, "\t", tiny,
                            "\t1e999999\np\t6\t1\t0\t42\t1e999999\t-1e999999\t", tiny, "\n"}),
                       200);
       },
       60, true, ""},
      {"binary garbage",
       [] {
         std::mt19937 rng(7);
         std::string t(8u << 20, '\0');
         for (char& c : t) c = static_cast<char>(rng());
         return t;
       },
       60, false, ""},
      // One record, of object 0 in cell (0, 0): nothing is frequent.
      {"one line of 100 MB without newline", [] { return "label" + std::string(100u << 20, 'a'); }, 60, false,
       "000000 \n" + std::string(999, '\n')},
      {"one line of 100 MB of digits", [] { return "p\t" + std::string(100u << 20, '7') + "\t1\t0\t42\t5\t5\t1"; }, 60,
       false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    scratch s;
    const std::string trace = c.make();
    s.put_trace(trace);
    const auto t0 = std::chrono::steady_clock::now();
    const outcome o = runin(s.dir(), program("cellfreq400"));
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - t0;
    EXPECT_LT(took.count(), c.seconds) << c.what;
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    if (boundedrss) {
      EXPECT_LT(static_cast<std::size_t>(u.ru_maxrss) * 1024, 3 * trace.size() + (std::size_t{400} << 20)) << c.what;
    }
    EXPECT_EQ(o.status, 0) << c.what << ": " << o.err;
    EXPECT_EQ(o.err.find("cannot"), std::string::npos) << o.err;
    const std::string cells = readfile(s.drive() / "new400.txt");
    EXPECT_EQ(std::count(cells.begin(), cells.end(), '\n'), 1000) << c.what;
    std::size_t blocks = 0;
    for (std::size_t p = 0; (p = o.out.find(" \n", p)) != std::string::npos; p += 2)
      blocks += p == 0 || o.out[p - 1] == '\n';
    EXPECT_EQ(blocks, 100u) << c.what;
    EXPECT_TRUE(c.cells.empty() || (cells == c.cells && o.out == repeat(" \n", 100))) << c.what << ": outputs differ";
    if (c.reference) {
      const reference::result ref = reference::run(trace, {400.0f, 100, 3, false, "\n"});
      EXPECT_TRUE(cells == ref.cellfile) << c.what << ": cell file differs from the reference";
      EXPECT_TRUE(o.out == ref.report) << c.what << ": report differs from the reference";
    }
  }
}

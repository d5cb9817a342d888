// Hostile environments and hostile traces for the fixed programs: failures
// that root would not see (run as an unprivileged user when possible), a
// trace that arrives slowly through a FIFO, and traces of garbage, huge
// lines, huge numbers and empty fields, which must complete with the fixed
// outcome in bounded time and memory.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "support/reference.h"
#include "support/runner.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

bool starts_with(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

std::string repeat(const std::string& s, std::size_t n) {
  std::string r;
  r.reserve(s.size() * n);
  for (std::size_t i = 0; i < n; ++i) r += s;
  return r;
}

std::size_t lines(const std::string& s) {
  std::size_t n = 0;
  for (const char c : s) n += c == '\n';
  return n;
}

// Runs `prog` as the unprivileged user "nobody" when the tests run as root,
// so that permissions are enforced; empty when that is not possible.
std::string unprivileged(const std::string& prog) {
  if (::geteuid() != 0) return program(prog);
  if (!fs::exists("/usr/bin/setpriv")) return "";
  std::string cmd = "/usr/bin/setpriv' --reuid=65534 --regid=65534 --clear-groups '";
  cmd.append(program(prog));
  return cmd;
}

// The largest resident size of any program run so far by this test process,
// in bytes (each test runs in a process of its own under ctest).
std::size_t peak_child_rss() {
  rusage u{};
  getrusage(RUSAGE_CHILDREN, &u);
  return static_cast<std::size_t>(u.ru_maxrss) * 1024;
}

// A complete run: status 0, nothing on stderr, a cell file of 1000 lines
// and a report that ends each of the 100 users' blocks.
void expect_complete(const scratch& s, const outcome& o) {
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err.find("cannot"), std::string::npos) << o.err;
  EXPECT_EQ(lines(readfile(s.drive() / "new400.txt")), 1000u);
  std::size_t blocks = 0;
  for (std::size_t p = 0; (p = o.out.find(" \n", p)) != std::string::npos; p += 2)
    blocks += p == 0 || o.out[p - 1] == '\n';
  EXPECT_EQ(blocks, 100u);
}

// Runs cellfreq400 on `trace` and checks that it completes within `seconds`
// and a resident size of a small multiple of the trace (plus a fixed
// allowance for the runtime and, in sanitizer builds, its shadow memory).
outcome run_bounded(const scratch& s, const std::string& trace, double seconds) {
  s.put_trace(trace);
  const auto t0 = std::chrono::steady_clock::now();
  const outcome o = runin(s.dir(), program("cellfreq400"));
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - t0;
  EXPECT_LT(took.count(), seconds);
  EXPECT_LT(peak_child_rss(), 3 * trace.size() + (std::size_t{400} << 20));
  expect_complete(s, o);
  return o;
}

// The outcome of the literal reference implementation for cellfreq400.
void expect_reference(const scratch& s, const outcome& o, const std::string& trace) {
  const reference::result ref = reference::run(trace, {400.0f, 100, 3, false, "\n"});
  EXPECT_TRUE(readfile(s.drive() / "new400.txt") == ref.cellfile) << "cell file differs from the reference";
  EXPECT_TRUE(o.out == ref.report) << "report differs from the reference";
}

}  // namespace

TEST(Permissions, UnreadableTraceAsAnUnprivilegedUser) {
  const std::string exe = unprivileged("cellfreq400");
  if (exe.empty()) GTEST_SKIP() << "running as root without setpriv to drop privileges";
  scratch s;
  fs::permissions(s.dir(), fs::perms::all, fs::perm_options::add);
  fs::permissions(s.drive(), fs::perms::all, fs::perm_options::add);
  s.put_trace("x\n");
  writefile(s.drive() / "new400.txt", "precious\n");
  fs::permissions(s.drive() / "oldenburg(1000).txt", fs::perms::none);
  const outcome o = runin(s.dir(), exe);
  EXPECT_EQ(o.status, 1);
  EXPECT_TRUE(starts_with(o.err, "cellfreq400: cannot open trace 'C:/oldenburg(1000).txt': Permission denied\n"))
      << o.err;
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(readfile(s.drive() / "new400.txt"), "precious\n");
}

TEST(Permissions, CellFileInAReadOnlyFolderAsAnUnprivilegedUser) {
  const std::string exe = unprivileged("cellfreq300");
  if (exe.empty()) GTEST_SKIP() << "running as root without setpriv to drop privileges";
  scratch s;
  fs::permissions(s.dir(), fs::perms::all, fs::perm_options::add);
  s.put_trace("p\t3\t1\t0\t42\t400\t400\t1\n");
  fs::permissions(s.drive() / "oldenburg(1000).txt", fs::perms::owner_read | fs::perms::group_read |
                                                        fs::perms::others_read);
  fs::permissions(s.drive(), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                 fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  const outcome o = runin(s.dir(), exe);
  EXPECT_EQ(o.status, 1);
  EXPECT_TRUE(starts_with(o.err, "cellfreq300: cannot create cell file 'C:/new300.txt': Permission denied\n"))
      << o.err;
  EXPECT_EQ(o.out, "");
  EXPECT_FALSE(fs::exists(s.drive() / "new300.txt"));
}

TEST(SlowInput, TraceFromAFifoInSmallDelayedPieces) {
  const std::string trace = repeat("p\t3\t1\t0\t42\t400\t400\t1\np\t4\t1\t0\t42\t", 40) + "800\t800\t1\n";
  scratch plain;
  plain.put_trace(trace);
  const outcome expected = runin(plain.dir(), program("cellfreq400"));
  ASSERT_EQ(expected.status, 0);

  scratch s;
  const fs::path fifo = s.drive() / "oldenburg(1000).txt";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // The writer opens the FIFO (which waits for the program to open it) and
  // hands the trace over in pieces that split lines, numbers and fields.
  std::thread writer([&] {
    std::FILE* f = std::fopen(fifo.c_str(), "wb");
    if (f == nullptr) return;
    for (std::size_t p = 0; p < trace.size(); p += 37) {
      std::fwrite(trace.data() + p, 1, std::min<std::size_t>(37, trace.size() - p), f);
      std::fflush(f);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::fclose(f);
  });
  const outcome o = runin(s.dir(), program("cellfreq400"));
  writer.join();
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, expected.out);
  EXPECT_EQ(readfile(s.drive() / "new400.txt"), readfile(plain.drive() / "new400.txt"));
}

TEST(HostileTraces, BinaryGarbage) {
  std::mt19937 rng(7);
  std::string trace(8u << 20, '\0');
  for (char& c : trace) c = static_cast<char>(rng());
  scratch s;
  run_bounded(s, trace, 60);
}

TEST(HostileTraces, NulBytesEverywhere) {
  scratch s;
  const std::string trace = std::string(1u << 20, '\0') + repeat(std::string("p\0\t3\t1\t0\t42\t400\0\t400\t1\n", 23), 1000) +
                            std::string(1u << 20, '\0');
  expect_reference(s, run_bounded(s, trace, 30), trace);
}

TEST(HostileTraces, OneLineOf100MegabytesWithoutNewline) {
  scratch s;
  const outcome o = run_bounded(s, "label" + std::string(100u << 20, 'a'), 60);
  EXPECT_EQ(readfile(s.drive() / "new400.txt"), "000000 \n" + std::string(999, '\n'));
  EXPECT_EQ(o.out, repeat(" \n", 100));
}

TEST(HostileTraces, OneLineOf100MegabytesOfDigits) {
  scratch s;
  run_bounded(s, "p\t" + std::string(100u << 20, '7') + "\t1\t0\t42\t5\t5\t1", 60);
}

TEST(HostileTraces, AMillionTabs) {
  scratch s;
  const std::string trace = "p\t5" + std::string(1000000, '\t') + "7\n" + "p" + std::string(1000000, '\t') + "\n" +
                            "p\t5\t1\t0\t42\t5\t5\t1\n";
  expect_reference(s, run_bounded(s, trace, 30), trace);
}

TEST(HostileTraces, NumbersOfTenThousandDigitsAndHugeExponents) {
  const std::string big = "1" + std::string(9999, '0');
  const std::string tiny = "0." + std::string(9999, '0') + "1";
  std::string trace;
  for (int i = 0; i < 200; ++i) {
    trace += "p\t" + big + "\t1\t0\t42\t5\t5\t1\n";
    trace += "p\t5\t" + big + "\t0\t42\t" + big + "\t" + tiny + "\t1e999999\n";
    trace += "p\t6\t1\t0\t42\t1e999999\t-1e999999\t" + tiny + "\n";
  }
  scratch s;
  expect_reference(s, run_bounded(s, trace, 60), trace);
  // Infinity saturates to the 32-bit limits; a tiny coordinate is cell 1;
  // line 0 holds the record after the last newline.
  const std::string cells = readfile(s.drive() / "new400.txt");
  EXPECT_EQ(cells.substr(0, 26), "000000 \n\n\n\n\n2147483647001 ");
  EXPECT_NE(cells.find("\n2147483647-2147483648 "), std::string::npos);
}

TEST(HostileTraces, IdsAndCoordinatesBeyond32Bits) {
  std::string trace;
  for (int i = 0; i < 50; ++i) {
    trace += "p\t99999999999\t1\t0\t42\t5\t5\t1\n";
    trace += "p\t-99999999999\t1\t0\t42\t5\t5\t1\n";
    trace += "p\t7\t1\t0\t42\t1e12\t-1e12\t1\n";
  }
  scratch s;
  expect_reference(s, run_bounded(s, trace, 30), trace);
  EXPECT_EQ(readfile(s.drive() / "new400.txt"),
            "000000 \n" + std::string(6, '\n') + repeat("2147483647-2147483648 ", 50) + "\n" + std::string(992, '\n'));
}

TEST(HostileTraces, EveryFieldEmpty) {
  // The first field's read skips every TAB and newline to the end, so the
  // whole trace is one record of object 0 in cell (0, 0).
  const std::string trace = repeat("\t\t\t\t\t\t\t\n", 100000);
  scratch s;
  const outcome o = run_bounded(s, trace, 30);
  expect_reference(s, o, trace);
  EXPECT_EQ(readfile(s.drive() / "new400.txt"), "000000 \n" + std::string(999, '\n'));
}

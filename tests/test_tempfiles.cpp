// Temporaries, outputs replaced only when complete, and interrupted runs:
// exclusive owner-only creation that never follows a planted link, the
// permissions of a replaced file, a cell file that cannot be reopened or
// closed, and the real `cellfreq` stopped by a signal at many moments of its run.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "driver/runconfig.h"
#include "platform/seams.h"
#include "platform/tempfiles.h"
#include "trace/recordlist.h"
#include "support/runner.h"

using namespace testsupport;
namespace fs = std::filesystem;
using names = std::vector<std::string>;

namespace {

std::uint64_t nextbits = 7;  // the random bits of the next temporary name
std::uint64_t countingbits() { return nextbits++; }

unsigned modeof(const fs::path& p) { return static_cast<unsigned>(fs::status(p).permissions()); }

// The sorted names in `dir`, but for the scratch folders' "C:".
names list(const fs::path& dir) {
  names n;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().filename() != "C:") n.push_back(e.path().filename().string());
  std::sort(n.begin(), n.end());
  return n;
}

// Runs `cellfreq ARGS` in `dir` with TMPDIR `dir`/tmp, umask `mask`, files
// limited to `fsize` bytes, memory to `as` bytes and standard error to
// `dir`/err, and sends `sig` `ms` milliseconds after the start. The
// status, 128 + the signal for a process ended by one.
int runcellfreq(const fs::path& dir, const names& args, mode_t mask = 022, rlim_t fsize = RLIM_INFINITY, int sig = 0,
                int ms = 0, rlim_t as = RLIM_INFINITY) {
  const std::string exe = program("cellfreq"), tmp = (dir / "tmp").string(), err = (dir / "err").string();
  std::vector<char*> argv{const_cast<char*>(exe.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  writefile(err, "");
  // The child starts with the signals' default actions, as from a shell;
  // they are held until then, since this process may have handlers of its own.
  sigset_t held, old;
  sigemptyset(&held);
  for (const int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&held, s);
  ::sigprocmask(SIG_BLOCK, &held, &old);
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    for (const int s : {SIGINT, SIGTERM, SIGHUP}) std::signal(s, SIG_DFL);
    std::signal(SIGXFSZ, SIG_IGN);
    ::sigprocmask(SIG_SETMASK, &old, nullptr);
    const rlimit limit{fsize, fsize}, memory{as, as};
    ::umask(mask);
    if (::chdir(dir.c_str()) == 0 && std::freopen("/dev/null", "r", stdin) && std::freopen("/dev/null", "w", stdout) &&
        std::freopen(err.c_str(), "w", stderr) && ::setenv("TMPDIR", tmp.c_str(), 1) == 0 &&
        ::setrlimit(RLIMIT_FSIZE, &limit) == 0 && ::setrlimit(RLIMIT_AS, &memory) == 0)
      ::execv(exe.c_str(), argv.data());
    std::_Exit(126);
  }
  ::sigprocmask(SIG_SETMASK, &old, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  if (sig != 0) ::kill(pid, sig);
  int raw = 0;
  EXPECT_EQ(::waitpid(pid, &raw, 0), pid);
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

// A scratch folder with an empty "tmp" folder and the trace "t.txt".
struct workdir : scratch {
  explicit workdir(const std::string& trace) {
    fs::create_directory(dir() / "tmp");
    writefile(dir() / "t.txt", trace);
  }
};

const std::string visit = "p\t10\t1\t0\t5\t200\t200\t1\n";  // object 10 in cell (1, 1)

// Whether `r` succeeded, naming the reason when it did not.
testing::AssertionResult succeeded(const cellfreq::result<void>& r) {
  if (r) return testing::AssertionSuccess();
  return testing::AssertionFailure() << std::strerror(r.error().errnum);
}

}  // namespace

// A file system without nameless files, as the seam makes it.
int nonameless(const char*) {
  errno = EOPNOTSUPP;
  return -1;
}

// Named temporaries (where the system has no nameless ones) are exclusive,
// owner-only and never opened through a planted link; a temporary in
// TMPDIR has no name even then; a nameless one appears only when committed.
TEST(Temporaries, ExclusiveOwnerOnlyAndNeverThroughALink) {
  scratch s;
  ::setenv("TMPDIR", s.dir().c_str(), 1);
  const cellfreq::seam_override bits({.random_bits = countingbits});
  const std::string out = (s.dir() / "out.txt").string();
  for (const bool named : {true, false}) {
    SCOPED_TRACE(named ? "named temporaries" : "nameless temporaries");
    const cellfreq::seam_override nameless(named ? cellfreq::seams{.open_nameless = nonameless} : cellfreq::seams{});
    cellfreq::atomic_file f;
    ASSERT_TRUE(succeeded(f.open(out, cellfreq::placement::temporary)));
    EXPECT_TRUE(list(s.dir()).empty());
    nextbits = 7;
    ASSERT_TRUE(succeeded(f.open(out, cellfreq::placement::replace)));
    ASSERT_EQ(list(s.dir()).size(), named ? 1u : 0u);
    if (named) {
      const fs::path first = s.dir() / list(s.dir())[0];
      EXPECT_EQ(modeof(first), 0600u);
      f.discard();
      EXPECT_FALSE(fs::exists(first));
      // The same name again: a link planted there is not followed.
      writefile(s.dir() / "victim", "keep");
      fs::create_symlink(s.dir() / "victim", first);
      nextbits = 7;
      ASSERT_TRUE(succeeded(f.open(out, cellfreq::placement::replace)));
    }
    std::fputs("new", f.file());
    ASSERT_TRUE(succeeded(f.commit()));
    EXPECT_EQ(readfile(out), "new");
    if (named) {
      EXPECT_EQ(readfile(s.dir() / "victim"), "keep");
      EXPECT_TRUE(fs::is_symlink(s.dir() / list(s.dir())[0]));
    }
    for (const auto& e : fs::directory_iterator(s.dir())) fs::remove(e.path());
  }
  ::unsetenv("TMPDIR");
}

// Temporaries that a killed run left are swept from the folder when the
// next run makes one there, with or without nameless files: only this
// program's names, the owner's only, unchanged for a day.
TEST(Temporaries, StaleOnesOfAKilledRunAreSwept) {
  scratch s;
  const auto put = [&](const std::string& name, unsigned mode, int hours) {
    writefile(s.dir() / name, "x");
    fs::permissions(s.dir() / name, fs::perms(mode));
    fs::last_write_time(s.dir() / name, fs::file_time_type::clock::now() - std::chrono::hours(hours));
  };
  put(".cellfreq-00000000000000aa.tmp", 0600, 25);   // swept
  put("cellfreq-00000000000000ab.cells", 0600, 48);  // swept
  put(".cellfreq-00000000000000ac.tmp", 0600, 23);   // a running run's, perhaps
  put(".cellfreq-00000000000000ad.tmp", 0644, 48);   // not one of ours
  put(".cellfreq-0000000000000XYZ.tmp", 0600, 48);   // not one of our names
  put("report.txt", 0600, 48);
  cellfreq::atomic_file f;
  ASSERT_TRUE(succeeded(f.open((s.dir() / "out.txt").string(), cellfreq::placement::replace)));
  f.discard();
  EXPECT_EQ(list(s.dir()), (names{".cellfreq-00000000000000ac.tmp", ".cellfreq-00000000000000ad.tmp",
                                  ".cellfreq-0000000000000XYZ.tmp", "report.txt"}));
}

#ifdef __GLIBC__
// A cell file that cannot be opened again, or whose reading stream fails
// to close, fails the run before the report, named as it was created, and
// leaves no temporary behind.
TEST(Temporaries, CellFileThatCannotBeReopenedOrClosed) {
  workdir w(visit);
  ::setenv("TMPDIR", (w.dir() / "tmp").c_str(), 1);
  std::FILE* (*const refused)(int) = [](int fd) -> std::FILE* {
    ::close(fd);
    errno = EACCES;
    return nullptr;
  };
  // The file's own bytes, through a stream whose close reports an error.
  std::FILE* (*const closefails)(int) = [](int fd) -> std::FILE* {
    cookie_io_functions_t io{};
    io.read = [](void* f, char* buf, std::size_t n) {
      return static_cast<ssize_t>(std::fread(buf, 1, n, static_cast<std::FILE*>(f)));
    };
    io.close = [](void* f) {
      std::fclose(static_cast<std::FILE*>(f));
      errno = EIO;
      return -1;
    };
    return fopencookie(::fdopen(fd, "rb"), "rb", io);
  };
  for (const auto& [hook, verb, reason] :
       {std::tuple{refused, "reopen", "Permission denied"}, {closefails, "read", "Input/output error"}}) {
    const cellfreq::seam_override reopen({.read_back = hook});
    for (const std::string& cells : {std::string(), (w.dir() / "cells.txt").string()}) {
      cellfreq::runconfig cfg = cellfreq::config400();
      cfg.tracepath = (w.dir() / "t.txt").string();
      cfg.cellpath = cells;
      cfg.replacecells = true;
      std::FILE* report = std::fopen((w.dir() / "report").c_str(), "wb");
      std::FILE* err = std::fopen((w.dir() / "err").c_str(), "wb");
      EXPECT_EQ(cellfreq::run(cfg, report, err, "prog"), 1);
      std::fclose(report);
      std::fclose(err);
      EXPECT_EQ(readfile(w.dir() / "report"), "");
      const std::string msg = readfile(w.dir() / "err");
      const std::string shown = cells.empty() ? cat({"temporary cell file in folder '", (w.dir() / "tmp").string()})
                                              : cat({"cell file '", cells});
      EXPECT_TRUE(msg.starts_with(cat({"prog: cannot ", verb, " ", shown}))) << msg;
      EXPECT_TRUE(msg.ends_with(cat({"': ", reason, "\n"}))) << msg;
      EXPECT_TRUE(fs::is_empty(w.dir() / "tmp"));
    }
  }
  ::unsetenv("TMPDIR");
}
#endif

TEST(Outputs, ReplacedOnlyWhenCompleteWithTheUsualPermissions) {
  std::string trace;  // 100 visits: a cell file of 1707 bytes, a report of about 4000
  for (int i = 0; i < 100; ++i) trace += visit;
  workdir w(trace);
  const names run = {"--threshold", "0", "-o", "report.txt", "t.txt"};
  writefile(w.dir() / "report.txt", "old\n");
  fs::permissions(w.dir() / "report.txt", fs::perms(0604));
  // A missing trace, and a report larger than the files the run may write.
  EXPECT_EQ(runcellfreq(w.dir(), {"-o", "report.txt", "missing.txt"}), 1);
  EXPECT_EQ(runcellfreq(w.dir(), run, 022, 2048), 1);
  EXPECT_EQ(readfile(w.dir() / "err"), "cellfreq: cannot write report 'report.txt': File too large\n");
  EXPECT_EQ(readfile(w.dir() / "report.txt"), "old\n");
  EXPECT_EQ(list(w.dir()), (names{"err", "report.txt", "t.txt", "tmp"}));
  // A replaced file keeps its permissions; a new one follows the umask.
  EXPECT_EQ(runcellfreq(w.dir(), run, 077), 0);
  EXPECT_NE(readfile(w.dir() / "report.txt").find("User 1 frequent cell is: C[1][1]  1,99\n \n"), std::string::npos);
  EXPECT_EQ(modeof(w.dir() / "report.txt"), 0604u);
  for (const auto& [mask, mode] : {std::pair{022u, 0644u}, {027u, 0640u}, {077u, 0600u}}) {
    fs::remove(w.dir() / "report.txt");
    EXPECT_EQ(runcellfreq(w.dir(), run, mask), 0);
    EXPECT_EQ(modeof(w.dir() / "report.txt"), mode) << mask;
  }
  // A link stays: the file it names is replaced.
  fs::create_symlink("report.txt", w.dir() / "via");
  EXPECT_EQ(runcellfreq(w.dir(), {"-o", "via", "--users", "1", "t.txt"}), 0);
  EXPECT_TRUE(fs::is_symlink(w.dir() / "via"));
  EXPECT_EQ(readfile(w.dir() / "report.txt"), " \n");
}

TEST(Signals, AnInterruptedRunLeavesTheOldOutputsOrCompleteNewOnes) {
  workdir w("");
  const std::string gen = cat({"'", program("tracegen"), "' --seed 3 --bytes 20000000 -o '", w.dir().string(), "/t.txt'"});
  ASSERT_EQ(std::system(gen.c_str()), 0);
  fs::create_directory(w.dir() / "out");
  const names run = {"-o", "out/report.txt", "--heatmap", "out/map.svg", "t.txt"};
  ASSERT_EQ(runcellfreq(w.dir(), run), 0);
  const std::string report = readfile(w.dir() / "out/report.txt"), map = readfile(w.dir() / "out/map.svg");
  for (const auto& [sig, name] : {std::pair{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}}) {
    for (const int ms : {0, 5, 20, 50, 100, 200, 300}) {
      const std::string what = cat({name, " after ", std::to_string(ms), " ms"});
      fs::remove(w.dir() / "out/map.svg");
      writefile(w.dir() / "out/report.txt", "old\n");
      const int status = runcellfreq(w.dir(), run, 022, RLIM_INFINITY, sig, ms);
      const std::string err = readfile(w.dir() / "err"), now = readfile(w.dir() / "out/report.txt");
      const names left = list(w.dir() / "out");
      EXPECT_TRUE(status == 0 || status == 128 + sig) << what << ": " << status;
      // Empty when the run had finished, or had not yet caught signals.
      EXPECT_TRUE(err.empty() || (status != 0 && err == cat({"cellfreq: interrupted by ", name, "\n"}))) << what << err;
      EXPECT_TRUE(fs::is_empty(w.dir() / "tmp")) << what;
      EXPECT_TRUE(now == "old\n" || now == report) << what;
      EXPECT_TRUE(left == names{"report.txt"} ||
                  (left == names{"map.svg", "report.txt"} && readfile(w.dir() / "out/map.svg") == map))
          << what;
      EXPECT_TRUE(status != 0 || (now == report && left.size() == 2)) << what;
    }
  }
}

// Outputs that name the trace, through any name, or one another are a
// usage error before any work, and every file stays as it was; the null
// device may take any number of outputs.
TEST(Outputs, NeverTheTraceNorEachOther) {
  workdir w(repeat(visit, 50));
  fs::create_symlink("t.txt", w.dir() / "link");
  fs::create_hard_link(w.dir() / "t.txt", w.dir() / "hard");
  writefile(w.dir() / "s.txt", "old\n");
  const struct {
    names args;
    std::string err;  // empty: the run succeeds
  } cases[] = {
      {{"-o", "t.txt", "t.txt"}, "--output 't.txt' names the trace; an output never replaces its input"},
      {{"--cell-file", "link", "t.txt"}, "--cell-file 'link' names the trace; an output never replaces its input"},
      {{"--heatmap", "hard", "t.txt"}, "--heatmap 'hard' names the trace; an output never replaces its input"},
      {{"--id-map", "./t.txt", "link"}, "--id-map './t.txt' names the trace; an output never replaces its input"},
      {{"-o", "s.txt", "--cell-file", "s.txt", "t.txt"}, "--output 's.txt' and --cell-file 's.txt' name the same file"},
      {{"-o", "new.txt", "--heatmap", "../" + w.dir().filename().string() + "/new.txt", "t.txt"},
       "--output 'new.txt' and --heatmap '../" + w.dir().filename().string() + "/new.txt' name the same file"},
      {{"-o", "/dev/null", "--cell-file", "/dev/null", "--heatmap", "/dev/null", "t.txt"}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err);
    EXPECT_EQ(runcellfreq(w.dir(), c.args), !c.err.empty() ? 2 : 0);
    EXPECT_EQ(readfile(w.dir() / "err"), !c.err.empty() ? cat({"cellfreq: ", c.err, "\n"}) : "");
    EXPECT_EQ(readfile(w.dir() / "t.txt"), repeat(visit, 50));
    EXPECT_EQ(readfile(w.dir() / "s.txt"), "old\n");
    EXPECT_EQ(list(w.dir()), (names{"err", "hard", "link", "s.txt", "t.txt", "tmp"}));
  }
}

// The process's own descriptors are written where the shell pointed them:
// an appended log keeps its lines, a pipe gets the report; a cell file sent
// there is still read back whole.
TEST(Outputs, DescriptorsAreWrittenWhereTheyPoint) {
  workdir w(repeat(visit, 50));
  const std::string exe = program("cellfreq");
  const std::string report = runin(w.dir(), exe, "--users 2 --cell-file cells.txt t.txt").out;
  const std::string cellfile = readfile(w.dir() / "cells.txt");
  ASSERT_NE(report.find("User 1 frequent cell is"), std::string::npos);
  for (const char* name : {"/dev/stdout", "/dev/fd/1", "/proc/self/fd/1"}) {
    SCOPED_TRACE(name);
    writefile(w.dir() / "log", "earlier\n");
    EXPECT_EQ(runin(w.dir(), exe, cat({"--users 2 -o ", name, " t.txt"}), ">log").status, 0);
    EXPECT_EQ(readfile(w.dir() / "log"), "earlier\n" + report);
    EXPECT_EQ(runin(w.dir(), exe, cat({"--users 2 -o ", name, " t.txt"}), "/dev/stdout | cat >piped").status, 0);
    EXPECT_EQ(readfile(w.dir() / "piped"), report);
    const outcome cells = runin(w.dir(), exe, cat({"--users 2 -o report --cell-file ", name, " t.txt"}));
    EXPECT_EQ(cells.status, 0);
    EXPECT_EQ(cells.out, cellfile);
    EXPECT_EQ(readfile(w.dir() / "report"), report);
  }
  EXPECT_TRUE(fs::is_symlink("/dev/stdout"));
}

// A run that fails commits none of its outputs: an old cell file, heat map
// and id map stay when the report cannot be written, to a file or to
// standard output.
TEST(Outputs, AFailedRunCommitsNone) {
  workdir w(repeat(visit, 50));
  for (const char* f : {"cells.txt", "map.svg", "ids.csv"}) writefile(w.dir() / f, "old\n");
  const std::string outputs = "--cell-file cells.txt --heatmap map.svg --id-map ids.csv t.txt";
  const outcome unwritable = runin(w.dir(), program("cellfreq"), "-o missing/report.txt " + outputs);
  EXPECT_EQ(unwritable.status, 1);
  EXPECT_EQ(unwritable.err, "cellfreq: cannot create report 'missing/report.txt': No such file or directory\n");
  EXPECT_EQ(runin(w.dir(), program("cellfreq"), outputs, "/dev/full").status, 1);
  for (const char* f : {"cells.txt", "map.svg", "ids.csv"}) EXPECT_EQ(readfile(w.dir() / f), "old\n") << f;
  EXPECT_EQ(runin(w.dir(), program("cellfreq"), outputs, "/dev/null").status, 0);
  for (const char* f : {"cells.txt", "map.svg", "ids.csv"}) EXPECT_NE(readfile(w.dir() / f), "old\n") << f;
  EXPECT_TRUE(fs::is_empty(w.dir() / "tmp"));
}

// A kill, which no handler sees, leaves no partial file beside an output
// nor in TMPDIR: the temporaries have no name until they are complete.
TEST(Outputs, AKilledRunLeavesNoTemporaries) {
  workdir w("");
  const std::string gen = cat({"'", program("tracegen"), "' --seed 5 --bytes 20000000 -o '", w.dir().string(), "/t.txt'"});
  ASSERT_EQ(std::system(gen.c_str()), 0);
  fs::create_directory(w.dir() / "out");
  const names run = {"-o", "out/report.txt", "--cell-file", "out/cells.txt", "--heatmap", "out/map.svg", "t.txt"};
  for (const int ms : {5, 50, 150, 300, 600}) {
    SCOPED_TRACE(ms);
    const int status = runcellfreq(w.dir(), run, 022, RLIM_INFINITY, SIGKILL, ms);
    const names left = list(w.dir() / "out");
    EXPECT_TRUE(left.empty() || left == (names{"cells.txt", "map.svg", "report.txt"})) << status;
    EXPECT_EQ(list(w.dir() / "tmp"), names{}) << status;
    fs::remove_all(w.dir() / "out");
    fs::create_directory(w.dir() / "out");
  }
}

// Two runs that share a cell file each report their own trace: a run reads
// back the file it wrote, not whatever the path holds by then.
TEST(Outputs, RunsSharingACellFileReportTheirOwnTraces) {
  workdir w("");
  for (const char* seed : {"1", "2"}) {
    const std::string gen =
        cat({"'", program("tracegen"), "' --seed ", seed, " --bytes 3000000 -o '", w.dir().string(), "/t", seed, ".txt'"});
    ASSERT_EQ(std::system(gen.c_str()), 0);
  }
  const std::string exe = program("cellfreq");
  const std::string alone1 = runin(w.dir(), exe, "t1.txt").out, alone2 = runin(w.dir(), exe, "t2.txt").out;
  ASSERT_NE(alone1, alone2);
  for (int round = 0; round < 4; ++round) {
    const std::string both = cat({"cd '", w.dir().string(), "' && ('", exe, "' --cell-file c.txt t1.txt >r1 & '", exe,
                                  "' --cell-file c.txt t2.txt >r2; wait)"});
    ASSERT_EQ(std::system(both.c_str()), 0);
    EXPECT_EQ(readfile(w.dir() / "r1"), alone1) << round;
    EXPECT_EQ(readfile(w.dir() / "r2"), alone2) << round;
  }
}

// A trace whose size differs at the end of the reading from its start was
// changed while read: its records are of neither version.
TEST(Outputs, ATraceThatChangedWhileReadFails) {
  workdir w(repeat(visit, 50));
  cellfreq::runconfig cfg = cellfreq::config400();
  cfg.tracepath = (w.dir() / "t.txt").string();
  for (const auto& [now, ok] : {std::pair{50u * visit.size(), true}, {20u, false}, {60u * visit.size(), false}}) {
    SCOPED_TRACE(now);
    std::FILE* f = std::fopen(cfg.tracepath.c_str(), "rb");
    const std::int64_t size = cellfreq::regularsize(f);
    fs::resize_file(cfg.tracepath, now);
    const cellfreq::result<void> closed = cellfreq::closetrace(cfg, f, size, 0);
    EXPECT_EQ(closed.ok(), ok);
    if (!ok) {
      EXPECT_TRUE(closed.error().whole);
      EXPECT_EQ(closed.error().what, cat({"trace '", cfg.tracepath, "' changed while it was read: ", std::to_string(size),
                                " bytes at the start, ", std::to_string(now), " at the end"}));
    }
    fs::resize_file(cfg.tracepath, size);
  }
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Memory that runs out, or a thread that cannot start for it, at any point
// of a run ends it with one line that says what the run was doing, no
// temporaries and no outputs, never an abort; a run that fits succeeds.
TEST(Outputs, OutOfMemoryAnywhereIsOneLineAndStatusOne) {
  workdir w("");
  const std::string gen = cat({"'", program("tracegen"), "' --seed 4 --bytes 2000000 -o '", w.dir().string(), "/t.txt'"});
  ASSERT_EQ(std::system(gen.c_str()), 0);
  const names run = {"-o", "report.txt", "--heatmap", "map.svg", "t.txt"};
  int failed = 0, succeeded = 0;
  for (rlim_t mb = 24; mb <= 80; mb += 2) {
    SCOPED_TRACE(mb);
    const int status = runcellfreq(w.dir(), run, 022, RLIM_INFINITY, 0, 0, mb << 20);
    const std::string err = readfile(w.dir() / "err");
    const names left = list(w.dir());
    EXPECT_TRUE(fs::is_empty(w.dir() / "tmp"));
    if (status == 0) {
      ++succeeded;
      EXPECT_EQ(left, (names{"err", "map.svg", "report.txt", "t.txt", "tmp"}));
      fs::remove(w.dir() / "report.txt");
      fs::remove(w.dir() / "map.svg");
      continue;
    }
    // Too little to load the program at all ends before it runs (127).
    if (status == 127) continue;
    ++failed;
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(err.starts_with("cellfreq: out of memory while ") || err.starts_with("cellfreq: failed while ")) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(err.find("while starting"), std::string::npos) << err;  // the run had begun
    EXPECT_EQ(left, (names{"err", "t.txt", "tmp"}));
  }
  EXPECT_GT(failed, 0);
  EXPECT_GT(succeeded, 0);
}
#endif

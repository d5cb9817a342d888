// Temporaries, outputs replaced only when complete, and interrupted runs:
// exclusive owner-only creation that never follows a planted link, the
// permissions of a replaced file, a cell file that cannot be reopened, and
// the real `cellfreq` stopped by a signal at many moments of its run.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "driver/runconfig.h"
#include "driver/tempfiles.h"
#include "support/runner.h"

using namespace testsupport;
namespace fs = std::filesystem;
using cellfreq::atomicfile;
using cellfreq::placement;

namespace {

// Joined by appending: chains of operator+ on strings trip a false
// -Wrestrict warning in some compilers.
std::string cat(std::initializer_list<std::string_view> parts) {
  std::string s;
  for (const std::string_view p : parts) s.append(p);
  return s;
}

// Random bits that a test sets: 7, 8, 9, ... from where it starts them.
std::uint64_t nextbits = 7;
std::uint64_t countingbits() { return nextbits++; }

unsigned modeof(const fs::path& p) {
  struct stat st {};
  return ::lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777u : 0u;
}

// The names in `dir`, but for the scratch folders' "C:".
std::vector<std::string> names(const fs::path& dir) {
  std::vector<std::string> n;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().filename() != "C:") n.push_back(e.path().filename().string());
  std::sort(n.begin(), n.end());
  return n;
}

// Runs `cellfreq ARGS` in `dir` with TMPDIR `dir`/tmp and `umask`, standard
// error to `dir`/err; `fsize` limits the size of any file it writes. With
// `sig`, the signal is sent `delay` after the start. The status, 128 + the
// signal for a process ended by one.
int runcellfreq(const fs::path& dir, const std::vector<std::string>& args, mode_t mask = 022, rlim_t fsize = RLIM_INFINITY,
             int sig = 0, std::chrono::milliseconds delay = {}) {
  const std::string exe = program("cellfreq"), tmp = (dir / "tmp").string(), err = (dir / "err").string();
  std::vector<char*> argv{const_cast<char*>(exe.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  writefile(err, "");
  // The child starts with the signals' default actions, as from a shell;
  // held back until then, since this process may have handlers of its own.
  sigset_t held, old;
  sigemptyset(&held);
  for (const int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&held, s);
  ::sigprocmask(SIG_BLOCK, &held, &old);
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    for (const int s : {SIGINT, SIGTERM, SIGHUP}) std::signal(s, SIG_DFL);
    ::sigprocmask(SIG_SETMASK, &old, nullptr);
    const rlimit limit{fsize, fsize};
    if (::chdir(dir.c_str()) != 0 || !std::freopen("/dev/null", "r", stdin) || !std::freopen("/dev/null", "w", stdout) ||
        !std::freopen(err.c_str(), "w", stderr) || ::setenv("TMPDIR", tmp.c_str(), 1) != 0 ||
        ::setrlimit(RLIMIT_FSIZE, &limit) != 0)
      std::_Exit(125);
    ::umask(mask);
    std::signal(SIGXFSZ, SIG_IGN);
    ::execv(exe.c_str(), argv.data());
    std::_Exit(126);
  }
  ::sigprocmask(SIG_SETMASK, &old, nullptr);
  if (sig != 0) {
    std::this_thread::sleep_for(delay);
    ::kill(pid, sig);
  }
  int raw = 0;
  ::waitpid(pid, &raw, 0);
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

// A scratch folder with an empty "tmp" folder and the trace "t.txt".
struct workdir : scratch {
  explicit workdir(const std::string& trace) {
    fs::create_directory(dir() / "tmp");
    writefile(dir() / "t.txt", trace);
  }
};

const std::string smalltrace = "p\t10\t1\t0\t5\t200\t200\t1\n";

}  // namespace

TEST(Temporaries, ExclusiveOwnerOnlyAndNeverThroughALink) {
  scratch s;
  ::setenv("TMPDIR", s.dir().c_str(), 1);
  std::uint64_t (*const random)() = cellfreq::randombits;
  cellfreq::randombits = countingbits;
  for (const placement how : {placement::temporary, placement::replace}) {
    int errnum = 0;
    atomicfile f;
    nextbits = 7;
    ASSERT_TRUE(f.open((s.dir() / "out.txt").string(), how, errnum)) << errnum;
    const std::vector<std::string> made = names(s.dir());
    ASSERT_EQ(made.size(), 1u);
    const fs::path first = s.dir() / made[0];
    EXPECT_EQ(modeof(first), 0600u);
    f.discard();
    EXPECT_FALSE(fs::exists(first));

    // The same random bits again: a link planted at that name is not followed.
    writefile(s.dir() / "victim", "keep");
    fs::create_symlink(s.dir() / "victim", first);
    nextbits = 7;
    ASSERT_TRUE(f.open((s.dir() / "out.txt").string(), how, errnum)) << errnum;
    std::fputs("new", f.file());
    ASSERT_TRUE(f.commit(errnum)) << errnum;
    EXPECT_EQ(readfile(s.dir() / "victim"), "keep");
    EXPECT_TRUE(fs::is_symlink(first));
    EXPECT_EQ(readfile(how == placement::replace ? s.dir() / "out.txt" : fs::path(f.path())), "new");
    f.discard();
    fs::remove(first);
    fs::remove(s.dir() / "victim");
    fs::remove(s.dir() / "out.txt");
  }
  cellfreq::randombits = random;
  ::unsetenv("TMPDIR");
}

TEST(Temporaries, CellFileThatCannotBeReopened) {
  workdir w(smalltrace);
  ::setenv("TMPDIR", (w.dir() / "tmp").c_str(), 1);
  std::FILE* (*const reopen)(const char*) = cellfreq::reopencells;
  cellfreq::reopencells = [](const char*) -> std::FILE* { errno = EACCES; return nullptr; };
  for (const std::string& cells : {std::string(), (w.dir() / "cells.txt").string()}) {
    cellfreq::runconfig cfg = cellfreq::config400();
    cfg.tracepath = (w.dir() / "t.txt").string();
    cfg.cellpath = cells;
    cfg.replacecells = true;
    std::FILE* report = std::tmpfile();
    std::FILE* err = std::tmpfile();
    EXPECT_EQ(cellfreq::run(cfg, report, err, "prog"), 1);
    EXPECT_EQ(std::ftell(report), 0L);
    std::string msg(200, '\0');
    std::rewind(err);
    msg.resize(std::fread(msg.data(), 1, msg.size(), err));
    const std::string shown = cells.empty() ? cat({(w.dir() / "tmp").string(), "/cellfreq-"}) : cells;
    EXPECT_EQ(msg.rfind(cat({"prog: cannot reopen cell file '", shown}), 0), 0u) << msg;
    EXPECT_EQ(msg.substr(msg.size() - 21), "': Permission denied\n") << msg;
    EXPECT_TRUE(fs::is_empty(w.dir() / "tmp"));
    std::fclose(report);
    std::fclose(err);
  }
  cellfreq::reopencells = reopen;
  ::unsetenv("TMPDIR");
}

TEST(Outputs, ReplacedOnlyWhenCompleteWithTheUsualPermissions) {
  // 100 visits: a cell file of 1707 bytes, a report of about 4000.
  std::string trace;
  for (int i = 0; i < 100; ++i) trace += smalltrace;
  workdir w(trace);
  const std::vector<std::string> run = {"--threshold", "0", "-o", "report.txt", "t.txt"};
  writefile(w.dir() / "report.txt", "old\n");
  fs::permissions(w.dir() / "report.txt", fs::perms(0604));
  // A missing trace, and a report larger than the files the run may write.
  EXPECT_EQ(runcellfreq(w.dir(), {"-o", "report.txt", "missing.txt"}), 1);
  EXPECT_EQ(runcellfreq(w.dir(), run, 022, 2048), 1);
  EXPECT_EQ(readfile(w.dir() / "err"), "cellfreq: cannot write report 'report.txt': File too large\n");
  EXPECT_EQ(readfile(w.dir() / "report.txt"), "old\n");
  EXPECT_EQ(names(w.dir()), (std::vector<std::string>{"err", "report.txt", "t.txt", "tmp"}));
  // A replaced file keeps its permissions; a new one follows the umask.
  EXPECT_EQ(runcellfreq(w.dir(), run, 077), 0);
  EXPECT_NE(readfile(w.dir() / "report.txt").find("User 1 frequent cell is: C[1][1]  1,99\n \n"), std::string::npos);
  EXPECT_EQ(modeof(w.dir() / "report.txt"), 0604u);
  for (const auto& [mask, mode] : {std::pair{022u, 0644u}, {027u, 0640u}, {077u, 0600u}}) {
    fs::remove(w.dir() / "report.txt");
    EXPECT_EQ(runcellfreq(w.dir(), run, mask), 0);
    EXPECT_EQ(modeof(w.dir() / "report.txt"), mode) << mask;
  }
}

TEST(Signals, AnInterruptedRunLeavesTheOldOutputsOrCompleteNewOnes) {
  workdir w("");
  ASSERT_EQ(std::system(cat({"'", program("tracegen"), "' --seed 3 --bytes 20000000 -o '", (w.dir() / "t.txt").string(),
                             "'"}).c_str()),
            0);
  fs::create_directory(w.dir() / "out");
  const std::vector<std::string> run = {"-o", "out/report.txt", "--heatmap", "out/map.svg", "t.txt"};
  ASSERT_EQ(runcellfreq(w.dir(), run), 0);
  const std::string report = readfile(w.dir() / "out/report.txt"), map = readfile(w.dir() / "out/map.svg");
  for (const auto& [sig, name] : {std::pair{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}}) {
    for (const int ms : {0, 5, 20, 50, 100, 200, 300}) {
      const std::string what = cat({name, " after ", std::to_string(ms), " ms"});
      fs::remove(w.dir() / "out/map.svg");
      writefile(w.dir() / "out/report.txt", "old\n");
      const int status = runcellfreq(w.dir(), run, 022, RLIM_INFINITY, sig, std::chrono::milliseconds(ms));
      const std::string err = readfile(w.dir() / "err");
      EXPECT_TRUE(status == 0 || status == 128 + sig) << what << ": " << status;
      // Empty when the run had finished, or had not yet caught signals.
      EXPECT_TRUE(err.empty() || (status != 0 && err == cat({"cellfreq: interrupted by ", name, "\n"})))
          << what << ": " << err;
      EXPECT_TRUE(fs::is_empty(w.dir() / "tmp")) << what;
      const std::string now = readfile(w.dir() / "out/report.txt");
      EXPECT_TRUE(now == "old\n" || now == report) << what;
      const std::vector<std::string> left = names(w.dir() / "out");
      EXPECT_TRUE(left == std::vector<std::string>{"report.txt"} ||
                  (left == std::vector<std::string>{"map.svg", "report.txt"} && readfile(w.dir() / "out/map.svg") == map))
          << what;
      if (status == 0) {
        EXPECT_TRUE(err.empty() && now == report && left.size() == 2) << what;
      }
    }
  }
}

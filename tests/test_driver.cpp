// Whole runs of the three fixed programs in scratch folders: byte-exact
// files and reports derived by hand, and every failure path with its
// message, status and the state of the files afterwards.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "support/cases.h"
#include "support/runner.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

// A cell file whose only tokens are line 0's "000000 " (the open record
// after the last newline) and `tokens` on line `object`, 0 included.
std::string cellfile_with(std::size_t object, const std::string& tokens) {
  return object == 0 ? cat({"000000 ", tokens, "\n", repeat("\n", 999)})
                     : cat({"000000 \n", repeat("\n", object - 1), tokens, "\n", repeat("\n", 999 - object)});
}

// The report of user 1's visits to cell C[x][y] at positions 2, 5, 6 and 9,
// among `users` users.
std::string user_one_report(const std::string& cell, std::size_t users) {
  std::string r = " \n";
  for (const char* p : {"2", "5", "6", "9"}) r.append("User 1 frequent cell is: ").append(cell).append("  1,").append(p).append("\n");
  return r + repeat(" \n", users - 1);
}

}  // namespace

// The overview's example line; the user-1 example in each configuration
// (100 m cells put the same visits into cell (15, 11); 300 m cells and
// threshold 4 make four visits not enough, among ten users); an empty trace
// in each configuration; and blank lines whose zero codes count for user 0
// like any others, the final record's last. Arguments change nothing.
TEST(FixedPrograms, SmallTracesByteForByte) {
  const std::string one = user_one_trace();
  const struct {
    const char *prog, *cellfile;
    std::string trace, cells, report;
  } cases[] = {
      {"cellfreq400", "new400.txt", "newpoint\t17\t3\t0\t42\t1234.5\t987.6\t12.5\n", cellfile_with(17, "004003 "),
       repeat(" \n", 100)},
      {"cellfreq400", "new400.txt", one,
       cellfile_with(10, "001001 001002 004003 001003 001001 004003 004003 001005 001006 004003 001007 "),
       user_one_report("C[4][3]", 100)},
      {"cellfreq100", "new1.txt", one,
       cellfile_with(10, "003003 003007 015011 003011 003003 015011 015011 003019 003023 015011 003027 "),
       user_one_report("C[15][11]", 100)},
      {"cellfreq300", "new300.txt", one,
       cellfile_with(10, "001001 001003 005004 001004 001001 005004 005004 001007 001008 005004 001009 "),
       repeat(" \n", 10)},
      {"cellfreq400", "new400.txt", "", cellfile_with(0, ""), repeat(" \n", 100)},
      {"cellfreq100", "new1.txt", "", cellfile_with(0, ""), repeat(" \n", 100)},
      {"cellfreq300", "new300.txt", "", cellfile_with(0, ""), repeat(" \n", 10)},
      {"cellfreq400", "new400.txt", cat({"\n", at400(0, 2, 2), "\n\n"}), cellfile_with(0, "002002 000000 000000 000000 "),
       cat({"User 0 frequent cell is: C[0][0]  0,0\nUser 0 frequent cell is: C[0][0]  0,2\n",
            "User 0 frequent cell is: C[0][0]  0,3\nUser 0 frequent cell is: C[0][0]  0,4\n", repeat(" \n", 100)})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testsupport::caseof(cases, c));
    scratch s;
    s.put_trace(c.trace);
    const outcome o = runin(s.dir(), program(c.prog), c.trace == one ? "--cell-size 100 other.txt -h" : "");
    EXPECT_EQ(o.status, 0) << c.prog;
    EXPECT_EQ(o.out, c.report) << c.prog << " on " << c.trace;
    EXPECT_EQ(readfile(s.drive() / c.cellfile), c.cells) << c.prog << " on " << c.trace;
  }
}

// A trace that cannot be read keeps the old cell file; a cell file that
// cannot be made or written stops the run before the report; a report that
// cannot be written leaves the cell file complete. Permissions are checked
// as an unprivileged user, since root would not see them.
TEST(FailurePaths, EveryFailureHasItsMessageAndStatusOne) {
  const fs::path trace = "oldenburg(1000).txt";
  const struct {
    const char *prog, *cellfile;
    bool permissions;
    const char* before;                          // the cell file's old bytes, kept, or none
    std::function<void(const fs::path&)> setup;  // given the "C:" folder
    const char* stdout_to;
    std::string err;
  } cases[] = {
      {"cellfreq400", "new400.txt", false, "precious\n", [&](const fs::path& c) { fs::remove(c / trace); }, "",
       "cannot open trace 'C:/oldenburg(1000).txt': No such file or directory"},
      {"cellfreq100", "new1.txt", false, "precious\n",
       [&](const fs::path& c) {
         fs::remove(c / trace);
         fs::create_directory(c / trace);
       },
       "", "cannot read trace 'C:/oldenburg(1000).txt': Is a directory"},
      {"cellfreq400", "new400.txt", true, "precious\n",
       [&](const fs::path& c) { fs::permissions(c / trace, fs::perms::none); }, "",
       "cannot open trace 'C:/oldenburg(1000).txt': Permission denied"},
      {"cellfreq300", "new300.txt", false, nullptr, [](const fs::path& c) { fs::create_directory(c / "new300.txt"); }, "",
       "cannot create cell file 'C:/new300.txt': Is a directory"},
      {"cellfreq400", "new400.txt", false, nullptr,
       [](const fs::path& c) { fs::create_symlink("/dev/full", c / "new400.txt"); }, "",
       "cannot write cell file 'C:/new400.txt': No space left on device"},
      {"cellfreq300", "new300.txt", true, nullptr,
       [](const fs::path& c) {
         fs::permissions(c, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                         fs::perm_options::remove);
       },
       "", "cannot create cell file 'C:/new300.txt': Permission denied"},
      {"cellfreq400", "new400.txt", false, nullptr, [](const fs::path&) {}, "/dev/full",
       "cannot write report: No space left on device"},
      {"cellfreq400", "new400.txt", false, nullptr, [](const fs::path&) {}, "&-", "cannot write report: Bad file descriptor"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err);
    const std::string exe = c.permissions ? unprivileged(c.prog) : program(c.prog);
    if (exe.empty()) continue;  // root without setpriv to drop privileges
    scratch s;
    fs::permissions(s.dir(), fs::perms::all, fs::perm_options::add);
    fs::permissions(s.drive(), fs::perms::all, fs::perm_options::add);
    s.put_trace(user_one_trace());
    if (c.before != nullptr) writefile(s.drive() / c.cellfile, c.before);
    c.setup(s.drive());
    const outcome o = runin(s.dir(), exe, "", c.stdout_to);
    EXPECT_EQ(o.status, 1) << c.err;
    EXPECT_TRUE(o.err.starts_with(cat({c.prog, ": ", c.err, "\n"}))) << o.err;
    EXPECT_EQ(o.out, "") << c.err;
    EXPECT_TRUE(c.before == nullptr || readfile(s.drive() / c.cellfile) == c.before) << c.err;
    // A report that cannot be written comes after a complete cell file.
    EXPECT_TRUE(*c.stdout_to == '\0' || readfile(s.drive() / c.cellfile).size() == 1000u + 11 * 7 + 7) << c.err;
  }
}

// Whole runs of the three fixed programs in scratch folders: byte-exact
// files and reports derived by hand, and every failure path with its
// message, status and the state of the files afterwards.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>

#include "support/runner.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

std::string repeat(const std::string& s, int n) {
  std::string r;
  for (int i = 0; i < n; ++i) r += s;
  return r;
}

// A cell file whose only tokens are line 0's "000000 " and `tokens` on line
// `object`.
std::string cellfile_with(int object, const std::string& tokens) {
  return "000000 \n" + repeat("\n", object - 1) + tokens + "\n" + repeat("\n", 999 - object);
}

// One trace line of object `id` at the centre of 400 m cell (cx, cy).
std::string at400(int id, int cx, int cy) {
  return "point\t" + std::to_string(id) + "\t1\t0\t5\t" + std::to_string((cx - 1) * 400 + 200) + "\t" +
         std::to_string((cy - 1) * 400 + 200) + "\t1.5\t0\t0\n";
}

// The user-1 example: object 10 visits cell (4, 3) at positions 2, 5, 6, 9.
std::string user_one_trace() {
  const int cells[][2] = {{1, 1}, {1, 2}, {4, 3}, {1, 3}, {1, 4}, {4, 3}, {4, 3}, {1, 5}, {1, 6}, {4, 3}, {1, 7}};
  std::string t;
  for (const auto& c : cells) t += at400(10, c[0], c[1]);
  return t;
}

bool starts_with(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

}  // namespace

TEST(FixedPrograms, TheOverviewExampleLine) {
  scratch s;
  s.put_trace("newpoint\t17\t3\t0\t42\t1234.5\t987.6\t12.5\n");
  const outcome o = runin(s.dir(), program("cellfreq400"));
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, repeat(" \n", 100));
  EXPECT_EQ(readfile(s.drive() / "new400.txt"), cellfile_with(17, "004003 "));
}

TEST(FixedPrograms, TheUserOneExampleInAllThreeConfigurations) {
  scratch s;
  s.put_trace(user_one_trace());
  const outcome o400 = runin(s.dir(), program("cellfreq400"));
  EXPECT_EQ(o400.status, 0);
  EXPECT_EQ(o400.out, " \n"
                      "User 1 frequent cell is: C[4][3]  1,2\n"
                      "User 1 frequent cell is: C[4][3]  1,5\n"
                      "User 1 frequent cell is: C[4][3]  1,6\n"
                      "User 1 frequent cell is: C[4][3]  1,9\n" +
                          repeat(" \n", 99));
  EXPECT_EQ(readfile(s.drive() / "new400.txt"),
            cellfile_with(10, "001001 001002 004003 001003 001004 004003 004003 001005 001006 004003 001007 "));

  // 100 m cells: the same visits fall into cell (15, 11).
  const outcome o100 = runin(s.dir(), program("cellfreq100"));
  EXPECT_EQ(o100.out, " \n"
                      "User 1 frequent cell is: C[15][11]  1,2\n"
                      "User 1 frequent cell is: C[15][11]  1,5\n"
                      "User 1 frequent cell is: C[15][11]  1,6\n"
                      "User 1 frequent cell is: C[15][11]  1,9\n" +
                          repeat(" \n", 99));
  EXPECT_EQ(readfile(s.drive() / "new1.txt"),
            cellfile_with(10, "003003 003007 015011 003011 003015 015011 015011 003019 003023 015011 003027 "));

  // 300 m cells and threshold 4: four visits are not enough; ten users.
  const outcome o300 = runin(s.dir(), program("cellfreq300"));
  EXPECT_EQ(o300.out, repeat(" \n", 10));
  EXPECT_EQ(readfile(s.drive() / "new300.txt"),
            cellfile_with(10, "001001 001003 005004 001004 001005 005004 005004 001007 001008 005004 001009 "));
}

TEST(FixedPrograms, EmptyTraceIsACompleteRun) {
  scratch s;
  s.put_trace("");
  for (const auto& [prog, file, blocks] :
       {std::tuple{"cellfreq400", "new400.txt", 100}, {"cellfreq100", "new1.txt", 100}, {"cellfreq300", "new300.txt", 10}}) {
    const outcome o = runin(s.dir(), program(prog));
    EXPECT_EQ(o.status, 0) << prog;
    EXPECT_EQ(o.out, repeat(" \n", blocks)) << prog;
    EXPECT_EQ(readfile(s.drive() / file), "000000 \n" + repeat("\n", 999)) << prog;
  }
}

TEST(FixedPrograms, ArgumentsChangeNothing) {
  scratch s;
  s.put_trace(user_one_trace());
  const outcome plain = runin(s.dir(), program("cellfreq400"));
  const outcome args = runin(s.dir(), program("cellfreq400"), "--cell-size 100 other.txt -h");
  EXPECT_EQ(args.status, 0);
  EXPECT_EQ(args.out, plain.out);
}

TEST(FixedPrograms, ZeroCodesOfUserZeroCountLikeAnyOther) {
  // Three blank lines and the final record: code 0 four times in user 0's
  // row, reported at every position, the final record's last.
  scratch s;
  s.put_trace("\n" + at400(0, 2, 2) + "\n\n");
  const outcome o = runin(s.dir(), program("cellfreq400"));
  EXPECT_EQ(readfile(s.drive() / "new400.txt"), "000000 002002 000000 000000 000000 \n" + repeat("\n", 999));
  EXPECT_EQ(o.out,
            "User 0 frequent cell is: C[0][0]  0,0\n"
            "User 0 frequent cell is: C[0][0]  0,2\n"
            "User 0 frequent cell is: C[0][0]  0,3\n"
            "User 0 frequent cell is: C[0][0]  0,4\n" +
                repeat(" \n", 100));
}

TEST(FailurePaths, MissingTraceKeepsTheOldCellFile) {
  scratch s;
  writefile(s.drive() / "new400.txt", "precious\n");
  const outcome o = runin(s.dir(), program("cellfreq400"));
  EXPECT_EQ(o.status, 1);
  EXPECT_TRUE(starts_with(o.err, "cellfreq400: cannot open trace 'C:/oldenburg(1000).txt': No such file or directory\n"))
      << o.err;
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(readfile(s.drive() / "new400.txt"), "precious\n");
}

TEST(FailurePaths, TraceThatIsADirectory) {
  scratch s;
  fs::create_directory(s.drive() / "oldenburg(1000).txt");
  writefile(s.drive() / "new1.txt", "precious\n");
  const outcome o = runin(s.dir(), program("cellfreq100"));
  EXPECT_EQ(o.status, 1);
  EXPECT_TRUE(starts_with(o.err, "cellfreq100: cannot read trace 'C:/oldenburg(1000).txt': Is a directory\n")) << o.err;
  EXPECT_EQ(readfile(s.drive() / "new1.txt"), "precious\n");
}

TEST(FailurePaths, UnreadableTrace) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads files without read permission";
  scratch s;
  s.put_trace("x\n");
  fs::permissions(s.drive() / "oldenburg(1000).txt", fs::perms::none);
  const outcome o = runin(s.dir(), program("cellfreq400"));
  EXPECT_EQ(o.status, 1);
  EXPECT_TRUE(starts_with(o.err, "cellfreq400: cannot open trace 'C:/oldenburg(1000).txt': Permission denied\n"));
}

TEST(FailurePaths, CellPathThatIsADirectory) {
  scratch s;
  s.put_trace(user_one_trace());
  fs::create_directory(s.drive() / "new300.txt");
  const outcome o = runin(s.dir(), program("cellfreq300"));
  EXPECT_EQ(o.status, 1);
  EXPECT_TRUE(starts_with(o.err, "cellfreq300: cannot create cell file 'C:/new300.txt': Is a directory\n")) << o.err;
  EXPECT_EQ(o.out, "");
}

TEST(FailurePaths, CellFileOnAFullDevice) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  scratch s;
  s.put_trace(user_one_trace());
  fs::create_symlink("/dev/full", s.drive() / "new400.txt");
  const outcome o = runin(s.dir(), program("cellfreq400"));
  EXPECT_EQ(o.status, 1);
  EXPECT_TRUE(starts_with(o.err, "cellfreq400: cannot write cell file 'C:/new400.txt': No space left on device\n"))
      << o.err;
  EXPECT_EQ(o.out, "");
}

TEST(FailurePaths, CellFileInAReadOnlyFolder) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
  scratch s;
  s.put_trace(user_one_trace());
  fs::permissions(s.drive(), fs::perms::owner_read | fs::perms::owner_exec);
  const outcome o = runin(s.dir(), program("cellfreq400"));
  EXPECT_EQ(o.status, 1);
  EXPECT_TRUE(starts_with(o.err, "cellfreq400: cannot create cell file 'C:/new400.txt': Permission denied\n"));
}

TEST(FailurePaths, ReportToAFullDeviceOrAClosedOutput) {
  scratch s;
  s.put_trace(user_one_trace());
  if (fs::exists("/dev/full")) {
    const outcome full = runin(s.dir(), program("cellfreq400"), "", "/dev/full");
    EXPECT_EQ(full.status, 1);
    EXPECT_TRUE(starts_with(full.err, "cellfreq400: cannot write report: No space left on device\n")) << full.err;
    // The cell file is complete all the same.
    EXPECT_EQ(readfile(s.drive() / "new400.txt").size(), 1000u + 11 * 7 + 7);
  }
  const outcome closed = runin(s.dir(), program("cellfreq400"), "", "&-");
  EXPECT_EQ(closed.status, 1);
  EXPECT_TRUE(starts_with(closed.err, "cellfreq400: cannot write report: Bad file descriptor\n")) << closed.err;
  EXPECT_EQ(readfile(s.drive() / "new400.txt").size(), 1000u + 11 * 7 + 7);
}

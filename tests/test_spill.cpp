// Runs within a memory budget: lists that spill to scratch files keep their
// records and order, the split reader gives the same records however small
// the budget, whole runs under budgets of a few KiB give the in-memory run's
// outputs byte for byte, and a failing scratch disk ends the run cleanly.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "cells/grouping.h"
#include "driver/options.h"
#include "platform/seams.h"
#include "platform/tempfiles.h"
#include "support/inprocess.h"
#include "support/runner.h"

using namespace cellfreq;
using testsupport::cellfreqhere;
using testsupport::ran;
using testsupport::readfile;
using testsupport::scratch;
using testsupport::writefile;
namespace fs = std::filesystem;

namespace {

// A TAB trace with the parser's quirks between ordinary lines: lines that
// run together, a row read one field late, negative and far cells, a CR
// alone, and a last record without its newline.
std::string quirkytrace(int lines) {
  std::string t;
  for (int i = 0; i < lines; ++i) {
    const std::string id = std::to_string(i * 7 % 53);
    t += "p\t" + id + "\t1\t0\t5\t" + std::to_string(i % 9 * 400 + 10) + "\t" + std::to_string(i % 5 * 400) + "\t1\n";
    if (i % 97 == 0) t += "p\t" + id + "\t1\t0\t5\t-2500\t-9000000\t1\n";
    if (i % 89 == 0) t += "short\t3\t1\n\t4\t2\r\n";
    if (i % 83 == 0) t += "p\t" + id + "\t1\t0\t5\t\t\t7\t8\n";
  }
  return t + "p\t9\t1\t0\t5\t800\t800";
}

// A CSV trace with text ids, times out of order and equal times.
std::string timedcsv(int rows) {
  std::string t = "id,time,x,y\n";
  for (int i = 0; i < rows; ++i)
    t += "veh-" + std::to_string(i % 23) + "," + std::to_string((i * 37) % 101) + "," + std::to_string(i % 7 * 400 + 5) +
         "," + std::to_string(i % 3 * 400 + 5) + "\n";
  return t;
}

}  // namespace

TEST(SpillingList, KeepsEveryRecordInOrderThroughTruncateAndAppend) {
  // With a limit of one record, the first chunk's 1024 records move to disk
  // each time it fills: 5000 pushes leave 4096 on disk and 904 in memory.
  for (const std::size_t keep : {3000u, 4095u, 4096u, 4097u, 5000u}) {
    SCOPED_TRACE("keeping " + std::to_string(keep));
    std::vector<node> expected;
    recordlist list;
    list.limit(1, scratch_file);
    for (std::int32_t i = 0; i < 5000; ++i) list.push({i, i + 1, i + 2});
    EXPECT_TRUE(list.spilled());
    list.truncate(keep);
    for (std::int32_t i = 0; i < static_cast<std::int32_t>(keep); ++i) expected.push_back({i, i + 1, i + 2});
    recordlist tail;
    for (std::int32_t i = 0; i < 2500; ++i) tail.push({-i, i, 0});
    for (std::int32_t i = 0; i < 2500; ++i) expected.push_back({-i, i, 0});
    list.append(tail);
    list.push({7, 7, 7});
    expected.push_back({7, 7, 7});
    EXPECT_EQ(list.size(), expected.size()) << keep;
    EXPECT_EQ(list.tovector(), expected) << keep;
    std::vector<node> read(expected.size() + 5);
    recordlist::reader r(list);
    std::size_t at = 0;
    for (std::size_t n; (n = r.read(read.data() + at, 777)) > 0;) at += n;
    read.resize(at);
    EXPECT_EQ(read, expected) << keep;
    EXPECT_EQ(list.error(), 0);
  }
  // Chunks of megabytes, which go to the disk around the page cache.
  recordlist big;
  big.limit(600000, scratch_file);
  for (std::int32_t i = 0; i < 3000000; ++i) big.push({i, -i, i / 3});
  EXPECT_TRUE(big.spilled());
  std::int32_t next = 0;
  bool inorder = true;
  big.foreach([&](const node& n) {
    inorder &= n == node{next, -next, next / 3};
    ++next;
  });
  EXPECT_TRUE(inorder);
  EXPECT_EQ(next, 3000000);
  EXPECT_EQ(big.error(), 0);
}

TEST(SpillingList, EveryBlockSizeGivesTheSameRecordsUnderATinyLimit) {
  scratch s;
  const std::string trace = quirkytrace(6000);  // every block spills
  writefile(s.dir() / "t.txt", trace);
  std::FILE* f = std::fopen((s.dir() / "t.txt").c_str(), "rb");
  ASSERT_NE(f, nullptr);
  filesource fs(f);
  recordlist whole;
  const result<std::int64_t> all = readtracefile(fs, 400.0f, whole);
  ASSERT_TRUE(all.ok());
  const std::vector<node> expected = whole.tovector();
  for (std::size_t block = 1; block < trace.size(); block += trace.size() / 60 + 1) {
    recordlist list;
    list.limit(1, scratch_file);
    std::rewind(f);
    const result<std::int64_t> r = readtraceblocks(fs, 400.0f, list, {block, 2});
    ASSERT_TRUE(r.ok()) << block;
    EXPECT_EQ(r.value(), all.value()) << block;
    EXPECT_EQ(list.tovector(), expected) << block;
  }
  std::fclose(f);
}

TEST(Budget, RunsOfAFewKiBGiveTheOutputsOfTheRunInMemory) {
  scratch s;
  writefile(s.dir() / "t.txt", quirkytrace(3000));
  writefile(s.dir() / "t.csv", timedcsv(4000));
  const fs::path tmp = s.dir() / "tmp";
  fs::create_directory(tmp);
  const std::string d = s.dir().string() + "/";
  const std::string tab = d + "t.txt --objects 60 ", csv = d + "t.csv --input-format csv --time-column time ";
  const std::string cases[] = {
      tab, tab + "--summary --format csv --heatmap " + d + "h.svg",
      tab + "--format geojson --group-size 1 --users 40 --heatmap " + d + "h.geojson",
      csv + "--format json --id-map " + d + "h.ids", csv + "--group-size 1 --summary --heatmap " + d + "h.svg",
  };
  for (const std::string& c : cases) {
    const std::string outputs = c + " --cell-file " + d + "c.cells -o " + d + "r.txt";
    std::vector<std::string> files[2];
    for (const char* budget : {"", "2K", "40K"}) {
      SCOPED_TRACE(c + " --memory-limit '" + budget + "'");
      const ran r = cellfreqhere(outputs + (*budget != '\0' ? std::string(" --memory-limit ") + budget : ""), tmp);
      ASSERT_EQ(r.status, 0) << c << budget << r.err;
      std::vector<std::string> now{r.err, readfile(d + "c.cells"), readfile(d + "r.txt")};
      for (const char* h : {"h.svg", "h.geojson", "h.ids"})
        if (fs::exists(d + h)) now.push_back(readfile(d + h));
      if (*budget == '\0') files[0] = now;
      else EXPECT_EQ(now, files[0]) << c << " --memory-limit " << budget;
      EXPECT_TRUE(fs::is_empty(tmp)) << "scratch files left behind";
    }
    for (const char* h : {"h.svg", "h.geojson", "h.ids"}) fs::remove(d + h);
  }
}

namespace {
result<std::FILE*> fulldisk() { return std::fopen("/dev/full", "w+b"); }
}  // namespace

TEST(Budget, AFailingScratchDiskEndsTheRunWithOneMessageAndNoOutputs) {
  scratch s;
  writefile(s.dir() / "t.txt", quirkytrace(3000));
  const std::string d = s.dir().string() + "/";
  struct {
    bool full;
    std::string tmp, message;
  } cases[] = {
      {true, d, "cellfreq: cannot spill records to folder '" + d + "': No space left on device\n"},
      {false, d + "missing", "cellfreq: cannot spill records to folder '" + d + "missing': No such file or directory\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    writefile(d + "r.txt", "old");
    const seam_override disk(c.full ? seams{.scratch_file = fulldisk} : seams{});
    const ran r = cellfreqhere(d + "t.txt --memory-limit 2K --cell-file " + d + "c.cells -o " + d + "r.txt", c.tmp);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.message);
    EXPECT_EQ(readfile(d + "r.txt"), "old");
    EXPECT_FALSE(fs::exists(d + "c.cells"));
    std::vector<fs::path> left;
    for (const auto& e : fs::directory_iterator(s.dir())) left.push_back(e.path().filename());
    EXPECT_EQ(left.size(), 3u) << "besides C:, t.txt and r.txt";
  }
}

TEST(Budget, MemoryLimitTakesBytesOrKMG) {
  const struct {
    const char* value;
    std::int64_t bytes;  // 0: refused
  } cases[] = {{"300", 300}, {"4K", 4096}, {"512M", 512 << 20}, {"2G", std::int64_t{2} << 30},
               {"0", 0},     {"1T", 0},    {"K", 0},            {"-1M", 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    const std::string_view args[] = {"--memory-limit", c.value};
    const result<commandline> parsed = parseoptions(args);
    ASSERT_EQ(parsed.ok(), c.bytes != 0) << c.value;
    if (parsed) EXPECT_EQ(parsed.value().cfg.memorylimit, c.bytes);
    else EXPECT_EQ(parsed.error().what, std::string("invalid --memory-limit '") + c.value +
                                            "': expected a number of bytes, optionally with K, M or G");
  }
  EXPECT_GE(memorybudget(0), std::int64_t{256} << 20);
}

// The cgroup's memory limit, as the default budget bounds itself by it: the
// smallest cgroup v2 memory.max of the process's cgroup and its ancestors
// ("max": none), the v1 memory controller's limit where no v2 file is there.
TEST(Budget, CgroupMemoryLimitFromTheFilesTexts) {
  const std::string v2 = "/sys/fs/cgroup", v1 = "/sys/fs/cgroup/memory";
  const struct {
    const char* name;
    std::string self;
    std::map<std::string, std::string> files;
    std::int64_t limit;
  } cases[] = {
      {"v2 limit", "0::/dask/worker\n", {{v2 + "/dask/worker/memory.max", "1073741824\n"}}, 1073741824},
      {"v2 max", "0::/dask/worker\n", {{v2 + "/dask/worker/memory.max", "max\n"}}, 0},
      {"v2 parent smaller", "0::/a/b\n",
       {{v2 + "/a/b/memory.max", "max\n"}, {v2 + "/a/memory.max", "536870912\n"}}, 536870912},
      {"v2 root, a namespace's", "0::/\n", {{v2 + "/memory.max", "268435456\n"}}, 268435456},
      {"hybrid: v1 memory", "4:memory:/job/7\n2:cpu,cpuacct:/\n0::/\n",
       {{v1 + "/job/7/memory.limit_in_bytes", "2147483648\n"}, {v1 + "/memory.limit_in_bytes", "9223372036854771712\n"}},
       2147483648},
      {"v1 controllers joined", "3:cpuset,memory:/x\n", {{v1 + "/x/memory.limit_in_bytes", "1000\n"}}, 1000},
      {"v2 file wins over v1", "4:memory:/j\n0::/j\n",
       {{v2 + "/j/memory.max", "max\n"}, {v1 + "/j/memory.limit_in_bytes", "1000\n"}}, 0},
      {"nothing there", "0::/gone\n", {}, 0},
      {"no cgroups", "", {}, 0},
      {"damaged", "0:/x\n0::relative\n", {{v2 + "/memory.max", "12x\n"}}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto read = [&](const std::string& path) {
      const auto it = c.files.find(path);
      return it == c.files.end() ? std::string() : it->second;
    };
    EXPECT_EQ(cgroupmemory(c.self, read), c.limit);
  }
}

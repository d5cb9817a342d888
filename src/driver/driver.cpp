// The pass sequence and its failure handling.
//
// The trace is read completely before the cell file is created, so a trace
// that cannot be read never costs the previous cell file. Every write is
// checked up to the close of the file, and the table is only filled from a
// cell file that was written, closed and reopened without error.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "analysis/report.h"
#include "cells/celltable.h"
#include "driver/runconfig.h"
#include "trace/recordlist.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace cellfreq {
namespace {

// A run's failure: the message names what failed and why.
struct failure {
  std::string what;
  int errnum;
};

std::string quoted(const std::string& path) { return "'" + path + "'"; }

// Closes `f`, folding a failed close into `errnum` when nothing failed before.
void closefile(std::FILE* f, int& errnum) {
  errno = 0;
  if (std::fclose(f) != 0 && errnum == 0) errnum = errno != 0 ? errno : EIO;
}

bool readpass(const runconfig& cfg, recordlist& list, failure& fail) {
  errno = 0;
  std::FILE* f = std::fopen(cfg.tracepath.c_str(), "rb");
  if (f == nullptr) {
    fail = {"cannot open trace " + quoted(cfg.tracepath), errno};
    return false;
  }
  int errnum = readtracefile(f, cfg.cellsize, list).error;
  closefile(f, errnum);
  if (errnum != 0) {
    fail = {"cannot read trace " + quoted(cfg.tracepath), errnum};
    return false;
  }
  return true;
}

bool cellpass(const runconfig& cfg, const recordlist& list, std::vector<std::int64_t>& codecount,
              failure& fail) {
  errno = 0;
  std::FILE* f = std::fopen(cfg.cellpath.c_str(), "wb");
  if (f == nullptr) {
    fail = {"cannot create cell file " + quoted(cfg.cellpath), errno};
    return false;
  }
  int errnum = 0;
  {
    textout out(f);
    writecells(list, cfg.nobjects, out, codecount);
    out.flush();
    errnum = out.error();
  }
  closefile(f, errnum);
  if (errnum != 0) {
    fail = {"cannot write cell file " + quoted(cfg.cellpath), errnum};
    return false;
  }
  return true;
}

bool loadpass(const runconfig& cfg, const std::vector<std::int64_t>& codecount,
              std::int64_t maxcount, celltable& table, failure& fail) {
  errno = 0;
  std::FILE* f = std::fopen(cfg.cellpath.c_str(), "rb");
  if (f == nullptr) {
    fail = {"cannot reopen cell file " + quoted(cfg.cellpath), errno};
    return false;
  }
  textin in(f);
  loadcells(in, codecount, maxcount, table);
  int errnum = in.error();
  closefile(f, errnum);
  if (errnum != 0) {
    fail = {"cannot read cell file " + quoted(cfg.cellpath), errnum};
    return false;
  }
  return true;
}

bool reportpass(const runconfig& cfg, const celltable& table,
                const std::vector<std::int64_t>& codecount, std::FILE* report, failure& fail) {
  textout out(report);
  freqcounter counter;
  for (std::int32_t u = 0; u < cfg.nusers && !out.failed(); ++u)
    findx(table, u, codecount[static_cast<std::size_t>(u)], cfg.threshold, counter, out);
  if (!out.flush()) {
    fail = {"cannot write report", out.error()};
    return false;
  }
  return true;
}

}  // namespace

int run(const runconfig& cfg, std::FILE* report, std::FILE* err, const char* progname) {
  failure fail{"", 0};
  recordlist list;
  std::vector<std::int64_t> codecount;
  celltable table;
  const bool ok = readpass(cfg, list, fail) && cellpass(cfg, list, codecount, fail) &&
                  loadpass(cfg, codecount, cellfreq::max(codecount, cfg.nusers), table, fail) &&
                  reportpass(cfg, table, codecount, report, fail);
  if (ok) return status_ok;
  std::fprintf(err, "%s: %s: %s\n", progname, fail.what.c_str(),
               std::strerror(fail.errnum != 0 ? fail.errnum : EIO));
  std::fflush(err);
  return status_failed;
}

void prepare_standard_streams() {
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);
#else
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      // Read-only, so that writing to a closed standard output still fails.
      const int placeholder = open("/dev/null", O_RDONLY);
      if (placeholder >= 0 && placeholder != fd) {
        dup2(placeholder, fd);
        close(placeholder);
      }
    }
  }
#endif
}

int runfixed(const runconfig& cfg, const char* progname) {
  prepare_standard_streams();
  const int status = run(cfg, stdout, stderr, progname);
  // The report must stand before the interpreter's prompt in redirected output.
  std::fflush(stdout);
  const int ignored = std::system("PAUSE");
  (void)ignored;
  return status;
}

}  // namespace cellfreq

// The configurable command's life: parse, then help, version or one run.
//
// Usage errors are told apart from failed runs by their status (2), and
// standard error gets exactly one line for them, so scripts can both test
// and show the outcome.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "driver/command.h"

#include "driver/ingest.h"
#include "driver/lastresort.h"
#include "driver/options.h"
#include "driver/pathcheck.h"
#include "driver/runconfig.h"
#include "pieces/parts.h"
#include "platform/signals.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#ifndef CELLFREQ_VERSION
#error "CELLFREQ_VERSION must be defined by the build"
#endif

namespace cellfreq {
namespace {

constexpr const char* progname = "cellfreq";

bool stderr_is_terminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(STDERR_FILENO) != 0;
#endif
}

// Writes help or version text on standard output; status_failed if that fails.
template <class W>
int inform(W&& write) {
  textout out(stdout);
  write(out);
  if (out.flush()) return status_ok;
  std::fprintf(stderr, "%s: cannot write to standard output\n", progname);
  return status_failed;
}

// The outputs that the options name, as the options are called.
std::vector<namedpath> outputpaths(const runconfig& cfg) {
  std::vector<namedpath> paths;
  for (const auto& [option, path] : {std::pair{"--output", &cfg.outputpath}, {"--cell-file", &cfg.cellpath},
                                     {"--heatmap", &cfg.heatmappath}, {"--map", &cfg.mappath},
                                     {"--id-map", &cfg.idmappath}})
    if (!path->empty()) paths.push_back({option, *path});
  return paths;
}

// The command's life below its last resort.
int command(int argc, const char* const* argv) {
  const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  result<commandline> parsed = parseoptions(args);
  if (!parsed) return reportfailure(parsed.error(), stderr, progname);
  commandline& cl = parsed.value();
  if (cl.what == commandline::action::help) return inform(writehelp);
  if (cl.what == commandline::action::version)
    return inform([](textout& out) {
      out.put(progname);
      out.put(" " CELLFREQ_VERSION);
      out.newline();
    });
  if (result<void> distinct = distinctpaths(cl.cfg.tracepath, outputpaths(cl.cfg)); !distinct)
    return reportfailure(distinct.error(), stderr, progname);
  cl.cfg.progress = cl.progress.value_or(stderr_is_terminal());
  cl.cfg.replacecells = true;
  if (cl.piece.what != piececonfig::kind::none) return runpiece(cl, stdout, stderr);
  catch_signals(progname);
  commandinput input(cl.input);
  const int status = run(cl.cfg, stdout, stderr, progname, &input);
  if (cl.pause) pause();
  return status;
}

}  // namespace

int runcommand(int argc, const char* const* argv) {
  prepare_standard_streams();
  return lastresort(progname, [&] { return command(argc, argv); });
}

}  // namespace cellfreq

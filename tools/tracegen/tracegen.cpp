// tracegen: writes a synthetic trace of objects moving on a street grid,
// for the sample data, the tests and the benchmarks.
//
// The output is byte-identical for the same arguments on every platform and
// compiler (the CSV degrees on one machine, as PROJ gives them): the model
// works in integer centimetres with its own random streams, and every
// number is formatted by hand into one large buffer, which is also what
// makes multi-gigabyte traces cheap. The exit status is 0 for a trace
// written in full, 1 when it could not be (with the reason on standard
// error), and 2 for a usage error.
#include <cstdio>
#include <optional>

#include "csvformat.h"
#include "generate.h"
#include "model.h"
#include "options.h"
#include "output.h"
#include "projection.h"
#include "tabformat.h"

namespace tracegen {
namespace {

constexpr int exit_failure = 1;

// Generates the trace that `o` asks for into the open `f`; returns the
// exit status, having said why on standard error when it is not 0. A
// failed transformation ends the run at once, as nothing after it could be
// written; a failed write still lets the rest be flushed and the file be
// closed before it is reported.
int write_trace(const options& o, std::FILE* f, projection* degrees) {
  bool ok = true;
  {
    world w(o.seed, o.objects);
    writer out(f, o.gzip);
    if (o.format == trace_format::tab) {
      tab_sink sink(out);
      ok = generate(w, sink, out, o.steps, o.bytes);
    } else {
      csv_sink sink(out, degrees, o.objects);
      sink.header();
      ok = generate(w, sink, out, o.steps, o.bytes);
      if (!sink.failure().empty()) {
        std::fprintf(stderr, "tracegen: %s\n", sink.failure().c_str());
        return exit_failure;
      }
    }
    ok = out.finish() && ok;
  }
  if (std::fflush(f) != 0) ok = false;
  if (f != stdout && std::fclose(f) != 0) ok = false;
  if (!ok) {
    std::fprintf(stderr, "tracegen: write error\n");
    return exit_failure;
  }
  return 0;
}

// Sets up what the run needs before the output is created, so that a
// failure leaves no file, then writes the trace.
int run(const options& o) {
  std::optional<projection> degrees;
  if (o.format == trace_format::csv_degrees) {
    degrees.emplace();
    if (!degrees->ok()) {
      std::fprintf(stderr, "tracegen: cannot set up the transformation from EPSG:32632 to EPSG:4326: %s\n",
                   degrees->error().c_str());
      return exit_failure;
    }
  }
  std::FILE* f = open_output(o.path);
  if (f == nullptr) {
    std::fprintf(stderr, "tracegen: cannot open '%s' for writing\n", o.path.c_str());
    return exit_failure;
  }
  return write_trace(o, f, degrees ? &*degrees : nullptr);
}

}  // namespace
}  // namespace tracegen

// A thin front end: the command line, then the run it asks for.
int main(int argc, char** argv) {
  const tracegen::command cmd = tracegen::parse_command_line(argc, argv);
  return cmd.run ? tracegen::run(*cmd.run) : cmd.status;
}

// The parse piece: a byte range of the trace, from the line start at or
// after its first byte to the one at or after its last, into a part file.
#include <algorithm>
#include <cerrno>

#include "pieces/steps.h"

namespace cellfreq {
namespace {

// The size of the trace open as `f` (which is left at its end), or -1.
std::int64_t file_size(std::FILE* f) {
  if (fseeko(f, 0, SEEK_END) != 0) return -1;
  return static_cast<std::int64_t>(ftello(f));
}

}  // namespace

int parse_piece(const commandline& cl, commandinput& input, std::FILE* err) {
  const runconfig& cfg = cl.cfg;
  runfailure fail;
  std::FILE* f = settle(opentrace(cfg), fail);
  if (f == nullptr) return reportfailure(fail, err, "cellfreq");
  fingerprint fp;
  bool ok = file_size(f) >= 0;
  if (!ok) fail = {cannotread(cfg), errno != 0 ? errno : ESPIPE};
  if (ok && (ok = fingerprint_of(cl, f, fp, fail))) {
    const std::int64_t start = linestart(f, cl.piece.first), end = linestart(f, cl.piece.last);
    parsestate state;
    state.vknown = state.wknown = start == 0;
    ok = write_part(cfg, input, cl.input.csv, f, fp, start, std::max(start, end), state,
                    part_name(cl.piece.work, cl.piece.first), fail);
  }
  std::fclose(f);
  return ok ? status_ok : reportfailure(fail, err, "cellfreq");
}

}  // namespace cellfreq

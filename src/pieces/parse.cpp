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

// Fingerprints the run on the open trace `f` and writes the part of the
// range the piece names.
result<void> parse_range(const commandline& cl, commandinput& input, std::FILE* f) {
  const runconfig& cfg = cl.cfg;
  if (file_size(f) < 0) return failure{cannotread(cfg), errno != 0 ? errno : ESPIPE};
  result<fingerprint> fp = fingerprint_of(cl, f);
  if (!fp) return std::move(fp.error());
  const std::int64_t start = linestart(f, cl.piece.first), end = linestart(f, cl.piece.last);
  parsestate state;
  state.vknown = state.wknown = start == 0;
  return write_part(cfg, input, cl.input.csv, f, fp.value(), start, std::max(start, end), state,
                    part_name(cl.piece.work, cl.piece.first));
}

}  // namespace

int parse_piece(const commandline& cl, commandinput& input, std::FILE* err) {
  result<std::FILE*> f = opentrace(cl.cfg);
  if (!f) return piece_status(std::move(f.error()), err);
  const result<void> done = parse_range(cl, input, f.value());
  std::fclose(f.value());
  return piece_status(done, err);
}

}  // namespace cellfreq

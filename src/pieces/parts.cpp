// The entry of a run in pieces: refuses a trace that cannot be cut, and
// runs the piece the command line names (its steps are in steps.h).
#include "pieces/parts.h"

#include "pieces/steps.h"
#include "platform/signals.h"

namespace cellfreq {

int runpiece(const commandline& cl, std::FILE* out, std::FILE* err) {
  commandinput input(cl.input);
  const std::string& trace = cl.cfg.tracepath;
  const char* refused = trace == stdin_path ? "needs the trace as a file"
                        : isgzipname(trace)  ? "cannot cut a gzipped trace"
                                             : nullptr;
  if (refused != nullptr) {
    std::fprintf(err, "cellfreq: a run in pieces %s\n", refused);
    return status_usage;
  }
  // A signal removes the files a piece has not finished, as in a whole run.
  catch_signals("cellfreq");
  switch (cl.piece.what) {
    case piececonfig::kind::parse: return parse_piece(cl, input, err);
    case piececonfig::kind::plan: return plan_piece(cl, input, out, err);
    case piececonfig::kind::merge: return merge_piece(cl, input, err);
    case piececonfig::kind::join: return join_piece(cl, input, out, err, false);
    case piececonfig::kind::joinplaced: return join_piece(cl, input, out, err, true);
    case piececonfig::kind::place: return place_piece(cl, err);
    case piececonfig::kind::none: break;
  }
  return status_usage;
}

}  // namespace cellfreq

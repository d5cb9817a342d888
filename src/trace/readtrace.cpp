// The character-driven trace parser.
//
// Each step reads one character. A TAB starts a numeric field: the number
// after the first TAB of a line is the object id, the third TAB's number is
// followed by an integer read (field 4), and when the count of TABs reaches
// four the last number read gives the column cell. Whenever the count is four
// after that, a further number is read for the row cell, in every step, not
// only the one of the fourth TAB. A newline closes the record. The numeric
// reads skip whitespace, newlines included, which is why malformed lines can
// run together or be read one field late; those outcomes are part of the
// format's meaning for stored data and are kept exactly.
#include "trace/recordlist.h"
#include "trace/scan.h"

namespace cellfreq {

void parsetrace(textin& in, float cellsize, parsestate& s, recordlist& out) {
  for (;;) {
    const int ch = in.get();
    if (ch == textin::eof) return;
    if (ch == '\t') {
      scanfloat(in, s.v);
      if (s.fieldno == 0) s.current.id = trunc_sat(s.v);
      ++s.fieldno;
      if (s.fieldno == 3) {
        std::int32_t ignored = 0;
        scanint(in, ignored);
      }
      if (s.fieldno == 4) s.current.x = cellnumber(s.v, cellsize);
    }
    if (s.fieldno == 4) {
      scanfloat(in, s.w);
      s.current.y = cellnumber(s.w, cellsize);
    }
    if (ch == '\n') {
      out.push(s.current);
      s.current = node{};
      s.fieldno = 0;
      ++s.nrec;
    }
  }
}

std::int64_t readtrace(textin& in, float cellsize, recordlist& list) {
  parsestate s;
  parsetrace(in, cellsize, s, list);
  list.push(s.current);
  return s.nrec;
}

traceread readtracefile(std::FILE* f, float cellsize, recordlist& list, textin::progressfn progress,
                        void* progress_ctx) {
  textin in(f);
  in.on_progress(progress, progress_ctx);
  const std::int64_t nrec = readtrace(in, cellsize, list);
  return {nrec, in.error()};
}

}  // namespace cellfreq

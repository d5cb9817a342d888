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
#include <cstring>

#include "trace/recordlist.h"
#include "trace/scan.h"

namespace cellfreq {
namespace {

// Reads the complete line [p, nl) in one go when it is well-formed, which
// is nearly every line of a real trace: a label without TAB or carriage
// return, then at least seven fields, each a complete decimal number (field
// 4 need only be nonempty and not start with whitespace, since its integer
// read is discarded), separated by single TABs, with an optional CR before
// the newline. The character steps on such a line do exactly this: field 1
// gives the id, field 5 x, field 6 (read for y after the fifth TAB) y, and
// the last field is the last value read, which stays in `v` for the lines
// that follow. Must be called with fieldno 0, when the current record is
// still all zero. Returns false, having changed nothing, for any other line.
// Whether the field starting at p is the line's last one.
bool fieldislast(const char* p, const char* end) {
  return std::memchr(p, '\t', static_cast<std::size_t>(end - p)) == nullptr;
}

bool fastline(const char* p, const char* nl, float cellsize, parsestate& s, recordlist& out) {
  const char* end = (nl != p && nl[-1] == '\r') ? nl - 1 : nl;
  while (p != end && *p != '\t') {
    if (*p == '\r') return false;
    ++p;
  }
  float v = 0.0f, id = 0.0f, x = 0.0f, w = 0.0f;
  int field = 0;
  while (p != end) {  // *p is the TAB before the next field
    ++p;
    ++field;
    if (field == 4) {
      if (p == end || *p == '\t' || *p == ' ' || *p == '\v' || *p == '\f') return false;
      while (p != end && *p != '\t') ++p;
      continue;
    }
    // Only the id, the coordinates and the last value read are kept; the
    // other fields need only be complete numbers.
    const bool keep = field == 1 || field == 5 || field == 6 || fieldislast(p, end);
    const char* q = keep ? scanfloat_span(p, end, v) : checkfloat_span(p, end);
    if (q == nullptr || (q != end && *q != '\t')) return false;
    p = q;
    if (field == 1) id = v;
    if (field == 5) x = v;
    if (field == 6) w = v;
  }
  if (field < 7) return false;
  out.push(node{trunc_sat(id), cellnumber(x, cellsize), cellnumber(w, cellsize)});
  s.v = v;
  s.w = w;
  ++s.nrec;
  return true;
}

}  // namespace

void parsetrace(textin& in, float cellsize, parsestate& s, recordlist& out) {
  for (;;) {
    if (s.fieldno == 0) {
      in.want(4096);
      const char* p = in.data();
      const char* const e = in.limit();
      for (;;) {
        const auto* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(e - p)));
        if (nl == nullptr || !fastline(p, nl, cellsize, s, out)) break;
        p = nl + 1;
      }
      in.consume_to(p);
    }
    // Characters other than TAB and line ends do nothing unless a y read is
    // pending, so runs of them (labels, field remnants) are passed over in
    // one go. A carriage return stops the run since it may begin a CRLF.
    if (s.fieldno != 4) {
      const char* p = in.data();
      const char* const e = in.limit();
      while (p != e && *p != '\t' && *p != '\n' && *p != '\r') ++p;
      in.consume_to(p);
    }
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

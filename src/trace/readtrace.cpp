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
#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "trace/fieldscan.h"
#include "trace/recordlist.h"
#include "trace/scan.h"

namespace cellfreq {
namespace {

// The last field of a line read in one go. Its value is what the
// character steps leave in `v`, but only the last such line's value is
// ever used, once a run of such lines ends, so only that one is converted.
struct lastfield {
  const char* from = nullptr;
  const char* to = nullptr;
};

// Ends a well-formed line read in one go, as its character steps would:
// the record of its id and cells, and the last values read (`v` from
// `last`, converted by settle()).
inline void closeline(std::int32_t id, float x, float w, lastfield field, float cellsize, parsestate& s,
                      recordlist& out, lastfield& last) {
  out.push(node{id, cellnumber(x, cellsize), cellnumber(w, cellsize)});
  s.w = s.freshw = w;
  s.wknown = true;
  ++s.nrec;
  last = field;
}

// Gives `v` the value of the last field of the lines read in one go, if
// any were: it is one complete number, as they checked.
void settle(lastfield& last, parsestate& s) {
  if (last.from == nullptr) return;
  float v = 0.0f;
  scanfloat_span(last.from, last.to, v);
  s.v = s.freshv = v;
  s.vknown = true;
  last = {};
}

// Reads the number that fills a kept field starting at p, within [p, end):
// the one-load field scanner where `roomy` allows it and it can decide, the
// exact span scanner otherwise. Returns the end of the number, or nullptr.
const char* fieldnumber(const char* p, const char* end, bool roomy, float& v) {
  const char* q = roomy ? scanfloat_field(p, end, v) : nullptr;
  return q != nullptr ? q : scanfloat_span(p, end, v);
}
// fieldnumber() for a field whose value goes unused: only its end.
const char* fieldform(const char* p, const char* end, bool roomy) {
  const char* q = roomy ? numberfield(p, end) : nullptr;
  float unused = 0.0f;
  return q != nullptr ? q : scanfloat_span(p, end, unused);
}

// Reads the complete line [p, nl) in one go when it is well-formed, which
// is nearly every line of a real trace: a label without TAB or carriage
// return, then at least seven nonempty fields separated by single TABs,
// with an optional CR before the newline, where the id (field 1), field 3,
// the coordinates (fields 5 and 6) and the last field are complete decimal
// numbers. The character steps on such a line do exactly this: field 1
// gives the id; the read of field 3 must take the whole field, so that the
// integer read after it skips the fourth TAB and takes field 4; field 5
// gives x, field 6 (read for y after it) y, and the last field is the last
// value read, which stays in `v` for the lines that follow. The other
// fields need only be nonempty and not start with whitespace (a lone
// carriage return included): then no read skips over their TAB, each read
// stops inside its field, the characters left over do nothing, and the
// values read are overwritten before anything uses them.
// Must be called with fieldno 0, when the current record is still all zero;
// `roomy` tells that field_readahead bytes past the newline are buffered, so
// the one-load field scanners may run. Returns false, having changed
// nothing, for any other line.
bool fastline(const char* p, const char* nl, bool roomy, float cellsize, parsestate& s, recordlist& out,
              lastfield& lastread) {
  const char* end = (nl != p && nl[-1] == '\r') ? nl - 1 : nl;
  while (p != end && *p != '\t') {
    if (*p == '\r') return false;
    ++p;
  }
  // The start of the last field, found from the end of the line.
  const char* last = end;
  while (last != p && last[-1] != '\t') --last;
  float v = 0.0f, id = 0.0f, x = 0.0f, w = 0.0f;
  int field = 0;
  while (p != end) {  // *p is the TAB before the next field
    ++p;
    ++field;
    if (field != 1 && field != 3 && field != 5 && field != 6 && p != last) {
      if (p == end || isspace_c(static_cast<unsigned char>(*p))) return false;
      p = roomy ? nexttab(p, end) : std::find(p, end, '\t');
      continue;
    }
    const bool used = field == 1 || field == 5 || field == 6;
    const char* q = used ? fieldnumber(p, end, roomy, v) : fieldform(p, end, roomy);
    if (q == nullptr || (q != end && *q != '\t')) return false;
    p = q;
    if (field == 1) id = v;
    if (field == 5) x = v;
    if (field == 6) w = v;
  }
  if (field < 7) return false;
  closeline(trunc_sat(id), x, w, {last, end}, cellsize, s, out, lastread);
  return true;
}

// Bytes that must be buffered from a line start for windowline().
constexpr std::ptrdiff_t window_readahead = 64 + static_cast<std::ptrdiff_t>(field_readahead);

// fastline() for a line that ends within the 64 bytes from p (with
// window_readahead bytes buffered), decided on bit masks of the whole line
// instead of byte by byte. It also takes lines with a lone carriage return
// inside the label or inside a field whose value goes unused, which the
// character steps pass over like any other byte (in a kept field it is no
// digit, and the field's number check declines). Returns the start of the
// next line, or nullptr (nothing changed) when the line is not one of
// these or is longer.
const char* windowline(const char* p, float cellsize, parsestate& s, recordlist& out, lastfield& last) {
  linemasks m;
  if (!scanwindow(p, m) || m.lf == 0) return nullptr;
  const auto nl = static_cast<unsigned>(std::countr_zero(m.lf));
  const std::uint64_t inside = (std::uint64_t{1} << nl) - 1;
  const unsigned end = nl != 0 && p[nl - 1] == '\r' ? nl - 1 : nl;
  std::uint64_t tabs = m.tab & inside;
  // At least seven fields, none empty or starting with whitespace.
  if (((tabs << 1) & m.blank) != 0) return nullptr;
  unsigned t[7];
  for (unsigned& ti : t) {
    if (tabs == 0) return nullptr;
    ti = static_cast<unsigned>(std::countr_zero(tabs));
    tabs &= tabs - 1;
  }
  const auto lasttab = static_cast<unsigned>(63 - std::countl_zero(m.tab & inside));
  // A kept field [from, to) must be exactly one complete number; field 3
  // and the last field only for their form, and the id, nearly always a
  // plain run of digits, is taken as one where it is.
  const auto number = [p](unsigned from, unsigned to, float& v) { return fieldnumber(p + from, p + to, true, v) == p + to; };
  const auto form = [p](unsigned from, unsigned to) { return fieldform(p + from, p + to, true) == p + to; };
  std::int32_t id = 0;
  if (digitsfield(p + t[0] + 1, p + t[1], id) != p + t[1]) {
    float v = 0.0f;
    if (!number(t[0] + 1, t[1], v)) return nullptr;
    id = trunc_sat(v);
  }
  float x = 0.0f, w = 0.0f;
  if (!form(t[2] + 1, t[3]) || !number(t[4] + 1, t[5], x) || !number(t[5] + 1, t[6], w) || !form(lasttab + 1, end))
    return nullptr;
  closeline(id, x, w, {p + lasttab + 1, p + end}, cellsize, s, out, last);
  return p + nl + 1;
}

}  // namespace

void parsetrace(textin& in, float cellsize, parsestate& s, recordlist& out) {
  for (;;) {
    if (s.fieldno == 0) {
      in.want(4096);
      const char* p = in.data();
      const char* const e = in.limit();
      const char* const start = p;
      lastfield last;
      for (;;) {
        if (e - p >= window_readahead) {
          if (const char* next = windowline(p, cellsize, s, out, last)) {
            p = next;
            continue;
          }
        }
        const auto* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(e - p)));
        if (nl == nullptr ||
            !fastline(p, nl, e - nl >= static_cast<std::ptrdiff_t>(field_readahead), cellsize, s, out, last))
          break;
        p = nl + 1;
      }
      settle(last, s);
      in.consume_to(p);
      if (p != start) {
        s.freshoffset = in.offset();
        s.freshnrec = s.nrec;
      }
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
    const bool pending = in.end_seen();
    const int ch = in.get();
    if (ch == textin::eof) {
      s.cleanend = !pending;
      return;
    }
    if (ch == '\t') {
      if (scanfloat(in, s.v)) s.vknown = true;
      else s.guessed |= !s.vknown;
      if (s.fieldno == 0) s.current.id = trunc_sat(s.v);
      ++s.fieldno;
      if (s.fieldno == 3) {
        std::int32_t ignored = 0;
        scanint(in, ignored);
      }
      if (s.fieldno == 4) s.current.x = cellnumber(s.v, cellsize);
    }
    if (s.fieldno == 4) {
      if (scanfloat(in, s.w)) s.wknown = true;
      else s.guessed |= !s.wknown;
      s.current.y = cellnumber(s.w, cellsize);
    }
    if (ch == '\n') {
      out.push(s.current);
      s.current = node{};
      s.fieldno = 0;
      ++s.nrec;
      // A read that met the end of a partial input would have gone on, so
      // the point after it is no place to resume from; nor is one where a
      // value carried over from before the part is still unknown.
      if (!in.end_seen() && s.vknown && s.wknown) {
        s.freshoffset = in.offset();
        s.freshnrec = s.nrec;
        s.freshv = s.v;
        s.freshw = s.w;
      }
    }
  }
}

std::int64_t readtrace(textin& in, float cellsize, recordlist& list) {
  parsestate s;
  parsetrace(in, cellsize, s, list);
  list.push(s.current);
  return s.nrec;
}

namespace {

// 64-bit file positions on every platform (long is 32 bits on Windows).
int seek(std::FILE* f, std::int64_t offset, int whence) {
#ifdef _WIN32
  return _fseeki64(f, offset, whence);
#else
  return fseeko(f, static_cast<off_t>(offset), whence);
#endif
}
std::int64_t tell(std::FILE* f) {
#ifdef _WIN32
  return _ftelli64(f);
#else
  return static_cast<std::int64_t>(ftello(f));
#endif
}

// The byte size of a regular file, or -1 when `f` cannot be split (a pipe,
// a terminal, a device).
std::int64_t splittable_size(std::FILE* f) {
  if (seek(f, 0, SEEK_END) != 0) return -1;
  const std::int64_t size = tell(f);
  if (seek(f, 0, SEEK_SET) != 0) return -1;
  return size;
}

// The offset just after the first '\n' at or after `from`, or -1.
std::int64_t next_line_start(std::FILE* f, std::int64_t from) {
  if (seek(f, from, SEEK_SET) != 0) return -1;
  for (int c = std::fgetc(f); c != EOF; c = std::fgetc(f)) {
    ++from;
    if (c == '\n') return from;
  }
  return -1;
}

}  // namespace

std::int64_t linestart(std::FILE* f, std::int64_t at) {
  if (at <= 0) return 0;
  const std::int64_t size = splittable_size(f);
  if (at >= size) return size;
  const std::int64_t next = next_line_start(f, at - 1);
  return next < 0 ? size : next;
}

result<void> parserange(std::FILE* f, std::int64_t start, std::int64_t end, bool last, float cellsize,
                        parsestate& state, recordlist& list, bool& ctrlz) {
  if (seek(f, start, SEEK_SET) != 0) return lasterror();
  textin in(f);
  if (!last) in.limit_to(static_cast<std::uint64_t>(end - start));
  parsetrace(in, cellsize, state, list);
  ctrlz = in.ended_by_ctrlz();
  if (last || ctrlz) list.push(state.current);
  return fromerrno(in.error());
}

}  // namespace cellfreq

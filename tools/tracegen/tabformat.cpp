// The TAB line, field by field, and the tables of its short decimals: a
// table copy is a fraction of the cost of formatting three numbers a line.
#include "tabformat.h"

#include <cstring>

#include "coordinate.h"
#include "digits.h"

namespace tracegen {
namespace {

// The text of v / 10^decimals for every v below `count`, with one or two
// decimals.
std::vector<snippet> make_snippets(std::uint32_t count, int decimals) {
  const std::uint32_t unit = decimals == 1 ? 10 : 100;
  std::vector<snippet> table(count);
  for (std::uint32_t v = 0; v < count; ++v) {
    char buf[32];
    char* p = formatuint(buf, v / unit);
    *p++ = '.';
    p = formatpadded(p, v % unit, decimals);
    snippet& s = table[v];
    s.len = static_cast<std::uint8_t>(p - buf);
    std::memset(s.text, 0, sizeof s.text);
    std::memcpy(s.text, buf, s.len);
  }
  return table;
}

// One copy of the whole record, from the struct so that it stays in bounds.
char* put_snippet(char* p, const snippet* table, std::uint32_t v) {
  static_assert(sizeof(snippet) == 8);
  std::memcpy(p, &table[v], 8);
  return p + table[v].len;
}

}  // namespace

tab_sink::tab_sink(writer& out) : out_(out), tenths_(make_snippets(3600, 1)), hundredths_(make_snippets(1000, 2)) {}

char* tab_line(char* p, const record& rec, std::uint32_t id, std::uint64_t t, bool last, const snippet* tenths,
               const snippet* hundredths) {
  // Labels are padded to eight bytes so that the copy has a fixed size.
  const char* label = rec.moving ? "track\t\0\0" : "dwell\t\0\0";
  std::size_t len = 6;
  if (t == 0) {
    label = "appear\t\0";
    len = 7;
  } else if (last) {
    label = "vanish\t\0";
    len = 7;
  }
  std::memcpy(p, label, 8);
  p += len;
  p = formatuint(p, id);
  *p++ = '\t';
  p = formatuint(p, rec.seq);
  *p++ = '\t';
  *p++ = static_cast<char>('0' + rec.cls);
  *p++ = '\t';
  p = formatuint(p, t);
  *p++ = '\t';
  p = put_coordinate(p, rec.x, static_cast<std::uint32_t>(rec.r % 100));
  *p++ = '\t';
  p = put_coordinate(p, rec.y, static_cast<std::uint32_t>((rec.r >> 8) % 100));
  *p++ = '\t';
  p = put_snippet(p, tenths, rec.speed_dm);
  *p++ = '\t';
  p = put_snippet(p, tenths, rec.heading);
  *p++ = '\t';
  p = put_snippet(p, hundredths, rec.accuracy);
  *p++ = '\n';
  return p;
}

}  // namespace tracegen

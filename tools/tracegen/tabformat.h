// tabformat: the TAB trace, the cellfreq programs' own input. Per record a
// label (appear at the first step, vanish at the last, else track or
// dwell), the id, the sequence number, the class, the step, x and y in
// metres in one of several number forms, the speed (m/s), the heading
// (degrees) and the accuracy (m).
#pragma once

#include <cstdint>
#include <vector>

#include "output.h"
#include "record.h"

namespace tracegen {

// A decimal of at most seven characters, copied from a table as one 8-byte
// word; the byte past the text lands in the line and is overwritten by what
// follows it.
struct snippet {
  char text[7];
  std::uint8_t len;
};

// Writes one TAB line of `rec` for object `id` at step t (the final step
// when `last`), with speeds and headings from `tenths` and accuracies from
// `hundredths`; returns its end. At most writer::line_reserve bytes.
char* tab_line(char* p, const record& rec, std::uint32_t id, std::uint64_t t, bool last, const snippet* tenths,
               const snippet* hundredths);

// A sink of generate.h.
class tab_sink {
public:
  explicit tab_sink(writer& out);
  void begin(std::uint64_t t, bool last) {
    t_ = t;
    last_ = last;
  }
  bool line(const record& rec, std::uint32_t id) {
    out_.advance(tab_line(out_.cursor(), rec, id, t_, last_, tenths_.data(), hundredths_.data()));
    return !out_.need_flush() || out_.flush();
  }
  bool end() { return true; }

private:
  writer& out_;
  // Speeds stay far below 360 m/s and headings below 360 degrees, so one
  // table of tenths serves both; accuracies stay below 10 m.
  std::vector<snippet> tenths_;
  std::vector<snippet> hundredths_;
  std::uint64_t t_ = 0;
  bool last_ = false;
};

}  // namespace tracegen

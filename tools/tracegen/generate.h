// generate: the run's loop of steps, the same for every format.
//
// A format is a sink that turns the records of a step into lines:
// begin(t, last) starts step t (the final one when `last`), line(record,
// id) takes one record and end() closes the step; line() and end() return
// false once the sink has failed.
#pragma once

#include <cstdint>

#include "model.h"
#include "output.h"

namespace tracegen {

// Writes `steps` time steps of `w` through `sink`, or, with `bytes`, as
// many as it takes to reach that many bytes before compression; the end is
// then only known once the size is reached, so such a trace has no final
// "vanish" step. False once the sink fails.
template <class sink_type>
bool generate(world& w, sink_type& sink, const writer& out, std::uint64_t steps, std::uint64_t bytes) {
  for (std::uint64_t t = 0; bytes != 0 ? out.total() < bytes : t < steps; ++t) {
    sink.begin(t, bytes == 0 && t + 1 == steps);
    for (const std::uint32_t id : w.shuffle()) {
      if (!sink.line(w.advance(id), id)) return false;
    }
    if (!sink.end()) return false;
  }
  return true;
}

}  // namespace tracegen

// csvformat: the CSV formats. A header, then per record the object's name
// ("veh-" and its id, zero-padded to four digits, or to as many as the
// largest id has), the step's UTC time and its position: UTM zone 32N
// metres with two decimals (id,time,x,y), or WGS 84 degrees with seven
// (id,time,lon,lat). Rows come in the order of the TAB trace.
//
// A sink of generate.h. Positions are gathered in batches, since PROJ
// costs much per call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "output.h"
#include "projection.h"
#include "record.h"

namespace tracegen {

// A sink of generate.h.
class csv_sink {
public:
  // Degrees through `degrees` when it is given, metres otherwise; names
  // wide enough for ids below `objects`.
  csv_sink(writer& out, projection* degrees, std::uint64_t objects);
  // The first line; written before any other.
  void header();
  // Starts step t: its clock time, which all of its rows share.
  void begin(std::uint64_t t, bool last);
  // Gathers the record's position in metres; a full batch is written.
  bool line(const record& rec, std::uint32_t id) {
    ids_[n_] = id;
    xs_[n_] = static_cast<double>(easting_cm + rec.x) / 100;
    ys_[n_] = static_cast<double>(northing_cm + rec.y) / 100;
    return ++n_ < batch || end();
  }
  // Writes the batch; false when a write failed or PROJ could not
  // transform a position (never inside the city), which failure() then
  // describes.
  bool end();
  // Why an end() could not transform, or empty while none failed to.
  const std::string& failure() const { return failure_; }

private:
  static constexpr std::size_t batch = 4096;
  // The UTM position of the city's (0, 0), in centimetres.
  static constexpr std::int64_t easting_cm = 440000 * 100;
  static constexpr std::int64_t northing_cm = 5880000 * 100;

  template <int decimals>
  bool rows();

  writer& out_;
  projection* degrees_;
  int width_ = 4;
  char stamp_[32] = {};
  std::size_t stamp_len_ = 0;
  std::size_t n_ = 0;
  std::string failure_;
  std::uint32_t ids_[batch] = {};
  double xs_[batch] = {};
  double ys_[batch] = {};
};

}  // namespace tracegen

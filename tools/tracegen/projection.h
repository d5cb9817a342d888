// projection: the generator's city, placed in UTM zone 32N (EPSG:32632),
// as WGS 84 longitude and latitude in degrees (EPSG:4326), through PROJ.
//
// PROJ's cost is mostly per call, so positions are transformed in batches.
// Its results are deterministic on one machine, which is all the CSV output
// promises.
#pragma once

#include <proj.h>

#include <cstddef>
#include <string>

namespace tracegen {

class projection {
public:
  projection();
  ~projection();
  projection(const projection&) = delete;
  projection& operator=(const projection&) = delete;

  // Whether the transformation could be set up; error() says why not.
  bool ok() const { return pj_ != nullptr; }
  std::string error() const;

  // Replaces eastings x[i] and northings y[i] (metres) by longitudes and
  // latitudes (degrees). False if any point could not be transformed.
  bool to_degrees(double* x, double* y, std::size_t n);

private:
  PJ_CONTEXT* ctx_;
  PJ* pj_ = nullptr;
};

}  // namespace tracegen

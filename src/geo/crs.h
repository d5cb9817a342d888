// crs: positions from the input coordinate reference system to the metric
// grid CRS of the cells, and grid points back to WGS 84, through PROJ.
//
// Each transform owns its own PROJ context, so it may be used from any one
// thread at a time; PROJ's messages never reach standard error, its reasons
// end up in the errors returned here. Points go through PROJ in one batch
// call per array, and a point that PROJ cannot transform comes out as NaN in
// both coordinates, never as a silently wrong number. Coordinates are always
// in the order x = easting (or longitude), y = northing (or latitude),
// whatever axis order the CRS definitions declare.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "io/result.h"

namespace cellfreq {

class crstransform {
public:
  // `input`: any CRS PROJ accepts (an authority code such as "EPSG:4326", a
  // PROJ string, WKT, PROJJSON, or the exact name of a CRS). `grid`: the
  // metric projected CRS of the cells; empty: the input itself for a
  // projected input, chosen later by choosegrid() for a geographic one.
  // Fails with a whole one-line message naming the option and the CRS,
  // and the usage status, when PROJ does not know the CRS, the input is
  // neither geographic nor projected, or the grid is not a projected CRS in
  // metres.
  static result<std::unique_ptr<crstransform>> create(const std::string& input, const std::string& grid);
  ~crstransform();
  crstransform(const crstransform&) = delete;
  crstransform& operator=(const crstransform&) = delete;

  // The input CRS is geographic: x is longitude and y latitude, in degrees.
  bool geographic() const { return geographic_; }
  // The grid CRS is known (given, taken from the input, or chosen).
  bool hasgrid() const;
  // Chooses the WGS 84 UTM zone (EPSG:326zz north of the equator, 327zz
  // south) of the position (lon, lat), with the zones of south-west Norway
  // and Svalbard widened as usual. Keeps a grid that is already known.
  // Fails with a whole one-line message if (lon, lat) is not a
  // longitude/latitude, or lies beyond the zones (south of 80° S or north
  // of 84° N, where the grid must be given: then with the usage status).
  result<void> choosegrid(double lon, double lat);
  // The grid CRS as given ("--grid-crs" or "--crs" text) or chosen
  // ("EPSG:32632"); empty while there is none.
  const std::string& gridname() const { return gridname_; }

  // Input -> grid metres, in place, n points in one batch. A point that
  // fails or gives a non-finite result becomes NaN in both coordinates;
  // without a grid every point does.
  void forward(double* x, double* y, std::size_t n) const;
  // Grid metres -> WGS 84 longitude (x) and latitude (y), in place; the
  // same failure rule.
  void togeographic(double* x, double* y, std::size_t n) const;

private:
  struct proj;
  explicit crstransform(std::unique_ptr<proj> p);
  result<void> setgrid(std::string name);

  std::unique_ptr<proj> p_;
  bool geographic_ = false;
  std::string gridname_;
};

}  // namespace cellfreq

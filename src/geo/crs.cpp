// The PROJ side of crstransform: reading the CRS definitions, checking what
// kind of CRS each is, and the two batch transforms.
#include "geo/crs.h"

#include <proj.h>

#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace cellfreq {
namespace {

struct pjfree {
  void operator()(PJ* p) const { proj_destroy(p); }
};
struct ctxfree {
  void operator()(PJ_CONTEXT* c) const { proj_context_destroy(c); }
};
using pjptr = std::unique_ptr<PJ, pjfree>;

// A CRS that cannot serve, as given by the options: the whole message and
// the usage status.
failure refused(std::string message) { return {std::move(message), 0, {}, status_usage, true}; }

// PROJ's last error message, kept in a fixed buffer so that a batch of
// failing points costs no allocation.
using logline = std::array<char, 256>;

void keep(void* data, int, const char* message) {
  auto& line = *static_cast<logline*>(data);
  std::strncpy(line.data(), message, line.size() - 1);
  line.back() = '\0';
}

enum class crskind { geographic, projected, other };

// The number as the shortest text that reads back as it.
std::string numtext(double v) {
  char buf[32];
  return {buf, std::to_chars(buf, buf + sizeof buf, v).ptr};
}

// A definition that is only a name, looked up by PROJ in its database:
// no authority code, PROJ string, WKT or PROJJSON.
bool plainname(const std::string& text) { return text.find_first_of(":+=[{") == std::string::npos; }

bool samename(const char* a, const std::string& b) {
  if (std::strlen(a) != b.size()) return false;
  for (std::size_t i = 0; i < b.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

// The latitudes the UTM zones span; beyond them a polar grid is needed.
constexpr double utm_south = -80, utm_north = 84;

// The UTM zone of (lon, lat), 1 … 60: six-degree bands from 180° W, with
// zone 32 widened over south-west Norway and zones 31, 33, 35, 37 covering
// Svalbard.
int utmzone(double lon, double lat) {
  if (lat >= 56 && lat < 64 && lon >= 3 && lon < 12) return 32;
  if (lat >= 72 && lat <= 84 && lon >= 0 && lon < 42) return lon < 9 ? 31 : lon < 21 ? 33 : lon < 33 ? 35 : 37;
  const int zone = static_cast<int>(std::floor((lon + 180) / 6)) + 1;
  return zone > 60 ? 60 : zone;
}

}  // namespace

struct crstransform::proj {
  std::unique_ptr<PJ_CONTEXT, ctxfree> ctx{proj_context_create()};
  logline said{};
  pjptr input, grid, fwd, back;

  proj() {
    // Errors come to `said` and nowhere else; PROJ prints nothing.
    proj_log_func(ctx.get(), &said, keep);
    proj_log_level(ctx.get(), PJ_LOG_ERROR);
  }

  // Why PROJ refused the last request, without its function-name prefix.
  std::string reason() const {
    std::string r = said.data();
    if (r.rfind("proj_", 0) == 0 && r.find(": ") != std::string::npos) r.erase(0, r.find(": ") + 2);
    if (r.empty()) {
      const char* e = proj_context_errno_string(ctx.get(), proj_context_errno(ctx.get()));
      r = e != nullptr ? e : "not recognised";
    }
    return r;
  }

  // The CRS defined by `text`, or a failure naming it and `option`.
  // A PROJ string without "+type=crs" is read as the CRS it describes, and
  // a name must be a CRS's exact name, not just the nearest one PROJ finds.
  result<pjptr> crs(const std::string& text, const char* option) {
    said[0] = '\0';
    pjptr p(proj_create(ctx.get(), text.c_str()));
    if (p != nullptr && !proj_is_crs(p.get()) && text.find("+proj=") != std::string::npos &&
        text.find("type=crs") == std::string::npos)
      p.reset(proj_create(ctx.get(), (text + " +type=crs").c_str()));
    const std::string head = "unknown CRS '" + text + "' for " + option + ": ";
    if (p == nullptr) return refused(head + reason());
    if (!proj_is_crs(p.get())) return refused(head + "PROJ reads it as a coordinate operation, not a CRS");
    if (plainname(text) && !samename(proj_get_name(p.get()), text))
      return refused(head + "no CRS has that name (the nearest is '" + proj_get_name(p.get()) + "')");
    return p;
  }

  // What `crs` is, seen through a bound CRS's base and a compound CRS's
  // horizontal part; `metric` tells whether a projected CRS's axes are in
  // metres.
  crskind kind(const PJ* crs, bool& metric) const {
    PJ_CONTEXT* c = ctx.get();
    pjptr h(proj_clone(c, crs));
    for (int depth = 0; h != nullptr && depth < 4; ++depth) {
      const PJ_TYPE t = proj_get_type(h.get());
      if (t == PJ_TYPE_BOUND_CRS) h.reset(proj_get_source_crs(c, h.get()));
      else if (t == PJ_TYPE_COMPOUND_CRS) h.reset(proj_crs_get_sub_crs(c, h.get(), 0));
      else break;
    }
    metric = false;
    if (h == nullptr) return crskind::other;
    const PJ_TYPE t = proj_get_type(h.get());
    if (t == PJ_TYPE_GEOGRAPHIC_2D_CRS || t == PJ_TYPE_GEOGRAPHIC_3D_CRS) return crskind::geographic;
    if (t != PJ_TYPE_PROJECTED_CRS) return crskind::other;
    const pjptr cs(proj_crs_get_coordinate_system(c, h.get()));
    const int axes = cs != nullptr ? proj_cs_get_axis_count(c, cs.get()) : 0;
    metric = axes >= 2;
    for (int i = 0; i < axes; ++i) {
      double factor = 0;
      if (proj_cs_get_axis_info(c, cs.get(), i, nullptr, nullptr, nullptr, &factor, nullptr, nullptr, nullptr) == 0 ||
          factor != 1.0)
        metric = false;
    }
    return crskind::projected;
  }

  // The transform from `from` to `to` with x east and y north on both
  // sides, or null (and `said` tells why).
  pjptr transform(const PJ* from, const PJ* to) {
    said[0] = '\0';
    const pjptr t(proj_create_crs_to_crs_from_pj(ctx.get(), from, to, nullptr, nullptr));
    return pjptr(t != nullptr ? proj_normalize_for_visualization(ctx.get(), t.get()) : nullptr);
  }
};

namespace {

// Transforms n points in place by `t` in one call; failed or non-finite
// points, and all of them when there is no transform, become NaN.
void batch(PJ* t, double* x, double* y, std::size_t n) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  if (t != nullptr)
    proj_trans_generic(t, PJ_FWD, x, sizeof(double), n, y, sizeof(double), n, nullptr, 0, 0, nullptr, 0, 0);
  for (std::size_t i = 0; i < n; ++i)
    if (t == nullptr || !std::isfinite(x[i]) || !std::isfinite(y[i])) x[i] = y[i] = nan;
}

}  // namespace

crstransform::crstransform(std::unique_ptr<proj> p) : p_(std::move(p)) {}
crstransform::~crstransform() = default;

result<std::unique_ptr<crstransform>> crstransform::create(const std::string& input, const std::string& grid) {
  auto p = std::make_unique<proj>();
  if (p->ctx == nullptr) return refused("cannot start PROJ");
  result<pjptr> in = p->crs(input, "--crs");
  if (!in) return std::move(in.error());
  p->input = std::move(in.value());
  bool metric = false;
  const crskind k = p->kind(p->input.get(), metric);
  if (k == crskind::other) return refused("--crs '" + input + "' is neither a geographic nor a projected CRS");
  std::unique_ptr<crstransform> t(new crstransform(std::move(p)));
  t->geographic_ = k == crskind::geographic;
  proj& q = *t->p_;
  if (!grid.empty()) {
    result<pjptr> g = q.crs(grid, "--grid-crs");
    if (!g) return std::move(g.error());
    q.grid = std::move(g.value());
    if (q.kind(q.grid.get(), metric) != crskind::projected || !metric)
      return refused("--grid-crs '" + grid + "' is not a projected CRS in metres");
  } else if (k == crskind::projected) {
    if (!metric) return refused("--crs '" + input + "' is not in metres; give a metric projected --grid-crs for the cells");
    q.grid.reset(proj_clone(q.ctx.get(), q.input.get()));
  } else {
    return t;
  }
  if (result<void> set = t->setgrid(grid.empty() ? input : grid); !set) return std::move(set.error());
  return t;
}

// Builds both transforms for the grid CRS in p_->grid, named `name`.
result<void> crstransform::setgrid(std::string name) {
  proj& q = *p_;
  const pjptr wgs84(q.grid != nullptr ? proj_create(q.ctx.get(), "EPSG:4326") : nullptr);
  if (wgs84 != nullptr) q.fwd = q.transform(q.input.get(), q.grid.get());
  if (q.fwd != nullptr) q.back = q.transform(q.grid.get(), wgs84.get());
  if (q.back == nullptr) {
    failure why = refused("cannot transform between --crs and the grid CRS '" + name + "': " + q.reason());
    q.fwd.reset();
    q.grid.reset();
    return why;
  }
  gridname_ = std::move(name);
  return {};
}

bool crstransform::hasgrid() const { return p_->fwd != nullptr; }

result<void> crstransform::choosegrid(double lon, double lat) {
  if (hasgrid()) return {};
  const std::string where = "cannot choose a UTM zone for the grid: (" + numtext(lon) + ", " + numtext(lat) + ") ";
  if (!(std::fabs(lon) <= 180 && std::fabs(lat) <= 90)) {
    failure why = refused(where + "is not a longitude/latitude in degrees");
    why.status = status_failed;  // the data's fault, not the options'
    return why;
  }
  if (!(lat >= utm_south && lat <= utm_north))
    return refused(where + "lies beyond the zones' latitudes -80 to 84; give the grid's CRS with --grid-crs");
  const int zone = utmzone(lon, lat);
  const std::string name = (lat < 0 ? "EPSG:327" : "EPSG:326") + std::string(zone < 10 ? "0" : "") + std::to_string(zone);
  p_->grid.reset(proj_create(p_->ctx.get(), name.c_str()));
  result<void> set = setgrid(name);
  if (!set) set.error().status = status_failed;  // a zone chosen from the data, not given
  return set;
}

void crstransform::forward(double* x, double* y, std::size_t n) const { batch(p_->fwd.get(), x, y, n); }

void crstransform::togeographic(double* x, double* y, std::size_t n) const { batch(p_->back.get(), x, y, n); }

}  // namespace cellfreq

// The PROJ objects behind projection: one context, one transformation with
// its axes in longitude, latitude order.
#include "projection.h"

namespace tracegen {

projection::projection() : ctx_(proj_context_create()) {
  PJ* p = proj_create_crs_to_crs(ctx_, "EPSG:32632", "EPSG:4326", nullptr);
  if (p == nullptr) return;
  pj_ = proj_normalize_for_visualization(ctx_, p);
  proj_destroy(p);
}

projection::~projection() {
  proj_destroy(pj_);
  proj_context_destroy(ctx_);
}

std::string projection::error() const {
  const char* why = proj_context_errno_string(ctx_, proj_context_errno(ctx_));
  return why != nullptr ? why : "unknown PROJ error";
}

bool projection::to_degrees(double* x, double* y, std::size_t n) {
  proj_errno_reset(pj_);
  const std::size_t done =
      proj_trans_generic(pj_, PJ_FWD, x, sizeof(double), n, y, sizeof(double), n, nullptr, 0, 0, nullptr, 0, 0);
  return done == n && proj_errno(pj_) == 0;
}

}  // namespace tracegen

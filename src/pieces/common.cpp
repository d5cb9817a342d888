// What the steps of a run in pieces share (see steps.h): the work folder's
// names, the run's fingerprint and the reading of parts and of the plan.
#include <filesystem>

#include "pieces/steps.h"

namespace cellfreq {

namespace fs = std::filesystem;

std::string part_name(const std::string& work, std::int64_t start) {
  return (fs::path(work) / ("part-" + std::to_string(start) + ".bin")).string();
}
std::string plan_name(const std::string& work) { return (fs::path(work) / "plan.bin").string(); }
std::string merge_name(const std::string& work, std::int64_t first, const char* ext) {
  return (fs::path(work) / ("merge-" + std::to_string(first) + ext)).string();
}
std::string places_name(const std::string& work) { return (fs::path(work) / "places.bin").string(); }
std::string placed_name(const std::string& work, std::int64_t first) {
  return (fs::path(work) / ("placed-" + std::to_string(first) + ".bin")).string();
}

bool fingerprint_of(const commandline& cl, std::FILE* f, fingerprint& fp, runfailure& fail) {
  traceidentity id;
  int errnum = 0;
  if (!identifytrace(f, id, errnum)) {
    fail = {cannotread(cl.cfg), errnum};
    return false;
  }
  fp = runfingerprint(cl, id);
  return true;
}

bool fingerprint_now(const commandline& cl, fingerprint& fp, runfailure& fail) {
  std::FILE* f = settle(opentrace(cl.cfg), fail);
  if (f == nullptr) return false;
  const bool ok = fingerprint_of(cl, f, fp, fail);
  std::fclose(f);
  return ok;
}

std::int32_t object_limit(const commandline& cl, const runconfig& cfg) {
  return cl.input.csv ? max_objects : cfg.nobjects;
}

bool read_part(const commandline& cl, const fingerprint& fp, const std::string& path, partinfo& p, runfailure& fail) {
  piecein in;
  if (loadpart(in, path, fp, object_limit(cl, cl.cfg), true, p)) return true;
  fail = in.failure();
  return false;
}

bool start_from_plan(const commandline& cl, commandinput& input, runconfig& cfg, fingerprint& fp, plan& p,
                     runfailure& fail) {
  if (!fingerprint_now(cl, fp, fail)) return false;
  piecein in;
  if (!loadplan(in, plan_name(cl.piece.work), fp, cfg.groupsize, p)) {
    fail = in.failure();
    return false;
  }
  if (!settle(input.preparecrs(p.gridcrs), fail)) return false;
  cfg.nobjects = p.nobjects;
  cfg.nusers = p.nusers;
  return true;
}

}  // namespace cellfreq

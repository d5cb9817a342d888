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

result<fingerprint> fingerprint_of(const commandline& cl, std::FILE* f) {
  result<traceidentity> id = identifytrace(f);
  if (!id) return failure{cannotread(cl.cfg), id.error().errnum};
  return runfingerprint(cl, id.value());
}

result<fingerprint> fingerprint_now(const commandline& cl) {
  result<std::FILE*> f = opentrace(cl.cfg);
  if (!f) return std::move(f.error());
  result<fingerprint> fp = fingerprint_of(cl, f.value());
  std::fclose(f.value());
  return fp;
}

std::int32_t object_limit(const commandline& cl, const runconfig& cfg) {
  return cl.input.csv ? max_objects : cfg.nobjects;
}

result<void> read_part(const commandline& cl, const fingerprint& fp, const std::string& path, partinfo& p) {
  piecein in;
  return loadpart(in, path, fp, object_limit(cl, cl.cfg), true, p);
}

result<void> start_from_plan(const commandline& cl, commandinput& input, runconfig& cfg, fingerprint& fp, plan& p) {
  result<fingerprint> now = fingerprint_now(cl);
  if (!now) return std::move(now.error());
  fp = std::move(now.value());
  piecein in;
  if (result<void> loaded = loadplan(in, plan_name(cl.piece.work), fp, cfg.groupsize, p); !loaded) return loaded;
  if (result<void> prepared = input.preparecrs(p.gridcrs); !prepared) return prepared;
  cfg.nobjects = p.nobjects;
  cfg.nusers = p.nusers;
  return {};
}

int piece_status(const result<void>& done, std::FILE* err) {
  return done ? status_ok : reportfailure(done.error(), err, "cellfreq");
}

}  // namespace cellfreq

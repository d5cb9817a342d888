// consumer: prints what `cellfreq --format csv TRACE` prints, through the
// installed C++ API, once from the trace file and once from the same
// records held as columns in memory (the second copy after a line "--").
//
//   consumer TRACE
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cellfreq/cellfreq.h"

namespace {

// The rows of `r` as the command's CSV report.
void print(const cellfreq::results& r) {
  std::printf("user,x,y,position\n");
  for (std::size_t i = 0; i < r.frequent.user.size(); ++i)
    std::printf("%d,%d,%d,%lld\n", r.frequent.user[i], r.frequent.x[i], r.frequent.y[i],
                static_cast<long long>(r.frequent.position[i]));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: consumer TRACE\n");
    return 2;
  }
  try {
    const cellfreq::settings settings;
    print(cellfreq::run(cellfreq::trace_file{argv[1]}, settings));

    // The same trace's well-formed lines as columns: id in field 2, x and y
    // in fields 6 and 7.
    std::vector<std::int64_t> ids;
    std::vector<float> x, y;
    std::ifstream in(argv[1]);
    for (std::string line; std::getline(in, line);) {
      std::istringstream fields(line);
      std::string label, skip;
      std::int64_t id = 0;
      float fx = 0, fy = 0;
      if (fields >> label >> id >> skip >> skip >> skip >> fx >> fy) {
        ids.push_back(id);
        x.push_back(fx);
        y.push_back(fy);
      }
    }
    const cellfreq::columns rows{std::span<const std::int64_t>(ids), std::span<const float>(x),
                                 std::span<const float>(y), {}};
    std::printf("--\n");
    print(cellfreq::run(rows, settings));
  } catch (const cellfreq::error& e) {
    std::fprintf(stderr, "consumer: %s\n", e.what());
    return e.kind() == cellfreq::error_kind::usage ? 2 : 1;
  }
  return 0;
}

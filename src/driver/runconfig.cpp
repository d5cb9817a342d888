// The three fixed programs' configurations. The paths are used exactly as
// written; without drive letters they are relative paths.
#include "driver/runconfig.h"

#include "cellfreq/fixed.h"

namespace cellfreq {

namespace {
constexpr const char* fixed_trace = "C:/oldenburg(1000).txt";
}

runconfig config400() { return {fixed_trace, "C:/new400.txt", 400.0f, 100, 3, 1000}; }
runconfig config100() { return {fixed_trace, "C:/new1.txt", 100.0f, 100, 3, 1000}; }
runconfig config300() { return {fixed_trace, "C:/new300.txt", 300.0f, 10, 4, 1000}; }

int run_fixed(fixed_program which) {
  switch (which) {
    case fixed_program::cellfreq100: return runfixed(config100(), "cellfreq100");
    case fixed_program::cellfreq300: return runfixed(config300(), "cellfreq300");
    case fixed_program::cellfreq400: break;
  }
  return runfixed(config400(), "cellfreq400");
}

}  // namespace cellfreq

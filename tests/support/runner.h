// Helpers for tests that run the real programs in scratch folders.
#pragma once

#include <filesystem>
#include <string>

namespace testsupport {

// A scratch folder that holds a "C:" folder, as the fixed programs expect;
// removed with everything in it when the object goes.
class scratch {
public:
  scratch();
  ~scratch();
  scratch(const scratch&) = delete;
  scratch& operator=(const scratch&) = delete;
  const std::filesystem::path& dir() const { return dir_; }
  std::filesystem::path drive() const { return dir_ / "C:"; }
  void put_trace(const std::string& bytes) const;  // C:/oldenburg(1000).txt

private:
  std::filesystem::path dir_;
};

struct outcome {
  int status = -1;
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs `exe` with `args` in `dir`, standard input empty, capturing both
// output streams; `stdout_to` replaces the capture of standard output with a
// redirection to that path when given.
outcome runin(const std::filesystem::path& dir, const std::string& exe, const std::string& args = "",
              const std::string& stdout_to = "");

std::string readfile(const std::filesystem::path& p);
void writefile(const std::filesystem::path& p, const std::string& bytes);

// The path of a program built by this project (from the build's definitions).
std::string program(const std::string& name);

}  // namespace testsupport

// Helpers for tests that run the real programs in scratch folders, and the
// small text builders that several test files share.
#pragma once

#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>

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

// Runs `exe` with `args` in `dir`, standard input empty, capturing both output
// streams; `stdout_to`, when given, redirects standard output there instead.
outcome runin(const std::filesystem::path& dir, const std::string& exe, const std::string& args = "",
              const std::string& stdout_to = "");

std::string readfile(const std::filesystem::path& p);
void writefile(const std::filesystem::path& p, const std::string& bytes);
// An anonymous temporary file holding `bytes`, at its start, for the caller to close.
std::FILE* tmpfilewith(const std::string& bytes);

// The path of a program built by this project (from the build's definitions).
std::string program(const std::string& name);

// Whether `tool` is installed, and the standard output of a shell command
// (with its standard error when `command` says 2>&1).
bool have(const std::string& tool);
std::string shell(const std::string& command);

// The command that runs `name` as the user "nobody" when the tests run as
// root, so that permissions are enforced; empty when that is not possible.
std::string unprivileged(const std::string& name);

// `s` `n` times over.
std::string repeat(const std::string& s, std::size_t n);

// The parts joined by appending: chains of operator+ on strings trip a
// false -Wrestrict warning in some compilers.
std::string cat(std::initializer_list<std::string_view> parts);

// Line i of a text, from 0, without its line end.
std::string line(const std::string& text, int i);

// One trace line of object `id` at the centre of 400 m cell (cx, cy).
std::string at400(int id, int cx, int cy);

// Object 10 visits cell (4, 3) at positions 2, 5, 6 and 9 and (1, 1) at 0
// and 4: user 1's frequent cell for the fixed programs' threshold of 3.
std::string user_one_trace();

}  // namespace testsupport

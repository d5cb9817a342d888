// Running the programs for end-to-end tests.
#include "support/runner.h"

#include <sys/wait.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace fs = std::filesystem;

namespace testsupport {

scratch::scratch() {
  static std::atomic<int> serial{0};
  dir_ = fs::temp_directory_path() /
         ("cellfreq-test-" + std::to_string(::getpid()) + "-" + std::to_string(serial++));
  fs::remove_all(dir_);
  fs::create_directories(dir_ / "C:");
}

scratch::~scratch() {
  std::error_code ec;
  fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(dir_, ec);
}

void scratch::put_trace(const std::string& bytes) const { writefile(drive() / "oldenburg(1000).txt", bytes); }

std::string readfile(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + p.string());
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

void writefile(const fs::path& p, const std::string& bytes) {
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + p.string());
}

outcome runin(const fs::path& dir, const std::string& exe, const std::string& args,
              const std::string& stdout_to) {
  const fs::path out = dir / ".stdout", err = dir / ".stderr";
  // Built by appending: chains of operator+ on strings trip a false
  // -Wrestrict warning in some compilers.
  std::string cmd = "cd '";
  cmd.append(dir.string()).append("' && '").append(exe).append("' ").append(args).append(" </dev/null >");
  if (stdout_to.empty()) cmd.append("'").append(out.string()).append("'");
  else cmd.append(stdout_to);
  cmd.append(" 2>'").append(err.string()).append("'");
  const int raw = std::system(cmd.c_str());
  outcome o;
  o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  if (stdout_to.empty()) o.out = readfile(out);
  o.err = readfile(err);
  fs::remove(out);
  fs::remove(err);
  return o;
}

std::string program(const std::string& name) {
  const char* bindir = CELLFREQ_BINARY_DIR;
  for (const char* sub : {"/apps/", "/tools/", "/"}) {
    const fs::path p = fs::path(std::string(bindir) + sub) / name;
    if (fs::exists(p)) return p.string();
  }
  throw std::runtime_error("program not built: " + name);
}

}  // namespace testsupport

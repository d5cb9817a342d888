// Running the programs for end-to-end tests, and the shared text builders.
#include "support/runner.h"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

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
  fs::permissions(dir_ / "C:", fs::perms::owner_all, fs::perm_options::add, ec);
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

std::FILE* tmpfilewith(const std::string& bytes) {
  std::FILE* f = std::tmpfile();
  if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) throw std::runtime_error("tmpfile");
  std::rewind(f);
  return f;
}

outcome runin(const fs::path& dir, const std::string& exe, const std::string& args,
              const std::string& stdout_to) {
  const fs::path out = dir / ".stdout", err = dir / ".stderr";
  std::string cmd = cat({"cd '", dir.string(), "' && '", exe, "' ", args, " </dev/null >"});
  cmd.append(stdout_to.empty() ? cat({"'", out.string(), "'"}) : stdout_to);
  cmd.append(cat({" 2>'", err.string(), "'"}));
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

bool have(const std::string& tool) { return std::system(cat({"command -v ", tool, " >/dev/null 2>&1"}).c_str()) == 0; }

std::string shell(const std::string& command) {
  std::string s;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) s.append(buf, n);
    pclose(p);
  }
  return s;
}

std::string unprivileged(const std::string& name) {
  if (::geteuid() != 0) return program(name);
  if (!fs::exists("/usr/bin/setpriv")) return "";
  // runin() quotes the command as one word: close the quote around setpriv.
  return cat({"/usr/bin/setpriv' --reuid=65534 --regid=65534 --clear-groups '", program(name)});
}

std::string repeat(const std::string& s, std::size_t n) {
  std::string r;
  r.reserve(s.size() * n);
  for (std::size_t i = 0; i < n; ++i) r += s;
  return r;
}

std::string cat(std::initializer_list<std::string_view> parts) {
  std::string s;
  for (const std::string_view p : parts) s.append(p);
  return s;
}

std::string line(const std::string& text, int i) {
  std::size_t pos = 0;
  for (int k = 0; k < i; ++k) pos = text.find('\n', pos) + 1;
  return text.substr(pos, text.find('\n', pos) - pos);
}

std::string at400(int id, int cx, int cy) {
  return cat({"point\t", std::to_string(id), "\t1\t0\t5\t", std::to_string((cx - 1) * 400 + 200), "\t",
              std::to_string((cy - 1) * 400 + 200), "\t1.5\t0\t0\n"});
}

std::string user_one_trace() {
  const int cells[][2] = {{1, 1}, {1, 2}, {4, 3}, {1, 3}, {1, 1}, {4, 3}, {4, 3}, {1, 5}, {1, 6}, {4, 3}, {1, 7}};
  std::string t;
  for (const auto& c : cells) t += at400(10, c[0], c[1]);
  return t;
}

}  // namespace testsupport

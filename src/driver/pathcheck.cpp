// Telling files apart by what they are, not by how they are written: a
// hard link, a symbolic link, "./x" and /dev/stdout redirected to x all
// name x.
#include "driver/pathcheck.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>

#include "driver/runconfig.h"
#include "platform/tempfiles.h"

namespace cellfreq {
namespace {

namespace fs = std::filesystem;

struct identity {
  std::optional<std::pair<dev_t, ino_t>> inode;  // where the file exists
  std::string resolved;                          // its absolute path, links resolved
  bool device = false;                           // a character device (a terminal, the null device)
};

identity identify(const std::string& path, bool input) {
  identity id;
  struct stat st {};
  const int fd = input && path == stdin_path ? 0 : named_descriptor(path);
  if (fd >= 0 ? ::fstat(fd, &st) == 0 : ::stat(path.c_str(), &st) == 0) {
    id.inode.emplace(st.st_dev, st.st_ino);
    id.device = S_ISCHR(st.st_mode);
  }
  if (fd < 0) {
    std::error_code ec;
    const fs::path p = fs::weakly_canonical(fs::absolute(link_target(path), ec), ec);
    id.resolved = ec ? path : p.string();
  }
  return id;
}

bool same(const identity& a, const identity& b) {
  if (a.inode && b.inode) return *a.inode == *b.inode;
  return !a.resolved.empty() && a.resolved == b.resolved;
}

}  // namespace

result<void> distinctpaths(const std::string& trace, const std::vector<namedpath>& outputs) {
  const auto refused = [](std::string message) { return failure{std::move(message), 0, {}, status_usage, true}; };
  const identity input = identify(trace, true);
  std::vector<identity> seen;
  for (const namedpath& o : outputs) {
    seen.push_back(identify(o.path, false));
    const identity& id = seen.back();
    if (id.device) continue;  // nothing written to a device is lost by another write
    if (same(id, input))
      return refused(std::string(o.option) + " " + inquotes(o.path) + " names the trace; an output never replaces its input");
    for (std::size_t i = 0; i + 1 < seen.size(); ++i)
      if (same(id, seen[i]))
        return refused(std::string(outputs[i].option) + " " + inquotes(outputs[i].path) + " and " + o.option + " " +
                       inquotes(o.path) + " name the same file");
  }
  return {};
}

}  // namespace cellfreq

// Outputs written to temporaries and committed together.
#include "driver/outputs.h"

#include <cerrno>

#include "io/textout.h"

namespace cellfreq {

result<void> writeall(std::FILE* f, const std::function<void(textout&)>& write, const std::atomic<bool>* stop) {
  textout out(f);
  out.bypasscache();
  out.stopwhen(stop);
  write(out);
  return out.flush();
}

result<atomic_file*> outputset::add(std::unique_ptr<atomic_file> file, const char* noun, result<void> opened) {
  if (!opened) return failure{cannot("create", noun, file->path()), opened.error().errnum};
  files_.push_back({std::move(file), noun});
  return files_.back().file.get();
}

result<atomic_file*> outputset::open(const std::string& path, placement how, const char* noun, bool readable) {
  auto file = std::make_unique<atomic_file>();
  result<void> opened = file->open(path, how, readable);
  return add(std::move(file), noun, std::move(opened));
}

result<atomic_file*> outputset::openshared(const std::string& path, const char* noun) {
  auto file = std::make_unique<atomic_file>();
  result<void> opened = file->open_shared(path);
  return add(std::move(file), noun, std::move(opened));
}

result<void> outputset::finish(atomic_file& file, const std::function<void(textout&)>& write) {
  result<void> done = writeall(file.file(), write, stop_);
  if (done) done = file.finish();
  if (done) return done;
  for (auto e = files_.begin(); e != files_.end(); ++e) {
    if (e->file.get() != &file) continue;
    failure named{cannot("write", e->noun, file.path()), done.error().errnum};
    files_.erase(e);  // discards it
    return named;
  }
  return done;
}

result<void> outputset::write(const std::string& path, const char* noun, const std::function<void(textout&)>& write) {
  result<atomic_file*> file = open(path, placement::replace, noun, false);
  if (!file) return std::move(file.error());
  return finish(*file.value(), write);
}

result<void> outputset::commit() {
  std::vector<entry> files = std::move(files_);
  files_.clear();
  for (entry& e : files) {
    if (result<void> put = e.file->commit(); !put) return failure{cannot("write", e.noun, e.file->path()), put.error().errnum};
  }
  return {};
}

}  // namespace cellfreq

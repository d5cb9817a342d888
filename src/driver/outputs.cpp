// Outputs written to temporaries and committed together.
#include "driver/outputs.h"

#include <cerrno>

#include "io/textout.h"

namespace cellfreq {

int writeall(std::FILE* f, const std::function<void(textout&)>& write, const std::atomic<bool>* stop) {
  textout out(f);
  out.bypasscache();
  out.stopwhen(stop);
  write(out);
  out.flush();
  return out.error();
}

atomic_file* outputset::open(const std::string& path, placement how, const char* noun, bool readable,
                            runfailure& fail) {
  auto file = std::make_unique<atomic_file>();
  int errnum = 0;
  if (!file->open(path, how, errnum, readable)) {
    fail = {cannot("create", noun, file->path()), errnum};
    return nullptr;
  }
  files_.push_back({std::move(file), noun});
  return files_.back().file.get();
}

atomic_file* outputset::openshared(const std::string& path, const char* noun, runfailure& fail) {
  auto file = std::make_unique<atomic_file>();
  int errnum = 0;
  if (!file->open_shared(path, errnum)) {
    fail = {cannot("create", noun, file->path()), errnum};
    return nullptr;
  }
  files_.push_back({std::move(file), noun});
  return files_.back().file.get();
}

bool outputset::finish(atomic_file& file, const std::function<void(textout&)>& write, runfailure& fail) {
  int errnum = writeall(file.file(), write, stop_);
  if (errnum == 0 && file.finish(errnum)) return true;
  for (auto e = files_.begin(); e != files_.end(); ++e) {
    if (e->file.get() != &file) continue;
    if (fail.what.empty()) fail = {cannot("write", e->noun, file.path()), errnum};
    files_.erase(e);  // discards it
    break;
  }
  return false;
}

bool outputset::write(const std::string& path, const char* noun, const std::function<void(textout&)>& write,
                      runfailure& fail) {
  atomic_file* file = open(path, placement::replace, noun, false, fail);
  return file != nullptr && finish(*file, write, fail);
}

bool outputset::commit(runfailure& fail) {
  std::vector<entry> files = std::move(files_);
  files_.clear();
  for (entry& e : files) {
    int errnum = 0;
    if (!e.file->commit(errnum)) {
      fail = {cannot("write", e.noun, e.file->path()), errnum};
      return false;
    }
  }
  return true;
}

}  // namespace cellfreq

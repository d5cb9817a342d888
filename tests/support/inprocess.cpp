// Runs the command's configuration through the library, in this process.
#include "support/inprocess.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "driver/ingest.h"
#include "driver/options.h"
#include "pieces/parts.h"

namespace testsupport {
namespace {

std::string drain(std::FILE* f) {
  std::rewind(f);
  std::string s;
  for (int c; (c = std::fgetc(f)) != EOF;) s += static_cast<char>(c);
  std::fclose(f);
  return s;
}

}  // namespace

ran cellfreqhere(const std::string& args, const std::filesystem::path& tmp) {
  std::vector<std::string> words;
  std::istringstream in(args);
  for (std::string w; in >> w;) words.push_back(w);
  const std::vector<std::string_view> views(words.begin(), words.end());
  ran r;
  cellfreq::result<cellfreq::commandline> parsed = cellfreq::parseoptions(views);
  if (!parsed) {
    r.status = parsed.error().status;
    r.err = "cellfreq: " + cellfreq::failuretext(parsed.error()) + "\n";
    return r;
  }
  cellfreq::commandline& cl = parsed.value();
  cl.cfg.replacecells = true;
  setenv("TMPDIR", tmp.c_str(), 1);
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  if (cl.piece.what != cellfreq::piececonfig::kind::none) {
    r.status = cellfreq::runpiece(cl, out, err);
  } else {
    cellfreq::commandinput input(cl.input);
    r.status = cellfreq::run(cl.cfg, out, err, "cellfreq", &input);
  }
  r.out = drain(out);
  r.err = drain(err);
  unsetenv("TMPDIR");
  return r;
}

}  // namespace testsupport

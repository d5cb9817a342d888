// The configurable command's trace input: the TAB dialect or CSV, plain or
// gzip-compressed, in grid metres or in any coordinate reference system.
//
// Whatever the input, the run gets the same thing as from the fixed
// programs' reader: one record per visit with its object number and cell,
// so every later pass is shared. CSV rows become records in row order (or
// per object in time order), their text ids object numbers in order of
// first appearance.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "cells/crs.h"
#include "driver/options.h"
#include "driver/runconfig.h"

namespace cellfreq {

class commandinput : public runextras {
public:
  explicit commandinput(const inputconfig& input) : input_(input) {}
  bool read(runconfig& cfg, recordlist& list, std::FILE* err, const char* progname, runfailure& fail) override;
  const std::vector<std::string>* ids() const override { return input_.csv ? &ids_ : nullptr; }
  chunkedlist<double>* times() override { return unordered_ ? &times_ : nullptr; }
  geojsonlayer layer(const runconfig& cfg) const override;

private:
  bool readcsv(runconfig& cfg, textin& in, recordlist& list, std::FILE* err, const char* progname,
               runfailure& fail);
  bool settle(runconfig& cfg, runfailure& fail) const;

  inputconfig input_;
  std::vector<std::string> ids_;
  std::unique_ptr<crstransform> crs_;
  chunkedlist<double> times_;  // one per record, with a time column
  bool unordered_ = false;     // some object's records are not in time order
};

}  // namespace cellfreq

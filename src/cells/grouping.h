// Grouping a trace's records by object into the cell file, within a budget
// of memory.
//
// A trace whose records fit is grouped in memory, as one range of objects.
// A larger one (its records partly in scratch files already, see
// chunkedlist) is first split into parts by object range, each in scratch
// files of its own, and the parts are then grouped one after another, so
// the cell file comes out in object order, byte for byte as from memory. A
// part that turns out too large for memory, because a few objects hold most
// of the records, is split again.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/heatmap.h"
#include "cells/celltable.h"
#include "trace/recordlist.h"

namespace cellfreq {

// The bytes of memory a run may use: `limit`, or when it is 0 a quarter of
// the physical memory or of the cgroup's limit when that is smaller (as in
// a container), at least 256 MiB.
std::int64_t memorybudget(std::int64_t limit);
// The memory limit of the cgroup that `selfcgroup` (the text of
// /proc/self/cgroup) names, or 0 for none: the smallest cgroup v2
// memory.max of it and its ancestors under /sys/fs/cgroup ("max" is none),
// or where there is no such file the cgroup v1 memory controller's
// memory.limit_in_bytes. `readfile` gives a file's text, empty when there
// is none.
std::int64_t cgroupmemory(std::string_view selfcgroup, const std::function<std::string(const std::string&)>& readfile);

// How a run shares its budget out: the records kept in memory while the
// trace is read (`recordbytes` each, with whatever is kept beside them),
// the memory for grouping one part, and for the cell table of one range
// of users. Together with the buffers they stay within the budget.
std::size_t readinglimit(std::int64_t budget, std::size_t recordbytes);
std::int64_t groupingshare(std::int64_t budget);
std::int64_t tableshare(std::int64_t budget);

// What grouping hands on to the passes after it.
struct grouped {
  std::vector<std::int64_t> codecount;  // tokens written per user
  cellbox box;                          // what reading the file back needs
  cellvisits visits;                    // visits per cell, when asked for
};

// Writes the cell file's lines for objects from … to-1 (writecellrange()),
// from `list` and, when `times` is given (one per record), with each
// object's records in the order of their times, stably; adds their counts
// to into.codecount (sized for every user) and their cells to into.box, and
// counts the visits per cell when `countvisits`. Both lists are emptied.
// Fails when a scratch file did (`out` is then abandoned); a failed write
// to `out` stays with `out`, as its flush() tells.
result<void> groupcells(recordlist& list, chunkedlist<double>* times, std::int32_t from, std::int32_t to,
                        const cellform& form, std::int64_t budget, bool countvisits, textout& out, grouped& into);

// Puts each object's records in the order of their `times` (one per record
// of `list`), keeping the trace order of equal times; a list already in that
// order is left as it is.
void ordertimes(recordlist& list, const std::vector<double>& times);

}  // namespace cellfreq

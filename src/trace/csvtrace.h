// csvtrace: reads a trace written as CSV with a header row into batches of
// good rows.
//
// Fields are separated by a one-byte delimiter and may be quoted with '"'
// (a doubled quote stands for one; delimiters and line breaks inside quotes
// belong to the field); rows end in LF or CRLF, the last one perhaps in
// nothing; a UTF-8 byte-order mark before the header is skipped. The id, x,
// y and optional time columns are chosen by header name or 1-based number.
// A row that cannot be used is skipped, counted and, among the first ten,
// named on the error stream as `FILE:LINE: reason`; in strict mode the first
// one ends the reading. A row is at most longest_line bytes long: a longer
// one (an unterminated quote, say) is a bad row, and reading goes on after
// its next line feed, so memory holds at most one such row whatever the
// input. The reader hands each good row's id on as text; the caller numbers
// the ids (csvbatch::number()) once it knows which rows it keeps.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "io/result.h"
#include "trace/idtable.h"
#include "trace/isotime.h"
#include "io/textin.h"

namespace cellfreq {

struct csvoptions {
  char delimiter = ',';
  std::string idcolumn = "id";
  std::string xcolumn = "x";
  std::string ycolumn = "y";
  std::string timecolumn{};  // empty: no time column
  bool strict = false;
  // x and y are a longitude and a latitude: outside -180...180 or
  // -90...90 a row is bad.
  bool degrees = false;
  // The longest row held; a longer one is a bad row.
  std::size_t longest = longest_line;
};

// Rows held in memory as parallel columns, read by a csvreader instead of
// text (csvreader::fromcolumns()). Either `textids` (numbered by first
// appearance, as a CSV trace's ids are) or `numberids` (the object numbers
// themselves, saturated to 32 bits, as the TAB dialect reads them) holds
// one id per row; x and y are double or float columns (one of each pair
// set); `time`, when set, one time per row in seconds. With `single`, the
// coordinates are held in single precision, as the TAB dialect holds them
// (the reader's caller then also ends the records as that dialect does).
struct csvcolumns {
  std::size_t rows = 0;
  const std::string_view* textids = nullptr;
  const std::int64_t* numberids = nullptr;
  const double* xd = nullptr;
  const double* yd = nullptr;
  const float* xf = nullptr;
  const float* yf = nullptr;
  const double* time = nullptr;
  bool single = false;
};

// A bad row as named: its line and the reason.
struct badrow {
  std::int64_t line = 0;
  std::string reason;
};

// The reader's messages on `err`, each written whole in one call: a named
// bad row of the trace `name` ("NAME:LINE: REASON"), and the count of the
// bad rows skipped ("NAME: N bad rows skipped"). Whoever reports what a
// reader met (a run in pieces, from its parts) prints them through these.
void print_bad_row(std::FILE* err, const std::string& name, const badrow& row);
void print_bad_count(std::FILE* err, const std::string& name, std::int64_t bad);

// Good rows in input order; the vectors are parallel. `time` is filled only
// with a time column. A reader that defers its bad rows puts the ones met
// while filling the batch here, the first named_max of them in full and the
// rest as a count.
struct csvbatch {
  std::vector<std::int32_t> object;  // filled by number()
  std::vector<double> x, y, time;
  std::vector<std::int64_t> line;    // the line each row starts on
  std::string idtext;                // the rows' ids end to end
  std::vector<std::size_t> idend;    // where each row's id ends in idtext
  std::vector<badrow> bad;
  std::int64_t morebad = 0;
  std::int64_t idbytes = 0;          // what the id table held after number()
  bool numbered = false;             // `object` came with the rows: they are not numbered
  void clear();
  std::size_t size() const { return line.size(); }
  std::string_view id(std::size_t i) const {
    const std::size_t start = i == 0 ? 0 : idend[i - 1];
    return std::string_view(idtext).substr(start, idend[i] - start);
  }
  // Numbers the ids of the rows whose position is a number in `ids`; a row
  // whose position a transform rejected (NaN) numbers none and gets -1, as
  // does every row once `ids` is full. A `numbered` batch keeps its objects.
  void number(idtable& ids);
};

class csvreader {
public:
  // `name` is how messages name the input (a path, or "standard input");
  // `err` receives the messages.
  csvreader(textin& in, csvoptions opts, std::string name, std::FILE* err);

  // Reads the header and resolves the columns; fails when the input is
  // empty or unreadable (errnum: the read error), the header is malformed
  // or a column is missing, with the whole message in one line, no program
  // name.
  result<void> open();
  // Reads the rows of `columns` (which must outlive the reader) instead of
  // the text, with no header; line numbers are the rows', from 1. A row is
  // bad when an id is empty or a coordinate or time is not finite, and as
  // a text row is when x and y are degrees out of range.
  void fromcolumns(const csvcolumns& columns);
  // Appends up to `max` good rows to `batch`; false once the input is
  // exhausted and nothing was appended, or after a strict failure (rows
  // appended before it stay in the batch). A last row cut short by a read
  // error is dropped: the caller reports the error.
  bool next(csvbatch& batch, std::size_t max);
  // Counts (and names, within the first ten) a row rejected later by the
  // caller, e.g. a position outside a projection's area; in strict mode
  // this makes the reader fail.
  void reject(std::int64_t line, std::string_view reason);

  // For reading on a thread of its own, ahead of the one that rejects rows
  // (not in strict mode): next() then only lists its bad rows in the
  // batch, and tally() counts and names them, in the order a single
  // thread would have, before the batch's rejects.
  void defer() { defer_ = true; }
  void tally(const csvbatch& batch);

  std::int64_t rows() const { return rows_; }  // data rows seen (good + bad)
  std::int64_t badrows() const { return bad_; }
  bool failed() const { return failed_; }  // strict mode met a bad row
  // Prints the bad-row total, if any (not after a strict failure, whose row
  // was named already).
  void finish();

  // For reading a part of a trace that starts at a line start after the
  // header: takes the columns that `header` (opened on the trace's start)
  // resolved, and counts lines from 1 at the part's start. With `named`,
  // the bad rows that would be named are kept there instead, and finish()
  // prints nothing: the parts' rows are named once they are put together.
  void continuefrom(const csvreader& header, std::vector<badrow>* named);
  // Whether the last row read ended with a line feed (or none was read):
  // then the input ended at a row's start.
  bool endedclean() const { return lastended_; }
  std::int64_t lines() const { return line_ - 1; }  // line feeds read

  // The most bad rows named one by one.
  static constexpr std::int64_t named_max = 10;

private:
  // Where a field lies in the current row, as offsets from the row start.
  struct fieldref {
    std::size_t start, end;
    bool quoted;
  };
  // The progress of the scan of one row, which may resume after a refill.
  struct rowscan {
    std::size_t pos = 0;              // bytes scanned
    std::size_t fieldstart = 0;       // start of the current field
    std::size_t closed = SIZE_MAX;    // the quote that last closed it, if quoted
    std::size_t nfields = 0;          // fields ended so far
    std::size_t badfield = SIZE_MAX;  // first field with text after its closing quote
    std::size_t end = 0;              // end of the row without its line end
    std::int64_t innerlf = 0;         // line feeds inside quotes
    bool quoted = false;              // inside quotes now
    bool isquoted = false;            // the current field began with a quote
    bool ended = false;               // a line feed ended the row
    bool toolong = false;             // cut at the longest row, skipped to its line end
  };
  // One row in memory: [data, data + size) without its line end; the
  // bytes up to `limit` may be read.
  struct row {
    const char* data;
    std::size_t size;
    const char* limit;
  };
  enum { role_id, role_x, role_y, role_time, nroles };

  bool readrow(row& r);
  bool skiprest(row& r);
  bool nextrow(row& r);
  bool scan(const char* p, std::size_t n, bool final);
  std::string_view field(const row& r, std::size_t i, std::string& scratch) const;
  bool take(const row& r, csvbatch& batch);
  bool takecolumns(csvbatch& batch, std::size_t max);
  // Whether x and y must be degrees and are not a position.
  bool outside(double x, double y) const { return opts_.degrees && !(std::fabs(x) <= 180 && std::fabs(y) <= 90); }
  bool baddegrees(double x, std::string_view xtext, std::string_view ytext);
  result<void> resolve(int role, const std::vector<std::string>& names);
  bool bad(std::int64_t line, std::string_view reason);
  void count(std::int64_t line, std::string_view reason);

  textin& in_;
  csvoptions opts_;
  std::string name_;
  std::FILE* err_;
  std::size_t col_[nroles] = {};  // 0-based column of each role
  int roles_ = role_time;         // roles in use: the time column is optional
  std::size_t keep_ = SIZE_MAX;   // fields recorded per row
  std::vector<fieldref> fields_;  // the first st_.nfields (at most keep_) are the row's
  rowscan st_;
  std::string pending_;           // a row that crosses the end of the buffered bytes
  std::string scratch_[nroles];   // unquoted text of quoted fields
  datecache dates_;
  std::int64_t line_ = 1;         // the line the next row starts on
  std::int64_t rowline_ = 0;      // the line the current row started on
  std::int64_t rows_ = 0;
  std::int64_t bad_ = 0;
  bool failed_ = false;
  bool opened_ = false;
  bool done_ = false;             // the input is exhausted
  bool lastended_ = true;         // the last row read ended with a line feed
  std::vector<badrow>* named_ = nullptr;
  bool defer_ = false;
  csvbatch* into_ = nullptr;      // the batch next() fills
  const csvcolumns* columns_ = nullptr;  // the rows, when they are not text
  std::size_t at_ = 0;                   // the next of columns_' rows
};

}  // namespace cellfreq

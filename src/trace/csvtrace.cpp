// The CSV trace reader.
//
// A row is found by one scan that looks only at the bytes that can matter
// (the delimiter, quotes and line feeds), sixteen at a time, and records
// where its fields lie. The scan runs on the reader's buffered bytes in
// place, with a few kilobytes always buffered ahead; a row that goes on
// past them (a very long one) is gathered in a growing buffer, the scan
// resuming where it stopped, up to the longest row held. Unquoted fields are
// used where they lie; quoted ones are unescaped into per-column buffers
// that keep their capacity, so a row costs no allocation.
#include "trace/csvtrace.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>
#include <utility>

#include "trace/isotime.h"
#include "trace/simd.h"

namespace cellfreq {
namespace {

// Bytes buffered ahead of a row, so that nearly every row is scanned in place.
constexpr std::size_t readahead = 4096;
// The most header names listed in a message.
constexpr std::size_t names_listed = 20;
// The most bytes of a field shown in a message.
constexpr std::size_t shown_max = 40;

constexpr const char* rolename[] = {"id", "x", "y", "time"};
constexpr const char* optionname[] = {"--id-column", "--x-column", "--y-column", "--time-column"};

// Bit i is set when byte i of the 16 at p is the delimiter, a quote or a
// line feed.
inline unsigned specials(const char* p, char delim) {
#if defined(CELLFREQ_SSE2)
  const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i quote = _mm_cmpeq_epi8(c, _mm_set1_epi8('"'));
  const __m128i lf = _mm_cmpeq_epi8(c, _mm_set1_epi8('\n'));
  const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(c, _mm_set1_epi8(delim)), quote), lf);
  return static_cast<unsigned>(_mm_movemask_epi8(hit));
#else
  unsigned m = 0;
  for (int i = 0; i < 16; ++i) m |= static_cast<unsigned>(p[i] == delim || p[i] == '"' || p[i] == '\n') << i;
  return m;
#endif
}

bool isblank_c(char c) { return c == ' ' || c == '\t'; }

inline std::string_view trim(std::string_view s) {
  if (s.empty() || (!isblank_c(s.front()) && !isblank_c(s.back()))) return s;
  while (!s.empty() && isblank_c(s.front())) s.remove_prefix(1);
  while (!s.empty() && isblank_c(s.back())) s.remove_suffix(1);
  return s;
}

enum class numberstatus { ok, invalid, range };

inline unsigned digitof(char c) { return static_cast<unsigned>(static_cast<unsigned char>(c)) - '0'; }

// Appends the run of decimal digits at p, ending by `e`, to m (which wraps
// past 19 digits; callers count them) and returns its end. Where eight bytes
// can be read (up to `limit`), they are taken in one word: each byte less
// '0' is a digit value exactly up to the first byte that is none (a borrow
// only runs upward), which the mask finds, and the digits are combined in
// pairs, quads and eights.
inline const char* digitrun(const char* p, const char* e, const char* limit, std::uint64_t& m) {
  static constexpr std::uint64_t pow10[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};
  if constexpr (std::endian::native == std::endian::little) {
    while (limit - p >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      w -= 0x3030303030303030u;
      const std::uint64_t odd = (w | (w + 0x7676767676767676u)) & 0x8080808080808080u;
      auto n = static_cast<std::size_t>(odd == 0 ? 8 : std::countr_zero(odd) / 8);
      if (n > static_cast<std::size_t>(e - p)) n = static_cast<std::size_t>(e - p);
      if (n == 0) return p;
      w <<= 8 * (8 - n);  // the digits end at the top; zeros lead
      w = (w * 10 + (w >> 8)) & 0x00FF00FF00FF00FFu;
      w = (w * 100 + (w >> 16)) & 0x0000FFFF0000FFFFu;
      w = (w * 10000 + (w >> 32)) & 0xFFFFFFFFu;
      m = m * pow10[n] + w;
      p += n;
      if (n < 8) return p;
    }
  }
  for (; p != e && digitof(*p) <= 9; ++p) m = m * 10 + digitof(*p);
  return p;
}

// The decimal exponent of the first significant digit of the mantissa
// [p, e) (digits with at most one point), given the explicit exponent.
int leadexponent(const char* p, const char* e, int exp10) {
  int lead = -1;  // where the first significant digit lies after the point
  bool fraction = false;
  for (; p != e; ++p) {
    if (*p == '.') {
      fraction = true;
      continue;
    }
    if (*p != '0') break;
    if (fraction) --lead;
  }
  int intdigits = 0;
  for (; p != e && *p != '.'; ++p) ++intdigits;
  return (fraction ? lead : intdigits - 1) + exp10;
}

// Converts a field that is one complete decimal number with optional blanks
// around it, correctly rounded: directly when it has at most 19 digits, the
// mantissa fits 2^53 and the power of ten is exact (one IEEE operation then
// rounds correctly), otherwise through std::from_chars once the grammar is
// known to hold (it would also take "inf", "nan" and other forms).
// Magnitudes below the smallest double give zero; above the largest,
// `range`. Bytes up to `limit` may be read.
numberstatus parsedecimal(std::string_view text, const char* limit, double& out) {
  text = trim(text);
  const char* p = text.data();
  const char* const e = p + text.size();
  const bool neg = p != e && *p == '-';
  if (p != e && (*p == '-' || *p == '+')) ++p;
  const char* const body = p;
  std::uint64_t m = 0;  // wraps harmlessly past 19 digits, which go the slow way
  p = digitrun(p, e, limit, m);
  int ndigits = static_cast<int>(p - body);
  int fracdigits = 0;
  if (p != e && *p == '.') {
    const char* const frac = ++p;
    p = digitrun(p, e, limit, m);
    fracdigits = static_cast<int>(p - frac);
    ndigits += fracdigits;
  }
  if (ndigits == 0) return numberstatus::invalid;
  const char* const mantissaend = p;
  int exp10 = 0;
  if (p != e) {
    if (*p != 'e' && *p != 'E') return numberstatus::invalid;
    ++p;
    const bool negexp = p != e && *p == '-';
    if (p != e && (*p == '-' || *p == '+')) ++p;
    if (p == e) return numberstatus::invalid;
    for (; p != e; ++p) {
      if (digitof(*p) > 9) return numberstatus::invalid;
      if (exp10 < 100000) exp10 = exp10 * 10 + static_cast<int>(digitof(*p));
    }
    if (negexp) exp10 = -exp10;
  }
  static constexpr double pow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                     1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  const int scale = exp10 - fracdigits;
  double v = 0.0;
  if (ndigits <= 19 && m <= (std::uint64_t{1} << 53) && scale >= -22 && scale <= 22) {
    v = static_cast<double>(m);
    v = scale < 0 ? v / pow10[-scale] : v * pow10[scale];
  } else {
    const std::from_chars_result r = std::from_chars(body, e, v);
    if (r.ec == std::errc::result_out_of_range) {
      // Out of range either way; the exponent of the first digit tells which.
      if (leadexponent(body, mantissaend, exp10) >= 0) return numberstatus::range;
      v = 0.0;
    } else if (r.ec != std::errc() || r.ptr != e) {
      return numberstatus::invalid;
    }
  }
  out = neg ? -v : v;
  return numberstatus::ok;
}

// A field as messages show it: at most shown_max bytes (a cut backs off to
// the start of a UTF-8 character and is marked "..."), control bytes
// escaped.
std::string show(std::string_view s) {
  std::size_t n = s.size();
  if (n > shown_max) {
    n = shown_max;
    while (n > shown_max - 3 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  }
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == '\t') out += "\\t";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c < 0x20 || c == 0x7F) {
      static constexpr char hex[] = "0123456789abcdef";
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  if (n < s.size()) out += "...";
  return out;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether a and b are equal but for ASCII case.
bool samefolded(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

std::string plural(std::int64_t n, const char* what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

// A size for messages: whole MiB as such, anything else in bytes.
std::string sizetext(std::size_t bytes) {
  constexpr std::size_t mib = std::size_t{1} << 20;
  return bytes % mib == 0 ? std::to_string(bytes / mib) + " MiB" : plural(static_cast<std::int64_t>(bytes), "byte");
}

// The text between a field's quotes, each doubled quote made one.
std::string_view unquote(const char* p, const char* e, std::string& scratch) {
  scratch.clear();
  while (p != e) {
    const auto* q = static_cast<const char*>(std::memchr(p, '"', static_cast<std::size_t>(e - p)));
    if (q == nullptr) {
      scratch.append(p, e);
      break;
    }
    scratch.append(p, q + 1);  // the first of a doubled quote
    p = q + 2;
  }
  return scratch;
}

}  // namespace

void csvbatch::clear() {
  object.clear();
  x.clear();
  y.clear();
  time.clear();
  line.clear();
  idtext.clear();
  idend.clear();
  bad.clear();
  morebad = 0;
  numbered = false;
}

void csvbatch::number(idtable& ids) {
  if (numbered) {
    idbytes = ids.bytes();
    return;
  }
  object.resize(size());
  const char* const limit = idtext.data() + idtext.size();
  for (std::size_t i = 0; i < size(); ++i) {
    const std::string_view text = id(i);
    object[i] = std::isnan(x[i]) || std::isnan(y[i]) ? -1 : ids.number(text, limit);
  }
  idbytes = ids.bytes();
}

csvreader::csvreader(textin& in, csvoptions opts, std::string name, std::FILE* err)
    : in_(in), opts_(std::move(opts)), name_(std::move(name)), err_(err) {}

// Scans on from st_.pos through the n bytes of the row at p; true when the
// row is complete: a line feed outside quotes ended it, or `final` says no
// bytes follow. Inside quotes only a quote matters; outside, a quote opens
// a field only at its start, or reopens one right after the quote that
// closed it (a doubled quote); elsewhere it is an ordinary byte. The state
// is worked on in a local copy, which the compiler keeps in registers.
bool csvreader::scan(const char* p, std::size_t n, bool final) {
  rowscan s = st_;
  const char delim = opts_.delimiter;
  // Ends the current field at `end`; a quoted field must end just after
  // the quote that closed it.
  const auto endfield = [&](std::size_t end) {
    if (s.isquoted && s.closed + 1 != end && s.badfield == SIZE_MAX) s.badfield = s.nfields;
    if (s.nfields < keep_) {
      if (s.nfields == fields_.size()) fields_.resize(fields_.size() * 2 + 16);
      fields_[s.nfields] = {s.fieldstart, end, s.isquoted};
    }
    ++s.nfields;
    s.isquoted = false;
    s.closed = SIZE_MAX;
  };
  for (std::size_t at = s.pos; at < n; at += 16) {
    unsigned m;
    if (n - at >= 16) {
      m = specials(p + at, delim);
    } else {
      char tail[16] = {};
      std::memcpy(tail, p + at, n - at);
      m = specials(tail, delim) & ((1u << (n - at)) - 1);
    }
    for (; m != 0; m &= m - 1) {
      const std::size_t i = at + static_cast<std::size_t>(std::countr_zero(m));
      const char c = p[i];
      if (s.quoted) {
        if (c == '"') {
          s.quoted = false;
          s.closed = i;
        } else if (c == '\n') {
          ++s.innerlf;
        }
      } else if (c == '"') {
        if (i == s.fieldstart) s.quoted = s.isquoted = true;
        else if (s.isquoted && s.closed == i - 1) s.quoted = true;
      } else if (c == delim) {
        endfield(i);
        s.fieldstart = i + 1;
      } else {
        // A carriage return before the line feed belongs to the line end.
        s.end = i != 0 && p[i - 1] == '\r' ? i - 1 : i;
        endfield(s.end);
        s.pos = i;
        s.ended = true;
        st_ = s;
        return true;
      }
    }
  }
  s.pos = n;
  if (final) {
    s.end = n;
    endfield(n);
  }
  st_ = s;
  return final;
}

// Finds the next row, in place when the buffered bytes hold it whole,
// otherwise gathered in pending_. A row is scanned no further than the
// longest row and its CRLF: one that goes on past them is cut there
// (skiprest()), wherever the buffered bytes happen to end. False at the end
// of the input, and for a last row that a read error cut short.
bool csvreader::readrow(row& r) {
  st_ = rowscan{};
  in_.want(readahead);
  bool gathered = false;
  const std::size_t window = opts_.longest + 2;
  for (;;) {
    const char* const from = in_.data();
    const std::size_t before = gathered ? pending_.size() : 0;  // bytes of the row before `from`
    auto n = std::min(static_cast<std::size_t>(in_.limit() - from), window - before);
    const char* base = from;
    if (gathered) {
      // Pieces that grow with the row: a long row costs at most about
      // twice its length in copies.
      n = std::min(n, std::max(readahead, before));
      pending_.append(from, n);
      base = pending_.data();
    }
    if (scan(base, before + n, in_.complete() && from + n == in_.limit())) {
      const std::size_t used = st_.ended ? st_.pos + 1 : before + n;
      in_.consume_to(from + (used - before));
      if (!st_.ended && (used == 0 || in_.error() != 0)) return false;
      r = {base, st_.end, base + before + n};
      return true;
    }
    if (before + n == window) {
      if (!gathered) pending_.assign(from, n);
      in_.consume_to(from + n);
      return skiprest(r);
    }
    // Keep the bytes, all but a last carriage return, which may pair with
    // a line feed still unread.
    std::size_t kept = n;
    if (kept != 0 && from[kept - 1] == '\r') --kept;
    if (gathered) pending_.resize(before + kept);
    else pending_.assign(from, kept);
    gathered = true;
    st_.pos = before + kept;
    in_.consume_to(from + kept);
    in_.want(readahead);
  }
}

// Skips the rest of a row that is too long to hold, up to and including
// the next line feed, whatever quotes it has; r is the part that was held.
// False for a last row that a read error cut short.
bool csvreader::skiprest(row& r) {
  st_.toolong = true;
  for (;;) {
    in_.want(readahead);
    const char* const from = in_.data();
    const auto n = static_cast<std::size_t>(in_.limit() - from);
    if (const auto* lf = static_cast<const char*>(std::memchr(from, '\n', n))) {
      in_.consume_to(lf + 1);
      st_.ended = true;
      break;
    }
    in_.consume_to(from + n);
    if (in_.complete() && in_.data() == in_.limit()) break;
  }
  if (!st_.ended && in_.error() != 0) return false;
  st_.end = pending_.size();
  r = {pending_.data(), pending_.size(), pending_.data() + pending_.size()};
  return true;
}

// Reads the next nonblank row, keeping count of the lines.
bool csvreader::nextrow(row& r) {
  while (readrow(r)) {
    lastended_ = st_.ended;
    rowline_ = line_;
    line_ += st_.innerlf + (st_.ended ? 1 : 0);
    if (r.size != 0) return true;
  }
  return false;
}

// Field i of the row r without its quotes; a quoted one, which is known to
// be well-formed, is unescaped into `scratch`.
inline std::string_view csvreader::field(const row& r, std::size_t i, std::string& scratch) const {
  const fieldref& f = fields_[i];
  if (!f.quoted) return {r.data + f.start, f.end - f.start};
  return unquote(r.data + f.start + 1, r.data + f.end - 1, scratch);
}

namespace {
// The failure of open() whose whole message is `message`.
failure headerfailure(std::string message, int errnum = 0) { return {std::move(message), errnum, {}, 1, true}; }
}  // namespace

result<void> csvreader::open() {
  const char d = opts_.delimiter;
  if (d == '"' || d == '\n' || d == '\r') return headerfailure("the delimiter cannot be a quote or a line end");
  in_.want(3);
  if (in_.limit() - in_.data() >= 3 && std::memcmp(in_.data(), "\xEF\xBB\xBF", 3) == 0) in_.consume_to(in_.data() + 3);
  keep_ = SIZE_MAX;
  row r{};
  if (!nextrow(r)) {
    if (in_.error() != 0)
      return headerfailure("cannot read '" + name_ + "': " + std::strerror(in_.error()), in_.error());
    return headerfailure("no header row in '" + name_ + "': the input is empty");
  }
  const std::string where = name_ + ":" + std::to_string(rowline_) + ": ";
  if (st_.toolong || r.size > opts_.longest) return headerfailure(where + "the header is longer than " + sizetext(opts_.longest));
  if (st_.quoted) return headerfailure(where + "the header has an unterminated quote");
  if (st_.badfield != SIZE_MAX)
    return headerfailure(where + "header field " + std::to_string(st_.badfield + 1) + " has text after its closing quote");
  std::vector<std::string> names;
  for (std::size_t i = 0; i < st_.nfields; ++i) names.emplace_back(field(r, i, scratch_[0]));
  roles_ = opts_.timecolumn.empty() ? role_time : nroles;
  keep_ = 0;
  for (int role = 0; role < roles_; ++role) {
    if (result<void> found = resolve(role, names); !found) return found;
    keep_ = std::max(keep_, col_[role] + 1);
  }
  opened_ = true;
  return {};
}

void csvreader::continuefrom(const csvreader& header, std::vector<badrow>* named) {
  std::copy(std::begin(header.col_), std::end(header.col_), std::begin(col_));
  roles_ = header.roles_;
  keep_ = header.keep_;
  opened_ = true;
  named_ = named;
}

// Finds the column of `role` in the header: a value of only digits is a
// 1-based column number; a name is matched exactly, then ignoring case and
// surrounding blanks.
result<void> csvreader::resolve(int role, const std::vector<std::string>& names) {
  const std::string& value = role == role_id ? opts_.idcolumn
                             : role == role_x ? opts_.xcolumn
                             : role == role_y ? opts_.ycolumn
                                              : opts_.timecolumn;
  std::size_t found = SIZE_MAX;
  if (!value.empty() && value.find_first_not_of("0123456789") == std::string::npos) {
    std::size_t k = 0;
    for (const char c : value) k = k > names.size() ? k : k * 10 + static_cast<std::size_t>(c - '0');
    if (k >= 1 && k <= names.size()) found = k - 1;
  } else if (!value.empty()) {
    for (std::size_t i = 0; i < names.size() && found == SIZE_MAX; ++i)
      if (names[i] == value) found = i;
    for (std::size_t i = 0; i < names.size() && found == SIZE_MAX; ++i)
      if (samefolded(trim(names[i]), trim(value))) found = i;
  }
  if (found != SIZE_MAX) {
    col_[role] = found;
    return {};
  }
  std::string error = "no column '" + show(value) + "' for " + optionname[role] + " in the header of '" + name_ + "' (columns: ";
  for (std::size_t i = 0; i < names.size() && i < names_listed; ++i) error += (i == 0 ? "" : ", ") + show(names[i]);
  if (names.size() > names_listed)
    error += ", ... " + plural(static_cast<std::int64_t>(names.size()), "column") + " in all";
  error += ")";
  return headerfailure(std::move(error));
}

// Counts a bad row and names it within the first ten (count()), or, for a
// reader that defers them, lists it in the batch being filled. Returns
// false, for take() to pass on.
bool csvreader::bad(std::int64_t line, std::string_view reason) {
  if (!defer_) {
    count(line, reason);
  } else if (into_->bad.size() < static_cast<std::size_t>(named_max)) {
    into_->bad.push_back({line, std::string(reason)});
  } else {
    ++into_->morebad;
  }
  return false;
}

// Counts a bad row and names the first ten, as messages or in `named_`; in
// strict mode the reader fails.
void csvreader::count(std::int64_t line, std::string_view reason) {
  ++bad_;
  if (opts_.strict) failed_ = true;
  if (bad_ <= named_max && named_ != nullptr) {
    named_->push_back({line, std::string(reason)});
  } else if (bad_ <= named_max) {
    print_bad_row(err_, name_, {line, std::string(reason)});
  }
}

void csvreader::reject(std::int64_t line, std::string_view reason) { count(line, reason); }

void csvreader::tally(const csvbatch& batch) {
  for (const badrow& b : batch.bad) count(b.line, b.reason);
  bad_ += batch.morebad;
}

void csvreader::finish() {
  if (bad_ == 0 || failed_ || named_ != nullptr) return;
  print_bad_count(err_, name_, bad_);
}

void print_bad_row(std::FILE* err, const std::string& name, const badrow& row) {
  const std::string msg = name + ":" + std::to_string(row.line) + ": " + row.reason + "\n";
  std::fwrite(msg.data(), 1, msg.size(), err);
}

void print_bad_count(std::FILE* err, const std::string& name, std::int64_t bad) {
  if (bad == 0) return;
  const std::string msg = name + ": " + plural(bad, "bad row") + " skipped\n";
  std::fwrite(msg.data(), 1, msg.size(), err);
}

// Checks the current row and appends it to the batch; false, having
// counted it, when it is bad. The checks go in the order of the row's
// structure, then id, x, y and time.
bool csvreader::take(const row& r, csvbatch& batch) {
  ++rows_;
  if (r.size > opts_.longest || st_.toolong)
    return bad(rowline_, "row longer than " + sizetext(opts_.longest) +
                             (st_.toolong && st_.quoted ? " (a quote is still open there)" : ""));
  if (st_.quoted) return bad(rowline_, "unterminated quote at the end of the input");
  if (st_.badfield != SIZE_MAX)
    return bad(rowline_, "field " + std::to_string(st_.badfield + 1) + " has text after its closing quote");
  for (int role = 0; role < roles_; ++role) {
    if (col_[role] >= st_.nfields)
      return bad(rowline_, "row has " + plural(static_cast<std::int64_t>(st_.nfields), "field") + ", the " +
                               rolename[role] + " column is field " + std::to_string(col_[role] + 1));
  }
  const std::string_view id = field(r, col_[role_id], scratch_[role_id]);
  if (id.empty()) return bad(rowline_, "empty id");
  double v[nroles] = {};
  for (int role = role_x; role < roles_; ++role) {
    const std::string_view text = field(r, col_[role], scratch_[role]);
    const char* const limit = fields_[col_[role]].quoted ? text.data() + text.size() : r.limit;
    // A time that looks like a date is one; anything else must be a number.
    const std::string_view t = role == role_time ? trim(text) : text;
    const bool date = role == role_time && t.size() >= 10 && t[4] == '-';
    const numberstatus s = date ? (parseisotime(t, v[role], dates_) ? numberstatus::ok : numberstatus::invalid)
                                : parsedecimal(text, limit, v[role]);
    if (s == numberstatus::ok) continue;
    const char* what = s == numberstatus::range ? "' is out of range"
                       : role == role_time       ? "' is not a date-time"
                                                 : "' is not a number";
    return bad(rowline_, std::string(rolename[role]) + " '" + show(text) + what);
  }
  if (outside(v[role_x], v[role_y]))
    return baddegrees(v[role_x], field(r, col_[role_x], scratch_[role_x]), field(r, col_[role_y], scratch_[role_y]));
  batch.idtext.append(id);
  batch.idend.push_back(batch.idtext.size());
  batch.x.push_back(v[role_x]);
  batch.y.push_back(v[role_y]);
  if (roles_ == nroles) batch.time.push_back(v[role_time]);
  batch.line.push_back(rowline_);
  return true;
}

// Counts a row whose x and y, given as `xtext` and `ytext`, are outside()
// the degrees of a position; false.
bool csvreader::baddegrees(double x, std::string_view xtext, std::string_view ytext) {
  const bool lon = !(std::fabs(x) <= 180);
  return bad(rowline_, std::string(lon ? "longitude '" : "latitude '") + show(lon ? xtext : ytext) +
                           (lon ? "' is outside -180 to 180" : "' is outside -90 to 90"));
}

void csvreader::fromcolumns(const csvcolumns& columns) {
  columns_ = &columns;
  roles_ = columns.time != nullptr ? nroles : role_time;
  opened_ = true;
}

namespace {
// A column's value as messages show it: the shortest text that reads back
// as the same value.
std::string numbertext(double v) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}
}  // namespace

// next() for rows in columns: the checks of take() that apply to numbers,
// in its order (id, x, y, time, degrees).
bool csvreader::takecolumns(csvbatch& batch, std::size_t max) {
  const csvcolumns& c = *columns_;
  std::size_t added = 0;
  batch.numbered = c.numberids != nullptr;
  for (; added < max && at_ < c.rows; ++at_) {
    const std::size_t i = at_;
    ++rows_;
    rowline_ = static_cast<std::int64_t>(i) + 1;
    if (c.textids != nullptr && c.textids[i].empty()) {
      bad(rowline_, "empty id");
    } else {
      double v[nroles] = {0, c.xd != nullptr ? c.xd[i] : c.xf[i], c.yd != nullptr ? c.yd[i] : c.yf[i],
                          c.time != nullptr ? c.time[i] : 0};
      if (c.single) {
        v[role_x] = static_cast<float>(v[role_x]);
        v[role_y] = static_cast<float>(v[role_y]);
      }
      const int roles = std::min<int>(roles_, nroles);
      int role = role_x;
      while (role < roles && std::isfinite(v[role])) ++role;
      if (role < roles) {
        bad(rowline_, std::string(rolename[role]) + " '" + numbertext(v[role]) + "' is not a number");
      } else if (outside(v[role_x], v[role_y])) {
        baddegrees(v[role_x], numbertext(v[role_x]), numbertext(v[role_y]));
      } else {
        if (c.textids != nullptr) {
          batch.idtext.append(c.textids[i]);
          batch.idend.push_back(batch.idtext.size());
        } else if (c.numberids != nullptr) {  // one of the two, always
          batch.object.push_back(static_cast<std::int32_t>(
              std::clamp<std::int64_t>(c.numberids[i], INT32_MIN, INT32_MAX)));
        }
        batch.x.push_back(v[role_x]);
        batch.y.push_back(v[role_y]);
        if (roles_ == nroles) batch.time.push_back(v[role_time]);
        batch.line.push_back(rowline_);
        ++added;
        continue;
      }
    }
    if (failed_) {
      ++at_;
      return false;
    }
  }
  done_ = at_ == c.rows;
  return added > 0 || !done_;
}

bool csvreader::next(csvbatch& batch, std::size_t max) {
  if (!opened_ || failed_) return false;
  into_ = &batch;
  if (columns_ != nullptr) return takecolumns(batch, max);
  std::size_t added = 0;
  row r{};
  while (added < max) {
    if (!nextrow(r)) {
      done_ = true;
      break;
    }
    if (take(r, batch)) ++added;
    else if (failed_) return false;
  }
  return added > 0 || !done_;
}

}  // namespace cellfreq

// The literal implementation behind reference::run().
#include "support/reference.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace reference {
namespace {

struct node {
  int id = 0, x = 0, y = 0;
  node* next = nullptr;
};

// Text mode, done up front: cut at Ctrl-Z if asked, CRLF becomes LF.
std::string translate(const std::string& raw, bool ctrlz) {
  std::string s = raw;
  if (ctrlz) {
    const auto z = s.find('\x1a');
    if (z != std::string::npos) s.resize(z);
  }
  std::string t;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') continue;
    t += s[i];
  }
  return t;
}

struct stream {
  std::string text;
  std::size_t pos = 0;
  int getc() { return pos < text.size() ? static_cast<unsigned char>(text[pos++]) : EOF; }
  int peekc() const { return pos < text.size() ? static_cast<unsigned char>(text[pos]) : EOF; }
  bool digit() const { return peekc() >= '0' && peekc() <= '9'; }
  void skipws() {
    while (peekc() == ' ' || peekc() == '\t' || peekc() == '\n' || peekc() == '\r' ||
           peekc() == '\v' || peekc() == '\f')
      ++pos;
  }
  // Collects the longest prefix of a number; returns it if it is complete.
  bool number(std::string& out, bool fractional) {
    skipws();
    std::string s;
    if (peekc() == '+' || peekc() == '-') s += static_cast<char>(getc());
    bool digits = false;
    while (digit()) { s += static_cast<char>(getc()); digits = true; }
    if (fractional && peekc() == '.') {
      s += static_cast<char>(getc());
      while (digit()) { s += static_cast<char>(getc()); digits = true; }
    }
    if (!digits) return false;
    if (fractional && (peekc() == 'e' || peekc() == 'E')) {
      s += static_cast<char>(getc());
      if (peekc() == '+' || peekc() == '-') s += static_cast<char>(getc());
      if (!digit()) return false;
      while (digit()) s += static_cast<char>(getc());
    }
    out = s;
    return true;
  }
  void readf(float& v) {
    std::string s;
    if (number(s, true)) v = std::strtof(s.c_str(), nullptr);  // HUGE_VALF on overflow
  }
  void readd(int& v) {
    std::string s;
    if (!number(s, false)) return;
    errno = 0;
    long long l = std::strtoll(s.c_str(), nullptr, 10);
    if (l > INT_MAX) l = INT_MAX;
    if (l < INT_MIN) l = INT_MIN;
    v = static_cast<int>(l);
  }
};

int sat(double d) {
  if (d >= 2147483647.0) return INT_MAX;
  if (d <= -2147483648.0) return INT_MIN;
  return static_cast<int>(d);
}

std::string fmt(const char* f, int a) {
  char b[32];
  std::snprintf(b, sizeof b, f, a);
  return b;
}

}  // namespace

result run(const std::string& trace, const config& cfg) {
  result res;
  // The record list.
  std::vector<std::unique_ptr<node>> owner;
  owner.push_back(std::make_unique<node>());
  node* head = owner.back().get();
  node* current = head;
  stream in{translate(trace, cfg.ctrlz_ends)};
  int fieldno = 0;
  float v = 0, w = 0;
  int nrec = 0;
  for (;;) {
    const int ch = in.getc();
    if (ch == EOF) break;
    if (ch == '\t') {
      in.readf(v);
      if (fieldno == 0) current->id = sat(v);
      fieldno++;
      if (fieldno == 3) { int ignored = 0; in.readd(ignored); }
      if (fieldno == 4) current->x = sat(static_cast<double>(v) / cfg.cellsize + 1);
    }
    if (fieldno == 4) {
      in.readf(w);
      current->y = sat(static_cast<double>(w) / cfg.cellsize + 1);
    }
    if (ch == '\n') {
      owner.push_back(std::make_unique<node>());
      current->next = owner.back().get();
      current = current->next;
      fieldno = 0;
      nrec++;
    }
  }
  res.nrec = nrec;

  // writecells: the list walked once per object id.
  std::vector<long long> codecount(100, 0);
  long long count = 0;
  for (int i = 0, k = 0; i < 1000; ++i) {
    for (node* n = head; n != nullptr; n = n->next) {
      if (n->id != i) continue;
      res.cellfile += fmt("%.3d", n->x) + fmt("%.3d ", n->y);
      ++count;
    }
    if (i % 10 == 9) { codecount[static_cast<std::size_t>(k++)] = count; count = 0; }
    res.cellfile += cfg.eol;
  }

  // max by adjacent exchanges.
  std::vector<long long> copy(codecount.begin(), codecount.begin() + cfg.nusers);
  for (int p = 0; p < cfg.nusers; ++p)
    for (int j = 0; j < cfg.nusers - 1 - p; ++j)
      if (copy[static_cast<std::size_t>(j)] > copy[static_cast<std::size_t>(j) + 1])
        std::swap(copy[static_cast<std::size_t>(j)], copy[static_cast<std::size_t>(j) + 1]);
  const long long maxcount = copy.back();

  // loadcells into a table whose rows are as wide as needed.
  const long long width = std::max(203LL, maxcount);
  std::vector<std::vector<int>> tablex(100, std::vector<int>(static_cast<std::size_t>(width), 0));
  stream cells{translate(res.cellfile, cfg.ctrlz_ends)};
  for (int r = 0; r < 100; ++r)
    for (long long j = 0; j < maxcount; ++j)
      if (j < codecount[static_cast<std::size_t>(r)]) cells.readd(tablex[static_cast<std::size_t>(r)][static_cast<std::size_t>(j)]);

  // findx with the quadratic count.
  for (int user = 0; user < cfg.nusers; ++user) {
    const auto& row = tablex[static_cast<std::size_t>(user)];
    const long long n = codecount[static_cast<std::size_t>(user)];
    std::vector<int> freq(static_cast<std::size_t>(n), 0);
    for (long long p = 0; p < n; ++p)
      for (long long q = 0; q < n; ++q)
        if (row[static_cast<std::size_t>(q)] == row[static_cast<std::size_t>(p)]) freq[static_cast<std::size_t>(p)]++;
    for (long long q = 0; q < n; ++q) {
      if (freq[static_cast<std::size_t>(q)] <= cfg.threshold) continue;
      const int code = row[static_cast<std::size_t>(q)];
      char line[128];
      std::snprintf(line, sizeof line, "User %d frequent cell is: C[%d][%d]  %d,%lld", user,
                    code / 1000, code % 1000, user, q);
      res.report += line + cfg.eol;
    }
    res.report += " " + cfg.eol;
  }
  return res;
}

}  // namespace reference

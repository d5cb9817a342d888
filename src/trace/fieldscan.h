// One-load decisions on the short TAB-separated fields of a trace line.
//
// Nearly every field of a real trace is a short decimal ("702", "8993.44",
// "8.77171e+03"). Instead of walking such a field byte by byte, with a
// mispredicted branch at the end of every digit run, one 16-byte load
// classifies all of its bytes at once, the grammar is checked on the bit
// masks, and the digits are converted eight at a time. Whatever these
// functions cannot decide this way (long fields, long mantissas, values that
// need the exact slow rounding, anything malformed) they leave to the
// general span scanners of scan.h, which decide every case; where they do
// answer, the answer is that of scanfloat_span() to the bit.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "trace/simd.h"

namespace cellfreq {

// Bytes that must be readable from the start of a field for these functions.
inline constexpr std::size_t field_readahead = 32;

// Where the TABs, line feeds and whitespace bytes lie in
// the 64 bytes from a line start: bit i stands for byte i.
struct linemasks {
  std::uint64_t tab = 0;
  std::uint64_t lf = 0;
  std::uint64_t blank = 0;  // what formatted reads skip: space, \t \n \v \f \r
};

#if defined(CELLFREQ_SSE2)

// Fills `m` from the 64 readable bytes at p; true when that could be done.
inline bool scanwindow(const char* p, linemasks& m) {
  for (int k = 0; k < 4; ++k) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    const auto bits = [](__m128i b) { return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(b))); };
    // \t \n \v \f \r are 9 … 13: they become the 5 smallest signed bytes.
    const __m128i controls = _mm_cmplt_epi8(_mm_add_epi8(c, _mm_set1_epi8(static_cast<char>(0x80 - 9))),
                                            _mm_set1_epi8(static_cast<char>(0x80 + 5)));
    const int shift = 16 * k;
    m.tab |= bits(_mm_cmpeq_epi8(c, _mm_set1_epi8('\t'))) << shift;
    m.lf |= bits(_mm_cmpeq_epi8(c, _mm_set1_epi8('\n'))) << shift;
    m.blank |= bits(_mm_or_si128(controls, _mm_cmpeq_epi8(c, _mm_set1_epi8(' ')))) << shift;
  }
  return true;
}

namespace fieldscan_detail {

// The value of the n <= 8 decimal digits at s (8 bytes readable), padded
// with leading zeros to eight and combined pairwise.
inline std::uint64_t digits8(const char* s, unsigned n) {
  std::uint64_t v;
  std::memcpy(&v, s, 8);
  if (n == 0) return 0;
  v <<= 8 * (8 - n);  // bytes past the digits fall off; zero bytes read as '0'
  v = (v & 0x0F0F0F0F0F0F0F0Fu) * 2561 >> 8;
  v = (v & 0x00FF00FF00FF00FFu) * 6553601 >> 16;
  return (v & 0x0000FFFF0000FFFFu) * 42949672960001u >> 32;
}

// The decimal digits among the 16 bytes `c`, bit i for byte i.
inline unsigned digitbits(__m128i c) {
  // '0'..'9' become the 10 smallest signed bytes.
  const __m128i shifted = _mm_add_epi8(c, _mm_set1_epi8(static_cast<char>(0x80 - '0')));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(shifted, _mm_set1_epi8(static_cast<char>(0x80 + 10)))));
}

}  // namespace fieldscan_detail

// The field at s, which ends at its first TAB or at `end` (the end of its
// line), is exactly one complete decimal number with at most eight digits
// before and after the point: [sign] digits [. digits] [e|E [sign] 1-3
// digits]. Returns the field's end, and with `convert` its value in `out`,
// rounded once to single precision as scanfloat() rounds it; nullptr means
// undecided, not invalid. The form alone is cheaper to decide than the
// value, and a field whose value goes unused needs only the form.
// One load classifies the bytes: the digits form a mask, and the few bytes
// that are not digits (sign, point, exponent mark) are then checked one by
// one, lowest first, so that the grammar is followed without a loop.
template <bool convert>
inline const char* decidefield(const char* s, const char* end, float& out) {
  using fieldscan_detail::digits8;
  const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
  const auto tabs = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(c, _mm_set1_epi8('\t'))));
  const unsigned digits = fieldscan_detail::digitbits(c);
  auto len = static_cast<unsigned>(std::countr_zero(tabs | 0x10000u));
  if (end - s < static_cast<std::ptrdiff_t>(len)) len = static_cast<unsigned>(end - s);
  if (len == 16) return nullptr;
  unsigned odd = ((1u << len) - 1) & ~digits;  // the bytes that are not digits
  unsigned start = 0;
  if ((odd & 1u) != 0 && (s[0] == '-' || s[0] == '+')) {
    start = 1;
    odd &= odd - 1;
  }
  unsigned dot = len;   // position of the point, len if none
  unsigned mend = len;  // end of the mantissa
  int exponent = 0;
  if (odd != 0 && s[std::countr_zero(odd)] == '.') {
    dot = static_cast<unsigned>(std::countr_zero(odd));
    odd &= odd - 1;
  }
  if (odd != 0) {
    mend = static_cast<unsigned>(std::countr_zero(odd));
    if ((s[mend] | 0x20) != 'e') return nullptr;
    odd &= odd - 1;
    unsigned x = mend + 1;
    if (odd != 0 && std::countr_zero(odd) == static_cast<int>(x) && (s[x] == '-' || s[x] == '+')) {
      odd &= odd - 1;
      ++x;
    }
    if (odd != 0 || x == len || len - x > 3) return nullptr;
    for (; x < len; ++x) exponent = exponent * 10 + (s[x] - '0');
    if (s[mend + 1] == '-') exponent = -exponent;
  }
  const unsigned nint = (dot < mend ? dot : mend) - start;
  const unsigned nfrac = dot < mend ? mend - dot - 1 : 0;
  if (nint + nfrac == 0 || nint > 8 || nfrac > 8) return nullptr;
  if constexpr (!convert) return s + len;
  static constexpr std::uint32_t pow10i[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};
  // 10^e for e in -10 … 10 (index e + 10) as a factor and a divisor, one
  // of them 1.
  static constexpr float up[] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f,
                                 1e7f, 1e8f, 1e9f, 1e10f};
  static constexpr float down[] = {1e10f, 1e9f, 1e8f, 1e7f, 1e6f, 1e5f, 1e4f, 1e3f, 1e2f, 1e1f, 1,
                                   1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
  const std::uint64_t m = digits8(s + start, nint) * pow10i[nfrac] + digits8(s + dot + 1, nfrac);
  const int e = exponent - static_cast<int>(nfrac);
  // Both operands exact in single precision and one IEEE operation that
  // rounds (the other is by 1): the result is the correctly rounded value.
  // Both run for every field, so that the sign of e, which varies from
  // field to field, costs no branch.
  if (m >= (1u << 24) || e < -10 || e > 10) return nullptr;
  const float v = static_cast<float>(m) * up[e + 10] / down[e + 10];
  out = s[0] == '-' ? -v : v;
  return s + len;
}

// The field at s, which ends at its first TAB or at `end`, when it is a
// run of one to seven digits (an object id, nearly always): its value,
// which the number read from it has exactly, so that it also truncates to
// it. Returns the field's end, or nullptr for any other field.
inline const char* digitsfield(const char* s, const char* end, std::int32_t& out) {
  const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
  const unsigned digits = fieldscan_detail::digitbits(c);
  const auto len = static_cast<unsigned>(std::countr_zero(~digits));
  if (len == 0 || len > 7 || end - s < static_cast<std::ptrdiff_t>(len) || (s + len != end && s[len] != '\t'))
    return nullptr;
  out = static_cast<std::int32_t>(fieldscan_detail::digits8(s, len));
  return s + len;
}

// The field's value, decided as above.
inline const char* scanfloat_field(const char* s, const char* end, float& out) {
  return decidefield<true>(s, end, out);
}
// The field's form only: its end when it is one number as above.
inline const char* numberfield(const char* s, const char* end) {
  float unused = 0.0f;
  return decidefield<false>(s, end, unused);
}

// The first TAB in [p, end), or end; the line holding [p, end) has no
// newline before end.
inline const char* nexttab(const char* p, const char* end) {
  for (;;) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const auto tabs = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(c, _mm_set1_epi8('\t'))));
    if (tabs != 0) return std::min(p + std::countr_zero(tabs), end);
    if (end - p <= 16) return end;
    p += 16;
  }
}

#else

// Without SSE2, and in the portable build, every line and field takes the
// general path.
inline bool scanwindow(const char*, linemasks&) { return false; }
inline const char* scanfloat_field(const char*, const char*, float&) { return nullptr; }
inline const char* numberfield(const char*, const char*) { return nullptr; }
inline const char* digitsfield(const char*, const char*, std::int32_t&) { return nullptr; }
inline const char* nexttab(const char* p, const char* end) { return std::find(p, end, '\t'); }

#endif

}  // namespace cellfreq

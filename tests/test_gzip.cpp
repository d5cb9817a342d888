// Gzip input through textin: the text of every member, plain input passed
// on when sniffed, and a failure with its reason for every damaged stream.
#include <gtest/gtest.h>

#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support/cases.h"
#include "support/runner.h"
#include "io/gzsource.h"
#include "io/textin.h"

using namespace cellfreq;

namespace {

// One gzip member of `text`, made with zlib itself.
std::string gz(const std::string& text, int level = 6) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, MAX_WBITS + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&z, static_cast<uLong>(text.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// What textin reads from `bytes` through a gzsource, its error and reason.
struct result {
  std::string text;
  int error;
  std::string reason;
  bool compressed;
};
result readgz(const std::string& bytes, bool sniff, std::size_t block = textin::default_block) {
  std::FILE* f = testsupport::tmpfilewith(bytes);
  gzsource src(f, sniff);
  textin in(src, false, block);
  result r{"", 0, "", src.compressed()};
  for (int c = in.get(); c != textin::eof; c = in.get()) r.text += static_cast<char>(c);
  r.error = in.error();
  r.reason = src.reason() != nullptr ? src.reason() : "";
  EXPECT_TRUE(r.error != 0 || src.consumed() == bytes.size());
  std::fclose(f);
  return r;
}

// The translated text of `plain`, as textin reads it from memory.
std::string translated(const std::string& plain) {
  textin in(plain, false);
  std::string s;
  for (int c = in.get(); c != textin::eof; c = in.get()) s += static_cast<char>(c);
  return s;
}

// Trace-like lines with CRLF and lone CR, several MiB when `lines` is large.
std::string lines(int n) {
  std::string s;
  for (int i = 0; i < n; ++i)
    s.append("track\t").append(std::to_string(i % 997)).append(i % 3 ? "\t1\t2\r\n" : "\t3\r4\n");
  return s;
}

}  // namespace

// The text of every member, compressed or stored, in one or many blocks,
// read with or without sniffing; and plain input passed on when sniffed.
TEST(Gzsource, TextEqualsThePlainBytes) {
  const std::string big = lines(100000);
  struct input {
    std::string bytes;
    bool sniff, compressed;
    std::string plain;
    std::size_t block = textin::default_block;
  };
  std::vector<input> cases = {
      {gz("a"), false, true, "a"}, {gz("x\r\n"), true, true, "x\r\n"},
      {gz(lines(200000)), false, true, lines(200000)}, {gz(lines(200000)), true, true, lines(200000)},
      // Members follow each other; level 0 stores the text, so that its
      // member spans many input blocks.
      {gz("one\n") + gz("") + gz(big, 0) + gz("two"), false, true, "one\n" + big + "two"}, {gz(""), false, true, ""},
      {gz(""), true, true, ""}, {"", true, false, ""}, {"a", true, false, "a"}, {"\x1f", true, false, "\x1f"},
      {"\x1f\x8c\x08", true, false, "\x1f\x8c\x08"}, {"\x8b\x1f" "abc\r\n", true, false, "\x8b\x1f" "abc\r\n"},
      {big, true, false, big},
  };
  // Every small block size puts CRLF pairs across block boundaries.
  for (std::size_t block = 16; block < 40; ++block) cases.push_back({gz(lines(40)), true, true, lines(40), block});
  for (const auto& c : cases) {
    SCOPED_TRACE(testsupport::caseof(cases, c));
    const result r = readgz(c.bytes, c.sniff, c.block);
    EXPECT_EQ(r.error, 0) << c.bytes.size();
    EXPECT_EQ(r.compressed, c.compressed) << c.bytes.size();
    EXPECT_TRUE(r.text == translated(c.plain)) << c.bytes.size() << " bytes, block " << c.block;
  }
}

TEST(Gzsource, AReaderMayStopEarly) {
  // The inflating thread is blocked on a full ring when the source goes.
  std::FILE* f = testsupport::tmpfilewith(gz(lines(400000)));
  {
    gzsource src(f, false);
    textin in(src, false);
    EXPECT_EQ(in.get(), 't');
  }
  std::fclose(f);
}

TEST(Gzsource, DamageIsAFailureWithItsReason) {
  const std::string good = gz(lines(50000));
  std::string flipped = good;
  flipped[good.size() / 2] = static_cast<char>(flipped[good.size() / 2] ^ 0x40);
  std::string badcrc = good;
  badcrc[good.size() - 6] = static_cast<char>(badcrc[good.size() - 6] ^ 1);
  const struct {
    std::string bytes;
    const char* reason;
  } cases[] = {
      {"", "truncated gzip data"},                       // no member at all
      {good.substr(0, 2), "truncated gzip data"},        // magic only
      {good.substr(0, 10), "truncated gzip data"},       // header only
      {good.substr(0, good.size() / 2), "truncated gzip data"}, {good.substr(0, good.size() - 1), "truncated gzip data"},
      {good + good.substr(0, 1), "truncated gzip data"},  // a second member begun
      {flipped, "corrupt gzip data"}, {badcrc, "corrupt gzip data"}, {good + "garbage", "corrupt gzip data"},
      {good + std::string(8, '\0'), "corrupt gzip data"}, {"plain text", "corrupt gzip data"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testsupport::caseof(cases, c));
    const result r = readgz(c.bytes, false);
    EXPECT_NE(r.error, 0) << c.reason << " " << c.bytes.size();
    EXPECT_EQ(r.reason, c.reason) << c.bytes.size();
  }
}

TEST(Gzsource, ReadErrorIsTheSystems) {
  std::FILE* dir = std::fopen("/", "rb");
  ASSERT_NE(dir, nullptr);
  for (const bool sniff : {false, true}) {
    SCOPED_TRACE(sniff ? "sniffing" : "not sniffing");
    gzsource src(dir, sniff);
    textin in(src, false);
    EXPECT_EQ(in.get(), textin::eof);
    EXPECT_EQ(in.error(), EISDIR);
    EXPECT_STREQ(src.reason(), std::strerror(EISDIR));
  }
  std::fclose(dir);
}

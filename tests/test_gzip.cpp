// Gzip input through textin: the text of every member, plain input passed
// on when sniffed, and a failure with its reason for every damaged stream;
// and tracegen's CSV output, which such input comes from (its gzip output is
// read end to end by the ingest tests).
#include <gtest/gtest.h>

#include <zlib.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "support/runner.h"
#include "trace/gzsource.h"
#include "trace/textin.h"

using namespace cellfreq;
using namespace testsupport;

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
  std::FILE* f = std::tmpfile();
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::rewind(f);
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
      {gz("a"), false, true, "a"},
      {gz("x\r\n"), true, true, "x\r\n"},
      {gz(lines(200000)), false, true, lines(200000)},
      {gz(lines(200000)), true, true, lines(200000)},
      // Members follow each other; level 0 stores the text, so that its
      // member spans many input blocks.
      {gz("one\n") + gz("") + gz(big, 0) + gz("two"), false, true, "one\n" + big + "two"},
      {gz(""), false, true, ""},
      {gz(""), true, true, ""},
      {"", true, false, ""},
      {"a", true, false, "a"},
      {"\x1f", true, false, "\x1f"},
      {"\x1f\x8c\x08", true, false, "\x1f\x8c\x08"},
      {"\x8b\x1f" "abc\r\n", true, false, "\x8b\x1f" "abc\r\n"},
      {big, true, false, big},
  };
  // Every small block size puts CRLF pairs across block boundaries.
  for (std::size_t block = 16; block < 40; ++block) cases.push_back({gz(lines(40)), true, true, lines(40), block});
  for (const auto& c : cases) {
    const result r = readgz(c.bytes, c.sniff, c.block);
    EXPECT_EQ(r.error, 0) << c.bytes.size();
    EXPECT_EQ(r.compressed, c.compressed) << c.bytes.size();
    EXPECT_TRUE(r.text == translated(c.plain)) << c.bytes.size() << " bytes, block " << c.block;
  }
}

TEST(Gzsource, AReaderMayStopEarly) {
  // The inflating thread is blocked on a full ring when the source goes.
  std::FILE* f = std::tmpfile();
  const std::string bytes = gz(lines(400000));
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::rewind(f);
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
      {"", "truncated gzip data"},                          // no member at all
      {good.substr(0, 2), "truncated gzip data"},           // magic only
      {good.substr(0, 10), "truncated gzip data"},          // header only
      {good.substr(0, good.size() / 2), "truncated gzip data"},
      {good.substr(0, good.size() - 1), "truncated gzip data"},  // trailer cut
      {good + good.substr(0, 1), "truncated gzip data"},    // a second member begun
      {flipped, "corrupt gzip data"},
      {badcrc, "corrupt gzip data"},
      {good + "garbage", "corrupt gzip data"},
      {good + std::string(8, '\0'), "corrupt gzip data"},
      {"plain text", "corrupt gzip data"},
  };
  for (const auto& c : cases) {
    const result r = readgz(c.bytes, false);
    EXPECT_NE(r.error, 0) << c.reason << " " << c.bytes.size();
    EXPECT_EQ(r.reason, c.reason) << c.bytes.size();
  }
}

TEST(Gzsource, ReadErrorIsTheSystems) {
  std::FILE* dir = std::fopen("/", "rb");
  ASSERT_NE(dir, nullptr);
  for (const bool sniff : {false, true}) {
    gzsource src(dir, sniff);
    textin in(src, false);
    EXPECT_EQ(in.get(), textin::eof);
    EXPECT_EQ(in.error(), EISDIR);
    EXPECT_STREQ(src.reason(), std::strerror(EISDIR));
  }
  std::fclose(dir);
}

namespace {

std::vector<std::string> rows(const std::string& text) {
  std::vector<std::string> r;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) r.push_back(line);
  return r;
}

// The digits after the point of a CSV field.
std::size_t decimals(const std::string& field) { return field.size() - field.find('.') - 1; }

}  // namespace

TEST(Tracegen, CsvRowsAreAsDocumented) {
  const scratch s;
  const struct {
    const char* args;
    const char* header;
    std::size_t idwidth, decimals;
  } cases[] = {
      {"--format csv --objects 12 --steps 3", "id,time,lon,lat", 4, 7},
      {"--format csv-metres --objects 12 --steps 3", "id,time,x,y", 4, 2},
      {"--format=csv-metres --objects 10001 --steps 3", "id,time,x,y", 5, 2},
  };
  std::vector<std::vector<std::string>> outputs;
  for (const auto& c : cases) {
    const outcome o = runin(s.dir(), program("tracegen"), c.args);
    ASSERT_EQ(o.status, 0) << o.err;
    const std::vector<std::string> r = rows(o.out);
    ASSERT_GT(r.size(), 24u);
    EXPECT_EQ(r[0], c.header);
    for (std::size_t i = 1; i < r.size(); i += 11) {
      char id[16], time[32], x[32], y[32];
      ASSERT_EQ(std::sscanf(r[i].c_str(), "veh-%15[0-9],%31[^,],%31[^,],%31s", id, time, x, y), 4) << r[i];
      EXPECT_EQ(std::strlen(id), c.idwidth) << r[i];
      const std::size_t objects = r.size() / 3;  // three steps
      EXPECT_STREQ(time, i <= objects ? "2008-10-23T02:53:04Z"
                          : i <= 2 * objects ? "2008-10-23T02:53:34Z" : "2008-10-23T02:54:04Z") << i;
      EXPECT_EQ(decimals(x), c.decimals) << r[i];
      EXPECT_EQ(decimals(y), c.decimals) << r[i];
    }
    outputs.push_back(r);
  }
  // Degrees and metres row for row: the city's corner at easting 440000,
  // northing 5880000 is near 8.1046 E 53.0661 N, and a kilometre there is
  // about 0.0150 degrees of longitude and 0.0090 of latitude.
  for (std::size_t i = 1; i < outputs[0].size(); ++i) {
    double lon = 0, lat = 0, x = 0, y = 0;
    ASSERT_EQ(std::sscanf(outputs[0][i].c_str(), "%*[^,],%*[^,],%lf,%lf", &lon, &lat), 2);
    ASSERT_EQ(std::sscanf(outputs[1][i].c_str(), "%*[^,],%*[^,],%lf,%lf", &x, &y), 2);
    EXPECT_EQ(outputs[0][i].substr(0, 30), outputs[1][i].substr(0, 30));
    EXPECT_NEAR(lon, 8.1046 + (x - 440000) / 1000 * 0.0150, 0.01) << outputs[0][i];
    EXPECT_NEAR(lat, 53.0661 + (y - 5880000) / 1000 * 0.0090, 0.01) << outputs[0][i];
  }
  // A size bound ends the trace after the step that reaches it.
  const std::size_t bounded = runin(s.dir(), program("tracegen"), "--format csv --bytes 100000").out.size();
  EXPECT_TRUE(bounded >= 100000u && bounded < 100000u + 1000 * 80) << bounded;
  for (const char* bad : {"--format tsv", "--format", "--gzip=1"})
    EXPECT_EQ(runin(s.dir(), program("tracegen"), bad).status, 2) << bad;
}

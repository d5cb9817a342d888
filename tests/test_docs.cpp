// The option table against what describes it: --help, generated from the
// table, lists every option once in its section and in 80 columns; the man
// page and the README's options reference name every option of the table
// and no option that it lacks, so that neither drifts from the command.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "driver/options.h"
#include "support/runner.h"

using testsupport::cat;
using testsupport::readfile;

namespace {

const std::string manpage = CELLFREQ_SOURCE_DIR "/docs/cellfreq.1";
const std::string readme = CELLFREQ_SOURCE_DIR "/README.md";

bool wordchar(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'; }
bool letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The options that `text` names: "--name" for every long one, "-x" for a
// one-letter one standing alone ("-o PATH", not "1-based" or "-dc"). An
// attached value ("-oPATH", "--name=VALUE") ends at the letter or the '='.
std::set<std::string> named(std::string_view text) {
  std::set<std::string> found;
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] != '-' || (i > 0 && wordchar(text[i - 1]))) continue;
    if (text[i + 1] == '-' && i + 2 < text.size() && letter(text[i + 2])) {
      std::size_t end = i + 2;
      while (end < text.size() && wordchar(text[end])) ++end;
      found.insert(std::string(text.substr(i, end - i)));
      i = end;
    } else if (letter(text[i + 1]) && (i + 2 == text.size() || !letter(text[i + 2]))) {
      found.insert(std::string(text.substr(i, 2)));
    }
  }
  return found;
}

// Every name of every option of the table, as a command line gives it.
std::set<std::string> tablenames() {
  std::set<std::string> names;
  for (const cellfreq::option& o : cellfreq::option_table()) {
    names.insert(cat({"--", o.name}));
    if (o.letter != '\0') names.insert(std::string{'-', o.letter});
  }
  return names;
}

// The man page as it reads: groff's escaped minus "\-" is a plain '-'.
std::string unescaped(std::string text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '-') continue;
    out.push_back(text[i]);
  }
  return out;
}

// The section of a Markdown text under the heading `heading`, up to the next
// heading of the same level; empty when there is no such heading.
std::string section(const std::string& text, const std::string& heading) {
  const std::size_t start = text.find("\n" + heading + "\n");
  if (start == std::string::npos) return {};
  const std::size_t end = text.find("\n## ", start + 1);
  return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// Fails naming every option that the table has and `text` lacks, and every
// one that `text` names and the table lacks.
void expect_same_options(const std::string& text, const std::string& where) {
  const std::set<std::string> want = tablenames(), got = named(text);
  std::vector<std::string> missing, extra;
  std::set_difference(want.begin(), want.end(), got.begin(), got.end(), std::back_inserter(missing));
  std::set_difference(got.begin(), got.end(), want.begin(), want.end(), std::back_inserter(extra));
  EXPECT_EQ(missing, std::vector<std::string>{}) << where << " does not name these options";
  EXPECT_EQ(extra, std::vector<std::string>{}) << where << " names options that cellfreq does not have";
}

// The --help text, line by line.
std::vector<std::string> helplines() {
  std::string text;
  {
    cellfreq::textout out(text, "\n");
    cellfreq::writehelp(out);
    EXPECT_TRUE(out.flush());
  }
  std::vector<std::string> lines;
  for (std::size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
    lines.push_back(text.substr(at, nl - at));
  return lines;
}

}  // namespace

// Each option has one line of --help that starts with its names and value,
// under the heading of its group, its help beginning in column 22 (on the
// next line when the names are too long); no other line names an option
// there, and every line fits 80 columns.
TEST(Help, ListsEveryOptionOnceUnderItsHeading) {
  const std::vector<std::string> lines = helplines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "Usage: cellfreq [OPTION]... [TRACE]");
  const char* const headings[] = {"Input:", "Grid and users:", "Output:", "A run in pieces", "Information:"};
  std::vector<std::size_t> headingat;
  for (const char* h : headings) {
    const auto at = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.starts_with(h); });
    ASSERT_NE(at, lines.end()) << h;
    headingat.push_back(static_cast<std::size_t>(at - lines.begin()));
  }
  EXPECT_TRUE(std::is_sorted(headingat.begin(), headingat.end()));
  headingat.push_back(lines.size());
  std::size_t optionlines = 0;
  for (const std::string& l : lines) {
    EXPECT_LE(l.size(), 79u) << l;
    optionlines += l.starts_with("  -") ? 1 : 0;
  }
  EXPECT_EQ(optionlines, cellfreq::option_table().size());
  for (const cellfreq::option& o : cellfreq::option_table()) {
    SCOPED_TRACE(std::string(o.name));
    const std::string letter = o.letter != '\0' ? std::string{'-', o.letter, ',', ' '} : "";
    const std::string label = cat({"  ", letter, "--", o.name, o.takes_value() ? " " : "", o.value});
    std::vector<std::size_t> at;
    for (std::size_t i = 0; i < lines.size(); ++i)
      if (lines[i] == label || lines[i].starts_with(cat({label, "  "}))) at.push_back(i);
    ASSERT_EQ(at.size(), 1u);
    const auto g = static_cast<std::size_t>(o.group);
    EXPECT_GT(at[0], headingat[g]);
    EXPECT_LT(at[0], headingat[g + 1]);
    const bool alone = lines[at[0]] == label;
    ASSERT_LT(at[0] + (alone ? 1 : 0), lines.size());
    const std::string& first = lines[at[0] + (alone ? 1 : 0)];
    EXPECT_EQ(first.find_first_not_of(' ', alone ? 0 : label.size()), 21u) << first;
  }
}

TEST(OptionDocs, ManPageNamesEveryOptionAndNoOther) {
  const std::string text = readfile(manpage);
  ASSERT_FALSE(text.empty()) << manpage;
  expect_same_options(unescaped(text), manpage);
}

// The README names other programs' options elsewhere (tracegen's, cmake's,
// cellfreq-dask's); its options reference names cellfreq's.
TEST(OptionDocs, ReadmeReferenceNamesEveryOptionAndNoOther) {
  const std::string reference = section(readfile(readme), "## Options");
  ASSERT_FALSE(reference.empty()) << readme << " has no section '## Options'";
  expect_same_options(reference, cat({readme, ", section Options"}));
}

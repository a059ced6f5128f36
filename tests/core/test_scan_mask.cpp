// Wildcard masks: the match table, the covering test used to merge masks, and masks that would
// need many backtrack positions.
#include <gtest/gtest.h>

#include <string>

#include "archive/core/qrvFileScan.h"

namespace {

struct TMatchCase {
  const char* Name;
  const char* Mask;
  bool Expected;
};

const TMatchCase kMatchCases[] = {
    // Match itself is literal: "*.*" needs a dot (the scanner and the readers' retry with an
    // added dot make it match every name); "*." means "no extension".
    {"README", "*.*", false},
    {"README", "*", true},
    {"a.b.c", "*.*", true},
    {"README", "*.", true},
    {"README.TXT", "*.", false},
    {"dir.", "*.", true},
    // "*?" acts as "*".
    {"AB", "A*?B", true},
    {"AXB", "A*?B", true},
    {"A", "A*?B", false},
    // Case is ignored on both sides.
    {"notes.txt", "*.TXT", true},
    {"NOTES.TXT", "*.txt", true},
    {"notes.txt1", "*.txt", false},
    {"x", "?", true},
    {"", "?", false},
    {"xy", "?", false},
    {"abc", "a?c", true},
    {"ac", "a?c", false},
    {"", "*", true},
    {"", "", true},
    {"a", "", false},
    {"abc", "abc", true},
    // Backtracking: the first candidate of a star is not always right.
    {"aaab", "*ab", true},
    {"abcabd", "*abd", true},
    {"mississippi", "m*iss*ppi", true},
    {"mississippi", "m*iss*pi?", false},
    {"ab.txt.bak", "*.txt", false},
    {"ab.txt.bak", "*.txt*", true},
    // No character classes.
    {"[a]", "[a]", true},
    {"a", "[a]", false},
    // Names with UTF-8 bytes match literally.
    {"\xE6\x97\xA5.txt", "*.txt", true},
    {"\xE6\x97\xA5.txt", "\xE6\x97\xA5*", true},
};

TEST(ScanMask, MatchTable) {
  for (const TMatchCase& c : kMatchCases)
    EXPECT_EQ(Match(c.Name, c.Mask), c.Expected) << "name \"" << c.Name << "\" mask \"" << c.Mask << '"';
}

// More stars than any fixed table of pending positions could hold, with a name that forces
// the matcher to retry each of them: the answer must still be right.
TEST(ScanMask, StarDotStarIsEveryNameForTheScanner) {
  EXPECT_EQ(NormalizeMask("*.*"), "*");
  EXPECT_EQ(NormalizeMask(""), "*");
  EXPECT_TRUE(Match("README", NormalizeMask("*.*")));
  EXPECT_TRUE(Match("README.", "*.*"));
}

TEST(ScanMask, ManyStarsStillMatch) {
  std::string mask, name;
  for (int i = 0; i < 200; ++i) mask += "*a";
  mask += "*b";
  name.assign(400, 'a');
  EXPECT_FALSE(Match(name, mask));
  name += 'b';
  EXPECT_TRUE(Match(name, mask));
  EXPECT_TRUE(
      Match(std::string(5000, 'x') + ".log", "*x*x*x*x*x*x*x*x*x*x*x*x*x*x*x*x*x*x*x*x*x*x*x*x*x*x*x*x*x*x*x*x*.log"));
}

TEST(ScanMask, CompiledItems) {
  const TInternalMask m("a*?b.");
  ASSERT_EQ(m.Items().size(), 4u);  // a, *b, ., end
  EXPECT_TRUE(m.Items()[1].Star);
  EXPECT_EQ(m.Items()[1].Ch, 'B');
  EXPECT_TRUE(m.EndsWithDot());
  EXPECT_EQ(m.Items().back().Kind, TInternalMask::ikEnd);
}

struct TCoverCase {
  const char* Wide;
  const char* Narrow;
  bool Expected;
};

// The merge of a directory group's masks must never drop a mask that still matches names the
// others do not: "?" does not cover "*" even though the one-character name "*" matches "?".
const TCoverCase kCoverCases[] = {
    {"*", "*.txt", true},     {"*.*", "*.txt", true},    {"*.txt", "*.*", false}, {"?", "*", false},
    {"*.t?t", "*.txt", true}, {"*.txt", "*.t?t", false}, {"a*", "ab*", true},     {"ab*", "a*", false},
    {"*.TXT", "*.txt", true}, {"*.", "*.", true},        {"*a*", "*a*b", true},
};

TEST(ScanMask, CoverTable) {
  for (const TCoverCase& c : kCoverCases)
    EXPECT_EQ(MaskCovers(c.Wide, c.Narrow), c.Expected) << c.Wide << " covers " << c.Narrow;
}

TEST(ScanMask, GroupsMergeMasksOfOneFolder) {
  std::vector<std::string> fileSpec = {"/d/*.txt", "/e/x", "/d/*.*", "/d/a?", "/D/*.c"};
  TScanGroup g = TakeScanGroup(fileSpec, "/root/");
  EXPECT_EQ(g.Dir, "/d/");
  EXPECT_EQ(g.Masks, std::vector<std::string>{"*"});  // the wider mask replaced the narrower
  // Folders are case-sensitive on Linux: /D is another folder and stays for its own group.
  EXPECT_EQ(fileSpec, (std::vector<std::string>{"/e/x", "/D/*.c"}));

  std::vector<std::string> mixed = {"/d/?", "/d/*.c", "/d/*"};
  g = TakeScanGroup(mixed, "/root/");
  EXPECT_EQ(g.Masks, std::vector<std::string>{"*"});
  std::vector<std::string> bare = {"*.txt", "?"};
  g = TakeScanGroup(bare, "/root/");
  EXPECT_EQ(g.Dir, "/root/");
  EXPECT_EQ(g.Masks, (std::vector<std::string>{"*.txt", "?"}));
}

}  // namespace

#include <gtest/gtest.h>

#include <string>

#include "archive/core/qrvStoredNames.h"

// Names stay apart through the table's growth, for names read as their own bytes and for names
// decoded from other bytes alike: the same bytes keep their name, other bytes that read alike
// get a numbered one, and a number already taken moves on.
TEST(StoredNames, KeptApartThroughGrowth) {
  for (const std::string rawPrefix : {"", "raw:"}) {
    TStoredNames names;
    auto name = [](int i) { return "d/f" + std::to_string(i) + ".txt"; };
    for (int i = 0; i < 20000; ++i) ASSERT_EQ(names.Unique(name(i), rawPrefix + name(i)), name(i));
    for (int i = 0; i < 20000; i += 997) {
      EXPECT_EQ(names.Unique(name(i), rawPrefix + name(i)), name(i));
      EXPECT_EQ(names.Unique(name(i), "other bytes"), "d/f" + std::to_string(i) + "~2.txt");
      EXPECT_EQ(names.Unique(name(i), "third bytes"), "d/f" + std::to_string(i) + "~3.txt");
    }
  }
  TStoredNames names;
  EXPECT_EQ(names.Unique("dir/", "x"), "dir/");
  EXPECT_EQ(names.Unique("dir/", "y"), "dir~2/");
  EXPECT_EQ(names.Unique("é.txt", "\x82.txt", "alt.txt"), "é.txt");
  EXPECT_EQ(names.Unique("é.txt", "\xc3\xa9.txt", "alt.txt"), "alt.txt");
  names.Clear();
  EXPECT_EQ(names.Unique("dir/", "y"), "dir/");
}

// Every view the arena gave keeps its text while blocks fill and long names come between.
TEST(StoredNames, ArenaViewsStayValid) {
  TNameArena arena;
  std::vector<std::pair<std::string_view, std::string>> kept;
  for (int i = 0; i < 3000; ++i) {
    const size_t len = i % 500 == 7 ? size_t(300000 + i) : size_t(i % 700);
    std::string text(len, char('a' + i % 26));
    kept.emplace_back(arena.Add(text), std::move(text));
  }
  for (const auto& [view, text] : kept) ASSERT_EQ(view, text);
}

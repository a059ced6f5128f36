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

// Every view the arena gave keeps its text while blocks fill (the plain ones, then huge-page
// chunks) and long names come between, in a first run and in one after Clear.
TEST(StoredNames, ArenaViewsStayValid) {
  TNameArena arena;
  for (int round = 0; round < 2; ++round) {
    std::vector<std::pair<std::string_view, std::string>> kept;
    for (int i = 0; i < 12000; ++i) {
      const size_t len = i % 2000 == 7 ? size_t(300000 + i) : size_t(i % 700);
      std::string text(len, char('a' + (i + round) % 26));
      kept.emplace_back(arena.Add(text), std::move(text));
    }
    for (const auto& [view, text] : kept) ASSERT_EQ(view, text);
    arena.Clear();
  }
}

// Items keep their values past the plain blocks into the huge-page chunks, through a cut back
// (the overlap removal) and a new run after clear.
TEST(StoredNames, BlockListKeepsItems) {
  struct TItem {
    uint64_t A = 0;
    uint32_t B = 7;
  };
  TBlockList<TItem> list;
  for (int round = 0; round < 2; ++round) {
    for (uint64_t i = 0; i < 100000; ++i) list.push_back({i * 3, uint32_t(i)});
    list.resize(50000);
    for (uint64_t i = 50000; i < 70000; ++i) list.push_back({i * 3, uint32_t(i)});
    ASSERT_EQ(list.size(), 70000u);
    for (size_t i = 0; i < list.size(); ++i) ASSERT_TRUE(list[i].A == i * 3 && list[i].B == i) << i;
    list.clear();
    EXPECT_EQ(list.size(), 0u);
  }
}

#include <gtest/gtest.h>

#include <string>

#include "archive/core/qrvStoredNames.h"

// Names stay apart through the table's growth: the same bytes keep their name, other bytes that
// read alike get a numbered one, and a number already taken moves on.
TEST(StoredNames, KeptApartThroughGrowth) {
  TStoredNames names;
  for (int i = 0; i < 20000; ++i) {
    const std::string n = "d/f" + std::to_string(i) + ".txt";
    ASSERT_EQ(names.Unique(n, n), n);
  }
  for (int i = 0; i < 20000; i += 997) {
    const std::string n = "d/f" + std::to_string(i) + ".txt";
    EXPECT_EQ(names.Unique(n, n), n);
    EXPECT_EQ(names.Unique(n, "other bytes"), "d/f" + std::to_string(i) + "~2.txt");
    EXPECT_EQ(names.Unique(n, "third bytes"), "d/f" + std::to_string(i) + "~3.txt");
  }
  EXPECT_EQ(names.Unique("dir/", "x"), "dir/");
  EXPECT_EQ(names.Unique("dir/", "y"), "dir~2/");
  EXPECT_EQ(names.Unique("é.txt", "\x82.txt", "alt.txt"), "é.txt");
  EXPECT_EQ(names.Unique("é.txt", "\xc3\xa9.txt", "alt.txt"), "alt.txt");
  names.Clear();
  EXPECT_EQ(names.Unique("dir/", "y"), "dir/");
}

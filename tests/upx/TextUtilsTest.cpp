#include "app/TextUtils.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

TEST(TextUtils, FormatGroupedGroupsByThree) {
  const struct {
    int64_t n;
    const char* text;
  } cases[] = {
      {0, "0"},
      {7, "7"},
      {999, "999"},
      {1000, "1,000"},
      {1234, "1,234"},
      {123456, "123,456"},
      {1234567, "1,234,567"},
      {-1234, "-1,234"},
      {INT64_MAX, "9,223,372,036,854,775,807"},
      {INT64_MIN, "-9,223,372,036,854,775,808"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatGrouped(c.n, ","), c.text) << c.n;
  EXPECT_EQ(FormatGrouped(1234567, "."), "1.234.567");
  // The C locale has no separator of its own: the comma stands in.
  EXPECT_EQ(FormatGrouped(1234), "1,234");
}

TEST(TextUtils, FileSizeKBRoundsUpAndIgnoresFolders) {
  const fs::path dir = fs::temp_directory_path() / ("brel-textutils-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const struct {
    size_t bytes;
    int64_t kb;
  } cases[] = {
      {0, 0}, {1, 1}, {1023, 1}, {1024, 1}, {1025, 2}, {1536, 2}, {2048, 2},
  };
  for (const auto& c : cases) {
    const fs::path f = dir / "f.bin";
    std::ofstream(f, std::ios::binary) << std::string(c.bytes, 'x');
    EXPECT_EQ(FileSizeKB(f.string()), c.kb) << c.bytes;
  }
  EXPECT_EQ(FileSizeKB(dir.string()), 0);
  EXPECT_EQ(FileSizeKB((dir / "missing").string()), 0);
  EXPECT_EQ(FileSizeKB(""), 0);
  fs::remove_all(dir);
}

TEST(TextUtils, TargetAndArchiveNames) {
  const struct {
    const char* path;
    bool upx;
    bool archive;
  } cases[] = {
      {"/a/setup.exe", true, false},
      {"/a/SETUP.EXE", true, false},
      {"/a/x.dll", true, false},
      {"/a/x.exe.txt", false, false},
      {"/a/x", false, false},
      {"/a.exe/x", false, false},
      {"/a/b.zip", false, true},
      {"/a/b.LHA", false, true},
      {"/a/b.tar", false, true},
      {"/a/b.tgz", false, true},
      {"/a/b.Tar.Gz", false, true},
      {"/a/b.gz", false, true},
      {"/a/d.7z", false, true},
      {"/a/d.tar.Z", false, true},
      {"/a/d.TAR.XZ", false, true},
      // Whole extensions only: pieces of a listed one are not.
      {"/a/x.ex", false, false},
      {"/a/main.c", false, false},
      {"/a/a.t", false, false},
      {"/a/x.z", false, false},
      {"/a/notes.", false, false},
      {"/a/x.exe;", false, false},
      {"/a/x.ZI", false, false},
      {"/a/.tar.gz", false, false},
      {"/a/.gz", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsUpxTarget(c.path), c.upx) << c.path;
    EXPECT_EQ(IsArchiveName(c.path), c.archive) << c.path;
  }
  // A folder is never a UPX target, whatever its name.
  const fs::path dir = fs::temp_directory_path() / ("brel-tools-" + std::to_string(::getpid()) + ".exe");
  fs::create_directories(dir);
  EXPECT_FALSE(IsUpxTarget(dir.string()));
  fs::remove_all(dir);
}

TEST(TextUtils, NamesAndCase) {
  EXPECT_EQ(ExtractFileName("/a/b/c.txt"), "c.txt");
  EXPECT_EQ(ExtractFileName("c.txt"), "c.txt");
  EXPECT_EQ(ExtractFileName("/a/b/"), "");
  EXPECT_EQ(ExtractFileExt("/a.b/c"), "");
  EXPECT_EQ(ExtractFileExt("/a/c.tar.gz"), ".gz");
  EXPECT_TRUE(SameText("Setup.EXE", "setup.exe"));
  EXPECT_FALSE(SameText("setup.exe", "setup.ex"));
  EXPECT_EQ(UpperCase("abcÄz"), "ABCÄZ");
}

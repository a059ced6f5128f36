#include "app/IniFile.h"
#include "ui/QtTestSupport.h"

#include <cstdlib>

namespace {

TEST(IniFile, IntegerValueRules) {
  struct Case {
    const char* text;
    bool ok;
    int32_t value;
  };
  const Case cases[] = {
      {"12", true, 12},
      {"-5", true, -5},
      {"+7", true, 7},
      {"0x1F", true, 31},
      {"0X1f", true, 31},
      {"0xFFFFFFFF", true, -1},
      {"0x", false, 0},
      {"0x1G", false, 0},
      {"0x123456789", false, 0},
      {"yes", false, 0},
      {"", false, 0},
      {"7a", false, 0},
      {"2147483647", true, INT32_MAX},
      {"-2147483648", true, INT32_MIN},
      {"2147483648", false, 0},
      {"99999999999999999999", false, 0},
      {"-", false, 0},
  };
  for (const Case& c : cases) {
    int32_t v = 0;
    EXPECT_EQ(ParseIniInt(c.text, v), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(v, c.value) << c.text;
    }
  }
}

TEST(IniFile, ReadsSectionsAndKeysWithoutRegardToCaseAndFallsBack) {
  TTempDir dir;
  const std::string ini = dir.File("s.ini", 0,
                                   "; comment\r\n[opt]\r\n zipcompression = 2 \r\nUpxBackupFile=yes\r\n"
                                   "[FORM]\nMainTop=0x10\n[OPT]\nUpxCompLevel=3\n");
  const std::string base = dir / "s";
  EXPECT_EQ(ReadIniInt(base, "OPT", "ZipCompression", 0), 2);
  EXPECT_EQ(ReadIniInt(base, "FORM", "MainTop", 5), 16);
  EXPECT_TRUE(ReadIniBool(base, "OPT", "UpxBackupFile", true));  // not a number: default
  EXPECT_FALSE(ReadIniBool(base, "OPT", "UpxBackupFile", false));
  EXPECT_EQ(ReadIniInt(base, "OPT", "Missing", 9), 9);
  EXPECT_EQ(ReadIniInt(base, "NONE", "ZipCompression", 4), 4);
  EXPECT_EQ(ReadIniInt(dir / "absent", "OPT", "ZipCompression", 6), 6);
  // Only the first section of a name counts, as profile files do.
  EXPECT_EQ(ReadIniInt(base, "OPT", "UpxCompLevel", 6), 6);
}

TEST(IniFile, WritingKeepsEveryOtherLine) {
  TTempDir dir;
  const std::string base = dir / "s";
  dir.File("s.ini", 0, "; keep me\n[OPT]\nZipCompression=1\nOther=x\n\n[FORM]\nMainTop=3\n");
  WriteIniInt(base, "opt", "zipcompression", 3);
  WriteIniBool(base, "OPT", "UpxAutoSelect", false);
  WriteIniInt(base, "FORM", "MainLeft", -20);
  WriteIniBool(base, "NEW", "Flag", true);
  EXPECT_EQ(testsupport::ReadFile(base + ".ini"),
            "; keep me\n[OPT]\nzipcompression=3\nOther=x\nUpxAutoSelect=0\n\n[FORM]\nMainTop=3\n"
            "MainLeft=-20\n\n[NEW]\nFlag=1\n");
  EXPECT_EQ(ReadIniInt(base, "OPT", "ZipCompression", 0), 3);
}

TEST(IniFile, WriteCreatesFileAndFolderAndLeavesNoTemporaryFile) {
  TTempDir dir;
  const std::string base = dir / "sub/deeper/brel";
  WriteIniInt(base, "OPT", "UpxCompLevel", 9);
  EXPECT_EQ(testsupport::ReadFile(base + ".ini"), "[OPT]\nUpxCompLevel=9\n");
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir / "sub/deeper"))
    files += entry.is_regular_file() ? 1 : 0;
  EXPECT_EQ(files, 1u);
}

TEST(IniFile, SettingsLiveOnlyInTheUsersConfigFolder) {
  TTempDir dir;
  const testsupport::ScopedEnv config("XDG_CONFIG_HOME", dir.Path());
  // Never beside the program, even where that folder is writable.
  for (const std::string exe : {dir / "brel", std::string("/usr/bin/brel")})
    EXPECT_EQ(SettingsBaseFor(exe), dir / "brel/brel");
  const testsupport::ScopedEnv relative("XDG_CONFIG_HOME", "not/absolute");
  const testsupport::ScopedEnv home("HOME", dir / "home");
  EXPECT_EQ(SettingsBaseFor(dir / "brel"), dir / "home/.config/brel/brel");
}

}  // namespace

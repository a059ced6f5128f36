// Names from archives reach the terminal without control characters.
#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace {

using namespace testsupport;

TEST(CliNames, ControlCharactersNeverReachTheTerminal) {
  TempDir t;
  const std::string evil = "a\x1b[2Jb\x07.txt";
  WriteFile(t / "src" / evil, "data");
  const std::string zip = (t / "e.zip").string();
  ASSERT_EQ(testsupport::RunCli({"a", "-q", zip, (t / "src").string()}).status, 0);
  const CommandResult list = testsupport::RunCli({"l", zip});
  EXPECT_EQ(list.status, 0) << list.out;
  EXPECT_NE(list.out.find("src/a?[2Jb?.txt"), std::string::npos) << list.out;
  EXPECT_EQ(list.out.find('\x1b'), std::string::npos);

  // An error naming the entry: damage its data so the check fails.
  std::string bytes = ReadFile(zip);
  const size_t at = bytes.find("data");
  ASSERT_NE(at, std::string::npos);
  bytes[at] = 'D';
  WriteFile(zip, bytes);
  const CommandResult test = testsupport::RunCli({"t", zip});
  EXPECT_EQ(test.status, 1);
  EXPECT_NE(test.out.find("25151"), std::string::npos) << test.out;
  EXPECT_EQ(test.out.find('\x1b'), std::string::npos);
  EXPECT_EQ(test.out.find('\x07'), std::string::npos);
}

}  // namespace

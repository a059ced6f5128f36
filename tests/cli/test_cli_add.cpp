// brel-cli a: stored names are relative to the common folder of the PATHs given.
#include <gtest/gtest.h>

#include <set>

#include "support/TestSupport.h"

namespace {

using namespace testsupport;

TEST(CliAdd, NamesAreRelativeToTheCommonFolderOfThePaths) {
  TempDir t;
  WriteFile(t / "w/docs/a.txt", "a");
  WriteFile(t / "w/docs/sub/b.txt", "b");
  WriteFile(t / "w/top.txt", "t");
  struct Case {
    std::vector<std::string> paths;  // relative to w/, the current folder of the run
    std::set<std::string> names;
  };
  const Case cases[] = {
      {{"docs"}, {"docs/a.txt", "docs/sub/b.txt"}},
      {{"docs/"}, {"docs/a.txt", "docs/sub/b.txt"}},
      {{"docs/."}, {"a.txt", "sub/b.txt"}},
      {{"docs", "top.txt"}, {"docs/a.txt", "docs/sub/b.txt", "top.txt"}},
      {{"docs/sub/b.txt"}, {"b.txt"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.paths.front());
    const auto zip = t / "n.zip";
    fs::remove(zip);
    std::vector<std::string> args = {"a", "-q", zip.string()};
    args.insert(args.end(), c.paths.begin(), c.paths.end());
    const CommandResult a = RunCli(args, t / "w");
    ASSERT_EQ(a.status, 0) << a.out;
    const auto out = t / "out";
    fs::remove_all(out);
    ASSERT_EQ(RunCli({"x", "-q", "-o", out.string(), zip.string()}).status, 0);
    std::set<std::string> names;
    for (const auto& [name, content] : ReadTree(out))
      if (name.back() != '/') names.insert(name);
    EXPECT_EQ(names, c.names);
  }
}

}  // namespace

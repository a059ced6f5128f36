// Helpers shared by every test program: temporary folders, files, environment variables, child
// commands, tree comparison. Linked into each test_<folder> program as the library `testsupport`,
// which also gives every program a private XDG_DATA_HOME, so that what tests move to the Trash
// never reaches the user's own.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

namespace fs = std::filesystem;

// A fresh folder "brel-<tag>-XXXXXX" in parent (created when missing; by default the system
// temporary folder), removed with everything in it on exit, read-only leftovers included.
class TempDir {
 public:
  explicit TempDir(const std::string& tag = "t", const fs::path& parent = {});
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

// The same for code that takes paths as std::string: Path() and "/" give strings.
class StringTempDir : public TempDir {
 public:
  using TempDir::TempDir;
  std::string Path() const { return path().string(); }
  std::string operator/(const std::string& name) const { return Path() + "/" + name; }
};

// Sets an environment variable for a scope, then restores what was there (unset included).
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  bool had_ = false;
  std::string old_;
};

std::string ReadFile(const fs::path& p);
void WriteFile(const fs::path& p, const std::string& data);                   // creates parent folders
void WriteFile(const fs::path& p, const std::string& data, fs::perms perms);  // and sets perms
std::string RandomBytes(size_t n, uint32_t seed);                             // incompressible data
std::string TextBytes(size_t n, uint32_t seed);                               // compressible text

struct CommandResult {
  int status = -1;  // exit status, or -1 when the command could not run or was killed
  std::string out;  // standard output and standard error together
};
// Runs argv without a shell (the first element is looked up in PATH), from folder cwd when given.
CommandResult Run(const std::vector<std::string>& argv, const fs::path& cwd = {});
bool HaveTool(const std::string& name);  // an executable of that name is in PATH
// The names of those tools that are not in PATH, space separated ("" when all are there).
std::string MissingTools(const std::vector<std::string>& names);

// Skips the current test, naming the missing peer tools, unless every one is in PATH.
#define REQUIRE_TOOLS(...)                                                                      \
  if (const std::string missing_ = testsupport::MissingTools({__VA_ARGS__}); !missing_.empty()) \
  GTEST_SKIP() << "peer tools missing: " << missing_

// Regular files below root: relative path ("/" separators) -> content. Folders are listed with
// a trailing "/" and empty content.
std::map<std::string, std::string> ReadTree(const fs::path& root);

#ifdef BREL_CLI
// Runs brel-cli with these arguments.
inline CommandResult RunCli(std::vector<std::string> args, const fs::path& cwd = {}) {
  args.insert(args.begin(), BREL_CLI);
  return Run(args, cwd);
}
#endif

// Path of a file in shared/testdata, e.g. Testdata("zip/test_read_format_zip.zip").
fs::path Testdata(const std::string& rel);

}  // namespace testsupport

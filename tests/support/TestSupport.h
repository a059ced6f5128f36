// Helpers shared by every test program: temporary folders, files, child commands, tree
// comparison. Linked into each test_<folder> program as the library `testsupport`.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

namespace fs = std::filesystem;

// A fresh folder under the system temporary folder, removed with everything in it on exit.
class TempDir {
public:
    explicit TempDir(const std::string& tag = "t");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

std::string ReadFile(const fs::path& p);
void WriteFile(const fs::path& p, const std::string& data);  // creates parent folders
std::string RandomBytes(size_t n, uint32_t seed);             // incompressible data
std::string TextBytes(size_t n, uint32_t seed);               // compressible text

struct CommandResult {
    int status = -1;  // exit status, or -1 when the command could not run or was killed
    std::string out;  // standard output and standard error together
};
// Runs argv without a shell (the first element is looked up in PATH), from folder cwd when given.
CommandResult Run(const std::vector<std::string>& argv, const fs::path& cwd = {});
bool HaveTool(const std::string& name);  // an executable of that name is in PATH

// Regular files below root: relative path ("/" separators) -> content. Folders are listed with
// a trailing "/" and empty content.
std::map<std::string, std::string> ReadTree(const fs::path& root);

// Path of a file in shared/testdata, e.g. Testdata("zip/test_read_format_zip.zip").
fs::path Testdata(const std::string& rel);

}  // namespace testsupport

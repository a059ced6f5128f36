// Test helpers: a scratch folder on an ordinary disk, a folder on another file system, and a
// small tmpfs for disk-full tests.
#pragma once

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace testutil {

namespace fs = std::filesystem;

// A fresh folder under Parent (default: the build folder, an ordinary disk), removed at the end.
class TTestDir : public testsupport::StringTempDir {
 public:
  explicit TTestDir(const std::string& Parent = BREL_BINARY_DIR "/testtmp") : StringTempDir("t", Parent) {}
  // Names in the folder that start with Prefix.
  std::vector<std::string> Files(const std::string& Prefix = "") const {
    std::vector<std::string> Out;
    for (const auto& E : fs::directory_iterator(path())) {
      std::string Name = E.path().filename().string();
      if (Name.rfind(Prefix, 0) == 0) Out.push_back(Name);
    }
    return Out;
  }
};

inline dev_t DeviceOf(const std::string& Path) {
  struct stat St {};
  return ::stat(Path.c_str(), &St) == 0 ? St.st_dev : 0;
}

// A folder on another file system than the build folder (/dev/shm), or "" when there is none.
inline std::string OtherFileSystemDir() {
  const std::string Shm = "/dev/shm";
  if (::access(Shm.c_str(), W_OK) == 0 && DeviceOf(Shm) != DeviceOf(BREL_BINARY_DIR)) return Shm;
  return {};
}

// A tmpfs of a few KiB mounted on a fresh folder; Mounted() is false when mounting is not
// permitted (the test then skips).
class TSmallTmpfs {
 public:
  explicit TSmallTmpfs(const std::string& Size = "64k") {
    std::string Opts = "size=" + Size;
    FMounted = ::mount("tmpfs", FDir.Path().c_str(), "tmpfs", 0, Opts.c_str()) == 0;
  }
  ~TSmallTmpfs() {
    if (FMounted) ::umount2(FDir.Path().c_str(), MNT_DETACH);
  }
  bool Mounted() const { return FMounted; }
  const TTestDir& Dir() const { return FDir; }

 private:
  TTestDir FDir;
  bool FMounted = false;
};

}  // namespace testutil

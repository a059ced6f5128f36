// The private folder that holds the packer while the program runs (UpxDir).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

// Creates or adopts the folder on construction and cleans up on destruction:
//   - $XDG_RUNTIME_DIR/~vxtmp when XDG_RUNTIME_DIR is set (a per-user folder of mode 0700). An
//     existing ~vxtmp there is adopted only when it is a real folder (not a link) owned by us;
//   - otherwise (or when that fails) a new folder ~vxtmp-XXXXXX made by mkdtemp in $TMPDIR or /tmp.
// The folder gets mode 0700. Everything happens relative to an open handle of the folder, so a
// link planted in its place is never followed. Destruction removes only what this object made:
// the packer file it wrote (if it is still that file) and the folder if it created it (and only
// when it is empty).
class TUpxDir {
 public:
  TUpxDir();  // from the environment, as above
  // runtimeDir: "" to skip the runtime folder; tempDir: where mkdtemp works.
  TUpxDir(const std::string& runtimeDir, const std::string& tempDir);
  TUpxDir(const TUpxDir&) = delete;
  TUpxDir& operator=(const TUpxDir&) = delete;
  ~TUpxDir();

  // $TMPDIR, or /tmp when it is not set.
  static std::string DefaultTempDir();

  // The folder ("" when none could be made or adopted).
  const std::string& Path() const { return path_; }
  // Path() + "/upx": where WriteUpxExe puts the packer ("" when there is no folder).
  std::string UpxPath() const;
  // Writes bytes to Path() + "/upx" with mode 0700, replacing any file or link of that name
  // atomically (a new file is written beside it and renamed over it). False on any failure;
  // a UPX job then reports that the packer cannot be started.
  bool WriteUpxExe(std::span<const unsigned char> bytes);

 private:
  bool Adopt(const std::string& runtimeDir);
  bool MakeTemp(const std::string& tempDir);

  std::string path_;
  int dirFd_ = -1;
  bool created_ = false;
  bool wroteUpx_ = false;
  uint64_t upxDev_ = 0, upxIno_ = 0;  // identity of the packer file we wrote
};

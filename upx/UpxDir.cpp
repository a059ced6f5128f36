#include "upx/UpxDir.h"

#include <cerrno>
#include <cstdlib>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kUpxName = "upx";

int OpenFolderNoFollow(const std::string& path) {
  return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

bool WriteAll(int fd, const unsigned char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return (v && *v) ? std::string(v) : fallback;
}

}  // namespace

TUpxDir::TUpxDir() : TUpxDir(EnvOr("XDG_RUNTIME_DIR", ""), DefaultTempDir()) {}

std::string TUpxDir::DefaultTempDir() { return EnvOr("TMPDIR", "/tmp"); }

TUpxDir::TUpxDir(const std::string& runtimeDir, const std::string& tempDir) {
  if (!Adopt(runtimeDir)) MakeTemp(tempDir);
}

bool TUpxDir::Adopt(const std::string& runtimeDir) {
  // The runtime folder must be absolute to be used at all.
  if (runtimeDir.empty() || runtimeDir[0] != '/') return false;
  const std::string path = runtimeDir + "/~vxtmp";
  bool created = ::mkdir(path.c_str(), 0700) == 0;
  if (!created && errno != EEXIST) return false;
  const int fd = OpenFolderNoFollow(path);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || ::fchmod(fd, 0700) != 0) {
    if (fd >= 0) ::close(fd);
    if (created) ::rmdir(path.c_str());
    return false;
  }
  path_ = path;
  dirFd_ = fd;
  created_ = created;
  return true;
}

bool TUpxDir::MakeTemp(const std::string& tempDir) {
  std::string templ = (tempDir.empty() ? std::string("/tmp") : tempDir) + "/~vxtmp-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (!::mkdtemp(buf.data())) return false;
  const std::string path(buf.data());
  const int fd = OpenFolderNoFollow(path);
  if (fd < 0) {
    ::rmdir(path.c_str());
    return false;
  }
  path_ = path;
  dirFd_ = fd;
  created_ = true;
  return true;
}

TUpxDir::~TUpxDir() {
  if (dirFd_ < 0) return;
  struct stat st {};
  if (wroteUpx_ && ::fstatat(dirFd_, kUpxName, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      static_cast<uint64_t>(st.st_dev) == upxDev_ && static_cast<uint64_t>(st.st_ino) == upxIno_)
    ::unlinkat(dirFd_, kUpxName, 0);
  // Remove the folder only when it is still the one we made (rmdir refuses a non-empty one).
  struct stat self {
  }, named{};
  if (created_ && ::fstat(dirFd_, &self) == 0 && ::lstat(path_.c_str(), &named) == 0 && self.st_dev == named.st_dev &&
      self.st_ino == named.st_ino)
    ::rmdir(path_.c_str());
  ::close(dirFd_);
}

std::string TUpxDir::UpxPath() const { return path_.empty() ? std::string() : path_ + "/" + kUpxName; }

bool TUpxDir::WriteUpxExe(std::span<const unsigned char> bytes) {
  if (dirFd_ < 0 || bytes.empty()) return false;
  static unsigned counter = 0;
  const std::string temp = ".upx-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
  const int fd = ::openat(dirFd_, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = WriteAll(fd, bytes.data(), bytes.size()) && ::fchmod(fd, 0700) == 0 && ::fstat(fd, &st) == 0;
  ok = (::close(fd) == 0) && ok;
  // rename replaces a file or a link named upx without following it.
  if (!ok || ::renameat(dirFd_, temp.c_str(), dirFd_, kUpxName) != 0) {
    ::unlinkat(dirFd_, temp.c_str(), 0);
    return false;
  }
  wroteUpx_ = true;
  upxDev_ = static_cast<uint64_t>(st.st_dev);
  upxIno_ = static_cast<uint64_t>(st.st_ino);
  return true;
}

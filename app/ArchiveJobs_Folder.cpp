// The folder an extraction writes into: always a new folder beside the archive, made and reached
// through the archive folder's descriptor without following a link.
#include "app/ArchiveJobs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// Names in a folder (without "." and ".."), at most Limit of them; false when it cannot be read.
bool ListFolder(int Dir, const std::string& Name, size_t Limit, std::vector<std::string>& Names) {
  const int fd = ::openat(Dir, Name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  DIR* d = ::fdopendir(fd);
  if (!d) {
    ::close(fd);
    return false;
  }
  while (const dirent* e = ::readdir(d)) {
    const std::string n = e->d_name;
    if (n == "." || n == "..") continue;
    Names.push_back(n);
    if (Names.size() > Limit) break;
  }
  ::closedir(d);
  return true;
}

bool IsRealFolder(int Dir, const std::string& Name) {
  struct stat st {};
  return ::fstatat(Dir, Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

// Whether Name below Dir holds nothing but folders (no file, no link); with Remove, those
// folders are then removed. Depth bounds a hostile nesting.
bool OnlyFolders(int Dir, const std::string& Name, bool Remove, int Depth = 0) {
  if (Depth > 256 || !IsRealFolder(Dir, Name)) return false;
  std::vector<std::string> names;
  if (!ListFolder(Dir, Name, SIZE_MAX, names)) return false;
  const int fd = ::openat(Dir, Name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  bool only = true;
  for (size_t i = 0; only && i < names.size(); ++i) only = OnlyFolders(fd, names[i], Remove, Depth + 1);
  ::close(fd);
  return only && (!Remove || ::unlinkat(Dir, Name.c_str(), AT_REMOVEDIR) == 0);
}

}  // namespace

TUnpackFolder::~TUnpackFolder() {
  if (FParent >= 0) ::close(FParent);
}

bool TUnpackFolder::Create(const std::string& Parent, const std::string& Name) {
  FParentPath = Parent.empty() ? std::string(".") : Parent;
  FBase = Name;
  FParent = ::open(FParentPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (FParent < 0) {
    Reason = std::strerror(errno);
    return false;
  }
  for (int n = 1; n < 1000; ++n) {
    const std::string name = n == 1 ? Name : Name + " (" + std::to_string(n) + ")";
    if (::mkdirat(FParent, name.c_str(), 0777) == 0) {
      FName = name;
      return true;
    }
    if (errno != EEXIST) {
      Reason = std::strerror(errno);
      return false;
    }
    struct stat st {};
    if (::fstatat(FParent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      Reason = std::strerror(errno);
      return false;
    }
    // An existing folder is never merged into: the next number is tried. A link or a file
    // in the way of the archive's own name is the user's to sort out.
    if (n == 1 && !S_ISDIR(st.st_mode)) {
      Reason = S_ISLNK(st.st_mode) ? "a link of that name is in the way" : "a file of that name is in the way";
      return false;
    }
  }
  Reason = "no free folder name";
  return false;
}

std::string TUnpackFolder::Path() const { return FParentPath == "/" ? "/" + FName : FParentPath + "/" + FName; }

void TUnpackFolder::LiftSingleTop() {
  std::vector<std::string> names;
  if (FParent < 0 || !ListFolder(FParent, FName, 1, names) || names.size() != 1 || names[0] != FBase) return;
  const int fd = ::openat(FParent, FName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  // The outer folder steps aside under a hidden name, the inner one takes its name, the outer
  // (now empty) goes. Every step is a rename inside the archive's folder: nothing is copied.
  std::string aside;
  for (int n = 1; n < 100 && aside.empty(); ++n) {
    const std::string name = "." + FName + ".qrv" + std::to_string(n);
    if (::renameat2(FParent, FName.c_str(), FParent, name.c_str(), RENAME_NOREPLACE) == 0)
      aside = name;
    else if (errno != EEXIST)
      break;
  }
  if (!aside.empty()) {
    if (IsRealFolder(fd, FBase) && ::renameat2(fd, FBase.c_str(), FParent, FName.c_str(), RENAME_NOREPLACE) == 0)
      ::unlinkat(FParent, aside.c_str(), AT_REMOVEDIR);
    else
      ::renameat2(FParent, aside.c_str(), FParent, FName.c_str(), RENAME_NOREPLACE);
  }
  ::close(fd);
}

void TUnpackFolder::RemoveIfEmpty() {
  if (FParent >= 0 && OnlyFolders(FParent, FName, false)) OnlyFolders(FParent, FName, true);
}

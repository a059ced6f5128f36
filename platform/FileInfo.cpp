#include "platform/FileInfo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/DosTime.h"
#include "platform/Paths.h"

uint16_t AttrFromMode(uint32_t Mode, const std::string& Path) {
  uint16_t Attr = 0;
  if (S_ISDIR(Mode))
    Attr |= faDirectory;
  else
    Attr |= faArchive;
  if ((Mode & S_IWUSR) == 0) Attr |= faReadOnly;
  const std::string Name = BaseOf(Path);
  if (Name.size() > 1 && Name[0] == '.' && Name != "..") Attr |= faHidden;
  return Attr;
}

bool GetFileInfo(const std::string& Path, TFileInfo& Info, bool FollowLinks) {
  struct stat Lst {};
  if (lstat(Path.c_str(), &Lst) != 0) return false;
  struct stat St = Lst;
  const bool IsLink = S_ISLNK(Lst.st_mode);
  if (IsLink && FollowLinks && stat(Path.c_str(), &St) != 0) return false;
  Info.IsLink = IsLink;
  Info.IsDir = S_ISDIR(St.st_mode);
  Info.Size = Info.IsDir ? 0 : static_cast<int64_t>(St.st_size);
  Info.Mode = St.st_mode;
  Info.Dev = static_cast<uint64_t>(St.st_dev);
  Info.Ino = static_cast<uint64_t>(St.st_ino);
  Info.NLink = static_cast<uint64_t>(St.st_nlink);
  Info.Attr = AttrFromMode(St.st_mode, Path);
  Info.MTime = static_cast<int64_t>(St.st_mtim.tv_sec);
  Info.MTimeNsec = static_cast<uint32_t>(St.st_mtim.tv_nsec);
  Info.DosTime = UnixToDosDateTime(Info.MTime);
  return true;
}

bool ReadLinkTarget(const std::string& Path, std::string& Target) {
  std::string Buf(256, '\0');
  for (;;) {
    const ssize_t N = readlink(Path.c_str(), Buf.data(), Buf.size());
    if (N < 0) return false;
    if (static_cast<size_t>(N) < Buf.size()) {
      Target.assign(Buf.data(), static_cast<size_t>(N));
      return true;
    }
    Buf.resize(Buf.size() * 2);
  }
}

bool FileExists(const std::string& Path) {
  struct stat St {};
  return stat(Path.c_str(), &St) == 0 && !S_ISDIR(St.st_mode);
}

bool DirectoryExists(const std::string& Path) {
  struct stat St {};
  return stat(Path.c_str(), &St) == 0 && S_ISDIR(St.st_mode);
}

bool SetFileMTime(const std::string& Path, int64_t UnixSeconds) {
  struct timespec Times[2];
  Times[0].tv_sec = 0;
  Times[0].tv_nsec = UTIME_OMIT;
  Times[1].tv_sec = static_cast<time_t>(UnixSeconds);
  Times[1].tv_nsec = 0;
  return utimensat(AT_FDCWD, Path.c_str(), Times, 0) == 0;
}

bool SetFileDosTime(const std::string& Path, uint32_t Dos) { return SetFileMTime(Path, DosDateTimeToUnix(Dos)); }

bool SetFileAttr(const std::string& Path, uint16_t Attr) {
  struct stat St {};
  if (stat(Path.c_str(), &St) != 0) return false;
  mode_t Mode = St.st_mode & 07777;
  mode_t NewMode = (Attr & faReadOnly) ? (Mode & ~static_cast<mode_t>(0222)) : (Mode | S_IWUSR);
  if (NewMode == Mode) return true;
  return chmod(Path.c_str(), NewMode) == 0;
}

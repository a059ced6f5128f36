#include "platform/Trash.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "platform/Paths.h"

namespace fs = std::filesystem;

namespace {

std::string Fail(std::string* Error, const std::string& What) {
  if (Error) *Error = What;
  return What;
}

// Percent-encodes a path for the Path= line of a .trashinfo file (RFC 2396 escaping of bytes
// other than unreserved characters and "/").
std::string EncodeTrashPath(const std::string& Path) {
  static const char Hex[] = "0123456789ABCDEF";
  std::string Out;
  for (unsigned char C : Path) {
    if (std::isalnum(C) || std::strchr("/-_.!~*'()", C) != nullptr) {
      Out += static_cast<char>(C);
    } else {
      Out += '%';
      Out += Hex[C >> 4];
      Out += Hex[C & 15];
    }
  }
  return Out;
}

std::string DeletionDate() {
  std::time_t Now = std::time(nullptr);
  std::tm Tm{};
  localtime_r(&Now, &Tm);
  char Buf[32];
  std::strftime(Buf, sizeof Buf, "%Y-%m-%dT%H:%M:%S", &Tm);
  return Buf;
}

// Absolute form of Path without resolving its last component (a link is trashed itself).
std::string AbsolutePath(const std::string& Path) {
  std::error_code Ec;
  fs::path Abs = fs::absolute(fs::path(Path), Ec);
  if (Ec) return Path;
  return Abs.lexically_normal().string();
}

// Reserves a name in the Trash by creating its .trashinfo record with O_EXCL; returns the name
// under files/ and sets InfoPath, or "" on failure.
std::string ReserveTrashName(const std::string& Trash, const std::string& Original, std::string& InfoPath,
                             std::string* Error) {
  const std::string Base = BaseOf(Original);
  const std::string Info = "[Trash Info]\nPath=" + EncodeTrashPath(Original) + "\nDeletionDate=" +
                           DeletionDate() + "\n";
  for (int N = 1; N < 10000; ++N) {
    std::string Name = N == 1 ? Base : Base + "." + std::to_string(N);
    InfoPath = Trash + "/info/" + Name + ".trashinfo";
    int Fd = ::open(InfoPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (Fd < 0) {
      if (errno == EEXIST) continue;
      Fail(Error, "cannot write " + InfoPath + ": " + std::strerror(errno));
      return {};
    }
    bool Ok = ::write(Fd, Info.data(), Info.size()) == static_cast<ssize_t>(Info.size());
    Ok = ::close(Fd) == 0 && Ok;
    struct stat St {};
    // The files/ entry may exist without an info record (left by another program).
    if (Ok && ::lstat((Trash + "/files/" + Name).c_str(), &St) != 0) return Name;
    ::unlink(InfoPath.c_str());
    if (!Ok) {
      Fail(Error, "cannot write " + InfoPath);
      return {};
    }
  }
  Fail(Error, "no free name in the Trash");
  return {};
}

bool EnsureTrashDirs(const std::string& Trash, std::string* Error) {
  std::error_code Ec;
  for (const char* Sub : {"/files", "/info"}) {
    fs::create_directories(Trash + Sub, Ec);
    if (Ec) {
      Fail(Error, "cannot create " + Trash + Sub + ": " + Ec.message());
      return false;
    }
  }
  ::chmod(Trash.c_str(), 0700);
  return true;
}

// What placing an item in the Trash came to.
enum TPlaced { plFailed, plDone, plPartly };  // plPartly: in the Trash, original not fully removed

// Puts Path into the Trash under a new name: Place moves or links it there.
template <typename TPlace>
bool PutIntoTrash(const std::string& Path, std::string* Error, TPlace Place) {
  struct stat St {};
  if (::lstat(Path.c_str(), &St) != 0) {
    Fail(Error, Path + ": " + std::strerror(errno));
    return false;
  }
  const std::string Trash = HomeTrashDir();
  if (!EnsureTrashDirs(Trash, Error)) return false;
  const std::string Original = AbsolutePath(Path);
  std::string InfoPath;
  std::string Name = ReserveTrashName(Trash, Original, InfoPath, Error);
  if (Name.empty()) return false;
  const TPlaced Result = Place(Path, Trash + "/files/" + Name);
  if (Result == plFailed) ::unlink(InfoPath.c_str());
  return Result == plDone;
}

// Copies Path (file, link or folder tree) to Dest; a failed copy leaves nothing at Dest.
bool CopyTree(const std::string& Path, const std::string& Dest, std::string* Error) {
  std::error_code Ec;
  fs::copy(Path, Dest, fs::copy_options::recursive | fs::copy_options::copy_symlinks, Ec);
  if (!Ec) return true;
  Fail(Error, "cannot copy " + Path + " into the Trash: " + Ec.message());
  fs::remove_all(Dest, Ec);
  return false;
}

}  // namespace

std::string HomeTrashDir() {
  const char* DataHome = std::getenv("XDG_DATA_HOME");
  if (DataHome != nullptr && DataHome[0] == '/') return std::string(DataHome) + "/Trash";
  const char* Home = std::getenv("HOME");
  return std::string(Home != nullptr ? Home : "") + "/.local/share/Trash";
}

bool MoveToTrash(const std::string& Path, std::string* Error) {
  return PutIntoTrash(Path, Error, [&](const std::string& From, const std::string& To) {
    if (::rename(From.c_str(), To.c_str()) == 0) return plDone;
    if (errno != EXDEV) {
      Fail(Error, "cannot move " + From + " to the Trash: " + std::strerror(errno));
      return plFailed;
    }
    // Another file system: copy, then remove the original only when the copy is complete.
    if (!CopyTree(From, To, Error)) return plFailed;
    std::error_code Ec;
    fs::remove_all(From, Ec);
    if (!Ec) return plDone;
    Fail(Error, "copied to the Trash but could not remove " + From + ": " + Ec.message());
    return plPartly;
  });
}

bool KeepCopyInTrash(const std::string& Path, std::string* Error) {
  return PutIntoTrash(Path, Error, [&](const std::string& From, const std::string& To) {
    if (::link(From.c_str(), To.c_str()) == 0) return plDone;
    return CopyTree(From, To, Error) ? plDone : plFailed;
  });
}

#include "platform/Trash.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/Paths.h"

namespace fs = std::filesystem;

namespace {

bool Fail(std::string* Error, const std::string& What) {
  if (Error) *Error = What;
  return false;
}

std::string Why(const std::string& What) { return What + ": " + std::strerror(errno ? errno : EIO); }

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

// The name an item gets in the Trash: its own, cut short enough that the ".trashinfo" record
// and a number still fit in a file name (never inside a UTF-8 sequence).
std::string TrashBaseName(const std::string& Original) {
  std::string Base = BaseOf(Original);
  constexpr size_t kMax = 200;
  if (Base.size() > kMax) {
    size_t Cut = kMax;
    while (Cut > 0 && (static_cast<unsigned char>(Base[Cut]) & 0xC0) == 0x80) --Cut;
    Base.resize(Cut);
  }
  return Base.empty() || Base == "/" ? std::string("item") : Base;
}

// Opens (creating when missing) folder Name of Dir, never through a link.
int OpenOwnDir(int Dir, const char* Name) {
  if (::mkdirat(Dir, Name, 0700) != 0 && errno != EEXIST) return -1;
  return ::openat(Dir, Name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The names in an open folder (without "." and "..").
bool ListDir(int Dir, std::vector<std::string>& Names) {
  const int Fd = ::fcntl(Dir, F_DUPFD_CLOEXEC, 0);
  DIR* D = Fd >= 0 ? ::fdopendir(Fd) : nullptr;
  if (D == nullptr) {
    if (Fd >= 0) ::close(Fd);
    return false;
  }
  while (const dirent* E = ::readdir(D)) {
    const std::string N = E->d_name;
    if (N != "." && N != "..") Names.push_back(N);
  }
  ::closedir(D);
  return true;
}

// Removes entry Name of Dir, a folder with everything below it; no link is followed.
bool RemoveTreeAt(int Dir, const std::string& Name) {
  if (::unlinkat(Dir, Name.c_str(), 0) == 0) return true;
  if (errno != EISDIR && errno != EPERM) return false;
  const int Sub = ::openat(Dir, Name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (Sub < 0) return false;
  std::vector<std::string> Names;
  bool Ok = ListDir(Sub, Names);
  for (const std::string& N : Names) Ok = RemoveTreeAt(Sub, N) && Ok;
  ::close(Sub);
  return Ok && ::unlinkat(Dir, Name.c_str(), AT_REMOVEDIR) == 0;
}

// Copies entry FromName of From (a file, link or folder tree) to the new ToName of To, no link
// followed; a failed copy leaves nothing at ToName.
bool CopyTreeAt(int From, const std::string& FromName, int To, const std::string& ToName) {
  struct stat St {};
  if (::fstatat(From, FromName.c_str(), &St, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (S_ISREG(St.st_mode)) return CopyFileAt(From, FromName, To, ToName);
  if (S_ISLNK(St.st_mode)) {
    std::vector<char> Target(size_t(St.st_size) + 2);
    const ssize_t N = ::readlinkat(From, FromName.c_str(), Target.data(), Target.size() - 1);
    if (N < 0 || size_t(N) >= Target.size() - 1) return false;
    Target[size_t(N)] = 0;
    return ::symlinkat(Target.data(), To, ToName.c_str()) == 0;
  }
  if (!S_ISDIR(St.st_mode) || ::mkdirat(To, ToName.c_str(), 0700) != 0) return false;
  const int Src = ::openat(From, FromName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  const int Dst = ::openat(To, ToName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  std::vector<std::string> Names;
  bool Ok = Src >= 0 && Dst >= 0 && ListDir(Src, Names);
  for (size_t I = 0; Ok && I < Names.size(); ++I) Ok = CopyTreeAt(Src, Names[I], Dst, Names[I]);
  if (Ok) ::fchmod(Dst, St.st_mode & 07777);
  if (Src >= 0) ::close(Src);
  if (Dst >= 0) ::close(Dst);
  if (!Ok) RemoveTreeAt(To, ToName);
  return Ok;
}

// What placing an item in the Trash came to.
enum TPlaced { plFailed, plDone, plPartly };  // plPartly: in the Trash, original not fully removed

}  // namespace

bool CopyFileAt(int From, const std::string& FromBase, int To, const std::string& ToBase) {
  const int In = ::openat(From, FromBase.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (In < 0) return false;
  struct stat St {};
  int Out = -1;
  if (::fstat(In, &St) == 0 && S_ISREG(St.st_mode))
    Out = ::openat(To, ToBase.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, St.st_mode & 0777);
  bool Ok = Out >= 0;
  std::vector<char> Buf(1 << 16);
  while (Ok) {
    const ssize_t N = ::read(In, Buf.data(), Buf.size());
    if (N <= 0) {
      Ok = N == 0;
      break;
    }
    Ok = ::write(Out, Buf.data(), size_t(N)) == N;
  }
  if (Ok) {
    const struct timespec Ts[2] = {St.st_atim, St.st_mtim};
    ::futimens(Out, Ts);
  }
  if (Out >= 0 && ::close(Out) != 0) Ok = false;
  if (!Ok && Out >= 0) ::unlinkat(To, ToBase.c_str(), 0);
  ::close(In);
  return Ok;
}

TTrash::~TTrash() {
  if (FFiles >= 0) ::close(FFiles);
  if (FInfo >= 0) ::close(FInfo);
}

bool TTrash::Open() {
  if (IsOpen()) return true;
  FDir = HomeTrashDir();
  const std::string DataHome = DirOf(FDir);
  std::error_code Ec;
  fs::create_directories(DataHome, Ec);
  const int Data = ::open(DataHome.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (Data < 0) return Fail(&FOpenError, Why("cannot open " + DataHome));
  const int Top = OpenOwnDir(Data, "Trash");
  if (Top < 0) FOpenError = Why("cannot open the Trash " + FDir + " (a link is not followed)");
  ::close(Data);
  if (Top < 0) return false;
  ::fchmod(Top, 0700);
  FFiles = OpenOwnDir(Top, "files");
  FInfo = OpenOwnDir(Top, "info");
  if (!IsOpen()) FOpenError = Why("cannot open " + FDir + "/files and /info (a link is not followed)");
  ::close(Top);
  if (IsOpen()) return true;
  if (FFiles >= 0) ::close(FFiles);
  if (FInfo >= 0) ::close(FInfo);
  FFiles = FInfo = -1;
  return false;
}

// Reserves a name in the Trash by creating its .trashinfo record with O_EXCL; returns the name
// under files/, or "" on failure.
std::string TTrash::Reserve(const std::string& Original, std::string* Error) {
  const std::string Base = TrashBaseName(Original);
  const std::string Info =
      "[Trash Info]\nPath=" + EncodeTrashPath(Original) + "\nDeletionDate=" + DeletionDate() + "\n";
  for (int N = 1; N < 10000; ++N) {
    const std::string Name = N == 1 ? Base : Base + "." + std::to_string(N);
    const std::string InfoName = Name + ".trashinfo";
    const int Fd = ::openat(FInfo, InfoName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (Fd < 0) {
      if (errno == EEXIST) continue;
      Fail(Error, Why("cannot write " + FDir + "/info/" + InfoName));
      return {};
    }
    bool Ok = ::write(Fd, Info.data(), Info.size()) == static_cast<ssize_t>(Info.size());
    Ok = ::close(Fd) == 0 && Ok;
    struct stat St {};
    // The files/ entry may exist without an info record (left by another program).
    if (Ok && ::fstatat(FFiles, Name.c_str(), &St, AT_SYMLINK_NOFOLLOW) != 0) return Name;
    ::unlinkat(FInfo, InfoName.c_str(), 0);
    if (!Ok) {
      Fail(Error, "cannot write " + FDir + "/info/" + InfoName);
      return {};
    }
  }
  Fail(Error, "no free name in the Trash");
  return {};
}

template <typename TPlace>
bool TTrash::Put(int Dir, const std::string& Name, const std::string& Original, std::string* Error, TPlace Place) {
  struct stat St {};
  if (::fstatat(Dir, Name.c_str(), &St, AT_SYMLINK_NOFOLLOW) != 0) return Fail(Error, Why(Original));
  if (!IsOpen()) return Fail(Error, FOpenError);
  const std::string Abs = AbsolutePath(Original);
  const std::string Trashed = Reserve(Abs, Error);
  if (Trashed.empty()) return false;
  const TPlaced Result = Place(Trashed);
  if (Result == plFailed) ::unlinkat(FInfo, (Trashed + ".trashinfo").c_str(), 0);
  return Result == plDone;
}

bool TTrash::MoveAt(int Dir, const std::string& Name, const std::string& Original, std::string* Error) {
  return Put(Dir, Name, Original, Error, [&](const std::string& To) {
    // Never over an item that appeared under the reserved name meanwhile.
    if (::renameat2(Dir, Name.c_str(), FFiles, To.c_str(), RENAME_NOREPLACE) == 0) return plDone;
    if (errno == EINVAL || errno == ENOSYS) {
      struct stat St {};
      if (::fstatat(FFiles, To.c_str(), &St, AT_SYMLINK_NOFOLLOW) != 0 &&
          ::renameat(Dir, Name.c_str(), FFiles, To.c_str()) == 0)
        return plDone;
    }
    if (errno != EXDEV) {
      Fail(Error, Why("cannot move " + Original + " to the Trash"));
      return plFailed;
    }
    // Another file system: copy, then remove the original only when the copy is complete.
    if (!CopyTreeAt(Dir, Name, FFiles, To)) {
      Fail(Error, Why("cannot copy " + Original + " into the Trash"));
      return plFailed;
    }
    if (RemoveTreeAt(Dir, Name)) return plDone;
    Fail(Error, Why("copied to the Trash but could not remove " + Original));
    return plPartly;
  });
}

bool TTrash::CopyAt(int Dir, const std::string& Name, const std::string& Original, std::string* Error) {
  return Put(Dir, Name, Original, Error, [&](const std::string& To) {
    if (::linkat(Dir, Name.c_str(), FFiles, To.c_str(), 0) == 0) return plDone;
    if (CopyTreeAt(Dir, Name, FFiles, To)) return plDone;
    Fail(Error, Why("cannot copy " + Original + " into the Trash"));
    return plFailed;
  });
}

template <typename TAt>
bool TTrash::AtPath(const std::string& Path, std::string* Error, TAt At) {
  const std::string Abs = AbsolutePath(Path);
  const int Dir = ::open(DirOf(Abs).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (Dir < 0) return Fail(Error, Why(Path));
  const bool Ok = At(Dir, BaseOf(Abs), Abs);
  ::close(Dir);
  return Ok;
}

bool TTrash::Move(const std::string& Path, std::string* Error) {
  return AtPath(Path, Error, [&](int Dir, const std::string& Name, const std::string& Abs) {
    return MoveAt(Dir, Name, Abs, Error);
  });
}

bool TTrash::Copy(const std::string& Path, std::string* Error) {
  return AtPath(Path, Error, [&](int Dir, const std::string& Name, const std::string& Abs) {
    return CopyAt(Dir, Name, Abs, Error);
  });
}

std::string HomeTrashDir() {
  const char* DataHome = std::getenv("XDG_DATA_HOME");
  if (DataHome != nullptr && DataHome[0] == '/') return std::string(DataHome) + "/Trash";
  const char* Home = std::getenv("HOME");
  return std::string(Home != nullptr ? Home : "") + "/.local/share/Trash";
}

bool MoveToTrash(const std::string& Path, std::string* Error) {
  TTrash Trash;
  if (!Trash.Open()) {
    struct stat St {};
    if (::lstat(Path.c_str(), &St) != 0) return Fail(Error, Why(Path));
    return Fail(Error, Trash.OpenError());
  }
  return Trash.Move(Path, Error);
}

bool KeepCopyInTrash(const std::string& Path, std::string* Error) {
  TTrash Trash;
  if (!Trash.Open()) return Fail(Error, Trash.OpenError());
  return Trash.Copy(Path, Error);
}

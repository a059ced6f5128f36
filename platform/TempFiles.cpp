#include "platform/TempFiles.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "platform/FileInfo.h"
#include "platform/Paths.h"

namespace {

// Closes a descriptor on every path out.
class TFd {
 public:
  explicit TFd(int Fd = -1) : FFd(Fd) {}
  ~TFd() { Close(); }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const { return FFd; }
  // Closes now; false (errno set) when close reported an error.
  bool Close() {
    if (FFd < 0) return true;
    int Rc = ::close(FFd);
    FFd = -1;
    return Rc == 0;
  }

 private:
  int FFd;
};

// The process umask, read without changing it (from /proc when available).
mode_t CurrentUmask() {
  std::ifstream Status("/proc/self/status");
  std::string Line;
  while (std::getline(Status, Line)) {
    if (Line.rfind("Umask:", 0) == 0) return static_cast<mode_t>(std::strtoul(Line.c_str() + 6, nullptr, 8));
  }
  mode_t Old = ::umask(022);
  ::umask(Old);
  return Old;
}

// Flushes the folder holding Path so that a rename in it survives a crash (best effort).
void SyncDirOf(const std::string& Path) {
  TFd Dir(::open(DirOf(Path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (Dir.Get() >= 0) ::fsync(Dir.Get());
}

// Writes Len bytes, retrying short writes; false with errno set on failure.
bool WriteAll(int Fd, const uint8_t* Buf, size_t Len) {
  while (Len > 0) {
    ssize_t N = ::write(Fd, Buf, Len);
    if (N < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (N == 0) {
      errno = ENOSPC;
      return false;
    }
    Buf += N;
    Len -= static_cast<size_t>(N);
  }
  return true;
}

// Copies Source into a new file beside Target and renames it over Target.
TReplaceResult CopyReplace(const std::string& Source, const std::string& Target, int& Err,
                           const TReplaceProgress& Progress, int64_t BlockSize) {
  TFd In(::open(Source.c_str(), O_RDONLY | O_CLOEXEC));
  if (In.Get() < 0) {
    Err = errno;
    return rrOpenFailed;
  }
  struct stat St {};
  if (::fstat(In.Get(), &St) != 0) {
    Err = errno;
    return rrOpenFailed;
  }
  std::string TmpPath;
  TFd Out(CreateUniqueFile(DirOf(Target), "qrv", TmpPath));
  if (Out.Get() < 0) {
    Err = errno;
    return rrOpenFailed;
  }
  TTempFileGuard Guard(TmpPath);
  const int64_t Total = St.st_size;
  if (Progress && !Progress(0, Total)) return rrCancelled;
  std::vector<uint8_t> Buf(static_cast<size_t>(BlockSize > 0 ? BlockSize : 100000));
  int64_t Done = 0;
  for (;;) {
    ssize_t N = ::read(In.Get(), Buf.data(), Buf.size());
    if (N < 0) {
      if (errno == EINTR) continue;
      Err = errno;
      return rrFailed;
    }
    if (N == 0) break;
    if (!WriteAll(Out.Get(), Buf.data(), static_cast<size_t>(N))) {
      Err = errno;
      return rrFailed;
    }
    Done += N;
    if (Progress && !Progress(Done, Total)) return rrCancelled;
  }
  Err = CommitFileOver(Out.Get(), TmpPath, Target);
  if (Err != 0) return rrFailed;
  Guard.Release();
  RemoveTempFile(Source);
  return rrDone;
}

// ---- Registry of live temporary files ----------------------------------------------------

// A slot is free (0), being filled or cleared (1), or holds a live name (2). Only a thread that
// moved it to 1 touches its name; the signal handler reads names of live slots only.
struct TTempSlot {
  std::atomic<int> State{0};
  char Name[PATH_MAX];
};
constexpr size_t kTempSlots = 64;
std::array<TTempSlot, kTempSlots> GTempSlots;
constexpr int kCleanedSignals[] = {SIGINT, SIGTERM, SIGHUP};

void UnlinkLiveTempFiles(int Signal) {
  const int saved = errno;
  for (TTempSlot& s : GTempSlots)
    if (s.State.load() == 2) ::unlink(s.Name);
  errno = saved;
  // The default action ends the process as the signal would have.
  ::signal(Signal, SIG_DFL);
  ::raise(Signal);
}

void InstallCleanupOnce() {
  static std::atomic<bool> installed{false};
  if (installed.exchange(true)) return;
  for (int sig : kCleanedSignals) {
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) != 0 || (old.sa_flags & SA_SIGINFO) || old.sa_handler != SIG_DFL) continue;
    struct sigaction sa {};
    sa.sa_handler = UnlinkLiveTempFiles;
    sigemptyset(&sa.sa_mask);
    for (int other : kCleanedSignals) sigaddset(&sa.sa_mask, other);
    ::sigaction(sig, &sa, nullptr);
  }
}

}  // namespace

void RegisterTempFile(const std::string& Path) {
  if (Path.empty() || Path.size() >= PATH_MAX) return;
  InstallCleanupOnce();
  for (TTempSlot& s : GTempSlots) {
    int expected = 0;
    if (!s.State.compare_exchange_strong(expected, 1)) continue;
    std::memcpy(s.Name, Path.c_str(), Path.size() + 1);
    s.State.store(2);
    return;
  }
  // All slots taken: the name is still removed on every ordinary way out.
}

void UnregisterTempFile(const std::string& Path) {
  for (TTempSlot& s : GTempSlots) {
    if (s.State.load() != 2 || Path != s.Name) continue;
    int expected = 2;
    if (!s.State.compare_exchange_strong(expected, 1)) continue;
    s.Name[0] = '\0';
    s.State.store(0);
    return;
  }
}

void RemoveTempFile(const std::string& Path) {
  ::unlink(Path.c_str());
  UnregisterTempFile(Path);
}

std::string SystemTempDir() {
  const char* Env = std::getenv("TMPDIR");
  std::string Dir = (Env != nullptr && *Env != '\0' && DirectoryExists(Env)) ? Env : "/tmp";
  while (Dir.size() > 1 && Dir.back() == '/') Dir.pop_back();
  return Dir;
}

int CreateUniqueFile(const std::string& Dir, const std::string& Prefix, std::string& Path) {
  std::string Template = JoinPath(Dir.empty() ? "." : Dir, Prefix + "XXXXXX");
  std::vector<char> Buf(Template.begin(), Template.end());
  Buf.push_back('\0');
  // The cleanup signals wait until the new name is registered, so none can leave it behind.
  InstallCleanupOnce();
  sigset_t cleaned, old;
  sigemptyset(&cleaned);
  for (int sig : kCleanedSignals) sigaddset(&cleaned, sig);
  pthread_sigmask(SIG_BLOCK, &cleaned, &old);
  int Fd = ::mkostemp(Buf.data(), O_CLOEXEC);
  const int err = errno;
  if (Fd >= 0) {
    Path.assign(Buf.data());
    RegisterTempFile(Path);
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  errno = err;
  return Fd;
}

std::string UniqueTempName(const std::string& Dir, const std::string& Prefix) {
  std::string Path;
  int Fd = CreateUniqueFile(Dir, Prefix, Path);
  if (Fd < 0) return {};
  ::close(Fd);
  return Path;
}

TTempFileGuard::~TTempFileGuard() {
  if (!FPath.empty()) RemoveTempFile(FPath);
}

void TTempFileGuard::Reset(std::string Path) {
  if (!FPath.empty()) RemoveTempFile(FPath);
  FPath = std::move(Path);
}

unsigned ModeForReplacement(const std::string& Target) {
  struct stat St {};
  if (::stat(Target.c_str(), &St) == 0 && S_ISREG(St.st_mode)) return St.st_mode & 07777;
  return 0666 & ~CurrentUmask();
}

int CommitFileOver(int Fd, const std::string& Path, const std::string& Target) {
  if (::fchmod(Fd, static_cast<mode_t>(ModeForReplacement(Target))) != 0) return errno;
  if (::fsync(Fd) != 0) return errno;
  if (::rename(Path.c_str(), Target.c_str()) != 0) return errno;
  UnregisterTempFile(Path);
  SyncDirOf(Target);
  return 0;
}

TReplaceResult ReplaceFile(const std::string& Source, const std::string& Target, int& Err,
                           const TReplaceProgress& Progress, int64_t BlockSize) {
  Err = 0;
  {
    TFd Src(::open(Source.c_str(), O_RDONLY | O_CLOEXEC));
    if (Src.Get() < 0) {
      Err = errno;
      return rrOpenFailed;
    }
    // Same file system: flush and rename. EXDEV sends us to the copy.
    Err = CommitFileOver(Src.Get(), Source, Target);
    if (Err == 0) return rrDone;
    if (Err != EXDEV)
      return Err == EACCES || Err == EPERM || Err == ENOENT || Err == EISDIR || Err == ENOTDIR || Err == EROFS
                 ? rrOpenFailed
                 : rrFailed;
  }
  return CopyReplace(Source, Target, Err, Progress, BlockSize);
}

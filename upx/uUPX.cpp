#include "upx/uUPX.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr size_t kChunkSize = 8192;
constexpr auto kCycle = std::chrono::milliseconds(50);
// Each cycle empties a full pipe (64 KiB by default, enlarged to 1 MiB where the system allows),
// so a child that writes a lot is not slowed down to a few chunks per 50 ms, while the work
// between two pumps stays bounded.
constexpr int kWantedPipeSize = 1 << 20;

// Owns one file descriptor.
class TFd {
 public:
  TFd() = default;
  explicit TFd(int fd) : fd_(fd) {}
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  ~TFd() { Close(); }
  int Get() const { return fd_; }
  void Reset(int fd) {
    Close();
    fd_ = fd;
  }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

struct TPipe {
  TFd Read, Write;
  bool Open() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    Read.Reset(fds[0]);
    Write.Reset(fds[1]);
    return true;
  }
};

// posix_spawn's two attribute records, destroyed on every path.
struct TSpawnSetup {
  posix_spawn_file_actions_t Actions;
  posix_spawnattr_t Attr;
  TSpawnSetup() {
    posix_spawn_file_actions_init(&Actions);
    posix_spawnattr_init(&Attr);
  }
  TSpawnSetup(const TSpawnSetup&) = delete;
  TSpawnSetup& operator=(const TSpawnSetup&) = delete;
  ~TSpawnSetup() {
    posix_spawnattr_destroy(&Attr);
    posix_spawn_file_actions_destroy(&Actions);
  }
};

// Owns a started child: reaps it, and kills and reaps it when left before it ended.
class TChild {
 public:
  // A pidfd (Linux 5.3 and later) lets the wait end as soon as the child ends.
  explicit TChild(pid_t pid) : pid_(pid), pidFd_(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))) {}
  TChild(const TChild&) = delete;
  TChild& operator=(const TChild&) = delete;
  ~TChild() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  // Waits one cycle, or less when the child ends first.
  void WaitCycle() const {
    if (pidFd_.Get() < 0) {
      std::this_thread::sleep_for(kCycle);
      return;
    }
    pollfd p{pidFd_.Get(), POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(kCycle.count()));
  }
  // True once the child has ended; its exit status and ending signal are then in the result.
  bool TryReap(TPipedResult& result) {
    int st = 0;
    pid_t r;
    while ((r = ::waitpid(pid_, &st, WNOHANG)) < 0 && errno == EINTR) {
    }
    if (r == 0) return false;
    pid_ = -1;
    if (r < 0) {
      result.ExitStatus = -1;  // reaped elsewhere (SIGCHLD ignored): status unknown
    } else if (WIFSIGNALED(st)) {
      result.TermSignal = WTERMSIG(st);
      result.ExitStatus = 128 + result.TermSignal;
    } else {
      result.ExitStatus = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    return true;
  }

 private:
  pid_t pid_;
  TFd pidFd_;
};

// Bytes at the end of s that start a UTF-8 sequence the chunk does not complete; they are held
// back for the next chunk so that a character is never split between two entries.
size_t IncompleteUtf8Tail(const std::string& s) {
  const size_t n = s.size();
  for (size_t k = 1; k <= 3 && k <= n; ++k) {
    const auto c = static_cast<unsigned char>(s[n - k]);
    if ((c & 0xC0) == 0x80) continue;  // continuation byte: look further back for the lead byte
    size_t need = 1;
    if (c >= 0xC2 && c <= 0xDF)
      need = 2;
    else if (c >= 0xE0 && c <= 0xEF)
      need = 3;
    else if (c >= 0xF0 && c <= 0xF4)
      need = 4;
    return need > k ? k : 0;
  }
  return 0;
}

// Reads one pipe and hands its chunks to a sink.
class TStreamReader {
 public:
  TStreamReader(int fd, const TPipedSink& sink) : fd_(fd), sink_(sink) {}

  // Reads at most maxReads chunks of what the pipe holds now, without blocking.
  void ReadAvailable(int maxReads) {
    for (int i = 0; i < maxReads && !done_; ++i)
      if (!ReadChunk(kChunkSize)) break;
  }

  // Reads everything the pipe holds at this moment: once the child has ended, that is all it
  // wrote. Counting first keeps a grandchild that goes on writing from holding us here.
  void ReadRest() {
    int pending = 0;
    if (::ioctl(fd_, FIONREAD, &pending) != 0) pending = 0;
    size_t left = static_cast<size_t>(pending > 0 ? pending : 0);
    while (left > 0 && !done_) {
      const size_t got = ReadChunk(std::min(left, kChunkSize));
      if (got == 0) break;
      left -= std::min(left, got);
    }
    if (!carry_.empty()) Emit(carry_, carry_.size());
    carry_.clear();
  }

 private:
  // One read of at most limit bytes; returns the number of bytes read (0: nothing, or the end).
  size_t ReadChunk(size_t limit) {
    char buf[kChunkSize];
    const size_t room = std::min(limit, kChunkSize - carry_.size());
    ssize_t n;
    while ((n = ::read(fd_, buf, room)) < 0 && errno == EINTR) {
    }
    if (n <= 0) {
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) done_ = true;
      return 0;
    }
    std::string chunk = carry_;
    chunk.append(buf, static_cast<size_t>(n));
    const size_t tail = IncompleteUtf8Tail(chunk);
    carry_ = chunk.substr(chunk.size() - tail);
    if (chunk.size() > tail) Emit(chunk, chunk.size() - tail);
    return static_cast<size_t>(n);
  }

  void Emit(const std::string& chunk, size_t size) {
    if (sink_) sink_(TrimChunk(chunk.data(), size));
  }

  int fd_;
  const TPipedSink& sink_;
  std::string carry_;
  bool done_ = false;
};

// Asks for a larger pipe; returns the size the pipe has.
int GrowPipe(int fd) {
  const int size = ::fcntl(fd, F_SETPIPE_SZ, kWantedPipeSize);
  return size > 0 ? size : ::fcntl(fd, F_GETPIPE_SZ);
}

bool SetNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

std::string TrimChunk(const char* data, size_t size) {
  const void* zero = std::memchr(data, 0, size);
  size_t end = zero ? static_cast<size_t>(static_cast<const char*>(zero) - data) : size;
  size_t begin = 0;
  while (begin < end && static_cast<unsigned char>(data[begin]) <= 0x20) ++begin;
  while (end > begin && static_cast<unsigned char>(data[end - 1]) <= 0x20) --end;
  return std::string(data + begin, end - begin);
}

TPipedResult RunPiped(const std::vector<std::string>& argv, const TPipedSink& outLines, const TPipedSink& errLines,
                      const TPipedPump& pump) {
  TPipedResult result;
  if (argv.empty() || argv[0].empty()) {
    result.StartError = "no program given";
    return result;
  }
  TPipe in, out, err;
  if (!in.Open() || !out.Open() || !err.Open() || !SetNonBlocking(out.Read.Get()) || !SetNonBlocking(err.Read.Get())) {
    result.StartError = std::strerror(errno);
    return result;
  }

  TSpawnSetup setup;
  posix_spawn_file_actions_adddup2(&setup.Actions, in.Read.Get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&setup.Actions, out.Write.Get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&setup.Actions, err.Write.Get(), STDERR_FILENO);
  // The child starts with no blocked signals and default handling of those a caller may ignore.
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigmask(&setup.Attr, &none);
  posix_spawnattr_setsigdefault(&setup.Attr, &defaults);
  posix_spawnattr_setflags(&setup.Attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, args[0], &setup.Actions, &setup.Attr, args.data(), environ);
  if (rc != 0) {
    result.StartError = std::strerror(rc);
    return result;
  }
  result.Started = true;
  TChild child(pid);
  // Only the child keeps its ends; our write end of its input closes so it reads end-of-file.
  in.Read.Close();
  in.Write.Close();
  out.Write.Close();
  err.Write.Close();

  const int pipeSize = std::max(GrowPipe(out.Read.Get()), GrowPipe(err.Read.Get()));
  const int readsPerCycle = std::max(1, pipeSize / static_cast<int>(kChunkSize));
  TStreamReader outReader(out.Read.Get(), outLines);
  TStreamReader errReader(err.Read.Get(), errLines);
  for (;;) {
    if (pump) pump();
    child.WaitCycle();
    outReader.ReadAvailable(readsPerCycle);
    errReader.ReadAvailable(readsPerCycle);
    if (child.TryReap(result)) break;
  }
  outReader.ReadRest();
  errReader.ReadRest();
  return result;
}

TPipedResult RunPiped(const std::vector<std::string>& argv, std::vector<std::string>& outLines,
                      std::vector<std::string>& errLines, const TPipedPump& pump) {
  return RunPiped(
      argv, [&](const std::string& s) { outLines.push_back(s); }, [&](const std::string& s) { errLines.push_back(s); },
      pump);
}

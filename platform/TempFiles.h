// Unique temporary files and the atomic replacement of a file by a finished temporary one.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// $TMPDIR when it names a folder, else /tmp. No trailing "/".
std::string SystemTempDir();

// Creates a new empty file named Dir/<Prefix>XXXXXX (mode 0600, close-on-exec) and returns its
// open read-write descriptor, or -1 with errno set. Path receives the name, which is
// registered as a live temporary file (see below).
int CreateUniqueFile(const std::string& Dir, const std::string& Prefix, std::string& Path);

// Live temporary files: a process-wide registry that SIGINT, SIGTERM and SIGHUP empty. Their
// handler, installed at the first registration for each signal that still has its default
// action (a program's own handler, such as brel-cli's Ctrl+C, is kept), unlinks every live
// name and re-raises the signal with its default action. It is async-signal-safe: fixed slots,
// no locks, no allocation. A name is unregistered once it is removed or renamed into place.
void RegisterTempFile(const std::string& Path);
void UnregisterTempFile(const std::string& Path);
// Unlinks a temporary file and unregisters it.
void RemoveTempFile(const std::string& Path);
// Same, closing the file again: the name is reserved. "" on failure.
std::string UniqueTempName(const std::string& Dir, const std::string& Prefix = "qrv");

// Deletes a file on destruction unless Release() was called.
class TTempFileGuard {
 public:
  explicit TTempFileGuard(std::string Path = {}) : FPath(std::move(Path)) {}
  ~TTempFileGuard();
  TTempFileGuard(const TTempFileGuard&) = delete;
  TTempFileGuard& operator=(const TTempFileGuard&) = delete;
  const std::string& Path() const { return FPath; }
  void Reset(std::string Path);  // deletes the current file, guards Path
  void Release() { FPath.clear(); }

 private:
  std::string FPath;
};

// Called per copied block during a cross-file-system replacement: bytes done and total.
// Returning false cancels; the target is then left as it was.
using TReplaceProgress = std::function<bool(int64_t Done, int64_t Total)>;

// Outcome of ReplaceFile: done, cancelled, a write/flush/rename failure, or Source could not be
// opened or no file could be created beside Target.
enum TReplaceResult { rrDone, rrCancelled, rrFailed, rrOpenFailed };

// Puts the finished file Source in place of Target, which may exist. Same file system: flush
// Source and rename(2) it (atomic). Otherwise copy it into a new temporary file beside Target
// (in blocks of BlockSize; Progress runs with Done 0 first and after every block), flush,
// rename that over Target and delete Source. The old Target
// exists unchanged until the new one is complete and in place; on failure or cancel no
// temporary file is left behind and Source stays (the caller deletes it). The new file gets the
// permission bits of the old Target, or 0666 less the umask for a new one.
// On rrFailed, Err is the errno of the failure.
TReplaceResult ReplaceFile(const std::string& Source, const std::string& Target, int& Err,
                           const TReplaceProgress& Progress = {}, int64_t BlockSize = 100000);

// Permission bits a file replacing Target gets: Target's own, or 0666 less the umask.
unsigned ModeForReplacement(const std::string& Target);

// Flushes an open descriptor and renames the file Path over Target the same way (permission
// bits of Target kept, folder flushed). Returns 0 or errno. The descriptor stays open.
int CommitFileOver(int Fd, const std::string& Path, const std::string& Target);

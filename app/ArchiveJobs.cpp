#include "app/ArchiveJobs.h"

#include "app/TextUtils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

const char* const kFolderMask = "/*.*";

namespace {

// Positions of the readable types in TArcType.
constexpr int kAtCab = 12, kAtLha = 18, kAtLhaExe = 19, kAtLzh = 20, kAtLzhExe = 21, kAtTar = 27,
              kAtZip = 30, kAtZipExe = 31;

bool EndsWith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// "/a/b/" -> "/a/b"; "/" stays "/".
std::string WithoutTrailingSlash(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// Folder part of a path, without a trailing "/" except for the root; "" for a bare name.
std::string FolderOf(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return std::string();
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string JoinPath(const std::string& folder, const std::string& name)
{
    if (folder.empty())
        return name;
    return folder == "/" ? "/" + name : folder + "/" + name;
}

// A file name without its extension. A leading dot starts a hidden name, not an extension.
std::string NameWithoutExt(const std::string& name)
{
    const size_t dot = name.find_last_of('.');
    return (dot == std::string::npos || dot == 0) ? name : name.substr(0, dot);
}

bool IsFolder(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Identity of the file at a path, to tell whether a job wrote it.
struct TFileStamp {
    bool Exists = false;
    dev_t Dev = 0;
    ino_t Ino = 0;
    off_t Size = 0;
    struct timespec MTime {};
};

TFileStamp StampOf(const std::string& path)
{
    TFileStamp s;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        s.Exists = true;
        s.Dev = st.st_dev;
        s.Ino = st.st_ino;
        s.Size = st.st_size;
        s.MTime = st.st_mtim;
    }
    return s;
}

bool WrittenBetween(const TFileStamp& before, const TFileStamp& after)
{
    if (!after.Exists)
        return false;
    if (!before.Exists)
        return true;
    return before.Dev != after.Dev || before.Ino != after.Ino || before.Size != after.Size ||
           before.MTime.tv_sec != after.MTime.tv_sec || before.MTime.tv_nsec != after.MTime.tv_nsec;
}

void ReportUnsupported(const TArchiveJobEvents& events, const std::string& archive)
{
    if (events.OnError)
        events.OnError(nullptr, archive, std::string(), archive, kUnsupportedArchiveType);
}

// Runs the writer of that kind on the paths. The writers join when the archive components land;
// until then every kind is reported as unsupported.
void RunWriter(int kind, const std::vector<std::string>& paths, const TNewArchive& target,
               const TArchiveJobEvents& events)
{
    ReportUnsupported(events, target.Path);
}

}  // namespace

std::string ArchiveExtension(int Kind)
{
    switch (Kind) {
    case akZip: return ".zip";
    case akLzh: return ".lzh";
    case akCab: return ".cab";
    case akTar: return ".tar";
    default: return std::string();
    }
}

TNewArchive NewArchiveFor(int Kind, const std::string& FirstPath)
{
    TNewArchive target;
    const std::string ext = ArchiveExtension(Kind);
    if (EndsWith(FirstPath, kFolderMask)) {
        const std::string folder =
            WithoutTrailingSlash(FirstPath.substr(0, FirstPath.size() - std::strlen(kFolderMask)));
        const std::string base = folder.empty() ? std::string("/") : folder;
        target.Path = JoinPath(FolderOf(base), ExtractFileName(base) + ext);
        target.Recurse = true;
    } else {
        target.Path = JoinPath(FolderOf(FirstPath), NameWithoutExt(ExtractFileName(FirstPath)) + ext);
    }
    return target;
}

std::string UnpackFolderFor(const std::string& Path)
{
    return JoinPath(FolderOf(Path), NameWithoutExt(ExtractFileName(Path)));
}

TReaderKind ReaderForType(int ArcType)
{
    switch (ArcType) {
    case kAtCab: return rkUnCab;
    case kAtLha:
    case kAtLhaExe:
    case kAtLzh:
    case kAtLzhExe: return rkUnLha;
    case kAtTar: return rkUnTar;
    case kAtZip:
    case kAtZipExe: return rkUnZip;
    default: return rkNone;
    }
}

TArchivePlan PlanArchiveJobs(std::vector<std::string>& Paths)
{
    TArchivePlan plan;
    for (std::string& path : Paths) {
        if (IsFolder(path))
            path = JoinPath(WithoutTrailingSlash(path), "*.*");
        (IsArchiveName(path) ? plan.Extract : plan.Pack).push_back(path);
    }
    return plan;
}

bool IsUpxJob(const std::vector<std::string>& Paths, bool UseUpx)
{
    return UseUpx && Paths.size() == 1 && IsUpxTarget(Paths.front());
}

void AppendZeroByte(const std::string& Path)
{
    // O_NONBLOCK keeps a FIFO of that name from blocking; only a regular file gets the byte.
    const int fd = ::open(Path.c_str(), O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        const char zero = 0;
        [[maybe_unused]] const ssize_t n = ::write(fd, &zero, 1);
    }
    ::close(fd);
}

void MakeArchive(int Kind, const std::vector<std::string>& Paths, const TArchiveJobEvents& Events)
{
    if (Paths.empty())
        return;
    const TNewArchive target = NewArchiveFor(Kind, Paths.front());
    if (ArchiveExtension(Kind).empty())
        return;  // no writer for that kind: nothing is created
    const TFileStamp before = StampOf(target.Path);
    try {
        RunWriter(Kind, Paths, target, Events);
    } catch (...) {
        // The writer has reported its errors through OnError already.
    }
    // Only a file this job created or rewrote gets the byte: a failed run leaves whatever was
    // there before untouched.
    if (WrittenBetween(before, StampOf(target.Path)))
        AppendZeroByte(target.Path);
}

void UnpackArchive(const std::string& Path, const TArchiveJobEvents& Events)
{
    const int fd = ::open(Path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;  // unreadable: nothing to extract, nothing to report
    ::close(fd);
    // Type detection and the readers join when the archive components land.
    ReportUnsupported(Events, Path);
}

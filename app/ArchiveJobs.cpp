#include "app/ArchiveJobs.h"

#include "app/TextUtils.h"
#include "archive/cab/qrvMakeCab.h"
#include "archive/cab/qrvUnCab.h"
#include "archive/core/qrvBase.h"
#include "archive/core/qrvRegister.h"
#include "archive/tar/qrvUnTar.h"
#include "archive/tar/qrvtar.h"
#include "archive/zip/qrvUnZip.h"
#include "archive/zip/qrvZip.h"
#include "platform/FileInfo.h"
#include "platform/Paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

const char* const kFolderMask = "/*.*";

namespace {

// "/a/b/" -> "/a/b"; "/" stays "/".
std::string WithoutTrailingSlash(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// Folder part of a path, without a trailing "/" except for the root; "" for a bare name. The
// counterpart of ExtractFileName (both split at the last "/"), unlike DirOf, which gives "." for
// a bare name and skips trailing slashes.
std::string FolderOf(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return std::string();
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// A file name without its extension. A leading dot starts a hidden name, not an extension.
std::string NameWithoutExt(const std::string& name)
{
    const size_t dot = name.find_last_of('.');
    return (dot == std::string::npos || dot == 0) ? name : name.substr(0, dot);
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

// Connects a component of a job to the window's two handlers.
void Connect(TZipCommon& component, const TArchiveJobEvents& events)
{
    component.OnError = events.OnError;
    component.OnProgress = events.OnProgress;
}

// Runs the writer of that kind on the paths, configured as the window always packs.
void RunWriter(int kind, const std::vector<std::string>& paths, const TNewArchive& target,
               const TArchiveJobEvents& events)
{
    std::unique_ptr<TCompBase> writer = NewWriter(kind);
    if (!writer) {
        ReportUnsupported(events, target.Path);
        return;
    }
    Connect(*writer, events);
    writer->SetArchiveFile(target.Path);
    writer->CompressionMethod = cmTempFile;
    writer->DateAttribute = daFileDate;
    writer->ExcludeSpec.clear();
    writer->FileSpec = paths;
    writer->RecurseDirs = target.Recurse;
    writer->StoredDirNames = sdRelativeStoreStart;
    writer->StoreEmptySubDirs = false;
    writer->Switch = swAdd;
    writer->Compress();
}

// Extracts an archive of a known reader kind into its folder, as the window always extracts.
void RunReader(TReaderKind kind, const std::string& path, const TArchiveJobEvents& events)
{
    std::unique_ptr<TUnBase> reader = NewReader(kind);
    if (!reader) {
        ReportUnsupported(events, path);
        return;
    }
    if (auto* zip = dynamic_cast<TUnZip*>(reader.get()))
        zip->SetZipCmntBufSize(32000);
    const std::string folder = UnpackFolderFor(path);
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    reader->FileSpec = {"*.*"};
    reader->SetArchiveFile(path);
    reader->SetExtractDir(folder);
    Connect(*reader, events);
    reader->UseStoredDirs = true;
    reader->DateAttribute = daFileDate;
    reader->ConfirmOverwrites = false;
    reader->OverwriteMode = omOverwrite;
    reader->RestoreFileAttr = false;
    reader->CreateStoredDirs = true;
    reader->TranslateOemChar = true;
    reader->RecurseDirs = true;
    reader->Extract();
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
    if (FirstPath.ends_with(kFolderMask)) {
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
    case atCab: return rkUnCab;
    case atLha:
    case atLhaExe:
    case atLzh:
    case atLzhExe: return rkUnLha;
    case atTar: return rkUnTar;
    case atZip:
    case atZipExe: return rkUnZip;
    default: return rkNone;
    }
}

std::unique_ptr<TCompBase> NewWriter(int Kind)
{
    switch (Kind) {
    case akZip: return std::make_unique<TZip>();
    case akCab: return std::make_unique<TMakeCab>();
    case akTar: return std::make_unique<TTar>();
    default: return nullptr;
    }
}

std::unique_ptr<TUnBase> NewReader(TReaderKind Kind)
{
    switch (Kind) {
    case rkUnZip: return std::make_unique<TUnZip>();
    case rkUnCab: return std::make_unique<TUnCab>();
    case rkUnTar: return std::make_unique<TUnTar>();
    default: return nullptr;
    }
}

TArchivePlan PlanArchiveJobs(std::vector<std::string>& Paths)
{
    TArchivePlan plan;
    for (std::string& path : Paths) {
        if (DirectoryExists(path))
            path = JoinPath(path, "*.*");
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
    ProcessMessages();
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
    ProcessMessages();
    // Detection reads the file itself: an archive larger than memory is still recognised.
    TArvexComponent probe;
    probe.SetArchiveFile(Path);
    if (probe.ArchiveFile().empty() || !IsValidArcType(probe.ArcType()))
        return;  // unreadable or not an archive: skipped without a report
    const TReaderKind kind = ReaderForType(probe.ArcType());
    if (kind != rkNone)
        RunReader(kind, Path, Events);
}

// TDiskManager on Linux: the file system holding an archive's folder stands for its drive.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "archive/core/qrvBase.h"
#include "platform/FileInfo.h"
#include "platform/Paths.h"

namespace {

// The nearest existing folder of the archive path (the current folder for a bare name).
std::string DriveFolder(const std::string& path) {
  std::string dir = DirOf(path.empty() ? std::string("./x") : path);
  while (!DirectoryExists(dir)) {
    const std::string up = DirOf(dir);
    if (up == dir) break;
    dir = up;
  }
  return dir;
}

std::string ReadFirstLine(const std::string& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

// The block device's removable flag; a partition takes its disk's.
bool IsRemovable(dev_t dev) {
  const std::string sys = "/sys/dev/block/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
  char real[PATH_MAX];
  if (!realpath(sys.c_str(), real)) return false;
  const std::string dir = real;
  std::string flag = ReadFirstLine(dir + "/removable");
  if (flag.empty()) flag = ReadFirstLine(DirOf(dir) + "/removable");
  return flag == "1";
}

// Labels under /dev/disk/by-label escape bytes as \xHH.
std::string UnescapeLabel(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x') {
      out += char(std::strtol(s.substr(i + 2, 2).c_str(), nullptr, 16));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::string LabelOf(dev_t dev) {
  const std::string base = "/dev/disk/by-label/";
  DIR* d = opendir(base.c_str());
  if (!d) return {};
  std::string label;
  while (const dirent* e = readdir(d)) {
    struct stat st {};
    if (e->d_name[0] == '.' || stat((base + e->d_name).c_str(), &st) != 0) continue;
    if (S_ISBLK(st.st_mode) && st.st_rdev == dev) {
      label = UnescapeLabel(e->d_name);
      break;
    }
  }
  closedir(d);
  return label;
}

// File system type from /proc/self/mountinfo ("maj:min" is field 3, the type follows " - ").
std::string FileSystemOf(dev_t dev) {
  std::ifstream in("/proc/self/mountinfo");
  const std::string id = std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string mountId, parent, majmin;
    f >> mountId >> parent >> majmin;
    const size_t sep = line.find(" - ");
    if (majmin != id || sep == std::string::npos) continue;
    std::istringstream rest(line.substr(sep + 3));
    std::string type;
    rest >> type;
    return type;
  }
  return {};
}

}  // namespace

bool TDiskManager::Probe(const std::string& Path, TVolumeInfo& Info) {
  Info = TVolumeInfo{};
  Info.Drive = DriveFolder(Path);
  struct statvfs v {};
  struct stat st {};
  if (statvfs(Info.Drive.c_str(), &v) != 0 || stat(Info.Drive.c_str(), &st) != 0) return false;
  Info.ReadOnly = (v.f_flag & ST_RDONLY) != 0;
  char serial[16];
  std::snprintf(serial, sizeof serial, "%08lX", static_cast<unsigned long>(v.f_fsid & 0xFFFFFFFFul));
  Info.Serial = serial;
  Info.Removable = IsRemovable(st.st_dev);
  Info.Label = LabelOf(st.st_dev);
  Info.FileSystem = FileSystemOf(st.st_dev);
  return true;
}

bool TDiskManager::CheckDrive(TZipCommon& Owner, const std::string& ArchivePath, bool ForWriting) {
  const std::string drive = DriveFolder(ArchivePath);
  // Answers of the two questions: Abort starts true; false tries again.
  auto ask = [&](const std::function<void(TZipCommon*, bool&)>& handler) {
    bool abort = true;
    handler(&Owner, abort);
    if (abort) Owner.ReportError(drive, "0", "0", ecUserCanceled);
    return !abort;
  };
  while (!Prober(ArchivePath, Info)) {
    if (!Owner.OnDiskInDrvErr) {
      Owner.ReportError(drive, "0", "0", ecNotAccessible);
      return false;
    }
    if (!ask(Owner.OnDiskInDrvErr)) return false;
  }
  // Only a writer needs a writable file system: a set read from a read-only medium is fine.
  while (ForWriting && Info.ReadOnly) {
    if (!Owner.OnDiskWriteProtectErr) {
      Owner.ReportError(drive, "0", "0", ecWriteProtected);
      return false;
    }
    if (!ask(Owner.OnDiskWriteProtectErr)) return false;
    if (!Prober(ArchivePath, Info)) {
      Owner.ReportError(drive, "0", "0", ecNotAccessible);
      return false;
    }
  }
  return true;
}

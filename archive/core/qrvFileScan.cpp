// TqrvFileScan: directory groups, the recursive directory scan, attribute filters, own list.
#include "archive/core/qrvFileScan.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

#include "archive/core/qrvStreams.h"  // ProcessMessages
#include "platform/Paths.h"

// ---- Attribute sets ------------------------------------------------------------------------

namespace {

// Operating-system attribute bits of each TqrvFileAttr (fsZeroAttr has none of its own).
constexpr uint32_t kOsBitOf[] = {0, 0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x800, 0x4000};
constexpr uint32_t kNormal = 0x80;
constexpr uint32_t kNotContentIndexed = 0x2000;

bool IsZeroAttr(uint32_t attr) { return attr == 0 || attr == kNormal; }

// What a file that is neither regular nor a folder is, for the user.
std::string SpecialFileKind(uint32_t Mode) {
  if (S_ISFIFO(Mode)) return "FIFO";
  if (S_ISSOCK(Mode)) return "socket";
  if (S_ISCHR(Mode)) return "character device";
  if (S_ISBLK(Mode)) return "block device";
  return "not a regular file";
}

}  // namespace

uint32_t TqrvFileAttrs::OsBits() const {
  uint32_t bits = 0;
  for (int a = fsReadOnly; a <= fsEncrypted; ++a)
    if (Contains(TqrvFileAttr(a))) bits |= kOsBitOf[a];
  return bits;
}

bool TqrvFileAttrs::Hits(uint32_t Attr) const {
  if (Contains(fsZeroAttr) && IsZeroAttr(Attr)) return true;
  return (Attr & OsBits()) != 0;
}

bool AttrAdmitted(uint32_t Attr, TqrvFileAttrs Attributes, TqrvFileAttrs AttributesEx) {
  const bool in = (Attr & kNotContentIndexed) || Attributes.Hits(Attr);
  return in && !AttributesEx.Hits(Attr);
}

// ---- Own list ------------------------------------------------------------------------------

namespace {

std::string Folded(const std::string& s, bool caseSensitive) {
  if (caseSensitive) return s;
  std::string r = s;
  for (char& c : r)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return r;
}

std::string ExtOf(const std::string& name) {
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

}  // namespace

void TFilesList::Sort() {
  // Sizes compare as full 64-bit values and dates as unsigned packed values, so files over
  // 2 GiB and dates from 2044 on sort where they belong.
  auto key = [this](const TFileObject& o, bool ext) {
    return Folded(ext ? ExtOf(o.FileName) : o.FileName, CaseSensitive);
  };
  switch (SortMode) {
    case soUnsort: return;
    case soByName:
    case soByType: {
      const bool ext = SortMode == soByType;
      std::stable_sort(Items.begin(), Items.end(),
                       [&](const TFileObject& a, const TFileObject& b) { return key(a, ext) < key(b, ext); });
      return;
    }
    case soBySize:
      std::stable_sort(Items.begin(), Items.end(),
                       [](const TFileObject& a, const TFileObject& b) { return a.Size < b.Size; });
      return;
    case soByTime:
      std::stable_sort(Items.begin(), Items.end(),
                       [](const TFileObject& a, const TFileObject& b) { return a.DosDate < b.DosDate; });
      return;
  }
}

// ---- Directory groups ----------------------------------------------------------------------

namespace {

std::string Trimmed(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  const size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

// Folder part (with trailing "/", "" when none) and name part of a FileSpec entry.
void SplitMaskPath(const std::string& maskPath, std::string& dir, std::string& mask) {
  const size_t slash = maskPath.rfind('/');
  if (slash == std::string::npos) {
    dir.clear();
    mask = maskPath;
  } else {
    dir = maskPath.substr(0, slash + 1);
    mask = maskPath.substr(slash + 1);
  }
}

std::string CurrentDir() {
  std::unique_ptr<char, decltype(&free)> cwd(getcwd(nullptr, 0), &free);
  return cwd ? std::string(cwd.get()) : std::string(".");
}

// Adds Mask to a group's masks unless one of them covers it; a wider mask replaces the ones it
// covers. Folders are compared exactly: on Linux /d and /D are different folders.
void JoinMask(std::vector<std::string>& masks, const std::string& mask) {
  for (const std::string& m : masks)
    if (MaskCovers(m, mask)) return;
  std::erase_if(masks, [&](const std::string& m) { return MaskCovers(mask, m); });
  masks.push_back(mask);
}

std::vector<std::string> SplitCommaMasks(const std::string& list) {
  std::vector<std::string> out;
  std::string cur;
  std::istringstream in(list);
  while (std::getline(in, cur, ',')) {
    const size_t b = cur.find_first_not_of(' ');  // spaces before a mask are skipped
    if (b != std::string::npos) out.push_back(NormalizeMask(cur.substr(b)));
  }
  return out;
}

std::vector<TMultiMask> CompileMasks(const std::vector<std::string>& masks) {
  std::vector<TMultiMask> out;
  for (const std::string& m : masks) out.push_back({m, TInternalMask(m)});
  return out;
}

}  // namespace

TScanGroup TakeScanGroup(std::vector<std::string>& Spec, const std::string& RootDir) {
  TScanGroup g;
  if (Spec.empty()) return g;
  std::string mask;
  SplitMaskPath(Spec.front(), g.Dir, mask);
  if (g.Dir.empty()) g.Dir = RootDir.empty() ? WithTrailingSlash(CurrentDir()) : RootDir;
  g.Masks.push_back(NormalizeMask(mask));
  Spec.erase(Spec.begin());
  std::erase_if(Spec, [&](const std::string& entry) {
    std::string dir, m;
    SplitMaskPath(entry, dir, m);
    if (dir.empty()) dir = RootDir.empty() ? WithTrailingSlash(CurrentDir()) : RootDir;
    if (dir != g.Dir) return false;
    JoinMask(g.Masks, NormalizeMask(m));
    return true;
  });
  return g;
}

// ---- Scanner -------------------------------------------------------------------------------

TqrvFileScan::TqrvFileScan() = default;

void TqrvFileScan::SetFileSpec(std::vector<std::string> Value) {
  FFileSpec = std::move(Value);
  DefaultMask.clear();
}

void TqrvFileScan::SetRootDir(const std::string& Value) { FRootDir = WithTrailingSlash(Value); }

void TqrvFileScan::SetSorted(TqrvSortOptions Value) {
  FList.SortMode = Value;
  FList.Sort();
  if (FList.Count() > 0 && OnFinished) OnFinished(this, FCount, FSize);
}

void TqrvFileScan::Scan() {
  FList.Clear();
  FCount = 0;
  FSize = 0;
  SetCancel(false);
  std::erase_if(FFileSpec, [](std::string& s) {
    s = Trimmed(s);
    return s.empty();
  });
  if (FFileSpec.empty() && !(DefaultMask.size() && DirectoryExists(FRootDir))) return;
  if (ScanOptions == soScanDrvs)
    ScanDrives();
  else
    ScanGroups();
  FList.Sort();
  if (OnFinished) OnFinished(this, FCount, FSize);
}

void TqrvFileScan::ScanGroups() {
  if (FFileSpec.empty()) {
    std::vector<TDirKey> ancestors;
    ScanDir(FRootDir, CompileMasks(SplitCommaMasks(DefaultMask)), false, ancestors);
    return;
  }
  while (!FFileSpec.empty() && !IsCancelled()) {
    const TScanGroup g = TakeScanGroup(FFileSpec, FRootDir);
    if (OnRootDirChange) OnRootDirChange(this, g.Dir);
    if (RootDirProc) RootDirProc(g.Dir);
    std::vector<TDirKey> ancestors;
    ScanDir(g.Dir, CompileMasks(g.Masks), false, ancestors);
  }
}

// Every mounted file system that holds files of its own (a block device, a network share or a
// RAM disk), each from its mount point and without crossing into other file systems.
void TqrvFileScan::ScanDrives() {
  static const std::set<std::string> kTypes = {"nfs",   "nfs4",  "cifs",    "smb3", "smbfs",
                                               "tmpfs", "ramfs", "iso9660", "udf"};
  std::vector<std::string> roots;
  std::ifstream mounts("/proc/self/mounts");
  std::string src, dir, type, rest;
  while (mounts >> src >> dir >> type && std::getline(mounts, rest))
    if (src.rfind("/dev/", 0) == 0 || kTypes.count(type)) roots.push_back(WithTrailingSlash(dir));
  std::sort(roots.begin(), roots.end());
  roots.erase(std::unique(roots.begin(), roots.end()), roots.end());
  std::vector<std::string> masks;
  for (const std::string& entry : FFileSpec) {
    std::string d, m;
    SplitMaskPath(Trimmed(entry), d, m);
    JoinMask(masks, NormalizeMask(m));
  }
  if (masks.empty()) masks = SplitCommaMasks(DefaultMask);
  FFileSpec.clear();
  const std::vector<TMultiMask> compiled = CompileMasks(masks);
  for (const std::string& root : roots) {
    if (IsCancelled()) break;
    if (OnRootDirChange) OnRootDirChange(this, root);
    if (RootDirProc) RootDirProc(root);
    std::vector<TDirKey> ancestors;
    ScanDir(root, compiled, true, ancestors);
  }
}

void TqrvFileScan::ScanDir(const std::string& Dir, const std::vector<TMultiMask>& Masks, bool OneFileSystem,
                           std::vector<TDirKey>& Ancestors) {
  struct stat self {};
  if (stat(Dir.c_str(), &self) != 0) return;
  // A folder reached again through a symbolic link would recurse for ever: skip it.
  for (const TDirKey& k : Ancestors)
    if (k.Dev == uint64_t(self.st_dev) && k.Ino == uint64_t(self.st_ino)) return;
  Ancestors.push_back({uint64_t(self.st_dev), uint64_t(self.st_ino)});

  if (OnRecurseDir) OnRecurseDir(this, Dir);
  std::vector<std::string> names;
  if (DIR* d = opendir(Dir.c_str())) {
    while (const dirent* e = readdir(d)) {
      const std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());  // a stable, predictable archive order

  for (const std::string& name : names) {
    if (IsCancelled()) break;
    TqrvFindData data;
    data.Name = name;
    const std::string path = Dir + name;
    if (!GetFileInfo(path, data.Info, FollowLinks)) continue;  // vanished, or a dangling link
    HandleEntry(Dir, data, Masks);
    ProcessMessages();
    if (!data.Info.IsDir || !RecurseDirs) continue;
    if ((data.Info.Attr & faHidden) && !IncludeHiddenDirs) continue;
    if (OneFileSystem) {
      struct stat sub {};
      if (stat(path.c_str(), &sub) != 0 || sub.st_dev != self.st_dev) continue;
    }
    ScanDir(path + "/", Masks, OneFileSystem, Ancestors);
  }
  Ancestors.pop_back();
}

void TqrvFileScan::HandleEntry(const std::string& Dir, const TqrvFindData& Data, const std::vector<TMultiMask>& Masks) {
  if (!AttrAdmitted(Data.Info.Attr, Attributes, AttributesEx)) return;
  // A directory goes on with its own path (trailing "/"), a file with its folder.
  auto hand = [&](const std::string& where) {
    if (!UpdateList) return;
    if (EntryProc)
      EntryProc(where, Data);
    else
      AddToOwnList(where, Data);
  };
  if (Data.Info.IsDir) {
    hand(Dir + Data.Name + "/");
    return;
  }
  const bool hit =
      std::any_of(Masks.begin(), Masks.end(), [&](const TMultiMask& m) { return m.Mask.Matches(Data.Name); });
  if (!hit) return;
  if (!S_ISREG(Data.Info.Mode) && !S_ISLNK(Data.Info.Mode)) {
    // Reading a FIFO or a device could wait for ever; only regular files (and, when links are
    // not followed, the links themselves) are packed.
    if (SkippedProc) SkippedProc(Dir + Data.Name, SpecialFileKind(Data.Info.Mode));
    return;
  }
  ++FCount;
  FSize += Data.Info.Size;
  if (OnScanFile) OnScanFile(this, Dir + Data.Name, FCount, FSize);
  hand(Dir);
}

void TqrvFileScan::AddToOwnList(const std::string& Dir, const TqrvFindData& Data) {
  TFileObject o;
  if (!Data.Info.IsDir) o.FileName = Data.Name;
  o.DirPath = Dir;
  o.Size = Data.Info.Size;
  o.Attr = Data.Info.Attr;
  o.DosDate = Data.Info.DosTime;
  FList.Items.push_back(std::move(o));
}

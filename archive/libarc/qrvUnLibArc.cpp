// The libarchive reader: one pass over the entries as libarchive gives them, each selected one
// through the frame's per-entry step.
#include "archive/libarc/qrvUnLibArc.h"

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

#include "platform/FileInfo.h"

namespace {

const char* Utf8Or(const char* Utf8, const char* Raw) { return Utf8 ? Utf8 : Raw ? Raw : ""; }

std::string EntryName(archive_entry* E) { return Utf8Or(archive_entry_pathname_utf8(E), archive_entry_pathname(E)); }

// A hard link names an earlier entry as stored; a leading "/" or "./" is dropped as it was from
// that entry's name. ".." is kept, so the frame refuses a target outside the output folder.
std::string HardLinkTarget(std::string T) {
  for (;;) {
    if (T.starts_with("/"))
      T.erase(0, 1);
    else if (T.starts_with("./"))
      T.erase(0, 2);
    else
      return T;
  }
}

// The archive's own root ("." of an ISO image, "./" of a tar made with -C dir .): the output
// folder itself, neither listed nor made.
bool IsRootEntry(const std::string& Name) {
  return !Name.empty() && Name.find_first_not_of("./") == std::string::npos && Name.find("..") == std::string::npos;
}

// Why an entry of this file type is not made ("" for files, folders and links).
const char* NotMadeReason(unsigned Type) {
  switch (Type) {
    case AE_IFCHR:
    case AE_IFBLK: return "device, not extracted";
    case AE_IFIFO: return "FIFO, not extracted";
    case AE_IFSOCK: return "socket, not extracted";
    default: return "";
  }
}

int64_t FileMTime(const std::string& Path) {
  struct stat st {};
  return stat(Path.c_str(), &st) == 0 ? int64_t(st.st_mtime) : 0;
}

}  // namespace

TUnLibArc::TUnLibArc() = default;

TUnLibArc::~TUnLibArc() { Close(); }

void TUnLibArc::Close() {
  if (FArc) archive_read_free(FArc);
  FArc = nullptr;
  FDecoder.reset();
  FSource.Decoder = nullptr;
}

bool TUnLibArc::OpenDecoded(TStream32& Stream, int& R) {
  const TStreamFilter filter = DetectStreamFilter(Stream);
  if (filter == sfNone) return false;
  // A tar inside, or a lone compressed file: brel's decoder checks every member's CRC, which
  // libarchive's gzip filter does not. Anything else keeps libarchive's filter.
  const TLibArcKind kind = DetectLibArcKind(FArchiveFile);
  if (!kind.Name.starts_with("tar.") && !kind.Single) return false;
  FKindName = kind.Name;
  FSingle = kind.Single;
  FDecoder = NewDecodeStream(filter, Stream);
  FSource.Stream = FDecoder.get();
  FSource.Decoder = FDecoder.get();
  FSource.Cancel = CancelFlag();
  FArcBytes = Stream.Size();
  R = OpenLibArcStream(FArc, FSource);
  return true;
}

void TUnLibArc::ReportArchive(const std::string& Why, int32_t Code) {
  ReportError(FArchiveFile, Why, FRunArchiveName, Code);
}

int32_t TUnLibArc::FailCode(int32_t Default) const {
  return FDecoder && FDecoder->Error().Code != 0 ? FDecoder->Error().Code : Default;
}

std::string TUnLibArc::VolumeNote() const {
  if (FVolumes.size() < 2) return {};
  const std::string& last = FVolumes.back();
  return "; read as a set of " + std::to_string(FVolumes.size()) + " volumes up to " +
         last.substr(last.rfind('/') + 1) + ": is a later volume missing?";
}

std::string TUnLibArc::LibError() const {
  const char* s = FArc ? archive_error_string(FArc) : nullptr;
  return s && *s ? s : "libarchive reported an error without a reason";
}

bool TUnLibArc::Open(TStream32& Stream) {
  if (const std::string first = LibArcFirstVolume(FArchiveFile); !first.empty()) {
    // libarchive would read a later volume as a damaged archive, or not at all.
    ReportArchive("a later volume of a set: open the set from its first volume, " + first.substr(first.rfind('/') + 1) +
                      (FileExists(first) ? "" : " (not found)"),
                  ecUnsupportedType);
    return false;
  }
  FArc = NewLibArcReader();
  if (!FArc) {
    ReportArchive("", ecOutOfMemory);
    return false;
  }
  archive_read_set_passphrase_callback(FArc, this, PassphraseCallback);
  if (!Password.empty()) archive_read_add_passphrase(FArc, Password.c_str());
  for (const std::string& p : Passwords)
    if (!p.empty()) archive_read_add_passphrase(FArc, p.c_str());
  FVolumes = LibArcVolumes(FArchiveFile);
  int r;
  if (FVolumes.size() > 1) {
    // A volume set: libarchive's multi-file open reads the volumes as one.
    std::vector<const char*> names;
    FArcBytes = 0;
    for (const std::string& v : FVolumes) {
      names.push_back(v.c_str());
      TFileInfo info;
      if (GetFileInfo(v, info)) FArcBytes += info.Size;
    }
    names.push_back(nullptr);
    r = archive_read_open_filenames(FArc, names.data(), 256 * 1024);
  } else if (!OpenDecoded(Stream, r)) {
    FSource.Stream = &Stream;
    FSource.Cancel = CancelFlag();
    FArcBytes = Stream.Size();
    r = OpenLibArcStream(FArc, FSource);
  }
  if (r == ARCHIVE_OK) return true;
  ReportArchive(LibError(), FailCode(ecOpenFile));
  return false;
}

int TUnLibArc::ExtractArchive(TStream32& Stream, int Flag) {
  const TUtf8Names utf8;
  FFatal = false;
  FEncryptedSkipped = FPassAsked = 0;
  FKindName.clear();
  FSingle = false;
  FDoneOut = 0;
  if (Open(Stream)) {
    try {
      ReadEntries();
    } catch (const EArchiveError&) {
      // Disk full and the like end the run; what was reported stays reported.
    }
  }
  Close();
  return EntryCount;
}

void TUnLibArc::ReadEntries() {
  archive_entry* e = nullptr;
  int damaged = 0;
  ByteTotal = BytesToGo = FArcBytes;
  while (!IsCancelled()) {
    const int r = archive_read_next_header(FArc, &e);
    if (r == ARCHIVE_EOF) break;
    if (r == ARCHIVE_RETRY || r == ARCHIVE_FAILED) {
      // A header libarchive skips: reported, the rest is read (a bounded number of times).
      ReportArchive(LibError(), ecBadFileHeader);
      if (++damaged < 100) continue;
    }
    if (r < ARCHIVE_WARN) {
      if (!IsCancelled()) ReportArchive(LibError() + VolumeNote(), ecBadFileHeader);
      break;
    }
    if (FKindName.empty()) {
      const TLibArcKind kind = LibArcKindOf(FArc);
      if (kind.Name.empty()) {
        ReportArchive("not an archive this reader knows", ecUnsupportedType);
        break;
      }
      FKindName = kind.Name;
      FSingle = kind.Single;
    }
    const std::string name = FSingle ? LoneMemberName(FArchiveFile) : EntryName(e);
    if (name.empty()) {
      // A name libarchive could not convert: said, never dropped quietly.
      ReportArchive(LibError(), ecInvalidFileName);
      continue;
    }
    if (!IsRootEntry(name) && EntrySelected(name)) {
      ++EntryNumber;
      if (ExtractMode == xmList)
        ListEntry(e, name);
      else
        ExtractEntry(e, name);
    }
    StreamProgress();
    if (FFatal) break;
  }
}

void TUnLibArc::ListEntry(archive_entry* E, const std::string& Name) {
  ++EntryCount;
  if (!OnListEntry) return;
  const TStepEntry s = StepOf(E, Name);
  TListEntry l;
  l.Name = Name;
  l.DosDateTime = s.DosDateTime;
  l.Attr = s.Attr;
  // A lone compressed file stores no size: it is counted by decoding (gzip's trailer holds it
  // only modulo 4 GiB, and most other compressors not at all).
  l.Size = FSingle && !archive_entry_size_is_set(E) ? CountData() : s.Size;
  l.MethodName = s.Link == lkSymbolic ? "Symlink" : s.IsDir ? "Directory" : FKindName;
  l.Encrypted = archive_entry_is_encrypted(E);
  OnListEntry(this, l);
}

TStepEntry TUnLibArc::StepOf(archive_entry* E, const std::string& Name) const {
  TStepEntry s;
  s.Name = Name;
  const unsigned type = archive_entry_filetype(E);
  s.IsDir = type == AE_IFDIR;
  s.Size = !s.IsDir && archive_entry_size_is_set(E) ? std::max<int64_t>(0, archive_entry_size(E)) : 0;
  // A lone compressed file carries no date libarchive gives: it takes the file's own.
  const int64_t t = archive_entry_mtime_is_set(E) ? int64_t(archive_entry_mtime(E)) : FileMTime(FArchiveFile);
  s.UnixTime = t;
  s.DosDateTime = UnixToDosDateTime(t);
  s.Attr = s.IsDir ? faDirectory : faArchive;
  s.Check = ckNone;  // libarchive checks what the format stores itself
  s.UnixMode = FSingle ? 0 : uint32_t(archive_entry_perm(E)) & 0777;
  const char* hard = Utf8Or(archive_entry_hardlink_utf8(E), archive_entry_hardlink(E));
  if (*hard && s.Size == 0) {
    // A hard link that carries data (cpio's last link) is written as a file with that data.
    s.Link = lkHard;
    s.LinkTarget = HardLinkTarget(hard);
  } else if (type == AE_IFLNK) {
    s.Link = lkSymbolic;
    s.LinkTarget = Utf8Or(archive_entry_symlink_utf8(E), archive_entry_symlink(E));
    s.Size = 0;
  }
  return s;
}

void TUnLibArc::ExtractEntry(archive_entry* E, const std::string& Name) {
  const TStepEntry step = StepOf(E, Name);
  if (const char* reason = NotMadeReason(archive_entry_filetype(E)); *reason) {
    // Devices, FIFOs and sockets are left out on purpose (said when extracting, as for TAR).
    if (ExtractMode != xmExtract) return;
    if (HasNul(Name)) {
      ReportError(ShownName(Name), "NUL byte in the stored name", FRunArchiveName, ecInvalidFileName);
      return;
    }
    SetCurrentName(Name);
    ReportError(CurrentName().empty() ? ShownName(Name) : CurrentName(), reason, FRunArchiveName, ecUnknownFileType);
    return;
  }
  // Encrypted entries libarchive could not decrypt were said once; the others are left out
  // quietly, and no empty file stands for any of them.
  if (FEncryptedSkipped > 0 && archive_entry_is_data_encrypted(E)) {
    ++FEncryptedSkipped;
    return;
  }
  FBlock = nullptr;
  FBlockSize = 0;
  FBlockEnd = FBlockWarn = false;
  FWritten = 0;
  const bool hasData = !step.IsDir && step.Link == lkNone;
  ExtractStep(
      step, [&] { return CopyData(step.Size); }, [&] { return !hasData || FetchFirstBlock(E); });
}

bool TUnLibArc::ReadBlocks(const std::string& Where, const std::function<bool(const void*, size_t, int64_t)>& Take) {
  while (!IsCancelled()) {
    const void* buf = nullptr;
    size_t n = 0;
    la_int64_t offset = 0;
    const int r = archive_read_data_block(FArc, &buf, &n, &offset);
    if (r == ARCHIVE_EOF) return true;
    if (r < ARCHIVE_WARN) {
      FFatal = r == ARCHIVE_FATAL;
      if (!IsCancelled()) ReportError(Where, LibError() + VolumeNote(), FRunArchiveName, FailCode(ecReadFile));
      return false;
    }
    if (!Take(buf, n, offset)) return false;
    if (r == ARCHIVE_WARN) return CheckFailed(Where);
  }
  return false;
}

bool TUnLibArc::CheckFailed(const std::string& Where) {
  // libarchive's own check of the data (7z and RAR CRCs, cpio checksums) failed: the data is
  // kept, as for a CRC failure of brel's own formats, and the entry fails.
  ReportError(Where, LibError(), FRunArchiveName, ecCrcCheck);
  return false;
}

int64_t TUnLibArc::CountData() {
  int64_t size = 0;
  ReadBlocks(FArchiveFile, [&](const void*, size_t N, int64_t Offset) {
    size = Offset + int64_t(N);
    StreamProgress();
    return true;
  });
  return size;
}

bool TUnLibArc::FetchFirstBlock(archive_entry* E) {
  la_int64_t offset = 0;
  const int r = archive_read_data_block(FArc, &FBlock, &FBlockSize, &offset);
  FBlockOffset = offset;
  if (r == ARCHIVE_EOF) {
    FBlockEnd = true;
    FBlockSize = 0;
    return true;
  }
  FBlockWarn = r == ARCHIVE_WARN;
  if (r >= ARCHIVE_WARN) return true;
  FFatal = r == ARCHIVE_FATAL;
  FBlockSize = 0;
  if (archive_entry_is_data_encrypted(E)) {
    ++FEncryptedSkipped;
    ReportError(CurrentName(),
                FKindName + " entry encrypted and not decrypted (" + LibError() +
                    "); the encrypted entries of this archive are not extracted",
                FRunArchiveName, ecUnsupportedMethod);
  } else {
    ReportError(CurrentName(), LibError(), FRunArchiveName, FailCode(ecReadFile));
  }
  return false;
}

bool TUnLibArc::CopyData(int64_t Size) {
  // ByFile moves with the archive's bytes consumed, scaled by the run's ratio so far.
  const double ratio = FDoneOut > 0 ? double(FArcBytes - BytesToGo) / double(FDoneOut) : 1.0;
  StartEntryProgress(int64_t(double(Size) * std::min(ratio, 1.0)));
  if (FBlockSize > 0 && !WriteAt(FBlock, FBlockSize, FBlockOffset)) return false;
  if (FBlockWarn) return CheckFailed(CurrentName());
  if (!FBlockEnd && !ReadBlocks(CurrentName(), [this](const void* Buf, size_t N, int64_t Offset) {
        return N == 0 || WriteAt(Buf, N, Offset);
      }))
    return false;
  if (Size <= FWritten || !OutStream || BlockOutput != boFile) return !IsCancelled();
  // A sparse file ending in a hole: the file takes its full size.
  try {
    OutStream->SetSize(Size);
  } catch (const EArchiveError&) {
    ReportError(CurrentName(), std::strerror(OutStream->LastError() ? OutStream->LastError() : EFBIG), FRunArchiveName,
                ecWriteFile);
    return false;
  }
  return true;
}

bool TUnLibArc::WriteAt(const void* Data, size_t Count, int64_t Offset) {
  if (Offset > FWritten) {
    // A hole of a sparse entry: skipped over in the output (it reads as zeros).
    if (OutStream && BlockOutput == boFile && OutStream->Seek(Offset - FWritten, soFromCurrent) < 0) {
      ReportError(CurrentName(), std::strerror(OutStream->LastError() ? OutStream->LastError() : EIO), FRunArchiveName,
                  ecWriteFile);
      return false;
    }
    FWritten = Offset;
  }
  const auto* p = static_cast<const uint8_t*>(Data);
  for (size_t done = 0; done < Count;) {
    const int32_t n = int32_t(std::min<size_t>(Count - done, size_t(1) << 30));
    if (!WriteBlock(p + done, n)) return false;
    done += size_t(n);
  }
  FWritten += int64_t(Count);
  FDoneOut += int64_t(Count);
  StreamProgress();
  return true;
}

void TUnLibArc::StreamProgress() {
  ByteTotal = FArcBytes;
  const int64_t read = FDecoder ? FDecoder->InputRead() : archive_filter_bytes(FArc, -1);
  BytesToGo = std::max<int64_t>(0, FArcBytes - read);
  ProgressStep();
}

const char* TUnLibArc::PassphraseCallback(archive*, void* Self) {
  try {
    return static_cast<TUnLibArc*>(Self)->NextPassphrase();
  } catch (...) {
    return nullptr;  // nothing may pass through libarchive's C frames
  }
}

const char* TUnLibArc::NextPassphrase() {
  if (!OnGetPassword || FPassAsked >= PasswordAttempts || IsCancelled()) return nullptr;
  ++FPassAsked;
  FPassAnswer = Password;
  bool tryAgain = true;
  FTimer.Pause();
  OnGetPassword(this, CurrentName(), FPassAnswer, tryAgain);
  FTimer.Resume();
  if (!tryAgain || FPassAnswer.empty()) {
    FPassAsked = PasswordAttempts;
    return nullptr;
  }
  Password = FPassAnswer;
  return FPassAnswer.c_str();
}

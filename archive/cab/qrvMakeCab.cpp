// The cabinet writer: the run around the creation context, the callbacks it asks, names and
// the compression type.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "archive/cab/qrvMakeCab.h"
#include "platform/CodePage.h"
#include "platform/FileInfo.h"
#include "platform/Paths.h"
#include "platform/TempFiles.h"

namespace {

// A temporary file whose name is gone as soon as it exists: nothing is left behind, whatever
// ends the run.
class TSpillStream : public TFileStream32 {
 public:
  TSpillStream(const std::string& Name, int Fd) : TFileStream32(Name, TAdoptHandle{Fd}) { unlink(Name.c_str()); }
};

}  // namespace

TMakeCab::TMakeCab() {
  SetFormatDefaultExt(".cab");
  SetAllowedMethods(MethodBit(cmStore) | MethodBit(cmMsZip) | MethodBit(cmLzx) | MethodBit(cmQuantum), cmMsZip);
  FArcType = atCab;
}

void TMakeCab::SetLzxLevel(int Value) { FLzxLevel = std::clamp(Value, 15, 21); }
void TMakeCab::SetQuantumLevel(int Value) { FQuantumLevel = std::clamp(Value, 1, 7); }
void TMakeCab::SetQuantumMemory(int Value) { FQuantumMemory = std::clamp(Value, 10, 21); }

uint16_t TMakeCab::CompressionType() const {
  switch (FCompressMethod) {
    case cmStore: return tcompTypeNone;
    case cmLzx: return CabLzxType(FLzxLevel);
    // The low four bits must name Quantum itself, or readers would take the folder for
    // another type; QuantumType has no room in the value.
    case cmQuantum: return CabQuantumType(FQuantumMemory, FQuantumLevel, tcompTypeQuantum);
    default: return tcompTypeMsZip;
  }
}

std::string TMakeCab::CompressionName() const {
  switch (FCompressMethod) {
    case cmStore: return "Stored";
    case cmLzx: return "Lzx";
    case cmQuantum: return "Quantum";
    default: return "MsZIP";
  }
}

int TMakeCab::ZlibLevel() const {
  // With each block seeded by the previous 32 KiB, level 4 already packs smaller than peers
  // that deflate blocks on their own at level 6, in far less time.
  switch (DeflateType) {
    case dtDeflateS: return 1;
    case dtDeflateF: return 2;
    case dtDeflateX: return 9;
    default: return 4;
  }
}

std::string TMakeCab::StoredBytes(const std::string& Name, uint16_t& Attribs) const {
  std::string s = Name;
  std::replace(s.begin(), s.end(), '/', '\\');
  if (!HasNonAscii(s)) return s;
  if (Cp932Names)
    if (std::optional<std::string> oem = Utf8ToCp932(s)) return *oem;
  Attribs |= cfattrNameIsUtf;
  return s;
}

// ---- The run -------------------------------------------------------------------------------

void TMakeCab::CompressArchive(TCompHeaderObj& List) {
  FNewArchive = !FileExists(FArchiveFile);
  if (Switch == swDelete) {
    RaiseError(ecsArchive, "", "", FArchiveFile, ecUnsupportedType);
    return;  // when cancelled RaiseError only reports
  }
  if (Switch == swRead) {
    EntryNumber = ReadOnlyRun();
    return;
  }
  if (!FNewArchive && !CheckOldArchiveWritable()) return;
  StoreEmptySubDirs = false;
  TRunActivation activation(*this);
  // The cabinet is built in a temporary file beside its name; an old cabinet stays as it is
  // until the new one is complete.
  TTempFileStream output(*this, fmCreate, FArchiveFile, TempDir());
  output.AllowUndo = BackupOldArchive;
  FOutName = output.TempFileName();
  try {
    TCCAB params;
    params.szCab = BaseOf(FArchiveFile);
    params.szCabPath = WithTrailingSlash(DirOf(FArchiveFile));
    params.fFailOnIncompressible = FailOnIncompressible;
    Pool().Reset();
    FCreator = std::make_unique<TCabCreator>(params, Callbacks(output), FCabError, ZlibLevel(), &Pool());
    TMemoryStream32 unused;  // rows go into the creation context, not into a frame stream
    if (BuildList(List)) ProcessList(List, unused, nullptr);
    bool ok = AddedCount > 0 && !IsCancelled();
    if (ok && !FCreator->FlushCabinet()) {
      ReportCabFailure(FArchiveFile);
      ok = false;
    }
    FCreator.reset();
    if (!ok) {
      output.Discard();
      AddedCount = 0;
    } else if (!output.Finish()) {
      AddedCount = 0;
    }
  } catch (...) {
    FCreator.reset();
    output.Discard();
    throw;
  }
  if (AddedCount > 0 && Switch == swMove) DeleteSources(List);
}

TCabCreateCallbacks TMakeCab::Callbacks(TStream32& Cabinet) {
  TCabCreateCallbacks cb;
  cb.OpenInfo = [this](const std::string& Path, uint16_t& Date, uint16_t& Time, uint16_t& Attribs) {
    return OpenSource(Path, Date, Time, Attribs);
  };
  cb.Read = [this](TStream32& Source, void* Buffer, int32_t Count) -> int32_t {
    if (IsCancelled()) return -1;
    const int32_t got = Source.Read(Buffer, Count);
    if (got > 0) BytesToGo = std::max<int64_t>(0, BytesToGo - got);
    return got;
  };
  cb.Status = [this](uint32_t, uint32_t) {
    ProgressStep();
    return IsCancelled() ? -1 : 0;
  };
  cb.CreateTemp = [this]() -> std::unique_ptr<TStream32> {
    std::string name;
    const int fd = CreateUniqueFile(TempDir(), "qrv", name);
    if (fd < 0) return nullptr;
    return std::make_unique<TSpillStream>(name, fd);
  };
  cb.OpenCabinet = [&Cabinet](const TCCAB&) { return &Cabinet; };
  return cb;
}

std::unique_ptr<TStream32> TMakeCab::OpenSource(const std::string& Path, uint16_t& Date, uint16_t& Time,
                                                uint16_t& Attribs) {
  std::unique_ptr<TStream32> s;
  try {
    s = std::make_unique<TFileStream32>(Path, fmOpenRead | fmShareDenyNone);
  } catch (const EArchiveError&) {
    ReportError(Path, "", FRunArchiveName, ecOpenFile);
    return nullptr;
  }
  uint32_t dos = FRow ? FRow->Info.Date : 0;
  if (DateAttribute == daSysDate) dos = UnixToDosDateTime(int64_t(std::time(nullptr)));
  if (DateAttribute == daMaxFileDate && NewestDate) dos = NewestDate;
  Date = uint16_t(dos >> 16);
  Time = uint16_t(dos);
  Attribs = uint16_t(FRow ? FRow->Info.Attr & 0x27 : uint32_t(faArchive));
  return s;
}

bool TMakeCab::CompressData(TStream32& Out, TCompHeaderObj& List, int Index) {
  const TCompRow& row = List[Index];
  FRow = &row;
  uint16_t attribs = 0;
  const std::string stored = StoredBytes(row.Name, attribs);
  const bool added = FCreator->AddFile(row.FullPath, stored, false, CompressionType(), attribs);
  FRow = nullptr;
  if (!added) {
    ReportCabFailure(row.Name);
    return false;
  }
  if (OnRead && !IsCancelled()) OnRead(this, 0, 0);
  return !IsCancelled();
}

void TMakeCab::EndFile(TCompHeaderObj& List, int Index, bool Ok) {
  if (OnEnd) OnEnd(this, List[Index].Name, Ok);
}

// ---- Read-only pass -------------------------------------------------------------------------

bool TMakeCab::ReadFirstHeader(std::string& Name, TStream32& Stream) {
  uint8_t h[CabHeaderSize];
  FFilesLeft = 0;
  Stream.SetPosition(0);
  if (Stream.Read(h, CabHeaderSize) != CabHeaderSize || h[0] != 'M' || h[1] != 'S' || h[2] != 'C' || h[3] != 'F')
    return false;
  FFilesLeft = h[28] | h[29] << 8;
  Stream.SetPosition(h[16] | h[17] << 8 | h[18] << 16 | int64_t(h[19]) << 24);
  return ReadHeader(Stream, Name);
}

bool TMakeCab::ReadHeader(TStream32& Stream, std::string& Name) {
  FNextHeader = 0;
  uint8_t rec[CabFileFixedSize + 256];
  const int64_t at = Stream.Position();
  const int32_t got = FFilesLeft > 0 ? Stream.Read(rec, sizeof rec) : 0;
  if (got <= CabFileFixedSize) return false;
  const uint8_t* end =
      static_cast<const uint8_t*>(std::memchr(rec + CabFileFixedSize, 0, size_t(got - CabFileFixedSize)));
  if (!end) return false;
  Name.assign(reinterpret_cast<const char*>(rec + CabFileFixedSize), size_t(end - (rec + CabFileFixedSize)));
  --FFilesLeft;
  FNextHeader = at + (end - rec) + 1;
  Stream.SetPosition(FNextHeader);
  return true;
}

void TMakeCab::ReportCabFailure(const std::string& Name) {
  if (!FCabError.fError || IsCancelled()) return;
  switch (FCabError.erfOper) {
    case fcierrOpenSrc:
    case fcierrUserAbort: return;  // reported where it happened
    case fcierrReadSrc: ReportError(Name, "", FRunArchiveName, ecReadFile); return;
    case fcierrBadComprType: ReportError(Name, CompressionName(), FRunArchiveName, ecUnsupportedType); return;
    case fcierrAllocFail: ReportError(Name, "", FRunArchiveName, ecOutOfMemory); return;
    case fcierrCabFormatLimit:
      ReportError(Name, "", FRunArchiveName,
                  FCabError.erfType == 2 ? int32_t(ecInvalidFileName) : int32_t(ecFileSizeNotSupported));
      return;
    default: ReportError(Name, "", FRunArchiveName, ecWriteFile); return;
  }
}

// The component frame's shared operations: error reports, cancel, progress, stopwatch, block
// writer and reader, and the property setters of the writer and reader bases.
#include "archive/core/qrvBase.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "platform/FileInfo.h"
#include "platform/Paths.h"
#include "platform/TempFiles.h"

// ---- Free helpers --------------------------------------------------------------------------

uint16_t DeflateOptionBits(TDeflateType T) {
  switch (T) {
    case dtDeflateS: return 6;
    case dtDeflateF: return 4;
    case dtDeflateX: return 2;
    default: return 0;
  }
}

int ZLevelOf(TDeflateType T) {
  switch (T) {
    case dtDeflateS: return 0;
    case dtDeflateF: return 1;
    case dtDeflateX: return 9;
    default: return 6;
  }
}

uint8_t Percentage(int64_t Part, int64_t Whole) {
  if (Whole <= 0) return 0;
  const double r = std::round(double(Part) * 100.0 / double(Whole));
  return uint8_t(std::clamp(r, 0.0, 100.0));
}

const std::vector<std::string>& DefaultStoreFilesOfType() {
  static const std::vector<std::string> kList = {".ACE", ".ARC", ".ARJ", ".BH",  ".CAB", ".ENC", ".GZ",  ".HA",
                                                 ".JAR", ".LHA", ".LZH", ".PAK", ".PK3", ".PK_", ".RAR", ".TAR",
                                                 ".TGZ", ".UUE", ".UU",  ".WAR", ".XXE", ".Z",   ".ZIP", ".ZOO"};
  return kList;
}

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Extension of the last path component, with its dot; "" when it has none.
std::string ExtOf(const std::string& path) {
  const size_t slash = path.rfind('/'), dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  return path.substr(dot);
}

}  // namespace

// ---- Stopwatch -----------------------------------------------------------------------------

int64_t TqrvTimer::DefaultTicks() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void TqrvTimer::Start() {
  FStart = Ticks();
  FElapsed = 0;
  FRunning = true;
  FPaused = false;
}

void TqrvTimer::Pause() {
  if (!FRunning || FPaused) return;
  FPausedAt = Ticks();
  FPaused = true;
}

void TqrvTimer::Resume() {
  if (!FRunning || !FPaused) return;
  FStart += Ticks() - FPausedAt;
  FPaused = false;
}

void TqrvTimer::Stop() {
  if (!FRunning) return;
  Resume();
  FElapsed = float(Ticks() - FStart) / 1000.0f;
  FStart = 0;
  FRunning = false;
}

// ---- TRunActivation -------------------------------------------------------------------------

TRunActivation::TRunActivation(TZipCommon& Component) : FComponent(Component) {
  if (FComponent.OnElapsedTime) FComponent.Timer().Start();
  if (FComponent.OnActivate) FComponent.OnActivate(&FComponent);
}

void TRunActivation::Deactivate() {
  if (!FActive) return;
  FActive = false;
  if (FComponent.OnDeactivate) FComponent.OnDeactivate(&FComponent);
}

TRunActivation::~TRunActivation() {
  try {
    Deactivate();
    TqrvTimer& timer = FComponent.Timer();
    if (timer.Running()) {
      timer.Stop();
      if (FComponent.OnElapsedTime) FComponent.OnElapsedTime(&FComponent, timer.ElapsedTime());
    }
  } catch (...) {
    // A handler's failure cannot leave a destructor.
  }
}

// ---- TZipCommon ----------------------------------------------------------------------------

TZipCommon::TZipCommon() = default;
TZipCommon::~TZipCommon() = default;

void TZipCommon::SetCompressMethod(TCompressMethod Value) {
  if (FAllowedMethods & MethodBit(Value)) FCompressMethod = Value;
}

void TZipCommon::SetAllowedMethods(TCompressMethods Methods, TCompressMethod Default) {
  FAllowedMethods = Methods;
  FCompressMethod = Default;
}

void TZipCommon::ReportError(const std::string& FileName, const std::string& ExtendedMsg, const std::string& VolumeID,
                             int32_t ECode) {
  FTimer.Pause();
  if (OnError) {
    try {
      OnError(this, FileName, ExtendedMsg, VolumeID, IsCancelled() ? ecUserCanceled : ECode);
    } catch (...) {
      // A report never fails, whatever the host's handler does.
    }
  }
  FTimer.Resume();
}

void TZipCommon::RaiseError(TErrorClass Class, const std::string& FileName, const std::string& ExtendedMsg,
                            const std::string& VolumeID, int32_t ECode) {
  ReportError(FileName, ExtendedMsg, VolumeID, ECode);
  if (!IsCancelled()) ThrowError(Class, ECode, FileName, true);
}

void TZipCommon::SetCancel(bool Value) {
  *FCancelFlag = Value;
  if (Value) ReportError(FCurrentName, "", FRunArchiveName, ecUserCanceled);
}

void TZipCommon::StartEntryProgress(int64_t EntrySize) {
  FEntrySize = EntrySize;
  FEntryToGoAtStart = BytesToGo;
}

void TZipCommon::ProgressStep() {
  FLastByFile = Percentage(FEntryToGoAtStart - BytesToGo, FEntrySize);
  FLastByArchive = Percentage(ByteTotal - BytesToGo, ByteTotal);
  ProcessMessages();
  if (OnProgress) OnProgress(this, FLastByFile, FLastByArchive);
}

TDateTime TZipCommon::DosDateToDateTime(int32_t DosDateTime) const {
  return DosDateTimeToDateTime(uint32_t(DosDateTime));
}

std::string TZipCommon::VolumeName(int N) const {
  if (FArchiveFile.empty()) return {};
  const std::string ext = ExtOf(FArchiveFile);
  std::string num = std::to_string(N);
  if (num.size() < 2) num.insert(0, 2 - num.size(), '0');
  return FArchiveFile.substr(0, FArchiveFile.size() - ext.size()) + ".z" + num;
}

void TZipCommon::ResetRunState() {
  EntryNumber = EntryCount = AddedCount = DeletedCount = 0;
  ByteTotal = BytesToGo = 0;
  FEntrySize = FEntryToGoAtStart = 0;
  FLastByFile = FLastByArchive = 0;
  NewestDate = 0;
  BlockBytesWritten = 0;
  FArjKeyPos = 0;
  FLastWasCr = false;
  FRunArchiveName = FArchiveFile;
  *FCancelFlag = false;
}

// ---- Block writer and reader ---------------------------------------------------------------

namespace {

bool CipherApplies(TArcType t) {
  return t == atBh || t == atBhExe || t == atJar || t == atJarExe || IsZipFamilyType(t) || t == atZipDS;
}

}  // namespace

bool TZipCommon::SendBlock(const uint8_t* P, int32_t N, int& Err) {
  Err = 0;
  if (BlockOutput == boMemory) {
    OutMemory.insert(OutMemory.end(), P, P + N);
    return true;
  }
  if (!OutStream) {
    Err = EBADF;
    return false;
  }
  int32_t done = 0;
  while (done < N) {
    const int32_t got = OutStream->Write(P + done, N - done);
    if (got <= 0) {
      Err = OutStream->LastError();
      return false;
    }
    done += got;
  }
  return true;
}

bool TZipCommon::WriteBlock(const void* Buffer, int32_t Count, int CrcBits, TBlockCipher Cipher) {
  if (Count <= 0) return true;
  const bool cipher = Cipher != bcNone && CipherApplies(FArcType);
  const auto* src = static_cast<const uint8_t*>(Buffer);
  std::vector<uint8_t> work;
  if (cipher || ConvertLineEnds) work.assign(src, src + Count);
  uint8_t* data = cipher || ConvertLineEnds ? work.data() : nullptr;
  const uint8_t* plain = data ? data : src;

  if (cipher && Cipher == bcDecipher) StreamState->Cipher.Decrypt(data, size_t(Count));
  if (CrcBits == 32) StreamState->Crc32Val = UpdateCrc32(StreamState->Crc32Val, plain, size_t(Count));
  if (CrcBits == 16) StreamState->Crc16Val = UpdateCrc16(StreamState->Crc16Val, plain, size_t(Count));
  if (cipher && Cipher == bcEncipher) StreamState->Cipher.Encrypt(data, size_t(Count));
  BlockBytesWritten += Count;
  if (BlockOutput == boNone) return true;

  std::vector<uint8_t> converted;
  const uint8_t* out = plain;
  int32_t n = Count;
  if (ConvertLineEnds) {
    // A lone LF becomes CR LF, also when its CR ended the previous block.
    converted.reserve(size_t(Count) + size_t(Count) / 8);
    for (int32_t i = 0; i < Count; ++i) {
      const bool afterCr = i > 0 ? plain[i - 1] == '\r' : FLastWasCr;
      if (plain[i] == '\n' && !afterCr) converted.push_back('\r');
      converted.push_back(plain[i]);
    }
    FLastWasCr = plain[Count - 1] == '\r';
    out = converted.data();
    n = int32_t(converted.size());
  }
  int err = 0;
  if (SendBlock(out, n, err)) return true;
  if (IsDiskFullErrno(err)) {
    EntryCount = 0;
    RaiseError(ecsWrite, FCurrentName, std::strerror(err), FRunArchiveName, ecDiskFull);
    return false;
  }
  --EntryCount;
  ReportError(FCurrentName, err ? std::strerror(err) : "", FArchiveFile, ecWriteFile);
  return false;
}

int32_t TZipCommon::ReadBlock(TStream32& Stream, void* Buffer, int32_t Count) {
  int32_t got = Count > 0 ? Stream.Read(Buffer, Count) : 0;
  if (got < 0) got = 0;
  DecryptBlock(Buffer, got);
  return got;
}

void TZipCommon::DecryptBlock(void* Buffer, int32_t Count) {
  if (FArcType != atArj && FArcType != atArjExe) return;
  const std::string pw = GetPassword();
  if (pw.empty()) return;
  auto* p = static_cast<uint8_t*>(Buffer);
  for (int32_t i = 0; i < Count; ++i) p[i] ^= uint8_t(pw[FArjKeyPos++ % pw.size()]);
}

// ---- Temporary streams ---------------------------------------------------------------------

void TZipCommon::SetTempByteTotal(int64_t Total) { ByteTotal = BytesToGo = Total; }

void TZipCommon::DoTmpFileMoveBegin(const std::string& Archive, const std::string& TempFileName, bool& Cancel) {
  if (OnTmpFileMoveBegin) OnTmpFileMoveBegin(this, Archive, TempFileName, Cancel);
}

void TZipCommon::DoTmpFileMoveEnd() {
  if (OnTmpFileMoveEnd) OnTmpFileMoveEnd(this);
}

void TZipCommon::DoTmpFileProgress(int64_t Position) {
  const uint8_t p = Percentage(Position, ByteTotal);
  ProcessMessages();
  if (OnTmpFileProgress) OnTmpFileProgress(this, p, p);
}

// ---- TCompBase -----------------------------------------------------------------------------

TCompBase::TCompBase() { Attributes = {fsZeroAttr, fsReadOnly, fsArchive, fsCompressed, fsEncrypted}; }

void TCompBase::SetFormatDefaultExt(const std::string& Ext) {
  FFormatDefaultExt = Ext;
  FDefaultExt = Ext;
}

void TCompBase::SetArchiveFile(const std::string& Value) {
  std::string name = Value;
  if (!name.empty() && ExtOf(name).empty()) name += FDefaultExt;
  FArchiveFile = name;
  SfxOffset = 0;
  *CancelFlag() = false;
}

void TCompBase::SetDefaultExt(const std::string& Value) {
  const std::string previous = FDefaultExt;
  if (Value.empty() || Value == ".") {
    FDefaultExt = FFormatDefaultExt;
  } else {
    std::string v = Value[0] == '.' ? Value : "." + Value;
    FDefaultExt = Lower(v.substr(0, 4));
  }
  if (FArchiveFile.empty()) return;
  const std::string ext = ExtOf(FArchiveFile);
  if (ext.empty())
    FArchiveFile += FDefaultExt;
  else if (Lower(ext) == Lower(previous))
    FArchiveFile = FArchiveFile.substr(0, FArchiveFile.size() - ext.size()) + FDefaultExt;
}

std::string TCompBase::TempDir() const {
  if (!FTempDir.empty() && DirectoryExists(FTempDir)) return FTempDir;
  if (!FArchiveFile.empty()) {
    const std::string dir = DirOf(FArchiveFile);
    if (DirectoryExists(dir)) return WithTrailingSlash(dir);
  }
  return WithTrailingSlash(SystemTempDir());
}

void TCompBase::SetTempDir(const std::string& Value) {
  FTempDir.clear();
  if (Value.empty()) return;
  const std::string dir = WithTrailingSlash(Value);
  if (!DirectoryExists(dir)) {
    const std::string question = ErrorText(ecCreateTempDirQuestion) + "\r\r" + dir;
    if (!OnConfirm || !OnConfirm(this, question)) return;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (!DirectoryExists(dir)) return;
  }
  FTempDir = dir;
}

// ---- TUnBase -------------------------------------------------------------------------------

TUnBase::TUnBase() = default;

void TUnBase::SetExtractDir(const std::string& Value) {
  if (!Value.empty()) {
    FExtractDir = WithTrailingSlash(Value);
  } else {
    FExtractDir = FArchiveFile.empty() ? std::string() : WithTrailingSlash(DirOf(FArchiveFile));
  }
}

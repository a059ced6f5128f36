// The cabinet reader: the two passes over the decompress context's notices, the copy decision,
// the set walk and the error mapping.
#include "archive/cab/qrvUnCab.h"

#include <algorithm>
#include <cstdio>

#include "platform/CodePage.h"

namespace {

constexpr int32_t kRequiresFirstCabinet = 25901;

// The numbered code an error record's operation stands for.
int32_t CodeOf(int32_t Oper) {
  switch (Oper) {
    case fdierrCabinetNotFound: return ecOpenFile;
    case fdierrAllocFail: return ecOutOfMemory;
    case fdierrBadComprType: return ecUnsupportedMethod;
    case fdierrTargetFile: return ecWriteFile;
    case fdierrReserveMismatch: return 25137;
    case fdierrWrongCabinet: return 25904;
    case fdierrNotACabinet:
    case fdierrUnknownCabinetVersion: return ecUnsupportedType;
    default: return ecCorruptInput;
  }
}

uint32_t DosOf(const TCabNotification& N) { return uint32_t(N.Date) << 16 | N.Time; }

}  // namespace

TUnCab::TUnCab() { FArcType = atCab; }
TUnCab::~TUnCab() = default;

std::string TUnCab::DecodedName(const TCabNotification& N) {
  const bool utf8 = (N.Attribs & cfattrNameIsUtf) && IsValidUtf8(N.Name);
  const bool decode = !utf8 && TranslateOemChar;
  std::string name = decode ? DecodeStoredName(N.Name, NameCoding) : N.Name;
  std::string latin = decode ? Cp437ToUtf8(N.Name) : std::string();
  std::replace(name.begin(), name.end(), '\\', '/');
  std::replace(latin.begin(), latin.end(), '\\', '/');
  return FNames.Unique(name, N.Name, latin);
}

int TUnCab::ExtractArchive(TStream32& Stream, int Flag) {
  if (!FCab) FCab = std::make_unique<TCabDecompressor>(FErr);
  FEntryName.clear();
  FNames.Clear();
  CheckErrors();
  TCabInfo info;
  const bool found = FCab->IsCabinet(FArchiveFile, info);
  // A file that starts like a cabinet but whose headers do not read is damaged, not foreign.
  if (info.HeadDamaged)
    ReportError("", "no readable cabinet at the start of the file", FRunArchiveName, ecCorruptInput);
  if (!found) {
    if (!info.HeadDamaged && FErr.erfOper != fdierrNotACabinet) CheckErrors();
    return 0;
  }
  FFoundCabinets.clear();
  FTimer.Pause();
  ByteTotal = 0;
  const bool selected = FCab->Copy(
      FArchiveFile, [this](TCabNotification& N) { return SelectNotice(N); }, nullptr, CancelFlag());
  BytesToGo = ByteTotal;
  FTimer.Resume();
  if (!selected) {
    CheckErrors();
    return EntryCount;
  }
  FInfoTaken = false;
  FCab->SetWorkers(Workers);
  FCab->Copy(
      FArchiveFile, [this](TCabNotification& N) { return ExtractNotice(N); },
      [this](const uint8_t* D, int32_t C) { return WriteData(D, C); }, CancelFlag());
  CheckErrors();
  return EntryCount;
}

void TUnCab::CheckErrors() {
  if (!FErr.fError || FErr.erfOper == fdierrUserAbort) return;
  if (FErr.erfOper == fdierrCorruptCabinet) {
    ReportError(FEntryName, "", FRunArchiveName, ecCorruptInput);
    return;
  }
  char text[64];
  std::snprintf(text, sizeof text, "Cabinet error %d (type %d)", int(FErr.erfOper), int(FErr.erfType));
  ReportError(FArchiveFile, text, FRunArchiveName, CodeOf(FErr.erfOper));
  ECabinetError e(CodeOf(FErr.erfOper), text, FArchiveFile);
  e.Reported = true;
  throw e;
}

// ---- Selection pass ------------------------------------------------------------------------

int TUnCab::SelectNotice(TCabNotification& N) {
  if (N.Notice == cnNextCabinet) return NextCabinet(N);
  if (N.Notice == cnCopyFile || N.Notice == cnPartialFile) {
    if (!IsCancelled() && EntrySelected(DecodedName(N))) {
      ByteTotal += N.Size;
      NoteEntryDate(DosOf(N));
    }
  }
  return Abort();
}

// ---- Extraction pass -----------------------------------------------------------------------

int TUnCab::ExtractNotice(TCabNotification& N) {
  switch (N.Notice) {
    case cnCabinetInfo:
      if (!FInfoTaken) {
        FSetID = N.SetID;
        FCabinetNumber = N.CabinetIndex;
        FInfoTaken = true;
      }
      return Abort();
    case cnPartialFile: {
      // Its beginning lies in a cabinet that is not at hand: said, not silently dropped.
      const std::string name = DecodedName(N);
      if (!IsCancelled() && EntrySelected(name)) ReportError(name, "", FRunArchiveName, kRequiresFirstCabinet);
      return Abort();
    }
    case cnCopyFile: return CopyDecision(N);
    case cnNextCabinet: return NextCabinet(N);
    default: return Abort();
  }
}

int TUnCab::CopyDecision(TCabNotification& N) {
  const std::string name = DecodedName(N);
  if (IsCancelled()) return -1;
  if (!EntrySelected(name)) return 0;
  FEntryName = name;
  if (ExtractMode == xmList) {
    ListEntry(N, name);
    return 0;
  }
  TStepEntry step;
  step.Name = name;
  // A folder holds no data: an entry with the folder bit and a size is a file, whose data must
  // be checked like any other.
  step.IsDir = (N.Attribs & faDirectory) && N.Size == 0;
  step.Size = step.IsDir ? 0 : N.Size;
  step.DosDateTime = DosOf(N);
  step.Attr = N.Attribs & 0x3F;
  // The library checks every block's checksum on the way: a complete copy passes.
  step.Check = ckNone;
  // A folder type that cannot be decoded is reported before any output is made.
  auto prepare = [&] {
    if (step.IsDir || N.Error == fdierrNone) return true;
    ReportError(name, N.Error == fdierrBadComprType ? "unknown compression type" : "window size out of range",
                FRunArchiveName, CodeOf(N.Error));
    return false;
  };
  ExtractStep(
      step,
      [&] {
        FEntryWritten = 0;
        const int32_t rc = N.Extract();
        // A refused write was reported by the block writer already.
        if (rc != fdierrNone && rc != fdierrTargetFile && !IsCancelled())
          ReportError(name, "", FRunArchiveName, CodeOf(rc));
        // Failed before any of its data came out: no empty file stands in for it.
        if (rc != fdierrNone && FEntryWritten == 0) DiscardOutput();
        return rc == fdierrNone;
      },
      prepare);
  return Abort();
}

void TUnCab::ListEntry(const TCabNotification& N, const std::string& Name) {
  ++EntryCount;
  if (!OnListEntry) return;
  TListEntry l;
  l.Name = Name;
  l.DosDateTime = DosOf(N);
  l.Attr = N.Attribs & 0x3F;
  l.Size = N.Size;
  l.PackedSize = N.Size;
  l.Method = N.CompType;
  l.MethodName = MethodName(atCab, N.CompType);
  OnListEntry(this, l);
}

bool TUnCab::WriteData(const uint8_t* Data, int32_t Count) {
  if (!WriteBlock(Data, Count)) return false;
  FEntryWritten += Count;
  BytesToGo -= Count;
  ProgressStep();
  return !IsCancelled();
}

// ---- Set walk ------------------------------------------------------------------------------

int TUnCab::NextCabinet(TCabNotification& N) {
  // The second pass takes what the first one found (or did not find) without asking again.
  const auto known = FFoundCabinets.find(N.NextName);
  if (known != FFoundCabinets.end()) {
    N.NextPath = known->second;
    return known->second.empty() ? Abort() : 1;
  }
  FNextVolume = CabNeighbour(N.CabinetPath, N.NextName);
  const std::string path = FindVolume(N.CabinetIndex);
  FFoundCabinets[N.NextName] = path;
  if (path.empty()) return Abort();
  N.NextPath = path;
  return 1;
}

// The LZH reader: selection over the walked headers, then extraction entry by entry.
#include "archive/lzh/qrvUnLha.h"

#include <algorithm>
#include <cstring>

#include "archive/lzh/qrvLzh3.h"

namespace {

const TMethodDecoder kLzhDecoders[] = {
    {LhaKey('l', 'h', '0'), StoreCopy, 0},         {LhaKey('l', 'z', '4'), StoreCopy, 0},
    {LhaKey('l', 'h', '1'), LzhUnpackAdaptive, 0}, {LhaKey('l', 'h', '4'), LzhUnpackStatic, 12},
    {LhaKey('l', 'h', '5'), LzhUnpackStatic, 13},  {LhaKey('l', 'h', '6'), LzhUnpackStatic, 15},
    {LhaKey('l', 'h', '7'), LzhUnpackStatic, 16},
};

}  // namespace

TUnLha::TUnLha() = default;

int TUnLha::SelectEntries(TStream32& Stream, std::vector<TLhaHeader>& Selected) {
  const int64_t size = Stream.Size();
  int64_t pos = LhaFindFirstHeader(Stream, size);
  if (pos < 0) {
    ReportError(FArchiveFile, "", FRunArchiveName, ecBadFileHeader);
    return 0;
  }
  int64_t total = 0;
  TLhaHeader h;
  while (!IsCancelled()) {
    const TLhaRead r = LhaReadHeader(Stream, pos, size, TranslateOemChar, h);
    if (r == lrEnd) break;
    if (r == lrBad) {
      // Damage: what came before stays selected.
      ReportError(FArchiveFile, "", FRunArchiveName, ecBadFileHeader);
      break;
    }
    if (EntrySelected(h.Name.empty() ? std::string("?") : h.Name)) {
      NoteEntryDate(h.DosDateTime);
      total += h.Size;
      Selected.push_back(h);
    }
    pos = h.NextOffset;
  }
  ByteTotal = BytesToGo = total;
  return int(Selected.size());
}

int TUnLha::ExtractArchive(TStream32& Stream, int Flag) {
  std::vector<TLhaHeader> selected;
  FTimer.Pause();
  const int count = SelectEntries(Stream, selected);
  FTimer.Resume();
  if (count == 0) return 0;
  try {
    for (const TLhaHeader& e : selected) {
      if (IsCancelled()) break;
      ++EntryNumber;
      if (ExtractMode == xmList)
        ListEntry(e);
      else
        ExtractEntry(Stream, e);
    }
  } catch (const EArchiveError&) {
    // Disk full and the like end the pass; what was reported stays reported.
  }
  return EntryCount;
}

void TUnLha::ListEntry(const TLhaHeader& E) {
  ++EntryCount;
  if (!OnListEntry) return;
  TListEntry l;
  l.Name = E.Name;
  l.DosDateTime = E.DosDateTime;
  l.Attr = E.Attr | (E.IsDir() ? 0x10u : 0u);
  l.Size = E.Size;
  l.PackedSize = E.PackedSize;
  l.Method = E.MethodChar();
  l.MethodName = E.IsLink() ? "Symlink" : E.IsDir() ? "Directory" : MethodName(atLha, E.DashesOk() ? E.MethodChar() : 0);
  l.Crc32 = E.Crc;
  OnListEntry(this, l);
}

void TUnLha::ExtractEntry(TStream32& Stream, const TLhaHeader& E) {
  // Links are not made: one could lead a later entry out of the output folder.
  if (E.IsLink()) return;
  SetCurrentName(E.Name);
  if (E.NameHasNul || E.Name.empty() || CurrentName().empty()) {
    // A name that is cut at a NUL by one program and not by another names two different files.
    ReportError(E.Name, "", FRunArchiveName, ecInvalidFileName);
    BytesToGo -= E.Size;
    return;
  }
  StartEntryProgress(E.Size);
  if (!BeginEntry(E.IsDir())) {
    BytesToGo -= E.Size;
    ProgressStep();
    return;
  }
  StreamState->Crc16Val = 0;
  if (E.IsDir()) {
    const bool made = OpenOutput(true);
    MarkEntryDecoded(made);
    if (!made) ReportError(CurrentName(), "", FRunArchiveName, ecOpenFile);
    CheckCRC(16, 0);
    return;
  }
  if (!E.DashesOk() || !FindDecoder(kLzhDecoders, E.MethodKey())) {
    // Reported once: the entry then fails without a second report as a CRC error.
    ReportError(CurrentName(), "", FRunArchiveName, ecUnsupportedMethod);
    BytesToGo -= E.Size;
    if (OnEnd) OnEnd(this, CurrentName(), false);
    return;
  }
  if (!OpenOutput(false)) {
    ReportError(CurrentName(), "", FRunArchiveName, ecOpenFile);
    BytesToGo -= E.Size;
    --EntryCount;
    return;
  }
  const int64_t toGo = BytesToGo - E.Size;
  bool ok = false;
  try {
    ok = DecodeEntry(Stream, E);
  } catch (...) {
    CloseOutput(E.DosDateTime, E.Attr);
    throw;
  }
  BytesToGo = toGo;
  if (!CloseOutput(E.DosDateTime, E.Attr)) ok = false;
  MarkEntryDecoded(ok);
  CheckCRC(16, E.Crc);
}

bool TUnLha::DecodeEntry(TStream32& Stream, const TLhaHeader& E) {
  if (Stream.Seek(E.DataOffset, soFromBeginning) != E.DataOffset) return false;
  const TMethodDecoder* decoder = FindDecoder(kLzhDecoders, E.MethodKey());
  TDecoderIO io;
  io.Read = [this, &Stream](uint8_t* Buf, int64_t N) -> int64_t {
    return ReadBlock(Stream, Buf, int32_t(std::min<int64_t>(N, 1 << 20)));
  };
  io.Write = [this](const uint8_t* Data, int64_t N) -> int64_t {
    if (!WriteBlock(Data, int32_t(N), 16)) return 0;
    BytesToGo -= N;
    ProgressStep();
    return N;
  };
  io.CancelFlag = CancelFlag();
  io.CompressedSize = E.PackedSize;
  io.UncompressedSize = E.Size;
  const TDecodeStatus st = decoder->Run(io, decoder->Param);
  return st.Ok() && st.BytesOut == E.Size && !IsCancelled();
}

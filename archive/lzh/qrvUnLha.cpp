// The LZH reader: selection over the walked headers, then extraction entry by entry.
#include "archive/lzh/qrvUnLha.h"

#include <algorithm>
#include <cstring>

#include "archive/lzh/qrvLzh3.h"

namespace {

const TMethodDecoder kLzhDecoders[] = {
    {LhaKey('l', 'h', '0'), StoreCopy, 0, "Stored"},           {LhaKey('l', 'z', '4'), StoreCopy, 0, "lz4"},
    {LhaKey('l', 'h', '1'), LzhUnpackAdaptive, 0, "Frozen-1"}, {LhaKey('l', 'h', '4'), LzhUnpackStatic, 12, "Frozen-4"},
    {LhaKey('l', 'h', '5'), LzhUnpackStatic, 13, "Frozen-5"},  {LhaKey('l', 'h', '6'), LzhUnpackStatic, 15, "Frozen-6"},
    {LhaKey('l', 'h', '7'), LzhUnpackStatic, 16, "Frozen-7"},  {LhaKey('l', 'z', '5'), LzhUnpackLz5, 0, "lz5"},
    {LhaKey('l', 'z', 's'), LzhUnpackLzs, 0, "lzs"},           {LhaKey('p', 'm', '0'), StoreCopy, 0, "pm0"},
    {LhaKey('l', 'h', '2'), LzhUnpackLh2, 0, "Frozen-2"},      {LhaKey('l', 'h', '3'), LzhUnpackLh3, 0, "Frozen-3"},
    {LhaKey('p', 'm', '1'), LzhUnpackPm1, 0, "pm1"},           {LhaKey('p', 'm', '2'), LzhUnpackPm2, 0, "pm2"},
    {LhaKey('l', 'h', 'x'), LzhUnpackStatic, 20, "lhx"},  // UNLHA32's lh5 with a 1 MiB window
};

}  // namespace

std::string LhaMethodName(int MethodKey) { return MethodListName(kLzhDecoders, MethodKey); }

TUnLha::TUnLha() = default;

int TUnLha::SelectEntries(TStream32& Stream, std::vector<TLhaHeader>& Selected) {
  const int64_t size = Stream.Size();
  int64_t pos = LhaFindFirstHeader(Stream, size);
  TLhaHeader h;
  if (pos < 0) {
    // Why the start does not read, when it looks like a header at all.
    const bool bad = LhaReadHeader(Stream, 0, size, false, h) == lrBad;
    ReportError(FArchiveFile, bad ? std::string(h.Why) + " at offset 0" : "no LZH header found", FRunArchiveName,
                ecBadFileHeader);
    return 0;
  }
  int64_t total = 0;
  FNames.Clear();
  while (!IsCancelled()) {
    const TLhaRead r = LhaReadHeader(Stream, pos, size, TranslateOemChar, h, NameCoding);
    if (r == lrEnd) break;
    if (r == lrBad) {
      // Damage: what came before stays selected.
      ReportError(FArchiveFile, std::string(h.Why) + " at offset " + std::to_string(pos), FRunArchiveName,
                  ecBadFileHeader);
      break;
    }
    // Two files whose stored names read alike are kept apart (the later numbered); folders of
    // one name merge as they would anyway.
    if (!h.IsDir() || h.IsLink()) h.Name = FNames.Unique(h.Name, h.RawName);
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
  return ForEachSelected(selected.size(), [&](size_t I) {
    if (ExtractMode == xmList)
      ListEntry(selected[I]);
    else
      ExtractEntry(Stream, selected[I]);
  });
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
  l.MethodName = E.IsLink() ? "Symlink" : E.IsDir() ? "Directory" : LhaMethodName(E.DashesOk() ? E.MethodKey() : 0);
  l.Crc32 = E.Crc;
  OnListEntry(this, l);
}

void TUnLha::ExtractEntry(TStream32& Stream, const TLhaHeader& E) {
  if (E.NameHasNul) {
    // A name that one program cuts at the NUL and another does not names two different files.
    ReportError(ShownName(E.Name), "NUL byte in the stored name", FRunArchiveName, ecInvalidFileName);
    BytesToGo -= E.Size;
    return;
  }
  TStepEntry step;
  step.Name = E.Name;
  step.IsDir = E.IsDir() && !E.IsLink();
  step.Size = step.IsDir ? 0 : E.Size;
  step.DosDateTime = E.DosDateTime;
  step.Attr = E.Attr;
  step.UnixMode = E.UnixMode & 0777;
  step.Check = step.IsDir || !E.HasCrc ? ckNone : ckCrc16;
  step.Stored = E.Crc;
  if (E.IsLink()) {
    // The frame's extract step makes the link, under the rules it applies to every format's links.
    step.Link = lkSymbolic;
    step.LinkTarget = E.LinkTarget;
    step.Size = 0;
    ExtractStep(step, [] { return true; });
    return;
  }
  const TMethodDecoder* decoder = E.DashesOk() ? FindDecoder(kLzhDecoders, E.MethodKey()) : nullptr;
  auto supported = [&] {
    if (decoder || step.IsDir) return true;
    ReportError(
        CurrentName(),
        "method " + std::string(E.MethodId, 5) + ", header level " + std::to_string(E.Level) + ", not supported",
        FRunArchiveName, ecUnsupportedMethod);
    return false;
  };
  ExtractStep(
      step, [&] { return DecodeEntry(Stream, E, *decoder); }, supported);
}

bool TUnLha::DecodeEntry(TStream32& Stream, const TLhaHeader& E, const TMethodDecoder& Decoder) {
  if (Stream.Seek(E.DataOffset, soFromBeginning) != E.DataOffset) return false;
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
  const TDecodeStatus st = Decoder.Run(io, Decoder.Param);
  if (st.Result == drInputExhausted || (st.Result == drDataError && Decoder.Run == StoreCopy))
    // The entry's data ends before its declared size: said so, not left to the CRC check.
    ReportError(
        CurrentName(),
        std::string(st.Reason) + ": " + std::to_string(st.BytesOut) + " of " + std::to_string(E.Size) + " bytes",
        FRunArchiveName, ecReadFile);
  return st.Ok() && st.BytesOut == E.Size && !IsCancelled();
}

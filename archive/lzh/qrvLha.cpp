// The LZH writer: reading the old archive, packing or storing new files, renaming kept entries.
#include "archive/lzh/qrvLha.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>

#include "archive/lzh/qrvlzh5.h"

namespace {

constexpr int32_t kCopyBlock = 1 << 20;
// Files packed ahead on the pool are held whole in memory: up to this size; larger ones are
// packed on the caller's thread while they are read.
constexpr int64_t kAheadFileMax = int64_t(16) << 20;
// The bound of the input held for packing ahead, whatever the number of cores.
constexpr size_t kAheadHeldMax = size_t(24) << 20;

// Packs a whole file held in memory as PackData packs it from the file (the same reads, so the
// same bytes), on a worker.
TAheadBlock PackInMemory(const TLzhMethod& Method, const uint8_t* In, size_t Len) {
  TAheadBlock b;
  b.InSize = Len;
  uint16_t crc = 0;
  size_t pos = 0;
  TLzhEncodeIO io;
  io.Read = [&](uint8_t* Buf, int64_t N) -> int64_t {
    const size_t k = std::min({size_t(N), size_t(kCopyBlock), Len - pos});
    std::memcpy(Buf, In + pos, k);
    crc = UpdateCrc16(crc, Buf, k);
    pos += k;
    if (k > 0) b.Steps.push_back(int64_t(k));
    return int64_t(k);
  };
  io.Write = [&b](const uint8_t* Data, int64_t N) { b.Data.insert(b.Data.end(), Data, Data + N); };
  int64_t packed = 0;
  b.Store = LzhEncode(io, Method, packed) != erPacked || pos != Len;
  b.Check = crc;
  b.Ok = true;
  return b;
}

}  // namespace

TLha::TLha() {
  SetFormatDefaultExt(".lha");
  SetAllowedMethods(MethodBit(cmStore) | MethodBit(cmFrozen5) | MethodBit(cmFrozen6) | MethodBit(cmFrozen7), cmFrozen6);
  FArcType = atLha;
}

uint32_t TLha::StampDate(uint32_t FileDate) const {
  switch (DateAttribute) {
    case daSysDate: return UnixToDosDateTime(int64_t(std::time(nullptr)));
    case daMaxFileDate: return NewestDate ? NewestDate : FileDate;
    default: return FileDate;
  }
}

const TLzhMethod& TLha::PackMethod() const {
  switch (CompressMethod()) {
    case cmFrozen5: return LzhMethod5;
    case cmFrozen7: return LzhMethod7;
    default: return LzhMethod6;
  }
}

bool TLha::StoredByType(const std::string& Name) const {
  const size_t dot = Name.rfind('.');
  if (dot == std::string::npos || Name.find('/', dot) != std::string::npos) return false;
  std::string ext = Name.substr(dot);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::toupper(c)); });
  return std::any_of(StoreFilesOfType.begin(), StoreFilesOfType.end(), [&](std::string e) {
    std::transform(e.begin(), e.end(), e.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    return e == ext;
  });
}

// ---- Reading the old archive ---------------------------------------------------------------

bool TLha::ReadArchive(TStream32& Old, TCompHeaderObj& List) {
  const int64_t size = Old.Size();
  int64_t pos = LhaFindFirstHeader(Old, size);
  TLhaHeader h;
  while (pos >= 0 && !IsCancelled()) {
    const TLhaRead r = LhaReadHeader(Old, pos, size, TranslateOemChar, h, NameCoding);
    if (r == lrEnd) break;
    if (r == lrBad) {
      // A rewrite would drop what follows the damage: the archive is left as it is.
      ReportError(FArchiveFile, h.Why, FRunArchiveName, ecBadFileHeader);
      return false;
    }
    TCompRow row;
    row.Action = eaCopy;
    row.Offset = h.HeaderOffset;
    row.Name = h.IsDir() ? h.Name + "/" : h.Name;
    row.Info = {h.Size, h.PackedSize, h.DosDateTime, uint32_t(h.Attr | (h.IsDir() ? faDirectory : 0))};
    auto data = std::make_shared<TLhaRowData>();
    data->Header = h;
    row.Data = data;
    if (Switch == swDelete && SelectedForDelete(row.Name)) {
      row.Action = eaDrop;
      ++FMarkedForDelete;
    }
    List.Add(std::move(row));
    pos = h.NextOffset;
  }
  return !IsCancelled();
}

int64_t TLha::EntrySize(TStream32& Old, TCompHeaderObj& List, int Index) {
  const auto* d = dynamic_cast<const TLhaRowData*>(List[Index].Data.get());
  return d ? d->Header.EntryBytes() : 0;
}

bool TLha::ReadHeader(TStream32& Stream, std::string& Name) {
  TLhaHeader h;
  if (LhaReadHeader(Stream, Stream.Position(), Stream.Size(), TranslateOemChar, h, NameCoding) != lrEntry) {
    FNextHeader = 0;
    return false;
  }
  Name = h.Name;
  FNextHeader = h.NextOffset;
  return true;
}

// ---- Writing entries -----------------------------------------------------------------------

bool TLha::CompressData(TStream32& Out, TCompHeaderObj& List, int Index) {
  FEntryOk = false;
  TCompRow& row = List[Index];
  const bool dir = (row.Info.Attr & faDirectory) != 0;
  const std::string raw = LhaStoredName(row.Name, dir, TranslateOemChar);
  if (raw.size() > LhaMaxName0) {
    // The header-size byte cannot count it: the file is left out, the others go on.
    ReportError(row.Name, "name longer than 233 bytes", FRunArchiveName, ecInvalidFileName);
    return false;
  }
  const uint32_t date = StampDate(row.Info.Date);
  const int64_t start = Out.Position();
  if (dir) {
    const auto h = LhaBuildHeader0("-lhd-", 0, 0, date, 0x10, raw, 0);
    Out.WriteBuffer(h.data(), int64_t(h.size()));
    row.Info = {0, 0, date, faDirectory};
    FEntryOk = true;
    return true;
  }
  std::unique_ptr<TFileStream32> in;
  try {
    in = std::make_unique<TFileStream32>(row.FullPath, fmOpenRead | fmShareDenyNone);
  } catch (const EArchiveError&) {
    ReportError(row.Name, "", FRunArchiveName, ecOpenFile);
    return false;
  }
  const int64_t size = in->Size();
  if (size > int64_t(UINT32_MAX)) {
    ReportError(row.Name, "", FRunArchiveName, ecFileSizeNotSupported);
    return false;
  }
  const uint8_t attr = uint8_t(row.Info.Attr & 0x27);
  const bool pack = size > 0 && CompressMethod() != cmStore && !StoredByType(row.Name);
  char id[6] = "-lh0-";
  if (pack) id[3] = PackMethod().Char;
  auto header = LhaBuildHeader0(id, 0, uint32_t(size), date, attr, raw, 0);
  Out.WriteBuffer(header.data(), int64_t(header.size()));
  const int64_t dataStart = Out.Position();
  uint16_t crc = 0;
  int64_t packed = 0;
  const int64_t toGo = BytesToGo;
  const int64_t limit = size - int64_t(header.size());
  const bool ahead = pack && FAhead && FAhead->Begin(Index, size, id[3]);
  const bool packedOk =
      ahead ? PackedAhead(Out, limit, crc, packed) : pack && PackData(Out, *in, size, limit, crc, packed);
  if (!packedOk) {
    if (IsCancelled()) return false;
    // Stored instead: the packed bytes go, the file is read again.
    Out.SetSize(dataStart);
    Out.SetPosition(dataStart);
    BytesToGo = toGo;
    id[3] = '0';
    if (!StoreData(Out, *in, size, row.Name, crc)) return false;
    packed = size;
  }
  header = LhaBuildHeader0(id, uint32_t(packed), uint32_t(size), date, attr, raw, crc);
  Out.SetPosition(start);
  Out.WriteBuffer(header.data(), int64_t(header.size()));
  Out.Seek(0, soFromEnd);
  row.Info = {size, packed, date, attr};
  FEntryOk = true;
  return true;
}

bool TLha::PackData(TStream32& Out, TStream32& In, int64_t Size, int64_t Limit, uint16_t& Crc, int64_t& Packed) {
  TLzhEncodeIO io;
  int64_t read = 0;
  io.Read = [&](uint8_t* Buf, int64_t N) -> int64_t {
    const int32_t got = In.Read(Buf, int32_t(std::min<int64_t>(N, kCopyBlock)));
    if (got <= 0) return 0;
    Crc = UpdateCrc16(Crc, Buf, size_t(got));
    read += got;
    BytesToGo -= got;
    ProgressStep();
    return got;
  };
  io.Write = [&Out](const uint8_t* Data, int64_t N) { Out.WriteBuffer(Data, N); };
  io.CancelFlag = CancelFlag();
  const TLzhEncodeResult r = LzhEncode(io, PackMethod(), Packed);
  // The header counts too: packing pays only when header and data are smaller than the file.
  if (r != erPacked || Packed >= Limit || read != Size) {
    In.SetPosition(0);
    Crc = 0;
    return false;
  }
  return true;
}

std::unique_ptr<TCompressAhead> TLha::PlanAhead(TCompHeaderObj& List) {
  TWorkerPool& pool = Pool();
  if (pool.Workers() == 1 || CompressMethod() == cmStore) return nullptr;
  auto ahead = std::make_unique<TCompressAhead>(pool, size_t(kAheadFileMax), 0, kAheadHeldMax);
  const TLzhMethod method = PackMethod();
  for (int i = 0; i < List.Count(); ++i) {
    const TCompRow& r = List[i];
    if (r.Action != eaCompress || (r.Info.Attr & faDirectory) || r.Info.Size > kAheadFileMax || StoredByType(r.Name))
      continue;
    ahead->Add(i, r.FullPath, r.Info.Size, method.Char,
               [method](const uint8_t*, size_t, const uint8_t* In, size_t Len, bool) {
                 return PackInMemory(method, In, Len);
               });
  }
  return ahead;
}

bool TLha::PackedAhead(TStream32& Out, int64_t Limit, uint16_t& Crc, int64_t& Packed) {
  bool last = false;
  const TAheadBlock b = FAhead->Next(last);
  // The progress of the reads, as packing from the file counts it.
  for (const int64_t step : b.Steps) {
    if (IsCancelled()) return false;
    BytesToGo -= step;
    ProgressStep();
  }
  Crc = 0;
  if (b.Store || int64_t(b.Data.size()) >= Limit) return false;
  Out.WriteBuffer(b.Data.data(), int64_t(b.Data.size()));
  Crc = uint16_t(b.Check);
  Packed = int64_t(b.Data.size());
  return true;
}

bool TLha::StoreData(TStream32& Out, TStream32& In, int64_t Size, const std::string& Name, uint16_t& Crc) {
  std::vector<uint8_t> buf(size_t(std::min<int64_t>(std::max<int64_t>(Size, 1), kCopyBlock)));
  Crc = 0;
  In.SetPosition(0);
  for (int64_t left = Size; left > 0;) {
    if (IsCancelled()) return false;
    const int32_t got = In.Read(buf.data(), int32_t(std::min<int64_t>(left, int64_t(buf.size()))));
    if (got <= 0) {
      // The file shrank since it was measured: the header's size would no longer hold.
      ReportError(Name, "", FRunArchiveName, ecReadFile);
      return false;
    }
    Crc = UpdateCrc16(Crc, buf.data(), size_t(got));
    Out.WriteBuffer(buf.data(), got);
    left -= got;
    BytesToGo -= got;
    ProgressStep();
  }
  return true;
}

void TLha::EndFile(TCompHeaderObj& List, int Index, bool Ok) {
  if (OnEnd) OnEnd(this, List[Index].Name, Ok && FEntryOk && !IsCancelled());
}

void TLha::RenameEntry(TStream32& Out, TStream32& Old, TCompHeaderObj& List, int Index) {
  const TCompRow& row = List[Index];
  const auto* d = dynamic_cast<const TLhaRowData*>(row.Data.get());
  if (!d) RaiseError(ecsRead, row.Name, "", FRunArchiveName, ecBadFileHeader);
  const TLhaHeader& h = d->Header;
  SetCurrentName(row.Name);
  const bool dir = h.IsDir();
  const std::string raw = LhaStoredName(row.Name, dir, TranslateOemChar);
  if (raw.size() > LhaMaxName0 || h.PackedSize > int64_t(UINT32_MAX) || h.Size > int64_t(UINT32_MAX)) {
    // The new name does not fit a level-0 header: the entry stays as it was.
    ReportError(row.Name, "name longer than 233 bytes", FRunArchiveName, ecInvalidFileName);
    Old.SetPosition(h.HeaderOffset);
    Out.CopyFrom(Old, h.EntryBytes());
    return;
  }
  // Whatever its old level, the entry gets a level-0 header with the same data, CRC and date.
  const auto header =
      LhaBuildHeader0(h.MethodId, uint32_t(h.PackedSize), uint32_t(h.Size), h.DosDateTime, h.Attr, raw, h.Crc);
  Out.WriteBuffer(header.data(), int64_t(header.size()));
  Old.SetPosition(h.DataOffset);
  if (Out.CopyFrom(Old, h.PackedSize) != h.PackedSize) RaiseError(ecsWrite, row.Name, "", FRunArchiveName, ecWriteFile);
}

void TLha::FinishList(TCompHeaderObj& List) { ReportAddedOffsets(List); }

bool TLha::WriteTrailer(TStream32& Out, TCompHeaderObj&) {
  const uint8_t end = 0;
  Out.WriteBuffer(&end, 1);
  return true;
}

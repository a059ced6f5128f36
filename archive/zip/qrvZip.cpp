// ZIP writer, new entries and the closing records: local header, store or deflate (with the
// under-257-byte rule), the traditional cipher, the central directory and the end record.
#include "archive/zip/qrvZip.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <random>

#include <sys/stat.h>

#include "archive/core/qrvDeflateChunks.h"
#include "platform/CodePage.h"
#include "platform/FileInfo.h"

namespace {

// A file this large may pack to 4 GiB or more (deflate can grow data a little): its local
// header gets a Zip64 block for the sizes before its data is written.
constexpr int64_t kZip64Reserve = int64_t(0xFFFFFFFF) - (int64_t(16) << 20);
constexpr int32_t kZip64LocalBlock = 20;      // id, length 16, unpacked and packed size
constexpr uint32_t kFieldFull = 0xFFFFFFFFu;  // a 32-bit field whose value is in the Zip64 block
constexpr uint16_t kVersionZip64 = 45;
constexpr uint16_t kHostUnix = 3 << 8;
// Files below this size are deflated in memory first and stored when deflate expands them.
constexpr int64_t kSmallFile = 257;
constexpr size_t kDirFlushSize = 65536;
// Chunks deflated ahead: a few per worker keep every worker busy; the cap bounds the memory
// (each chunk holds its input, its history and its output) on machines with many cores.
constexpr int kAheadChunksPerWorker = 4;
constexpr int kAheadChunksMax = 64;
constexpr int64_t kCryptoAheadMax = int64_t(4) << 20;

std::string UpperExt(const std::string& Name) {
  const size_t slash = Name.rfind('/'), dot = Name.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  std::string ext = Name.substr(dot);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::toupper(c)); });
  return ext;
}

// The Zip64 block of a central header: each of the unpacked size, the packed size and the local
// header offset that a 32-bit field cannot hold goes there, its field becoming 0xFFFFFFFF.
// Fills the header's size and offset fields; "" when no value needs the block.
std::string Zip64CentralBlock(CentralDirHeader& C, const TZipHighParts& Hi, int64_t Offset) {
  std::string block;
  auto put = [&](uint32_t& Field, int64_t Value) {
    if (Value < int64_t(kFieldFull)) {
      Field = uint32_t(Value);
      return;
    }
    Field = kFieldFull;
    uint8_t v[8];
    PutLE64(v, uint64_t(Value));
    block.append(reinterpret_cast<const char*>(v), 8);
  };
  put(C.UnpackedSize, Join48(C.UnpackedSize, Hi.Unpacked));
  put(C.PackedSize, Join48(C.PackedSize, Hi.Packed));
  put(C.LocalOffset, Offset);
  if (block.empty()) return block;
  C.VersionNeeded = std::max(C.VersionNeeded, kVersionZip64);
  if ((C.VersionMadeBy & 0xFF) < kVersionZip64) C.VersionMadeBy = uint16_t((C.VersionMadeBy & 0xFF00) | kVersionZip64);
  uint8_t head[4];
  PutLE16(head, xfZip64);
  PutLE16(head + 2, uint16_t(block.size()));
  return std::string(reinterpret_cast<const char*>(head), 4) + block;
}

uint8_t RandomByte() {
  static std::mt19937 gen{std::random_device{}()};
  return uint8_t(gen() & 0xFF);
}

// The Unicode Path field of a name stored as CP932: its UTF-8 form, for readers that would
// not guess CP932, bound to the stored bytes by their CRC.
std::string CodedNamePathExtra(const std::string& Stored, const std::string& Utf8) {
  std::string x = UnicodePathExtra(Utf8);
  PutLE32(reinterpret_cast<uint8_t*>(x.data()) + 5, Crc32Of(Stored.data(), Stored.size()));
  return x;
}

}  // namespace

TZipBase::TZipBase() {
  SetFormatDefaultExt(".zip");
  FArcType = atZip;
  SetAllowedMethods(MethodBit(cmStore) | MethodBit(cmDeflate), cmDeflate);
}

void TZipBase::SetArchiveComment(const std::string& Value) {
  FArchiveComment = Value.substr(0, 0xFFFF);
  FCommentsChanged = true;
}

std::string TZipBase::StoredBytes(const std::string& Name, bool& Utf8) const {
  Utf8 = false;
  if (!IsValidUtf8(Name)) return Name;  // bytes of a foreign name go in unchanged
  if (TranslateOemChar && Cp932Names) return Utf8ToOem(Name, &Utf8);
  Utf8 = HasNonAscii(Name);
  return Name;
}

uint32_t TZipBase::StampDate(uint32_t FileDate) const {
  switch (DateAttribute) {
    case daSysDate: return UnixToDosDateTime(int64_t(std::time(nullptr)));
    case daMaxFileDate: return NewestDate ? NewestDate : FileDate;
    default: return FileDate;
  }
}

void TZipBase::FillHeader(TCompRow& Row, const TFileInfo& Info) { Row.Data = std::make_shared<TZipRowData>(); }

TDeflateType TZipBase::LevelFor(const std::string& Name) const {
  if (CompressMethod() == cmStore) return dtDeflateS;
  const std::string ext = UpperExt(Name);
  const bool stored = !ext.empty() && std::any_of(StoreFilesOfType.begin(), StoreFilesOfType.end(), [&](std::string e) {
    std::transform(e.begin(), e.end(), e.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    return e == ext;
  });
  return stored ? dtDeflateS : DeflateType;
}

bool TZipBase::UsesZipCrypto() const { return !Password.empty() && !(AesStrength >= 1 && AesStrength <= 3); }

bool TZipBase::StagesEntry(const TCompRow& Row) const { return Row.Info.Size < kSmallFile; }

std::unique_ptr<TCompressAhead> TZipBase::PlanAhead(TCompHeaderObj& List) {
  // Streamed, the cipher's entries are deflated in turn (the look-ahead would hold them whole).
  if (Streaming() && !Password.empty()) return nullptr;
  const bool crypto = UsesZipCrypto();
  TWorkerPool& pool = Pool();
  const size_t blocks = size_t(std::min(pool.Workers() * kAheadChunksPerWorker, kAheadChunksMax));
  auto ahead = std::make_unique<TCompressAhead>(pool, kDeflateChunkSize, kDeflateHistory,
                                                blocks * (kDeflateChunkSize + kDeflateHistory));
  for (int i = 0; i < List.Count(); ++i) {
    const TCompRow& r = List[i];
    if (r.Action != eaCompress || (r.Info.Attr & faDirectory) || S_ISLNK(r.Info.Mode)) continue;
    // The traditional cipher's header needs the file's CRC before its data: the whole file's
    // chunks are held, so larger files go the sequential way.
    if (crypto && r.Info.Size > kCryptoAheadMax) continue;
    const TDeflateType level = LevelFor(r.Name);
    if (level == dtDeflateS) continue;
    const int z = ZLevelOf(level);
    ahead->Add(i, r.FullPath, r.Info.Size, z, [z](const uint8_t* H, size_t HL, const uint8_t* In, size_t N, bool Last) {
      TDeflatedChunk c = DeflateChunk(H, HL, In, N, z, Last);
      TAheadBlock b;
      b.Data = std::move(c.Data);
      b.Check = c.Crc;
      b.InSize = c.InSize;
      b.Ok = c.Ok;
      return b;
    });
  }
  return ahead;
}

TAheadBlock TZipBase::NextAhead(uint32_t& Crc, bool& Last) {
  TAheadBlock b = FAhead->Next(Last);
  BytesToGo -= int64_t(b.InSize);
  ProgressStep();
  Crc = CombineCrc32(Crc, b.Check, int64_t(b.InSize));
  return b;
}

bool TZipBase::WriteAhead(TStream32& Target, int64_t Size, bool& Expanded) {
  uint32_t crc = 0;
  Expanded = false;
  for (bool last = false; !last;) {
    if (IsCancelled()) return false;
    const TAheadBlock b = NextAhead(crc, last);
    if (Size < kSmallFile && int64_t(b.Data.size()) > Size) {
      Expanded = true;  // stored instead, as a small file deflate expands
      return !IsCancelled();
    }
    Target.WriteBuffer(b.Data.data(), int64_t(b.Data.size()));
  }
  StreamState->Crc32Val = crc ^ 0xFFFFFFFFu;
  return !IsCancelled();
}

bool TZipBase::TakeAhead(std::vector<TAheadBlock>& Blocks) {
  uint32_t crc = 0;
  for (bool last = false; !last;) {
    if (IsCancelled()) return false;
    Blocks.push_back(NextAhead(crc, last));
  }
  StreamState->Crc32Val = crc ^ 0xFFFFFFFFu;
  return !IsCancelled();
}

void TZipBase::WriteLocal(TStream32& Out, const LocalFileHeader& H, const std::string& Name, bool Scramble,
                          const int64_t* Sizes, const std::string& Extra) {
  LocalFileHeader h = H;
  h.Signature = Scramble ? ScrambledSig(sigLocalFileHeader) : sigLocalFileHeader;
  h.ExtraLen = uint16_t((Sizes ? kZip64LocalBlock : 0) + Extra.size());
  if (Sizes) {
    h.VersionNeeded = std::max(h.VersionNeeded, kVersionZip64);
    h.UnpackedSize = h.PackedSize = kFieldFull;
  }
  uint8_t rec[LocalHeaderSize];
  h.Store(rec);
  std::string name = Name;
  if (Scramble) ScrambleRecord(rec, LocalHeaderSize, &name, true);
  Out.WriteBuffer(rec, LocalHeaderSize);
  Out.WriteBuffer(name.data(), int64_t(name.size()));
  if (Sizes) {
    PutLE16(rec, xfZip64);
    PutLE16(rec + 2, kZip64LocalBlock - 4);
    PutLE64(rec + 4, uint64_t(Sizes[0]));
    PutLE64(rec + 12, uint64_t(Sizes[1]));
    Out.WriteBuffer(rec, kZip64LocalBlock);
  }
  Out.WriteBuffer(Extra.data(), int64_t(Extra.size()));
}

void TZipBase::WriteEncryptionHeader(TStream32& Out, uint32_t Crc) {
  TZipCipher& c = StreamState->Cipher;
  c.Init(Password);
  uint8_t h[12];
  for (int i = 0; i < 10; ++i) h[i] = RandomByte();
  h[10] = uint8_t(Crc >> 16);
  h[11] = uint8_t(Crc >> 24);
  c.Encrypt(h, sizeof h);
  Out.WriteBuffer(h, sizeof h);
}

bool TZipBase::WriteAesHeader(TStream32& Out, TZipAes& Aes, const std::string& Name) {
  uint8_t head[16 + kAesVerifierSize];
  const int salt = AesSaltSize(AesStrength);
  if (!TZipAes::RandomBytes(head, size_t(salt)) || !Aes.Init(Password, head, AesStrength, head + salt)) {
    ReportError(Name, "AES key setup failed", FRunArchiveName, ecWriteFile);
    return false;
  }
  Out.WriteBuffer(head, salt + kAesVerifierSize);
  return true;
}

void TZipBase::LoadHeader(TCompRow& Row, const LocalFileHeader& H, const TZipHighParts& Hi) {
  auto d = std::dynamic_pointer_cast<TZipRowData>(Row.Data);
  if (!d) Row.Data = d = std::make_shared<TZipRowData>();
  CentralDirHeader c;
  c.VersionNeeded = H.VersionNeeded;
  c.Flags = H.Flags;
  c.Method = H.Method;
  c.DosDateTime = H.DosDateTime;
  c.Crc32 = H.Crc32;
  c.PackedSize = H.PackedSize;
  c.UnpackedSize = H.UnpackedSize;
  c.NameLen = H.NameLen;
  c.InternalAttr = 1;
  c.ExternalAttr = Row.Info.Attr & 0xFFFF;
  if (Row.Info.Mode != 0) {
    // Made by Unix: file type and permission bits (never set-id or sticky) in the high half,
    // the DOS attributes kept in the low byte, as zip and bsdtar write them.
    c.VersionMadeBy = kHostUnix | 20;
    c.ExternalAttr = ((Row.Info.Mode & 0xF1FFu) << 16) | (Row.Info.Attr & 0xFF);
  }
  d->Central = c;
  d->Hi = Hi;
  d->Scrambled = EncryptHeaders;
}

std::unique_ptr<TStream32> TZipBase::OpenSource(const TCompRow& Row, bool& Link) {
  Link = S_ISLNK(Row.Info.Mode);
  if (!Link) return std::make_unique<TFileStream32>(Row.FullPath, fmOpenRead | fmShareDenyNone);
  std::string target;
  if (!ReadLinkTarget(Row.FullPath, target)) ThrowError(ecsFOpen, ecOpenFile, Row.Name);
  auto m = std::make_unique<TMemoryStream32>();
  m->WriteBuffer(target.data(), int64_t(target.size()));
  return m;
}

struct TZipBase::TEntryWrite {
  TCompRow& Row;
  TZipRowData& Data;
  int Index;
  LocalFileHeader H = {};
  std::unique_ptr<TStream32> In = nullptr;
  int64_t Size = 0;
  TDeflateType Level = dtDeflateN;
  bool Encrypt = false, Aes = false, ZipCrypto = false, Ahead = false;
  TStream32* Target = nullptr;         // the archive, or the AES stream over it
  uint16_t Method = 8;                 // 8 deflated, 0 stored
  std::vector<TAheadBlock> Held = {};  // the traditional cipher's chunks, taken before its header
};

bool TZipBase::CompressData(TStream32& Out, TCompHeaderObj& List, int Index) {
  TCompRow& row = List[Index];
  auto data = std::make_shared<TZipRowData>();
  row.Data = data;
  FEntryOk = false;
  TEntryWrite e{row, *data, Index};
  if (!StartHeader(e)) return false;
  const int64_t start = Out.Position();
  if (row.Info.Attr & faDirectory) {
    WriteLocal(Out, e.H, data->RawName, EncryptHeaders, nullptr, data->Extra);
    FEntryOk = true;
    LoadHeader(row, e.H, {});
    return true;
  }
  if (!OpenEntrySource(e)) return false;
  if (FEntryStreamed) return FEntryOk = CompressStreamed(e, Out);
  // The AES field's inner method is filled in once the data is written (same length).
  TZipAesInfo aesInfo;
  aesInfo.Strength = AesStrength;
  if (e.Aes) data->Extra += AesExtra(aesInfo);
  int64_t sizes[2] = {e.Size, 0};
  int64_t* zip64 = e.Size >= kZip64Reserve ? sizes : nullptr;
  WriteLocal(Out, e.H, data->RawName, EncryptHeaders, zip64, data->Extra);
  const int64_t dataStart = Out.Position();
  StreamState->Crc32Val = Crc32Init;
  TZipAes aesCipher;
  TAesWriteStream aesOut(Out, aesCipher);
  e.Target = e.Aes ? static_cast<TStream32*>(&aesOut) : &Out;
  if (!BeginData(e, Out, aesCipher) || !WriteEntryData(e) || IsCancelled()) return false;
  if (e.Aes) EndAes(e, Out, aesCipher, aesInfo);
  if (!RewriteLocal(e, Out, start, Out.Position() - dataStart, zip64)) return false;
  FEntryOk = true;
  return true;
}

bool TZipBase::StartHeader(TEntryWrite& E) {
  bool utf8 = false;
  E.Data.RawName = StoredBytes(E.Row.Name, utf8);
  if (E.Data.RawName.empty() || E.Data.RawName.size() > 0xFFFF) {
    ReportError(E.Row.Name, "", FRunArchiveName, ecInvalidFileName);
    return false;
  }
  E.H.DosDateTime = StampDate(E.Row.Info.Date);
  E.H.NameLen = uint16_t(E.Data.RawName.size());
  E.H.Flags = utf8 ? gpUtf8Name : 0;
  if (utf8)
    E.Data.Extra = UnicodePathExtra(E.Data.RawName);
  else if (HasNonAscii(E.Data.RawName) && IsValidUtf8(E.Row.Name))
    E.Data.Extra = CodedNamePathExtra(E.Data.RawName, E.Row.Name);
  return true;
}

bool TZipBase::OpenEntrySource(TEntryWrite& E) {
  E.Level = LevelFor(E.Row.Name);
  bool link = false;
  try {
    E.In = OpenSource(E.Row, link);
  } catch (const EArchiveError&) {
    ReportError(E.Row.Name, "", FRunArchiveName, ecOpenFile);
    return false;
  }
  E.In->CancelFlag = CancelFlag();
  E.Size = E.In->Size();
  // A link's target is stored as it is, as zip does.
  if (link) E.Level = dtDeflateS;
  E.Encrypt = E.Size > 0 && !Password.empty() && !link;
  E.Aes = E.Encrypt && AesStrength >= 1 && AesStrength <= 3;
  E.ZipCrypto = E.Encrypt && !E.Aes;
  return true;
}

bool TZipBase::BeginData(TEntryWrite& E, TStream32& Out, TZipAes& Aes) {
  if (E.Aes && !WriteAesHeader(Out, Aes, E.Row.Name)) return false;
  E.Ahead = E.Size > 0 && E.Level != dtDeflateS && FAhead && FAhead->Begin(E.Index, E.Size, ZLevelOf(E.Level));
  if (!E.ZipCrypto) return true;
  if (E.Ahead) {
    if (!TakeAhead(E.Held)) return false;
  } else {
    // The encryption header carries the CRC, so it is computed in a pass of its own.
    E.In->SetPosition(0);
    TCalcStreamCRC calc(*E.In, E.Size, 32, false, CancelFlag(), nullptr, {}, StreamState);
    if (IsCancelled()) return false;
  }
  WriteEncryptionHeader(Out, StreamState->Crc32Val ^ 0xFFFFFFFFu);
  return true;
}

bool TZipBase::WriteEntryData(TEntryWrite& E) {
  if (E.Size == 0 || E.Level == dtDeflateS) {
    E.Method = 0;
    StoreData(E, true);
    return true;
  }
  if (E.Ahead) return E.ZipCrypto ? WriteHeldEnciphered(E) : WriteAheadData(E);
  if (E.Size >= kSmallFile) return DeflateData(E, *E.Target, E.ZipCrypto);
  return DeflateSmall(E);
}

void TZipBase::StoreData(TEntryWrite& E, bool CountProgress) {
  TStoreStream s(*E.Target, E.ZipCrypto, 32, StreamState);
  s.CancelFlag = CancelFlag();
  if (CountProgress) {
    s.BytesToGo = &BytesToGo;
    s.OnProgress = [this] { ProgressStep(); };
  }
  E.In->SetPosition(0);
  if (E.Size > 0) s.CopyFrom(*E.In, E.Size);
}

bool TZipBase::WriteHeldEnciphered(TEntryWrite& E) {
  if (E.Size < kSmallFile && int64_t(E.Held[0].Data.size()) > E.Size) {
    E.Method = 0;
    StoreData(E, false);  // deflate expanded the small file
    return true;
  }
  for (TAheadBlock& b : E.Held) {
    StreamState->Cipher.Encrypt(b.Data.data(), b.Data.size());
    E.Target->WriteBuffer(b.Data.data(), int64_t(b.Data.size()));
  }
  return true;
}

bool TZipBase::WriteAheadData(TEntryWrite& E) {
  bool expanded = false;
  if (!WriteAhead(*E.Target, E.Size, expanded)) return false;
  if (expanded) {
    E.Method = 0;
    StoreData(E, false);
  }
  return true;
}

bool TZipBase::DeflateData(TEntryWrite& E, TStream32& Target, bool Encipher) {
  TCompressStream z(Target, int(E.Level), -15, StreamState);
  z.Encrypt = Encipher;
  z.CancelFlag = CancelFlag();
  z.BytesToGo = &BytesToGo;
  z.OnProgress = [this] { ProgressStep(); };
  E.In->SetPosition(0);
  z.CopyFrom(*E.In, E.Size);
  return z.Finish();
}

bool TZipBase::DeflateSmall(TEntryWrite& E) {
  TMemoryStream32 mem;
  StreamState->Crc32Val = Crc32Init;
  if (!DeflateData(E, mem, false)) return false;
  if (mem.Size() > E.Size) {
    E.Method = 0;
    StoreData(E, false);
    return true;
  }
  auto* p = static_cast<uint8_t*>(mem.Memory());
  if (E.ZipCrypto) StreamState->Cipher.Encrypt(p, size_t(mem.Size()));
  E.Target->WriteBuffer(p, mem.Size());
  return true;
}

void TZipBase::EndAes(TEntryWrite& E, TStream32& Out, TZipAes& Aes, TZipAesInfo& Info) {
  uint8_t mac[kAesMacSize];
  Aes.Mac(mac);
  Out.WriteBuffer(mac, kAesMacSize);
  // AE-2: the CRC is not stored (the authentication code checks the data).
  Info.Method = E.Method;
  const std::string field = AesExtra(Info);
  E.Data.Extra.replace(E.Data.Extra.size() - field.size(), field.size(), field);
  E.H.VersionNeeded = 51;
}

TZipHighParts TZipBase::SealHeader(TEntryWrite& E, int64_t Packed) {
  LocalFileHeader& h = E.H;
  h.Method = E.Aes ? uint16_t(kAesMethod) : E.Method;
  h.Crc32 = E.Size == 0 || E.Aes ? 0 : StreamState->Crc32Val ^ 0xFFFFFFFFu;
  h.UnpackedSize = uint32_t(E.Size);
  h.PackedSize = uint32_t(Packed);
  if (E.Encrypt) h.Flags |= gpEncrypted;
  if (E.Method == 8) h.Flags |= DeflateOptionBits(E.Level);
  TZipHighParts hi;
  hi.Packed = uint16_t(uint64_t(Packed) >> 32);
  hi.Unpacked = uint16_t(uint64_t(E.Size) >> 32);
  return hi;
}

bool TZipBase::RewriteLocal(TEntryWrite& E, TStream32& Out, int64_t Start, int64_t Packed, int64_t* Zip64) {
  LocalFileHeader& h = E.H;
  const TZipHighParts hi = SealHeader(E, Packed);
  if (!Zip64 && Packed >= int64_t(kFieldFull)) {
    // Grown past what the header without a Zip64 block can state: the entry cannot stand.
    ReportError(E.Row.Name, "", FRunArchiveName, ecFileSizeNotSupported);
    return false;
  }
  if (Zip64) Zip64[1] = Packed;
  Out.SetPosition(Start);
  WriteLocal(Out, h, E.Data.RawName, EncryptHeaders, Zip64, E.Data.Extra);
  if (Zip64) h.VersionNeeded = std::max<uint16_t>(h.VersionNeeded, kVersionZip64);
  Out.Seek(0, soFromEnd);
  LoadHeader(E.Row, h, hi);
  return true;
}

bool TZipBase::CompressStreamed(TEntryWrite& E, TStream32& Out) {
  // The method is fixed before the data: a file this size is never stored for growing.
  E.Method = E.Size == 0 || E.Level == dtDeflateS ? 0 : 8;
  SealHeader(E, 0);
  E.H.Crc32 = E.H.PackedSize = E.H.UnpackedSize = 0;
  E.H.Flags |= gpDataDescriptor;
  TZipAesInfo aesInfo;
  aesInfo.Strength = AesStrength;
  aesInfo.Method = E.Method;
  if (E.Aes) {
    E.Data.Extra += AesExtra(aesInfo);
    E.H.VersionNeeded = 51;
  }
  const bool zip64 = E.Size >= kZip64Reserve;
  int64_t sizes[2] = {0, 0};
  WriteLocal(Out, E.H, E.Data.RawName, EncryptHeaders, zip64 ? sizes : nullptr, E.Data.Extra);
  E.In = PaddedSource(std::move(E.In), E.Size, E.Row.Name);
  const int64_t dataStart = Out.Position();
  StreamState->Crc32Val = Crc32Init;
  TZipAes aesCipher;
  TAesWriteStream aesOut(Out, aesCipher);
  E.Target = E.Aes ? static_cast<TStream32*>(&aesOut) : &Out;
  if (E.Aes && !WriteAesHeader(Out, aesCipher, E.Row.Name)) return false;
  if (E.ZipCrypto) {
    // The cipher's data path keeps the CRC computed beforehand; its check byte is the time's.
    TCalcStreamCRC calc(*E.In, E.Size, 32, false, CancelFlag(), nullptr, {}, StreamState);
    if (IsCancelled()) return false;
    WriteEncryptionHeader(Out, uint32_t(E.H.DosDateTime) << 16);
  }
  E.Ahead = E.Method == 8 && FAhead && FAhead->Begin(E.Index, E.Size, ZLevelOf(E.Level));
  if (E.Method == 0)
    StoreData(E, true);
  else if (E.Ahead ? !StreamAhead(E) : !DeflateData(E, *E.Target, E.ZipCrypto))
    return false;
  if (IsCancelled()) return false;
  if (E.Aes) EndAes(E, Out, aesCipher, aesInfo);
  const int64_t packed = Out.Position() - dataStart;
  const TZipHighParts hi = SealHeader(E, packed);
  uint8_t d[24];
  PutLE32(d, sigSpanMarker);  // the data descriptor signature
  PutLE32(d + 4, E.H.Crc32);
  if (zip64) {
    PutLE64(d + 8, uint64_t(packed));
    PutLE64(d + 16, uint64_t(E.Size));
    E.H.VersionNeeded = std::max(E.H.VersionNeeded, kVersionZip64);
  } else {
    PutLE32(d + 8, uint32_t(packed));
    PutLE32(d + 12, uint32_t(E.Size));
  }
  Out.WriteBuffer(d, zip64 ? 24 : 16);
  if (!zip64 && packed >= int64_t(kFieldFull))
    // Grown past what the descriptor without Zip64 can state: the run stops.
    RaiseError(ecsWrite, E.Row.Name, "", FRunArchiveName, ecFileSizeNotSupported);
  LoadHeader(E.Row, E.H, hi);
  return true;
}

bool TZipBase::StreamAhead(TEntryWrite& E) {
  uint32_t crc = 0;
  int64_t taken = 0;
  try {
    for (bool last = false; !last;) {
      if (IsCancelled()) return false;
      const TAheadBlock b = NextAhead(crc, last);
      E.Target->WriteBuffer(b.Data.data(), int64_t(b.Data.size()));
      taken += int64_t(b.InSize);
    }
    StreamState->Crc32Val = crc ^ 0xFFFFFFFFu;
    return !IsCancelled();
  } catch (const EReadError&) {
    // The file stopped giving data after chunks went out (each ends on a byte boundary, not
    // final): the rest is deflated from the padded source as a stream of its own.
  }
  StreamState->Crc32Val = crc ^ 0xFFFFFFFFu;
  TCompressStream z(*E.Target, int(E.Level), -15, StreamState);
  z.CancelFlag = CancelFlag();
  E.In->SetPosition(taken);
  z.CopyFrom(*E.In, E.Size - taken);
  return z.Finish();
}

void TZipBase::EndFile(TCompHeaderObj& List, int Index, bool Ok) {
  if (OnEnd) OnEnd(this, List[Index].Name, Ok && FEntryOk);
}

void TZipBase::RemoveArchive(TStream32& Out) {
  uint8_t rec[EndRecordSize] = {};
  PutLE32(rec, sigEndOfCentralDir);
  Out.WriteBuffer(rec, EndRecordSize);
}

bool TZipBase::WriteTrailer(TStream32& Out, TCompHeaderObj& List) {
  if (Switch == swDelete &&
      std::all_of(List.Rows.begin(), List.Rows.end(), [](const TCompRow& r) { return r.Action == eaDrop; }))
    return true;
  const int64_t dirStart = Out.Seek(0, soFromEnd);
  std::string buf;
  buf.reserve(kDirFlushSize + 1024);
  uint64_t entries = 0;
  for (const TCompRow& row : List.Rows) {
    if (row.Action == eaDrop) continue;
    const auto* d = dynamic_cast<const TZipRowData*>(row.Data.get());
    if (!d) continue;
    CentralDirHeader c = d->Central;
    std::string extra = d->Extra;
    const std::string zip64 = Zip64CentralBlock(c, d->Hi, row.OutOffset);
    if (!zip64.empty() && extra.size() + zip64.size() > 0xFFFF) extra.clear();
    extra = zip64 + extra;
    const std::string comment = d->Comment.substr(0, 0xFFFF);
    c.Signature = d->Scrambled ? ScrambledSig(sigCentralDirHeader) : sigCentralDirHeader;
    c.NameLen = uint16_t(d->RawName.size());
    c.ExtraLen = uint16_t(extra.size());
    c.CommentLen = uint16_t(comment.size());
    c.DiskStart = 0;
    uint8_t rec[CentralHeaderSize];
    c.Store(rec);
    std::string name = d->RawName;
    if (d->Scrambled) ScrambleRecord(rec, CentralHeaderSize, &name, true);
    buf.append(reinterpret_cast<const char*>(rec), CentralHeaderSize);
    buf += name;
    buf += extra;
    buf += comment;
    if (buf.size() >= kDirFlushSize) {
      Out.WriteBuffer(buf.data(), int64_t(buf.size()));
      buf.clear();
    }
    ++entries;
  }
  Out.WriteBuffer(buf.data(), int64_t(buf.size()));
  if (entries == 0) {
    ReportError(FArchiveFile, "", "0", ecWriteFile);
    return false;
  }
  return WriteEnd(Out, dirStart, Out.Position() - dirStart, entries);
}

bool TZipBase::WriteEnd(TStream32& Out, int64_t DirStart, int64_t DirSize, uint64_t Entries) {
  std::string buf;
  const bool zip64 = Entries >= 0xFFFF || DirStart >= int64_t(kFieldFull) || DirSize >= int64_t(kFieldFull);
  if (zip64) {
    // Values the end record cannot hold: the Zip64 end record and locator carry them, and the
    // end record's fields say so (0xFFFF, 0xFFFFFFFF), as every peer reads it.
    uint8_t z[Zip64EndRecordSize] = {}, loc[Zip64LocatorSize] = {};
    const int64_t zipPos = DirStart + DirSize;
    PutLE32(z, sigZip64EndRecord);
    PutLE64(z + 4, Zip64EndRecordSize - 12);
    PutLE16(z + 12, kHostUnix | kVersionZip64);
    PutLE16(z + 14, kVersionZip64);
    PutLE64(z + 24, Entries);
    PutLE64(z + 32, Entries);
    PutLE64(z + 40, uint64_t(DirSize));
    PutLE64(z + 48, uint64_t(DirStart));
    PutLE32(loc, sigZip64Locator);
    PutLE64(loc + 8, uint64_t(zipPos));
    PutLE32(loc + 16, 1);
    buf.append(reinterpret_cast<const char*>(z), sizeof z);
    buf.append(reinterpret_cast<const char*>(loc), sizeof loc);
  }
  EndOfCentralDir e;
  e.Signature = EncryptHeaders ? ScrambledSig(sigEndOfCentralDir) : sigEndOfCentralDir;
  e.EntriesOnDisk = e.TotalEntries = uint16_t(std::min<uint64_t>(Entries, 0xFFFF));
  e.DirSize = uint32_t(std::min<int64_t>(DirSize, kFieldFull));
  e.DirOffset = uint64_t(std::min<int64_t>(DirStart, kFieldFull));
  e.CommentLen = uint16_t(FArchiveComment.size());
  uint8_t rec[LargeEndRecordSize];
  e.Store(rec);
  if (EncryptHeaders) ScrambleRecord(rec, size_t(e.FixedSize()), nullptr, true);
  buf.append(reinterpret_cast<const char*>(rec), size_t(e.FixedSize()));
  buf += FArchiveComment;
  Out.WriteBuffer(buf.data(), int64_t(buf.size()));
  return true;
}

void TZipBase::FinishList(TCompHeaderObj& List) {
  if (Switch == swDelete || !OnRead) return;
  for (int i = 0; i < List.Count(); ++i)
    if (List[i].Action == eaCompress) OnRead(this, List[i].OutOffset, i + 1);
}

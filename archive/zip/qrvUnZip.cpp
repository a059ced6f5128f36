// TUnZip: entry selection (central directory or local-header walk), the per-entry loop,
// passwords and the listing pass. Decoding is in qrvUnZip_Decode.cpp.
#include "archive/zip/qrvUnZip.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <numeric>

#include "platform/CodePage.h"

// A million entries are held at once: the record stays at one cache line.
static_assert(sizeof(TUnZip::TEntry) == 64);

namespace {

constexpr int64_t kDisplacedSearch = 32768;

bool SeekTo(TStream32& S, int64_t Pos) { return Pos >= 0 && S.Seek(Pos, soFromBeginning) == Pos; }

bool ReadLocalAt(TStream32& S, int64_t Pos, TZipLocalRecord& L) { return SeekTo(S, Pos) && ReadLocalRecord(S, L); }

// A stretch of the archive held in memory for the selection's walk, which reads the directory
// and the local headers in order: a plain record lying in it is parsed where it lies, with no
// read call of its own. Any other record is read through Fallback, as the reader reads it.
class TRecordWindow {
 public:
  TRecordWindow(TStream32& S, size_t Size) : FWindow(S, Size), FFallback(S, 1 << 14) {}
  TReadBuffer32& Fallback() { return FFallback; }

  // The central record at Pos, as SeekTo and ReadCentralRecord give it.
  bool Central(int64_t Pos, TZipCentralRecord& C) {
    const uint8_t* p = FWindow.Peek(Pos, CentralHeaderSize);
    if (p && GetLE32(p) == sigCentralDirHeader) {
      CentralDirHeader h;
      h.Load(p);
      p = FWindow.Peek(Pos, CentralHeaderSize + size_t(h.NameLen) + h.ExtraLen + h.CommentLen);
      if (!p) return false;  // cut off by the end of the archive
      LoadCentralRecord(p, Pos, C);
      return true;
    }
    return SeekTo(FFallback, Pos) && ReadCentralRecord(FFallback, C);
  }

  // The local header at Pos as the selection needs it: the fixed part, and where the data
  // starts (L's name and extra field are left empty). A plain header whose name and extra field
  // lie within the archive is taken from its 30 bytes; a scrambled one, or any header when
  // Whole (volumes, whose reads may fail within the size), is read whole.
  bool Local(int64_t Pos, bool Whole, TZipLocalRecord& L) {
    const uint8_t* p = Whole ? nullptr : FWindow.Peek(Pos, LocalHeaderSize);
    if (!p || GetLE32(p) != sigLocalFileHeader) return ReadLocalAt(FFallback, Pos, L);
    LoadLocalFixed(p, Pos, L);
    return L.DataPosition() <= FWindow.Size();
  }

 private:
  TReadBuffer32 FWindow, FFallback;
};

// The UTF-8 name of an Info-ZIP Unicode Path field whose CRC matches the stored name; "" when
// there is none.
std::string UnicodePathName(std::string_view Raw, std::string_view Extra) {
  size_t pos = 0;
  while (pos + 4 <= Extra.size()) {
    const auto* p = reinterpret_cast<const uint8_t*>(Extra.data() + pos);
    const uint16_t id = GetLE16(p), len = GetLE16(p + 2);
    if (pos + 4 + len > Extra.size()) break;
    if (id == xfUnicodePath && len > 5 && p[4] == 1 && GetLE32(p + 5) == Crc32Of(Raw.data(), Raw.size())) {
      std::string_view name(Extra.data() + pos + 9, len - 5);
      if (IsValidUtf8(name)) return std::string(name);
    }
    pos += 4 + size_t(len);
  }
  return {};
}

// Unix-host entries keep the file type in the upper half of the external attributes.
bool IsDirEntry(const std::string& Name, uint32_t ExtAttr, bool MadeByUnix) {
  if (!Name.empty() && (Name.back() == '/' || Name.back() == '\\')) return true;
  if (ExtAttr & 0x10) return true;
  return MadeByUnix && S_ISDIR(ExtAttr >> 16);
}

// Where an entry lies in the archive: its local header up to the end of its data.
struct TSpan {
  int64_t Start, End;
};

TSpan SpanOf(const TUnZip::TEntry& E) {
  return {E.Position, E.Position + E.LocalSize + std::max<int64_t>(E.PackedSize, 0)};
}

// Which of the Selected entries share bytes with any other entry (Others: those not selected):
// entries that point into each other's data or at one local header decode the same bytes again
// and again (a known zip-bomb shape). In order of start, a span meets another exactly when it
// starts before the furthest end of those before it or ends after the start of the next one.
// Directories nearly always list their entries in that order; only others are sorted, through a
// list of indexes.
std::vector<bool> MarkOverlaps(const TBlockList<TUnZip::TEntry>& Selected, const std::vector<TSpan>& Others) {
  const size_t count = Selected.size(), total = count + Others.size();
  auto span = [&](size_t i) { return i < count ? SpanOf(Selected[i]) : Others[i - count]; };
  bool sorted = true;
  for (size_t i = 1; i < total && sorted; ++i) sorted = span(i - 1).Start <= span(i).Start;
  std::vector<size_t> order;
  if (!sorted) {
    order.resize(total);
    std::iota(order.begin(), order.end(), size_t(0));
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return span(a).Start < span(b).Start; });
  }
  auto at = [&](size_t k) { return sorted ? k : order[k]; };
  std::vector<bool> out(count, false);
  int64_t furthest = INT64_MIN;
  for (size_t k = 0; k < total; ++k) {
    const size_t i = at(k);
    const TSpan s = span(i);
    const bool meets = s.Start < furthest || (k + 1 < total && span(at(k + 1)).Start < s.End);
    if (meets && i < count) out[i] = true;
    furthest = std::max(furthest, s.End);
  }
  return out;
}

}  // namespace

void ReadZipEntryName(std::string& Out, std::string_view Raw, uint16_t Flags, std::string_view Extra, bool Translate,
                      std::string_view Coding) {
  if ((Flags & gpUtf8Name) && IsValidUtf8(Raw)) {
    Out.assign(Raw);
    return;
  }
  std::string unicode = UnicodePathName(Raw, Extra);
  if (!unicode.empty()) {
    Out = std::move(unicode);
    return;
  }
  // Plain ASCII reads as itself in every code page: the common case costs no new string.
  if (Translate && HasNonAscii(Raw))
    Out = DecodeStoredName(Raw, Coding);
  else
    Out.assign(Raw);
}

std::string ZipEntryName(std::string_view Raw, uint16_t Flags, std::string_view Extra, bool Translate,
                         std::string_view Coding) {
  std::string out;
  ReadZipEntryName(out, Raw, Flags, Extra, Translate, Coding);
  return out;
}

void TUnZip::EntryName(std::string_view Raw, uint16_t Flags, std::string_view Extra, std::string& Out) {
  ReadZipEntryName(Out, Raw, Flags, Extra, TranslateOemChar, NameCoding);
  if (FNames.Keep(Out, Raw)) return;
  // Two stored names may read alike (UTF-8 "é" and CP437 0x82): the later one is read as CP437
  // instead, or else numbered.
  const std::string read = Out;
  Out = FNames.Unique(read, Raw, [&] { return TranslateOemChar ? Cp437ToUtf8(Raw) : read; });
}

// ---- The multi-volume stream -----------------------------------------------------------------

namespace {

// The volumes of a set read as one stream: volume d starts at Base[d].
class TVolumeStream : public TStream32 {
 public:
  TVolumeStream(std::vector<std::string> Names, std::vector<int64_t> Sizes)
      : FNames(std::move(Names)), FSizes(std::move(Sizes)) {
    int64_t b = 0;
    for (int64_t s : FSizes) {
      Base.push_back(b);
      b += s;
    }
    FTotal = b;
  }
  std::vector<int64_t> Base;

  int64_t Size() override { return FTotal; }
  int64_t Seek(int64_t Offset, uint16_t Origin) override {
    int64_t p = Origin == soFromBeginning ? Offset : Origin == soFromCurrent ? FPos + Offset : FTotal + Offset;
    if (p < 0) return -1;
    FPos = p;
    return p;
  }
  int32_t Seek32(int32_t Offset, uint16_t Origin) override { return int32_t(Seek(Offset, Origin)); }
  int32_t Write(const void*, int32_t) override { return 0; }
  int32_t Read(void* Buffer, int32_t Count) override {
    int32_t done = 0;
    auto* out = static_cast<uint8_t*>(Buffer);
    while (done < Count && FPos < FTotal) {
      const size_t v = size_t(std::upper_bound(Base.begin(), Base.end(), FPos) - Base.begin() - 1);
      if (!Open(v)) break;
      const int64_t inVol = FPos - Base[v];
      if (FFile->Seek(inVol, soFromBeginning) != inVol) break;
      const int32_t want = int32_t(std::min<int64_t>(Count - done, FSizes[v] - inVol));
      const int32_t got = FFile->Read(out + done, want);
      if (got <= 0) break;
      done += got;
      FPos += got;
    }
    return done;
  }

 private:
  bool Open(size_t V) {
    if (FFile && FOpen == V) return true;
    FFile.reset();
    try {
      FFile = std::make_unique<TFileStream32>(FNames[V], fmOpenRead | fmShareDenyWrite);
    } catch (const EArchiveError&) {
      return false;
    }
    FOpen = V;
    return true;
  }
  std::vector<std::string> FNames;
  std::vector<int64_t> FSizes;
  std::unique_ptr<TFileStream32> FFile;
  size_t FOpen = 0;
  int64_t FPos = 0;
  int64_t FTotal = 0;
};

}  // namespace

std::unique_ptr<TStream32> TUnZip::OpenVolumes(TStream32& Last, const TZipLocation& Loc, TZipLocation& Joined) {
  const int lastDisk = Loc.End.ThisDisk;
  std::vector<std::string> names;
  std::vector<int64_t> sizes;
  for (int d = 0; d < lastDisk; ++d) {
    const std::string name = FindVolume(d + 1);
    if (name.empty()) return nullptr;
    TFileInfo info;
    if (!GetFileInfo(name, info)) {
      ReportError("", "", name, ecOpenFile);
      return nullptr;
    }
    names.push_back(name);
    sizes.push_back(info.Size);
  }
  names.push_back(FArchiveFile);
  sizes.push_back(Last.Size());
  auto vs = std::make_unique<TVolumeStream>(std::move(names), std::move(sizes));
  Joined = Loc;
  Joined.Correction = 0;
  const int dirDisk = std::min<int>(Loc.End.DirDisk, lastDisk);
  Joined.StartPos = vs->Base[size_t(dirDisk)] + int64_t(Loc.End.DirOffset);
  Joined.State = htsEndRecord;
  vs->Seek(Joined.StartPos, soFromBeginning);
  uint8_t sig[4];
  if (vs->Read(sig, 4) == 4 && ClassifySig(GetLE32(sig)).Kind == zrCentral) Joined.State |= htsCentralHeader;
  return vs;
}

// ---- TUnZip ----------------------------------------------------------------------------------

TUnZip::TUnZip() = default;
TUnZip::~TUnZip() = default;

void TUnZip::SetZipCmntBufSize(int Value) { FZipCmntBufSize = std::clamp(Value, 2000, 32767); }

int TUnZip::ExtractArchive(TStream32& Stream, int) {
  FPasswordFailed = false;
  FLocalCorrection = 0;
  FEntries.clear();
  FNameArena.Clear();
  FNames.Clear();
  TZipLocation loc = ZipLocation();
  if (loc.State == 0) LocateEndRecord(Stream, loc);
  TStream32* s = &Stream;
  std::unique_ptr<TStream32> volumes;
  std::unique_ptr<TFileStream32> lastVolume;
  if (!(loc.State & htsEndRecord) && ArcType() == atZipMV) {
    // A volume other than the last was named: the directory is in the ".zip" of the set.
    const size_t dot = FArchiveFile.rfind('.');
    const std::string last = FArchiveFile.substr(0, dot == std::string::npos ? FArchiveFile.size() : dot) + ".zip";
    if (last != FArchiveFile && FileExists(last)) {
      try {
        lastVolume = std::make_unique<TFileStream32>(last, fmOpenRead | fmShareDenyWrite);
        FArchiveFile = last;
        LocateEndRecord(*lastVolume, loc);
        s = lastVolume.get();
      } catch (const EArchiveError&) {
        ReportError("", "", last, ecOpenFile);
        return 0;
      }
    }
  }
  if ((loc.State & htsEndRecord) && loc.End.ThisDisk > 0) {
    TZipLocation joined;
    volumes = OpenVolumes(*s, loc, joined);
    if (!volumes) return 0;
    loc = joined;
    s = volumes.get();
  }
  if (loc.State == htsLocalHeader) {
    // No end record: the archive is cut short or damaged. What the local headers still hold
    // comes out, but the run does not pass for complete.
    ReportError(FArchiveFile, "no central directory: the archive is damaged or cut short", FRunArchiveName,
                ecHeaderNotFound);
    SelectByLocalHeaders(*s, loc);
    ExtractEntries(*s, false);
  } else if (loc.State & htsCentralHeader) {
    SelectFromDirectory(*s, loc);
    ExtractEntries(*s, true);
  } else if (!(loc.State & htsEndRecord) || loc.End.TotalEntries != 0) {
    // Neither a directory nor a local header: not a ZIP archive this reader can read.
    ReportError("", "", FRunArchiveName, ecBadLocalHeaderOffset);
  }
  FEntries.clear();
  FNameArena.Clear();
  return EntryCount;
}

void TUnZip::CountEntry(const TEntry& E) {
  NoteEntryDate(E.DosDateTime);
  ByteTotal += E.UnpackedSize;
}

void TUnZip::AddEntry(TEntry E, std::string_view Name) {
  E.SetName(FNameArena.Add(Name));
  CountEntry(E);
  FEntries.push_back(std::move(E));
}

// ---- Selection -------------------------------------------------------------------------------

bool TUnZip::FindDisplacedLocal(TStream32& S, int64_t Stated, int64_t& Found) {
  const int64_t from = Stated + 1;
  if (from < 0 || !SeekTo(S, from)) return false;
  std::vector<uint8_t> buf(size_t(kDisplacedSearch) + 3);
  const int32_t got = std::max<int32_t>(S.Read(buf.data(), int32_t(buf.size())), 0);
  for (int32_t i = 0; i + 4 <= got; ++i) {
    if (buf[size_t(i)] != 'P' || ClassifySig(GetLE32(&buf[size_t(i)])).Kind != zrLocal) continue;
    TZipLocalRecord l;
    if (!ReadLocalAt(S, from + i, l)) continue;
    Found = from + i;
    return true;
  }
  return false;
}

int TUnZip::SelectFromDirectory(TStream32& S, const TZipLocation& Loc) {
  const auto* vs = dynamic_cast<const TVolumeStream*>(&S);
  // The directory and the local headers it points to are read through buffers of their own:
  // a million entries cost a few thousand reads, not millions.
  TRecordWindow directory(S, 1 << 18), locals(S, 1 << 16);
  int64_t pos = Loc.StartPos;
  // Records and the name are reused from entry to entry: their memory is taken once.
  TZipCentralRecord c;
  TZipLocalRecord l;
  std::string name;
  ByteTotal = 0;
  std::vector<TSpan> others;  // the local header and data of every entry not selected
  // While each span starts at or after the end of all before it, none can meet another (the
  // usual archive): the overlap search and a second pass over the entries are left out.
  int64_t furthest = INT64_MIN, bytes = 0;
  uint32_t newest = 0;
  bool apart = true;
  auto follows = [&](const TSpan& Span) {
    apart = apart && Span.Start >= furthest;
    furthest = std::max(furthest, Span.End);
  };
  for (bool first = true; !IsCancelled() && directory.Central(pos, c); first = false) {
    pos = c.NextPosition();
    TEntry e;
    EntryName(c.Name, c.Header.Flags, c.Extra, name);
    const uint32_t disk = c.Header.DiskStart;
    const int64_t base = vs && disk < vs->Base.size() ? vs->Base[disk] : 0;
    e.Position = base + c.LocalOffset() + Loc.Correction + FLocalCorrection;
    e.PackedSize = c.PackedSize();
    const bool wanted = EntrySelected(name);
    if (!locals.Local(e.Position, vs != nullptr, l)) {
      int64_t found = 0;
      if (!wanted) continue;
      // Only the first entry's header is looked for.
      if (!first || !FindDisplacedLocal(locals.Fallback(), e.Position, found)) {
        ReportError(name, "", FRunArchiveName, ecBadLocalHeaderOffset);
        continue;
      }
      FLocalCorrection = found - e.Position;
      e.Position = found;
      if (!locals.Local(e.Position, vs != nullptr, l)) continue;
    }
    e.LocalSize = uint32_t(l.DataPosition() - e.Position);
    e.LocalDosDateTime = l.Header.DosDateTime;
    if (!wanted) {
      others.push_back(SpanOf(e));
      follows(others.back());
      continue;
    }
    e.ExtAttr = c.Header.ExternalAttr;
    e.MadeByUnix = (c.Header.VersionMadeBy >> 8) == 3;
    e.Flags = c.Header.Flags;
    e.Method = c.Header.Method;
    e.DosDateTime = c.Header.DosDateTime;
    e.Crc32 = c.Header.Crc32;
    e.UnpackedSize = c.UnpackedSize();
    e.IsDir = IsDirEntry(name, e.ExtAttr, e.MadeByUnix);
    e.SetName(FNameArena.Add(name));
    FEntries.push_back(e);
    follows(SpanOf(e));
    newest = std::max(newest, e.DosDateTime);
    bytes += e.UnpackedSize;
  }
  if (apart) {
    NoteEntryDate(newest);
    ByteTotal += bytes;
    BytesToGo = ByteTotal;
    return int(FEntries.size());
  }
  const std::vector<bool> overlapped = MarkOverlaps(FEntries, others);
  if (std::find(overlapped.begin(), overlapped.end(), true) != overlapped.end())
    ReportError(FArchiveFile, "invalid zip file with overlapped components (possible zip bomb)", FRunArchiveName,
                ecBadLocalHeaderOffset);
  // The entries stay where they are (no second list of a million entries at once).
  size_t kept = 0;
  for (size_t i = 0; i < FEntries.size(); ++i) {
    if (overlapped[i]) continue;
    CountEntry(FEntries[i]);
    if (kept != i) FEntries[kept] = FEntries[i];
    ++kept;
  }
  FEntries.resize(kept);
  BytesToGo = ByteTotal;
  return int(FEntries.size());
}

// An entry written with a data descriptor and no sizes in its local header: deflate data ends
// by itself, so it is inflated (output dropped) to find where the descriptor follows, which
// then gives the CRC and sizes. Next receives the position after the descriptor.
bool TUnZip::MeasureStreamedEntry(TStream32& S, const TZipLocalRecord& L, TEntry& E, int64_t& Next) {
  if (L.Header.Method != 8 || (L.Header.Flags & gpEncrypted) || !SeekTo(S, L.DataPosition())) return false;
  int64_t out = 0;
  {
    TDecompressStream ds(S, -15, StreamState);
    std::vector<uint8_t> scratch(32768);
    while (!IsCancelled()) {
      const int32_t got = ds.Read(scratch.data(), int32_t(scratch.size()));
      if (got <= 0) break;
      out += got;
    }
    if (!ds.EndOfData()) return false;
  }
  const int64_t end = S.Position();
  uint8_t d[16];
  if (S.Read(d, 16) != 16) return false;
  const bool sig = GetLE32(d) == sigSpanMarker;
  const uint8_t* p = sig ? d + 4 : d;
  E.Crc32 = GetLE32(p);
  E.PackedSize = end - L.DataPosition();
  E.UnpackedSize = out;
  if (GetLE32(p + 8) != uint32_t(out)) return false;
  Next = end + (sig ? 16 : 12);
  return true;
}

int TUnZip::SelectByLocalHeaders(TStream32& S, const TZipLocation& Loc) {
  if (OnCorruptZipHeader) {
    bool cancel = true;
    OnCorruptZipHeader(this, Loc.State, cancel);
    if (cancel) return 0;
  }
  int64_t pos = Loc.StartPos;
  uint8_t sig[4];
  if (SeekTo(S, pos) && S.Read(sig, 4) == 4 && GetLE32(sig) == sigSpanMarker) pos += 4;
  ByteTotal = 0;
  TZipLocalRecord l;
  std::string name;
  while (!IsCancelled() && ReadLocalAt(S, pos, l)) {
    TEntry e;
    EntryName(l.Name, l.Header.Flags, l.Extra, name);
    e.Position = pos;
    e.LocalSize = uint32_t(l.DataPosition() - pos);
    e.Flags = l.Header.Flags;
    e.Method = l.Header.Method;
    e.DosDateTime = e.LocalDosDateTime = l.Header.DosDateTime;
    e.Crc32 = l.Header.Crc32;
    e.PackedSize = l.PackedSize();
    e.UnpackedSize = l.UnpackedSize();
    e.IsDir = IsDirEntry(name, 0, false);
    int64_t next = l.DataPosition() + e.PackedSize;
    const bool streamed = (e.Flags & gpDataDescriptor) && e.PackedSize == 0 && !e.IsDir;
    if (streamed && !MeasureStreamedEntry(S, l, e, next)) {
      // The data's end cannot be found: the entry is kept (it fails its check) and the walk
      // ends here.
      if (!name.empty() && EntrySelected(name)) {
        e.Method = 0xFFFF;
        AddEntry(e, name);
      }
      break;
    }
    if ((e.Flags & gpDataDescriptor) && !streamed) {
      // Skip a descriptor (with or without its signature) between this entry and the next.
      uint8_t d[4];
      if (SeekTo(S, next) && S.Read(d, 4) == 4 && ClassifySig(GetLE32(d)).Kind != zrLocal)
        next += GetLE32(d) == sigSpanMarker ? 16 : 12;
    }
    if (!name.empty() && EntrySelected(name)) AddEntry(e, name);
    if (next <= pos) break;
    pos = next;
  }
  BytesToGo = ByteTotal;
  return int(FEntries.size());
}

// ---- Extraction loop -------------------------------------------------------------------------

void TUnZip::ExtractEntries(TStream32& S, bool CentralMode) {
  if (ExtractMode == xmList) {
    for (size_t i = 0; i < FEntries.size() && !IsCancelled(); ++i) {
      ++EntryNumber;
      ListOne(FEntries[i]);
    }
    return;
  }
  std::unique_ptr<TWorkerPool> pool;
  const std::unique_ptr<TExtractAhead> ahead = StartAhead(S, pool);
  // What the run reads itself (local headers, entries not decoded ahead) goes through one
  // buffer: entries that follow each other cost a read per buffer, not several each.
  TReadBuffer32 in(S);
  for (size_t i = 0; i < FEntries.size(); ++i) {
    if (IsCancelled()) break;
    ++EntryNumber;
    ExtractOne(in, FEntries[i], CentralMode, ahead ? ahead->Take(i) : nullptr);
  }
}

void TUnZip::ListOne(const TEntry& E) {
  ++EntryCount;
  if (!OnListEntry) return;
  TListEntry l;
  l.Name = E.Name();
  l.DosDateTime = E.DosDateTime;
  l.Attr = (E.ExtAttr & 0xFF) | (E.IsDir ? 0x10u : 0u);
  l.Size = E.UnpackedSize;
  l.PackedSize = E.PackedSize;
  l.Method = E.Method;
  l.MethodName = ZipMethodName(E.Method, E.Flags);
  l.Crc32 = E.Crc32;
  l.Encrypted = (E.Flags & gpEncrypted) != 0;
  OnListEntry(this, l);
}

bool TUnZip::PasswordOpens(TStream32& S, const TEntry& E, int64_t DataPos) {
  uint8_t head[12];
  if (!SeekTo(S, DataPos) || S.Read(head, 12) != 12) return false;
  const uint8_t check = (E.Flags & gpDataDescriptor) ? uint8_t(E.DosDateTime >> 8) : uint8_t(E.Crc32 >> 24);
  return CheckPassword(E.Name(), [&](const std::string& pw) {
    uint8_t h[12];
    std::copy(head, head + 12, h);
    StreamState->Cipher.Init(pw);
    StreamState->Cipher.Decrypt(h, 12);
    return h[11] == check;
  });
}

bool TUnZip::AesPasswordOpens(TStream32& S, const TEntry& E, int64_t DataPos) {
  uint8_t head[16 + kAesVerifierSize];
  const int salt = AesSaltSize(FEntryAes.Strength);
  if (E.PackedSize < AesOverhead(FEntryAes.Strength) || !SeekTo(S, DataPos) ||
      S.Read(head, salt + kAesVerifierSize) != salt + kAesVerifierSize)
    return false;
  return CheckPassword(E.Name(), [&](const std::string& pw) {
    uint8_t v[kAesVerifierSize];
    return FAes.Init(pw, head, FEntryAes.Strength, v) && std::equal(v, v + kAesVerifierSize, head + salt);
  });
}

bool TUnZip::ReadLocal(TStream32& S, TEntry& E, bool CentralMode, const TAheadResult* Ahead, TLocalFacts& L) {
  if (Ahead && Ahead->HeaderRead) {
    // Read and checked by the job; entries decoded ahead are never AES.
    L = {Ahead->DataPosition, Ahead->HeaderDosDateTime, Ahead->HeaderCrc32};
    E.HasAes = false;
    return true;
  }
  if (CentralMode && E.Method != kAesMethod) {
    // The selection read and checked the header; what the extraction needs of it is kept
    // (its CRC-32 counts only in local mode, its extra field only for AES).
    L = {E.Position + E.LocalSize, E.LocalDosDateTime, 0};
    E.HasAes = false;
    return true;
  }
  TZipLocalRecord& l = FLocal;
  if (!ReadLocalAt(S, E.Position, l)) return false;
  L = {l.DataPosition(), l.Header.DosDateTime, l.Header.Crc32};
  E.HasAes = E.Method == kAesMethod && FindAesExtra(l.Extra, FEntryAes);
  return true;
}

void TUnZip::ExtractOne(TStream32& S, TEntry& E, bool CentralMode, const TAheadResult* Ahead) {
  TEntryRun r{S, E, Ahead, {}};
  if (!ReadLocal(S, E, CentralMode, Ahead, r.Local)) {
    ReportError(E.Name(), "", FRunArchiveName, ecBadLocalHeaderOffset);
    return;
  }
  if (!CentralMode && E.Crc32 == 0 && r.Local.Crc32 != 0) E.Crc32 = r.Local.Crc32;
  // The local header's date; the name is the directory's (what the selection tested).
  E.DosDateTime = r.Local.DosDateTime;
  r.Encrypted = ((E.Flags & gpEncrypted) || E.Method == kAesMethod) && !E.IsDir;
  // Where the data starts after the encryption's own header.
  r.HeadSize = !r.Encrypted ? 0 : E.HasAes ? AesSaltSize(FEntryAes.Strength) + kAesVerifierSize : 12;
  // One step record for the run: its name keeps its memory from entry to entry (ZIP sets no
  // Unix time, link target or owner: those stay empty).
  TStepEntry& step = FStep;
  step.Name.assign(E.NameView());
  step.IsDir = E.IsDir;
  step.Size = E.IsDir ? 0 : E.UnpackedSize;
  step.DosDateTime = E.DosDateTime;
  step.Attr = E.ExtAttr;
  // AE-2 stores no CRC; its authentication code is the check.
  step.Check = E.IsDir || (E.HasAes && FEntryAes.Version == 2) ? ckNone : ckCrc32;
  step.Stored = E.Crc32;
  // Made by Unix: the permission bits, and a link whose target is the entry's data.
  const uint32_t mode = E.MadeByUnix ? E.ExtAttr >> 16 : 0;
  const bool link = E.MadeByUnix && S_ISLNK(mode) && !E.IsDir;
  step.UnixMode = mode & 0777;
  step.Link = link ? lkSymbolic : lkNone;
  step.LinkInData = link;
  ExtractStep(
      step, [this, &r] { return DecodeEntry(r); }, [this, &r] { return PrepareEntry(r); });
}

bool TUnZip::PrepareEntry(TEntryRun& R) {
  // Entries that cannot be decoded are reported once and get no output file.
  const TEntry& E = R.E;
  if (E.IsDir) return true;
  std::string why;
  if (!CanDecode(E, why)) {
    ReportError(CurrentName(), why, FRunArchiveName, ecUnsupportedMethod);
    return false;
  }
  if (!R.Encrypted) return true;
  // After a password was refused, the other encrypted entries are not asked for again.
  if (FPasswordFailed) {
    ReportError(CurrentName(), "", FRunArchiveName, ecInvalidPassword);
    return false;
  }
  FPasswordFailed =
      E.HasAes ? !AesPasswordOpens(R.S, E, R.Local.DataPosition) : !PasswordOpens(R.S, E, R.Local.DataPosition);
  return !FPasswordFailed;
}

bool TUnZip::DecodeEntry(TEntryRun& R) {
  if (R.Ahead && R.Ahead->Ok) return DeliverAhead(*R.Ahead);
  if (!SeekTo(R.S, R.Local.DataPosition + R.HeadSize)) return false;
  return R.E.HasAes ? DecodeAes(R.S, R.E) : Decode(R.S, R.E, R.Encrypted);
}

// The shapes every compression filter shares: the decoding stream (members read as one
// forward stream) and the compressing output filter (the last write held back); the filter
// table (magic, level presets) and the factories.
#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include "archive/core/qrvDeflateChunks.h"
#include "archive/core/qrvErrors.h"
#include "archive/core/qrvStreams.h"

namespace {

constexpr int32_t kSkipBlock = 64 << 10;

struct TFilterRow {
  TStreamFilter Filter;
  const char* Name;
  std::vector<uint8_t> Magic;
  int Levels[4];  // store, fast, normal, max (store is never asked of a filter)
};

const TFilterRow kFilters[] = {
    {sfGzip, "gzip", {0x1F, 0x8B}, {0, 1, 6, 9}},
    {sfXz, "xz", {0xFD, '7', 'z', 'X', 'Z', 0x00}, {0, 1, 6, 9}},
    {sfZstd, "zstd", {0x28, 0xB5, 0x2F, 0xFD}, {1, 1, 3, 19}},
    {sfBzip2, "bzip2", {'B', 'Z', 'h'}, {1, 1, 9, 9}},
};

const TFilterRow* RowOf(TStreamFilter F) {
  for (const TFilterRow& r : kFilters)
    if (r.Filter == F) return &r;
  return nullptr;
}

}  // namespace

TStreamFilter DetectStreamFilter(TStream32& Source) {
  const int64_t at = Source.Position();
  uint8_t m[8] = {};
  const int32_t got = Source.Read(m, sizeof m);
  Source.SetPosition(at);
  for (const TFilterRow& r : kFilters)
    if (got >= int32_t(r.Magic.size()) && std::equal(r.Magic.begin(), r.Magic.end(), m)) return r.Filter;
  return sfNone;
}

const char* StreamFilterName(TStreamFilter F) {
  const TFilterRow* r = RowOf(F);
  return r ? r->Name : "";
}

int FilterLevel(TStreamFilter Filter, int DeflateTypeIndex) {
  const TFilterRow* r = RowOf(Filter);
  return r ? r->Levels[std::clamp(DeflateTypeIndex, 0, 3)] : 0;
}

std::unique_ptr<TDecodeStream> NewDecodeStream(TStreamFilter Filter, TStream32& Source) {
  switch (Filter) {
    case sfGzip: return std::make_unique<TGunzipStream>(Source);
    case sfXz: return NewXzDecodeStream(Source);
    case sfZstd: return NewZstdDecodeStream(Source);
    case sfBzip2: return NewBzip2DecodeStream(Source);
    case sfNone: break;
  }
  return nullptr;
}

std::unique_ptr<TFilterOutStream> NewEncodeStream(TStreamFilter Filter, TStream32& Output, const TEncodeOptions& O,
                                                  uint32_t MTime, const std::string& Name) {
  switch (Filter) {
    case sfGzip:
      return std::make_unique<TGzipOutStream>(Output, O.Level, *O.Pool, MTime, Name, O.CancelFlag, O.OnProgress);
    case sfXz: return NewXzEncodeStream(Output, O);
    case sfZstd: return NewZstdEncodeStream(Output, O);
    case sfBzip2: return NewBzip2EncodeStream(Output, O);
    case sfNone: break;
  }
  return nullptr;
}

// ---- Decoding ------------------------------------------------------------------------------

void TDecodeStream::Fail(int Code, const std::string& Reason) {
  FStopped = FFailed = true;
  if (FDecodeError.Code == 0) FDecodeError = {Code, Reason};
}

void TDecodeStream::Restart() {
  StopAhead();
  ResetCodec();
  FInPos = FInLen = 0;
  FIn = FDecoded = FOut = 0;
  FEnded = FStopped = FFailed = false;
  FSource.SetPosition(FStart);
}

bool TDecodeStream::Refill() {
  const int32_t n = FSource.Read(FInBuf.data(), int32_t(FInBuf.size()));
  if (n <= 0) return false;
  FIn += n;
  FInPos = 0;
  FInLen = size_t(n);
  return true;
}

bool TDecodeStream::NextMember() {
  // Another member starts with the magic; anything else after a member is trailing padding.
  if (FInLen - FInPos < FMagicLen) {
    const size_t keep = FInLen - FInPos;
    std::memmove(FInBuf.data(), FInBuf.data() + FInPos, keep);
    FInPos = 0;
    FInLen = keep;
    while (FInLen < FMagicLen) {
      const int32_t n = FSource.Read(FInBuf.data() + FInLen, int32_t(FInBuf.size() - FInLen));
      if (n <= 0) break;
      FIn += n;
      FInLen += size_t(n);
    }
  }
  if (FInLen - FInPos < FMagicLen || !IsMagic(FInBuf.data() + FInPos)) return false;
  ResetCodec();
  return true;
}

size_t TDecodeStream::DecodeSome(uint8_t* Out, size_t Count) {
  size_t outLen = Count;
  bool sourceEnded = false;
  while (outLen > 0 && !FStopped) {
    if (FInPos == FInLen && !sourceEnded && !Refill()) sourceEnded = true;
    const uint8_t* in = FInBuf.data() + FInPos;
    size_t inLen = FInLen - FInPos;
    const size_t outBefore = outLen;
    const TStep step = Decode(in, inLen, Out, outLen);
    FInPos = FInLen - inLen;
    if (step == dsFailed) break;
    if (step == dsMemberEnd) {
      if (!NextMember()) FStopped = true;
      continue;
    }
    if (sourceEnded && outLen == outBefore) {
      const std::string name = FName;
      Fail(ecReadFile, FDecoded == 0 && FIn == 0 ? "no " + name + " data" : "the " + name + " data ends early");
    }
  }
  FDecoded += int64_t(Count - outLen);
  return Count - outLen;
}

size_t TDecodeStream::DecodeGuarded(uint8_t* Out, size_t Count) {
  const int64_t before = FDecoded;
  try {
    return DecodeSome(Out, Count);
  } catch (const EArchiveError& e) {
    Fail(e.ECode, e.what());
  } catch (const std::bad_alloc&) {
    Fail(ecOutOfMemory, "out of memory");
  }
  return size_t(FDecoded - before);
}

void TDecodeStream::ReachStop() {
  FEnded = true;
  if (FFailed && FError.Code == 0) FError = FDecodeError;
}

size_t TDecodeStream::Deliver(uint8_t* Out, size_t Count) {
  if (FEnded) return 0;
  if (!FAhead && !FStopped && AheadFrom >= 0 && FDecoded >= AheadFrom) StartAhead();
  size_t got;
  if (FAhead) {
    got = TakeAhead(Out, Count);
  } else {
    got = DecodeGuarded(Out, Count);
    if (FStopped) ReachStop();
  }
  FOut += int64_t(got);
  return got;
}

int32_t TDecodeStream::Read(void* Buffer, int32_t Count) {
  if (Count <= 0) return 0;
  const int32_t got = int32_t(Deliver(static_cast<uint8_t*>(Buffer), size_t(Count)));
  if (OnProgress && got > 0) OnProgress();
  return got;
}

int32_t TDecodeStream::Write(const void*, int32_t) { return 0; }

int32_t TDecodeStream::Seek32(int32_t Offset, uint16_t Origin) {
  const int64_t r = Seek(Offset, Origin);
  return r >= 0 && r <= INT32_MAX ? int32_t(r) : -1;
}

int64_t TDecodeStream::Seek(int64_t Offset, uint16_t Origin) {
  int64_t target;
  if (Origin == soFromBeginning)
    target = Offset;
  else if (Origin == soFromCurrent)
    target = FOut + Offset;
  else
    return FEnded && Offset <= 0 ? Seek(FOut + Offset, soFromBeginning) : -1;
  if (target < 0) return -1;
  if (target < FOut) Restart();
  std::vector<uint8_t> scratch;
  while (FOut < target && !FEnded && !IsCancelled()) {
    if (scratch.empty()) scratch.resize(size_t(kSkipBlock));
    const int32_t want = int32_t(std::min<int64_t>(target - FOut, kSkipBlock));
    if (Read(scratch.data(), want) < want) break;
    ProcessMessages();
  }
  return FOut;
}

// ---- Compressing ---------------------------------------------------------------------------

TFilterOutStream::TFilterOutStream(TStream32& Output, const bool* CancelFlag, std::function<void()> OnProgress)
    : FOutput(Output), FCancel(CancelFlag), FProgress(std::move(OnProgress)) {}

int32_t TFilterOutStream::Read(void*, int32_t) { return 0; }

bool TFilterOutStream::PassHeld() {
  if (FHeld.empty()) return true;
  if (Cancelled() || !Encode(FHeld.data(), FHeld.size(), false)) FFailed = true;
  FHeld.clear();
  return !FFailed;
}

int32_t TFilterOutStream::Write(const void* Buffer, int32_t Count) {
  if (Count <= 0 || FFinished || FFailed || !PassHeld()) return 0;
  const auto* p = static_cast<const uint8_t*>(Buffer);
  FHeld.assign(p, p + Count);
  FTotal += Count;
  return Count;
}

void TFilterOutStream::SetSize(int64_t NewSize) {
  if (NewSize == FTotal) return;
  const int64_t drop = FTotal - NewSize;
  if (drop < 0 || drop > int64_t(FHeld.size())) throw EWriteError(ecWriteFile, SWriteError, {});
  FHeld.resize(FHeld.size() - size_t(drop));
  FTotal = NewSize;
}

int64_t TFilterOutStream::Seek(int64_t Offset, uint16_t Origin) {
  if (Origin == soFromBeginning) return Offset == FTotal ? FTotal : -1;
  return Offset == 0 ? FTotal : -1;
}

int32_t TFilterOutStream::Seek32(int32_t Offset, uint16_t Origin) {
  const int64_t r = Seek(Offset, Origin);
  return r >= 0 && r <= INT32_MAX ? int32_t(r) : -1;
}

bool TFilterOutStream::Finish() {
  if (FFinished) return false;
  FFinished = true;
  if (FFailed || Cancelled()) return false;
  const bool ok = Encode(FHeld.data(), FHeld.size(), true);
  FHeld.clear();
  return ok && !Cancelled();
}

// The filter streams: deflate, inflate, store and checksum on the way to or from an archive.
#include <algorithm>
#include <climits>
#include <exception>

#include "archive/core/qrvErrors.h"
#include "archive/core/qrvStreams.h"

namespace {

// Level index 0..3 -> zlib level (none, fastest, default, best).
int ZLevel(int Index) {
  static const int Levels[4] = {0, 1, Z_DEFAULT_COMPRESSION, 9};
  return Index >= 0 && Index < 4 ? Levels[Index] : Z_DEFAULT_COMPRESSION;
}

[[noreturn]] void ThrowZInit(int Rc) { throw EArchiveError(Rc == Z_MEM_ERROR ? ecOutOfMemory : ecStreamReadWrite); }

}  // namespace

// ---------------------------------------------------------------------------------------------
// TCustomStream

TCustomStream::TCustomStream(TStream32& Strm, TStreamState* State)
    : FStrm(&Strm),
      FStrmPos(Strm.Position()),
      FBuffer(FilterBufferSize),
      FState(State != nullptr ? State : &GlobalStreamState()) {}

void TCustomStream::SyncPosition() {
  if (FStrm->Position() != FStrmPos) FStrm->SetPosition(FStrmPos);
}

void TCustomStream::NoteStreamPosition() { FStrmPos = FStrm->Position(); }

void TCustomStream::UpdateCrc(const void* Buf, size_t Len) {
  if (CrcBits == 16)
    FState->Crc16Val = UpdateCrc16(FState->Crc16Val, Buf, Len);
  else
    FState->Crc32Val = UpdateCrc32(FState->Crc32Val, Buf, Len);
}

// ---------------------------------------------------------------------------------------------
// TCompressStream

TCompressStream::TCompressStream(TStream32& Target, int Level, int8_t WindowBits, TStreamState* State)
    : TCustomStream(Target, State), FUncaught(std::uncaught_exceptions()) {
  const int Rc = deflateInit2(&FZRec, ZLevel(Level), Z_DEFLATED, WindowBits, 8, Z_DEFAULT_STRATEGY);
  if (Rc != Z_OK) ThrowZInit(Rc);
  FInitOk = true;
  FZRec.next_out = FBuffer.data();
  FZRec.avail_out = static_cast<uInt>(FBuffer.size());
}

TCompressStream::~TCompressStream() {
  // A stream dropped while an exception unwinds is not finished: its output is being discarded.
  if (!FFinished && std::uncaught_exceptions() <= FUncaught) {
    try {
      Finish();
    } catch (...) {
    }
  }
  if (FInitOk) deflateEnd(&FZRec);
}

void TCompressStream::FlushBuffer(int32_t Count) {
  if (Count > 0) {
    if (Encrypt) FState->Cipher.Encrypt(FBuffer.data(), static_cast<size_t>(Count));
    FStrm->WriteBuffer(FBuffer.data(), Count);
    FStrmPos += Count;
  }
  FZRec.next_out = FBuffer.data();
  FZRec.avail_out = static_cast<uInt>(FBuffer.size());
}

void TCompressStream::CountConsumed() {
  const int64_t In = TotalIn();
  StepProgress(In - FCounted);
  FCounted = In;
}

int32_t TCompressStream::Read(void*, int32_t) { return 0; }

int32_t TCompressStream::Write(const void* Buffer, int32_t Count) {
  if (Count <= 0 || FFinished) return 0;
  SyncPosition();
  FZRec.next_in = static_cast<Bytef*>(const_cast<void*>(Buffer));
  FZRec.avail_in = static_cast<uInt>(Count);
  while (FZRec.avail_in > 0 && !IsCancelled()) {
    const int Rc = deflate(&FZRec, Z_NO_FLUSH);
    if (Rc != Z_OK && Rc != Z_BUF_ERROR) break;
    if (FZRec.avail_out == 0) {
      FlushBuffer(static_cast<int32_t>(FBuffer.size()));
      CountConsumed();
    }
  }
  const int32_t Consumed = Count - static_cast<int32_t>(FZRec.avail_in);
  // The running CRC covers what deflate took; an enciphered entry's CRC was computed before.
  if (!Encrypt) UpdateCrc(Buffer, static_cast<size_t>(Consumed));
  FZRec.next_in = nullptr;
  FZRec.avail_in = 0;
  return Consumed;
}

bool TCompressStream::Finish() {
  if (FFinished) return !IsCancelled();
  FFinished = true;
  if (IsCancelled()) return false;
  SyncPosition();
  int Rc;
  do {
    Rc = deflate(&FZRec, Z_FINISH);
    if (Rc != Z_OK && Rc != Z_STREAM_END && Rc != Z_BUF_ERROR) break;
    if (FZRec.avail_out == 0 || Rc == Z_STREAM_END) FlushBuffer(static_cast<int32_t>(FBuffer.size() - FZRec.avail_out));
  } while (Rc != Z_STREAM_END);
  CountConsumed();
  return Rc == Z_STREAM_END;
}

int32_t TCompressStream::Seek32(int32_t Offset, uint16_t Origin) {
  const int64_t R = Seek(Offset, Origin);
  return R >= 0 && R <= INT32_MAX ? static_cast<int32_t>(R) : -1;
}

int64_t TCompressStream::Seek(int64_t Offset, uint16_t Origin) {
  return Offset == 0 && Origin == soFromCurrent ? TotalIn() : -1;
}

// ---------------------------------------------------------------------------------------------
// TDecompressStream

TDecompressStream::TDecompressStream(TStream32& Source, int8_t WindowBits, TStreamState* State)
    : TCustomStream(Source, State), FWindowBits(WindowBits), FStartPos(FStrmPos) {
  const int Rc = inflateInit2(&FZRec, WindowBits);
  if (Rc != Z_OK) ThrowZInit(Rc);
  FInitOk = true;
}

TDecompressStream::~TDecompressStream() {
  // Give back the input read ahead but not consumed, so the source stands after the data.
  if (FZRec.avail_in > 0) {
    try {
      FStrm->SetPosition(FStrmPos - FZRec.avail_in);
    } catch (...) {
    }
  }
  if (FInitOk) inflateEnd(&FZRec);
}

void TDecompressStream::SetSource(TStream32& Source) {
  FStrm = &Source;
  FStrmPos = Source.Position();
  FNeedsInput = false;
}

bool TDecompressStream::Refill(int32_t Wanted) {
  int64_t Want = std::min<int64_t>(Wanted, static_cast<int64_t>(FBuffer.size()));
  if (InputLimit >= 0) Want = std::min(Want, InputLimit - FInputRead);
  const int32_t N = Want > 0 ? FStrm->Read(FBuffer.data(), static_cast<int32_t>(Want)) : 0;
  if (N <= 0) return false;
  FStrmPos += N;
  FInputRead += N;
  if (Encrypt) FState->Cipher.Decrypt(FBuffer.data(), static_cast<size_t>(N));
  if (OnProgress) OnProgress();
  FZRec.next_in = FBuffer.data();
  FZRec.avail_in = static_cast<uInt>(N);
  return true;
}

int32_t TDecompressStream::Read(void* Buffer, int32_t Count) {
  if (Count <= 0 || FEndOfData) return 0;
  if (FZError != Z_OK) return FZError;
  SyncPosition();
  FZRec.next_out = static_cast<Bytef*>(Buffer);
  FZRec.avail_out = static_cast<uInt>(Count);
  while (FZRec.avail_out > 0) {
    bool Dry = false;
    if (FZRec.avail_in == 0) Dry = !Refill(Count);
    const uInt OutBefore = FZRec.avail_out;
    const int Rc = inflate(&FZRec, Z_NO_FLUSH);
    if (Rc == Z_STREAM_END) {
      FEndOfData = true;
      break;
    }
    if (Rc == Z_NEED_DICT || (Rc < 0 && Rc != Z_BUF_ERROR)) {
      FZError = Rc == Z_NEED_DICT ? Z_DATA_ERROR : Rc;
      return FZError;
    }
    // No input left and inflate produced nothing more: the data ends early here.
    if (Dry && FZRec.avail_out == OutBefore) {
      FNeedsInput = true;
      break;
    }
  }
  FNeedsInput = FNeedsInput && !FEndOfData;
  return Count - static_cast<int32_t>(FZRec.avail_out);
}

int32_t TDecompressStream::Write(const void*, int32_t) { return 0; }

void TDecompressStream::Reset() {
  inflateReset(&FZRec);
  FZRec.next_in = nullptr;
  FZRec.avail_in = 0;
  FStrmPos = FStartPos;
  FInputRead = 0;
  FEndOfData = false;
  FNeedsInput = false;
  FZError = Z_OK;
}

int32_t TDecompressStream::Seek32(int32_t Offset, uint16_t Origin) {
  const int64_t R = Seek(Offset, Origin);
  return R >= 0 && R <= INT32_MAX ? static_cast<int32_t>(R) : -1;
}

int64_t TDecompressStream::Seek(int64_t Offset, uint16_t Origin) {
  const int64_t Pos = static_cast<int64_t>(FZRec.total_out);
  int64_t Target;
  if (Origin == soFromBeginning)
    Target = Offset;
  else if (Origin == soFromCurrent)
    Target = Pos + Offset;
  else
    return -1;
  if (Target < 0) return -1;
  if (Target < Pos) Reset();
  uint8_t Scratch[4096];
  while (static_cast<int64_t>(FZRec.total_out) < Target) {
    const int64_t Left = Target - static_cast<int64_t>(FZRec.total_out);
    const int32_t N = Read(Scratch, static_cast<int32_t>(std::min<int64_t>(Left, sizeof Scratch)));
    if (N <= 0) break;
  }
  return static_cast<int64_t>(FZRec.total_out);
}

// ---------------------------------------------------------------------------------------------
// TStoreStream

TStoreStream::TStoreStream(TStream32& Target, bool Encrypted, int Bits, TStreamState* State)
    : TCustomStream(Target, State) {
  Encrypt = Encrypted;
  CrcBits = Bits;
  if (!Encrypted) {
    if (Bits == 16)
      FState->Crc16Val = Crc16Init;
    else
      FState->Crc32Val = Crc32Init;
  }
}

int32_t TStoreStream::Write(const void* Buffer, int32_t Count) {
  if (Count <= 0) return 0;
  SyncPosition();
  if (!Encrypt) UpdateCrc(Buffer, static_cast<size_t>(Count));
  if (BytesToGo != nullptr) *BytesToGo -= Count;
  if (!Encrypt) {
    FStrm->WriteBuffer(Buffer, Count);
  } else {
    // Encipher a copy: the caller's buffer stays plain.
    const auto* P = static_cast<const uint8_t*>(Buffer);
    for (int32_t Done = 0; Done < Count;) {
      const int32_t N = std::min<int32_t>(Count - Done, static_cast<int32_t>(FBuffer.size()));
      std::copy(P + Done, P + Done + N, FBuffer.begin());
      FState->Cipher.Encrypt(FBuffer.data(), static_cast<size_t>(N));
      FStrm->WriteBuffer(FBuffer.data(), N);
      Done += N;
    }
  }
  FStrmPos += Count;
  if (OnProgress) OnProgress();
  return Count;
}

int32_t TStoreStream::Read(void* Buffer, int32_t Count) {
  if (Count <= 0) return 0;
  SyncPosition();
  const int32_t N = FStrm->Read(Buffer, Count);
  if (N <= 0) return N;
  FStrmPos += N;
  if (Encrypt) FState->Cipher.Decrypt(Buffer, static_cast<size_t>(N));
  UpdateCrc(Buffer, static_cast<size_t>(N));
  return N;
}

int64_t TStoreStream::Seek(int64_t Offset, uint16_t Origin) {
  SyncPosition();
  const int64_t R = FStrm->Seek(Offset, Origin);
  if (R >= 0) FStrmPos = R;
  return R;
}

int32_t TStoreStream::Seek32(int32_t Offset, uint16_t Origin) {
  const int64_t R = Seek(Offset, Origin);
  return R >= 0 && R <= INT32_MAX ? static_cast<int32_t>(R) : -1;
}

int64_t TStoreStream::CopyFrom(TStream32& Source, int64_t Count) {
  return CopyBlocks(Source, Count, StoreCopyBlockSize);
}

// ---------------------------------------------------------------------------------------------
// TCalcStreamCRC

TCalcStreamCRC::TCalcStreamCRC(TStream32& Source, int64_t Count, int Bits, bool Progress, bool* ACancelFlag,
                               int64_t* ABytesToGo, std::function<void()> AOnProgress, TStreamState* State)
    : TCustomStream(Source, State), FProgress(Progress) {
  CrcBits = Bits;
  CancelFlag = ACancelFlag;
  BytesToGo = ABytesToGo;
  OnProgress = std::move(AOnProgress);
  if (Bits == 16)
    FState->Crc16Val = Crc16Init;
  else
    FState->Crc32Val = Crc32Init;
  CopyFrom(Source, Count);
}

int32_t TCalcStreamCRC::Read(void*, int32_t) { return 0; }

int32_t TCalcStreamCRC::Write(const void* Buffer, int32_t Count) {
  if (Count <= 0) return 0;
  UpdateCrc(Buffer, static_cast<size_t>(Count));
  FCount += Count;
  if (FProgress) StepProgress(Count);
  return Count;
}

int64_t TCalcStreamCRC::Seek(int64_t Offset, uint16_t Origin) {
  return Offset == 0 && Origin != soFromBeginning ? FCount : (Offset == 0 ? 0 : -1);
}

int32_t TCalcStreamCRC::Seek32(int32_t Offset, uint16_t Origin) {
  const int64_t R = Seek(Offset, Origin);
  return R >= 0 && R <= INT32_MAX ? static_cast<int32_t>(R) : -1;
}

uint32_t TCalcStreamCRC::Crc() const { return CrcBits == 16 ? FState->Crc16Val : FState->Crc32Val; }

// ---------------------------------------------------------------------------------------------

bool DeflateStream(TStream32& Input, TStream32& Output, int LevelIndex, bool Encrypt, uint32_t& Crc, bool* ACancelFlag,
                   int64_t* ABytesToGo, const std::function<void()>& AOnProgress, TStreamState* State) {
  TStreamState& St = State != nullptr ? *State : GlobalStreamState();
  if (!Encrypt) St.Crc32Val = Crc32Init;
  TCompressStream Deflater(Output, LevelIndex, -15, &St);
  Deflater.Encrypt = Encrypt;
  Deflater.CancelFlag = ACancelFlag;
  Deflater.BytesToGo = ABytesToGo;
  Deflater.OnProgress = AOnProgress;
  Deflater.CopyFrom(Input, 0);
  const bool Ok = Deflater.Finish();
  Crc = St.Crc32Val ^ 0xFFFFFFFFu;
  return Ok && !Deflater.IsCancelled();
}

#include "archive/core/qrvStreams.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <exception>
#include <new>

#include "archive/core/qrvErrors.h"

// ---------------------------------------------------------------------------------------------
// Window messages

std::function<void()> ProcessMessagesHook;

void ProcessMessages() {
  if (ProcessMessagesHook) ProcessMessagesHook();
}

// ---------------------------------------------------------------------------------------------
// Checksums

namespace {

constexpr std::array<uint32_t, 256> MakeCrc32Table() {
  std::array<uint32_t, 256> T{};
  for (uint32_t N = 0; N < 256; ++N) {
    uint32_t C = N;
    for (int K = 0; K < 8; ++K) C = (C & 1) ? 0xEDB88320u ^ (C >> 1) : C >> 1;
    T[N] = C;
  }
  return T;
}

constexpr std::array<uint16_t, 256> MakeCrc16Table() {
  std::array<uint16_t, 256> T{};
  for (uint32_t N = 0; N < 256; ++N) {
    uint32_t C = N;
    for (int K = 0; K < 8; ++K) C = (C & 1) ? 0xA001u ^ (C >> 1) : C >> 1;
    T[N] = static_cast<uint16_t>(C);
  }
  return T;
}

constexpr auto Crc32Arr = MakeCrc32Table();
constexpr auto Crc16Arr = MakeCrc16Table();

// Slicing-by-8 tables for CRC-16: Crc16Slice[k][b] is the CRC of byte b followed by k zeros.
struct TCrc16Slices {
  uint16_t T[8][256];
};
constexpr TCrc16Slices MakeCrc16Slices() {
  TCrc16Slices S{};
  for (int B = 0; B < 256; ++B) S.T[0][B] = Crc16Arr[B];
  for (int K = 1; K < 8; ++K)
    for (int B = 0; B < 256; ++B)
      S.T[K][B] = static_cast<uint16_t>(Crc16Arr[S.T[K - 1][B] & 0xFF] ^ (S.T[K - 1][B] >> 8));
  return S;
}
constexpr TCrc16Slices Crc16Slices = MakeCrc16Slices();

}  // namespace

const uint32_t Crc32Table[256] = {
#define ROW(i) Crc32Arr[i], Crc32Arr[i + 1], Crc32Arr[i + 2], Crc32Arr[i + 3]
#define ROW16(i) ROW(i), ROW(i + 4), ROW(i + 8), ROW(i + 12)
    ROW16(0),   ROW16(16),  ROW16(32),  ROW16(48),  ROW16(64),  ROW16(80),  ROW16(96),  ROW16(112),
    ROW16(128), ROW16(144), ROW16(160), ROW16(176), ROW16(192), ROW16(208), ROW16(224), ROW16(240),
#undef ROW16
#undef ROW
};

const uint16_t Crc16Table[256] = {
#define ROW(i) Crc16Arr[i], Crc16Arr[i + 1], Crc16Arr[i + 2], Crc16Arr[i + 3]
#define ROW16(i) ROW(i), ROW(i + 4), ROW(i + 8), ROW(i + 12)
    ROW16(0),   ROW16(16),  ROW16(32),  ROW16(48),  ROW16(64),  ROW16(80),  ROW16(96),  ROW16(112),
    ROW16(128), ROW16(144), ROW16(160), ROW16(176), ROW16(192), ROW16(208), ROW16(224), ROW16(240),
#undef ROW16
#undef ROW
};

uint32_t UpdateCrc32(uint32_t Crc, const void* Buf, size_t Len) {
  // libdeflate computes the same CRC on the final (inverted) form, with carry-less multiplies
  // where the CPU has them (several times zlib's speed).
  return libdeflate_crc32(Crc ^ 0xFFFFFFFFu, Buf, Len) ^ 0xFFFFFFFFu;
}

uint32_t Crc32Of(const void* Buf, size_t Len) { return UpdateCrc32(Crc32Init, Buf, Len) ^ 0xFFFFFFFFu; }

uint16_t UpdateCrc16(uint16_t Crc, const void* Buf, size_t Len) {
  const auto* P = static_cast<const uint8_t*>(Buf);
  uint32_t C = Crc;
  // Eight bytes per step: the running value folds into the first two.
  while (Len >= 8) {
    const auto& T = Crc16Slices.T;
    C = T[7][(P[0] ^ C) & 0xFF] ^ T[6][(P[1] ^ (C >> 8)) & 0xFF] ^ T[5][P[2]] ^ T[4][P[3]] ^ T[3][P[4]] ^ T[2][P[5]] ^
        T[1][P[6]] ^ T[0][P[7]];
    P += 8;
    Len -= 8;
  }
  while (Len-- > 0) C = Crc16Arr[(C ^ *P++) & 0xFF] ^ (C >> 8);
  return static_cast<uint16_t>(C);
}

uint16_t Crc16Of(const void* Buf, size_t Len) { return UpdateCrc16(Crc16Init, Buf, Len); }

// ---------------------------------------------------------------------------------------------
// Traditional ZIP cipher

void TZipCipher::Reset() {
  Keys[0] = 0x12345678u;
  Keys[1] = 0x23456789u;
  Keys[2] = 0x34567890u;
}

void TZipCipher::Init(const std::string& Password) {
  Reset();
  for (unsigned char C : Password) UpdateKeys(C);
}

void TZipCipher::UpdateKeys(uint8_t Plain) {
  Keys[0] = Crc32Byte(Keys[0], Plain);
  Keys[1] = (Keys[1] + (Keys[0] & 0xFF)) * 0x08088405u + 1;
  Keys[2] = Crc32Byte(Keys[2], static_cast<uint8_t>(Keys[1] >> 24));
}

uint8_t TZipCipher::KeyByte() const {
  const uint32_t T = (Keys[2] & 0xFFFF) | 2;
  return static_cast<uint8_t>((T * (T ^ 1)) >> 8);
}

uint8_t TZipCipher::EncryptByte(uint8_t Plain) {
  const uint8_t K = KeyByte();
  UpdateKeys(Plain);
  return Plain ^ K;
}

uint8_t TZipCipher::DecryptByte(uint8_t Cipher) {
  const uint8_t Plain = Cipher ^ KeyByte();
  UpdateKeys(Plain);
  return Plain;
}

void TZipCipher::Encrypt(void* Buf, size_t Len) {
  auto* P = static_cast<uint8_t*>(Buf);
  for (size_t I = 0; I < Len; ++I) P[I] = EncryptByte(P[I]);
}

void TZipCipher::Decrypt(void* Buf, size_t Len) {
  auto* P = static_cast<uint8_t*>(Buf);
  for (size_t I = 0; I < Len; ++I) P[I] = DecryptByte(P[I]);
}

TStreamState& GlobalStreamState() {
  static TStreamState State;
  return State;
}

// ---------------------------------------------------------------------------------------------
// TStream32

namespace {

bool FitsInt32(int64_t V) { return V >= INT32_MIN && V <= INT32_MAX; }

[[noreturn]] void ThrowRange() { throw ERangeError(ecNone, SRangeError, {}); }

}  // namespace

int64_t TStream32::Size() {
  const int64_t Pos = Seek(0, soFromCurrent);
  const int64_t End = Seek(0, soFromEnd);
  Seek(Pos, soFromBeginning);
  return End;
}

void TStream32::SetSize32(int32_t) {}

void TStream32::SetSize(int64_t NewSize) {
  if (!FitsInt32(NewSize)) ThrowRange();
  SetSize32(static_cast<int32_t>(NewSize));
}

int32_t TStream32::Seek32(int32_t, uint16_t) { return -1; }

int64_t TStream32::Seek(int64_t Offset, uint16_t Origin) {
  if (!FitsInt32(Offset)) ThrowRange();
  return Seek32(static_cast<int32_t>(Offset), Origin);
}

int64_t TStream32::CopyFrom(TStream32& Source, int64_t Count) { return CopyBlocks(Source, Count, CopyBlockSize); }

int64_t TStream32::CopyBlocks(TStream32& Source, int64_t Count, int32_t BlockSize) {
  if (Count < 0) return 0;
  bool UntilEnd = false;
  if (Count == 0) {
    Source.SetPosition(0);
    Count = Source.Size();
    // A source that cannot tell its size (a decompressor) is read to its end.
    UntilEnd = Count < 0;
    if (UntilEnd) Count = 0;
  }
  const int64_t Result = Count;
  std::vector<uint8_t> Buf(static_cast<size_t>(UntilEnd ? BlockSize : std::min<int64_t>(Count, BlockSize)));
  int64_t Copied = 0;
  while (UntilEnd || Count > 0) {
    ProcessMessages();
    if (IsCancelled() || Source.IsCancelled()) break;
    if (UntilEnd) {
      const int32_t N = Source.Read(Buf.data(), BlockSize);
      if (N < 0) throw EReadError(ecReadFile, SReadError, {});
      if (N == 0) break;
      WriteBuffer(Buf.data(), N);
      Copied += N;
      continue;
    }
    const int32_t N = static_cast<int32_t>(std::min<int64_t>(Count, BlockSize));
    Source.ReadBuffer(Buf.data(), N);
    WriteBuffer(Buf.data(), N);
    Count -= N;
  }
  return UntilEnd ? Copied : Result;
}

void TStream32::ReadBuffer(void* Buffer, int64_t Count) {
  auto* P = static_cast<uint8_t*>(Buffer);
  while (Count > 0) {
    const int32_t Want = static_cast<int32_t>(std::min<int64_t>(Count, INT32_MAX));
    const int32_t N = Read(P, Want);
    if (N != Want) throw EReadError(ecReadFile, SReadError, {});
    P += N;
    Count -= N;
  }
}

void TStream32::WriteBuffer(const void* Buffer, int64_t Count) {
  const auto* P = static_cast<const uint8_t*>(Buffer);
  while (Count > 0) {
    const int32_t Want = static_cast<int32_t>(std::min<int64_t>(Count, INT32_MAX));
    const int32_t N = Write(P, Want);
    if (N != Want) {
      if (IsDiskFullErrno(FLastError)) throw EWriteError(ecDiskFull, {});
      throw EWriteError(ecWriteFile, SWriteError, {});
    }
    P += N;
    Count -= N;
  }
}

void TStream32::StepProgress(int64_t Count) {
  if (BytesToGo != nullptr) *BytesToGo -= Count;
  if (OnProgress) OnProgress();
}

// ---------------------------------------------------------------------------------------------
// THandleStream32 / TFileStream32

int64_t THandleStream32::Size() {
  struct stat St {};
  if (FHandle >= 0 && ::fstat(FHandle, &St) == 0 && S_ISREG(St.st_mode)) return St.st_size;
  return TStream32::Size();
}

void THandleStream32::SetSize32(int32_t NewSize) { SetSize(NewSize); }

void THandleStream32::SetSize(int64_t NewSize) {
  if (NewSize < 0) ThrowRange();
  if (::ftruncate(FHandle, NewSize) != 0) {
    FLastError = errno;
    if (IsDiskFullErrno(FLastError)) throw EWriteError(ecDiskFull, {});
    throw EWriteError(ecWriteFile, SWriteError, {});
  }
  if (Position() > NewSize) Seek(NewSize, soFromBeginning);
}

int32_t THandleStream32::ReadRaw(void* Buffer, int32_t Count) {
  auto* P = static_cast<uint8_t*>(Buffer);
  int32_t Done = 0;
  while (Done < Count) {
    const ssize_t N = ::read(FHandle, P + Done, static_cast<size_t>(Count - Done));
    if (N < 0) {
      if (errno == EINTR) continue;
      FLastError = errno;
      break;
    }
    if (N == 0) break;
    Done += static_cast<int32_t>(N);
  }
  return Done;
}

int32_t THandleStream32::Read(void* Buffer, int32_t Count) {
  if (Count <= 0) return 0;
  const int32_t N = ReadRaw(Buffer, Count);
  if (N > 0 && OnProgress) StepProgress(Count);
  return N;
}

int32_t THandleStream32::Write(const void* Buffer, int32_t Count) {
  const auto* P = static_cast<const uint8_t*>(Buffer);
  int32_t Done = 0;
  while (Done < Count) {
    const ssize_t N = ::write(FHandle, P + Done, static_cast<size_t>(Count - Done));
    if (N < 0) {
      if (errno == EINTR) continue;
      FLastError = errno;
      break;
    }
    if (N == 0) {
      FLastError = ENOSPC;
      break;
    }
    Done += static_cast<int32_t>(N);
  }
  return Done;
}

int32_t THandleStream32::Seek32(int32_t Offset, uint16_t Origin) {
  const int64_t R = Seek(Offset, Origin);
  return FitsInt32(R) ? static_cast<int32_t>(R) : -1;
}

int64_t THandleStream32::Seek(int64_t Offset, uint16_t Origin) {
  const int Whence = Origin == soFromCurrent ? SEEK_CUR : Origin == soFromEnd ? SEEK_END : SEEK_SET;
  const off_t R = ::lseek(FHandle, static_cast<off_t>(Offset), Whence);
  if (R < 0) {
    FLastError = errno;
    return -1;
  }
  return static_cast<int64_t>(R);
}

bool THandleStream32::Flush() {
  if (::fsync(FHandle) == 0) return true;
  FLastError = errno;
  return false;
}

int FileOpenHandle(const std::string& FileName, uint16_t Mode) {
  int Flags = O_CLOEXEC;
  if (Mode == fmCreate) {
    Flags |= O_RDWR | O_CREAT | O_TRUNC;
  } else {
    const int Access = Mode & 3;
    Flags |= Access == fmOpenWrite ? O_WRONLY : Access == fmOpenReadWrite ? O_RDWR : O_RDONLY;
  }
  // O_NONBLOCK: opening a FIFO or a device must not wait for a peer. Only regular files are
  // kept, so no read or write through the handle can block either.
  const int Fd = ::open(FileName.c_str(), Flags | O_NONBLOCK, 0666);
  if (Fd < 0) return -1;
  struct stat St {};
  if (::fstat(Fd, &St) != 0 || !S_ISREG(St.st_mode)) {
    const int Err = S_ISDIR(St.st_mode) ? EISDIR : EINVAL;
    ::close(Fd);
    errno = Err;
    return -1;
  }
  ::fcntl(Fd, F_SETFL, ::fcntl(Fd, F_GETFL) & ~O_NONBLOCK);
  return Fd;
}

TFileStream32::TFileStream32(const std::string& FileName, uint16_t Mode)
    : THandleStream32(FileOpenHandle(FileName, Mode)), FFileName(FileName) {
  if (FHandle < 0) throw EFOpenError(ecOpenFile, FileName);
}

TFileStream32::TFileStream32(const std::string& FileName, TAdoptHandle Adopt)
    : THandleStream32(Adopt.Handle), FFileName(FileName) {}

TFileStream32::~TFileStream32() { Close(); }

bool TFileStream32::Close() {
  if (FHandle < 0) return true;
  const int Rc = ::close(FHandle);
  FHandle = -1;
  if (Rc == 0) return true;
  FLastError = errno;
  return false;
}

// ---------------------------------------------------------------------------------------------
// Memory streams

int32_t TCustomMemoryStream32::Read(void* Buffer, int32_t Count) {
  if (Count <= 0 || FPosition >= FSize) return 0;
  const int32_t N = static_cast<int32_t>(std::min<int64_t>(Count, FSize - FPosition));
  std::memcpy(Buffer, FMemory + FPosition, static_cast<size_t>(N));
  FPosition += N;
  return N;
}

int32_t TCustomMemoryStream32::Write(const void* Buffer, int32_t Count) {
  if (Count <= 0 || FPosition >= FSize) return 0;
  const int32_t N = static_cast<int32_t>(std::min<int64_t>(Count, FSize - FPosition));
  std::memcpy(FMemory + FPosition, Buffer, static_cast<size_t>(N));
  FPosition += N;
  return N;
}

int32_t TCustomMemoryStream32::Seek32(int32_t Offset, uint16_t Origin) {
  const int64_t R = Seek(Offset, Origin);
  return FitsInt32(R) ? static_cast<int32_t>(R) : -1;
}

int64_t TCustomMemoryStream32::Seek(int64_t Offset, uint16_t Origin) {
  const int64_t Base = Origin == soFromCurrent ? FPosition : Origin == soFromEnd ? FSize : 0;
  if ((Offset > 0 && Base > INT64_MAX - Offset) || Base + Offset < 0) return -1;
  FPosition = Base + Offset;
  return FPosition;
}

void TCustomMemoryStream32::SetPointer(void* Ptr, int64_t Size) {
  FMemory = static_cast<uint8_t*>(Ptr);
  FSize = Size < 0 ? 0 : Size;
}

void TCustomMemoryStream32::SaveToStream(TStream32& Stream) {
  if (FSize > 0) Stream.WriteBuffer(FMemory, FSize);
}

void TCustomMemoryStream32::SaveToFile(const std::string& FileName) {
  TFileStream32 File(FileName, fmCreate);
  SaveToStream(File);
  if (!File.Close()) {
    if (IsDiskFullErrno(File.LastError())) throw EWriteError(ecDiskFull, FileName);
    throw EWriteError(ecWriteFile, SWriteError, FileName);
  }
}

void TMemoryStream32::Clear() {
  FData.clear();
  FData.shrink_to_fit();
  SetPointer(nullptr, 0);
  FPosition = 0;
}

void TMemoryStream32::Reserve(int64_t NewCapacity) {
  if (NewCapacity < 0) ThrowRange();
  if (static_cast<uint64_t>(NewCapacity) <= FData.capacity()) return;
  try {
    const uint64_t Grown =
        std::max<uint64_t>(static_cast<uint64_t>(NewCapacity), FData.capacity() + FData.capacity() / 2);
    FData.reserve(static_cast<size_t>(Grown));
  } catch (const std::exception&) {
    throw EArchiveError(ecMemStreamExpand);
  }
}

void TMemoryStream32::SetSize(int64_t NewSize) {
  if (NewSize < 0) ThrowRange();
  Reserve(NewSize);
  try {
    FData.resize(static_cast<size_t>(NewSize));
  } catch (const std::exception&) {
    throw EArchiveError(ecMemStreamExpand);
  }
  SetPointer(FData.data(), NewSize);
  if (FPosition > NewSize) FPosition = NewSize;
}

int32_t TMemoryStream32::Write(const void* Buffer, int32_t Count) {
  if (Count <= 0 || FPosition > INT64_MAX - Count) return 0;
  const int64_t End = FPosition + Count;
  if (End > FSize) {
    const int64_t Pos = FPosition;
    SetSize(End);
    FPosition = Pos;
  }
  std::memcpy(FMemory + FPosition, Buffer, static_cast<size_t>(Count));
  FPosition = End;
  return Count;
}

void TMemoryStream32::LoadFromStream(TStream32& Stream) {
  Stream.SetPosition(0);
  const int64_t N = Stream.Size();
  if (N < 0) throw EReadError(ecReadFile, SReadError, {});
  SetSize(N);
  FPosition = 0;
  if (N > 0) Stream.ReadBuffer(FMemory, N);
}

void TMemoryStream32::LoadFromFile(const std::string& FileName) {
  TFileStream32 File(FileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(File);
}

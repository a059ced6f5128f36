// 64-bit streams with cancel and progress hooks, the filter streams that deflate, inflate, store
// or checksum data on its way to or from an archive, CRC-32, CRC-16 and the traditional ZIP
// cipher.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <zlib.h>

// ---------------------------------------------------------------------------------------------
// Window messages

// Called before every block of a bulk copy and during progress steps so that the host stays
// responsive. A no-op by default; the desktop program points it at its event processing.
extern std::function<void()> ProcessMessagesHook;
void ProcessMessages();

// ---------------------------------------------------------------------------------------------
// Checksums

// CRC-32, reflected polynomial 0xEDB88320. The running value starts at Crc32Init; an archive
// stores the final value (running value xor 0xFFFFFFFF).
constexpr uint32_t Crc32Init = 0xFFFFFFFFu;
extern const uint32_t Crc32Table[256];
inline uint32_t Crc32Byte(uint32_t Crc, uint8_t B) { return Crc32Table[(Crc ^ B) & 0xFF] ^ (Crc >> 8); }
// Updates a running CRC-32 (not inverted) over Len bytes.
uint32_t UpdateCrc32(uint32_t Crc, const void* Buf, size_t Len);
// Final CRC-32 of one buffer ("abc" gives 0x352441C2).
uint32_t Crc32Of(const void* Buf, size_t Len);

// CRC-16 "ARC", reflected polynomial 0xA001, running value starts at 0 and is stored as is.
constexpr uint16_t Crc16Init = 0;
extern const uint16_t Crc16Table[256];
inline uint16_t Crc16Byte(uint16_t Crc, uint8_t B) {
  return static_cast<uint16_t>(Crc16Table[(Crc ^ B) & 0xFF] ^ (Crc >> 8));
}
uint16_t UpdateCrc16(uint16_t Crc, const void* Buf, size_t Len);
// CRC-16 of one buffer ("abc" gives 0x9738).
uint16_t Crc16Of(const void* Buf, size_t Len);

// ---------------------------------------------------------------------------------------------
// Traditional PKWARE ZIP cipher

class TZipCipher {
 public:
  // Keys 0x12345678, 0x23456789, 0x34567890, then one update per password byte.
  void Init(const std::string& Password);
  void Reset();
  void UpdateKeys(uint8_t Plain);
  uint8_t KeyByte() const;
  // Encrypt: update with the plain byte, then xor. Decrypt: xor, then update with the result.
  uint8_t EncryptByte(uint8_t Plain);
  uint8_t DecryptByte(uint8_t Cipher);
  void Encrypt(void* Buf, size_t Len);
  void Decrypt(void* Buf, size_t Len);
  uint32_t Keys[3] = {0x12345678u, 0x23456789u, 0x34567890u};
};

// ---------------------------------------------------------------------------------------------
// Running state shared by the filter streams and the readers' CRC check: the running CRC-32 and
// CRC-16 of the entry being processed and the cipher keys. One process-wide instance by default;
// a component may give its streams an instance of its own.
struct TStreamState {
  uint32_t Crc32Val = Crc32Init;
  uint16_t Crc16Val = Crc16Init;
  TZipCipher Cipher;
};
TStreamState& GlobalStreamState();

// ---------------------------------------------------------------------------------------------
// Plain streams

enum TSeekOrigin : uint16_t { soFromBeginning = 0, soFromCurrent = 1, soFromEnd = 2 };

// Modes of TFileStream32: fmCreate creates (truncates); other values combine one access mode
// with one share mode (share modes are accepted and ignored on Linux).
enum : uint16_t {
  fmOpenRead = 0x0000,
  fmOpenWrite = 0x0001,
  fmOpenReadWrite = 0x0002,
  fmShareCompat = 0x0000,
  fmShareExclusive = 0x0010,
  fmShareDenyWrite = 0x0020,
  fmShareDenyRead = 0x0030,
  fmShareDenyNone = 0x0040,
  fmCreate = 0xFFFF,
};

// Block sizes of the bulk copies and the filter buffers.
constexpr int32_t CopyBlockSize = 0x20000;      // TStream32::CopyFrom
constexpr int32_t StoreCopyBlockSize = 102400;  // TStoreStream::CopyFrom
constexpr int32_t TempCopyBlockSize = 100000;   // TTempFileStream::CopyFrom
constexpr int32_t FilterBufferSize = 131070;    // TCustomStream buffer

class TStream32 {
 public:
  TStream32() = default;
  virtual ~TStream32() = default;
  TStream32(const TStream32&) = delete;
  TStream32& operator=(const TStream32&) = delete;

  // Hooks shared by every stream: the component's CancelFlag (nullptr: never cancelled), its
  // progress step, and its counter of bytes still to process (nullptr: not counted).
  bool* CancelFlag = nullptr;
  std::function<void()> OnProgress;
  int64_t* BytesToGo = nullptr;

  virtual int64_t Size();
  // 32-bit size; the base does nothing. SetSize raises ERangeError for a size outside the
  // signed 32-bit range and otherwise calls SetSize32; file and memory streams take any size.
  virtual void SetSize32(int32_t NewSize);
  virtual void SetSize(int64_t NewSize);
  // Count bytes at most; returns the count transferred (0 on failure; a filter may return a
  // negative error code).
  virtual int32_t Read(void* Buffer, int32_t Count) = 0;
  virtual int32_t Write(const void* Buffer, int32_t Count) = 0;
  // 32-bit seek; the base returns -1. Seek raises ERangeError for an offset outside the signed
  // 32-bit range and otherwise calls Seek32; file and memory streams take any offset.
  virtual int32_t Seek32(int32_t Offset, uint16_t Origin);
  virtual int64_t Seek(int64_t Offset, uint16_t Origin);
  // Copies Count bytes from Source (0: all of Source from its start) in blocks, processing
  // window messages before each and stopping quietly once the CancelFlag is set. Returns Count.
  virtual int64_t CopyFrom(TStream32& Source, int64_t Count);

  int64_t Position() { return Seek(0, soFromCurrent); }
  void SetPosition(int64_t Pos) { Seek(Pos, soFromBeginning); }
  // Read or write exactly Count bytes or raise EReadError / EWriteError (25160 for a full disk).
  void ReadBuffer(void* Buffer, int64_t Count);
  void WriteBuffer(const void* Buffer, int64_t Count);

  bool IsCancelled() const { return CancelFlag != nullptr && *CancelFlag; }
  // errno of the last failed operation system call (0 when none).
  int LastError() const { return FLastError; }

 protected:
  // CopyFrom with a given block size.
  int64_t CopyBlocks(TStream32& Source, int64_t Count, int32_t BlockSize);
  // Counts Count bytes off BytesToGo and runs OnProgress.
  void StepProgress(int64_t Count);
  int FLastError = 0;
};

// Stream over an operating-system file descriptor (-1: invalid). Does not own the descriptor.
class THandleStream32 : public TStream32 {
 public:
  explicit THandleStream32(int AHandle) : FHandle(AHandle) {}
  int Handle() const { return FHandle; }
  int64_t Size() override;
  void SetSize32(int32_t NewSize) override;
  void SetSize(int64_t NewSize) override;
  int32_t Read(void* Buffer, int32_t Count) override;
  int32_t Write(const void* Buffer, int32_t Count) override;
  int32_t Seek32(int32_t Offset, uint16_t Origin) override;
  int64_t Seek(int64_t Offset, uint16_t Origin) override;
  // Flushes written data to the device; false (LastError set) on failure.
  bool Flush();

 protected:
  // Read without the progress step.
  int32_t ReadRaw(void* Buffer, int32_t Count);
  int FHandle = -1;
};

// Opens (fm* access | share) or creates (fmCreate) a file by name: a close-on-exec descriptor,
// or -1 with errno set. Only regular files are opened: a folder is refused with EISDIR, a
// FIFO, device or socket with EINVAL, without waiting for a peer.
int FileOpenHandle(const std::string& FileName, uint16_t Mode);

// Opens (Mode: fm* access | share) or creates (fmCreate) a file by name and closes it on
// destruction. Failure raises EFOpenError with 25235 and the file name.
class TFileStream32 : public THandleStream32 {
 public:
  TFileStream32(const std::string& FileName, uint16_t Mode);
  ~TFileStream32() override;
  const std::string& FileName() const { return FFileName; }
  // Closes the descriptor now; false when close reported an error (e.g. delayed ENOSPC).
  bool Close();

 protected:
  // For subclasses that open the file themselves (a tag, so fm* modes never select it).
  struct TAdoptHandle {
    int Handle;
  };
  TFileStream32(const std::string& FileName, TAdoptHandle Adopt);
  std::string FFileName;
};

// Stream over a block of memory it does not own; writes stay inside the block.
class TCustomMemoryStream32 : public TStream32 {
 public:
  void* Memory() const { return FMemory; }
  int64_t Size() override { return FSize; }
  int32_t Read(void* Buffer, int32_t Count) override;
  int32_t Write(const void* Buffer, int32_t Count) override;
  int32_t Seek32(int32_t Offset, uint16_t Origin) override;
  int64_t Seek(int64_t Offset, uint16_t Origin) override;
  void SetPointer(void* Ptr, int64_t Size);
  void SaveToStream(TStream32& Stream);
  void SaveToFile(const std::string& FileName);

 protected:
  uint8_t* FMemory = nullptr;
  int64_t FSize = 0;
  int64_t FPosition = 0;
};

// Growing stream in memory it owns. Running out of memory raises EArchiveError 25254.
class TMemoryStream32 : public TCustomMemoryStream32 {
 public:
  TMemoryStream32() = default;
  void Clear();
  void SetSize32(int32_t NewSize) override { SetSize(NewSize); }
  void SetSize(int64_t NewSize) override;
  int32_t Write(const void* Buffer, int32_t Count) override;
  void LoadFromStream(TStream32& Stream);
  void LoadFromFile(const std::string& FileName);

 private:
  void Reserve(int64_t NewCapacity);
  std::vector<uint8_t> FData;
};

// ---------------------------------------------------------------------------------------------
// Filter streams

// Base of the filters: the wrapped stream, where the filter left it, a zlib state, a
// 131,070-byte buffer, the checksum width and the encrypt/decrypt flag. Before each operation a
// wrapped stream that someone else moved is put back where the filter left it.
class TCustomStream : public TStream32 {
 public:
  explicit TCustomStream(TStream32& Strm, TStreamState* State = nullptr);
  TStream32& Stream() { return *FStrm; }
  TStreamState& State() { return *FState; }

  bool Encrypt = false;  // encipher what is written / decipher what is read (process keys)
  int CrcBits = 32;      // 16 or 32: which running checksum TStoreStream/TCalcStreamCRC update

 protected:
  void SyncPosition();        // puts the wrapped stream back where the filter left it
  void NoteStreamPosition();  // remembers where the wrapped stream is now
  void UpdateCrc(const void* Buf, size_t Len);
  TStream32* FStrm;
  int64_t FStrmPos = 0;
  z_stream FZRec{};
  std::vector<uint8_t> FBuffer;
  TStreamState* FState;
};

// Deflates what is written into the target. Level is an index 0..3 into {0, 1, -1, 9};
// WindowBits is passed to deflateInit2 (-15 for raw deflate). Updates the running CRC-32 with
// the input unless Encrypt is set (the caller computed it beforehand). Finish() (also run by the
// destructor, which swallows errors) ends the deflate stream and writes the rest.
class TCompressStream : public TCustomStream {
 public:
  TCompressStream(TStream32& Target, int Level, int8_t WindowBits, TStreamState* State = nullptr);
  ~TCompressStream() override;
  int32_t Read(void* Buffer, int32_t Count) override;  // not readable: returns 0
  int32_t Write(const void* Buffer, int32_t Count) override;
  // Seek(0, soFromCurrent) gives the input bytes consumed; any other seek returns -1.
  int32_t Seek32(int32_t Offset, uint16_t Origin) override;
  int64_t Seek(int64_t Offset, uint16_t Origin) override;
  // Ends the deflate stream; raises EWriteError when the target cannot take the data.
  // Returns false when the stream was cancelled (the entry is then incomplete).
  bool Finish();
  int64_t TotalIn() const { return static_cast<int64_t>(FZRec.total_in); }
  int64_t TotalOut() const { return static_cast<int64_t>(FZRec.total_out); }

 private:
  void FlushBuffer(int32_t Count);
  void CountConsumed();
  bool FFinished = false;
  bool FInitOk = false;
  int64_t FCounted = 0;  // input bytes already counted off BytesToGo
  int FUncaught;
};

// Inflates from the source when read. A read refills the input buffer (at most Count, at most
// its size, at most InputLimit bytes in total) when it is empty, deciphering when Encrypt is
// set, and inflates until Count bytes are produced or the deflate data ends (EndOfData) or the
// source runs dry (NeedsInput). An inflate error returns a negative count (the zlib code).
// Destruction moves the source back by the input read but not consumed.
class TDecompressStream : public TCustomStream {
 public:
  TDecompressStream(TStream32& Source, int8_t WindowBits, TStreamState* State = nullptr);
  ~TDecompressStream() override;
  int32_t Read(void* Buffer, int32_t Count) override;
  int32_t Write(const void* Buffer, int32_t Count) override;  // not writable: returns 0
  // Forward seeks read and discard; a backward seek restarts from the source start position.
  // Seek(0, soFromCurrent) gives the bytes produced. soFromEnd returns -1.
  int32_t Seek32(int32_t Offset, uint16_t Origin) override;
  int64_t Seek(int64_t Offset, uint16_t Origin) override;
  int64_t Size() override { return -1; }

  // Bytes of compressed input the stream may take from the source in all (-1: no limit).
  int64_t InputLimit = -1;
  // Compressed bytes taken from the source so far.
  int64_t InputRead() const { return FInputRead; }
  bool EndOfData() const { return FEndOfData; }
  // The source gave no more bytes before the deflate data ended (truncated or next volume).
  bool NeedsInput() const { return FNeedsInput; }
  int LastZError() const { return FZError; }
  // Points the stream at another source (the next volume) positioned at its data.
  void SetSource(TStream32& Source);

 private:
  void Reset();
  bool Refill(int32_t Wanted);
  int64_t FInputRead = 0;
  bool FEndOfData = false;
  bool FNeedsInput = false;
  int FZError = Z_OK;
  int8_t FWindowBits;
  int64_t FStartPos = 0;
  bool FInitOk = false;
};

// Passes data through to the target unchanged, keeping the running checksum. Not enciphered:
// the checksum restarts (CRC-32 at 0xFFFFFFFF, CRC-16 at 0) and every written block updates it.
// Enciphered: the running value computed before (by TCalcStreamCRC) is kept and every block is
// enciphered with the process keys before it is written. Reading deciphers when enciphered and
// updates the checksum over the plain data.
class TStoreStream : public TCustomStream {
 public:
  TStoreStream(TStream32& Target, bool Encrypted, int Bits, TStreamState* State = nullptr);
  int32_t Read(void* Buffer, int32_t Count) override;
  int32_t Write(const void* Buffer, int32_t Count) override;
  int64_t Seek(int64_t Offset, uint16_t Origin) override;
  int32_t Seek32(int32_t Offset, uint16_t Origin) override;
  int64_t Size() override { return FStrm->Size(); }
  int64_t CopyFrom(TStream32& Source, int64_t Count) override;
};

// Only checksums: construction copies Count bytes (0: all) of Source through Write, which
// restarts and updates the running checksum of Bits (16 or 32) and, with Progress, counts
// BytesToGo down and runs OnProgress. Hooks must be given to the constructor because the copy
// happens there.
class TCalcStreamCRC : public TCustomStream {
 public:
  TCalcStreamCRC(TStream32& Source, int64_t Count, int Bits, bool Progress = false, bool* CancelFlag = nullptr,
                 int64_t* BytesToGo = nullptr, std::function<void()> OnProgress = {}, TStreamState* State = nullptr);
  int32_t Read(void* Buffer, int32_t Count) override;  // returns 0
  int32_t Write(const void* Buffer, int32_t Count) override;
  int64_t Seek(int64_t Offset, uint16_t Origin) override;
  int32_t Seek32(int32_t Offset, uint16_t Origin) override;
  // The running value after the copy (not inverted for CRC-32).
  uint32_t Crc() const;

 private:
  bool FProgress;
  int64_t FCount = 0;
};

// Compresses all of Input (from its start) into Output through a TCompressStream with the raw
// window (LevelIndex as for TCompressStream), enciphering with the state's keys when Encrypt is
// set. Returns false when cancelled; Crc receives the final CRC-32 of the input (when not
// encrypted: an encrypted entry's CRC was computed before). Raises on write failure.
bool DeflateStream(TStream32& Input, TStream32& Output, int LevelIndex, bool Encrypt, uint32_t& Crc,
                   bool* CancelFlag = nullptr, int64_t* BytesToGo = nullptr,
                   const std::function<void()>& OnProgress = {}, TStreamState* State = nullptr);

// ---------------------------------------------------------------------------------------------
// Compression filters around a whole stream (a compressed tar): gzip, xz, zstd and bzip2

class TWorkerPool;

enum TStreamFilter : uint8_t { sfNone, sfGzip, sfXz, sfZstd, sfBzip2 };

// The filter whose magic Source holds at its position (the position is kept); sfNone for any
// other data.
TStreamFilter DetectStreamFilter(TStream32& Source);
// "gzip", "xz", "zstd", "bzip2" ("" for sfNone).
const char* StreamFilterName(TStreamFilter F);

// Reads the data of every member (gzip member, xz stream, zstd frame, bzip2 stream) of Source,
// from Source's position on, as one stream; the codec checks each member's checksums. Bytes
// after a member that do not start another one (padding, an appended 0x00 byte) are ignored.
// Memory stays flat: one input buffer, one decoder state and at most kAheadPieces decoded
// pieces.
//
// Once AheadFrom bytes were decoded on the reader's thread, the codec moves to a thread of its
// own and runs up to kAheadPieces pieces of kAheadPiece bytes ahead of the reader, so that
// decoding overlaps with what the reader does with the data; a small stream (or a peek at its
// start) never starts the thread. Either way the reader sees the same bytes and the same failure
// at the same place. A reader waiting for the thread processes window messages. Only the thread
// touches Source while it runs.
//
// Seeks go forward by reading and discarding (checking CancelFlag and processing window
// messages); a backward seek decodes again from the first member. Size is -1 until the end
// was reached. A damaged or truncated stream reads short from the damage on; Error() keeps the
// first failure (a code of qrvErrors.h and the codec's reason) across restarts.
class TDecodeStream : public TStream32 {
 public:
  ~TDecodeStream() override;

  int32_t Read(void* Buffer, int32_t Count) override;
  int32_t Write(const void* Buffer, int32_t Count) override;  // not writable: returns 0
  int32_t Seek32(int32_t Offset, uint16_t Origin) override;
  int64_t Seek(int64_t Offset, uint16_t Origin) override;
  int64_t Size() override { return FEnded ? FOut : -1; }

  struct TError {
    int Code = 0;        // 0: none
    std::string Reason;  // the codec's message or what ended early
  };
  // The failure the reader has reached (a later one the thread met is not shown before).
  const TError& Error() const { return FError; }
  // Compressed bytes taken from Source since the start (or the last restart); with the thread,
  // that is ahead of what the reader has read.
  int64_t InputRead() const { return FIn; }

  static constexpr size_t kAheadPiece = size_t(1) << 20;
  static constexpr size_t kAheadPieces = 8;
  // Decoded bytes after which the thread takes over (-1: never).
  int64_t AheadFrom = int64_t(1) << 20;

 protected:
  // MagicLen: the bytes IsMagic looks at to tell whether another member follows.
  TDecodeStream(TStream32& Source, size_t MagicLen, const char* Name);
  enum TStep { dsGoOn, dsMemberEnd, dsFailed };
  // The codec: decodes from In (InLen bytes) into Out (OutLen bytes), moving both on. dsFailed
  // after calling Fail. InLen is 0 only when Source has ended. Runs on the thread when there is
  // one.
  virtual TStep Decode(const uint8_t*& In, size_t& InLen, uint8_t*& Out, size_t& OutLen) = 0;
  // A fresh state for the next member, or for decoding again from the start.
  virtual void ResetCodec() = 0;
  virtual bool IsMagic(const uint8_t* P) const = 0;
  void Fail(int Code, const std::string& Reason);
  // The compressed data; the codec may read it elsewhere if it puts the position back.
  TStream32& Source() { return FSource; }
  // Stops the thread and waits for it. Every codec's destructor calls it before freeing its
  // state, which the thread may still be using.
  void StopAhead();

 private:
  struct TAhead;
  void Restart();
  bool Refill();
  // After a member's end: true when another member follows (the codec is reset for it).
  bool NextMember();
  // Decodes up to Count bytes into Out; fewer only once decoding stopped (end or damage).
  size_t DecodeSome(uint8_t* Out, size_t Count);
  // DecodeSome that turns an exception of the codec (no memory for the next member) into Fail.
  size_t DecodeGuarded(uint8_t* Out, size_t Count);
  // The decoding thread: started, its loop, and the reader's side of it.
  void StartAhead();
  void RunAhead();
  size_t TakeAhead(uint8_t* Out, size_t Count);
  // The stop (end or failure) the decoder met, now reached by the reader.
  void ReachStop();
  // Up to Count decoded bytes for the reader, from the codec or the thread.
  size_t Deliver(uint8_t* Out, size_t Count);
  TStream32& FSource;
  int64_t FStart;
  size_t FMagicLen;
  const char* FName;
  std::vector<uint8_t> FInBuf;
  size_t FInPos = 0, FInLen = 0;  // unread input in FInBuf
  std::atomic<int64_t> FIn{0};    // compressed bytes read from Source
  int64_t FDecoded = 0;           // bytes the codec produced
  bool FStopped = false;          // the codec stopped: the last member ended, or damage
  bool FFailed = false;           // ... at damage, in this pass
  TError FDecodeError;            // the codec's first failure (the reader's once reached)
  // The reader's side.
  int64_t FOut = 0;     // bytes the reader has had
  bool FEnded = false;  // the reader reached the stop
  TError FError;
  std::unique_ptr<TAhead> FAhead;
};

// A decoding stream for Filter over Source (nullptr for sfNone). Raises EArchiveError when
// the codec cannot start (out of memory).
std::unique_ptr<TDecodeStream> NewDecodeStream(TStreamFilter Filter, TStream32& Source);

class TAheadBuffer;

// Gzip members through zlib (header, CRC-32 and ISIZE checked).
//
// Once a member of a file has given kWholeFrom bytes through zlib (a peek at the start never
// gets there), the whole member is decoded once more by libdeflate, about twice as fast, when
// the file's last ISIZE says it fits in WholeLimit; the rest of the member is then served from
// that buffer and its compressed bytes are passed over in step. Only a member libdeflate
// accepts with its CRC-32 and ISIZE is served so; any other goes on through zlib, which
// reports damage as it always does.
class TGunzipStream : public TDecodeStream {
 public:
  explicit TGunzipStream(TStream32& Source);
  ~TGunzipStream() override;
  // Source holds a gzip magic (0x1F 0x8B) at its position; the position is kept.
  static bool IsGzip(TStream32& Source) { return DetectStreamFilter(Source) == sfGzip; }

  static constexpr uint64_t kWholeFrom = uint64_t(1) << 20;
  // Largest member decoded whole (0: never): 256 MiB, at most an eighth of the memory.
  uint64_t WholeLimit;
  // Bytes served from whole decoding so far.
  uint64_t WholeServed() const { return FWholeServed; }

 protected:
  TStep Decode(const uint8_t*& In, size_t& InLen, uint8_t*& Out, size_t& OutLen) override;
  void ResetCodec() override;
  bool IsMagic(const uint8_t* P) const override { return P[0] == 0x1F && P[1] == 0x8B; }

 private:
  // After zlib's step, once (InLen: the compressed bytes not yet taken, which end at Source's
  // position): decodes the member whole when it fits, and serves it from then on.
  void TryWhole(size_t InLen);
  // The member's decoded size when it may be decoded whole from Start on in the file Handle;
  // 0 when not.
  uint64_t WholeSize(int Handle, int64_t Start, int64_t FileSize);
  TStep ServeWhole(const uint8_t*& In, size_t& InLen, uint8_t*& Out, size_t& OutLen);
  z_stream FZ{};
  bool FWholeTried = false;
  std::unique_ptr<TAheadBuffer> FWhole;  // the member decoded, while it is served
  uint64_t FWholeSize = 0, FWholeFrom = 0, FWholePos = 0;
  uint64_t FWholeIn = 0, FWholeTaken = 0;  // compressed bytes left in the member, and taken
  uint64_t FWholeServed = 0;
};

// The machine's memory in bytes (4 GiB when the system does not say).
uint64_t MachineMemory();

// The decoders of the other codecs (their units: qrvStreams_Xz, _Zstd, _Bzip2).
std::unique_ptr<TDecodeStream> NewXzDecodeStream(TStream32& Source);
std::unique_ptr<TDecodeStream> NewZstdDecodeStream(TStream32& Source);
std::unique_ptr<TDecodeStream> NewBzip2DecodeStream(TStream32& Source);

// How a compressing filter works: the codec's own level, worker threads (xz, zstd: the
// library's; bzip2, gzip: blocks on Pool), the run's cancel flag and a progress step run after
// each batch of output (window messages).
struct TEncodeOptions {
  int Level = 0;
  int Threads = 1;
  TWorkerPool* Pool = nullptr;
  const bool* CancelFlag = nullptr;
  std::function<void()> OnProgress;
};

// The codec's level for a DeflateType-like choice (0 store .. 3 max, as TDeflateType):
// xz 1, 6, 9; zstd 1, 3, 19; bzip2 1, 9, 9; gzip (zlib) 1, 6, 9.
int FilterLevel(TStreamFilter Filter, int DeflateTypeIndex);

// A compressing output filter: what is written goes through the codec to Output. Its position
// is the count of bytes written and only the current end is a seek position. The last write is
// held back until the next one, so SetSize can drop it (a failed entry); dropping bytes that
// already reached the codec raises EWriteError (the run fails and an old archive stays).
// Finish ends the compressed data. A set *CancelFlag makes writes fail.
class TFilterOutStream : public TStream32 {
 public:
  ~TFilterOutStream() override = default;
  int32_t Read(void* Buffer, int32_t Count) override;  // not readable: returns 0
  int32_t Write(const void* Buffer, int32_t Count) override;
  int64_t Size() override { return FTotal; }
  void SetSize(int64_t NewSize) override;
  void SetSize32(int32_t NewSize) override { SetSize(NewSize); }
  int64_t Seek(int64_t Offset, uint16_t Origin) override;
  int32_t Seek32(int32_t Offset, uint16_t Origin) override;
  // Ends the compressed data; false when cancelled or the codec failed. Output failures raise.
  bool Finish();
  // Why the codec failed ("" when it did not).
  const std::string& Error() const { return FError; }

 protected:
  TFilterOutStream(TStream32& Output, const bool* CancelFlag, std::function<void()> OnProgress);
  // The codec: takes Len bytes, in order (Last: the end of the data, Len may be 0), writing what
  // it makes to FOutput. False when it failed or was cancelled.
  virtual bool Encode(const uint8_t* Data, size_t Len, bool Last) = 0;
  bool Cancelled() const { return FCancel && *FCancel; }
  void Progress() {
    if (FProgress) FProgress();
  }
  TStream32& FOutput;
  std::string FError;

 private:
  bool PassHeld();
  const bool* FCancel;
  std::function<void()> FProgress;
  std::vector<uint8_t> FHeld;
  int64_t FTotal = 0;
  bool FFinished = false;
  bool FFailed = false;
};

// A compressing filter for Filter into Output (nullptr for sfNone). Name is the gzip member's
// file name; MTime its time. Raises EArchiveError when the codec cannot start.
std::unique_ptr<TFilterOutStream> NewEncodeStream(TStreamFilter Filter, TStream32& Output, const TEncodeOptions& O,
                                                  uint32_t MTime = 0, const std::string& Name = {});
std::unique_ptr<TFilterOutStream> NewXzEncodeStream(TStream32& Output, const TEncodeOptions& O);
std::unique_ptr<TFilterOutStream> NewZstdEncodeStream(TStream32& Output, const TEncodeOptions& O);
std::unique_ptr<TFilterOutStream> NewBzip2EncodeStream(TStream32& Output, const TEncodeOptions& O);

// A read-only view of Source through a buffer of its own: small reads and seeks nearby cost no
// system call. Each view keeps its own position and moves Source only to refill, so two views
// may walk one file in turns (a directory and the headers it points to). Writes fail.
class TReadBuffer32 : public TStream32 {
 public:
  explicit TReadBuffer32(TStream32& Source, size_t BufferSize = 1 << 16);
  int64_t Size() override { return FSize; }
  int32_t Read(void* Buffer, int32_t Count) override;
  int32_t Write(const void*, int32_t) override { return 0; }
  int64_t Seek(int64_t Offset, uint16_t Origin) override;
  int32_t Seek32(int32_t Offset, uint16_t Origin) override { return int32_t(Seek(Offset, Origin)); }
  // The Count bytes at Pos inside the buffer (refilled from Pos when they are not all in it),
  // valid until the next call; null when Source ends before them or they exceed the buffer.
  // The position moves to Pos.
  const uint8_t* Peek(int64_t Pos, size_t Count);

 private:
  bool Refill();
  TStream32& FSource;
  std::vector<uint8_t> FBuffer;
  int64_t FSize;
  int64_t FStart = 0;  // file position of FBuffer[0]
  size_t FFilled = 0;
  int64_t FPosition = 0;
};

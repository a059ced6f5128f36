// The ZIP reader's own decoders (Deflate64, Unshrink, Unreduce, Explode) and what they share:
// the interface to the reader, the bounded bit reader and the sliding output window.
//
// Wiring a decoder into the reader
// --------------------------------
// The reader fills one TDecoderIO per entry and calls the decoder for the entry's method:
//
//   TDecoderIO io;
//   io.Read = [&](uint8_t* buf, int64_t n) { return archive->Read(buf, n); };
//                             // raw archive bytes from the entry's data position; <= 0 ends
//                             // the input (a multi-volume reader may switch volumes in here)
//   io.Decipher = [&](uint8_t* buf, int64_t n) { ZipDecrypt(buf, n); };
//                             // only for encrypted entries (flag bit 0); leave empty otherwise
//   io.Write = [&](const uint8_t* buf, int64_t n) { return frame->WriteBlock(buf, n); };
//                             // the output sink: CRC-32, bytes still to process, progress;
//                             // returns the bytes taken, fewer is a write failure
//   io.CancelFlag = cancelFlag; // the component's CancelFlag (may be null)
//   io.CompressedSize = compressedSize - (encrypted ? 12 : 0);
//   io.UncompressedSize = uncompressedSize;   // -1 when unknown
//
//   method 1:    UnShrink(io)            method 6: Explode(io, generalPurposeFlags)
//   methods 2-5: UnReduce(io, method - 1) method 9: Inflate64(io)
//
// The decoders read at most CompressedSize bytes, in pieces of at most 32768 bytes, deciphering
// each piece; they never read the archive past the entry. Output reaches Write in blocks (32 KiB
// for the legacy decoders, 64 KiB for Deflate64) and once more at the end, also after a data
// error or an exhausted input, so the output written so far stays and the CRC check decides.
// Nothing is written after a write failure or a cancellation. A known UncompressedSize bounds the
// output: a stream that decodes to more ends with drDataError once that size has been written
// (Unreduce and Explode simply stop there). The CancelFlag is checked each time an input piece
// is read and each time an output block is written, so a cancelled run stops within 32 KiB of
// input or one output block. Exceptions thrown by the callbacks pass through.
//
// The result: drSuccess, or drDataError / drInputExhausted with a short reason, drWriteFailure,
// drCancelled. ErrorCode carries the code the reader raises for Unshrink (25116 "Bad block",
// 25305 "Stack overflow"); it is 0 for every other outcome, where the entry's CRC check decides
// (25151), as the other decoders report nothing themselves. Unreduce ends with drInputExhausted
// when its input runs out before the uncompressed size is reached.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <utility>

enum TDecodeResult : uint8_t { drSuccess, drWriteFailure, drInputExhausted, drDataError, drCancelled };

struct TDecodeStatus {
  TDecodeResult Result = drSuccess;
  int ErrorCode = 0;        // code for the reader to raise (Unshrink), else 0
  const char* Reason = "";  // what went wrong, in English, for messages and tests
  int64_t BytesOut = 0;     // bytes decoded (all handed to Write unless it failed)
  bool Ok() const { return Result == drSuccess; }
};

struct TDecoderIO {
  std::function<int64_t(uint8_t* Buffer, int64_t Count)> Read;
  std::function<void(uint8_t* Buffer, int64_t Count)> Decipher;
  std::function<int64_t(const uint8_t* Data, int64_t Count)> Write;
  const bool* CancelFlag = nullptr;
  int64_t CompressedSize = 0;
  int64_t UncompressedSize = -1;  // -1: unknown
};

// Thrown inside a decoder to end it with an outcome; the decoder's entry point catches it.
struct TDecodeStop {
  TDecodeResult Result;
  const char* Reason;
  int ErrorCode = 0;
};

[[noreturn]] void DecodeFail(TDecodeResult Result, const char* Reason, int ErrorCode = 0);

// Bits least significant first from the entry's compressed bytes. Past the end it supplies zero
// filler bytes and counts them, so a decoder can tell at a symbol boundary whether it has used
// bits that were never in the input (Overrun). The fields are public so that a hot loop can keep
// them in locals and write them back (see FastFill).
class TBitReader {
public:
  static constexpr size_t kChunk = 32768;

  explicit TBitReader(const TDecoderIO& IO);

  uint64_t Bits = 0;           // next bits, least significant first
  unsigned Count = 0;          // valid bits in Bits
  const uint8_t* Next;         // next byte of the current piece not yet in Bits
  const uint8_t* End;          // end of the current piece
  int64_t Filler = 0;          // zero bytes supplied past the end of the input

  // Ensures at least 56 bits in Bits (with filler past the end).
  void Fill() {
    if (End - Next >= 8)
      FastFill(Bits, Count, Next);
    else
      FillSlow();
  }
  void FillSlow();
  // True when bits beyond the real input have been consumed.
  bool Overrun() const { return Filler * 8 > static_cast<int64_t>(Count); }
  void CheckOverrun() const {
    if (Overrun()) DecodeFail(drInputExhausted, "compressed data ends early");
  }
  // True when N (<= 32) real bits are available; false at the end of the input.
  bool Has(unsigned N) {
    if (Count < N) Fill();
    return static_cast<int64_t>(Count) - Filler * 8 >= static_cast<int64_t>(N);
  }
  uint32_t Peek(unsigned N) const { return static_cast<uint32_t>(Bits & ((uint64_t(1) << N) - 1)); }
  void Drop(unsigned N) {
    Bits >>= N;
    Count -= N;
  }
  uint32_t Get(unsigned N) {  // N <= 32
    if (Count < N) Fill();
    uint32_t v = Peek(N);
    Drop(N);
    return v;
  }
  // N (<= 32) bits that must be in the input: its end is drInputExhausted.
  uint32_t GetReal(unsigned N) {
    if (!Has(N)) DecodeFail(drInputExhausted, "compressed data ends early");
    return Get(N);
  }
  void AlignToByte() { Drop(Count & 7); }
  // Copies N whole bytes (reader aligned to a byte); filler past the end.
  void ReadBytes(uint8_t* Dest, size_t N);

  // Branchless refill of a 64-bit buffer from at least 8 readable bytes.
  static void FastFill(uint64_t& Bits, unsigned& Count, const uint8_t*& Next) {
    uint64_t v;
    std::memcpy(&v, Next, 8);
    if constexpr (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) v = __builtin_bswap64(v);
    Bits |= v << Count;
    Next += (63 - Count) >> 3;
    Count |= 56;
  }

private:
  bool NextPiece();

  const TDecoderIO& io_;
  int64_t left_;   // compressed bytes not yet read from the archive
  bool ended_ = false;
  std::unique_ptr<uint8_t[]> buf_;
};

// Output through a flat buffer: Window bytes of history, then Block bytes of new output. When the
// block is full it goes to the sink and the last Window bytes move to the front. History starts
// as zeros, so a match reaching before the start of the entry copies zero bytes.
class TWindowOutput {
public:
  TWindowOutput(const TDecoderIO& IO, size_t Window, size_t Block);

  uint8_t* Pos;        // next output byte
  uint8_t* Limit;      // end of the block: Pos never stays there

  int64_t Total(const uint8_t* At) const { return written_ + (At - mark_); }
  int64_t Total() const { return Total(Pos); }
  void Put(uint8_t Byte) {
    *Pos++ = Byte;
    if (Pos == Limit) Slide();
  }
  // Copies Length bytes from Distance back (1 <= Distance <= Window), sliding as needed.
  void Copy(size_t Distance, size_t Length);
  // Writes [Pos, Pos + Length) from Distance back: Length <= Limit - Pos.
  static void CopyMatch(uint8_t* Dest, size_t Distance, size_t Length) {
    const uint8_t* src = Dest - Distance;
    if (Distance >= 8) {
      // 8-byte steps may write up to 7 bytes past the end: the buffer has slack for that.
      for (size_t i = 0; i < Length; i += 8) std::memcpy(Dest + i, src + i, 8);
    } else if (Distance == 1) {
      std::memset(Dest, *src, Length);
    } else {
      for (size_t i = 0; i < Length; ++i) Dest[i] = src[i];
    }
  }
  void Slide();   // writes the block, keeps the history; checks the CancelFlag
  void Flush();   // writes what is pending, at the end

private:
  void Send(const uint8_t* Data, size_t N);

  const TDecoderIO& io_;
  int64_t limit_;          // the entry's size, when known
  size_t window_;
  std::unique_ptr<uint8_t[]> buf_;
  uint8_t* mark_;          // first byte not yet written to the sink
  int64_t written_ = 0;
};

// Runs a decoder body, turning a TDecodeStop into the status and writing pending output.
template <class Body>
TDecodeStatus RunDecoder(TWindowOutput& Out, Body&& body) {
  TDecodeStatus st;
  try {
    body();
  } catch (const TDecodeStop& stop) {
    st.Result = stop.Result;
    st.Reason = stop.Reason;
    st.ErrorCode = stop.ErrorCode;
  }
  if (st.Result != drWriteFailure && st.Result != drCancelled) {
    try {
      Out.Flush();
    } catch (const TDecodeStop& stop) {
      st.Result = stop.Result;
      st.Reason = stop.Reason;
      st.ErrorCode = 0;
    }
  }
  st.BytesOut = Out.Total();
  return st;
}

// Allocates a decoder's state record (which has an Out member) and runs Body on it.
template <class State, class Body, class... Args>
TDecodeStatus DecodeWith(Body&& body, Args&&... args) {
  std::unique_ptr<State> s;
  try {
    s = std::make_unique<State>(std::forward<Args>(args)...);
  } catch (const std::bad_alloc&) {
    TDecodeStatus st;
    st.Result = drDataError;
    st.Reason = "out of memory";
    return st;
  }
  return RunDecoder(s->Out, [&] { body(*s); });
}

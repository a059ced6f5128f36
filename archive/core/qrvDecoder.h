// The decoder kit the archive readers share: the interface between a reader and a decoder, bit
// readers (least significant bit first for ZIP and cabinets, most significant first for LZH), a
// canonical prefix-code table, the sliding output window, and a table from method to decoder.
//
// Wiring a decoder into a reader
// ------------------------------
// The reader fills one TDecoderIO per entry and calls the decoder its method table names:
//
//   TDecoderIO io;
//   io.Read = [&](uint8_t* buf, int64_t n) { return archive->Read(buf, n); };
//                             // raw archive bytes from the entry's data position; <= 0 ends
//                             // the input (a multi-volume reader may switch volumes in here)
//   io.Decipher = [&](uint8_t* buf, int64_t n) { ZipDecrypt(buf, n); };
//                             // only for encrypted entries; leave empty otherwise
//   io.Write = [&](const uint8_t* buf, int64_t n) { return frame->WriteBlock(buf, n); };
//                             // the output sink: running CRC, bytes still to process, progress;
//                             // returns the bytes taken, fewer is a write failure
//   io.CancelFlag = cancelFlag; // the component's CancelFlag (may be null)
//   io.CompressedSize = compressedSize;
//   io.UncompressedSize = uncompressedSize;   // -1 when unknown
//   io.Flags = entryFlags;      // format-specific (ZIP: general-purpose flags)
//   const TMethodDecoder* d = FindDecoder(kTable, method);   // null: unsupported method
//   TDecodeStatus st = d->Run(io, d->Param);
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
  uint32_t Flags = 0;             // the entry's format-specific flags
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

  uint64_t Bits = 0;    // next bits, least significant first
  unsigned Count = 0;   // valid bits in Bits
  const uint8_t* Next;  // next byte of the current piece not yet in Bits
  const uint8_t* End;   // end of the current piece
  int64_t Filler = 0;   // zero bytes supplied past the end of the input

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
  int64_t left_;  // compressed bytes not yet read from the archive
  bool ended_ = false;
  std::unique_ptr<uint8_t[]> buf_;
};

// Bits most significant first (LZH). Same contract as TBitReader: zero filler past the end of
// the input, counted, so that Overrun tells when bits that were never there have been used.
class TMsbBitReader {
 public:
  explicit TMsbBitReader(const TDecoderIO& IO) : in_(IO) {}

  uint64_t Bits = 0;   // next bits, the first in bit 63
  unsigned Count = 0;  // valid bits in Bits

  // Ensures at least 56 bits in Bits. As in TBitReader's FastFill, bits below the count hold
  // the input's next bits, so a later fill ORs in the same values.
  void Fill() {
    if (in_.End - in_.Next >= 8) {
      uint64_t v;
      std::memcpy(&v, in_.Next, 8);
      if constexpr (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) v = __builtin_bswap64(v);
      Bits |= v >> Count;
      in_.Next += (63 - Count) >> 3;
      Count |= 56;
      return;
    }
    while (Count <= 56) {
      uint8_t b;
      in_.ReadBytes(&b, 1);
      Bits |= uint64_t(b) << (56 - Count);
      Count += 8;
    }
  }
  bool Overrun() const { return in_.Filler * 8 > static_cast<int64_t>(Count); }
  // How many bits past the end of the input have been used (0 or less: none).
  int64_t OverrunBits() const { return in_.Filler * 8 - static_cast<int64_t>(Count); }
  void CheckOverrun() const {
    if (Overrun()) DecodeFail(drInputExhausted, "compressed data ends early");
  }
  // The next N (1..32) bits without taking them.
  uint32_t Peek(unsigned N) {
    if (Count < N) Fill();
    return static_cast<uint32_t>(Bits >> (64 - N));
  }
  void Drop(unsigned N) {
    Bits <<= N;
    Count -= N;
  }
  uint32_t Get(unsigned N) {  // 0 <= N <= 32
    if (N == 0) return 0;
    uint32_t v = Peek(N);
    Drop(N);
    return v;
  }

 private:
  TBitReader in_;  // byte source: aligned whole bytes, filler counted
};

// Output through a flat buffer: Window bytes of history, then Block bytes of new output. When the
// block is full it goes to the sink and the last Window bytes move to the front. History starts
// as zeros, so a match reaching before the start of the entry copies zero bytes.
class TWindowOutput {
 public:
  TWindowOutput(const TDecoderIO& IO, size_t Window, size_t Block);

  uint8_t* Pos;    // next output byte
  uint8_t* Limit;  // end of the block: Pos never stays there

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
  void Slide();  // writes the block, keeps the history; checks the CancelFlag
  void Flush();  // writes what is pending, at the end

 private:
  void Send(const uint8_t* Data, size_t N);

  const TDecoderIO& io_;
  int64_t limit_;  // the entry's size, when known
  size_t window_;
  std::unique_ptr<uint8_t[]> buf_;
  uint8_t* mark_;  // first byte not yet written to the sink
  int64_t written_ = 0;
};

// ---- Canonical prefix-code tables (Deflate64, Explode, LZH)
//
// A table maps the next input bits (least significant first) to a 32-bit entry: the bits the code
// takes, a kind, and the symbol's payload (a literal, or a base value with a count of extra bits).
// Codes up to RootBits long are found in one lookup; a longer code, or a bit pattern that no code
// has, goes to a canonical walk over the code lengths (rare: such codes are long because their
// symbols are rare).
enum THuffKind : uint8_t { hkLiteral, hkBase, hkEnd, hkInvalid, hkSlow };

constexpr uint32_t HuffEntry(THuffKind Kind, uint32_t Value, uint32_t Extra = 0) {
  return (Value << 16) | (Extra << 8) | (uint32_t(Kind) << 5);
}
constexpr unsigned HuffLen(uint32_t E) { return E & 31; }
constexpr THuffKind HuffKindOf(uint32_t E) { return THuffKind((E >> 5) & 7); }
constexpr unsigned HuffExtra(uint32_t E) { return (E >> 8) & 31; }
constexpr uint32_t HuffValue(uint32_t E) { return E >> 16; }

// What a code set may lack: Deflate allows an incomplete distance code (a lone distance code is
// common) and, as zlib does, a literal/length code made of one code of length 1.
enum THuffPolicy : uint8_t { hpComplete, hpSingleAllowed, hpIncompleteAllowed };

class THuffman {
 public:
  static constexpr unsigned kMaxBits = 16;
  static constexpr unsigned kMaxSymbols = 512;
  static constexpr unsigned kMaxRoot = 12;

  // Lengths[i] (0 = unused, at most 16) of Count symbols; Payload[i] the entry of symbol i without
  // its length. Returns false for an over-subscribed code, a length above 16, or an incomplete
  // code the policy does not allow. Payload must outlive the table. MsbFirst builds the table
  // for LookupMsb (codes read most significant bit first), else for Lookup.
  bool Build(const uint8_t* Lengths, unsigned Count, const uint32_t* Payload, unsigned RootBits, THuffPolicy Policy,
             bool MsbFirst = false);

  // The entry for the next bits; Peek must hold at least 16 bits. HuffLen of the result is the
  // number of bits the code takes; an unassigned pattern gives hkInvalid.
  uint32_t Lookup(uint64_t Peek) const {
    uint32_t e = root_[Peek & rootMask_];
    return HuffKindOf(e) != hkSlow ? e : LookupLong(static_cast<uint32_t>(Peek));
  }
  // The same for a table built MsbFirst: Peek16 holds the next 16 bits, the first in bit 15.
  uint32_t LookupMsb(uint32_t Peek16) const {
    uint32_t e = root_[Peek16 >> (16 - rootBits_)];
    return HuffKindOf(e) != hkSlow ? e : LookupLongMsb(Peek16);
  }

 private:
  uint32_t LookupLong(uint32_t Peek) const;
  uint32_t LookupLongMsb(uint32_t Peek16) const;
  template <bool Msb>
  uint32_t Walk(uint32_t Peek) const;

  uint32_t root_[1u << kMaxRoot];
  uint32_t rootMask_ = 0;
  unsigned rootBits_ = 1;
  unsigned maxLen_ = 0;
  uint16_t count_[kMaxBits + 1];  // codes per length
  uint16_t sorted_[kMaxSymbols];  // symbols by length, then value
  const uint32_t* payload_ = nullptr;
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

// Copies a stored entry: CompressedSize bytes (deciphered when asked) to Write, checking the
// CancelFlag per piece. drInputExhausted when the archive ends early, drDataError when the two
// sizes differ.
TDecodeStatus StoreCopy(const TDecoderIO& IO, int Param);

// One row of a reader's method table: the method's key (a ZIP method number, an LZH method
// character), its decoder and the decoder's parameter (a dictionary size, a reduction factor),
// and the method's name in listings. A row without a decoder only names a method not read here.
struct TMethodDecoder {
  int Method;
  TDecodeStatus (*Run)(const TDecoderIO& IO, int Param);
  int Param;
  const char* Name = nullptr;
};

// The listing name of a method no table names.
inline constexpr const char* kUnsupportedMethod = "Unsupported";

// The row that decodes Method in a table; null when the table has none.
template <size_t N>
const TMethodDecoder* FindDecoder(const TMethodDecoder (&Table)[N], int Method) {
  for (const TMethodDecoder& d : Table)
    if (d.Method == Method && d.Run) return &d;
  return nullptr;
}

// The listing name a table gives Method; kUnsupportedMethod when it names none.
template <size_t N>
const char* MethodListName(const TMethodDecoder (&Table)[N], int Method) {
  for (const TMethodDecoder& d : Table)
    if (d.Method == Method && d.Name) return d.Name;
  return kUnsupportedMethod;
}

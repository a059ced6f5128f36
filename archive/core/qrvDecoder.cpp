#include "archive/core/qrvDecoder.h"

#include <algorithm>
#include <climits>

void DecodeFail(TDecodeResult Result, const char* Reason, int ErrorCode) {
  throw TDecodeStop{Result, Reason, ErrorCode};
}

static void CheckCancel(const TDecoderIO& IO) {
  if (IO.CancelFlag && *IO.CancelFlag) DecodeFail(drCancelled, "cancelled");
}

// ---------------------------------------------------------------- bit reader

TBitReader::TBitReader(const TDecoderIO& IO)
    : io_(IO), left_(std::max<int64_t>(IO.CompressedSize, 0)), buf_(new uint8_t[kChunk + 8]) {
  Next = End = buf_.get();
}

// Reads the next piece of at most 32768 bytes behind the unread rest of the current one, so that
// the fast refill keeps working across pieces.
bool TBitReader::NextPiece() {
  if (ended_ || left_ == 0) {
    ended_ = true;
    return false;
  }
  CheckCancel(io_);
  size_t rest = static_cast<size_t>(End - Next);  // fewer than 8 bytes
  std::memmove(buf_.get(), Next, rest);
  int64_t want = std::min<int64_t>(left_, kChunk);
  int64_t got = io_.Read ? io_.Read(buf_.get() + rest, want) : 0;
  if (got <= 0) {
    ended_ = true;  // the archive ends inside the entry
    Next = buf_.get();
    End = Next + rest;
    return false;
  }
  got = std::min(got, want);
  if (io_.Decipher) io_.Decipher(buf_.get() + rest, got);
  left_ -= got;
  Next = buf_.get();
  End = Next + rest + got;
  return true;
}

void TBitReader::FillSlow() {
  while (End - Next < 8 && NextPiece()) {
  }
  if (End - Next >= 8) {
    FastFill(Bits, Count, Next);
    return;
  }
  while (Count <= 56) {
    if (Next < End) {
      Bits |= uint64_t(*Next++) << Count;
    } else {
      ++Filler;  // zero bits: nothing to or in
    }
    Count += 8;
  }
}

void TBitReader::ReadBytes(uint8_t* Dest, size_t N) {
  while (N > 0 && Count >= 8) {
    *Dest++ = static_cast<uint8_t>(Bits);
    Drop(8);
    --N;
  }
  if (N == 0) return;
  // The buffer is empty; what it still holds above Count is a look-ahead of Next, read directly.
  Bits = 0;
  Count = 0;
  while (N > 0) {
    if (Next == End && !NextPiece()) {
      std::memset(Dest, 0, N);
      Filler += static_cast<int64_t>(N);
      return;
    }
    size_t n = std::min(N, static_cast<size_t>(End - Next));
    std::memcpy(Dest, Next, n);
    Next += n;
    Dest += n;
    N -= n;
  }
}

// ---------------------------------------------------------------- window output

TWindowOutput::TWindowOutput(const TDecoderIO& IO, size_t Window, size_t Block)
    : io_(IO),
      limit_(IO.UncompressedSize >= 0 ? IO.UncompressedSize : INT64_MAX),
      window_(Window),
      buf_(new uint8_t[Window + Block + 16]()) {
  Pos = mark_ = buf_.get() + Window;
  Limit = Pos + Block;
}

void TWindowOutput::Send(const uint8_t* Data, size_t N) {
  const bool beyond = static_cast<int64_t>(N) > limit_ - written_;
  if (beyond) N = static_cast<size_t>(limit_ - written_);
  if (N > 0) {
    int64_t took = io_.Write ? io_.Write(Data, static_cast<int64_t>(N)) : 0;
    if (took != static_cast<int64_t>(N)) DecodeFail(drWriteFailure, "output could not be written");
    written_ += static_cast<int64_t>(N);
  }
  if (beyond) DecodeFail(drDataError, "more data than the entry's size");
}

void TWindowOutput::Slide() {
  CheckCancel(io_);
  Send(mark_, static_cast<size_t>(Pos - mark_));
  std::memmove(buf_.get(), Pos - window_, window_);
  Pos = mark_ = buf_.get() + window_;
}

void TWindowOutput::Flush() {
  const uint8_t* from = mark_;
  mark_ = Pos;
  Send(from, static_cast<size_t>(Pos - from));
}

void TWindowOutput::Copy(size_t Distance, size_t Length) {
  while (Length > 0) {
    size_t n = std::min(Length, static_cast<size_t>(Limit - Pos));
    CopyMatch(Pos, Distance, n);
    Pos += n;
    Length -= n;
    if (Pos == Limit) Slide();
  }
}

// ---------------------------------------------------------------- stored entries

TDecodeStatus StoreCopy(const TDecoderIO& IO, int) {
  TDecodeStatus st;
  int64_t left = std::max<int64_t>(IO.CompressedSize, 0);
  // A small entry is copied through the stack, a larger one through a block of its own.
  constexpr int64_t kSmall = 4096;
  uint8_t small[kSmall];
  std::unique_ptr<uint8_t[]> block(left > kSmall ? new uint8_t[TBitReader::kChunk] : nullptr);
  uint8_t* const buf = block ? block.get() : small;
  try {
    while (left > 0) {
      CheckCancel(IO);
      const int64_t want = std::min<int64_t>(left, TBitReader::kChunk);
      const int64_t got = IO.Read ? std::min(IO.Read(buf, want), want) : 0;
      if (got <= 0) DecodeFail(drInputExhausted, "stored data ends early");
      if (IO.Decipher) IO.Decipher(buf, got);
      const int64_t took = IO.Write ? IO.Write(buf, got) : 0;
      st.BytesOut += std::max<int64_t>(took, 0);
      if (took != got) DecodeFail(drWriteFailure, "output could not be written");
      left -= got;
    }
    if (IO.UncompressedSize >= 0 && IO.UncompressedSize != IO.CompressedSize)
      DecodeFail(drDataError, "stored sizes differ");
  } catch (const TDecodeStop& stop) {
    st.Result = stop.Result;
    st.Reason = stop.Reason;
  }
  return st;
}

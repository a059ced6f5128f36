// The buffered read-only view of a stream.
#include <algorithm>
#include <cstring>

#include "archive/core/qrvStreams.h"

TReadBuffer32::TReadBuffer32(TStream32& Source, size_t BufferSize)
    : FSource(Source), FBuffer(BufferSize), FSize(Source.Size()) {}

bool TReadBuffer32::Refill() {
  FStart = FPosition;
  FFilled = 0;
  if (FSource.Seek(FPosition, soFromBeginning) != FPosition) return false;
  while (FFilled < FBuffer.size()) {
    const int32_t got = FSource.Read(FBuffer.data() + FFilled, int32_t(FBuffer.size() - FFilled));
    if (got <= 0) break;
    FFilled += size_t(got);
  }
  return FFilled > 0;
}

const uint8_t* TReadBuffer32::Peek(int64_t Pos, size_t Count) {
  if (Pos < 0 || Count > FBuffer.size()) return nullptr;
  FPosition = Pos;
  auto inside = [&] { return Pos >= FStart && size_t(Pos - FStart) + Count <= FFilled; };
  if (!inside()) Refill();
  return inside() ? FBuffer.data() + (Pos - FStart) : nullptr;
}

int32_t TReadBuffer32::Read(void* Buffer, int32_t Count) {
  auto* out = static_cast<uint8_t*>(Buffer);
  int32_t done = 0;
  while (done < Count) {
    if (FPosition < FStart || FPosition >= FStart + int64_t(FFilled)) {
      // A read as large as the buffer goes straight to the source.
      if (size_t(Count - done) >= FBuffer.size()) {
        if (FSource.Seek(FPosition, soFromBeginning) != FPosition) break;
        const int32_t got = FSource.Read(out + done, Count - done);
        if (got <= 0) break;
        done += got;
        FPosition += got;
        continue;
      }
      if (!Refill()) break;
    }
    const size_t at = size_t(FPosition - FStart);
    const size_t n = std::min(FFilled - at, size_t(Count - done));
    std::memcpy(out + done, FBuffer.data() + at, n);
    done += int32_t(n);
    FPosition += int64_t(n);
  }
  return done;
}

int64_t TReadBuffer32::Seek(int64_t Offset, uint16_t Origin) {
  const int64_t base = Origin == soFromBeginning ? 0 : Origin == soFromCurrent ? FPosition : FSize;
  if (base + Offset < 0) return -1;
  FPosition = base + Offset;
  return FPosition;
}

// The Deflate64 decoder on its own.
#include "archive/zip/qrvInflate64.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  fuzz::RunDecoder([](const TDecoderIO& IO, uint8_t) { return Inflate64(IO); }, Data, Size);
  return 0;
}

// The Unshrink decoder (ZIP method 1) on its own.
#include "archive/zip/qrvUnShrink.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  fuzz::RunDecoder([](const TDecoderIO& IO, uint8_t) { return UnShrink(IO); }, Data, Size);
  return 0;
}

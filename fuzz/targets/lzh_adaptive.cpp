// The LZH adaptive-Huffman decoder (lh1) on its own.
#include "archive/lzh/qrvLzh3.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  fuzz::RunDecoder([](const TDecoderIO& IO, uint8_t) { return LzhUnpackAdaptive(IO, 0); }, Data, Size);
  return 0;
}

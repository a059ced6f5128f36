// The LZH static-Huffman decoder (lh4 to lh7): the option's low two bits pick the dictionary.
#include "archive/lzh/qrvLzh3.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static constexpr int kDicBits[4] = {12, 13, 15, 16};
  fuzz::RunDecoder([](const TDecoderIO& IO, uint8_t Opt) { return LzhUnpackStatic(IO, kDicBits[Opt & 3]); }, Data,
                   Size);
  return 0;
}

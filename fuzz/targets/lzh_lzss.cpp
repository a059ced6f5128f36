// The LArc decoders (lz5, lzs) on their own; the option's low bit picks the method.
#include "archive/lzh/qrvLzh3.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  fuzz::RunDecoder(
      [](const TDecoderIO& IO, uint8_t Option) { return Option & 1 ? LzhUnpackLzs(IO, 0) : LzhUnpackLz5(IO, 0); }, Data,
      Size);
  return 0;
}

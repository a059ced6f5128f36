// The Unreduce decoder (ZIP methods 2-5): the option's low two bits pick the factor.
#include "archive/zip/qrvUnReduce.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  fuzz::RunDecoder([](const TDecoderIO& IO, uint8_t Opt) { return UnReduce(IO, 1 + (Opt & 3)); }, Data, Size);
  return 0;
}

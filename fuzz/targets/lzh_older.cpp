// LHarc's lh2 and lh3 and PMarc's pm1 and pm2 decoders on their own; the option's low two bits
// pick the method.
#include "archive/lzh/qrvLzh3.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static TDecodeStatus (*const kRuns[])(const TDecoderIO&, int) = {LzhUnpackLh2, LzhUnpackLh3, LzhUnpackPm1,
                                                                   LzhUnpackPm2};
  fuzz::RunDecoder([](const TDecoderIO& IO, uint8_t Option) { return kRuns[Option & 3](IO, 0); }, Data, Size);
  return 0;
}

// The Explode decoder (ZIP method 6): the option's bits 1 and 2 are the entry's flags (8 KiB
// dictionary, literal tree).
#include "archive/zip/qrvExplode.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  fuzz::RunDecoder([](const TDecoderIO& IO, uint8_t Opt) { return Explode(IO, Opt & 6); }, Data, Size);
  return 0;
}

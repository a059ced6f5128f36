// The ZIP reader in test mode over untrusted bytes.
#include "archive/zip/qrvUnZip.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  fuzz::RunReader([] { return std::make_unique<TUnZip>(); }, xmTest, Data, Size);
  return 0;
}

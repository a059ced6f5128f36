// The CAB reader in extract mode over untrusted bytes.
#include "archive/cab/qrvUnCab.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  fuzz::RunReader([] { return std::make_unique<TUnCab>(); }, xmExtract, Data, Size);
  return 0;
}

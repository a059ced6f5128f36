// The TAR reader in test mode over untrusted bytes.
#include "archive/tar/qrvUnTar.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  fuzz::RunReader([] { return std::make_unique<TUnTar>(); }, xmTest, Data, Size);
  return 0;
}

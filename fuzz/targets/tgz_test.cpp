// A gzip-compressed tar: the TAR reader in test mode reads it through its gunzip stream (what
// brel-cli and the window do for .tgz and .tar.gz).
#include "archive/tar/qrvUnTar.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  fuzz::RunReader([] { return std::make_unique<TUnTar>(); }, xmTest, Data, Size);
  return 0;
}

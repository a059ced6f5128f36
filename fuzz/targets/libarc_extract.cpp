// The libarchive reader in extract mode over untrusted bytes: libarchive's entries through the frame's
// per-entry step.
#include "archive/libarc/qrvUnLibArc.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  fuzz::RunReader([] { return std::make_unique<TUnLibArc>(); }, xmExtract, Data, Size);
  return 0;
}

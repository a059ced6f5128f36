// Type detection by content over untrusted bytes, from memory and from a file.
#include "archive/core/qrvStreams.h"
#include "archive/core/qrvRegister.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  TMemoryStream32 s;
  if (Size) s.Write(Data, int32_t(Size));
  TArvexComponent c;
  const TArcType t = c.DetectType(s);
  if (int(t) >= ArcTypeCount || c.ArchiveStart() > int64_t(Size)) __builtin_trap();
  (void)GetArcTypeName(t);
  return 0;
}

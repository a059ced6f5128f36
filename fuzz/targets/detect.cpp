// Type detection by content over untrusted bytes. The types brel reads must begin inside the
// file (ARC stubs name a fixed start of 7,716 whatever the file's size, so not every type does).
#include "archive/core/qrvRegister.h"
#include "archive/core/qrvStreams.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  TMemoryStream32 s;
  if (Size) s.Write(Data, int32_t(Size));
  TArvexComponent c;
  const TArcType t = c.DetectType(s);
  if (int(t) >= ArcTypeCount) __builtin_trap();
  const bool read = IsZipFamilyType(t) || IsZipLikeType(t) || t == atTar || t == atLha || t == atLhaExe || t == atCab ||
                    t == atCabExe || t == atGZip;
  if (read && (c.ArchiveStart() < 0 || c.ArchiveStart() > int64_t(Size))) __builtin_trap();
  (void)GetArcTypeName(t);
  return 0;
}

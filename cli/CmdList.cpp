// brel-cli l: one line per entry (date, time, attributes, size, packed size, method, CRC, name).
#include <cstdio>
#include <ctime>

#include "cli/CliReaders.h"
#include "platform/DosTime.h"

namespace {

std::string AttrText(uint32_t Attr) {
  std::string s = ".....";
  if (Attr & 0x10) s[0] = 'D';
  if (Attr & 0x01) s[1] = 'R';
  if (Attr & 0x02) s[2] = 'H';
  if (Attr & 0x04) s[3] = 'S';
  if (Attr & 0x20) s[4] = 'A';
  return s;
}

void PrintEntry(const TListEntry& E) {
  const uint32_t d = E.DosDateTime ? E.DosDateTime : DosZeroSubstitute;
  std::printf("%04u-%02u-%02u %02u:%02u:%02u %s %12lld %12lld %-10s %08X %s%s\n",
              1980 + (d >> 25), (d >> 21) & 15, (d >> 16) & 31, (d >> 11) & 31, (d >> 5) & 63,
              (d & 31) * 2, AttrText(E.Attr).c_str(), static_cast<long long>(E.Size),
              static_cast<long long>(E.PackedSize), E.MethodName.c_str(), E.Crc32,
              PrintableName(E.Name).c_str(), E.Encrypted ? " *" : "");
}

int RunL(TCli& Cli, const TParsedArgs& Args) {
  return RunReader(Cli, Args, xmList, [](TUnBase& R) {
    R.OnListEntry = [](TZipCommon*, const TListEntry& E) { PrintEntry(E); };
  });
}

const TRegisterCommand kL("l", {"ARCHIVE [MASK...]", {}, RunL});

}  // namespace

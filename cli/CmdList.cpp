// brel-cli l: size, date and name of each entry with a total line (as unzip -l); with -v one
// technical line per entry (date, time, attributes, size, packed size, method, CRC, name).
#include <cstdio>
#include <memory>

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

// "YYYY-MM-DD HH:MM" (Seconds adds ":SS") of a packed DOS date-time.
std::string DateText(uint32_t DosDateTime, bool Seconds) {
  const uint32_t d = DosDateTime ? DosDateTime : DosZeroSubstitute;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u", 1980 + (d >> 25), (d >> 21) & 15, (d >> 16) & 31,
                (d >> 11) & 31, (d >> 5) & 63);
  std::string out = buf;
  if (Seconds) {
    std::snprintf(buf, sizeof buf, ":%02u", (d & 31) * 2);
    out += buf;
  }
  return out;
}

// The technical listing (as unzip -v): a header, one line per entry with every column, and a
// total of sizes, packed sizes and entries.
struct TVerboseList {
  int64_t Bytes = 0, Packed = 0;
  int Entries = 0;
  void Header() const {
    std::printf("%-19s %-5s %12s %12s %-10s %-8s %s\n", "Date", "Attr", "Size", "Packed", "Method", "CRC", "Name");
    Rule();
  }
  static void Rule() { std::printf("------------------- ----- ------------ ------------ ---------- -------- ----\n"); }
  void Entry(const TListEntry& E) {
    if (Entries++ == 0) Header();
    Bytes += E.Size;
    Packed += E.PackedSize;
    std::printf("%s %s %12lld %12lld %-10s %08X %s%s\n", DateText(E.DosDateTime, true).c_str(),
                AttrText(E.Attr).c_str(), static_cast<long long>(E.Size), static_cast<long long>(E.PackedSize),
                E.MethodName.c_str(), E.Crc32, PrintableName(E.Name).c_str(), E.Encrypted ? " *" : "");
  }
  void Total() const {
    if (Entries == 0) Header();
    Rule();
    const int ratio = Bytes > 0 ? int(100 - Packed * 100 / Bytes) : 0;
    std::printf("%-25s %12lld %12lld %3d%%       %8s %d %s\n", "", static_cast<long long>(Bytes),
                static_cast<long long>(Packed), ratio, "", Entries, Entries == 1 ? "entry" : "entries");
  }
};

// The short listing: a header, one line per entry and the total of sizes and entries.
struct TShortList {
  int64_t Bytes = 0;
  int Entries = 0;
  void Header() const {
    std::printf("%12s  %-16s  %s\n%s  %s  %s\n", "Size", "Date", "Name", "------------", "----------------", "----");
  }
  void Entry(const TListEntry& E) {
    if (Entries++ == 0) Header();
    Bytes += E.Size;
    std::printf("%12lld  %s  %s%s\n", static_cast<long long>(E.Size), DateText(E.DosDateTime, false).c_str(),
                PrintableName(E.Name).c_str(), E.Encrypted ? " *" : "");
  }
  void Total() const {
    if (Entries == 0) Header();
    std::printf("------------  %16s  ----\n%12lld  %16s  %d %s\n", "", static_cast<long long>(Bytes), "", Entries,
                Entries == 1 ? "entry" : "entries");
  }
};

// Lists through OnListEntry into List, whose total follows when the run went well or listed
// something.
template <class TList>
int ListInto(TCli& Cli, const TParsedArgs& Args) {
  auto list = std::make_shared<TList>();
  const int status = RunReader(Cli, Args, xmList, [list](TUnBase& R) {
    R.OnListEntry = [list](TZipCommon*, const TListEntry& E) { list->Entry(E); };
  });
  if (status == exOk || list->Entries > 0) list->Total();
  return status;
}

int RunL(TCli& Cli, const TParsedArgs& Args) {
  return Args.Has("-v") ? ListInto<TVerboseList>(Cli, Args) : ListInto<TShortList>(Cli, Args);
}

const TRegisterCommand kL("l", {"ARCHIVE [MASK...]",
                                "list entries: size, date and name (-v: every column)",
                                {{"-v", "", "every column: attributes, packed size, method and CRC too"},
                                 kIgnoreCase[0],
                                 kIgnoreCase[1],
                                 kNamesOption},
                                RunL,
                                8});

}  // namespace

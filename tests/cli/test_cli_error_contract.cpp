// Every reader of the format table on damaged input and on an output it cannot write: exactly
// one report for the failed entry, the other entry extracted, exit status 1.
#include <gtest/gtest.h>

#include <sstream>

#include "archive/qrvFormats.h"
#include "support/TestSupport.h"

namespace {

using namespace testsupport;

// Lines of Out that report a component error ("brel-cli: 25151 ...").
int ErrorLines(const std::string& Out) {
  int n = 0;
  std::istringstream lines(Out);
  for (std::string line; std::getline(lines, line);) n += line.starts_with("brel-cli: 2");
  return n;
}

enum TDamage { dgTruncated, dgFlippedByte, dgOutputBlocked };

// A ZIP cut before its central directory also says so for the archive as a whole (the entries
// come from the local headers).
int ArchiveLevel(const TFormatRow& Row, TDamage Damage) { return Row.Name == "zip" && Damage == dgTruncated; }

TEST(CliErrorContract, OneReportPerFailedEntryAndExitOne) {
  TempDir t;
  const std::string text = TextBytes(6000, 7);
  WriteFile(t / "in/a.txt", text);
  const std::string binary = RandomBytes(60000, 8);
  WriteFile(t / "in/b.bin", binary);
  for (const TFormatRow& row : Formats()) {
    if (!row.Writes()) continue;
    const std::string archive = (t / ("s" + row.Extensions.front())).string();
    std::vector<std::string> add = {
        "a", "-q", "-t", row.Name, archive, (t / "in/a.txt").string(), (t / "in/b.bin").string()};
    if (MethodOf(row, "store")) add.insert(add.begin() + 2, {"-m", "store"});
    ASSERT_EQ(RunCli(add).status, 0) << row.Name;
    const std::string whole = ReadFile(archive);
    for (TDamage damage : {dgTruncated, dgFlippedByte, dgOutputBlocked}) {
      // A tar holds no checksum of its data: a changed byte is not seen.
      if (damage == dgFlippedByte && row.Filter == sfNone && row.Methods.empty()) continue;
      SCOPED_TRACE(row.Name + " damage " + std::to_string(damage));
      std::string bytes = whole;
      const fs::path out = t / ("out-" + row.Name + std::to_string(damage));
      if (damage == dgTruncated) bytes.resize(bytes.size() * 3 / 4);  // inside b.bin
      if (damage == dgFlippedByte) {
        // Near the end of b.bin's data: stored, or late in the compressed stream.
        const size_t at = row.Filter == sfNone ? bytes.find(binary.substr(55000, 40)) : bytes.size() * 9 / 10;
        ASSERT_NE(at, std::string::npos);
        bytes[at] ^= 0x20;
      }
      if (damage == dgOutputBlocked) fs::create_directories(out / "b.bin/in-the-way");
      const std::string damaged = (t / ("d" + row.Extensions.front())).string();
      WriteFile(damaged, bytes);
      const CommandResult r = RunCli({"x", "-q", "-o", out.string(), damaged});
      EXPECT_EQ(r.status, 1) << r.out;
      EXPECT_EQ(ErrorLines(r.out), 1 + ArchiveLevel(row, damage)) << r.out;
      // xz, zstd and bzip2 hold this small tar in one block: a cut loses all of it, and so does
      // a changed byte under bzip2's block check.
      const bool oneBlock = row.Filter != sfNone && row.Filter != sfGzip;
      if (!oneBlock || damage == dgOutputBlocked || (damage == dgFlippedByte && row.Filter != sfBzip2)) {
        EXPECT_EQ(ReadFile(out / "a.txt"), text);
      }
      if (damage != dgOutputBlocked) {
        const CommandResult tested = RunCli({"t", "-q", damaged});
        EXPECT_EQ(tested.status, 1) << tested.out;
        EXPECT_EQ(ErrorLines(tested.out), 1 + ArchiveLevel(row, damage)) << tested.out;
      }
    }
  }
}

}  // namespace

// The frame's per-entry extract step, through a format of its own (entries held in memory), so
// that what every reader relies on is pinned apart from any real format.
#include <gtest/gtest.h>

#include "archive/core/qrvBase.h"
#include "archive/core/qrvErrors.h"
#include "support/TestSupport.h"

namespace {

using namespace testsupport;

struct TItem {
  std::string Name;
  std::string Data;
  TCheckKind Check = ckCrc32;
  int Damage = 0;  // 0 none, 1 wrong stored check, 2 decoder fails silently, 3 decoder reports
};

class TMemoryReader : public TUnBase {
 public:
  std::vector<TItem> Items;

 protected:
  int ExtractArchive(TStream32&, int) override {
    for (const TItem& it : Items) {
      TStepEntry e;
      e.Name = it.Name;
      e.IsDir = !it.Name.empty() && it.Name.back() == '/';
      e.Size = int64_t(it.Data.size());
      e.DosDateTime = 0x5A2B6000;
      e.Attr = faArchive;
      e.Check = e.IsDir ? ckNone : it.Check;
      const uint32_t crc =
          it.Check == ckCrc16 ? Crc16Of(it.Data.data(), it.Data.size()) : Crc32Of(it.Data.data(), it.Data.size());
      e.Stored = it.Damage == 1 ? crc ^ 1 : crc;  // (the complement would pass)
      ExtractStep(e, [&] {
        if (it.Damage == 3) ReportError(CurrentName(), "", "", ecReadFile);
        if (it.Damage >= 2) return false;
        return WriteBlock(it.Data.data(), int32_t(it.Data.size()), it.Check == ckCrc16 ? 16 : 32);
      });
    }
    return EntryCount;
  }
};

TEST(ExtractStep, OneOutcomePerEntry) {
  const struct {
    const char* What;
    TItem Item;
    std::vector<int32_t> Reports;
    bool Pass;
    bool Written;  // the output exists afterwards
  } cases[] = {
      {"CRC-32 passes", {"a.txt", "alpha"}, {}, true, true},
      {"CRC-16 passes", {"b.txt", "beta", ckCrc16}, {}, true, true},
      {"no check", {"c.txt", "gamma", ckNone}, {}, true, true},
      {"folder", {"sub/", ""}, {}, true, true},
      {"wrong CRC: kept, reported once", {"d.txt", "delta", ckCrc32, 1}, {ecCrcCheck}, false, true},
      {"silent decoder failure", {"e.txt", "eps", ckCrc32, 2}, {ecCrcCheck}, false, true},
      {"decoder's own report only", {"f.txt", "phi", ckNone, 3}, {ecReadFile}, false, true},
      {"NUL in the name", {std::string("..\0/x.txt", 9), "x"}, {ecInvalidFileName}, false, false},
      {"nothing left of the name", {"../..", "x"}, {ecInvalidFileName}, false, false},
      {"output blocked by a folder", {"blocked", "x"}, {ecOpenFile}, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    TempDir t;
    WriteFile(t / "archive", "");
    fs::create_directories(t / "out/blocked/inside");
    TMemoryReader r;
    r.Items = {c.Item};
    r.SetArchiveFile((t / "archive").string());
    r.SetExtractDir((t / "out").string());
    r.FileSpec = {"*"};
    r.CreateStoredDirs = true;
    std::vector<int32_t> reports;
    r.OnError = [&](TZipCommon*, const std::string&, const std::string&, const std::string&, int32_t Code) {
      reports.push_back(Code);
    };
    std::vector<bool> ends;
    int begins = 0;
    r.OnBegin = [&](TZipCommon*, const std::string&, int, bool&) { ++begins; };
    const int count = r.Extract();
    EXPECT_EQ(reports, c.Reports);
    const bool reachedBegin = c.Reports.empty() || c.Reports[0] != ecInvalidFileName;
    EXPECT_EQ(begins, reachedBegin ? 1 : 0);
    EXPECT_EQ(count, reachedBegin ? 1 : 0);  // folders count as entries too
    const std::string name = c.Item.Name.find('\0') == std::string::npos ? c.Item.Name : "x.txt";
    if (name != "blocked" && name != "../..") {
      EXPECT_EQ(fs::exists(t / "out" / name), c.Written);
    }
    r.OnEnd = [&](TZipCommon*, const std::string&, bool Pass) { ends.push_back(Pass); };
    reports.clear();
    fs::remove_all(t / "out");
    fs::create_directories(t / "out/blocked/inside");
    r.Extract();
    EXPECT_EQ(ends, reachedBegin ? std::vector<bool>{c.Pass} : std::vector<bool>{}) << "OnEnd";
  }
}

}  // namespace

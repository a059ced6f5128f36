// Cabinets that other programs wrote (tests/cab/wild, see its README): brel-cli extracts each to
// the tree cabextract makes, and ends with the status cabextract ends with, except where a row
// says why not.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "support/TestSupport.h"

using namespace testsupport;

namespace {

// How the two trees are compared.
enum TSame {
  sTree,      // the same names and contents
  sContents,  // the same contents: brel reads names that are not UTF-8 by its code-page rules,
              // cabextract copies their bytes
  sInside,    // only that nothing lands beside the output folder: the names are made to differ
};

// cabextract leaves an empty file for an entry that failed; brel leaves none.
std::map<std::string, std::string> WithoutEmptyFiles(std::map<std::string, std::string> Tree) {
  std::erase_if(Tree, [](const auto& E) { return E.second.empty() && !E.first.ends_with('/'); });
  return Tree;
}

std::multiset<std::string> Contents(const std::map<std::string, std::string>& Tree) {
  std::multiset<std::string> c;
  for (const auto& [name, data] : Tree)
    if (!name.ends_with('/')) c.insert(data);
  return c;
}

void ExpectSame(const fs::path& Cab, int Status, TSame Same, const fs::path& Work) {
  const fs::path theirs = Work / "theirs", ours = Work / "ours";
  fs::remove_all(theirs);
  fs::remove_all(ours);
  fs::create_directories(theirs);
  const int cabextract = Run({"cabextract", "-q", "-d", theirs.string(), Cab.string()}).status;
  const CommandResult x = RunCli({"x", "-q", "-o", ours.string(), Cab.string()});
  EXPECT_EQ(x.status, Status) << x.out;
  // Testing writes nothing, so name clashes on the disk are no failure there.
  EXPECT_EQ(RunCli({"t", "-q", Cab.string()}).status, Same == sInside ? cabextract : Status);
  auto want = ReadTree(theirs), got = fs::exists(ours) ? ReadTree(ours) : decltype(want){};
  if (cabextract != 0) want = WithoutEmptyFiles(want);
  if (Same == sTree) EXPECT_EQ(got, want);
  if (Same == sContents) EXPECT_EQ(Contents(got), Contents(want));
  std::vector<std::string> top;
  for (const auto& e : fs::directory_iterator(Work)) top.push_back(e.path().filename().string());
  std::sort(top.begin(), top.end());
  EXPECT_EQ(top, (std::vector<std::string>{"ours", "theirs"}));
}

}  // namespace

TEST(CabWild, BrelExtractsWhatCabextractExtracts) {
#ifndef BREL_CLI
  GTEST_SKIP() << "brel-cli not built";
#else
  REQUIRE_TOOLS("cabextract");
  const fs::path wild = fs::path(BREL_SOURCE_DIR) / "tests/cab/wild";
  const struct {
    const char* Cab;
    int Status;  // brel-cli's
    TSame Same;
  } rows[] = {
      {"simple.cab", 0, sTree},
      {"mixed.cab", 0, sTree},  // MSZIP, LZX and Quantum folders
      {"dir.cab", 0, sTree},
      {"normal_2files_2folders.cab", 0, sTree},
      {"normal_255c_filename.cab", 0, sTree},
      {"case-ascii.cab", 0, sTree},
      {"case-utf8.cab", 0, sTree},
      {"hidden-files.cab", 0, sTree},
      {"large-files-cab.cab", 0, sTree},
      {"reserve_HFD.cab", 0, sTree},  // reserved areas in the header, folders and data blocks
      {"reserve_H--.cab", 0, sTree},
      {"reserve_-F-.cab", 0, sTree},
      {"reserve_--D.cab", 0, sTree},
      // A set whose cabinets name each other "Split-N.CAB", started anywhere.
      {"split-1.cab", 0, sTree},
      {"split-3.cab", 0, sTree},
      {"split-5.cab", 0, sTree},
      // Cabinets behind other data, several in one file.
      {"search.cab", 0, sTree},
      {"search_basic.cab", 0, sTree},
      // A second signature inside a header that does not read: the header at the start is
      // reported damaged, the cabinet behind it comes out.
      {"search_tricky1.cab", 1, sTree},
      {"encoding-latin1.cab", 0, sContents},
      {"encoding-koi8.cab", 0, sContents},
      {"encoding-sjis.cab", 0, sContents},
      {"utf8-stresstest.cab", 0, sInside},  // brel keeps apart names that cabextract merges
      // "\absolute\path\reverse\slashes" needs a folder where "/absolute/path" is a file.
      {"dirwalk-vulns.cab", 1, sInside},
      // Damaged: reported, and what is sound beside the damage comes out.
      {"partial_shortheader.cab", 1, sTree},
      {"partial_nodata.cab", 1, sTree},
      {"partial_shortfile1.cab", 1, sTree},
      {"bad_folderindex.cab", 1, sTree},
      {"cve-2015-4470-mszip-over-read.cab", 1, sTree},
      {"cve-2015-4471-lzx-under-read.cab", 1, sTree},
      {"lzx-main-tree-no-lengths.cab", 1, sTree},
      {"cve-2014-9556-qtm-infinite-loop.cab", 1, sTree},
      {"cve-2014-9732-folders-segfault.cab", 1, sTree},
      {"filename-read-violation-2.cab", 1, sTree},  // the folder bit on an entry with data
      {"hidden-file-beyond-eof.cab", 1, sTree},
  };
  TempDir t;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.Cab);
    ExpectSame(wild / r.Cab, r.Status, r.Same, t.path());
  }
#endif
}

// A setup program: a cabinet behind an executable's code, as self-extracting installers carry it.
TEST(CabWild, ACabinetInsideASetupProgram) {
#ifndef BREL_CLI
  GTEST_SKIP() << "brel-cli not built";
#else
  REQUIRE_TOOLS("cabextract");
  TempDir t;
  WriteFile(t / "src/readme.txt", TextBytes(5000, 1));
  WriteFile(t / "src/tool.bin", RandomBytes(3000, 2));
  ASSERT_EQ(RunCli({"a", "-q", "-m", "lzx", (t / "in.cab").string(), "src"}, t.path()).status, 0);
  // A header that states no size, then code without a stray signature: the cabinet is the one
  // to find.
  std::string stub = "MZ" + std::string(4, '\0') + RandomBytes(40000, 3);
  for (size_t i = stub.find("MSCF"); i != std::string::npos; i = stub.find("MSCF")) stub[i] = 'm';
  WriteFile(t / "setup.exe", stub + ReadFile(t / "in.cab") + RandomBytes(2000, 4));
  ExpectSame(t / "setup.exe", 0, sTree, t / "work");
#endif
}

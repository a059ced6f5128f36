// Cabinets brel-cli writes pass the peer tools and come out of them unchanged; cabinets the
// peers write (and the shared samples) come out of brel-cli as cabextract extracts them.
#include <gtest/gtest.h>

#include "support/TestSupport.h"

using namespace testsupport;

namespace {

void MakeSourceTree(const fs::path& Root) {
  WriteFile(Root / "src/readme.txt", TextBytes(5000, 1));
  WriteFile(Root / "src/empty.dat", "");
  WriteFile(Root / "src/over32k.bin", RandomBytes(40000, 2));
  WriteFile(Root / "src/sub/over2m.txt", TextBytes(2300000, 3));
  WriteFile(Root / "src/日本語/ファイル.txt", TextBytes(700, 4));
}

CommandResult Extract(const std::vector<std::string>& Argv, const fs::path& Dir) {
  fs::remove_all(Dir);
  fs::create_directories(Dir);
  return testsupport::Run(Argv, Dir);
}

}  // namespace

TEST(CabPeers, WhatBrelWritesThePeersAcceptAndExtract) {
#ifndef BREL_CLI
  GTEST_SKIP() << "brel-cli not built";
#else
  for (const char* tool : {"cabextract", "7z", "bsdtar", "gcab"})
    if (!HaveTool(tool)) GTEST_SKIP() << tool << " missing";
  TempDir t;
  MakeSourceTree(t.path());
  const auto source = ReadTree(t / "src");
  for (const char* method : {"store", "mszip"}) {
    SCOPED_TRACE(method);
    const std::string cab = (t / (std::string(method) + ".cab")).string();
    const CommandResult made = RunCli({"a", "-q", "-m", method, cab, "src"}, t.path());
    ASSERT_EQ(made.status, 0) << made.out;
    for (const std::vector<std::string>& check : std::vector<std::vector<std::string> >{
             {"cabextract", "-t", cab}, {"7z", "t", cab}, {"bsdtar", "-tf", cab}, {"gcab", "-l", cab}}) {
      const CommandResult r = testsupport::Run(check);
      EXPECT_EQ(r.status, 0) << check[0] << ": " << r.out;
      if (check[0] != "7z") {
        EXPECT_NE(r.out.find("ファイル.txt"), std::string::npos) << check[0] << ": " << r.out;
      }
    }
    const fs::path out = t / "out";
    for (const std::vector<std::string>& x : std::vector<std::vector<std::string> >{
             {"cabextract", "-q", cab}, {"7z", "x", "-y", cab}, {"gcab", "-x", cab}, {BREL_CLI, "x", "-q", cab}}) {
      const CommandResult r = Extract(x, out);
      EXPECT_EQ(r.status, 0) << x[0] << ": " << r.out;
      EXPECT_EQ(ReadTree(out / "src"), source) << x[0];
    }
  }
#endif
}

// LZX at both ends of its windows and Quantum at both ends of its levels and memory: the
// readers that know these types test and extract them to the same bytes.
TEST(CabPeers, LzxAndQuantumCabinetsPassThePeers) {
#ifndef BREL_CLI
  GTEST_SKIP() << "brel-cli not built";
#else
  REQUIRE_TOOLS("cabextract", "7z");
  TempDir t;
  MakeSourceTree(t.path());
  const auto source = ReadTree(t / "src");
  const std::vector<std::vector<std::string> > variants = {
      {"-m", "lzx", "--lzx-level", "15"},
      {"-m", "lzx"},
      {"-m", "quantum", "--quantum-level", "1", "--quantum-memory", "10"},
      {"-m", "quantum", "--quantum-level", "4", "--quantum-memory", "16"},
      {"-m", "quantum"}};
  for (const auto& v : variants) {
    const std::string label = v[1] + (v.size() > 2 ? v[3] : "");
    SCOPED_TRACE(label);
    const std::string cab = (t / (label + ".cab")).string();
    std::vector<std::string> args = {"a", "-q"};
    args.insert(args.end(), v.begin(), v.end());
    args.insert(args.end(), {cab, "src"});
    const CommandResult made = RunCli(args, t.path());
    ASSERT_EQ(made.status, 0) << made.out;
    for (const std::vector<std::string>& check :
         std::vector<std::vector<std::string> >{{"cabextract", "-t", cab}, {"7z", "t", cab}}) {
      const CommandResult r = testsupport::Run(check);
      EXPECT_EQ(r.status, 0) << check[0] << ": " << r.out;
    }
    const fs::path out = t / "out";
    for (const std::vector<std::string>& x : std::vector<std::vector<std::string> >{
             {"cabextract", "-q", cab}, {"7z", "x", "-y", cab}, {BREL_CLI, "x", "-q", cab}}) {
      const CommandResult r = Extract(x, out);
      EXPECT_EQ(r.status, 0) << x[0] << ": " << r.out;
      EXPECT_EQ(ReadTree(out / "src"), source) << x[0];
    }
  }
#endif
}

TEST(CabPeers, BrelExtractsWhatThePeersWriteAsCabextractDoes) {
#ifndef BREL_CLI
  GTEST_SKIP() << "brel-cli not built";
#else
  if (!HaveTool("cabextract") || !HaveTool("gcab")) GTEST_SKIP() << "cabextract or gcab missing";
  TempDir t;
  MakeSourceTree(t.path());
  std::vector<fs::path> cabs;
  for (const char* name : {"1", "2", "3", "filename_cp932", "lzx_16bit", "multi.p1", "multi.p2"})
    cabs.push_back(Testdata(std::string("cab/test_read_format_cab_") + name + ".cab"));
  for (const char* flags : {"-c", "-cz"}) {
    const fs::path cab = t / (std::string("gcab") + flags + ".cab");
    ASSERT_EQ(testsupport::Run(
                  {"gcab", flags, cab.string(), "readme.txt", "empty.dat", "over32k.bin", "sub/over2m.txt"}, t / "src")
                  .status,
              0);
    cabs.push_back(cab);
  }
  for (const fs::path& cab : cabs) {
    SCOPED_TRACE(cab.filename().string());
    ASSERT_EQ(Extract({"cabextract", "-q", cab.string()}, t / "theirs").status, 0);
    const CommandResult ours = RunCli({"x", "-q", "-o", (t / "ours").string(), cab.string()});
    EXPECT_EQ(ours.status, 0) << ours.out;
    // cabextract splits CP932 names at the 0x5C trail bytes of their characters: there the
    // names are known instead.
    if (cab.filename().string().find("cp932") != std::string::npos)
      EXPECT_EQ(ReadTree(t / "ours"),
                (std::map<std::string, std::string>{
                    {"表だよ/", ""}, {"表だよ/一覧表.txt", "Hello"}, {"表だよ/漢字.txt", "kanji"}}));
    else
      EXPECT_EQ(ReadTree(t / "ours"), ReadTree(t / "theirs"));
    EXPECT_EQ(RunCli({"t", "-q", cab.string()}).status, 0);
    fs::remove_all(t / "ours");

    // A damaged copy (its data cut short) fails. These samples are too small to flip bits in
    // usefully (some leave the block checksums out); the reader tests flip a data byte in each
    // compression type of our own cabinets.
    std::string bytes = ReadFile(cab);
    bytes.resize(bytes.size() - 4);
    WriteFile(t / "bad.cab", bytes);
    EXPECT_EQ(RunCli({"t", "-q", (t / "bad.cab").string()}).status, 1);
  }
#endif
}

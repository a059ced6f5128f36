// Packing on several threads: one, two and four workers write the same archive bytes, which the
// peer tools accept; a cancel in the middle of a parallel update keeps the old archive and
// leaves no temporary file.
#include <gtest/gtest.h>

#include <filesystem>

#include "archive/lzh/qrvLha.h"
#include "archive/zip/qrvZip.h"
#include "support/TestSupport.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

// Empty files, the 257-byte edge (text that deflates, random that deflate expands), many small
// files, a file of several deflate chunks, one over 1 MiB, an extension stored as it is, and a
// link (stored as a link by zip --symlinks and tar, followed by the others).
void MakeMixedTree(const fs::path& Root) {
  WriteFile(Root / "empty.txt", "");
  WriteFile(Root / "sub" / "empty2.dat", "");
  WriteFile(Root / "edge257.txt", TextBytes(257, 1));
  WriteFile(Root / "edge256.bin", RandomBytes(256, 2));
  WriteFile(Root / "edge257.bin", RandomBytes(257, 3));
  for (int i = 0; i < 120; ++i)
    WriteFile(Root / "many" / ("f" + std::to_string(i) + ".txt"), TextBytes(size_t(i * 37 + 1), uint32_t(i)));
  WriteFile(Root / "chunks.txt", TextBytes(700000, 4));
  WriteFile(Root / "large.bin", TextBytes(900000, 5) + RandomBytes(300000, 6));
  WriteFile(Root / "inner.zip", TextBytes(5000, 7));
  fs::create_symlink("chunks.txt", Root / "link.txt");
}

struct Variant {
  const char* Name;
  const char* Archive;
  std::vector<std::string> Options;
  bool Random;                     // encrypted: random salts, so only the sizes can match
  std::vector<std::string> Check;  // the peer's test command, the archive appended
};

TEST(ParallelPack, EveryWorkerCountWritesTheSameArchive) {
  const std::vector<Variant> variants = {
      {"zip", "a.zip", {"--symlinks"}, false, {"unzip", "-tq"}},
      {"zip max", "b.zip", {"-l", "max"}, false, {"unzip", "-tq"}},
      {"zipcrypto", "c.zip", {"-p", "secret"}, true, {"unzip", "-tq", "-P", "secret"}},
      {"aes", "d.zip", {"-p", "secret", "--encryption", "aes256"}, true, {"7z", "t", "-psecret"}},
      {"lzh", "e.lzh", {}, false, {"lhasa", "t"}},
      {"lh5", "f.lzh", {"-m", "lh5"}, false, {"lhasa", "t"}},
      {"tgz", "g.tgz", {}, false, {"tar", "-tzf"}},
      {"cab", "h.cab", {}, false, {"cabextract", "-t"}},
  };
  TempDir t("ppack");
  MakeMixedTree(t / "src");
  for (const Variant& v : variants) {
    SCOPED_TRACE(v.Name);
    std::string first;
    for (const char* workers : {"1", "2", "4"}) {
      SCOPED_TRACE(workers);
      const fs::path archive = t / workers / v.Archive;
      fs::create_directories(archive.parent_path());
      std::vector<std::string> args = {"a", "-q", "-j", workers};
      args.insert(args.end(), v.Options.begin(), v.Options.end());
      args.insert(args.end(), {archive.string(), (t / "src").string()});
      const CommandResult r = RunCli(args);
      ASSERT_EQ(r.status, 0) << r.out;
      std::string bytes = ReadFile(archive);
      // A .tgz member's header holds the time its tar was written: the run's own clock.
      if (v.Name == std::string("tgz") && bytes.size() > 8) bytes.replace(4, 4, 4, '\0');
      if (first.empty())
        first = bytes;
      else if (v.Random)
        EXPECT_EQ(bytes.size(), first.size());
      else
        EXPECT_TRUE(bytes == first) << "archive differs from the one-worker archive";
      if (!HaveTool(v.Check[0])) continue;
      std::vector<std::string> check = v.Check;
      check.push_back(archive.string());
      const CommandResult c = testsupport::Run(check);
      EXPECT_EQ(c.status, 0) << c.out;
    }
  }
}

// An update cancelled from OnProgress in the middle of a parallel run: the run returns 0, the
// old archive keeps its bytes and the folder holds nothing else.
TEST(ParallelPack, CancelKeepsOldArchive) {
  TZip zip;
  TLha lha;
  for (TCompBase* w : {static_cast<TCompBase*>(&zip), static_cast<TCompBase*>(&lha)}) {
    SCOPED_TRACE(w->DefaultExt());
    TempDir t("pcancel");
    WriteFile(t / "src" / "a.txt", TextBytes(1000, 1));
    const fs::path archive = t / "out" / ("old" + w->DefaultExt());
    fs::create_directories(archive.parent_path());
    w->Workers = 2;
    w->SetArchiveFile(archive.string());
    w->FileSpec = {(t / "src").string() + "/*.*"};
    ASSERT_EQ(w->Compress(), 1);
    const std::string before = ReadFile(archive);
    for (int i = 0; i < 40; ++i)
      WriteFile(t / "src" / ("b" + std::to_string(i) + ".txt"), TextBytes(300000, uint32_t(i)));
    int steps = 0;
    w->OnProgress = [&steps](TZipCommon* S, uint8_t, uint8_t) {
      if (++steps == 20) S->SetCancel(true);
    };
    EXPECT_EQ(w->Compress(), 0);
    EXPECT_GE(steps, 20);
    EXPECT_TRUE(ReadFile(archive) == before);
    EXPECT_EQ(std::distance(fs::directory_iterator(archive.parent_path()), fs::directory_iterator()), 1);
  }
}

// A file deleted after the look-ahead read it but before its turn is reported as it always
// was (it cannot be opened) and left out; the other file goes in.
TEST(ParallelPack, FileGoneBeforeItsTurnIsLeftOut) {
  TZip zip;
  TLha lha;
  for (TCompBase* w : {static_cast<TCompBase*>(&zip), static_cast<TCompBase*>(&lha)}) {
    SCOPED_TRACE(w->DefaultExt());
    TempDir t("pgone");
    WriteFile(t / "src" / "a.txt", TextBytes(300000, 1));
    WriteFile(t / "src" / "b.txt", TextBytes(300000, 2));
    std::vector<int32_t> errors;
    w->OnError = [&errors](TZipCommon*, const std::string&, const std::string&, const std::string&, int32_t Code) {
      errors.push_back(Code);
    };
    w->OnProgress = [&t](TZipCommon* S, uint8_t, uint8_t) {
      fs::remove(t / "src" / (S->CurrentName() == "a.txt" ? "b.txt" : "a.txt"));
    };
    w->Workers = 2;
    w->SetArchiveFile((t / ("out" + w->DefaultExt())).string());
    w->FileSpec = {(t / "src").string() + "/*.*"};
    EXPECT_EQ(w->Compress(), 1);
    EXPECT_EQ(errors, std::vector<int32_t>{ecOpenFile});
  }
}

}  // namespace

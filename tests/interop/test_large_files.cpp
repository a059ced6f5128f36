// A sparse file of more than 4 GiB goes into .zip (Zip64) and .tar and comes back byte for byte;
// the peers test and list the archives alike. Writes and reads several GiB: it runs only with
// BREL_LONG_TESTS=1.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "support/TestSupport.h"

using namespace testsupport;

namespace {

constexpr uintmax_t kBig = (uintmax_t(1) << 32) + 5;

// A sparse file of kBig bytes with marks at its start and end; false when the file system will
// not hold it.
bool MakeSparse(const fs::path& P) {
  std::error_code ec;
  fs::create_directories(P.parent_path(), ec);
  { std::ofstream(P, std::ios::binary) << "start"; }
  fs::resize_file(P, kBig, ec);
  if (ec) return false;
  std::fstream f(P, std::ios::binary | std::ios::in | std::ios::out);
  f.seekp(std::streamoff(kBig - 3));
  f << "end";
  return bool(f.flush());
}

bool SameContent(const fs::path& A, const fs::path& B) {
  std::ifstream a(A, std::ios::binary), b(B, std::ios::binary);
  std::vector<char> x(1 << 20), y(1 << 20);
  while (a && b) {
    a.read(x.data(), std::streamsize(x.size()));
    b.read(y.data(), std::streamsize(y.size()));
    if (a.gcount() != b.gcount() || !std::equal(x.begin(), x.begin() + a.gcount(), y.begin())) return false;
  }
  return a.eof() && b.eof();
}

}  // namespace

TEST(LargeFiles, SparseFileOver4GiBRoundTrips) {
#ifndef BREL_CLI
  GTEST_SKIP() << "brel-cli not built";
#else
  const char* longTests = std::getenv("BREL_LONG_TESTS");
  if (!longTests || std::string(longTests) != "1") GTEST_SKIP() << "set BREL_LONG_TESTS=1 to run (several GiB of I/O)";
  REQUIRE_TOOLS("unzip", "7z", "tar");
  TempDir t;
  if (!MakeSparse(t / "src/big.bin")) GTEST_SKIP() << "the file system will not hold a sparse file of 4 GiB";
  WriteFile(t / "src/after.txt", "behind the big one");  // its offset passes 4 GiB in .tar and stored .zip
  const std::string size = std::to_string(kBig);
  struct Case {
    const char* Archive;
    std::vector<std::string> Options;
    std::vector<std::vector<std::string> > PeerChecks;  // each must succeed and name the size
    bool Extract;                                       // through brel-cli, compared byte for byte
  };
  const Case cases[] = {
      {"d.zip", {}, {{"unzip", "-tq"}, {"7z", "t"}, {"unzip", "-l"}, {"7z", "l"}}, true},
      {"s.zip", {"-m", "store"}, {{"unzip", "-l"}, {"7z", "l"}, {"7z", "t"}}, false},
      {"w.tar", {}, {{"tar", "-tvf"}}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Archive);
    const std::string archive = (t / c.Archive).string();
    std::vector<std::string> add = {"a", "-q"};
    add.insert(add.end(), c.Options.begin(), c.Options.end());
    add.insert(add.end(), {archive, (t / "src").string()});
    const CommandResult a = RunCli(add);
    ASSERT_EQ(a.status, 0) << a.out;
    for (std::vector<std::string> argv : c.PeerChecks) {
      argv.push_back(archive);
      const CommandResult r = testsupport::Run(argv);
      EXPECT_EQ(r.status, 0) << argv[0] << " " << argv[1] << ": " << r.out;
      if (argv[1] != "t" && argv[1] != "-tq") {
        EXPECT_NE(r.out.find(size), std::string::npos) << argv[0] << ": " << r.out;
      }
    }
    const CommandResult l = RunCli({"l", archive});
    EXPECT_NE(l.out.find(size), std::string::npos) << l.out;
    const CommandResult tested = RunCli({"t", "-q", archive});
    EXPECT_EQ(tested.status, 0) << tested.out;
    if (c.Extract) {
      const fs::path out = t / "out";
      const CommandResult x = RunCli({"x", "-q", "-o", out.string(), archive});
      EXPECT_EQ(x.status, 0) << x.out;
      EXPECT_TRUE(SameContent(out / "src/big.bin", t / "src/big.bin"));
      EXPECT_EQ(ReadFile(out / "src/after.txt"), "behind the big one");
      fs::remove_all(out);
    }
    fs::remove(archive);
  }
#endif
}

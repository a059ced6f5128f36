// Gzip-compressed tars read as one stream: no temporary file, flat memory, every member, and a
// clear error on damaged gzip data.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <csignal>
#include <fstream>

#include "archive/tar/qrvUnTar.h"
#include "support/TestSupport.h"
#include "tar_test_util.h"

using namespace testsupport;

namespace {

// Appends one gzip member holding Pieces (each repeated by its count) to Out.
void GzipMember(std::ostream& Out, const std::vector<std::pair<std::string, size_t>>& Pieces) {
  z_stream z{};
  ASSERT_EQ(deflateInit2(&z, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::vector<uint8_t> out(1 << 16);
  auto pump = [&](const std::string& In, int Flush) {
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(In.data()));
    z.avail_in = uInt(In.size());
    do {
      z.next_out = out.data();
      z.avail_out = uInt(out.size());
      deflate(&z, Flush);
      Out.write(reinterpret_cast<const char*>(out.data()), std::streamsize(out.size() - z.avail_out));
    } while (z.avail_out == 0);
  };
  for (const auto& [piece, times] : Pieces)
    for (size_t i = 0; i < times; ++i) pump(piece, Z_NO_FLUSH);
  pump({}, Z_FINISH);
  deflateEnd(&z);
}

std::string Gzip(const std::string& Data) {
  std::ostringstream s;
  GzipMember(s, {{Data, 1}});
  return s.str();
}

long MaxRssKiB() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

}  // namespace

TEST(TgzStream, LargeTarListsAndTestsInFlatMemoryWithNoFileBesideIt) {
  TempDir t;
  // 512 MiB of zeros in one entry, then a small file: about 0.5 MiB of gzip.
  constexpr size_t kMiB = 1 << 20, kBig = 512;
  const std::string tail = "after the large entry\n";
  {
    std::ofstream f(t / "big.tgz", std::ios::binary);
    GzipMember(f, {{tartest::Bytes(tartest::Header("big.bin", int64_t(kBig * kMiB))), 1},
                   {std::string(kMiB, '\0'), kBig},
                   {tartest::Entry("tail.txt", tail) + tartest::Zeros(2), 1}});
  }
  const long rssBefore = MaxRssKiB();
  for (TExtractMode mode : {xmList, xmTest}) {
    TUnTar r;
    std::vector<std::string> names;
    std::vector<int32_t> errors;
    r.SetArchiveFile((t / "big.tgz").string());
    r.ExtractMode = mode;
    r.FileSpec = {"*"};
    r.RecurseDirs = true;
    r.OnListEntry = [&](TZipCommon*, const TListEntry& E) { names.push_back(E.Name); };
    r.OnError = [&](TZipCommon*, const std::string&, const std::string&, const std::string&, int32_t C) {
      errors.push_back(C);
    };
    EXPECT_EQ(r.Extract(), 2) << mode;
    EXPECT_TRUE(errors.empty()) << mode;
    if (mode == xmList) {
      EXPECT_EQ(names, (std::vector<std::string>{"big.bin", "tail.txt"}));
    }
  }
  EXPECT_LT(MaxRssKiB() - rssBefore, 64 * 1024) << "memory grew with the unpacked size";
  size_t files = 0;
  for (const auto& e : fs::directory_iterator(t.path())) files += e.path().filename() == "big.tgz" ? 0 : 1;
  EXPECT_EQ(files, 0u) << "a file was made beside the archive";
}

// Every member is read; padding after the last one is ignored; damage is an error with exit 1
// and an update leaves the damaged archive alone.
TEST(TgzStream, MembersPaddingAndDamageThroughTheCli) {
  TempDir t;
  const std::string a = tartest::Entry("a.txt", TextBytes(70000, 1));
  const std::string b = tartest::Entry("b.txt", TextBytes(300, 2)) + tartest::Zeros(2);
  const std::string whole = Gzip(a + b);
  auto flip = [](std::string S, size_t At, uint8_t Bits) {
    S[At] = char(uint8_t(S[At]) ^ Bits);
    return S;
  };
  const struct {
    const char* Name;
    std::string Data;
    int Status;
    const char* Says;  // in the error line
  } cases[] = {
      {"two members", Gzip(a) + Gzip(b), 0, ""},
      {"the window's 0x00 byte and zero padding", whole + std::string(1, '\0') + std::string(600, '\0'), 0, ""},
      {"truncated", whole.substr(0, whole.size() / 2), 1, "25236"},
      {"CRC-32", flip(whole, whole.size() - 6, 0x10), 1, "25151"},
      {"ISIZE", flip(whole, whole.size() - 2, 0x01), 1, "25151"},
      {"deflate data", flip(whole, whole.size() / 3, 0xFF), 1, "25"},
      {"second member's header", Gzip(a) + flip(Gzip(b), 2, 0x01), 1, "25114"},
  };
  for (const auto& c : cases) {
    WriteFile(t / "x.tgz", c.Data);
    for (const char* cmd : {"t", "x"}) {
      fs::remove_all(t / "out");
      std::vector<std::string> args = {cmd, (t / "x.tgz").string()};
      if (*cmd == 'x') args.insert(args.begin() + 1, {"-o", (t / "out").string()});
      const CommandResult r = RunCli(args, t.path());
      EXPECT_EQ(r.status, c.Status) << c.Name << ' ' << cmd << '\n' << r.out;
      EXPECT_NE(r.out.find(c.Says), std::string::npos) << c.Name << ' ' << cmd << '\n' << r.out;
      if (c.Status == 0 && std::string(cmd) == "x") {
        EXPECT_EQ(ReadTree(t / "out").size(), 2u) << c.Name;
      }
    }
    // An update of damaged data would lose what follows the damage: the archive stays as it is.
    WriteFile(t / "new.txt", "new");
    if (c.Status != 0) {
      EXPECT_EQ(RunCli({"a", (t / "x.tgz").string(), (t / "new.txt").string()}).status, 1) << c.Name;
      EXPECT_TRUE(ReadFile(t / "x.tgz") == c.Data) << c.Name;
    }
  }
  EXPECT_EQ(RunCli({"l", (t / "x.tgz").string()}).status, 1);
}

// brel-cli killed while it writes a .tgz: SIGTERM and SIGHUP remove the temporary archive before
// the process ends; Ctrl+C cancels the run. Nothing is left in the output folder either way.
TEST(TgzStream, SignalsLeaveNoTemporaryFile) {
  TempDir t;
  WriteFile(t / "src/data.bin", RandomBytes(48 << 20, 5));
  fs::create_directories(t / "out");
  for (int sig : {SIGTERM, SIGHUP, SIGINT}) {
    SCOPED_TRACE(sig);
    const std::string archive = (t / "out/data.tgz").string(), src = (t / "src").string();
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      execl(BREL_CLI, BREL_CLI, "a", "-q", archive.c_str(), src.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    // Signalled once its temporary archive exists.
    bool seen = false;
    for (int i = 0; i < 20000 && !seen; ++i) {
      for (const auto& e : fs::directory_iterator(t / "out"))
        seen = seen || e.path().filename().string().rfind("qrv", 0) == 0;
      if (!seen) usleep(1000);
    }
    EXPECT_TRUE(seen);
    kill(pid, sig);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) ? WTERMSIG(status) == sig : WEXITSTATUS(status) == 1) << status;
    EXPECT_TRUE(fs::is_empty(t / "out")) << "left: " << fs::directory_iterator(t / "out")->path();
  }
}

// A .tgz that GNU tar made: updated in place through the gunzip and
// gzip streams, read by swRead, and GNU tar lists the result.
TEST(TgzStream, UpdatesWhatGnuTarMade) {
  REQUIRE_TOOLS("tar");
  TempDir t;
  WriteFile(t / "src/a.txt", TextBytes(300000, 3));
  WriteFile(t / "src/b.bin", RandomBytes(200000, 4));
  ASSERT_EQ(
      testsupport::Run({"tar", "-czf", (t / "x.tgz").string(), "-C", (t / "src").string(), "a.txt", "b.bin"}).status,
      0);
  WriteFile(t / "src/c.txt", "new");
  TTar w;
  w.SetCompressMethod(cmTarGzip);
  w.StoredDirNames = sdRelative;
  w.FileSpec = {(t / "src/c.txt").string()};
  w.SetArchiveFile((t / "x.tgz").string());
  EXPECT_EQ(w.Compress(), 1);
  const CommandResult l = testsupport::Run({"tar", "-tzf", (t / "x.tgz").string()});
  EXPECT_EQ(l.out, "a.txt\nb.bin\nc.txt\n");
  int seen = 0;
  TTar r;
  r.SetCompressMethod(cmTarGzip);
  r.Switch = swRead;
  r.OnRead = [&](TZipCommon*, int64_t, int) { ++seen; };
  r.SetArchiveFile((t / "x.tgz").string());
  r.Compress();
  EXPECT_EQ(seen, 3);
  EXPECT_EQ(ReadTree(t.path()).size(), 5u);  // x.tgz, src/ and its three files: nothing else
}

// Archives written by brel-cli a/f/d pass unzip -t, 7z t and bsdtar -tf and extract with those
// tools to the same bytes and names; updates keep old entries byte for byte, also in archives
// the peers wrote; an interrupted or killed update leaves the old archive as it was.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "support/TestSupport.h"
#include "zip/test_zipwriter_util.h"

extern char** environ;

using namespace testsupport;
using namespace zipwritertest;
namespace fs = std::filesystem;

namespace {

// The tree every variant packs: text, random, empty file, empty folder, nested folder, a
// Japanese name, a name CP932 cannot hold, and a file kept stored by its extension.
void MakeTree(const fs::path& Root) {
  WriteFile(Root / "src" / "text.txt", TextBytes(200000, 1));
  WriteFile(Root / "src" / "random.bin", RandomBytes(70000, 2));
  WriteFile(Root / "src" / "small.bin", RandomBytes(100, 3));
  WriteFile(Root / "src" / "empty.txt", "");
  WriteFile(Root / "src" / "inner.zip", TextBytes(3000, 4));
  WriteFile(Root / "src" / "deep" / "er" / "file.txt", TextBytes(1234, 5));
  WriteFile(Root / "src" / "日本語の名前.txt", "nihongo");
  WriteFile(Root / "src" / "한국어 이름.txt", "hangul");
  fs::create_directories(Root / "src" / "void");
}

struct Peer {
  const char* Tool;
  std::function<std::vector<std::string>(const std::string& Zip, const std::string& Pw)> Test;
  std::function<std::vector<std::string>(const std::string& Zip, const std::string& Dir, const std::string& Pw)>
      Extract;
};

const std::vector<Peer>& Peers() {
  static const std::vector<Peer> peers = {
      {"unzip",
       [](const std::string& z, const std::string& pw) {
         return pw.empty() ? std::vector<std::string>{"unzip", "-tq", z}
                           : std::vector<std::string>{"unzip", "-tq", "-P", pw, z};
       },
       [](const std::string& z, const std::string& d, const std::string& pw) {
         std::vector<std::string> a = {"unzip", "-q", "-o"};
         if (!pw.empty()) a.insert(a.end(), {"-P", pw});
         a.insert(a.end(), {z, "-d", d});
         return a;
       }},
      {"7z",
       [](const std::string& z, const std::string& pw) {
         return std::vector<std::string>{"7z", "t", "-p" + pw, z};
       },
       [](const std::string& z, const std::string& d, const std::string& pw) {
         return std::vector<std::string>{"7z", "x", "-y", "-p" + pw, "-o" + d, z};
       }},
      {"bsdtar",
       [](const std::string& z, const std::string&) {
         return std::vector<std::string>{"bsdtar", "-tf", z};
       },
       [](const std::string& z, const std::string& d, const std::string& pw) {
         std::vector<std::string> a = {"bsdtar", "-xf", z, "-C", d};
         if (!pw.empty()) a.insert(a.begin() + 1, {"--passphrase", pw});
         return a;
       }},
  };
  return peers;
}

// Every peer accepts the archive and extracts Expected from it, names included (no option:
// UTF-8 names, and CP932 ones through their Unicode Path field).
void CheckWithPeers(const TempDir& T, const std::string& Zip, const std::map<std::string, std::string>& Expected,
                    const std::string& Password = {}, bool Aes = false) {
  for (const Peer& p : Peers()) {
    if (Aes && std::string(p.Tool) == "unzip") continue;  // Debian's unzip has no AES
    SCOPED_TRACE(p.Tool);
    const CommandResult t = testsupport::Run(p.Test(Zip, Password));
    EXPECT_EQ(t.status, 0) << t.out;
    const fs::path out = T / ("x-" + std::string(p.Tool));
    fs::remove_all(out);
    fs::create_directories(out);
    const CommandResult x = testsupport::Run(p.Extract(Zip, out.string(), Password));
    EXPECT_EQ(x.status, 0) << x.out;
    EXPECT_EQ(ReadTree(out), Expected);
  }
}

struct ZipInterop : ::testing::Test {
  TempDir T{"zi"};
  ScopedEnv Trash = PrivateTrash(T);
  void SetUp() override {
    REQUIRE_TOOLS("zip", "unzip", "7z", "bsdtar");
    MakeTree(T / "in");
  }
  std::string Zip() const { return (T / "a.zip").string(); }
};

}  // namespace

TEST_F(ZipInterop, EveryProfilePassesThePeers) {
  struct Variant {
    const char* Name;
    std::vector<std::string> Options;
    std::string Password;
  };
  const Variant variants[] = {
      {"store", {"-m", "store"}, ""},
      {"fast", {"-l", "fast"}, ""},
      {"normal", {}, ""},
      {"max", {"-l", "max"}, ""},
      {"encrypted", {"-l", "max", "-p", "pass word"}, "pass word"},
      {"aes128 stored", {"-m", "store", "-p", "pass word", "--encryption", "aes128"}, "pass word"},
      {"aes192", {"-p", "pass word", "--encryption", "aes192"}, "pass word"},
      {"aes256", {"-l", "max", "-p", "pass word", "--encryption", "aes256"}, "pass word"},
      {"cp932 names", {"--names", "cp932"}, ""},
  };
  const auto expected = ReadTree(T / "in");
  for (const Variant& v : variants) {
    SCOPED_TRACE(v.Name);
    fs::remove(Zip());
    std::vector<std::string> args = {"a", "-q", "--empty-dirs", "--paths", "start"};
    args.insert(args.end(), v.Options.begin(), v.Options.end());
    args.insert(args.end(), {Zip(), (T / "in" / "src").string()});
    const CommandResult r = RunCli(args);
    ASSERT_EQ(r.status, 0) << r.out;
    CheckWithPeers(T, Zip(), expected, v.Password, std::string(v.Name).starts_with("aes"));
  }
}

TEST_F(ZipInterop, UpdatesDeletesAndCommentsStayReadable) {
  ASSERT_EQ(
      RunCli({"a", "-q", "--paths", "start", "--comment", "made by brel", Zip(), (T / "in" / "src").string()}).status,
      0);
  const std::string before = ReadFile(Zip());
  const auto oldDir = Directory(Zip());

  WriteFile(T / "in" / "src" / "added.txt", TextBytes(5000, 9));
  ASSERT_EQ(RunCli({"a", "-q", "--paths", "start", Zip(), (T / "in" / "src").string()}).status, 0);
  const std::string after = ReadFile(Zip());
  for (const auto& r : oldDir)
    EXPECT_EQ(EntryBytes(after, *Find(Directory(Zip()), r.Name)), EntryBytes(before, r)) << r.Name;

  // f replaces a changed file in place; d removes entries by mask.
  WriteFile(T / "in" / "src" / "text.txt", TextBytes(1000, 10));
  ASSERT_EQ(RunCli({"f", "-q", "--paths", "start", Zip(), (T / "in" / "src").string()}).status, 0);
  ASSERT_EQ(RunCli({"d", "-q", Zip(), "src/deep/*", "*.bin"}).status, 0);
  fs::remove_all(T / "in" / "src" / "deep");
  fs::remove(T / "in" / "src" / "random.bin");
  fs::remove(T / "in" / "src" / "small.bin");
  CheckWithPeers(T, Zip(), ReadTree(T / "in"));
  EXPECT_NE(testsupport::Run({"unzip", "-z", Zip()}).out.find("made by brel"), std::string::npos);
}

TEST_F(ZipInterop, PeerArchivesKeepTheirEntriesOnUpdate) {
  WriteFile(T / "extra.txt", "extra");
  struct Maker {
    const char* Tool;
    std::vector<std::string> Argv;
  };
  const Maker makers[] = {
      {"zip", {"zip", "-qr", "p.zip", "src"}},
      {"bsdtar", {"bsdtar", "--format", "zip", "-cf", "p.zip", "src"}},  // data descriptors
      {"7z", {"7z", "a", "-tzip", "p.zip", "src"}},
  };
  for (const Maker& m : makers) {
    SCOPED_TRACE(m.Tool);
    fs::remove(T / "in" / "p.zip");
    ASSERT_EQ(testsupport::Run(m.Argv, T / "in").status, 0);
    const std::string zip = (T / "in" / "p.zip").string();
    const std::string before = ReadFile(zip);
    const auto oldDir = Directory(zip);
    const CommandResult r = RunCli({"a", "-q", zip, (T / "extra.txt").string()});
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string after = ReadFile(zip);
    const auto newDir = Directory(zip);
    EXPECT_EQ(newDir.size(), oldDir.size() + 1);
    for (const auto& o : oldDir) {
      const auto* n = Find(newDir, o.Name);
      ASSERT_NE(n, nullptr) << o.Name;
      EXPECT_EQ(EntryBytes(after, *n), EntryBytes(before, o)) << o.Name;
    }
    for (const char* tool : {"unzip", "7z", "bsdtar"}) {
      const Peer& p =
          *std::find_if(Peers().begin(), Peers().end(), [&](const Peer& x) { return std::string(x.Tool) == tool; });
      const CommandResult t = testsupport::Run(p.Test(zip, ""));
      EXPECT_EQ(t.status, 0) << tool << ": " << t.out;
    }
  }
}

// brel-cli updating an archive with a large new file, stopped by Signal once its temporary
// archive has begun to grow. The old archive must be intact afterwards.
struct Interrupted : ZipInterop {
  void UpdateAndStop(int Signal, int& Status) {
    ASSERT_EQ(RunCli({"a", "-q", Zip(), (T / "in" / "src").string()}).status, 0);
    WriteFile(T / "in" / "src" / "huge.bin", RandomBytes(size_t(48) << 20, 11));
    const std::string before = ReadFile(Zip());
    std::vector<std::string> args = {BREL_CLI, "a", "-q", Zip(), (T / "in" / "src").string()};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0);
    bool growing = false;
    for (int i = 0; i < 3000 && !growing; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      for (const auto& e : fs::directory_iterator(T.path()))
        if (e.path().filename().string().rfind("qrv", 0) == 0 && fs::file_size(e.path()) > (1 << 20)) growing = true;
    }
    EXPECT_TRUE(growing);
    kill(pid, Signal);
    int ws = 0;
    waitpid(pid, &ws, 0);
    Status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -WTERMSIG(ws);
    EXPECT_EQ(ReadFile(Zip()), before);
    EXPECT_EQ(testsupport::Run({"unzip", "-tq", Zip()}).status, 0);
  }
  int Leftovers() const {
    int n = 0;
    for (const auto& e : fs::directory_iterator(T.path())) n += e.path().filename().string().rfind("qrv", 0) == 0;
    return n;
  }
};

TEST_F(Interrupted, KillDuringUpdateKeepsOldArchive) {
  int status = 0;
  UpdateAndStop(SIGKILL, status);
  EXPECT_EQ(status, -SIGKILL);
}

TEST_F(Interrupted, CtrlCCancelsCleanly) {
  int status = 0;
  UpdateAndStop(SIGINT, status);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(Leftovers(), 0);
}

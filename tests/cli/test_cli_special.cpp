// Packing a folder that holds a FIFO or a socket: each is reported once and left out; the run
// neither waits on it nor loses the regular files.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <utility>

#include "support/TestSupport.h"

namespace {

using namespace testsupport;

TEST(CliSpecialFiles, AreReportedOnceAndSkipped) {
  TempDir t;
  WriteFile(t / "src/a.txt", "alpha");
  ASSERT_EQ(mkfifo((t / "src/pipe").c_str(), 0644), 0);
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string sockPath = (t / "src/sock").string();
  ASSERT_LT(sockPath.size(), sizeof addr.sun_path);
  std::strcpy(addr.sun_path, sockPath.c_str());
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  for (const char* ext : {".zip", ".tar"}) {
    SCOPED_TRACE(ext);
    const std::string archive = (t / (std::string("s") + ext)).string();
    // A hang shows as the status of timeout (124), not as a test that never ends.
    const CommandResult a = testsupport::Run({"timeout", "60", BREL_CLI, "a", "-q", archive, (t / "src").string()});
    EXPECT_EQ(a.status, 1) << a.out;
    for (const auto& [kind, name] : {std::pair{"FIFO", "pipe"}, std::pair{"socket", "sock"}}) {
      const std::string line = "25327 Unknown file type: " + (t / "src" / name).string() + " (" + kind + ")";
      const size_t at = a.out.find(line);
      EXPECT_NE(at, std::string::npos) << a.out;
      EXPECT_EQ(a.out.find(line, at + 1), std::string::npos) << "reported twice: " << a.out;
    }
    const auto out = t / "out";
    fs::remove_all(out);
    ASSERT_EQ(RunCli({"x", "-q", "-o", out.string(), archive}).status, 0);
    EXPECT_EQ(ReadTree(out), (std::map<std::string, std::string>{{"src/", ""}, {"src/a.txt", "alpha"}}));
  }
  close(sock);
}

}  // namespace

#include "upx/uUPX.h"

#include "UpxTestUtil.h"

#include <cerrno>
#include <csignal>
#include <stdexcept>

using namespace upxtest;

namespace {

std::vector<std::string> Sh(const std::string& script) { return {"/bin/sh", "-c", script}; }

std::string Join(const std::vector<std::string>& chunks) {
  std::string s;
  for (const auto& c : chunks) s += c;
  return s;
}

bool ValidUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

}  // namespace

TEST(TrimChunk, CutsAtZeroAndTrimsControlAndBlank) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"abc\n", "abc"},
      {" \t\r\n abc def \r\n\x01", "abc def"},
      {"one\ntwo\n", "one\ntwo"},
      {" \n\n \t", ""},
      {"", ""},
      {std::string("ab\0cd", 5), "ab"},
      {std::string("\0abc", 4), ""},
      {"\x7f"
       "x\x7f",
       "\x7f"
       "x\x7f"},  // DEL is above 0x20 and stays
      {"  圧縮  ", "圧縮"},
  };
  for (const auto& c : cases) EXPECT_EQ(TrimChunk(c.in.data(), c.in.size()), c.out) << c.in;
}

// Each child writes once or twice and ends within the first 50 ms, so it is read only after it
// ended: nothing it wrote may be lost.
TEST(RunPiped, ChunksOfShortChildren) {
  const struct {
    const char* script;
    std::vector<std::string> out, err;
  } cases[] = {
      {"printf 'abc\\n'", {"abc"}, {}},       {"printf 'one\\ntwo\\n'", {"one\ntwo"}, {}},
      {"printf '  \\n\\n \\t\\n'", {""}, {}}, {"printf 'x'; printf ' y \\n' >&2", {"x"}, {"y"}},
      {"printf 'a\\000b'", {"a"}, {}},        {"true", {}, {}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> out, err;
    const TPipedResult r = RunPiped(Sh(c.script), out, err);
    EXPECT_TRUE(r.Started) << c.script;
    EXPECT_EQ(r.ExitStatus, 0) << c.script;
    EXPECT_EQ(out, c.out) << c.script;
    EXPECT_EQ(err, c.err) << c.script;
  }
}

TEST(RunPiped, MoreThanAPipeFullOnBothStreamsLosesNothing) {
  // Both streams at once, each past what a pipe holds (64 KiB, or 1 MiB when enlarged), no
  // blanks so that trimming leaves every chunk whole; then the child ends with data queued.
  const std::string script = "(seq 1 200000 | tr -d '\\n' >&2) & seq 1000001 1200000 | tr -d '\\n'; wait";
  std::string wantOut, wantErr;
  for (int i = 1; i <= 200000; ++i) wantErr += std::to_string(i);
  for (int i = 1000001; i <= 1200000; ++i) wantOut += std::to_string(i);
  ASSERT_GT(wantErr.size(), 1048576u);

  std::vector<std::string> out, err;
  const TPipedResult r = RunPiped(Sh(script), out, err);
  ASSERT_TRUE(r.Started);
  EXPECT_EQ(Join(out), wantOut);
  EXPECT_EQ(Join(err), wantErr);
  for (const auto* chunks : {&out, &err})
    for (const auto& c : *chunks) EXPECT_LE(c.size(), 8192u);
}

TEST(RunPiped, CharacterOnAChunkBorderStaysWhole) {
  // 8,191 letters and a three-byte character: the first read of 8,192 bytes splits it.
  const std::string script = "head -c 8191 /dev/zero | tr '\\000' a; printf 'あい'";
  std::vector<std::string> out, err;
  ASSERT_TRUE(RunPiped(Sh(script), out, err).Started);
  EXPECT_EQ(Join(out), std::string(8191, 'a') + "あい");
  for (const auto& c : out) EXPECT_TRUE(ValidUtf8(c));
}

TEST(RunPiped, PumpsWhileTheChildRunsAndReturnsAfterItEnded) {
  TTempDir dir;
  const std::string marker = dir / "done";
  int pumps = 0;
  std::vector<std::string> out, err;
  const TPipedResult r =
      RunPiped(Sh("sleep 0.3; echo finished; : > '" + marker + "'; exit 3"), out, err, [&] { ++pumps; });
  EXPECT_TRUE(r.Started);
  EXPECT_EQ(r.ExitStatus, 3);
  EXPECT_EQ(r.TermSignal, 0);
  EXPECT_TRUE(fs::exists(marker));
  EXPECT_EQ(out, std::vector<std::string>{"finished"});
  EXPECT_GE(pumps, 2);
}

TEST(RunPiped, ProgramThatCannotStartAddsNothing) {
  TTempDir dir;
  WriteFile(dir / "not-executable", "#!/bin/sh\necho hi\n");
  const std::vector<std::vector<std::string>> argvs = {
      {dir / "missing"}, {dir / "not-executable"}, {dir.Path()}, {""}, {}};
  for (const auto& argv : argvs) {
    std::vector<std::string> out{"kept"}, err;
    const TPipedResult r = RunPiped(argv, out, err);
    EXPECT_FALSE(r.Started);
    EXPECT_FALSE(r.StartError.empty());
    EXPECT_EQ(out, std::vector<std::string>{"kept"});
    EXPECT_TRUE(err.empty());
  }
}

TEST(RunPiped, NoShellArgumentsArePassedAsGiven) {
  std::vector<std::string> out, err;
  RunPiped({"/bin/sh", "-c", "printf '[%s]' \"$@\"", "sh", "a b", "$HOME", "\"q\"", ";ls"}, out, err);
  EXPECT_EQ(out, std::vector<std::string>{"[a b][$HOME][\"q\"][;ls]"});
}

TEST(RunPiped, ChildReadingItsInputSeesEndOfFile) {
  std::vector<std::string> out, err;
  const TPipedResult r = RunPiped(Sh("cat; echo eof"), out, err);
  EXPECT_TRUE(r.Started);
  EXPECT_EQ(out, std::vector<std::string>{"eof"});
}

TEST(RunPiped, GrandchildKeepingThePipeOpenDoesNotHoldTheRunner) {
  TTempDir dir;
  const std::string marker = dir / "late";
  std::vector<std::string> out, err;
  RunPiped(Sh("(sleep 2; : > '" + marker + "') & echo early"), out, err);
  EXPECT_EQ(out, std::vector<std::string>{"early"});
  EXPECT_FALSE(fs::exists(marker));  // returned while the grandchild still ran
}

TEST(RunPiped, ExceptionFromThePumpKillsAndReapsTheChild) {
  TTempDir dir;
  const std::string pidFile = dir / "pid";
  int calls = 0;
  std::vector<std::string> out, err;
  EXPECT_THROW(RunPiped(Sh("echo $$ > '" + pidFile + "'; exec sleep 30"), out, err,
                        [&] {
                          if (++calls == 3) throw std::runtime_error("window closed");
                        }),
               std::runtime_error);
  const pid_t pid = std::stoi(ReadFile(pidFile));
  EXPECT_EQ(::kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
}

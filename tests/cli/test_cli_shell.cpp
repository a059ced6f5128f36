// brel-cli as a shell user meets it: what a/x/t/l keep, refuse and report, the help texts and
// the progress line.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "support/TestSupport.h"

namespace {

using namespace testsupport;

// Entry names of an archive, from the peer tool when there is one.
std::set<std::string> Names(const fs::path& Archive) {
  std::set<std::string> out;
  const bool zip = Archive.extension() == ".zip";
  const CommandResult r =
      zip ? testsupport::Run({"unzip", "-Z1", Archive.string()}) : Run({"tar", "-tf", Archive.string()});
  EXPECT_EQ(r.status, 0) << r.out;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) out.insert(line);
  return out;
}

TEST(CliShell, HiddenAndEmptyFoldersArePackedUnlessLeftOut) {
  TempDir t;
  WriteFile(t / "w/src/.git/HEAD", "ref");
  WriteFile(t / "w/src/.profile", "p");
  WriteFile(t / "w/src/a.txt", "a");
  fs::create_directories(t / "w/src/empty");
  WriteFile(t / "w/other/a.txt", "not named");  // same name elsewhere: a named file comes alone
  struct Case {
    std::vector<std::string> args;
    std::set<std::string> names;
  };
  const std::set<std::string> all = {"src/.git/HEAD", "src/.profile", "src/a.txt", "src/empty/"};
  const Case cases[] = {
      {{"x.zip", "src"}, all},
      {{"x.tar", "src"}, all},
      {{"--no-empty-dirs", "x.zip", "src"}, {"src/.git/HEAD", "src/.profile", "src/a.txt"}},
      {{"--no-hidden", "x.zip", "src"}, {"src/a.txt", "src/empty/"}},
      {{"x.zip", "src/a.txt"}, {"a.txt"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.front() + " " + c.args.back());
    fs::remove(t / "w/x.zip");
    fs::remove(t / "w/x.tar");
    std::vector<std::string> args = {"a", "-q"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const CommandResult a = RunCli(args, t / "w");
    ASSERT_EQ(a.status, 0) << a.out;
    EXPECT_EQ(Names(t / "w" / (fs::exists(t / "w/x.zip") ? "x.zip" : "x.tar")), c.names);
  }
}

TEST(CliShell, ArchiveKindFromTheName) {
  TempDir t;
  WriteFile(t / "f.txt", "f");
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* made;  // the file that must exist afterwards ("" none)
  };
  const Case cases[] = {
      {{"out.7z"}, 2, ""},
      {{"x.rar"}, 2, ""},
      {{"-t", "7z", "x.zip"}, 2, ""},
      {{"-t", "zip", "out.7z"}, 0, "out.7z"},
      {{"plain"}, 0, "plain.zip"},
      {{"y.TGZ"}, 0, "y.TGZ"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    std::vector<std::string> args = {"a", "-q"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.push_back("f.txt");
    const CommandResult r = RunCli(args, t.path());
    EXPECT_EQ(r.status, c.status) << r.out;
    if (c.status == 2) {
      EXPECT_NE(r.out.find("zip|lzh|cab|tar|tgz"), std::string::npos) << r.out;
    }
    if (*c.made) {
      EXPECT_TRUE(fs::exists(t / c.made));
    }
  }
  EXPECT_FALSE(fs::exists(t / "out.7z.zip"));
  EXPECT_FALSE(fs::exists(t / "x.rar"));
}

TEST(CliShell, UnmatchedMasksAreNamedAndFail) {
  TempDir t;
  WriteFile(t / "src/a.txt", "a");
  WriteFile(t / "src/b.log", "b");
  const std::string zip = (t / "m.zip").string();
  ASSERT_EQ(RunCli({"a", "-q", zip, (t / "src").string()}).status, 0);
  for (const char* cmd : {"x", "e", "t", "l"}) {
    SCOPED_TRACE(cmd);
    const std::string out = (t / "out" / cmd).string();
    std::vector<std::string> args = {cmd, zip, "nothing*", "*.txt"};
    if (std::string(cmd) == "x" || std::string(cmd) == "e") args.insert(args.begin() + 1, {"-o", out});
    CommandResult r = RunCli(args);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("no entry matches nothing*"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("*.txt"), std::string::npos) << r.out;  // that one matched
    args.erase(args.end() - 2);
    EXPECT_EQ(RunCli(args).status, 0);
  }
  // d names its unmatched masks too, and still deletes what the others select.
  const CommandResult d = RunCli({"d", zip, "*.log", "nothing*"});
  EXPECT_EQ(d.status, 1) << d.out;
  EXPECT_NE(d.out.find("no entry matches nothing*"), std::string::npos) << d.out;
  EXPECT_NE(d.out.find("deleted 1 entry"), std::string::npos) << d.out;
  EXPECT_TRUE(fs::exists(t / "out/x/src/a.txt"));
  EXPECT_TRUE(fs::exists(t / "out/e/a.txt"));
  EXPECT_FALSE(fs::exists(t / "out/x/src/b.log"));
}

// x over its own output: an edited file goes to the (private) Trash before it is replaced,
// unless --overwrite or --skip-existing says otherwise; unchanged files are simply replaced.
TEST(CliShell, ExtractKeepsEditedFilesInTheTrash) {
  TempDir t;
  WriteFile(t / "src/a.txt", "original a");
  WriteFile(t / "src/b.txt", "original b");
  const std::string zip = (t / "k.zip").string(), out = (t / "out").string();
  ASSERT_EQ(RunCli({"a", "-q", zip, (t / "src").string()}).status, 0);
  const fs::path trash = fs::path(getenv("XDG_DATA_HOME")) / "Trash/files";
  const auto trashed = [&] {
    std::multiset<std::string> s;
    if (fs::exists(trash))
      for (const auto& e : fs::directory_iterator(trash)) s.insert(ReadFile(e.path()));
    return s;
  };
  const auto before = trashed();
  struct Step {
    std::vector<std::string> options;
    std::string edit;  // written to out/src/a.txt before the run ("" none)
    const char* summary;
    std::string left;  // out/src/a.txt afterwards
  };
  const Step steps[] = {
      {{}, "", "extracted 2 entries\n", "original a"},
      {{}, "", "extracted 2 entries\n", "original a"},
      {{}, "my edit", "extracted 2 entries, 1 changed file moved to the Trash\n", "original a"},
      {{"--skip-existing"}, "kept edit", "extracted 0 entries, 2 existing files skipped\n", "kept edit"},
      {{"--overwrite"}, "lost edit", "extracted 2 entries\n", "original a"},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.summary);
    if (!s.edit.empty()) WriteFile(t / "out/src/a.txt", s.edit);
    std::vector<std::string> args = {"x", "-o", out};
    args.insert(args.end(), s.options.begin(), s.options.end());
    args.push_back(zip);
    const CommandResult r = RunCli(args);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, s.summary);
    EXPECT_EQ(ReadFile(t / "out/src/a.txt"), s.left);
  }
  auto added = trashed();
  for (const std::string& c : before) added.erase(added.find(c));
  EXPECT_EQ(added, std::multiset<std::string>{"my edit"});
  EXPECT_EQ(RunCli({"x", "--overwrite", "--skip-existing", zip}).status, 2);
}

TEST(CliShell, ShortListingHasATotal) {
  TempDir t;
  WriteFile(t / "d/a.txt", std::string(1000, 'a'));
  WriteFile(t / "d/b.txt", std::string(234, 'b'));
  const std::string zip = (t / "l.zip").string();
  ASSERT_EQ(RunCli({"a", "-q", zip, (t / "d").string()}).status, 0);
  const CommandResult l = RunCli({"l", zip});
  ASSERT_EQ(l.status, 0) << l.out;
  EXPECT_EQ(l.out.substr(0, l.out.find('\n')), "        Size  Date              Name");
  EXPECT_NE(l.out.find("\n        1000  20"), std::string::npos) << l.out;
  EXPECT_NE(l.out.find("  d/a.txt\n"), std::string::npos) << l.out;
  EXPECT_TRUE(l.out.ends_with("\n        1234                    2 entries\n")) << l.out;
  const CommandResult v = RunCli({"l", "-v", zip});
  EXPECT_NE(v.out.find("Deflate"), std::string::npos) << v.out;
}

// The version of the window's caption: the project version with a fourth part.
TEST(CliShell, VersionAndHelp) {
  std::istringstream cmake(ReadFile(BREL_SOURCE_DIR "/CMakeLists.txt"));
  std::string word, version;
  while (cmake >> word && version.empty())
    if (word == "VERSION" && cmake >> version && version.find('.') == std::string::npos) version.clear();
  const CommandResult v = RunCli({"--version"});
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.out, "brel-cli " + version + ".0\n");

  // Every command has a help (the same by both spellings) with one line per option; README's
  // brel-cli section shows the general help as it is and every option's line.
  const std::string readme = ReadFile(BREL_SOURCE_DIR "/README.md");
  const CommandResult general = RunCli({"help"});
  EXPECT_NE(readme.find(general.out), std::string::npos) << "README.md differs from brel-cli help";
  EXPECT_EQ(general.out.find("\n       "), std::string::npos) << "one line per command";
  ASSERT_EQ(general.status, 0);
  for (const char* cmd : {"a", "f", "m", "d", "x", "e", "t", "l", "type", "run"}) {
    SCOPED_TRACE(cmd);
    EXPECT_NE(general.out.find(std::string("\n  ") + cmd + ' '), std::string::npos);
    const CommandResult h = RunCli({"help", cmd});
    EXPECT_EQ(h.status, 0);
    EXPECT_EQ(RunCli({cmd, "--help"}).out, h.out);
    EXPECT_NE(h.out.find("\n  -q  "), std::string::npos) << h.out;
    EXPECT_EQ(h.out.find("\n       "), std::string::npos) << "one line per option\n" << h.out;
    std::istringstream lines(h.out);
    for (std::string line; std::getline(lines, line);)
      if (line.starts_with("  -") && !line.starts_with("  -q ") && !line.starts_with("  --help ")) {
        EXPECT_NE(readme.find(line + '\n'), std::string::npos) << line;
      }
  }
  EXPECT_NE(RunCli({"help", "x"}).out.find("--skip-existing"), std::string::npos);
  EXPECT_EQ(RunCli({"help", "nonsense"}).status, 2);
}

// On a terminal (through script(1)) a long run draws its line; piped or with -q it does not.
TEST(CliShell, ProgressLineOnlyOnATerminal) {
  if (!HaveTool("script")) GTEST_SKIP() << "script missing";
  TempDir t;
  WriteFile(t / "big.bin", RandomBytes(3 << 20, 5));
  const std::string zip = (t / "p.zip").string();
  ScopedEnv now("BREL_PROGRESS_DELAY_MS", "0");
  const auto viaTerminal = [&](const std::string& Args) {
    return testsupport::Run({"script", "-qec", std::string(BREL_CLI) + " " + Args, "/dev/null"}, t.path()).out;
  };
  const std::string shown = viaTerminal("a p.zip big.bin");
  for (const char* part : {"% ", " of 3.0 MiB  ", "B/s  big.bin\x1b[K"})
    EXPECT_NE(shown.find(part), std::string::npos) << shown;
  EXPECT_NE(shown.find("added 1 entry"), std::string::npos);
  EXPECT_EQ(viaTerminal("t -q p.zip").find('%'), std::string::npos);
  EXPECT_EQ(RunCli({"t", zip}).out, "tested 1 entry\n");
}

}  // namespace

// Habits of tar, zip and 7z users, in the order a shell session would meet them: each command
// line with its exit status and a piece of what it prints ("" when anything goes).
TEST(CliShell, CommandLinesPeopleType) {
  TempDir t;
  WriteFile(t / "w/proj/a.txt", "alpha");
  WriteFile(t / "w/proj/sub/B.txt", "beta");
  fs::create_directories(t / "w/emptydir");
  struct Step {
    std::vector<std::string> args;
    int status;
    const char* says;
  };
  const Step steps[] = {
      {{"a", "proj.zip", "proj"}, 0, "added 2 entries"},
      {{"a", "proj.zip", "proj"}, 0, "proj.zip is up to date"},  // nothing to do is no failure
      {{"f", "proj.zip", "proj"}, 0, "is up to date"},
      {{"d", "proj.zip", "nomatch*"}, 1, "no entry matches"},               // d with no match stays one
      {{"l", "proj.zip", "PROJ/A.TXT"}, 1, "no entry matches PROJ/A.TXT"},  // masks keep case
      {{"l", "-i", "proj.zip", "PROJ/A.TXT"}, 0, "proj/a.txt"},
      {{"x", "-oout", "proj.zip", "proj/sub/*"}, 0, "extracted 1 entry"},  // 7z's -oDIR
      {{"x", "--overwite", "proj.zip"}, 2, "did you mean --overwrite?"},
      {{"a", "-0", "s.zip", "proj"}, 0, ""},
      {{"l", "-v", "s.zip"}, 0, "Stored"},
      {{"a", "-mx=9", "-r", "m.zip", "proj"}, 0, "added 2 entries"},
      {{"a", "-mx=x", "bad.zip", "proj"}, 2, "level"},
      {{"l", "-v", "m.zip"}, 0, "Packed"},
      {{"type", "m.zip"}, 0, "m.zip: ZIP\n"},
      {{"a", "e.tar", "emptydir"}, 0, "added 1 entry"},  // an empty folder is stored itself
      {{"l", "e.tar"}, 0, "emptydir/"},
      {{"a", "-t", "zip", "backup.dat", "proj/a.txt"}, 0, ""},
      {{"a", "backup.dat", "proj/sub"}, 0, "added 1 entry"},  // a ZIP by content, whatever its name
      {{"type", "backup.dat"}, 0, "backup.dat: ZIP"},
  };
  for (const Step& s : steps) {
    std::string line;
    for (const std::string& a : s.args) line += a + ' ';
    SCOPED_TRACE(line);
    const CommandResult r = RunCli(s.args, t / "w");
    EXPECT_EQ(r.status, s.status) << r.out;
    EXPECT_NE(r.out.find(s.says), std::string::npos) << r.out;
  }
  EXPECT_TRUE(fs::exists(t / "w/out/proj/sub/B.txt"));
  EXPECT_FALSE(fs::exists(t / "w/out/proj/a.txt"));
}

// "-" as the archive in pipes, each checked by a peer on the other end.
TEST(CliShell, ArchivesThroughPipes) {
  REQUIRE_TOOLS("tar", "unzip", "sh");
  TempDir t;
  WriteFile(t / "w/dir/a.txt", "alpha");
  WriteFile(t / "w/dir/sub/b.txt", "beta");
  const std::string cli = BREL_CLI;
  struct Pipe {
    std::string line;
    int status;
    const char* says;
  };
  const Pipe pipes[] = {
      {cli + " a -t tgz - dir | tar -tzf -", 0, "dir/sub/b.txt"},
      {cli + " a -t tar - dir | tar -tf -", 0, "dir/a.txt"},
      {cli + " a -t zip - dir > x.zip && unzip -t x.zip", 0, "No errors detected"},
      {cli + " a -t zip - dir 2>&1 >/dev/null", 0, "added 2 entries to standard output"},
      {"cat x.zip | " + cli + " l -", 0, "dir/sub/b.txt"},
      {"cat x.zip | " + cli + " x -o out - && cat out/dir/a.txt", 0, "alpha"},
      {cli + " x -o - x.zip 2>&1 >/dev/null", 0, "extracted 2 entries"},
      {cli + " x -o - x.zip 'dir/sub/*'", 0, "beta"},
      {cli + " a - dir", 2, "needs -t KIND"},
      {"echo junk | " + cli + " t -", 1, "25244"},
  };
  for (const Pipe& p : pipes) {
    SCOPED_TRACE(p.line);
    const CommandResult r = testsupport::Run({"sh", "-c", p.line}, t / "w");
    EXPECT_EQ(r.status, p.status) << r.out;
    EXPECT_NE(r.out.find(p.says), std::string::npos) << r.out;
  }
  // x -o -: every kind's files, whole and in archive order, and nothing else on stdout: a
  // stored link's target neither (LZH and CAB store the file the link names).
  fs::create_symlink("a.txt", t / "w/dir/link");
  for (const std::string kind : {"zip", "lzh", "cab", "tar", "tgz", "txz"}) {
    SCOPED_TRACE(kind);
    const std::string name = "k." + kind;
    const std::string links = kind == "zip" ? " --symlinks" : "";
    const std::string expected = kind == "lzh" || kind == "cab" ? "alphaalphabeta" : "alphabeta";
    const CommandResult r = testsupport::Run(
        {"sh", "-c",
         cli + " a -q" + links + " -t " + kind + " " + name + " dir && " + cli + " x -o - " + name + " 2>/dev/null"},
        t / "w");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, expected);
    EXPECT_FALSE(fs::exists(t / "w/-"));
  }
}

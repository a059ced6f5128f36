// brel-cli: "type" on the archives of other programs and on built samples; exit statuses and
// messages of the common front end.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "core/test_detect_samples.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
namespace ds = detect_samples;
using testsupport::TempDir;
using testsupport::Testdata;
using testsupport::WriteFile;

// "FILE: DISPLAY (VALUE) start N" -> "VALUE start N" (or "VALUE" without a start).
std::string Summary(const std::string& line) {
  const size_t open = line.rfind('('), close = line.rfind(')');
  if (open == std::string::npos || close == std::string::npos) return "?" + line;
  return line.substr(open + 1, close - open - 1) + line.substr(close + 1);
}

TEST(CliType, ArchivesOfOtherPrograms) {
  std::map<std::string, std::string> want;
  std::vector<std::string> args;
  for (const auto& dir : {"cab", "lzh", "tar", "zip"}) {
    for (const auto& e : fs::directory_iterator(Testdata(dir))) {
      const std::string name = e.path().filename().string();
      std::string v = std::string(dir) == "cab"   ? "atCab"
                      : std::string(dir) == "lzh" ? "atLha"
                      : std::string(dir) == "tar" ? "atTar"
                      : name.ends_with(".jar")    ? "atJar"
                                                  : "atZip";
      std::string start = name == "test_read_format_zip_sfx"                       ? "1024"
                          : name == "test_compat_zip_4.zip"                        ? "511"
                          : name == "test_read_format_tar_empty_with_gnulabel.tar" ? "512"
                                                                                   : "0";
      want[e.path().string()] = v + " start " + start;
      args.push_back(e.path().string());
    }
  }
  args.insert(args.begin(), {"type", "-v"});
  const auto r = testsupport::RunCli(args);
  ASSERT_EQ(r.status, 0) << r.out;
  std::istringstream lines(r.out);
  std::string line;
  size_t seen = 0;
  while (std::getline(lines, line)) {
    const std::string file = line.substr(0, line.find(": "));
    ASSERT_TRUE(want.count(file)) << line;
    EXPECT_EQ(Summary(line), want[file]) << line;
    ++seen;
  }
  EXPECT_EQ(seen, want.size());
}

TEST(CliType, BuiltSamples) {
  TempDir t("clitype");
  const std::string zip = ds::SmallZip();
  const std::vector<std::pair<std::string, std::string>> files = {
      {"stub7612.exe", ds::ExeStub(7612) + zip},
      {"stub20000.exe", ds::ExeStub(20000, 20000) + zip},
      {"lzh128.lzh", ds::LzhBehindZeros()},
      {"label.tar", ds::UstarWithLabel()},
      {"hello.uue", ds::UueText()},
      {"a.gz", ds::GzipBytes()},
      {"a.Z", ds::CompressBytes()},
      {"short.bin", zip.substr(0, 19)},
      {"letter.txt", ds::PlainText()},
  };
  const std::vector<std::string> want = {"atZipExe start 7612",
                                         "atZipExe start 20000",
                                         "atLha start 128",
                                         "atTar start 512",
                                         "atUUE start 0",
                                         "atGZip start 0",
                                         "atGZip start 0",
                                         "atNA",
                                         "atNA"};
  std::vector<std::string> args = {"type", "-v"};
  for (const auto& [name, bytes] : files) {
    WriteFile(t / name, bytes);
    args.push_back((t / name).string());
  }
  const auto r = testsupport::RunCli(args);
  ASSERT_EQ(r.status, 0) << r.out;
  std::istringstream lines(r.out);
  std::string line;
  for (size_t i = 0; i < want.size(); ++i) {
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line.substr(0, line.find(": ")), (t / files[i].first).string());
    EXPECT_EQ(Summary(line), want[i]) << line;
  }
}

TEST(CliType, RealToolsOutput) {
  REQUIRE_TOOLS("gzip", "tar", "zip");
  TempDir t("clitools");
  WriteFile(t / "in/a.txt", testsupport::TextBytes(5000, 1));
  const std::vector<std::pair<std::vector<std::string>, std::string>> made = {
      {{"gzip", "-k", "in/a.txt"}, "in/a.txt.gz"},
      {{"tar", "-cf", "t.tar", "-V", "LABEL", "in"}, "t.tar"},
      {{"zip", "-qr", "z.jar", "in"}, "z.jar"}};
  const std::map<std::string, std::string> want = {
      {"in/a.txt.gz", "atGZip start 0"}, {"t.tar", "atTar start 512"}, {"z.jar", "atJar start 0"}};
  for (const auto& [cmd, out] : made) {
    ASSERT_EQ(testsupport::Run(cmd, t.path()).status, 0) << cmd[0];
    const auto r = testsupport::RunCli({"type", "-v", (t / out).string()});
    EXPECT_EQ(Summary(r.out.substr(0, r.out.find('\n'))), want.at(out)) << r.out;
  }
}

TEST(CliType, ErrorsAndUsage) {
  TempDir t("clierr");
  WriteFile(t / "ok.zip", ds::SmallZip());
  const auto missing = testsupport::RunCli({"type", "-v", (t / "ok.zip").string(), (t / "gone.zip").string()});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.out.find("atZip"), std::string::npos);  // the other files are still typed
  EXPECT_NE(missing.out.find("brel-cli: 25192 File not found: " + (t / "gone.zip").string()), std::string::npos)
      << missing.out;
  const auto dir = testsupport::RunCli({"type", t.path().string()});
  EXPECT_EQ(dir.status, 1);
  EXPECT_NE(dir.out.find("brel-cli: 25235 Error opening file"), std::string::npos) << dir.out;

  EXPECT_EQ(testsupport::RunCli({"type"}).status, 2);
  EXPECT_EQ(testsupport::RunCli({"type", "--bogus", "x"}).status, 2);
  EXPECT_EQ(testsupport::RunCli({"nosuchcommand"}).status, 2);
  EXPECT_EQ(testsupport::RunCli({}).status, 2);
  EXPECT_EQ(testsupport::RunCli({"--help"}).status, 0);
  // Relative paths are made absolute for the component; -q is accepted everywhere.
  const auto rel = testsupport::RunCli({"type", "-q", "-v", "ok.zip"}, t.path());
  EXPECT_EQ(rel.status, 0);
  EXPECT_EQ(Summary(rel.out.substr(0, rel.out.find('\n'))), "atZip start 0");
  // Without -v only the kind's display name, as people read it.
  EXPECT_EQ(testsupport::RunCli({"type", "ok.zip"}, t.path()).out, "ok.zip: ZIP\n");
}

}  // namespace

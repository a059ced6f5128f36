// The window with its real jobs: a dropped folder becomes FOLDER.zip (or .lzh), and the dropped archive is
// extracted beside itself, as a user sees it.
#include "FormFixture.h"
#include "ui/AdvStatus.h"
#include "ui/LbSpeedButton.h"

#include <QRadioButton>
#include <QTest>
#include <algorithm>
#include <filesystem>
#include <sstream>

namespace {

TEST_F(FormFixture, DroppedFolderIsPackedAndTheDroppedArchiveExtracted) {
  form->UseRealJobs();
  Show();
  const struct {
    QRadioButton* Kind;
    const char* Folder;
    const char* Ext;
  } kinds[] = {{form->rbtZIP, "z", ".zip"}, {form->rbtLZH, "l", ".lzh"}};
  for (const auto& k : kinds) {
    SCOPED_TRACE(k.Ext);
    const std::string folder = std::string(k.Folder) + "/folder";
    dir.File(folder + "/a.txt", 4000);
    dir.File(folder + "/sub/b.txt", 10);
    QTest::mouseClick(k.Kind, Qt::LeftButton);

    Drop({dir / folder});
    ASSERT_EQ(form->lstFile->topLevelItemCount(), 1);
    QTest::mouseClick(form->btnRun, Qt::LeftButton);
    EXPECT_EQ(form->StatusText(), "     Ready");
    EXPECT_EQ(form->lstFile->topLevelItemCount(), 0);
    const std::string archive = dir / (folder + k.Ext);
    const std::string bytes = testsupport::ReadFile(archive);
    ASSERT_GT(bytes.size(), 22u);

    std::filesystem::rename(dir / folder, dir / (std::string(k.Folder) + "/original"));
    Drop({archive});
    QTest::mouseClick(form->btnRun, Qt::LeftButton);
    EXPECT_EQ(form->StatusText(), "     Ready");
    // The entries' top folder is the folder's own name: not doubled.
    EXPECT_EQ(testsupport::ReadFile(dir / (folder + "/a.txt")), std::string(4000, 'x'));
    EXPECT_EQ(testsupport::ReadFile(dir / (folder + "/sub/b.txt")), std::string(10, 'x'));
  }
}

}  // namespace

namespace {

using NameList = std::vector<std::string>;

// Entry names of a ZIP archive as Info-ZIP's unzip lists them, sorted.
NameList ZipNames(const std::string& zip) {
  const testsupport::CommandResult r = testsupport::Run({"unzip", "-Z1", zip});
  EXPECT_EQ(r.status, 0) << r.out;
  NameList names;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) names.push_back(line);
  std::sort(names.begin(), names.end());
  return names;
}

// A listed folder adds its whole tree and a listed file only itself, whichever comes first.
TEST_F(FormFixture, FoldersRecurseAndFilesDoNotInAnyOrder) {
  if (!testsupport::HaveTool("unzip")) GTEST_SKIP() << "unzip is missing";
  form->UseRealJobs();
  Show();
  dir.File("w/Makefile");
  dir.File("w/docs/a.txt");
  dir.File("w/docs/sub/b.txt");
  dir.File("w/docs/sub/Makefile");
  dir.File("w/other/Makefile");  // beside the listed ones, never listed
  // Stored names start with the listed path's folder (sdRelativeStoreStart).
  const NameList expected = {"docs/a.txt", "docs/sub/Makefile", "docs/sub/b.txt", "w/Makefile"};
  const struct {
    NameList listed;
    const char* archive;
  } cases[] = {{{"w/Makefile", "w/docs"}, "w/Makefile.zip"}, {{"w/docs", "w/Makefile"}, "w/docs.zip"}};
  for (const auto& c : cases) {
    NameList listed;
    for (const std::string& p : c.listed) listed.push_back(dir / p);
    form->AddFiles(listed);
    form->btnRunClick();
    EXPECT_EQ(form->StatusText(), "     Ready") << c.archive;
    EXPECT_EQ(ZipNames(dir / c.archive), expected) << c.archive;
  }
}

TEST_F(FormFixture, PackingAnUnchangedFolderAgainIsUpToDate) {
  form->UseRealJobs();
  Show();
  dir.File("docs/a.txt", 100);
  const std::string zip = dir / "docs.zip";
  for (const char* expected : {"Packed into ", "Up to date: "}) {
    form->AddFiles({dir / "docs"});
    form->btnRunClick();
    EXPECT_EQ(form->StatusText(), "     Ready");
    EXPECT_EQ(form->STB->PanelHint(0), expected + zip);
  }
  // An empty folder makes no archive: that is an error.
  form->AddFiles({dir.Folder("empty")});
  form->btnRunClick();
  EXPECT_EQ(form->StatusText(), "     Erorr");
  EXPECT_NE(form->STB->PanelHint(0).find("25268 Nothing to do"), std::string::npos) << form->STB->PanelHint(0);
}

TEST_F(FormFixture, GzippedTarsAreExtractedBesideThemselves) {
  if (!testsupport::HaveTool("tar")) GTEST_SKIP() << "GNU tar is missing";
  form->UseRealJobs();
  Show();
  dir.File("src/a.txt", 3000);
  dir.File("src/sub/b.txt", 20);
  for (const char* name : {"one.tgz", "two.tar.gz"})
    ASSERT_EQ(testsupport::Run({"tar", "czf", dir / name, "-C", dir.Path(), "src"}).status, 0);
  form->AddFiles({dir / "one.tgz", dir / "two.tar.gz"});
  form->btnRunClick();
  EXPECT_EQ(form->StatusText(), "     Ready") << form->STB->PanelHint(0);
  for (const char* folder : {"one", "two"})
    EXPECT_EQ(testsupport::ReadTree(dir / (std::string(folder) + "/src")), testsupport::ReadTree(dir / "src"))
        << folder;
  EXPECT_FALSE(std::filesystem::exists(dir / "one.zip"));
  // No temporary tar is left beside them.
  int entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.Path())) ++entries;
  EXPECT_EQ(entries, 5);  // src, one.tgz, two.tar.gz, one, two
}

}  // namespace

namespace {

// Extracting again never touches the first extraction: the user's edit stays, the archive goes
// into a new folder.
TEST_F(FormFixture, ExtractingAgainKeepsTheEditsOfTheFirstExtraction) {
  form->UseRealJobs();
  Show();
  dir.File("docs/a.txt", 0, "archived text");
  form->AddFiles({dir / "docs"});
  form->btnRunClick();
  std::filesystem::rename(dir / "docs", dir / "original");
  for (int run = 0; run < 2; ++run) {
    form->AddFiles({dir / "docs.zip"});
    form->btnRunClick();
    ASSERT_EQ(form->StatusText(), "     Ready") << form->STB->PanelHint(0);
    if (run == 0) testsupport::WriteFile(dir / "docs/a.txt", "the user's edit");
  }
  EXPECT_EQ(testsupport::ReadFile(dir / "docs/a.txt"), "the user's edit");
  EXPECT_EQ(testsupport::ReadFile(dir / "docs (2)/a.txt"), "archived text");
  EXPECT_NE(form->STB->PanelHint(0).find(dir / "docs (2)"), std::string::npos) << form->STB->PanelHint(0);
}

}  // namespace

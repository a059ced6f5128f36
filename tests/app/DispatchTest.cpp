#include "FormFixture.h"
#include "app/EditEx.h"
#include "ui/AdvStatus.h"
#include "ui/LbSpeedButton.h"
#include "ui/xxComboBox.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <sys/stat.h>
#include <utility>

BREL_QT_TEST_ENVIRONMENT;

namespace {

struct DispatchCase {
  const char* name;
  std::vector<std::string> files, folders, listed;
  bool useUpx;
  std::vector<std::string> expected;
};

class Dispatch : public FormFixture, public ::testing::WithParamInterface<DispatchCase> {};

TEST_P(Dispatch, ExecuteSendsTheListToTheRightJobs) {
  const DispatchCase& c = GetParam();
  for (const std::string& f : c.files) dir.File(f, 100);
  for (const std::string& f : c.folders) dir.Folder(f);
  std::vector<std::string> listed;
  for (const std::string& f : c.listed) listed.push_back(dir / f);
  form->chkUseUPX->setChecked(c.useUpx);
  form->AddFiles(listed);
  Execute();
  EXPECT_EQ(log, c.expected);
  EXPECT_EQ(form->lstFile->topLevelItemCount(), 0);
  EXPECT_EQ(form->StatusText(), "     Ready");
}

const DispatchCase kDispatchCases[] = {
    {"OneExecutableWithUpx", {"setup.exe"}, {}, {"setup.exe"}, true, {"upx 0 7 setup.exe icons backup"}},
    {"OneExecutableWithoutUpx", {"setup.exe"}, {}, {"setup.exe"}, false, {"make 0 setup.exe"}},
    // Whole extensions only: pieces of ".EXE;.COM;..." or ".ZIP;.LZH;.TAR..." are not.
    {"ShortenedExtensionIsPacked", {"tool.ex"}, {}, {"tool.ex"}, true, {"make 0 tool.ex"}},
    {"SourceFileIsPacked", {"main.c"}, {}, {"main.c"}, true, {"make 0 main.c"}},
    {"SourcesAreAllPacked",
     {"main.c", "util.c", "Makefile"},
     {},
     {"main.c", "util.c", "Makefile"},
     true,
     {"make 0 main.c|util.c|Makefile"}},
    {"OddExtensionsArePacked", {"a.t", "x.z", "notes."}, {}, {"a.t", "x.z", "notes."}, true, {"make 0 a.t|x.z|notes."}},
    {"GzippedTarsAreExtracted",
     {"a.tgz", "b.TAR.GZ", "c.gz"},
     {},
     {"a.tgz", "b.TAR.GZ", "c.gz"},
     true,
     {"unpack a.tgz", "unpack b.TAR.GZ", "unpack c.gz"}},
    {"TwoExecutablesArePacked", {"a.exe", "b.dll"}, {}, {"a.exe", "b.dll"}, true, {"make 0 a.exe|b.dll"}},
    {"FolderNamedLikeAnExecutable", {}, {"tools.exe"}, {"tools.exe"}, true, {"make 0 tools.exe/*.*"}},
    {"MixedList",
     {"a.zip", "b.txt", "c.lzh"},
     {},
     {"a.zip", "b.txt", "c.lzh"},
     true,
     {"unpack a.zip", "unpack c.lzh", "make 0 b.txt"}},
    {"OnlyArchives",
     {"a.zip", "b.CAB", "c.tar"},
     {},
     {"a.zip", "b.CAB", "c.tar"},
     true,
     {"unpack a.zip", "unpack b.CAB", "unpack c.tar"}},
    {"OneArchive", {"notes.zip"}, {}, {"notes.zip"}, true, {"unpack notes.zip"}},
    {"MissingFileIsStillPacked", {}, {}, {"gone.txt"}, true, {"make 0 gone.txt"}},
    {"EmptyList", {}, {}, {}, true, {}},
};

INSTANTIATE_TEST_SUITE_P(Window, Dispatch, ::testing::ValuesIn(kDispatchCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FormFixture, ArchiveKindAndUpxOptionsReachTheJobs) {
  dir.File("a.txt");
  dir.File("setup.exe");
  form->rbtCAB->click();
  EXPECT_EQ(form->ArchiveKind, 2);
  form->AddFiles({dir / "a.txt"});
  Execute();
  form->rbtCmp03->click();
  form->cmbComp->setCurrentIndex(9);
  form->chkCompIco->setChecked(false);
  form->AddFiles({dir / "setup.exe"});
  Execute();
  form->cmbComp->setCurrentIndex(-1);
  form->chkBackup->setChecked(false);
  form->AddFiles({dir / "setup.exe"});
  Execute();
  EXPECT_EQ(log, (std::vector<std::string>{"make 2 a.txt", "upx 2 10 setup.exe backup", "upx 2 0 setup.exe"}));
}

TEST_F(FormFixture, ErrorReportedByAJobShowsUntilTheNextExecute) {
  dir.File("a.txt");
  form->MakeArchiveJob = [this](int, const std::vector<std::string>&) {
    form->ArchiveError(nullptr, "a.txt", "", "a.zip", 25244);
  };
  form->AddFiles({dir / "a.txt"});
  Execute();
  EXPECT_TRUE(form->ErrorFlag);
  EXPECT_EQ(form->StatusText(), "     Erorr");
  Execute();  // nothing listed: a clean run
  EXPECT_FALSE(form->ErrorFlag);
  EXPECT_EQ(form->StatusText(), "     Ready");

  // A job that throws counts as failed and still leaves the busy state.
  form->MakeArchiveJob = [](int, const std::vector<std::string>&) { throw std::runtime_error("x"); };
  form->AddFiles({dir / "a.txt"});
  Execute();
  EXPECT_EQ(form->StatusText(), "     Erorr");
  EXPECT_FALSE(form->Busy());
  EXPECT_TRUE(form->btnRun->isEnabled());
}

TEST_F(FormFixture, RunningJobLocksEverythingThatCouldStartOrChangeAnother) {
  Show();
  dir.File("a.txt");
  form->chkUseUPX->setChecked(false);  // its controls must stay off afterwards
  std::vector<bool> enabled;
  duringJob = [this, &enabled] {
    EXPECT_EQ(form->StatusText(), "     Execute");
    // Execute (now Cancel) and close stay live: they stop the run.
    for (QWidget* w : std::initializer_list<QWidget*>{form->btnVer, form->lstFile, form->chkUseUPX, form->cmbComp,
                                                      form->rbtZIP, form->rbtCmp02})
      enabled.push_back(w->isEnabled());
    EXPECT_FALSE(form->FileDrop1->Accept());
    // Neither a second Execute nor a drop gets through.
    form->btnRunClick();
    Drop({dir.File("late.txt")});
    EXPECT_EQ(form->lstFile->topLevelItemCount(), 1);
  };
  form->AddFiles({dir / "a.txt"});
  Execute();
  EXPECT_EQ(enabled, std::vector<bool>(6, false));
  EXPECT_EQ(log.size(), 1u);
  EXPECT_TRUE(form->btnRun->isEnabled());
  EXPECT_TRUE(form->btnVer->isEnabled());
  EXPECT_TRUE(form->lstFile->isEnabled());
  EXPECT_TRUE(form->chkUseUPX->isEnabled());
  EXPECT_TRUE(form->FileDrop1->Accept());
  EXPECT_FALSE(form->cmbComp->isEnabled());
  EXPECT_FALSE(form->chkBackup->isEnabled());
  EXPECT_TRUE(form->rbtZIP->isEnabled());
}

TEST_F(FormFixture, PathsHandedOverDuringAJobAreListedWhenItEnds) {
  Show();
  dir.File("a.txt");
  duringJob = [this] {
    form->OpenPaths({dir.File("late.txt")});
    EXPECT_EQ(Names(), (std::vector<std::string>{"a.txt"}));
  };
  form->AddFiles({dir / "a.txt"});
  Execute();
  EXPECT_EQ(Names(), (std::vector<std::string>{"late.txt"}));
  form->OpenPaths({dir.File("now.txt")});
  EXPECT_EQ(Names(), (std::vector<std::string>{"late.txt", "now.txt"}));
}

TEST_F(FormFixture, StatusTooltipAndOutputPaneTellWhatTheRunDid) {
  dir.File("a.txt");
  dir.File("b.zip");
  form->MakeArchiveJob = [this](int, const std::vector<std::string>& paths) {
    form->ArchiveError(nullptr, dir / "a.txt", "No space left on device", "0", 25160);
    form->NoteJobResult(paths.front(), {joFailed, dir / "a.zip"}, false);
  };
  form->UnpackArchiveJob = [this](const std::string& path) { form->NoteJobResult(path, {joDone, dir / "b"}, true); };
  form->AddFiles({dir / "b.zip", dir / "a.txt"});
  Execute();
  const std::vector<std::string> expected = {
      "Extracted " + (dir / "b.zip") + " into " + (dir / "b"),
      "25160 Disk full (No space left on device): " + (dir / "a.txt"),
      "Packing into " + (dir / "a.zip") + " failed",
  };
  EXPECT_EQ(form->RunLines(), expected);
  EXPECT_EQ(form->STB->PanelHint(0), expected[0] + "\n" + expected[1] + "\n" + expected[2]);
  EXPECT_EQ(form->Memo1->toPlainText().toStdString(), form->STB->PanelHint(0));
  EXPECT_EQ(form->StatusText(), "     Erorr");  // the texts themselves stay as they were
}

TEST_F(FormFixture, UseUpxSwitchesTheUpxOptions) {
  form->chkUseUPX->setChecked(false);
  EXPECT_FALSE(form->rbtCmp01->isEnabled());
  EXPECT_FALSE(form->chkCompIco->isEnabled());
  EXPECT_FALSE(form->lblComp->isEnabled());
  EXPECT_EQ(form->cmbComp->palette().color(QPalette::Text), QColor(0xC0, 0xC0, 0xC0));
  form->chkUseUPX->setChecked(true);
  EXPECT_TRUE(form->rbtCmp04->isEnabled());
  EXPECT_TRUE(form->cmbComp->isEnabled());
  EXPECT_EQ(form->cmbComp->palette().color(QPalette::Text), QColor(Qt::black));
}

TEST_F(FormFixture, OutputPaneHeightsAndVersionButton) {
  Show();
  EXPECT_EQ(form->height(), kCollapsedHeight);
  EXPECT_EQ(form->STB->geometry(), QRect(0, kCollapsedHeight - 22, 492, 22));
  form->lblOutClick();
  EXPECT_EQ(form->height(), kExpandedHeight);
  EXPECT_EQ(form->STB->geometry(), QRect(0, kExpandedHeight - 22, 492, 22));
  // Expanded: "UPX ver" only collapses.
  form->btnVerClick();
  EXPECT_EQ(form->height(), kCollapsedHeight);
  EXPECT_TRUE(log.empty());
  // Collapsed: it expands and asks the packer for its version.
  form->btnVerClick();
  EXPECT_EQ(form->height(), kExpandedHeight);
  EXPECT_EQ(log, (std::vector<std::string>{"upx 0 0 -V"}));
  // An archive job collapses the pane again.
  dir.File("a.txt");
  form->AddFiles({dir / "a.txt"});
  Execute();
  EXPECT_EQ(form->height(), kCollapsedHeight);
}

TEST_F(FormFixture, CaptionCarriesTheVersion) {
  EXPECT_EQ(form->windowTitle().toStdString(), "VX/BREL ver 1.3.0.0 : UPX/ZIP/LZH/CAB/TAR");
}

TEST_F(FormFixture, CommandLinePathsAreListedOnceTheWindowIsVisible) {
  form->SetStartupPaths({dir.File("one.txt"), dir.Folder("two")});
  QCoreApplication::processEvents();
  EXPECT_EQ(form->lstFile->topLevelItemCount(), 0);
  Show();
  QTRY_COMPARE(form->lstFile->topLevelItemCount(), 2);
  EXPECT_EQ(Names(), (std::vector<std::string>{"one.txt", "two"}));
  EXPECT_FALSE(form->mmMSG->isVisible());
}

TEST_F(FormFixture, ClosingTheListOfLevelsOrEnteringTheDescriptionFocusesTheList) {
  Show();
  form->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
  form->cmbComp->setFocus();
  form->cmbComp->showPopup();
  form->cmbComp->hidePopup();
  QTRY_VERIFY(form->lstFile->hasFocus());
  form->chkBackup->setFocus();
  form->mmMSG->setFocus();
  QTRY_VERIFY(form->lstFile->hasFocus());
}

}  // namespace

namespace {

TEST(UpxInWindow, PrivateFolderHoldsThePackerWhileTheWindowLives) {
  TTempDir dir;
  auto form = std::make_unique<TfrmBrel>(dir / "brel");
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  const std::string upxDir = form->UpxDir;
  ASSERT_FALSE(upxDir.empty());
  struct stat st {};
  ASSERT_EQ(::lstat(upxDir.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(std::filesystem::exists(upxDir + "/upx"));

  // "UPX ver" runs the packer and shows what it prints.
  form->btnVerClick();
  const std::string memo = form->Memo1->toPlainText().toStdString();
  EXPECT_NE(memo.find("Version information of UPX..."), std::string::npos) << memo;
  EXPECT_NE(memo.find("upx 3.94"), std::string::npos) << memo;
  EXPECT_EQ(form->height(), kExpandedHeight);

  form.reset();
  EXPECT_FALSE(std::filesystem::exists(upxDir + "/upx"));
}

}  // namespace

// The window as a desktop user drives it: keyboard, Cancel, closing during a run, the password
// question, resizing, its place on the screen and its labels in two languages.
#include "FormFixture.h"
#include "app/Settings.h"
#include "ui/AdvStatus.h"
#include "ui/LbSpeedButton.h"
#include "ui/xxComboBox.h"

#include <QCheckBox>
#include <QDialog>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QScreen>
#include <QTimer>

namespace {

TEST_F(FormFixture, KeyboardReachesTheButtonsRunsAndCancels) {
  Show();
  form->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
  // Tab from the last option goes to Execute, then to close.
  form->rbtTAR->setFocus();
  QTest::keyClick(form->rbtTAR, Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), form->btnRun);
  QTest::keyClick(form->btnRun, Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), form->btnClose);

  // Enter in the list runs Execute; Esc during the run cancels it, and the button says so.
  dir.File("a.txt");
  dir.File("b.zip");
  std::string caption;
  bool enabled = false;
  duringJob = [&] {
    caption = form->btnRun->Caption();
    enabled = form->btnRun->isEnabled() && form->btnClose->isEnabled();
    EXPECT_EQ(form->ArchiveEvents().Cancel->load(), false);
    QTest::keyClick(form.get(), Qt::Key_Escape);
    EXPECT_TRUE(form->ArchiveEvents().Cancel->load());
  };
  form->AddFiles({dir / "b.zip", dir / "a.txt"});
  form->lstFile->setFocus();
  QTest::keyClick(form->lstFile, Qt::Key_Return);
  EXPECT_EQ(log, (std::vector<std::string>{"unpack b.zip"}));  // the packing after it is left out
  EXPECT_EQ(caption, "中止");
  EXPECT_TRUE(enabled);
  EXPECT_EQ(form->StatusText(), "     中止しました");
  EXPECT_EQ(form->btnRun->Caption(), "Execute");
  EXPECT_TRUE(form->isVisible());

  // The Cancel button does the same; idle, Esc closes the window.
  duringJob = [&] { form->btnRunClick(); };
  form->AddFiles({dir / "b.zip"});
  Execute();
  EXPECT_TRUE(form->CancelRequested());
  QTest::keyClick(form.get(), Qt::Key_Escape);
  EXPECT_FALSE(form->isVisible());
}

TEST_F(FormFixture, PasswordQuestionGivesThePasswordOrSkips) {
  struct Case {
    bool accept, forAll;
  };
  for (const Case c : {Case{true, true}, Case{true, false}, Case{false, false}}) {
    std::string echo;
    QTimer::singleShot(0, [&] {
      auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
      ASSERT_TRUE(dialog);
      auto* field = dialog->findChild<QLineEdit*>();
      EXPECT_EQ(field->echoMode(), QLineEdit::Password);
      QTest::keyClicks(field, "s3cret");
      dialog->findChild<QCheckBox*>()->setChecked(c.forAll);
      echo = dialog->findChild<QLabel*>()->text().toStdString();
      c.accept ? dialog->accept() : dialog->reject();
    });
    std::string password;
    bool forAll = false;
    // The job's question reaches the window's dialog.
    const bool given = form->ArchiveEvents().OnGetPassword("/in/x.zip", "doc/a.txt", password, forAll);
    EXPECT_EQ(given, c.accept);
    EXPECT_EQ(password, c.accept ? "s3cret" : "");
    EXPECT_EQ(forAll, c.accept && c.forAll);
    EXPECT_NE(echo.find("doc/a.txt"), std::string::npos);
    EXPECT_EQ(echo.find("s3cret"), std::string::npos);
  }
}

TEST_F(FormFixture, RunLinesTellWhereEachArchiveWentAndWhatWasLeftOut) {
  form->UnpackArchiveJob = [this](const std::string& path) {
    TJobResult result{joDone, dir / "b (2)"};
    result.Skipped = 2;
    result.SkipReason = "encrypted, no password given";
    form->NoteJobResult(path, result, true);
  };
  form->MakeArchiveJob = [this](int, const std::vector<std::string>& paths) {
    form->NoteJobResult(paths.front(), {joCancelled, dir / "a.zip"}, false);
  };
  form->AddFiles({dir.File("b.zip"), dir.File("a.txt")});
  Execute();
  const std::vector<std::string> expected = {
      "Extracted " + (dir / "b.zip") + " into " + (dir / "b (2)"),
      "2 entries of " + (dir / "b.zip") + " not extracted: encrypted, no password given",
      "Packing into " + (dir / "a.zip") + " cancelled; an archive there before stays as it was",
  };
  EXPECT_EQ(form->RunLines(), expected);
  EXPECT_EQ(form->Memo1->toPlainText().toStdString(), form->STB->PanelHint(0));
}

// An archive made by zip -P, extracted by Execute: the password asked once for all its entries,
// or declined, and then the run says what was left out.
TEST_F(FormFixture, EncryptedZipAsksThePasswordInTheWindow) {
  REQUIRE_TOOLS("zip");
  for (const bool give : {true, false}) {
    SCOPED_TRACE(give);
    const std::string in = dir.Folder(give ? "given" : "declined");
    testsupport::WriteFile(in + "/a.txt", "alpha");
    testsupport::WriteFile(in + "/b.txt", "beta");
    ASSERT_EQ(testsupport::Run({"zip", "-q", "-P", "s3cret", "x.zip", "a.txt", "b.txt"}, in).status, 0);
    std::filesystem::remove(in + "/a.txt");
    std::filesystem::remove(in + "/b.txt");
    Open();
    form->UseRealJobs();
    int asked = 0;
    form->GetPassword = [&](const std::string& archive, const std::string&, std::string& password, bool& forAll) {
      ++asked;
      EXPECT_EQ(archive, in + "/x.zip");
      password = "s3cret";
      forAll = true;
      return give;
    };
    form->AddFiles({in + "/x.zip"});
    Execute();
    EXPECT_EQ(asked, 1);
    if (give) {
      EXPECT_EQ(testsupport::ReadTree(in + "/x"),
                (std::map<std::string, std::string>{{"a.txt", "alpha"}, {"b.txt", "beta"}}));
      EXPECT_EQ(form->StatusText(), "     Ready");
    } else {
      EXPECT_FALSE(std::filesystem::exists(in + "/x"));  // nothing extracted, no empty folder
      EXPECT_EQ(form->RunLines().back(), "2 entries of " + in + "/x.zip not extracted: encrypted, no password given");
    }
  }
}

TEST_F(FormFixture, ResizingGrowsTheListAndThePaneAndElidesLongNames) {
  Show();
  const std::string longName = std::string(80, 'n') + ".txt";
  form->AddFiles({dir.File(longName), dir.File("sub/one.bin", 3000), dir / "sub"});
  const int designWidth = form->lstFile->width();
  form->resize(800, 400);
  QCoreApplication::processEvents();
  EXPECT_EQ(form->lstFile->geometry(), QRect(5, 40, designWidth + 308, 106 + 207));
  EXPECT_EQ(form->btnClose->geometry().right(), 800 - 5);
  EXPECT_EQ(form->STB->geometry(), QRect(0, 400 - 22, 800, 22));
  form->ResizeOutput(2);  // the pane opens below the grown list, and then grows itself
  EXPECT_EQ(form->height(), 400 + kExpandedHeight - kCollapsedHeight);
  form->resize(800, form->height() + 50);
  QCoreApplication::processEvents();
  EXPECT_EQ(form->Memo1->height(), 278 + 50);
  form->ResizeOutput(1);
  EXPECT_EQ(form->height(), 400);

  auto* row = form->lstFile->topLevelItem(0);
  EXPECT_EQ(form->lstFile->textElideMode(), Qt::ElideMiddle);
  EXPECT_EQ(row->toolTip(0).toStdString(), dir / longName);
  EXPECT_TRUE(WaitFor([&] { return form->lstFile->topLevelItem(2)->text(1) == "3KB"; }));  // its content
}

TEST_F(FormFixture, PositionComesBackExactlyAndOnTheScreen) {
  const QRect work = QGuiApplication::primaryScreen()->availableGeometry();
  // Inside the screen a place comes back exactly, start after start; partly beyond its edges
  // (a smaller screen or a larger scale since) the window is moved back onto it.
  const QPoint places[] = {{123, 77}, {40, 30}, {work.right() - 100, work.bottom() - 50}};
  for (const QPoint& stored : places) {
    SCOPED_TRACE(stored.x());
    Open();
    Show();
    form->setGeometry(QRect(stored, form->size()));
    form->close();
    const bool inside = stored.x() < 200;
    QPoint first;
    for (int start = 0; start < 3; ++start) {
      Open();
      Show();
      if (start == 0) first = form->geometry().topLeft();
      EXPECT_EQ(form->geometry().topLeft(), inside ? stored : first);
      EXPECT_TRUE(work.contains(form->frameGeometry()));
      form->close();
    }
  }
}

// The labels in an English and a Japanese locale; under Xvfb (the labels test of CTest) the
// window is also saved as a picture beside the build.
TEST_F(FormFixture, LabelsFollowTheLocale) {
  struct Case {
    QLocale locale;
    const char* file;
    std::vector<std::string> labels;
  };
  const Case cases[] = {
      {QLocale(QLocale::English, QLocale::UnitedStates),
       "brel-en.png",
       {"automatic", "compress", "decompress", "test", "Use UPX", "backup", "compress icons",
        "level : ", "Remove from list", "Clear list", "     Error", "Files to work on"}},
      {QLocale(QLocale::Japanese, QLocale::Japan),
       "brel-ja.png",
       {"自動", "圧縮", "解凍", "テスト", "UPXを使う", "バックアップ", "アイコン圧縮", "圧縮率 : ", "リストから削除",
        "リストの全削除", "     Erorr", "File list for compression "}},
  };
  for (const Case& c : cases) {
    InstallTranslation(c.locale);
    Open();
    form->MakeArchiveJob = [this](int, const std::vector<std::string>&) {
      form->ArchiveError(nullptr, "a.txt", "", "", 25244);
    };
    Show();
    form->AddFiles({dir.File("a.txt")});
    Execute();
    const std::vector<std::string> shown = {form->rbtCmp01->text().toStdString(),
                                            form->rbtCmp02->text().toStdString(),
                                            form->rbtCmp03->text().toStdString(),
                                            form->rbtCmp04->text().toStdString(),
                                            form->chkUseUPX->text().toStdString(),
                                            form->chkBackup->text().toStdString(),
                                            form->chkCompIco->text().toStdString(),
                                            form->lblComp->text().toStdString(),
                                            form->del_File->text().toStdString(),
                                            form->del_All->text().toStdString(),
                                            form->StatusText(),
                                            form->lblFile0->text().toStdString()};
    EXPECT_EQ(shown, c.labels);
    for (QWidget* w : std::initializer_list<QWidget*>{form->rbtCmp03, form->chkCompIco, form->lblComp})
      EXPECT_GE(w->width(), w->sizeHint().width()) << "cut short";
    EXPECT_GE(form->grpZIP->geometry().right(), form->grpUPX->geometry().right());
    EXPECT_LE(form->grpZIP->geometry().right(), form->width());
    EXPECT_EQ(form->btnRun->Caption(), "Execute");
    EXPECT_EQ(form->cmbComp->itemText(6).toStdString(), "Level 7");
    if (QGuiApplication::platformName() == "xcb") {
      const std::string folder = BREL_BINARY_DIR "/screenshots";
      std::filesystem::create_directories(folder);
      form->AddFiles({dir.File("some quite long file name of a report.txt")});
      EXPECT_TRUE(form->grab().save(QString::fromStdString(folder + "/" + c.file)));
    }
  }
  InstallTranslation(QLocale(QLocale::Japanese));
}

}  // namespace

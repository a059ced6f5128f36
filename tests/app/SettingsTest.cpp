#include "FormFixture.h"
#include "app/IniFile.h"
#include "app/Settings.h"
#include "ui/xxComboBox.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QRadioButton>
#include <QScreen>

namespace {

TEST_F(FormFixture, FirstRunUsesTheDefaultsAndCentresTheWindow) {
  EXPECT_TRUE(form->rbtZIP->isChecked());
  EXPECT_EQ(form->ArchiveKind, 0);
  EXPECT_EQ(form->cmbComp->currentText().toStdString(), "Level 7");
  EXPECT_TRUE(form->chkBackup->isChecked());
  EXPECT_TRUE(form->chkUseUPX->isChecked());
  EXPECT_TRUE(form->chkCompIco->isChecked());
  EXPECT_TRUE(form->rbtCmp01->isChecked());
  EXPECT_EQ(form->UpxMode, 0);
  Show();
  const QRect work = QGuiApplication::primaryScreen()->availableGeometry();
  const QSize frame = form->frameGeometry().size() - form->size();
  EXPECT_EQ(form->pos(), CentredPos(work, QSize(492, 476) + frame));  // placed at its design size
  EXPECT_FALSE(std::filesystem::exists(dir / "brel.ini"));            // nothing written before closing
}

TEST_F(FormFixture, StoredOptionsAreReadWithTheirValueRules) {
  struct Case {
    const char* opt;
    int kind;
    bool backup;
    int level;
  };
  const Case cases[] = {
      {"ZipCompression=7\n", 3, true, 6},
      {"ZipCompression=2\nUpxBackupFile=0\n", 2, false, 6},
      {"ZipCompression=1\nUpxBackupFile=yes\n", 1, true, 6},
      {"ZipCompression=-1\nUpxBackupFile=0x0\nUpxCompLevel=0x9\n", 3, false, 9},
      {"UpxCompLevel=10\n", 0, true, -1},
  };
  for (const Case& c : cases) {
    dir.File("brel.ini", 0, std::string("[OPT]\n") + c.opt);
    Open();
    SCOPED_TRACE(c.opt);
    EXPECT_EQ(form->ArchiveKind, c.kind);
    QRadioButton* kinds[] = {form->rbtZIP, form->rbtLZH, form->rbtCAB, form->rbtTAR};
    EXPECT_TRUE(kinds[c.kind]->isChecked());
    EXPECT_EQ(form->chkBackup->isChecked(), c.backup);
    EXPECT_EQ(form->cmbComp->currentIndex(), c.level);
  }
}

TEST_F(FormFixture, ClosingWritesEveryOptionAndThePosition) {
  Show();
  form->setGeometry(QRect(QPoint(123, 77), form->size()));  // the client area's place is kept
  form->rbtTAR->click();
  form->cmbComp->setCurrentIndex(9);
  form->chkUseUPX->setChecked(false);
  form->chkCompIco->setChecked(false);
  form->close();
  EXPECT_EQ(testsupport::ReadFile(dir / "brel.ini"),
            "[FORM]\nMainTop=77\nMainLeft=123\n\n[OPT]\nZipCompression=3\nUpxCompLevel=9\n"
            "UpxAutoSelect=0\nUpxBackupFile=1\nUpxCompression=0\n");

  Open();
  Show();
  EXPECT_EQ(form->geometry().topLeft(), QPoint(123, 77));
  EXPECT_TRUE(form->rbtTAR->isChecked());
  EXPECT_EQ(form->cmbComp->currentText().toStdString(), "Best !!");
  EXPECT_FALSE(form->chkUseUPX->isChecked());
  EXPECT_FALSE(form->cmbComp->isEnabled());
  EXPECT_FALSE(form->chkCompIco->isChecked());
}

TEST_F(FormFixture, PositionOffEveryScreenFallsBackToTheCentre) {
  for (const char* far : {"MainTop=-5000\nMainLeft=90000\n", "MainTop=-2147483647\nMainLeft=2147483647\n"}) {
    dir.File("brel.ini", 0, std::string("[FORM]\n") + far);
    Open();
    Show();
    const QSize frame = form->frameGeometry().size() - form->size();
    EXPECT_EQ(form->pos(), CentredPos(QGuiApplication::primaryScreen()->availableGeometry(), QSize(492, 476) + frame));
  }
}

}  // namespace

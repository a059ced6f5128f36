// The window with its real jobs and kind CAB: a dropped folder becomes FOLDER.cab, and the
// dropped cabinet is extracted beside itself.
#include "FormFixture.h"
#include "ui/LbSpeedButton.h"

#include <QRadioButton>
#include <QTest>
#include <filesystem>

namespace {

TEST_F(FormFixture, DroppedFolderIsPackedAsCabinetAndTheCabinetExtracted) {
  form->UseRealJobs();
  Show();
  dir.File("some/folder/a.txt", 40000);
  dir.File("some/folder/sub/b.txt", 10);
  form->rbtCAB->click();

  Drop({dir / "some/folder"});
  QTest::mouseClick(form->btnRun, Qt::LeftButton);
  EXPECT_EQ(form->StatusText(), "     Ready");
  const std::string cab = dir / "some/folder.cab";
  const std::string bytes = testsupport::ReadFile(cab);
  ASSERT_GT(bytes.size(), 36u);
  EXPECT_EQ(bytes.substr(0, 4), "MSCF");

  std::filesystem::rename(dir / "some/folder", dir / "some/original");
  Drop({cab});
  QTest::mouseClick(form->btnRun, Qt::LeftButton);
  EXPECT_EQ(form->StatusText(), "     Ready");
  EXPECT_EQ(testsupport::ReadFile(dir / "some/folder/a.txt"), std::string(40000, 'x'));
  EXPECT_EQ(testsupport::ReadFile(dir / "some/folder/sub/b.txt"), std::string(10, 'x'));
}

}  // namespace

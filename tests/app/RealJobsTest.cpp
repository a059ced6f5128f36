// The window with its real jobs: a dropped folder becomes FOLDER.zip, and the dropped archive is
// extracted beside itself, as a user sees it.
#include "FormFixture.h"
#include "ui/LbSpeedButton.h"

#include <QTest>
#include <filesystem>

namespace {

TEST_F(FormFixture, DroppedFolderIsPackedAndTheDroppedArchiveExtracted)
{
    form->UseRealJobs();
    Show();
    dir.File("some/folder/a.txt", 4000);
    dir.File("some/folder/sub/b.txt", 10);

    Drop({dir / "some/folder"});
    ASSERT_EQ(form->lstFile->topLevelItemCount(), 1);
    QTest::mouseClick(form->btnRun, Qt::LeftButton);
    EXPECT_EQ(form->StatusText(), "     Ready");
    EXPECT_EQ(form->lstFile->topLevelItemCount(), 0);
    const std::string zip = dir / "some/folder.zip";
    const std::string bytes = testsupport::ReadFile(zip);
    ASSERT_GT(bytes.size(), 22u);
    EXPECT_EQ(bytes.back(), '\0');

    std::filesystem::rename(dir / "some/folder", dir / "some/original");
    Drop({zip});
    QTest::mouseClick(form->btnRun, Qt::LeftButton);
    EXPECT_EQ(form->StatusText(), "     Ready");
    EXPECT_EQ(testsupport::ReadFile(dir / "some/folder/folder/a.txt"), std::string(4000, 'x'));
    EXPECT_EQ(testsupport::ReadFile(dir / "some/folder/folder/sub/b.txt"), std::string(10, 'x'));
}

}  // namespace

// The window with its real jobs: a dropped folder becomes FOLDER.zip (or .lzh), and the dropped archive is
// extracted beside itself, as a user sees it.
#include "FormFixture.h"
#include "ui/LbSpeedButton.h"

#include <QRadioButton>
#include <QTest>
#include <filesystem>

namespace {

TEST_F(FormFixture, DroppedFolderIsPackedAndTheDroppedArchiveExtracted)
{
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
        EXPECT_EQ(bytes.back(), '\0');

        std::filesystem::rename(dir / folder, dir / (std::string(k.Folder) + "/original"));
        Drop({archive});
        QTest::mouseClick(form->btnRun, Qt::LeftButton);
        EXPECT_EQ(form->StatusText(), "     Ready");
        EXPECT_EQ(testsupport::ReadFile(dir / (folder + "/folder/a.txt")), std::string(4000, 'x'));
        EXPECT_EQ(testsupport::ReadFile(dir / (folder + "/folder/sub/b.txt")), std::string(10, 'x'));
    }
}

}  // namespace

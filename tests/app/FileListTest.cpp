#include "FormFixture.h"
#include "app/EditEx.h"

#include <QAction>
#include <QMenu>
#include <QPlainTextEdit>
#include <utility>

namespace {

TEST_F(FormFixture, DropListsNameSizeAndFullPath) {
  Show();
  EXPECT_TRUE(form->mmMSG->isVisible());
  const std::string file = dir.File("data.bin", 1536);
  const std::string folder = dir.Folder("docs");
  const std::string big = dir.File("big.bin", 1234 * 1024);
  Drop({file, folder, big, dir / "gone.txt"});
  ASSERT_EQ(form->lstFile->topLevelItemCount(), 4);
  auto row = [&](int i) { return form->lstFile->topLevelItem(i); };
  EXPECT_EQ(row(0)->text(0).toStdString(), "data.bin");
  EXPECT_EQ(row(0)->text(1).toStdString(), "2KB");
  EXPECT_EQ(row(0)->text(2).toStdString(), file);
  EXPECT_TRUE(WaitFor([&] { return row(1)->text(1) == "0KB"; }));  // summed beside the window
  EXPECT_EQ(row(2)->text(1).toStdString(), "1,234KB");
  EXPECT_EQ(row(3)->text(1).toStdString(), "0KB");  // a missing path is listed all the same
  EXPECT_TRUE(row(0)->textAlignment(1) & Qt::AlignRight);
  EXPECT_EQ(SelectedRow(), 3);
  EXPECT_FALSE(form->mmMSG->isVisible());

  std::vector<std::string> collected;
  form->CollectPaths(collected);
  EXPECT_EQ(collected, (std::vector<std::string>{file, folder, big, dir / "gone.txt"}));
}

TEST_F(FormFixture, IconsComeFromTheFolderAndTheMimeType) {
  EXPECT_EQ(IconNameFor(dir.Folder("x.txt")).toStdString(), "folder");
  EXPECT_EQ(IconNameFor(dir / "notes.txt").toStdString(), "text-plain");
  // By name only: a text file called .zip shows the archive icon.
  EXPECT_EQ(IconNameFor(dir.File("fake.zip", 0, "plain text")).toStdString(), "application-zip");
}

TEST_F(FormFixture, NamesAlreadyListedAreSkippedWithoutRegardToCase) {
  dir.File("a/x.txt");
  dir.File("b/X.TXT");
  dir.File("c/x.txt");
  dir.File("d/y.txt");
  form->AddFiles({dir / "a/x.txt"});
  form->AddFiles({dir / "b/X.TXT", dir / "d/y.txt"});
  EXPECT_EQ(Names(), (std::vector<std::string>{"x.txt", "y.txt"}));
  // Within one drop names are not compared with each other.
  form->del_AllClick();
  form->AddFiles({dir / "a/x.txt", dir / "c/x.txt"});
  EXPECT_EQ(Names(), (std::vector<std::string>{"x.txt", "x.txt"}));
}

TEST_F(FormFixture, DeletingKeepsASensibleSelection) {
  auto fill = [&] {
    form->del_AllClick();
    form->AddFiles({dir / "a", dir / "b", dir / "c"});
  };
  fill();
  form->lstFile->setCurrentItem(form->lstFile->topLevelItem(1));
  form->del_FileClick();
  EXPECT_EQ(Names(), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(SelectedRow(), 1);  // the item that moved into its place

  form->del_FileClick();  // the selected last item
  EXPECT_EQ(Names(), (std::vector<std::string>{"a"}));
  EXPECT_EQ(SelectedRow(), 0);

  form->del_FileClick();  // the only item
  EXPECT_TRUE(Names().empty());
  EXPECT_EQ(SelectedRow(), -1);
  form->del_FileClick();  // nothing left: nothing happens
  EXPECT_TRUE(Names().empty());

  fill();
  form->lstFile->clearSelection();
  form->del_FileClick();  // nothing selected: nothing deleted
  EXPECT_EQ(Names().size(), 3u);
}

TEST_F(FormFixture, DeleteKeyAndPopupMenu) {
  Show();
  const std::vector<std::string> three = {dir / "a", dir / "b", dir / "c"};
  struct Case {
    Qt::KeyboardModifiers mods;
    size_t left;
  };
  for (const Case& c :
       {Case{Qt::NoModifier, 2}, Case{Qt::ShiftModifier, 2}, Case{Qt::ControlModifier | Qt::ShiftModifier, 2},
        Case{Qt::ControlModifier | Qt::KeypadModifier, 0}, Case{Qt::ControlModifier, 0}}) {
    form->del_AllClick();
    form->AddFiles(three);
    QTest::keyClick(form->lstFile, Qt::Key_Delete, c.mods);
    EXPECT_EQ(Names().size(), c.left) << int(c.mods);
  }
  form->AddFiles(three);
  QTest::keyClick(form->lstFile, Qt::Key_Backspace);
  QTest::keyClick(form->lstFile, Qt::Key_A, Qt::ControlModifier);
  EXPECT_EQ(Names().size(), 3u);

  form->del_File->trigger();
  EXPECT_EQ(Names(), (std::vector<std::string>{"a", "b"}));
  form->del_All->trigger();
  EXPECT_TRUE(Names().empty());
  EXPECT_EQ(form->PopupMenu1->actions().size(), 5);  // add files, add folder, separator, two deletes
  EXPECT_EQ(form->del_File->text().toStdString(), "リストから削除");
  EXPECT_EQ(form->del_All->text().toStdString(), "リストの全削除");

  // "Add files…" and "Add folder…" list what the dialog gives; a cancelled dialog adds nothing.
  std::vector<bool> asked;
  std::vector<std::string> chosen = {dir.File("p.txt"), dir.File("q.txt")};
  form->ChoosePaths = [&](bool folder) {
    asked.push_back(folder);
    return std::exchange(chosen, {});
  };
  form->add_Files->trigger();
  chosen = {dir.Folder("docs")};
  form->add_Folder->trigger();
  form->add_Files->trigger();
  EXPECT_EQ(asked, (std::vector<bool>{false, true, false}));
  EXPECT_EQ(Names(), (std::vector<std::string>{"p.txt", "q.txt", "docs"}));
}

TEST_F(FormFixture, NameColumnMakesRoomForTheScrollBar) {
  const int rows = form->VisibleRowCount();
  ASSERT_GT(rows, 2);
  std::vector<std::string> paths;
  for (int i = 0; i < rows; ++i) paths.push_back(dir / ("f" + std::to_string(i)));
  form->AddFiles(paths);
  // 170 and 153 at the design width of the list (235); the UPX options may take some of it
  // where their texts need more room in this font.
  const int narrower = 235 - form->lstFile->width();
  EXPECT_EQ(form->lstFile->columnWidth(0), 170 - narrower);
  form->AddFiles({dir / "one-more"});
  EXPECT_EQ(form->lstFile->columnWidth(0), 153 - narrower);
  form->del_FileClick();
  EXPECT_EQ(form->lstFile->columnWidth(0), 170 - narrower);
}

TEST_F(FormFixture, AfterExecuteDropsShowTheListNotTheDescription) {
  Show();
  dir.File("a.txt");
  Drop({dir / "a.txt"});
  Execute();
  EXPECT_EQ(form->lstFile->topLevelItemCount(), 0);
  EXPECT_FALSE(form->mmMSG->isVisible());
  Drop({dir / "a.txt"});
  EXPECT_EQ(Names(), (std::vector<std::string>{"a.txt"}));
  EXPECT_FALSE(form->mmMSG->isVisible());
}

TEST_F(FormFixture, DropOnAControlReachesTheWindow) {
  Show();
  // Drag events go to the nearest widget that accepts drops: the window.
  for (QWidget* w : {static_cast<QWidget*>(form->lstFile), form->lstFile->viewport(),
                     static_cast<QWidget*>(form->mmMSG), form->mmMSG->viewport()})
    EXPECT_FALSE(w->acceptDrops());
  EXPECT_TRUE(form->acceptDrops());
}

TEST(FileDrop, ReportsLocalPathsInDropOrderAndHonoursAccept) {
  QWidget window;
  TFileDrop drop(&window);
  std::vector<std::string> got;
  int num = -1;
  drop.OnFileDrop = [&](TFileDrop* sender, int n, const std::vector<std::string>& files, int, int) {
    EXPECT_EQ(sender, &drop);
    num = n;
    got = files;
  };
  auto send = [&] {
    return DropUrls(&window,
                    {QUrl::fromLocalFile("/b/second"), QUrl("https://example.org/x"), QUrl::fromLocalFile("/a/first")});
  };
  EXPECT_TRUE(send());
  EXPECT_EQ(num, 2);
  EXPECT_EQ(got, (std::vector<std::string>{"/b/second", "/a/first"}));

  drop.SetAccept(false);
  EXPECT_FALSE(window.acceptDrops());
  got.clear();
  EXPECT_FALSE(send());
  EXPECT_TRUE(got.empty());

  // Nothing but non-local URLs: refused.
  drop.SetAccept(true);
  EXPECT_FALSE(DropUrls(&window, {QUrl("https://example.org/x")}));

  EXPECT_THROW(TFileDrop(nullptr), std::invalid_argument);
}

}  // namespace

// A window on a settings file of its own, with recorders in place of the jobs.
#pragma once

#include "app/Main.h"
#include "app/Translation.h"
#include "ui/QtTestSupport.h"

#include <QDropEvent>
#include <QElapsedTimer>
#include <QLocale>
#include <QMimeData>
#include <QTest>
#include <QTreeWidget>
#include <QUrl>
#include <memory>
#include <string>
#include <vector>

// Drags urls onto the target and drops them there, as a file manager does. True when the drop
// was taken.
inline bool DropUrls(QWidget* target, const QList<QUrl>& urls) {
  QMimeData data;
  data.setUrls(urls);
  const QPoint at(20, 60);
  QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &enter);
  if (!enter.isAccepted()) return false;
  QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &drop);
  return drop.isAccepted();
}

// Runs the event loop until done() holds; false when it did not within ms.
inline bool WaitFor(const std::function<bool()>& done, int ms = 30000) {
  for (QElapsedTimer t; !done(); QTest::qWait(20))
    if (!t.isValid())
      t.start();
    else if (t.elapsed() > ms)
      return false;
  return true;
}

class FormFixture : public ::testing::Test {
 protected:
  // The window as a Japanese desktop shows it: the labels and status texts the tests name.
  void SetUp() override {
    InstallTranslation(QLocale(QLocale::Japanese));
    Open();
  }
  void TearDown() override { form.reset(); }

  // A new window on the same settings file.
  void Open() {
    form = std::make_unique<TfrmBrel>(dir / "brel");
    form->UpxJob = [this](int mode, int level, const std::vector<std::string>& paths, const std::string& extra,
                          bool icons, bool backup) {
      log.push_back("upx " + std::to_string(mode) + " " + std::to_string(level) + " " + Rel(paths) + extra +
                    (icons ? " icons" : "") + (backup ? " backup" : ""));
    };
    form->MakeArchiveJob = [this](int kind, const std::vector<std::string>& paths) {
      log.push_back("make " + std::to_string(kind) + " " + Rel(paths));
      if (duringJob) duringJob();
    };
    form->UnpackArchiveJob = [this](const std::string& path) {
      log.push_back("unpack " + Rel(path));
      if (duringJob) duringJob();
    };
  }

  void Show() {
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    QCoreApplication::processEvents();
  }

  void Drop(const std::vector<std::string>& paths) {
    QList<QUrl> urls;
    for (const std::string& p : paths) urls << QUrl::fromLocalFile(QString::fromStdString(p));
    DropUrls(form.get(), urls);
  }

  void Execute() { form->btnRunClick(); }

  std::string Rel(const std::string& path) const {
    const std::string prefix = dir.Path() + "/";
    return path.rfind(prefix, 0) == 0 ? path.substr(prefix.size()) : path;
  }
  std::string Rel(const std::vector<std::string>& paths) const {
    std::string out;
    for (const std::string& p : paths) out += (out.empty() ? "" : "|") + Rel(p);
    return out;
  }

  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (int i = 0; i < form->lstFile->topLevelItemCount(); ++i)
      names.push_back(form->lstFile->topLevelItem(i)->text(0).toStdString());
    return names;
  }
  int SelectedRow() const {
    const auto selected = form->lstFile->selectedItems();
    return selected.isEmpty() ? -1 : form->lstFile->indexOfTopLevelItem(selected.front());
  }

  TTempDir dir;
  std::unique_ptr<TfrmBrel> form;
  std::vector<std::string> log;
  std::function<void()> duringJob;
};

// A second start of the real program hands its paths to the running window and ends.
#include "FormFixture.h"
#include "app/SingleInstance.h"

#include <QProcess>

namespace {

// The real program beside the test's window, both using a private runtime folder.
class StartFixture : public FormFixture {
 protected:
  void SetUp() override {
    FormFixture::SetUp();
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime));
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(dir.Folder("config")));
    env.insert("ASAN_OPTIONS", "detect_leaks=0");
  }
  const std::string brel = BREL_BINARY_DIR "/brel";
  const std::string runtime = dir.Folder("runtime");
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
};

TEST_F(StartFixture, SecondStartAddsItsPathsToTheRunningWindow) {
  if (!std::filesystem::exists(brel)) GTEST_SKIP() << "brel is not built";
  // The running window: the test's own, reachable where the second start looks.
  TSingleInstance instance("MutexObjectForVidUdaRedero", QString::fromStdString(runtime));
  ASSERT_EQ(instance.Start(), isFirst);
  instance.OnActivate = [this](const std::vector<std::string>& paths) { form->OpenPaths(paths); };
  Show();
  form->AddFiles({dir.File("first.txt")});
  dir.File("in/some file.zip");

  QProcess second;
  // It hands over before it would need a display.
  for (const char* var : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) env.remove(var);
  second.setProcessEnvironment(env);
  second.setWorkingDirectory(QString::fromStdString(dir / "in"));
  second.start(QString::fromStdString(brel), {"some file.zip"});
  ASSERT_TRUE(second.waitForStarted());
  // The window answers from its event loop while the second start waits for it.
  QTRY_VERIFY_WITH_TIMEOUT(second.state() == QProcess::NotRunning, 30000);
  EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second.exitCode(), 0) << second.readAllStandardError().toStdString();
  EXPECT_EQ(Names(), (std::vector<std::string>{"first.txt", "some file.zip"}));
  std::vector<std::string> paths;
  form->CollectPaths(paths);
  EXPECT_EQ(paths.back(), dir / "in/some file.zip");  // made absolute in the second start's folder
}

// Closing the window during a run cancels the run and quits once it has returned; a start in
// the meantime is told so, waits, and opens a window of its own.
TEST_F(StartFixture, ClosingDuringARunCancelsItAndALaterStartGetsAWindowOfItsOwn) {
  if (!std::filesystem::exists(brel)) GTEST_SKIP() << "brel is not built";
  const QString folder = QString::fromStdString(runtime);
  auto instance = std::make_unique<TSingleInstance>("MutexObjectForVidUdaRedero", folder);
  ASSERT_EQ(instance->Start(), isFirst);
  form->OnQuitting = [&] { instance->StopTaking(); };
  Show();

  QProcess second;
  env.insert("QT_QPA_PLATFORM", "offscreen");
  second.setProcessEnvironment(env);
  second.setWorkingDirectory(QString::fromStdString(dir.Path()));
  bool shownDuringCleanUp = false;
  duringJob = [&] {
    form->close();
    EXPECT_TRUE(form->CancelRequested());
    shownDuringCleanUp = form->isVisible();
    second.start(QString::fromStdString(brel), {QString::fromStdString(dir.File("late.txt"))});
    EXPECT_TRUE(WaitFor([&] { return instance->Refused() == 1; }));
  };
  form->AddFiles({dir.File("a.txt")});
  Execute();
  EXPECT_TRUE(shownDuringCleanUp);
  EXPECT_TRUE(WaitFor([&] { return !form->isVisible(); }));
  EXPECT_EQ(second.state(), QProcess::Running);  // waiting for this copy to end

  instance.reset();  // this copy ends
  // The later start's window runs and takes the paths of the next one.
  EXPECT_TRUE(WaitFor(
      [&] {
        TSingleInstance third("MutexObjectForVidUdaRedero", folder);
        return third.Claim({dir.File("third.txt")}) == isHandedOver;
      },
      60000));
  second.terminate();
  second.waitForFinished(10000);
  EXPECT_EQ(second.readAllStandardError().toStdString().find("did not answer"), std::string::npos);
}

}  // namespace

// A second start of the real program hands its paths to the running window and ends.
#include "FormFixture.h"
#include "app/SingleInstance.h"

#include <QProcess>

namespace {

TEST_F(FormFixture, SecondStartAddsItsPathsToTheRunningWindow)
{
    const std::string brel = BREL_BINARY_DIR "/brel";
    if (!std::filesystem::exists(brel))
        GTEST_SKIP() << "brel is not built";
    // The running window: the test's own, reachable where the second start looks.
    const std::string runtime = dir.Folder("runtime");
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
    TSingleInstance instance("MutexObjectForVidUdaRedero", QString::fromStdString(runtime));
    ASSERT_EQ(instance.Start(), isFirst);
    instance.OnActivate = [this](const std::vector<std::string>& paths) { form->OpenPaths(paths); };
    Show();
    form->AddFiles({dir.File("first.txt")});
    dir.File("in/some file.zip");

    QProcess second;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime));
    // It hands over before it would need a display.
    for (const char* var : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        env.remove(var);
    env.insert("ASAN_OPTIONS", "detect_leaks=0");
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

}  // namespace

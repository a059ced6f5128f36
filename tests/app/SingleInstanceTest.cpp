#include "app/SingleInstance.h"
#include "ui/QtTestSupport.h"

#include <QTest>
#include <thread>

namespace {

TEST(SingleInstance, LaterStartBringsTheFirstForwardAndEnds) {
  TTempDir dir;
  const QString folder = QString::fromStdString(dir.Path());
  TSingleInstance first("MutexObjectForVidUdaRedero", folder);
  std::vector<std::vector<std::string>> handed;
  first.OnActivate = [&](const std::vector<std::string>& paths) { handed.push_back(paths); };
  ASSERT_EQ(first.Start(), isFirst);

  // The later start waits for the first to take its paths, so the first answers meanwhile.
  const std::string odd = "/tmp/with\nnewline and spaces/ü.zip";
  std::thread later([&] {
    TSingleInstance second("MutexObjectForVidUdaRedero", folder);
    EXPECT_EQ(second.Start({"/a/x.zip", odd}), isHandedOver);
    TSingleInstance third("MutexObjectForVidUdaRedero", folder);
    EXPECT_EQ(third.Start(), isHandedOver);
  });
  QTRY_COMPARE(handed.size(), size_t(2));
  later.join();
  EXPECT_EQ(handed[0], (std::vector<std::string>{"/a/x.zip", odd}));
  EXPECT_TRUE(handed[1].empty());

  // Another name is another program.
  TSingleInstance other("SomethingElse", folder);
  EXPECT_EQ(other.Start(), isFirst);
}

TEST(SingleInstance, FreedLockLetsTheNextStartRun) {
  TTempDir dir;
  const QString folder = QString::fromStdString(dir.Path());
  {
    TSingleInstance first("MutexObjectForVidUdaRedero", folder);
    ASSERT_EQ(first.Start(), isFirst);
  }
  TSingleInstance next("MutexObjectForVidUdaRedero", folder);
  EXPECT_EQ(next.Start(), isFirst);
}

}  // namespace

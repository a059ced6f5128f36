#include "app/SingleInstance.h"
#include "ui/QtTestSupport.h"

#include <QTest>

namespace {

TEST(SingleInstance, LaterStartBringsTheFirstForwardAndEnds)
{
    TTempDir dir;
    const QString folder = QString::fromStdString(dir.Path());
    TSingleInstance first("MutexObjectForVidUdaRedero", folder);
    int activations = 0;
    first.OnActivate = [&] { ++activations; };
    ASSERT_TRUE(first.Start());

    {
        TSingleInstance second("MutexObjectForVidUdaRedero", folder);
        EXPECT_FALSE(second.Start());
    }
    QTRY_COMPARE(activations, 1);

    // Another name is another program.
    TSingleInstance other("SomethingElse", folder);
    EXPECT_TRUE(other.Start());
}

TEST(SingleInstance, FreedLockLetsTheNextStartRun)
{
    TTempDir dir;
    const QString folder = QString::fromStdString(dir.Path());
    {
        TSingleInstance first("MutexObjectForVidUdaRedero", folder);
        ASSERT_TRUE(first.Start());
    }
    TSingleInstance next("MutexObjectForVidUdaRedero", folder);
    EXPECT_TRUE(next.Start());
}

}  // namespace

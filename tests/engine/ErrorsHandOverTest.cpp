// At most one errors bubble: whichever engine comes to show its errors
// first, the one with the older run is the one that ends.
#include "ErrorsHandOver.h"

#include "TestSupport.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QThread>
#include <gtest/gtest.h>

using cv::engine::ErrorsHandOver;

TEST(ErrorsHandOver, TheOlderRunEndsWhicheverListensFirst)
{
    cv::test::ScopedHome home;
    // The newer run's engine, already showing its errors, in a thread of its own.
    QThread thread;
    auto *newer = new ErrorsHandOver(nullptr, 200);
    newer->moveToThread(&thread);
    QObject::connect(&thread, &QThread::finished, newer, &QObject::deleteLater);
    QSignalSpy newerEnds(newer, &ErrorsHandOver::endRequested);
    thread.start();
    bool listening = false;
    QMetaObject::invokeMethod(newer, [&] { listening = newer->listen().ok(); }, Qt::BlockingQueuedConnection);
    ASSERT_TRUE(listening);

    // The older run's engine only now comes to its errors: it ends itself.
    ErrorsHandOver older(nullptr, 100);
    QSignalSpy olderEnds(&older, &ErrorsHandOver::endRequested);
    EXPECT_TRUE(older.listen().ok());
    EXPECT_FALSE(older.listening());
    QCoreApplication::processEvents();
    EXPECT_EQ(olderEnds.count(), 1);

    // A still newer run does end it.
    ErrorsHandOver newest(nullptr, 300);
    EXPECT_TRUE(newest.endEarlierEngine(std::chrono::milliseconds(200)));
    thread.quit();
    thread.wait();
    EXPECT_EQ(newerEnds.count(), 1);
}

// Test programs run with a QCoreApplication, so that sockets, timers and image plug-ins
// behave as in the program.
#include <QCoreApplication>
#include <QThreadPool>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    // Work a test left running off the main thread ends before the caches it fills go.
    QThreadPool::globalInstance()->waitForDone();
    return result;
}

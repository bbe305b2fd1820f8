// Entry point of the server tests: a QCoreApplication (the server needs no widgets), then GoogleTest.
#include <QCoreApplication>
#ifdef QT_NETWORK_LIB
#include <QNetworkProxy>
#endif
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
#ifdef QT_NETWORK_LIB
    // The test clients talk to loopback only: no system proxy look-up.
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
#endif
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

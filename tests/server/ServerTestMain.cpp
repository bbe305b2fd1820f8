// Entry point of the server tests: a QCoreApplication (the server needs no widgets), then GoogleTest.
#include <QCoreApplication>
#include <QNetworkProxy>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // The test clients talk to loopback only: no system proxy look-up.
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

#pragma once
// The stores the server tests run on: a fresh SQLite file, or the one throwaway PostgreSQL
// server of the test program (emptied for each test), and statements run on them past the
// server's code. COLLOQ_ON_BOTH_STORES runs a suite once on each.
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <vector>

// Readable failure messages for Qt text.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace servertest {

enum class Backend { Sqlite, Postgres };

// A server as a suite runs it: its store, and how many loops serve it.
struct ServerShape {
    ServerShape(Backend store = Backend::Sqlite, int servingLoops = 1) : backend(store), loops(servingLoops) {}
    Backend backend;
    int loops;
};

// The store address of a fresh, empty store of that kind, or empty text and a reason in `skip`
// when that kind cannot be had here (no PostgreSQL server binaries).
QString freshStoreAddress(Backend backend, const QTemporaryDir& dir, QString* skip);

// Halts (false) or resumes (true) the throwaway PostgreSQL server, keeping its data; false and
// a reason when there is none of our own (an external store was given).
bool setPostgresRunning(bool running, QString* problem);

// Runs statements straight on a store (tests that damage or inspect it).
bool execOnStore(const QString& address, const QStringList& statements, QString* problem);

// Runs a suite on each store with one serving loop and with two: a caller has the same room
// however its connections are spread over the loops. Under the thread checker, one loop only: it
// mistakes a lock of a new server's shared counts for the freed one of the server before, and
// reports the counts as a race. (Two loops are checked there by the TLS and call-address tests.)
inline std::vector<ServerShape> everyServerShape() {
#if defined(__SANITIZE_THREAD__)
    return {{Backend::Sqlite, 1}, {Backend::Postgres, 1}};
#else
    return {{Backend::Sqlite, 1}, {Backend::Sqlite, 2}, {Backend::Postgres, 1}, {Backend::Postgres, 2}};
#endif
}

} // namespace servertest

#define COLLOQ_ON_EVERY_SHAPE(suite)                                                                                   \
    INSTANTIATE_TEST_SUITE_P(                                                                                          \
        Shapes, suite, ::testing::ValuesIn(servertest::everyServerShape()), [](const auto& which) {                    \
            return std::string(which.param.backend == servertest::Backend::Sqlite ? "SQLite" : "PostgreSQL") +         \
                   (which.param.loops == 1 ? "" : "TwoLoops");                                                         \
        })

#define COLLOQ_ON_BOTH_STORES(suite)                                                                                   \
    INSTANTIATE_TEST_SUITE_P(                                                                                          \
        Stores, suite, ::testing::Values(servertest::Backend::Sqlite, servertest::Backend::Postgres),                  \
        [](const auto& which) { return which.param == servertest::Backend::Sqlite ? "SQLite" : "PostgreSQL"; })

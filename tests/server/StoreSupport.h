#pragma once
// The stores the server tests run on: a fresh SQLite file, or the one throwaway PostgreSQL
// server of the test program (emptied for each test), and statements run on them past the
// server's code. COLLOQ_ON_BOTH_STORES runs a suite once on each.
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>

// Readable failure messages for Qt text.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace servertest {

enum class Backend { Sqlite, Postgres };

// The store address of a fresh, empty store of that kind, or empty text and a reason in `skip`
// when that kind cannot be had here (no PostgreSQL server binaries).
QString freshStoreAddress(Backend backend, const QTemporaryDir& dir, QString* skip);

// Halts (false) or resumes (true) the throwaway PostgreSQL server, keeping its data; false and
// a reason when there is none of our own (an external store was given).
bool setPostgresRunning(bool running, QString* problem);

// Runs statements straight on a store (tests that damage or inspect it).
bool execOnStore(const QString& address, const QStringList& statements, QString* problem);

} // namespace servertest

#define COLLOQ_ON_BOTH_STORES(suite)                                                                                   \
    INSTANTIATE_TEST_SUITE_P(                                                                                          \
        Stores, suite, ::testing::Values(servertest::Backend::Sqlite, servertest::Backend::Postgres),                  \
        [](const auto& which) { return which.param == servertest::Backend::Sqlite ? "SQLite" : "PostgreSQL"; })

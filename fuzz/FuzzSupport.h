#pragma once
// What every fuzz target shares: one application object for the whole run, and the cutting of
// an input into the chunks a socket might deliver or the replies a session receives.
#include <QByteArray>
#include <QList>
#include <QString>
#include <cstddef>
#include <cstdint>

namespace fuzz {

// Brings up a QCoreApplication once per process (FuzzClient.h has the widget one), with an event
// loop that delivers posted events only.
void startCoreApp();
// The command line handed to the application object; it must outlive it.
int& appArgc();
char** appArgv();

// The input without its first byte, cut into chunks: a first byte of 0 keeps it whole; any other
// value b cuts pieces of 1..b bytes whose lengths follow from b.
QList<QByteArray> chunks(const std::uint8_t* data, std::size_t size);

// The input cut at every NUL byte, at most `limit` pieces (the rest stays in the last one).
QList<QByteArray> pieces(const std::uint8_t* data, std::size_t size, qsizetype limit);

// Stops the run with a message when a property the code promises does not hold.
[[noreturn]] void fail(const char* what);
inline void check(bool condition, const char* what) {
    if (!condition) fail(what);
}

} // namespace fuzz

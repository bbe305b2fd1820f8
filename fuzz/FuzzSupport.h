#pragma once
// What every fuzz target shares: one application object for the whole run, and the cutting of
// an input into the chunks a socket might deliver or the replies a session receives.
#include <QByteArray>
#include <QCoreApplication>
#include <QList>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace fuzz {

// Brings up the application object, an App, once per process. libFuzzer leaves through exit();
// tearing Qt down from static destructors at that point is not safe, so it is kept to the end of
// the process on purpose, with the command line it must not outlive.
template <typename App> void startApp() {
    static int argc = 1;
    static char name[] = "colloq-fuzz";
    static char* argv[] = {name, nullptr};
    static App* app = std::make_unique<App>(argc, argv).release();
    (void)app;
}
// Brings up a QCoreApplication (FuzzClient.h has the widget one), with an event loop that
// delivers posted events only.
void startCoreApp();

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

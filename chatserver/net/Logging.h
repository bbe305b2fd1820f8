#pragma once
// Log categories of the server; the level is chosen with --log-level (see ServerApp).
#include <QLoggingCategory>

namespace chatserver {

Q_DECLARE_LOGGING_CATEGORY(lcServer)
Q_DECLARE_LOGGING_CATEGORY(lcChat)
Q_DECLARE_LOGGING_CATEGORY(lcWeb)

// Shows messages of `level` ("error", "warning", "info", "debug") and above; false for an
// unknown level.
bool setLogLevel(const QString& level);

// Writes `line` as an info message of `category`, when its level shows one. For the line of
// every exchange: put together by the caller at once, where streaming it into a QDebug would
// make and grow a buffer for each piece.
void logInfo(const QLoggingCategory& category, const QString& line);

} // namespace chatserver

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

} // namespace chatserver

#include "chatserver/net/Logging.h"

#include <QStringList>

namespace chatserver {

Q_LOGGING_CATEGORY(lcServer, "colloq.server")
Q_LOGGING_CATEGORY(lcChat, "colloq.chat")
Q_LOGGING_CATEGORY(lcWeb, "colloq.web")

bool setLogLevel(const QString& level) {
    static const QStringList levels = {QStringLiteral("debug"), QStringLiteral("info"), QStringLiteral("warning"),
                                       QStringLiteral("critical")};
    const QString wanted = level == QLatin1String("error") ? QStringLiteral("critical") : level.toLower();
    const qsizetype index = levels.indexOf(wanted);
    if (index < 0) return false;
    QString rules;
    for (qsizetype i = 0; i < levels.size(); ++i)
        rules += QStringLiteral("colloq.*.%1=%2\n")
                     .arg(levels[i], i >= index ? QStringLiteral("true") : QStringLiteral("false"));
    QLoggingCategory::setFilterRules(rules);
    return true;
}

void logInfo(const QLoggingCategory& category, const QString& line) {
    if (!category.isInfoEnabled()) return;
    const QMessageLogContext context(nullptr, 0, nullptr, category.categoryName());
    qt_message_output(QtInfoMsg, context, line);
}

} // namespace chatserver

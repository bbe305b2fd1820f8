#include "desktop/Autostart.h"

#include "core/SettingsFiles.h"
#include "platform/vb.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace desktop {

QString autostartFilePath() {
    // A relative value is not to be used (it would depend on the folder the session started in).
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || QDir::isRelativePath(config)) config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/autostart/colloqchat.desktop");
}

bool startsAtLogin() {
    QFile file(autostartFilePath());
    if (!file.open(QIODevice::ReadOnly)) return false;
    for (const QByteArray& line : file.read(qint64{64} * 1024).split('\n'))
        if (line.trimmed() == "Hidden=true") return false;
    return true;
}

QString execLine(const QString& program) {
    // Inside double quotes a backslash escapes '"', '`', '$' and '\'; a field code's '%' is written
    // twice; and the whole value is a string, whose own escape is a backslash too.
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    bool quote = false;
    QString quoted;
    for (const QChar c : program) {
        quote = quote || reserved.contains(c);
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        quoted += c == QLatin1Char('%') ? QStringLiteral("%%") : QString(c);
    }
    if (quote) quoted = QLatin1Char('"') + quoted + QLatin1Char('"');
    // The string syntax: a backslash is written as two; a line break would end the entry's line.
    return quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"))
        .replace(QLatin1Char('\n'), QStringLiteral("\\n"))
        .replace(QLatin1Char('\t'), QStringLiteral("\\t"))
        .replace(QLatin1Char('\r'), QStringLiteral("\\r"));
}

void setStartAtLogin(bool on, const QString& program) {
    const QString path = autostartFilePath();
    if (!on) {
        if (QFile::exists(path) && !QFile::remove(path)) vb::raise(vb::kErrPathFileAccess);
        return;
    }
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) vb::raise(vb::kErrPathFileAccess);
    const QString entry = QStringLiteral("[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=ColloqChat\n"
                                         "Comment=Video and audio calls to your contacts\n"
                                         "Exec=") +
                          execLine(program) +
                          QStringLiteral("\n"
                                         "Icon=colloqchat\n"
                                         "Terminal=false\n"
                                         "X-GNOME-Autostart-enabled=true\n");
    basMain::replaceSettingsFile(path, entry.toUtf8());
}

} // namespace desktop

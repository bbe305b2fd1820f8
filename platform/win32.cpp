#include "platform/win32.h"

#include <QFile>
#include <QThread>

#include <glob.h>
#include <pwd.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace win32 {

void Sleep(unsigned milliseconds) {
    QThread::msleep(milliseconds);
}

std::optional<QString> GetComputerName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return std::nullopt;
    name[sizeof name - 1] = '\0';
    return QString::fromLocal8Bit(name);
}

std::optional<QString> GetUserName() {
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    if (size <= 0) size = 16384;
    std::vector<char> buffer(static_cast<std::size_t>(size));
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_name)
        return std::nullopt;
    return QString::fromLocal8Bit(found->pw_name);
}

bool FindFirstFile(const QString& pathOrPattern) {
    if (pathOrPattern.isEmpty()) return false;
    // Only the last part of the path may hold the wildcards * and ?; every other character,
    // glob's own [ ] and \ among them, stands for itself.
    const qsizetype slash = pathOrPattern.lastIndexOf(QLatin1Char('/'));
    const QString folder = pathOrPattern.left(slash + 1);
    const QString last = pathOrPattern.mid(slash + 1);
    if (folder.contains(QLatin1Char('*')) || folder.contains(QLatin1Char('?'))) return false;
    QString pattern;
    pattern.reserve(pathOrPattern.size() * 2);
    for (QChar c : folder) {
        if (c == QLatin1Char('[') || c == QLatin1Char(']') || c == QLatin1Char('\\')) pattern += QLatin1Char('\\');
        pattern += c;
    }
    for (QChar c : last) {
        if (c == QLatin1Char('[') || c == QLatin1Char(']') || c == QLatin1Char('\\')) pattern += QLatin1Char('\\');
        pattern += c;
    }

    glob_t matches{};
    const QByteArray encoded = QFile::encodeName(pattern);
    int flags = GLOB_NOSORT;
#ifdef GLOB_PERIOD
    flags |= GLOB_PERIOD; // * matches names that start with a dot, as the Windows search does
#endif
    bool found = false;
    if (glob(encoded.constData(), flags, nullptr, &matches) == 0) {
        // A wildcard also matches the "." and ".." entries of every folder; they are no match.
        const bool wildcard = last.contains(QLatin1Char('*')) || last.contains(QLatin1Char('?'));
        for (std::size_t i = 0; i < matches.gl_pathc && !found; ++i) {
            const QByteArray path(matches.gl_pathv[i]);
            const QByteArray name = path.mid(path.lastIndexOf('/') + 1);
            found = !wildcard || (name != "." && name != "..");
        }
    }
    globfree(&matches);
    return found;
}

} // namespace win32

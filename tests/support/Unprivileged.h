#pragma once
// While one of these lives, the calling thread's file accesses are checked as an ordinary user
// ("nobody"), so file permissions stop writes even when the tests run as root; the paths given
// are handed to that user first so that it may still read them. Off root it changes nothing.
#include <QFile>
#include <QString>
#include <QStringList>
#include <sys/fsuid.h>
#include <unistd.h>

namespace testenv {

class Unprivileged {
public:
    explicit Unprivileged(const QStringList& paths) {
        if (geteuid() != 0) return;
        for (const QString& path : paths)
            if (::chown(QFile::encodeName(path).constData(), kNobody, kNobody) != 0) return;
        // The file-system identity is per thread; dropping it from root also drops the right to
        // override permissions.
        setfsgid(kNobody);
        setfsuid(kNobody);
        m_active = true;
    }
    ~Unprivileged() {
        if (!m_active) return;
        setfsuid(0);
        setfsgid(0);
    }
    Unprivileged(const Unprivileged&) = delete;
    Unprivileged& operator=(const Unprivileged&) = delete;

private:
    static constexpr uid_t kNobody = 65534;
    bool m_active = false;
};

} // namespace testenv

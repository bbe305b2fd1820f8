#include "platform/PrivateFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace privatefiles {

namespace {

bool narrow(const QString& path, unsigned mode) {
    const QByteArray name = QFile::encodeName(path);
    struct stat info {};
    if (::lstat(name.constData(), &info) != 0) return errno == ENOENT;
    // A link is left alone: what it points to is not ours to change.
    if (S_ISLNK(info.st_mode)) return true;
    if ((info.st_mode & 07777) == mode) return true;
    return ::chmod(name.constData(), mode) == 0;
}

} // namespace

bool makeFolder(const QString& path) {
    const QString clean = QDir::cleanPath(path);
    if (QFileInfo(clean).isDir()) return narrow(clean, kFolderMode);
    // Every missing parent is made here, one level at a time, so none of them is left open to
    // others by the process's umask.
    const QString parent = QFileInfo(clean).path();
    if (parent != clean && !QFileInfo(parent).isDir() && !makeFolder(parent)) return false;
    const QByteArray name = QFile::encodeName(clean);
    if (::mkdir(name.constData(), kFolderMode) != 0 && errno != EEXIST) return false;
    return narrow(clean, kFolderMode);
}

bool narrowFolder(const QString& path) {
    return narrow(path, kFolderMode);
}

bool narrowFile(const QString& path) {
    return narrow(path, kFileMode);
}

bool prepareFile(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kFileMode);
    if (fd >= 0) {
        ::close(fd);
        return true;
    }
    return errno == EEXIST && narrow(path, kFileMode);
}

void restrictNewFiles() {
    ::umask(077);
}

} // namespace privatefiles

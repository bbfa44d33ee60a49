#include "storage/runtimefolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

bool IsPrivateFolder(const QString& path) {
#ifdef Q_OS_UNIX
    struct stat folder {};
    if (path.isEmpty() || ::lstat(QFile::encodeName(path).constData(), &folder) != 0 ||
        !S_ISDIR(folder.st_mode) || folder.st_uid != ::geteuid() || (folder.st_mode & 077) != 0)
        return false;
    struct stat parent {};
    const QString above = QFileInfo(path).absolutePath();
    if (::stat(QFile::encodeName(above).constData(), &parent) != 0)
        return false;
    if (parent.st_uid != ::geteuid() && parent.st_uid != 0)
        return false;
    return (parent.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (parent.st_mode & S_ISVTX) != 0;
#else
    return QFileInfo(path).isDir(); // the temporary folder is the user's own
#endif
}

QString FirstPrivateFolder(const QStringList& candidates) {
    for (const QString& candidate : candidates) {
        if (candidate.isEmpty() || !QDir::isAbsolutePath(candidate))
            continue;
        const QString path = QDir::cleanPath(candidate);
#ifdef Q_OS_UNIX
        ::mkdir(QFile::encodeName(path).constData(), 0700); // an existing one is checked below
#else
        QDir().mkdir(path);
#endif
        if (IsPrivateFolder(path))
            return path;
    }
    return QString();
}

QString PrivateRuntimeFolder() {
#ifdef Q_OS_UNIX
    const QString user = QString::number(::geteuid());
#else
    const QString user = qEnvironmentVariable("USERNAME");
#endif
    QStringList candidates;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty())
        candidates << runtime + QStringLiteral("/valdane");
    candidates << QDir::tempPath() + QStringLiteral("/valdane-") + user;
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    if (!cache.isEmpty() && QDir().mkpath(cache))
        candidates << cache + QStringLiteral("/valdane-") + user;
    return FirstPrivateFolder(candidates);
}

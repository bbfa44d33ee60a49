#pragma once

// Whole-file helpers shared by the storage tests.

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTest>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/resource.h>
#endif

inline QByteArray contentOf(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArrayLiteral("<unreadable>");
    return file.readAll();
}

// Rewrites the file in place (same inode), as an editor that does not rename would.
inline void putContent(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.resize(0));
    QCOMPARE(file.write(bytes), bytes.size());
}

#ifdef Q_OS_LINUX
// Lowers one limit of the process for the life of the object: with RLIMIT_FSIZE every write
// beyond the limit fails as on a full disk, with RLIMIT_DATA every allocation beyond it fails.
class ResourceLimit {
  public:
    ResourceLimit(int resource, rlim_t limit) : resource(resource) {
        getrlimit(resource, &saved);
        oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit reduced = saved;
        reduced.rlim_cur = limit;
        setrlimit(resource, &reduced);
    }
    ~ResourceLimit() {
        setrlimit(resource, &saved);
        std::signal(SIGXFSZ, oldHandler);
    }
    ResourceLimit(const ResourceLimit&) = delete;
    ResourceLimit& operator=(const ResourceLimit&) = delete;

  private:
    int resource;
    rlimit saved{};
    void (*oldHandler)(int) = nullptr;
};

struct FileSizeLimit : ResourceLimit {
    explicit FileSizeLimit(rlim_t limit) : ResourceLimit(RLIMIT_FSIZE, limit) {}
};
#endif

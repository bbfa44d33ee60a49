#include "fixture.h"

#include "net/httpget.h"

#include <QFile>
#include <QTcpServer>

#include <csignal>

QByteArray ContentOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArrayLiteral("<unreadable>");
}

void PutContent(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.resize(0));
    QCOMPARE(file.write(bytes), bytes.size());
}

void SetModified(const QString& path, const QDateTime& when) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(when, QFileDevice::FileModificationTime));
}

quint16 FreePort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost);
    return server.serverPort();
}

#ifdef Q_OS_LINUX
ResourceLimit::ResourceLimit(int resource, rlim_t limit) : m_resource(resource) {
    getrlimit(resource, &m_saved);
    m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    const rlimit reduced{limit, m_saved.rlim_max};
    setrlimit(resource, &reduced);
}

ResourceLimit::~ResourceLimit() {
    setrlimit(m_resource, &m_saved);
    std::signal(SIGXFSZ, m_oldHandler);
}
#endif

DesktopFixture::DesktopFixture(std::chrono::milliseconds timeLimit) {
    QVERIFY(dir.isValid() && service.start());
    qputenv("VALDANE_MAKER_URL", service.baseUrl().toUtf8());
    SetHttpGetTimeLimit(timeLimit);
    form = std::make_unique<Form_Main>();
    form->ConfigPath = path(QStringLiteral("Config.ini"));
    form->LogPath = path(QStringLiteral("SeoLog.htm"));
    form->TempPath = path(QStringLiteral("~TMPDF9ED8.tmp"));
}

DesktopFixture::~DesktopFixture() {
    form.reset();
    qunsetenv("VALDANE_MAKER_URL");
    SetHttpGetTimeLimit(std::chrono::seconds(60));
}

// A full refresh of 1,000 sites by the program against a real valdane-service child whose
// columns are all `fixed` (no network): one pass warms the store, the second is timed.
// Prints its figures; takes no arguments.

#include "storage/inifile.h"
#include "trackedsites.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>

namespace {

constexpr int kSites = 1000;
const QString kSiteValues = QStringLiteral("1234567,234567,34567,4567,567,67,7");

quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

bool answers(quint16 port) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(200);
}

// Every column of every page is the fixed provider: nothing leaves the machine.
QByteArray serviceConfig(quint16 port, const QString& data) {
    const QString seven =
        QStringLiteral(R"("fixed", "fixed", "fixed", "fixed", "fixed", "fixed", "fixed")");
    return QStringLiteral(R"(listen = "127.0.0.1:%1"
data_dir = "%2"
[columns]
sites = [%3]
links = [%3]
ranks = ["fixed", "fixed"]
whois = ["fixed"]
alexa = [%3, "fixed", "fixed"]
[providers.tranco]
refresh_hours = 0
[providers.fixed]
type = "fixed"
values.sites = [%4]
values.links = [1, 2, 3, 4, 5, 6, 7]
values.ranks = [5, 6]
)")
        .arg(QString::number(port), data, seven, kSiteValues)
        .toUtf8();
}

double seconds(const QElapsedTimer& clock) {
    return double(clock.nsecsElapsed()) / 1e9;
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir folder;
    const quint16 port = freePort();
    QFile config(folder.filePath(QStringLiteral("service.toml")));
    config.open(QIODevice::WriteOnly);
    config.write(serviceConfig(port, folder.filePath(QStringLiteral("store"))));
    config.close();

    QProcess service;
    service.setStandardOutputFile(folder.filePath(QStringLiteral("service.log")));
    service.setStandardErrorFile(folder.filePath(QStringLiteral("service.log")));
    service.start(QStringLiteral(VALDANE_SERVICE_BIN),
                  {QStringLiteral("--config"), config.fileName()});
    QElapsedTimer started;
    started.start();
    while (!answers(port) && service.state() != QProcess::NotRunning && started.elapsed() < 10000)
        QThread::msleep(50);
    if (!answers(port)) {
        std::fprintf(stderr, "valdane-service did not start\n");
        return 1;
    }
    qputenv("VALDANE_MAKER_URL", "http://127.0.0.1:" + QByteArray::number(port));

    TrackedSites sites(folder.path(), QStringLiteral("Refresh"), kSites);
    QElapsedTimer clock;
    clock.start();
    sites.tracking.UpdateSites(QStringLiteral("All"));
    std::printf("full refresh, %d sites, cold store (every value measured): %6.2f s\n", kSites,
                seconds(clock));
    clock.start();
    sites.tracking.UpdateSites(QStringLiteral("All"));
    std::printf("full refresh, %d sites, warm store:                        %6.2f s\n", kSites,
                seconds(clock));

    // The figures count only when the answers reached the program.
    const QString last =
        ReadIni(BenchSiteName(kSites - 1), QStringLiteral("Url_site"), sites.form.ConfigPath);
    service.terminate();
    service.waitForFinished(10000);
    if (last != kSiteValues) {
        std::fprintf(stderr, "the refresh did not store the service's values (got \"%s\")\n",
                     qPrintable(last));
        return 1;
    }
    return 0;
}

// Processor time HttpGet spends waiting for a server that accepts the connection and never
// answers. Usage: bench_net_wait [seconds]   (default 10)

#include "net/httpget.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QTcpServer>
#include <QTcpSocket>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>

namespace {

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 10;

    // Accepts and holds every connection without reading or answering.
    QTcpServer silent;
    QList<QTcpSocket*> held;
    QObject::connect(&silent, &QTcpServer::newConnection, [&] {
        while (QTcpSocket* socket = silent.nextPendingConnection())
            held.append(socket);
    });
    if (!silent.listen(QHostAddress::LocalHost)) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1\n");
        return 1;
    }
    const QString address =
        QStringLiteral("http://127.0.0.1:%1/Calvren/Rivelo/sites.asp").arg(silent.serverPort());

    SetHttpGetTimeLimit(std::chrono::seconds(seconds));
    QElapsedTimer wall;
    const double cpuBefore = ProcessCpuSeconds();
    wall.start();
    const QString result = HttpGet(address, QStringLiteral("gb2312"));
    const double elapsed = wall.elapsed() / 1000.0;
    const double cpu = ProcessCpuSeconds() - cpuBefore;

    const double share = 100.0 * cpu / elapsed;
    std::printf("HttpGet wait on a silent server: result %s after %.2f s wall\n",
                result.isEmpty() ? "\"\" (time limit)" : qPrintable(result), elapsed);
    std::printf("processor time %.1f ms = %.3f%% of one core (target < 2%%): %s\n", cpu * 1000.0,
                share, share < 2.0 ? "met" : "MISSED");
    return share < 2.0 && result.isEmpty() ? 0 : 1;
}

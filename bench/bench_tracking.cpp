// Timings of site tracking: report appends on a large report, list fills, a full refresh
// against the fake query service on loopback. Prints its figures; takes no arguments.

#include "fakequeryservice.h"
#include "net/httpget.h"
#include "storage/charset.h"
#include "storage/inifile.h"
#include "trackedsites.h"
#include "tracking/report.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

const QStringList kSeven = {"1520", "3400", "87", "0", "112", "9", "230"};

double ms(qint64 ns) {
    return double(ns) / 1e6;
}

void printSpread(const char* what, std::vector<qint64> ns) {
    std::sort(ns.begin(), ns.end());
    std::printf("%-48s median %8.3f ms   p99 %8.3f ms   max %8.3f ms   (%zu runs)\n", what,
                ms(ns[ns.size() / 2]), ms(ns[ns.size() * 99 / 100]), ms(ns.back()), ns.size());
}

// Runs work inside the event loop and answers the largest gap between ticks of a 10 ms timer
// while it ran, in nanoseconds.
qint64 largestGapDuring(const std::function<void()>& work) {
    QElapsedTimer sinceTick;
    qint64 largestGap = 0;
    QTimer ticker;
    ticker.setInterval(10);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        largestGap = std::max(largestGap, sinceTick.nsecsElapsed());
        sinceTick.start();
    });
    QTimer::singleShot(0, [&] {
        sinceTick.start();
        ticker.start();
        work();
        largestGap = std::max(largestGap, sinceTick.nsecsElapsed());
        ticker.stop();
        QCoreApplication::quit();
    });
    QCoreApplication::exec();
    return largestGap;
}

// A report of about megabytes MB as the program writes it.
void writeLargeReport(const QString& path, int megabytes) {
    const QString frame = ReportFrameText();
    QByteArray rows;
    const QByteArray block =
        ToGbk(ReportRowsText(QStringLiteral("example.com"), QStringLiteral("03-05 9:07:02"),
                             kReportIndexedLabel, kSeven, true));
    while (rows.size() < qsizetype(megabytes) * 1024 * 1024)
        rows += block;
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(ToGbk(frame.left(frame.indexOf(QStringLiteral("</table>")))));
    file.write(rows);
    file.write(ToGbk(ReportFootText()) + "\r\n");
}

void benchReport(const QString& folder) {
    const QString path = folder + QStringLiteral("/SeoLog.htm");
    writeLargeReport(path, 100);
    std::printf("report of %.1f MB\n", double(QFileInfo(path).size()) / (1024 * 1024));

    QElapsedTimer clock;
    HistoryReport report;
    qint64 initTime = 0;
    const qint64 initGap = largestGapDuring([&] {
        clock.start();
        report.InitReport(path);
        initTime = clock.nsecsElapsed();
    });
    std::printf("%-48s %8.3f ms   largest event-loop gap %6.1f ms\n",
                "InitReport, first look at the report", ms(initTime), ms(initGap));

    std::vector<qint64> appends;
    for (int i = 0; i < 200; ++i) {
        clock.start();
        report.Append(path, QStringLiteral("example.com"),
                      i % 2 ? kReportBacklinksLabel : kReportIndexedLabel, kSeven, i % 2 == 0);
        appends.push_back(clock.nsecsElapsed());
    }
    std::printf("%-48s %8.3f ms\n", "first append (syncs the freshly written file)",
                ms(appends.front()));
    printSpread("append on the 100 MB report", {appends.begin() + 1, appends.end()});

    clock.start();
    report.InitReport(path);
    std::printf("%-48s %8.3f ms\n", "InitReport, report written by us", ms(clock.nsecsElapsed()));

    HistoryReport fresh;
    clock.start();
    fresh.Append(path, QStringLiteral("example.com"), kReportBacklinksLabel, kSeven, false);
    std::printf("%-48s %8.3f ms\n", "append without knowing the file (whole rewrite)",
                ms(clock.nsecsElapsed()));
}

void benchLoadSiteLists(const QString& folder) {
    for (int sites : {1000, 10000}) {
        Form_Main form;
        form.ConfigPath = folder + QStringLiteral("/Config%1.ini").arg(sites);
        WriteBenchConfig(form.ConfigPath, sites);
        form.SiteList = BenchSiteList(sites);
        SiteTracking tracking(form);
        tracking.SetupColumns();
        QElapsedTimer clock;
        clock.start();
        tracking.LoadSiteLists();
        const qint64 first = clock.nsecsElapsed();
        clock.start();
        tracking.LoadSiteLists();
        const qint64 again = clock.nsecsElapsed();
        std::printf("LoadSiteLists, %5d sites: first %8.1f ms   again %8.1f ms   (%d rows)\n",
                    sites, ms(first), ms(again), form.ListView1(0)->topLevelItemCount());
    }
}

void benchRefresh(const QString& folder) {
    constexpr int count = 1000;
    FakeQueryService service;
    service.start();
    qputenv("VALDANE_MAKER_URL", service.baseUrl().toUtf8());
    service.setGenerator([](const QString& page, const QString&) {
        if (page == QLatin1String("ranks.asp"))
            return FakeQueryService::Generated{true, QStringLiteral("4|2")};
        return FakeQueryService::Generated{true, QStringLiteral("1520|3400|87|0|112|9|230")};
    });
    TrackedSites sites(folder, QStringLiteral("Refresh"), count);

    QElapsedTimer clock;
    qint64 total = 0;
    const qint64 gap = largestGapDuring([&] {
        clock.start();
        sites.tracking.UpdateSites(QStringLiteral("All"));
        total = clock.nsecsElapsed();
    });
    std::printf("full refresh, %d sites, recording on: %8.1f s, %d requests\n", count,
                double(total) / 1e9, int(service.requests().size()));
    std::printf("largest gap between ticks of a 10 ms timer: %8.1f ms\n", ms(gap));
    std::printf("report after the run: %.1f KB\n",
                double(QFileInfo(sites.form.LogPath).size()) / 1024);
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir folder;
    benchReport(folder.path());
    benchLoadSiteLists(folder.path());
    benchRefresh(folder.path());
    return 0;
}

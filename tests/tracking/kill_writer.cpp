// Writes as a refresh does until it is killed: for the sites <prefix><n>.com, their results to
// Config.ini and a row to the report, printing n once both writes have returned.
// Arguments: report path, Config.ini path, prefix.

#include "storage/inifile.h"
#include "tracking/report.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 4)
        return 2;
    const QString path = QString::fromLocal8Bit(argv[1]);
    const QString ini = QString::fromLocal8Bit(argv[2]);
    const QString prefix = QString::fromLocal8Bit(argv[3]);
    HistoryReport report;
    if (!report.InitReport(path))
        return 1;
    const QStringList values = {"1520", "3400", "87", "0", "112", "9", "230"};
    for (int row = 0;; ++row) {
        const QString site = prefix + QString::number(row) + QStringLiteral(".com");
        const bool indexed = row % 2 == 0;
        WriteIni(site, QStringLiteral("Url_site"), values.join(u','), ini);
        WriteIni(prefix, QStringLiteral("Last"), QString::number(row), ini);
        if (!report.Append(path, site, indexed ? kReportIndexedLabel : kReportBacklinksLabel,
                           values, indexed))
            return 1;
        std::printf("%d\n", row);
        std::fflush(stdout);
    }
}

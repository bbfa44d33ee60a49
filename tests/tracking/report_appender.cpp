// Appends rows for the sites <prefix><n>.com to the report until it is killed, printing n once
// the append of that row has returned. Arguments: report path, prefix.

#include "tracking/report.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 3)
        return 2;
    const QString path = QString::fromLocal8Bit(argv[1]);
    const QString prefix = QString::fromLocal8Bit(argv[2]);
    HistoryReport report;
    if (!report.InitReport(path))
        return 1;
    const QStringList values = {"1520", "3400", "87", "0", "112", "9", "230"};
    for (int row = 0;; ++row) {
        const bool indexed = row % 2 == 0;
        if (!report.Append(path, prefix + QString::number(row) + QStringLiteral(".com"),
                           indexed ? kReportIndexedLabel : kReportBacklinksLabel, values, indexed))
            return 1;
        std::printf("%d\n", row);
        std::fflush(stdout);
    }
}

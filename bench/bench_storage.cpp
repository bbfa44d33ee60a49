#include "storage/inifile.h"
#include "storage/texthelpers.h"

#include <QDateTime>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

// A Config.ini with 10,000 site sections, last changed an hour ago.
QString makeConfig(const QTemporaryDir& dir) {
    const QString path = dir.filePath(QStringLiteral("Config.ini"));
    QByteArray bytes = "[Info]\r\nAppName=Valdane\r\n[Setting]\r\nAutoUpdate=1\r\n";
    for (int i = 0; i < 10000; ++i) {
        const QByteArray site = "site" + QByteArray::number(i) + ".com";
        bytes += "[" + site +
                 "]\r\nUrl_site=1,2,3,4,5,6,7\r\nUrl_link=7,6,5,4,3,2,1\r\n"
                 "Url_pr=3,4\r\n";
    }
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(bytes);
    file.setFileTime(QDateTime::currentDateTime().addSecs(-3600),
                     QFileDevice::FileModificationTime);
    return path;
}

void ReadIniUnchanged(benchmark::State& state) {
    QTemporaryDir dir;
    const QString path = makeConfig(dir);
    ReadIni(QStringLiteral("site5000.com"), QStringLiteral("Url_pr"), path);
    for (auto _ : state)
        benchmark::DoNotOptimize(
            ReadIni(QStringLiteral("site9999.com"), QStringLiteral("Url_link"), path));
}
BENCHMARK(ReadIniUnchanged)->Repetitions(5)->ReportAggregatesOnly(true);

void ReadIniAfterChange(benchmark::State& state) {
    QTemporaryDir dir;
    const QString path = makeConfig(dir);
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        WriteIni(QStringLiteral("site5000.com"), QStringLiteral("Url_pr"),
                 QString::number(++round % 10) + QStringLiteral(",4"), path);
        state.ResumeTiming();
        benchmark::DoNotOptimize(
            ReadIni(QStringLiteral("site9999.com"), QStringLiteral("Url_link"), path));
    }
}
BENCHMARK(ReadIniAfterChange)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

void NormalizeSiteList10000(benchmark::State& state) {
    QStringList entries;
    for (int i = 0; i < 10000; ++i)
        entries << QStringLiteral(" http://site%1.com ").arg(i % 9000);
    const QString list = entries.join(QChar(0xFF1B));
    for (auto _ : state)
        benchmark::DoNotOptimize(NormalizeSiteList(list));
}
BENCHMARK(NormalizeSiteList10000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

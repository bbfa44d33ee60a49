// Times Md5Text over 100 MB of ASCII text against the system's md5sum on the same bytes and
// prints both figures. Usage: bench_md5text [megabytes]
#include "lookup/md5.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryFile>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

constexpr int kRuns = 3;

double bestSeconds(const std::function<void()>& run) {
    double best = 1e30;
    for (int i = 0; i < kRuns; ++i) {
        QElapsedTimer timer;
        timer.start();
        run();
        best = std::min(best, timer.nsecsElapsed() / 1e9);
    }
    return best;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const qsizetype megabytes = argc > 1 ? QByteArray(argv[1]).toLongLong() : 100;
    const qsizetype size = megabytes * 1000 * 1000;

    // Printable ASCII with some variety, so that nothing is special about the bytes.
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char(' ' + (i * 7 + i / 97) % 95);
    const QString text = QString::fromLatin1(bytes);

    QTemporaryFile file;
    if (!file.open() || file.write(bytes) != size || !file.flush()) {
        std::fprintf(stderr, "cannot write the scratch file\n");
        return 1;
    }

    QString ours;
    const double oursSeconds = bestSeconds([&] { ours = Md5Text(text, 32, false); });

    QString theirs;
    const double theirsSeconds = bestSeconds([&] {
        QProcess md5sum;
        md5sum.start("md5sum", {file.fileName()});
        md5sum.waitForFinished(-1);
        theirs = QString::fromLatin1(md5sum.readAllStandardOutput().left(32));
    });

    const double mb = size / 1e6;
    std::printf("input            %lld MB of ASCII\n", static_cast<long long>(megabytes));
    std::printf("Md5Text          %.3f s  %.0f MB/s  %s\n", oursSeconds, mb / oursSeconds,
                qPrintable(ours));
    std::printf("md5sum           %.3f s  %.0f MB/s  %s\n", theirsSeconds, mb / theirsSeconds,
                qPrintable(theirs));
    std::printf("ratio            %.2f (Md5Text time / md5sum time, best of %d)\n",
                oursSeconds / theirsSeconds, kRuns);
    if (ours != theirs) {
        std::fprintf(stderr, "digests differ\n");
        return 1;
    }
    return 0;
}

#include "app/configfiles.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

const QString kConfigName = QStringLiteral("Config.ini");
const QString kLogName = QStringLiteral("SeoLog.htm");
const QString kFolderName = QStringLiteral("valdane");

// Room for the file to grow by a write; the probe never writes more than the cap.
constexpr qint64 kProbeSlack = 4096;
constexpr qint64 kProbeCap = 64LL * 1024 * 1024;

} // namespace

FilePlaces LocateFiles(const QString& programFolder) {
    const QString folder = QDir::cleanPath(programFolder);
#ifndef Q_OS_WIN
    if (!QFileInfo(folder + u'/' + kConfigName).isFile()) {
        const QString config =
            QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + u'/' +
            kFolderName;
        const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                             u'/' + kFolderName;
        QDir().mkpath(config);
        QDir().mkpath(data);
        return {config + u'/' + kConfigName, data + u'/' + kLogName};
    }
#endif
    return {folder + u'/' + kConfigName, folder + u'/' + kLogName};
}

QString IniWriteProblem(const QString& file) {
    QSaveFile probe(file);
    probe.setDirectWriteFallback(false);
    if (!probe.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return probe.errorString();
    const QFileInfo current(file);
    const qint64 size = std::min((current.isFile() ? current.size() : 0) + kProbeSlack, kProbeCap);
    const QByteArray filler(size, ' ');
    QString problem;
    if (probe.write(filler) != filler.size())
        problem = probe.errorString();
    probe.cancelWriting();
    return problem;
}

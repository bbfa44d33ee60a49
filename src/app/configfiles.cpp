#include "app/configfiles.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace {

const QString kConfigName = QStringLiteral("Config.ini");
const QString kLogName = QStringLiteral("SeoLog.htm");
const QString kFolderName = QStringLiteral("valdane");

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

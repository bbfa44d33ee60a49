#include "storage/autostart.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>

#ifdef Q_OS_WIN
#include <QSettings>
#else
#include "storage/charset.h"
#endif

namespace {

QMutex programFileMutex;
QString programFileOverride;

QString programFile() {
    {
        const QMutexLocker lock(&programFileMutex);
        if (!programFileOverride.isEmpty())
            return programFileOverride;
    }
    if (QCoreApplication::instance() != nullptr)
        return QCoreApplication::applicationFilePath();
#ifdef Q_OS_LINUX
    return QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
#else
    return QString();
#endif
}

#ifdef Q_OS_WIN

const QString runKey =
    QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run");

QString valueName() {
    return QFileInfo(programFile()).completeBaseName();
}

#else

QString entryPath() {
    const QString name = QFileInfo(programFile()).fileName();
    if (name.isEmpty())
        return QString();
    QString configHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (configHome.isEmpty() || QDir::isRelativePath(configHome))
        configHome = QDir::homePath() + QStringLiteral("/.config");
    return configHome + QStringLiteral("/autostart/") + name + QStringLiteral(".desktop");
}

// One argument of the Exec key's command line: double-quoted (with ", `, $ and \ escaped
// inside) when it holds blanks or shell characters.
QString execArgument(const QString& argument) {
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    bool needsQuotes = false;
    for (const QChar c : argument)
        needsQuotes = needsQuotes || reserved.contains(c);
    if (!needsQuotes)
        return argument;
    QString quoted(u'"');
    for (const QChar c : argument) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            quoted += u'\\';
        quoted += c;
    }
    return quoted + u'"';
}

// The program with "-Min"; when this run was pointed at another query service, the session
// start is too. In the command line "%" is doubled; the whole value is then a desktop-file
// string, in which "\" itself is written "\\".
QString execValue(const QString& program) {
    QString command = execArgument(program) + QStringLiteral(" -Min");
    const QString makerUrl = qEnvironmentVariable("VALDANE_MAKER_URL");
    if (!makerUrl.isEmpty())
        command = QStringLiteral("env ") +
                  execArgument(QStringLiteral("VALDANE_MAKER_URL=") + makerUrl) + u' ' + command;
    command.replace(u'%', QStringLiteral("%%"));
    command.replace(u'\\', QStringLiteral("\\\\"));
    return command;
}

#endif

} // namespace

void SetAutostartProgramFile(const QString& programFile) {
    const QMutexLocker lock(&programFileMutex);
    programFileOverride = programFile;
}

#ifdef Q_OS_WIN

bool IsAutostartOn() {
    const QString name = valueName();
    if (name.isEmpty())
        return false;
    const QSettings run(runKey, QSettings::NativeFormat);
    return run.contains(name);
}

void WriteAutostart() {
    const QFileInfo program(programFile());
    const QString name = program.completeBaseName();
    if (name.isEmpty())
        return;
    // Folder, "\", name, ".exe -Min", unquoted: the form earlier versions stored.
    const QString data = QDir::toNativeSeparators(program.absolutePath()) + u'\\' + name +
                         QStringLiteral(".exe -Min");
    QSettings run(runKey, QSettings::NativeFormat);
    run.setValue(name, data);
    run.sync();
}

void DeleteAutostart() {
    const QString name = valueName();
    if (name.isEmpty())
        return;
    QSettings run(runKey, QSettings::NativeFormat);
    run.remove(name);
    run.sync();
}

#else

bool IsAutostartOn() {
    const QString path = entryPath();
    return !path.isEmpty() && QFileInfo(path).isFile();
}

void WriteAutostart() {
    const QString path = entryPath();
    if (path.isEmpty())
        return;
    const QFileInfo program(programFile());
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return;
    const QString command = program.absolutePath() + u'/' + program.fileName();
    const QString entry = QStringLiteral("[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=Valdane\n"
                                         "Exec=%1\n"
                                         "Icon=%2\n"
                                         "Terminal=false\n")
                              .arg(execValue(command), QStringLiteral(VALDANE_APP_ID));
    ReplaceFileAtomically(path, entry.toUtf8());
}

void DeleteAutostart() {
    const QString path = entryPath();
    if (!path.isEmpty())
        QFile::remove(path);
}

#endif

#include "storage/autostart.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

QByteArray contentOf(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArrayLiteral("<unreadable>");
    return file.readAll();
}

} // namespace

class TestAutostart : public QObject {
    Q_OBJECT

  private slots:
    void init();
    void cleanup();
    void writeReadDelete();
    void execLine_data();
    void execLine();
    void anyContentCounts();
    void renamedProgram();
    void defaultsToHomeConfig();
    void failuresAreSwallowed();

  private:
    QString entry(const QString& name) const {
        return dir.filePath(QStringLiteral("config/autostart/") + name +
                            QStringLiteral(".desktop"));
    }
    QTemporaryDir dir;
};

void TestAutostart::init() {
    QVERIFY(dir.isValid());
    QDir(dir.filePath(QStringLiteral("config"))).removeRecursively();
    qputenv("XDG_CONFIG_HOME", dir.filePath(QStringLiteral("config")).toUtf8());
    SetAutostartProgramFile(QStringLiteral("/opt/valdane/valdane"));
}

void TestAutostart::cleanup() {
    SetAutostartProgramFile(QString());
}

void TestAutostart::writeReadDelete() {
    QVERIFY(!IsAutostartOn());
    DeleteAutostart(); // nothing to delete: harmless
    WriteAutostart();
    QVERIFY(IsAutostartOn());
    const QByteArray content = contentOf(entry(QStringLiteral("valdane")));
    QVERIFY(content.startsWith("[Desktop Entry]\n"));
    QVERIFY(content.contains("\nType=Application\n"));
    QVERIFY(content.contains("\nName=Valdane\n"));
    QVERIFY(content.contains("\nExec=/opt/valdane/valdane -Min\n"));
    WriteAutostart(); // replacing is fine
    QVERIFY(IsAutostartOn());
    DeleteAutostart();
    QVERIFY(!IsAutostartOn());
    QVERIFY(!QFile::exists(entry(QStringLiteral("valdane"))));
}

void TestAutostart::execLine_data() {
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("exec");

    QTest::newRow("plain") << "/opt/v/valdane"
                           << "valdane" << QByteArray("/opt/v/valdane -Min");
    QTest::newRow("blank in folder")
        << "/home/u/my tools/valdane"
        << "valdane" << QByteArray("\"/home/u/my tools/valdane\" -Min");
    QTest::newRow("percent doubled") << "/opt/100%/valdane"
                                     << "valdane" << QByteArray("/opt/100%%/valdane -Min");
    QTest::newRow("dollar escaped") << "/opt/a$b/valdane"
                                    << "valdane" << QByteArray("\"/opt/a\\\\$b/valdane\" -Min");
    QTest::newRow("chinese folder") << "/opt/工具/valdane"
                                    << "valdane" << QByteArray("/opt/工具/valdane -Min");
    QTest::newRow("relative folder made absolute")
        << "bin/../bin/valdane"
        << "valdane" << QDir::currentPath().toUtf8() + "/bin/valdane -Min";
}

void TestAutostart::execLine() {
    QFETCH(QString, program);
    QFETCH(QString, file);
    QFETCH(QByteArray, exec);
    SetAutostartProgramFile(program);
    WriteAutostart();
    const QByteArray content = contentOf(entry(file));
    QVERIFY2(content.contains("\nExec=" + exec + "\n"), content.constData());
}

void TestAutostart::anyContentCounts() {
    QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("config/autostart"))));
    QFile file(entry(QStringLiteral("valdane")));
    QVERIFY(file.open(QIODevice::WriteOnly)); // empty
    file.close();
    QVERIFY(IsAutostartOn());
    QVERIFY(QFile::remove(entry(QStringLiteral("valdane"))));
    QVERIFY(QDir().mkpath(entry(QStringLiteral("valdane")))); // a folder is no entry
    QVERIFY(!IsAutostartOn());
}

void TestAutostart::renamedProgram() {
    WriteAutostart();
    SetAutostartProgramFile(QStringLiteral("/opt/valdane/valdane2"));
    QVERIFY(!IsAutostartOn());
    WriteAutostart();
    QVERIFY(IsAutostartOn());
    QVERIFY(QFile::exists(entry(QStringLiteral("valdane")))); // the old one stays
    QVERIFY(
        contentOf(entry(QStringLiteral("valdane2"))).contains("Exec=/opt/valdane/valdane2 -Min"));
}

void TestAutostart::defaultsToHomeConfig() {
    const QByteArray oldHome = qgetenv("HOME");
    qputenv("HOME", dir.filePath(QStringLiteral("home")).toUtf8());
    for (const QByteArray& xdg : {QByteArray(), QByteArray("relative/config")}) {
        if (xdg.isEmpty())
            qunsetenv("XDG_CONFIG_HOME");
        else
            qputenv("XDG_CONFIG_HOME", xdg);
        WriteAutostart();
        QVERIFY(
            QFile::exists(dir.filePath(QStringLiteral("home/.config/autostart/valdane.desktop"))));
        QVERIFY(IsAutostartOn());
        DeleteAutostart();
        QVERIFY(!IsAutostartOn());
    }
    qputenv("HOME", oldHome);
}

void TestAutostart::failuresAreSwallowed() {
    // The autostart folder is a file: nothing can be written, nothing breaks.
    QFile blocker(dir.filePath(QStringLiteral("config")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    WriteAutostart();
    QVERIFY(!IsAutostartOn());
    DeleteAutostart();
    QVERIFY(QFile::remove(dir.filePath(QStringLiteral("config"))));
    // No program file name: no entry at all.
    SetAutostartProgramFile(QStringLiteral("/"));
    WriteAutostart();
    QVERIFY(!IsAutostartOn());
}

QTEST_GUILESS_MAIN(TestAutostart)
#include "tst_autostart.moc"

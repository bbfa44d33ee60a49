#include "storage/autostart.h"

#include "storagetest.h"

#include <QDir>
#include <QTemporaryDir>

class TestAutostart : public QObject {
    Q_OBJECT

  private slots:
    void init();
    void cleanup();
    void writeReadDelete();
    void execLine_data();
    void execLine();
    void whatCountsAsAnEntry();
    void defaultsToHomeConfig();
    void failuresAreSwallowed();

  private:
    QString entry(const QString& name) const {
        return dir.filePath(QStringLiteral("config/autostart/%1.desktop").arg(name));
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
    qunsetenv("VALDANE_MAKER_URL");
}

void TestAutostart::writeReadDelete() {
    QVERIFY(!IsAutostartOn());
    DeleteAutostart(); // nothing to delete: harmless
    WriteAutostart();
    WriteAutostart(); // replacing is fine
    QVERIFY(IsAutostartOn());
    const QByteArray content = contentOf(entry(QStringLiteral("valdane")));
    QVERIFY(content.startsWith("[Desktop Entry]\n"));
    for (const char* line :
         {"\nType=Application\n", "\nName=Valdane\n", "\nExec=/opt/valdane/valdane -Min\n"})
        QVERIFY2(content.contains(line), line);
    DeleteAutostart();
    QVERIFY(!IsAutostartOn());
    QVERIFY(!QFile::exists(entry(QStringLiteral("valdane"))));
}

void TestAutostart::execLine_data() {
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("makerUrl"); // VALDANE_MAKER_URL at the time of writing
    QTest::addColumn<QByteArray>("exec");

    QTest::newRow("blank in folder") << "/home/u/my tools/valdane"
                                     << "" << QByteArray("\"/home/u/my tools/valdane\" -Min");
    QTest::newRow("percent doubled") << "/opt/100%/valdane"
                                     << "" << QByteArray("/opt/100%%/valdane -Min");
    QTest::newRow("dollar escaped") << "/opt/a$b/valdane"
                                    << "" << QByteArray("\"/opt/a\\\\$b/valdane\" -Min");
    QTest::newRow("chinese folder") << "/opt/工具/valdane"
                                    << "" << QByteArray("/opt/工具/valdane -Min");
    QTest::newRow("relative folder made absolute")
        << "bin/../bin/valdane"
        << "" << QDir::currentPath().toUtf8() + "/bin/valdane -Min";
    // The service address the program was started with goes along with the session start.
    QTest::newRow("service address")
        << "/opt/valdane/valdane"
        << "http://stats.example.net:8080"
        << QByteArray(
               "env VALDANE_MAKER_URL=http://stats.example.net:8080 /opt/valdane/valdane -Min");
    QTest::newRow("service address quoted")
        << "/opt/valdane/valdane"
        << "http://h/$x y%"
        << QByteArray("env \"VALDANE_MAKER_URL=http://h/\\\\$x y%%\" /opt/valdane/valdane -Min");
}

void TestAutostart::execLine() {
    QFETCH(QString, program);
    QFETCH(QString, makerUrl);
    QFETCH(QByteArray, exec);
    if (!makerUrl.isEmpty())
        qputenv("VALDANE_MAKER_URL", makerUrl.toUtf8());
    SetAutostartProgramFile(program);
    WriteAutostart();
    const QByteArray content = contentOf(entry(QStringLiteral("valdane")));
    QVERIFY2(content.contains("\nExec=" + exec + "\n"), content.constData());
}

void TestAutostart::whatCountsAsAnEntry() {
    // Any file under the program's name counts, even an empty one; a folder does not.
    QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("config/autostart"))));
    QVERIFY(QFile(entry(QStringLiteral("valdane"))).open(QIODevice::WriteOnly));
    QVERIFY(IsAutostartOn());
    QVERIFY(QFile::remove(entry(QStringLiteral("valdane"))));
    QVERIFY(QDir().mkpath(entry(QStringLiteral("valdane"))));
    QVERIFY(!IsAutostartOn());
    // A renamed program has no entry until it writes its own; the old one stays.
    QVERIFY(QDir(entry(QStringLiteral("valdane"))).removeRecursively());
    WriteAutostart();
    SetAutostartProgramFile(QStringLiteral("/opt/valdane/valdane2"));
    QVERIFY(!IsAutostartOn());
    WriteAutostart();
    QVERIFY(IsAutostartOn());
    QVERIFY(QFile::exists(entry(QStringLiteral("valdane"))));
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
        DeleteAutostart();
        QVERIFY(!IsAutostartOn());
    }
    qputenv("HOME", oldHome);
}

void TestAutostart::failuresAreSwallowed() {
    // The config folder is a file: nothing can be written, nothing breaks.
    putContent(dir.filePath(QStringLiteral("config")), "");
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

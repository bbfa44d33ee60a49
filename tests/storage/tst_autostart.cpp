#include "storage/autostart.h"

#include "fixture.h"

#include <QDir>
#include <QTemporaryDir>

class TestAutostart : public QObject {
    Q_OBJECT
  private:
    QString entry(const QString& name) const {
        return dir.filePath(QStringLiteral("config/autostart/%1.desktop").arg(name));
    }
    QTemporaryDir dir;

  private slots:
    void init() {
        QVERIFY(dir.isValid());
        QDir(dir.filePath(QStringLiteral("config"))).removeRecursively();
        qputenv("XDG_CONFIG_HOME", dir.filePath(QStringLiteral("config")).toUtf8());
        SetAutostartProgramFile(QStringLiteral("/opt/valdane/valdane"));
        qunsetenv("VALDANE_MAKER_URL");
    }

    void cleanup() { SetAutostartProgramFile(QString()); }

    void writeReadDelete() {
        QVERIFY(!IsAutostartOn());
        DeleteAutostart(); // nothing to delete: harmless
        WriteAutostart();
        WriteAutostart(); // replacing is fine
        QVERIFY(IsAutostartOn());
        const QByteArray content = ContentOf(entry(QStringLiteral("valdane")));
        QVERIFY(content.startsWith("[Desktop Entry]\n"));
        for (const char* line :
             {"\nType=Application\n", "\nName=Valdane\n", "\nExec=/opt/valdane/valdane -Min\n",
              "\nIcon=" VALDANE_APP_ID "\n"})
            QVERIFY2(content.contains(line), line);
        DeleteAutostart();
        QVERIFY(!IsAutostartOn());
        QVERIFY(!QFile::exists(entry(QStringLiteral("valdane"))));
    }

    void execLine_data() {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QByteArray>("makerUrl");
        QTest::addColumn<QByteArray>("exec");

        QTest::newRow("blank in folder") << "/home/u/my tools/valdane" << QByteArray()
                                         << QByteArray("\"/home/u/my tools/valdane\" -Min");
        QTest::newRow("percent doubled")
            << "/opt/100%/valdane" << QByteArray() << QByteArray("/opt/100%%/valdane -Min");
        QTest::newRow("dollar escaped")
            << "/opt/a$b/valdane" << QByteArray() << QByteArray("\"/opt/a\\\\$b/valdane\" -Min");
        QTest::newRow("chinese folder")
            << "/opt/工具/valdane" << QByteArray() << QByteArray("/opt/工具/valdane -Min");
        QTest::newRow("relative folder made absolute")
            << "bin/../bin/valdane" << QByteArray()
            << QDir::currentPath().toUtf8() + "/bin/valdane -Min";
        QTest::newRow("service elsewhere")
            << "/usr/bin/valdane" << QByteArray("http://10.0.0.5:8936")
            << QByteArray("env VALDANE_MAKER_URL=http://10.0.0.5:8936 /usr/bin/valdane -Min");
        QTest::newRow("service address with shell characters, both quoted")
            << "/opt/my valdane/valdane" << QByteArray("http://h/a?x=1&y=$HOME%")
            << QByteArray("env \"VALDANE_MAKER_URL=http://h/a?x=1&y=\\\\$HOME%%\" "
                          "\"/opt/my valdane/valdane\" -Min");
    }

    void execLine() {
        QFETCH(QString, program);
        QFETCH(QByteArray, makerUrl);
        QFETCH(QByteArray, exec);
        SetAutostartProgramFile(program);
        if (!makerUrl.isEmpty())
            qputenv("VALDANE_MAKER_URL", makerUrl);
        WriteAutostart();
        const QByteArray content = ContentOf(entry(QStringLiteral("valdane")));
        QVERIFY2(content.contains("\nExec=" + exec + "\n"), content.constData());
    }

    void whatCountsAsAnEntry() {
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

    void defaultsToHomeConfig() {
        const QByteArray oldHome = qgetenv("HOME");
        qputenv("HOME", dir.filePath(QStringLiteral("home")).toUtf8());
        for (const QByteArray& xdg : {QByteArray(), QByteArray("relative/config")}) {
            if (xdg.isEmpty())
                qunsetenv("XDG_CONFIG_HOME");
            else
                qputenv("XDG_CONFIG_HOME", xdg);
            WriteAutostart();
            QVERIFY(QFile::exists(
                dir.filePath(QStringLiteral("home/.config/autostart/valdane.desktop"))));
            DeleteAutostart();
            QVERIFY(!IsAutostartOn());
        }
        qputenv("HOME", oldHome);
    }

    void failuresAreSwallowed() {
        // The config folder is a file: nothing can be written, nothing breaks.
        PutContent(dir.filePath(QStringLiteral("config")), "");
        WriteAutostart();
        QVERIFY(!IsAutostartOn());
        DeleteAutostart();
        QVERIFY(QFile::remove(dir.filePath(QStringLiteral("config"))));
        // No program file name: no entry at all.
        SetAutostartProgramFile(QStringLiteral("/"));
        WriteAutostart();
        QVERIFY(!IsAutostartOn());
    }
};

QTEST_GUILESS_MAIN(TestAutostart)
#include "tst_autostart.moc"

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
        const QByteArray content = ContentOf(entry("valdane"));
        QVERIFY(content.startsWith("[Desktop Entry]\n"));
        for (const char* line :
             {"\nType=Application\n", "\nName=Valdane\n", "\nExec=/opt/valdane/valdane -Min\n",
              "\nIcon=" VALDANE_APP_ID "\n"})
            QVERIFY2(content.contains(line), line);
        DeleteAutostart();
        QVERIFY(!IsAutostartOn());
        QVERIFY(!QFile::exists(entry("valdane")));
    }

    void execLine_data() {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QByteArray>("makerUrl");
        QTest::addColumn<QByteArray>("exec");

        const auto row = [](const char* name, const char* program, const char* url,
                            const QByteArray& exec) {
            QTest::newRow(name) << QString(program) << QByteArray(url) << exec;
        };
        row("blank in folder", "/home/u/my tools/valdane", "", "\"/home/u/my tools/valdane\" -Min");
        row("percent doubled", "/opt/100%/valdane", "", "/opt/100%%/valdane -Min");
        row("dollar escaped", "/opt/a$b/valdane", "", "\"/opt/a\\\\$b/valdane\" -Min");
        row("chinese folder", "/opt/工具/valdane", "", "/opt/工具/valdane -Min");
        row("relative folder made absolute", "bin/../bin/valdane", "",
            QDir::currentPath().toUtf8() + "/bin/valdane -Min");
        row("service elsewhere", "/usr/bin/valdane", "http://10.0.0.5:8936",
            "env VALDANE_MAKER_URL=http://10.0.0.5:8936 /usr/bin/valdane -Min");
        row("service address with shell characters, both quoted", "/opt/my valdane/valdane",
            "http://h/a?x=1&y=$HOME%",
            "env \"VALDANE_MAKER_URL=http://h/a?x=1&y=\\\\$HOME%%\" \"/opt/my valdane/valdane\" "
            "-Min");
    }

    void execLine() {
        QFETCH(QString, program);
        QFETCH(QByteArray, makerUrl);
        QFETCH(QByteArray, exec);
        SetAutostartProgramFile(program);
        if (!makerUrl.isEmpty())
            qputenv("VALDANE_MAKER_URL", makerUrl);
        WriteAutostart();
        const QByteArray content = ContentOf(entry("valdane"));
        QVERIFY2(content.contains("\nExec=" + exec + "\n"), content.constData());
    }

    void whatCountsAsAnEntry() {
        // Any file under the program's name counts, even an empty one; a folder does not.
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("config/autostart"))));
        QVERIFY(QFile(entry("valdane")).open(QIODevice::WriteOnly));
        QVERIFY(IsAutostartOn());
        QVERIFY(QFile::remove(entry("valdane")));
        QVERIFY(QDir().mkpath(entry("valdane")));
        QVERIFY(!IsAutostartOn());
        // A renamed program has no entry until it writes its own; the old one stays.
        QVERIFY(QDir(entry("valdane")).removeRecursively());
        WriteAutostart();
        SetAutostartProgramFile(QStringLiteral("/opt/valdane/valdane2"));
        QVERIFY(!IsAutostartOn());
        WriteAutostart();
        QVERIFY(IsAutostartOn());
        QVERIFY(QFile::exists(entry("valdane")));
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

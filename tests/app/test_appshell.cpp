// The program's shell without its window: the service it starts, signals, where its files live
// and the one instance that runs.
#include "app/configfiles.h"
#include "app/servicelauncher.h"
#include "app/signalrelay.h"
#include "app/singleinstance.h"
#include "fixture.h"
#include "storage/inifile.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace std::chrono_literals;

namespace {

ServiceLauncher::Setup setupFor(quint16 port, const QString& program,
                                const QString& url = QStringLiteral("http://127.0.0.1:%1")) {
    ServiceLauncher::Setup setup;
    setup.makerUrl = url.arg(port);
    setup.folders = {QStringLiteral("/nonexistent"), QFileInfo(program).absolutePath()};
    setup.programName = QFileInfo(program).fileName();
    return setup;
}

bool answers(quint16 port) {
    return ServiceLauncher::Answers("127.0.0.1", port, 300ms);
}

} // namespace

class TestAppShell : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

  private slots:
    // The service is started only at the build's loopback address, when nothing answers there.
    void launcher_data() {
        QTest::addColumn<QString>("url");   // "%1": the port
        QTest::addColumn<bool>("answered"); // the fake service listens there
        QTest::addColumn<bool>("overridden");
        QTest::addColumn<QString>("program");
        QTest::addColumn<bool>("starts");
        const QString loopback = QStringLiteral("http://127.0.0.1:%1");
        QTest::newRow("nothing answers") << loopback << false << false << FAKE_SERVICE << true;
        QTest::newRow("something answers") << loopback << true << false << FAKE_SERVICE << false;
        QTest::newRow("set by the user") << loopback << false << true << FAKE_SERVICE << false;
        QTest::newRow("not loopback")
            << "http://192.0.2.7:%1" << false << false << FAKE_SERVICE << false;
        QTest::newRow("no program")
            << "http://localhost:%1" << false << false << "/nonexistent/x" << false;
        QTest::newRow("program fails") << loopback << false << false << "/bin/false" << false;
    }
    void launcher() {
        QFETCH(QString, url);
        QFETCH(bool, answered);
        QFETCH(bool, overridden);
        QFETCH(QString, program);
        QFETCH(bool, starts);
        FakeQueryService service;
        QVERIFY(service.start());
        const quint16 port = answered ? service.port() : FreePort();
        ServiceLauncher::Setup setup = setupFor(port, program, url);
        setup.overridden = overridden;
        ServiceLauncher launcher(setup);
        QCOMPARE(launcher.EnsureRunning(), starts);
        QCOMPARE(launcher.Running(), starts);
        if (!starts)
            return;
        QCOMPARE(launcher.ListenAddress(), QStringLiteral("127.0.0.1:%1").arg(port));
        QVERIFY(answers(port));
        QVERIFY(launcher.EnsureRunning()); // already ours: nothing more starts
        launcher.Stop();
        QVERIFY(!launcher.Running());
        QVERIFY(!answers(port));
    }

    void usesTheServiceThatTookThePortFirst() {
        // Another service takes the port between the probe and the start: ours ends as a
        // second service on a port does, and the program uses the one that answers.
        QFile script(dir.filePath("second.sh"));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write(
            QStringLiteral("#!/bin/sh\n\"%1\" \"$@\" > \"%2/port\" &\necho $! > \"%2/pid\"\n"
                           "while [ ! -s \"%2/port\" ]; do sleep 0.01; done\nexit 1\n")
                .arg(QStringLiteral(FAKE_SERVICE), dir.path())
                .toUtf8());
        script.close();
        script.setPermissions(script.permissions() | QFileDevice::ExeOwner);
        ServiceLauncher launcher(setupFor(FreePort(), script.fileName()));
        const bool answered = launcher.EnsureRunning();
        QFile pid(dir.filePath("pid"));
        if (pid.open(QIODevice::ReadOnly))
            ::kill(pid.readAll().trimmed().toInt(), SIGTERM);
        QVERIFY(answered);
        QTRY_VERIFY(!launcher.Running());
    }

    void signalsReachTheEventLoop() {
        SignalRelay relay({SIGTERM, SIGHUP});
        QSignalSpy spy(&relay, &SignalRelay::received);
        std::raise(SIGHUP);
        std::raise(SIGTERM);
        QTRY_COMPARE(spy.size(), 2);
        QCOMPARE(spy[0][0].toInt(), SIGHUP);
        QCOMPARE(spy[1][0].toInt(), SIGTERM);
    }

    void filesAndTheirWriteProblems() {
        qputenv("XDG_CONFIG_HOME", dir.filePath("config").toUtf8());
        qputenv("XDG_DATA_HOME", dir.filePath("data").toUtf8());
        const QString program = dir.filePath("bin");
        QVERIFY(QDir().mkpath(program));
        FilePlaces places = LocateFiles(program);
        QCOMPARE(places.config, dir.filePath("config/valdane/Config.ini"));
        QCOMPARE(places.log, dir.filePath("data/valdane/SeoLog.htm"));
        QVERIFY(QFileInfo(dir.filePath("config/valdane")).isDir());
        QVERIFY(QFileInfo(dir.filePath("data/valdane")).isDir());

        QFile(program + "/Config.ini").open(QIODevice::WriteOnly);
        places = LocateFiles(program + "/");
        QCOMPARE(places.config, program + "/Config.ini");
        QCOMPARE(places.log, program + "/SeoLog.htm");

        // Write problems are named, and probing leaves nothing behind.
        QCOMPARE(IniWriteProblem(dir.filePath("Config.ini")), QString());
        QFile blocker(dir.filePath("plain"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        QVERIFY(!IniWriteProblem(dir.filePath("plain/Config.ini")).isEmpty());
        QVERIFY(QDir().mkpath(dir.filePath("folder/Config.ini")));
        QVERIFY(!IniWriteProblem(dir.filePath("folder/Config.ini")).isEmpty());
        QVERIFY(QDir(dir.path()).entryList({"plain.*", "Config.ini*"}, QDir::Files).isEmpty());
    }

    // The socket lies in the user's private folder whatever the title holds; a crashed
    // instance's leftover is taken over, and the socket goes when the instance ends, also by a
    // process end that skips destructors.
    void oneInstancePerTitle() {
        QTemporaryDir runtime;
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        const QString title = QStringLiteral("Valdane V1.3 Beta - 127.0.0.1:8936/x y");
        const QString path = SingleInstance::socketPath(title);
        QCOMPARE(QFileInfo(path).absolutePath(), runtime.filePath("valdane"));
        QVERIFY(QFile(path).open(QIODevice::WriteOnly));
        {
            SingleInstance first(title);
            QVERIFY(!first.notifyRunning());
            QVERIFY(first.listen());
            QSignalSpy shown(&first, &SingleInstance::showRequested);
            QVERIFY(SingleInstance(title).notifyRunning());
            QVERIFY(shown.wait(2000));
            QCOMPARE(shown.size(), 1);
            QVERIFY(!SingleInstance(title + ' ').notifyRunning()); // another program
        }
        QVERIFY(!QFileInfo::exists(path));
        SingleInstance again(title);
        QVERIFY(again.listen());
        SingleInstance::endListening();
        QVERIFY(!QFileInfo::exists(path));
        QVERIFY(!SingleInstance(title).notifyRunning());
        qunsetenv("XDG_RUNTIME_DIR");
    }
};

QTEST_GUILESS_MAIN(TestAppShell)
#include "test_appshell.moc"

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
#include <QUuid>

#include <csignal>

using namespace std::chrono_literals;

namespace {

ServiceLauncher::Setup setupFor(const QString& makerUrl, const QString& program) {
    ServiceLauncher::Setup setup;
    setup.makerUrl = makerUrl;
    setup.folders = {QStringLiteral("/nonexistent"), QFileInfo(program).absolutePath()};
    setup.programName = QFileInfo(program).fileName();
    return setup;
}

QString uniqueTitle() {
    return QStringLiteral("Valdane V1.3 Beta - test ") + QUuid::createUuid().toString();
}

} // namespace

class TestAppShell : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

  private slots:
    void startsTheServiceWhenNothingAnswers() {
        const quint16 port = FreePort();
        const QString url = QStringLiteral("http://127.0.0.1:%1").arg(port);
        ServiceLauncher launcher(setupFor(url, QStringLiteral(FAKE_SERVICE)));
        QCOMPARE(launcher.ListenAddress(), url.mid(7));
        QVERIFY(!ServiceLauncher::Answers("127.0.0.1", port, 300ms));
        QVERIFY(launcher.EnsureRunning());
        QVERIFY(launcher.Running());
        QVERIFY(ServiceLauncher::Answers("127.0.0.1", port, 300ms));
        QVERIFY(launcher.EnsureRunning()); // already ours: nothing more starts
        launcher.Stop();
        QVERIFY(!launcher.Running());
        QVERIFY(!ServiceLauncher::Answers("127.0.0.1", port, 300ms));
    }

    void startsNothing_data() {
        QTest::addColumn<QString>("url");   // "%1": the port
        QTest::addColumn<bool>("answered"); // the fake service listens there
        QTest::addColumn<bool>("overridden");
        QTest::addColumn<QString>("program");
        const QString loopback = QStringLiteral("http://127.0.0.1:%1");
        QTest::newRow("something answers") << loopback << true << false << FAKE_SERVICE;
        QTest::newRow("address set by the user") << loopback << false << true << FAKE_SERVICE;
        QTest::newRow("not loopback") << "http://192.0.2.7:%1" << false << false << FAKE_SERVICE;
        QTest::newRow("no program") << "http://localhost:%1" << false << false << "/nonexistent/x";
        QTest::newRow("program fails") << loopback << false << false << "/bin/false";
    }
    void startsNothing() {
        QFETCH(QString, url);
        QFETCH(bool, answered);
        QFETCH(bool, overridden);
        QFETCH(QString, program);
        FakeQueryService service;
        QVERIFY(service.start());
        ServiceLauncher::Setup setup =
            setupFor(url.arg(answered ? service.port() : FreePort()), program);
        setup.overridden = overridden;
        ServiceLauncher launcher(setup);
        QVERIFY(!launcher.EnsureRunning());
        QVERIFY(!launcher.Running());
    }

    void usesTheServiceThatTookThePortFirst() {
        // Another service takes the port between the probe and the start: ours ends as a
        // second service on a port does, and the program uses the one that answers.
        const quint16 port = FreePort();
        QFile script(dir.filePath("second.sh"));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write(
            QStringLiteral("#!/bin/sh\n\"%1\" \"$@\" > \"%2/port\" &\necho $! > \"%2/pid\"\n"
                           "while [ ! -s \"%2/port\" ]; do sleep 0.01; done\nexit 1\n")
                .arg(QStringLiteral(FAKE_SERVICE), dir.path())
                .toUtf8());
        script.close();
        script.setPermissions(script.permissions() | QFileDevice::ExeOwner);
        ServiceLauncher launcher(
            setupFor(QStringLiteral("http://127.0.0.1:%1").arg(port), script.fileName()));
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

    void filesLiveBesideAConfigOrInTheUsersFolders() {
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
    }

    void writeProblemsAreNamed() {
        QCOMPARE(IniWriteProblem(dir.filePath("Config.ini")), QString());
        QFile blocker(dir.filePath("plain"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        QVERIFY(!IniWriteProblem(dir.filePath("plain/Config.ini")).isEmpty());
        QVERIFY(QDir().mkpath(dir.filePath("folder/Config.ini")));
        QVERIFY(!IniWriteProblem(dir.filePath("folder/Config.ini")).isEmpty());
        QVERIFY(QDir(dir.path()).entryList({"plain.*", "Config.ini*"}, QDir::Files).isEmpty());
    }

    void secondStartFindsTheFirst() {
        const QString title = uniqueTitle();
        SingleInstance first(title);
        QVERIFY(!first.notifyRunning());
        QVERIFY(first.listen());
        QSignalSpy shown(&first, &SingleInstance::showRequested);

        SingleInstance second(title);
        QVERIFY(second.notifyRunning());
        QVERIFY(shown.wait(2000));
        QCOMPARE(shown.size(), 1);
        // Another title is another program.
        QVERIFY(!SingleInstance(uniqueTitle()).notifyRunning());
    }

    void socketNameIsSafeAndStable() {
        const QString title = QStringLiteral("Valdane V1.3 Beta - 127.0.0.1:8936/x y");
        const QString name = SingleInstance::socketName(title);
        QCOMPARE(name, SingleInstance::socketName(title));
        QVERIFY(name != SingleInstance::socketName(title + QLatin1Char(' ')));
        for (QChar c : name)
            QVERIFY(c.isLetterOrNumber() || c == QLatin1Char('-'));
    }

    void leftoverSocketOfACrashedInstanceIsTakenOver() {
        const QString title = uniqueTitle();
        QFile stale(SingleInstance::socketPath(title));
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.close();

        SingleInstance first(title);
        QVERIFY(!first.notifyRunning());
        QVERIFY(first.listen());
        SingleInstance second(title);
        QVERIFY(second.notifyRunning());
    }

    // The socket lies in the user's private folder, and goes when the instance ends, also by
    // a process end that skips destructors.
    void socketIsPrivateAndRemoved() {
        QTemporaryDir runtime;
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        const QString title = uniqueTitle();
        const QString path = SingleInstance::socketPath(title);
        QCOMPARE(QFileInfo(path).absolutePath(), runtime.filePath("valdane"));
        {
            SingleInstance first(title);
            QVERIFY(first.listen());
            QVERIFY(QFileInfo::exists(path));
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

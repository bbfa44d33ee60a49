// The program without its window: the built program, its service, signals, files, one instance.
#include "app/configfiles.h"
#include "app/servicelauncher.h"
#include "app/signalrelay.h"
#include "app/singleinstance.h"
#include "fixture.h"
#include "storage/inifile.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>

#include <csignal>

using namespace std::chrono_literals;

namespace {

ServiceLauncher::Setup setupFor(quint16 port, const QString& program,
                                const QString& url = "http://127.0.0.1:%1",
                                bool overridden = false) {
    const QFileInfo file(program);
    return {url.arg(port), overridden, {"/nonexistent", file.absolutePath()}, file.fileName()};
}
// url: "%1" is the port; answered: the fake service listens there.
struct Launch {
    const char *name, *url, *program;
    bool answered, overridden, starts;
};
bool answers(quint16 port) {
    return ServiceLauncher::Answers("127.0.0.1", port, 300ms);
}

} // namespace

class TestAppShell : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

  private slots:
    // The built program from a scratch folder: it refreshes at activation, a second start only
    // restores the first, and a signal (log-out, shutdown) still runs the close request.
    void builtProgram() {
        FakeQueryService service;
        QTemporaryDir folder, temp;
        QVERIFY(service.start() && folder.isValid() && temp.isValid());
        const QString program = folder.filePath("valdane"), config = folder.filePath("Config.ini");
        QVERIFY(QFile::copy(VALDANE_BINARY, program));
        QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        const auto ini = [&](const char* s, const char* k) { return ReadIni(s, k, config); };
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("VALDANE_MAKER_URL", service.baseUrl());
        env.insert("TEMP", temp.path());
        env.insert("XDG_RUNTIME_DIR", temp.path()); // its own instance socket
        QProcess first, second;
        first.setProcessEnvironment(env);
        second.setProcessEnvironment(env);
        PutContent(config, "[Setting]\r\nSeoUrl=alpha.com;beta.org\r\nAutoGain=1\r\n"
                           "AutoRecord=1\r\nAutoUpdate=0\r\n");
        for (const auto& [page, alpha, beta] :
             {std::tuple{"sites.asp", "11|12|13|14|15|16|17", "false"},
              {"links.asp", "1|2|3|4|5|6|7", "9,9,9,9,9,9,9"},
              {"ranks.asp", "5|6", "2,1"}}) {
            service.setPayloadFor(page, "alpha.com", alpha);
            service.setPayloadFor(page, "beta.org", beta);
        }
        first.start(program, {});
        QVERIFY(first.waitForStarted(5000));
        QTRY_COMPARE_WITH_TIMEOUT(ini("beta.org", "Url_pr"), QStringLiteral("2,1"), 20000);
        // The run ends with the lists reloaded; give it a moment, then compare bytes.
        QTest::qWait(300);
        const QByteArray before = ContentOf(config);
        const auto exited = std::pair(QProcess::NormalExit, 0);
        second.start(program, {});
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(std::pair(second.exitStatus(), second.exitCode()), exited);
        QCOMPARE(ContentOf(config), before);
        QCOMPARE(first.state(), QProcess::Running);
        // Signals reach the event loop in order; ended by one, the program runs its close request.
        SignalRelay relay({SIGTERM, SIGHUP});
        QSignalSpy spy(&relay, &SignalRelay::received);
        std::raise(SIGHUP);
        std::raise(SIGTERM);
        QTRY_COMPARE(spy.size(), 2);
        QCOMPARE(QList<int>({spy[0][0].toInt(), spy[1][0].toInt()}), QList<int>({SIGHUP, SIGTERM}));
        QVERIFY(ini("Setting", "SViewWidth").isEmpty());
        first.terminate();
        QVERIFY(first.waitForFinished(5000));
        QCOMPARE(std::pair(first.exitStatus(), first.exitCode()), exited);
        QCOMPARE(ini("Setting", "SViewWidth").count(u','), 7);
    }
    // The service is started only at the build's loopback address, when nothing answers there.
    void launcher_data() {
        const char* loopback = "http://127.0.0.1:%1";
        addRows<Launch>({
            {"nothing answers", loopback, FAKE_SERVICE, false, false, true},
            {"something answers", loopback, FAKE_SERVICE, true, false, false},
            {"set by the user", loopback, FAKE_SERVICE, false, true, false},
            {"not loopback", "http://192.0.2.7:%1", FAKE_SERVICE, false, false, false},
            {"no program", "http://localhost:%1", "/nonexistent/x", false, false, false},
            {"program fails", loopback, "/bin/false", false, false, false},
        });
    }
    void launcher() {
        QFETCH(Launch, row);
        FakeQueryService service;
        QVERIFY(service.start());
        const quint16 port = row.answered ? service.port() : FreePort();
        ServiceLauncher launcher(setupFor(port, row.program, row.url, row.overridden));
        QCOMPARE(launcher.EnsureRunning(), row.starts);
        QCOMPARE(launcher.Running(), row.starts);
        if (!row.starts)
            return;
        QCOMPARE(launcher.ListenAddress(), QStringLiteral("127.0.0.1:%1").arg(port));
        QVERIFY(answers(port));
        QVERIFY(launcher.EnsureRunning()); // already ours: nothing more starts
        launcher.Stop();
        QVERIFY(!launcher.Running() && !answers(port));
    }
    void usesTheServiceThatTookThePortFirst() {
        // Another service takes the port between probe and start: ours ends, that one is used.
        const QString script = dir.filePath("second.sh");
        PutContent(script,
                   QStringLiteral("#!/bin/sh\n\"%1\" \"$@\" > \"%2/port\" &\necho $! > \"%2/pid\"\n"
                                  "while [ ! -s \"%2/port\" ]; do sleep 0.01; done\nexit 1\n")
                       .arg(FAKE_SERVICE, dir.path())
                       .toUtf8());
        QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        ServiceLauncher launcher(setupFor(FreePort(), script));
        const auto stopOther = qScopeGuard([&] {
            QFile pid(dir.filePath("pid"));
            if (pid.open(QIODevice::ReadOnly))
                ::kill(pid.readAll().trimmed().toInt(), SIGTERM);
        });
        QVERIFY(launcher.EnsureRunning());
        // Ours (the script) ends once the other has printed its port: only then is that stopped.
        QTRY_VERIFY(!launcher.Running());
    }
    void filesAndTheirWriteProblems() {
        qputenv("XDG_CONFIG_HOME", dir.filePath("config").toUtf8());
        qputenv("XDG_DATA_HOME", dir.filePath("data").toUtf8());
        const QString program = dir.filePath("bin");
        QVERIFY(QDir().mkpath(program));
        FilePlaces places = LocateFiles(program);
        QCOMPARE(places.config, dir.filePath("config/valdane/Config.ini"));
        QCOMPARE(places.log, dir.filePath("data/valdane/SeoLog.htm"));
        QVERIFY(QFileInfo(places.config).dir().exists() && QFileInfo(places.log).dir().exists());
        QFile(program + "/Config.ini").open(QIODevice::WriteOnly);
        places = LocateFiles(program + "/");
        QCOMPARE(places.config, program + "/Config.ini");
        QCOMPARE(places.log, program + "/SeoLog.htm");
        // Write problems are named, and probing leaves nothing behind.
        QCOMPARE(IniWriteProblem(dir.filePath("Config.ini")), QString());
        QVERIFY(QDir(dir.path()).entryList({"plain.*", "Config.ini*"}, QDir::Files).isEmpty());
    }
    // The socket lies in the user's private folder whatever the title; a crashed instance's
    // leftover is taken over; the socket goes with the instance, also when destructors are skipped.
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
            QTRY_COMPARE(shown.size(), 1);
            QVERIFY(!SingleInstance(title + ' ').notifyRunning()); // another program
        }
        QVERIFY(!QFileInfo::exists(path));
        SingleInstance again(title);
        QVERIFY(again.listen());
        SingleInstance::endListening();
        QVERIFY(!QFileInfo::exists(path));
        qunsetenv("XDG_RUNTIME_DIR");
    }
};

QTEST_GUILESS_MAIN(TestAppShell)
#include "test_appshell.moc"

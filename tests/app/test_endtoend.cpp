// Starts the built program itself from a scratch folder against the fake query service.
#include "fixture.h"
#include "storage/charset.h"
#include "storage/inifile.h"

#include <QProcess>

class TestEndToEnd : public QObject {
    Q_OBJECT

    FakeQueryService service;
    QTemporaryDir folder;
    QTemporaryDir temp;

    QString program() const { return folder.filePath(QStringLiteral("valdane")); }
    QString config() const { return folder.filePath(QStringLiteral("Config.ini")); }
    QString ini(const char* section, const char* key) const {
        return ReadIni(section, key, config());
    }

    void launch(QProcess& process) const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("VALDANE_MAKER_URL", service.baseUrl());
        env.insert("TEMP", temp.path());
        env.insert("XDG_RUNTIME_DIR", temp.path()); // its own instance socket
        process.setProcessEnvironment(env);
        process.start(program(), {});
    }

  private slots:
    void initTestCase() {
        QVERIFY(service.start());
        QVERIFY(folder.isValid() && temp.isValid());
        QVERIFY(QFile::copy(QStringLiteral(VALDANE_BINARY), program()));
        QFile::setPermissions(program(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    void refreshesAtActivationAndRestoresInsteadOfStartingTwice() {
        PutContent(config(), "[Setting]\r\nSeoUrl=alpha.com;beta.org\r\nAutoGain=1\r\n"
                             "AutoRecord=1\r\nAutoUpdate=0\r\n");
        for (const auto& [page, alpha, beta] :
             {std::tuple{"sites.asp", "11|12|13|14|15|16|17", "false"},
              {"links.asp", "1|2|3|4|5|6|7", "9,9,9,9,9,9,9"},
              {"ranks.asp", "5|6", "2,1"}}) {
            service.setPayloadFor(page, "alpha.com", alpha);
            service.setPayloadFor(page, "beta.org", beta);
        }

        QProcess first;
        launch(first);
        QVERIFY(first.waitForStarted(5000));

        QTRY_COMPARE_WITH_TIMEOUT(ini("beta.org", "Url_pr"), QStringLiteral("2,1"), 20000);
        QCOMPARE(QStringList({ini("alpha.com", "Url_site"), ini("alpha.com", "Url_link"),
                              ini("beta.org", "Url_site")}),
                 QStringList({"11,12,13,14,15,16,17", "1,2,3,4,5,6,7", ""}));
        // The run is recorded; the report's form is the report's own tests' concern.
        QCOMPARE(ReadTextFile(folder.filePath("SeoLog.htm"), "gb2312").count("<td>beta.org</td>"),
                 1);

        // The run ends with the lists reloaded; give it a moment, then compare bytes.
        QTest::qWait(300);
        const QByteArray before = ContentOf(config());

        QProcess second;
        launch(second);
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(std::pair(second.exitStatus(), second.exitCode()),
                 std::pair(QProcess::NormalExit, 0));
        QCOMPARE(ContentOf(config()), before);
        QCOMPARE(first.state(), QProcess::Running);

        // Ended by a signal (log-out, shutdown), it still runs its close request.
        QVERIFY(ini("Setting", "SViewWidth").isEmpty());
        first.terminate();
        QVERIFY(first.waitForFinished(5000));
        QCOMPARE(std::pair(first.exitStatus(), first.exitCode()),
                 std::pair(QProcess::NormalExit, 0));
        QCOMPARE(ini("Setting", "SViewWidth").count(u','), 7);
    }
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "test_endtoend.moc"

// Starts the built program itself from a scratch folder against the fake query service.
#include "fixture.h"
#include "storage/charset.h"
#include "storage/inifile.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class TestEndToEnd : public QObject {
    Q_OBJECT

    FakeQueryService service;
    QTemporaryDir folder;
    QTemporaryDir temp;

    QString program() const { return folder.filePath(QStringLiteral("valdane")); }
    QString config() const { return folder.filePath(QStringLiteral("Config.ini")); }
    QString ini(const char* section, const char* key) const {
        return ReadIni(QString(section), QString(key), config());
    }

    QProcessEnvironment environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("VALDANE_MAKER_URL"), service.baseUrl());
        env.insert(QStringLiteral("TEMP"), temp.path());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), temp.path()); // its own instance socket
        return env;
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
        const QStringList pages = {"sites.asp", "links.asp", "ranks.asp"};
        const QStringList alpha = {"11|12|13|14|15|16|17", "1|2|3|4|5|6|7", "5|6"};
        const QStringList beta = {"false", "9,9,9,9,9,9,9", "2,1"};
        for (int i = 0; i < 3; ++i) {
            service.setPayloadFor(pages[i], QStringLiteral("alpha.com"), alpha[i]);
            service.setPayloadFor(pages[i], QStringLiteral("beta.org"), beta[i]);
        }

        QProcess first;
        first.setProcessEnvironment(environment());
        first.start(program(), {});
        QVERIFY(first.waitForStarted(5000));

        QTRY_COMPARE_WITH_TIMEOUT(ini("beta.org", "Url_pr"), QStringLiteral("2,1"), 20000);
        QCOMPARE(ini("alpha.com", "Url_site"), QStringLiteral("11,12,13,14,15,16,17"));
        QCOMPARE(ini("alpha.com", "Url_link"), QStringLiteral("1,2,3,4,5,6,7"));
        QVERIFY(ini("beta.org", "Url_site").isEmpty());
        // The run is recorded; the report's form is the report's own tests' concern.
        const QString report =
            ReadTextFile(folder.filePath(QStringLiteral("SeoLog.htm")), QStringLiteral("gb2312"));
        QCOMPARE(report.count(QStringLiteral("<td>beta.org</td>")), 1);

        // The run ends with the lists reloaded; give it a moment, then compare bytes.
        QTest::qWait(300);
        const QByteArray before = ContentOf(config());

        QProcess second;
        second.setProcessEnvironment(environment());
        second.start(program(), {});
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(ContentOf(config()), before);
        QCOMPARE(first.state(), QProcess::Running);

        // Ended by a signal (log-out, shutdown), it still runs its close request.
        QVERIFY(ini("Setting", "SViewWidth").isEmpty());
        first.terminate();
        QVERIFY(first.waitForFinished(5000));
        QCOMPARE(first.exitStatus(), QProcess::NormalExit);
        QCOMPARE(first.exitCode(), 0);
        QCOMPARE(ini("Setting", "SViewWidth").count(u','), 7);
    }
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "test_endtoend.moc"

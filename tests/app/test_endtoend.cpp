// Starts the built program itself from a scratch folder against the fake query service.
#include "fakequeryservice.h"
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

    QProcessEnvironment environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("VALDANE_MAKER_URL"), service.baseUrl());
        env.insert(QStringLiteral("TEMP"), temp.path());
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
        const QString setting = QStringLiteral("Setting");
        WriteIni(setting, QStringLiteral("SeoUrl"), QStringLiteral("alpha.com;beta.org"), config());
        WriteIni(setting, QStringLiteral("AutoGain"), QStringLiteral("1"), config());
        WriteIni(setting, QStringLiteral("AutoRecord"), QStringLiteral("1"), config());
        WriteIni(setting, QStringLiteral("AutoUpdate"), QStringLiteral("0"), config());
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

        QTRY_COMPARE_WITH_TIMEOUT(
            ReadIni(QStringLiteral("beta.org"), QStringLiteral("Url_pr"), config()),
            QStringLiteral("2,1"), 20000);
        QCOMPARE(ReadIni(QStringLiteral("alpha.com"), QStringLiteral("Url_site"), config()),
                 QStringLiteral("11,12,13,14,15,16,17"));
        QCOMPARE(ReadIni(QStringLiteral("alpha.com"), QStringLiteral("Url_link"), config()),
                 QStringLiteral("1,2,3,4,5,6,7"));
        QVERIFY(
            ReadIni(QStringLiteral("beta.org"), QStringLiteral("Url_site"), config()).isEmpty());
        QCOMPARE(ReadIni(QStringLiteral("Info"), QStringLiteral("AppName"), config()),
                 QStringLiteral("Valdane"));

        const QString report =
            ReadTextFile(folder.filePath(QStringLiteral("SeoLog.htm")), QStringLiteral("gb2312"));
        QVERIFY(report.startsWith(QStringLiteral("<html>\r\n")));
        QVERIFY(report.endsWith(QStringLiteral("</table>\r\n</body>\r\n</html>\r\n")));
        QCOMPARE(report.count(QStringLiteral("<td>收录</td>")), 1);
        QCOMPARE(report.count(QStringLiteral("<td>反链</td>")), 2);
        QCOMPARE(report.count(QStringLiteral("<td>beta.org</td>")), 1);

        // The run ends with the lists reloaded; give it a moment, then compare bytes.
        QTest::qWait(300);
        QFile file(config());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray before = file.readAll();
        file.close();

        QProcess second;
        second.setProcessEnvironment(environment());
        second.start(program(), {});
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), before);
        QCOMPARE(first.state(), QProcess::Running);

        // Ended by a signal (log-out, shutdown), it still runs its close request.
        QVERIFY(ReadIni(setting, QStringLiteral("SViewWidth"), config()).isEmpty());
        first.terminate();
        QVERIFY(first.waitForFinished(5000));
        QCOMPARE(first.exitStatus(), QProcess::NormalExit);
        QCOMPARE(first.exitCode(), 0);
        QCOMPARE(ReadIni(setting, QStringLiteral("SViewWidth"), config()).count(u','), 7);
    }
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "test_endtoend.moc"

#include "controls/form_main.h"
#include "fakedesktop.h"
#include "fakequeryservice.h"
#include "lookup/lookuppanels.h"
#include "net/httpget.h"
#include "storage/inifile.h"

#include <QFile>
#include <QLabel>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using Behaviour = FakeQueryService::Behaviour;

namespace {

const QString kPage = QStringLiteral("Update.txt");
const QString kStartCaption = QStringLiteral("http://maker.example");
const QString kStartTip = QStringLiteral("访问作者网站");

QString description(const QString& body) {
    return QStringLiteral("[ConFig]\r\n") + body;
}

} // namespace

class TestUpdateCheck : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase();
    void init();
    void cleanup();

    void onlyWhenSwitchedOn_data();
    void onlyWhenSwitchedOn();
    void descriptions_data();
    void descriptions();
    void unusablePayloadChangesNothing_data();
    void unusablePayloadChangesNothing();
    void laterCheckWithoutNewsKeepsNotice();
    void everyCheckDrawsNewNumber();

  private:
    void switchOn() const;

    FakeQueryService m_service;
    QTemporaryDir m_dir;
    std::unique_ptr<FakeDesktop> m_desktop;
    std::unique_ptr<Form_Main> m_form;
    std::unique_ptr<LookupPanels> m_panels;
};

void TestUpdateCheck::initTestCase() {
    QVERIFY(m_service.start());
    qputenv("VALDANE_MAKER_URL", m_service.baseUrl().toUtf8());
    SetHttpGetTimeLimit(std::chrono::milliseconds(400));
    QVERIFY(m_dir.isValid());
}

void TestUpdateCheck::init() {
    m_desktop = std::make_unique<FakeDesktop>();
    m_form = std::make_unique<Form_Main>();
    m_form->ConfigPath = m_dir.filePath(QStringLiteral("Config.ini"));
    m_form->TempPath = m_dir.filePath(QStringLiteral("~TMPDF9ED8.tmp"));
    QFile::remove(m_form->ConfigPath);
    QFile::remove(m_form->TempPath);
    m_form->Label1(1)->setText(kStartCaption);
    m_form->Label1(1)->setToolTip(kStartTip);
    m_form->UpdateName = QStringLiteral("earlier name");
    m_form->UpdateUrl = QStringLiteral("http://earlier.example/");
    m_form->UpdateVersion = QStringLiteral("earlier version");
    m_panels = std::make_unique<LookupPanels>(*m_form);
    m_service.clearPages();
    m_service.clearRequests();
}

void TestUpdateCheck::cleanup() {
    m_panels.reset();
    m_form.reset();
    m_desktop.reset();
}

void TestUpdateCheck::switchOn() const {
    WriteIni(QStringLiteral("Setting"), QStringLiteral("AutoUpdate"), QStringLiteral("1"),
             m_form->ConfigPath);
}

void TestUpdateCheck::onlyWhenSwitchedOn_data() {
    QTest::addColumn<QString>("stored");
    QTest::addColumn<bool>("asks");
    QTest::newRow("on") << "1" << true;
    QTest::newRow("off") << "0" << false;
    QTest::newRow("missing") << QString() << false;
    QTest::newRow("two") << "2" << false;
    QTest::newRow("true") << "true" << false;
    QTest::newRow("one then text") << "1x" << false;
}

void TestUpdateCheck::onlyWhenSwitchedOn() {
    QFETCH(QString, stored);
    QFETCH(bool, asks);
    if (!stored.isNull())
        WriteIni(QStringLiteral("Setting"), QStringLiteral("AutoUpdate"), stored,
                 m_form->ConfigPath);
    m_service.setPayload(kPage, description(QStringLiteral("Version=V2.0\r\n")));

    m_panels->UpdateCheck();

    QCOMPARE(m_service.requests().size(), asks ? 1 : 0);
    QCOMPARE(m_form->Label1(1)->text() != kStartCaption, asks);
}

void TestUpdateCheck::descriptions_data() {
    QTest::addColumn<QString>("payload");
    QTest::addColumn<bool>("notice");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("url");

    QTest::newRow("same version")
        << description("Version=V1.3 Beta\r\nName=Valdane 1.3\r\nUrl=http://dl.example/v13.zip")
        << false << "V1.3 Beta"
        << "earlier name"
        << "http://earlier.example/";
    QTest::newRow("newer version")
        << description("Version=V1.4\r\nName=Valdane 1.4\r\nUrl=http://dl.example/v14.zip") << true
        << "V1.4"
        << "Valdane 1.4"
        << "http://dl.example/v14.zip";
    QTest::newRow("older version counts as different")
        << description("Version=V1.2\r\nName=old\r\nUrl=http://dl.example/v12.zip") << true
        << "V1.2"
        << "old"
        << "http://dl.example/v12.zip";
    QTest::newRow("case differs") << description("Version=v1.3 beta\r\nName=N\r\nUrl=http://u.cn")
                                  << true << "v1.3 beta"
                                  << "N"
                                  << "http://u.cn";
    QTest::newRow("version missing")
        << description("Name=Valdane\r\nUrl=http://dl.example/") << true << QString() << "Valdane"
        << "http://dl.example/";
    QTest::newRow("url missing") << description("Version=V1.4\r\nName=Valdane 1.4") << true
                                 << "V1.4"
                                 << "Valdane 1.4" << QString();
    // Stored as found; the link line opens only web addresses.
    QTest::newRow("url not http") << description(
                                         "Version=V1.4\r\nName=x\r\nUrl=file:///usr/bin/xterm")
                                  << true << "V1.4"
                                  << "x"
                                  << "file:///usr/bin/xterm";
    QTest::newRow("names match regardless of case")
        << "[config]\r\nVERSION=V1.5\r\nname=five\r\nURL=https://dl.example/5" << true << "V1.5"
        << "five"
        << "https://dl.example/5";
    // Six characters are the shortest payload taken; it is no INI text, so no version.
    QTest::newRow("six characters") << "abcdef" << true << QString() << QString() << QString();
}

void TestUpdateCheck::descriptions() {
    QFETCH(QString, payload);
    QFETCH(bool, notice);
    QFETCH(QString, version);
    QFETCH(QString, name);
    QFETCH(QString, url);
    switchOn();
    m_service.setPayload(kPage, payload);

    m_panels->UpdateCheck();

    QCOMPARE(m_form->UpdateVersion, version);
    QCOMPARE(m_form->UpdateName, name);
    QCOMPARE(m_form->UpdateUrl, url);
    QCOMPARE(m_form->Label1(1)->text(),
             notice ? QStringLiteral("发现新版本 ") + version + QStringLiteral(" 请更新")
                    : kStartCaption);
    QCOMPARE(m_form->Label1(1)->toolTip(),
             notice ? QStringLiteral("点击下载最新版") + name : kStartTip);
    QFile scratch(m_form->TempPath);
    QVERIFY(scratch.open(QIODevice::ReadOnly));
    QVERIFY(scratch.readAll().endsWith("\r\n"));
    QVERIFY(m_desktop->boxes.isEmpty());
    QVERIFY(m_desktop->opened.isEmpty());
}

void TestUpdateCheck::unusablePayloadChangesNothing_data() {
    QTest::addColumn<QString>("cause");
    QTest::addColumn<QString>("payload");
    QTest::newRow("zero") << "payload"
                          << "0";
    QTest::newRow("five characters") << "payload"
                                     << "abcde";
    QTest::newRow("empty") << "payload" << QString();
    QTest::newRow("no markers") << "no markers" << QString();
    QTest::newRow("not found") << "not found" << QString();
    QTest::newRow("no answer") << "no answer" << QString();
    QTest::newRow("dropped") << "dropped" << QString();
}

void TestUpdateCheck::unusablePayloadChangesNothing() {
    QFETCH(QString, cause);
    QFETCH(QString, payload);
    switchOn();
    if (cause == "payload")
        m_service.setPayload(kPage, payload);
    else if (cause == "no markers")
        m_service.setRaw(kPage, "[ConFig]\r\nVersion=V9\r\n");
    else if (cause == "no answer")
        m_service.setBehaviour(kPage, Behaviour::NoAnswer);
    else if (cause == "dropped")
        m_service.setBehaviour(kPage, Behaviour::Drop);

    m_panels->UpdateCheck();

    QVERIFY(!m_service.requests().isEmpty());
    QCOMPARE(m_form->UpdateVersion, QStringLiteral("earlier version"));
    QCOMPARE(m_form->UpdateName, QStringLiteral("earlier name"));
    QCOMPARE(m_form->UpdateUrl, QStringLiteral("http://earlier.example/"));
    QCOMPARE(m_form->Label1(1)->text(), kStartCaption);
    QCOMPARE(m_form->Label1(1)->toolTip(), kStartTip);
    QVERIFY(!QFile::exists(m_form->TempPath));
}

void TestUpdateCheck::laterCheckWithoutNewsKeepsNotice() {
    switchOn();
    m_service.setPayload(kPage, description("Version=V1.4\r\nName=four\r\nUrl=http://dl.cn/4"));
    m_panels->UpdateCheck();
    const QString notice = m_form->Label1(1)->text();
    QCOMPARE(notice, QStringLiteral("发现新版本 V1.4 请更新"));

    m_service.setBehaviour(kPage, Behaviour::NoAnswer);
    m_panels->UpdateCheck();
    m_service.setBehaviour(kPage, Behaviour::Answer);
    m_service.setPayload(kPage, description("Version=V1.3 Beta\r\nName=same\r\nUrl=http://x.cn"));
    m_panels->UpdateCheck();

    QCOMPARE(m_service.requests().size(), 3);
    QCOMPARE(m_form->Label1(1)->text(), notice);
    QCOMPARE(m_form->Label1(1)->toolTip(), QStringLiteral("点击下载最新版four"));
    QCOMPARE(m_form->UpdateName, QStringLiteral("four"));
    QCOMPARE(m_form->UpdateUrl, QStringLiteral("http://dl.cn/4"));
    QCOMPARE(m_form->UpdateVersion, QStringLiteral("V1.3 Beta"));
}

void TestUpdateCheck::everyCheckDrawsNewNumber() {
    switchOn();
    m_service.setPayload(kPage, description("Version=V1.3 Beta"));
    for (int i = 0; i < 3; ++i)
        m_panels->UpdateCheck();

    const QStringList requests = m_service.requests();
    QCOMPARE(requests.size(), 3);
    const QRegularExpression line(QStringLiteral("^/Calvren/Rivelo/Update\\.txt\\?tn=(\\d+)$"));
    QSet<int> numbers;
    for (const QString& request : requests) {
        const QRegularExpressionMatch match = line.match(request);
        QVERIFY2(match.hasMatch(), qPrintable(request));
        const int number = match.captured(1).toInt();
        QVERIFY(number >= 1000000 && number <= 10000000);
        numbers.insert(number);
    }
    QVERIFY(numbers.size() > 1);
}

QTEST_MAIN(TestUpdateCheck)
#include "tst_updatecheck.moc"

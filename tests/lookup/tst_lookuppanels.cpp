#include "controls/ctlbutton.h"
#include "controls/ctlframe.h"
#include "controls/form_main.h"
#include "fakedesktop.h"
#include "fakequeryservice.h"
#include "lookup/lookuppanels.h"
#include "net/httpget.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

using Behaviour = FakeQueryService::Behaviour;

namespace {

// A full answer of the ranking page and the text the panel makes of it for "example.com".
const QString kRankingPayload = QStringLiteral("示例网站|||一个示例网站的简介|||12345|||678|||"
                                               "2005-03-01|||+21|||张三|||北京市海淀区|||"
                                               "admin@example.com");
const QString kRankingText = QStringLiteral("\r\n example.com 的综合排名为 12345[+21]"
                                            "\r\n\r\n 站点名称：示例网站"
                                            "\r\n\r\n 排名趋势：12345[+21]"
                                            "\r\n\r\n 反链数目：678"
                                            "\r\n\r\n 收录时间：2005-03-01"
                                            "\r\n\r\n 网站站长：张三"
                                            "\r\n\r\n 电子信箱：admin@example.com"
                                            "\r\n\r\n 详细地址：北京市海淀区"
                                            "\r\n\r\n 网站简介：一个示例网站的简介");
const QString kWhoisPayload =
    QStringLiteral("  Domain Name: EXAMPLE.COM\r\nRegistrar: 示例注册商\r\n\r\n|||not parsed");

QString pageOfSlot(int slot) {
    return slot == 0 ? QStringLiteral("whois.asp") : QStringLiteral("alexa.asp");
}

// What a plain-text box shows for text with CR LF breaks.
QString shown(QString text) {
    return text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

} // namespace

class TestLookupPanels : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase();
    void init();
    void cleanup();

    void emptyInputClearsDigestBoxesOnly_data();
    void emptyInputClearsDigestBoxesOnly();
    void rejectedDomain_data();
    void rejectedDomain();
    void answered_data();
    void answered();
    void failed_data();
    void failed();
    void waitingStateAndBusyGuard_data();
    void waitingStateAndBusyGuard();
    void otherSlotRunsWhileOneWaits_data();
    void otherSlotRunsWhileOneWaits();
    void requestLines_data();
    void requestLines();
    void rankingText_data();
    void rankingText();
    void digest_data();
    void digest();
    void panelEntry_data();
    void panelEntry();

  private:
    struct SlotView {
        bool labelShown;
        QString label;
        bool frameShown;
        QString result;
        bool enabled;
        bool readOnly;
    };
    SlotView view(int slot) const;
    void presetSlot(int slot);

    FakeQueryService m_service;
    QTemporaryDir m_dir;
    std::unique_ptr<FakeDesktop> m_desktop;
    std::unique_ptr<Form_Main> m_form;
    std::unique_ptr<LookupPanels> m_panels;
};

void TestLookupPanels::initTestCase() {
    QVERIFY(m_service.start());
    qputenv("VALDANE_MAKER_URL", m_service.baseUrl().toUtf8());
    SetHttpGetTimeLimit(std::chrono::milliseconds(400));
    QVERIFY(m_dir.isValid());
}

void TestLookupPanels::init() {
    m_desktop = std::make_unique<FakeDesktop>();
    m_form = std::make_unique<Form_Main>();
    m_form->ConfigPath = m_dir.filePath(QStringLiteral("Config.ini"));
    m_form->TempPath = m_dir.filePath(QStringLiteral("~TMPDF9ED8.tmp"));
    m_panels = std::make_unique<LookupPanels>(*m_form);
    m_service.clearPages();
    m_service.clearRequests();
}

void TestLookupPanels::cleanup() {
    m_panels.reset();
    m_form.reset();
    m_desktop.reset();
}

TestLookupPanels::SlotView TestLookupPanels::view(int slot) const {
    const QLabel* label = slot == 0 ? m_form->LabYM() : m_form->LabPM();
    const QWidget* frame = slot == 0 ? m_form->FrameYM() : m_form->FramePM();
    const QPlainTextEdit* result = slot == 0 ? m_form->TextYM() : m_form->TextPM();
    return {!label->isHidden(),
            label->text(),
            !frame->isHidden(),
            result->toPlainText(),
            m_form->CmdSend(slot)->Enable(),
            m_form->TextInPut(slot)->isReadOnly()};
}

// An earlier answer on show, so that every change of the outcome is visible.
void TestLookupPanels::presetSlot(int slot) {
    QLabel* label = slot == 0 ? m_form->LabYM() : m_form->LabPM();
    label->setText(QStringLiteral("earlier"));
    label->show();
    (slot == 0 ? static_cast<QWidget*>(m_form->FrameYM()) : m_form->FramePM())->show();
    (slot == 0 ? m_form->TextYM() : m_form->TextPM())->setPlainText(QStringLiteral("previous"));
}

void TestLookupPanels::emptyInputClearsDigestBoxesOnly_data() {
    QTest::addColumn<int>("slot");
    QTest::addColumn<QString>("input");
    for (int slot = 0; slot < 3; ++slot) {
        QTest::addRow("slot %d empty", slot) << slot << QString();
        QTest::addRow("slot %d blanks", slot) << slot << QStringLiteral("    ");
    }
}

void TestLookupPanels::emptyInputClearsDigestBoxesOnly() {
    QFETCH(int, slot);
    QFETCH(QString, input);
    presetSlot(0);
    presetSlot(1);
    for (int i = 0; i < 4; ++i)
        m_form->TxtMD5(i)->setText(QStringLiteral("old"));
    m_form->TextInPut(slot)->setText(input);

    m_panels->Lookup(slot);

    for (int i = 0; i < 4; ++i)
        QVERIFY(m_form->TxtMD5(i)->text().isEmpty());
    for (int other = 0; other < 2; ++other) {
        const SlotView after = view(other);
        QVERIFY(after.labelShown);
        QCOMPARE(after.label, QStringLiteral("earlier"));
        QVERIFY(after.frameShown);
        QCOMPARE(after.result, QStringLiteral("previous"));
    }
    QCOMPARE(m_form->TextInPut(slot)->text(), input);
    QVERIFY(m_service.requests().isEmpty());
}

void TestLookupPanels::rejectedDomain_data() {
    QTest::addColumn<int>("slot");
    QTest::addColumn<QString>("input");
    const QStringList inputs = {
        "abc",          "a.b",           ".example.com", "example.com.", "examplecom",
        "/example.com", "\\example.com", "example.\\",   "http://a.b",   "http://http://",
    };
    for (int slot = 0; slot < 2; ++slot) {
        for (const QString& input : inputs)
            QTest::addRow("slot %d %s", slot, qPrintable(input)) << slot << input;
    }
    // "www." is removed for WHOIS only, which leaves too short a name.
    QTest::newRow("slot 0 www.a.c") << 0 << "www.a.c";
    QTest::newRow("slot 0 www only") << 0 << "www.www.";
}

void TestLookupPanels::rejectedDomain() {
    QFETCH(int, slot);
    QFETCH(QString, input);
    presetSlot(slot);
    m_service.setPayload(pageOfSlot(slot), kRankingPayload);
    m_form->TextInPut(slot)->setText(QStringLiteral("  ") + input);

    m_panels->Lookup(slot);

    const SlotView after = view(slot);
    QVERIFY(!after.labelShown);
    QVERIFY(!after.frameShown);
    QCOMPARE(after.result, QStringLiteral("previous"));
    QVERIFY(after.enabled);
    QVERIFY(!after.readOnly);
    QCOMPARE(m_form->TextInPut(slot)->text(), QStringLiteral("  ") + input);
    QVERIFY(m_service.requests().isEmpty());
    QVERIFY(m_desktop->boxes.isEmpty());
}

void TestLookupPanels::answered_data() {
    QTest::addColumn<int>("slot");
    QTest::addColumn<QString>("payload");
    QTest::addColumn<QString>("expected");
    QTest::newRow("whois shown unchanged") << 0 << kWhoisPayload << shown(kWhoisPayload);
    QTest::newRow("whois four characters") << 0 << "abcd"
                                           << "abcd";
    QTest::newRow("ranking") << 1 << kRankingPayload << shown(kRankingText);
}

void TestLookupPanels::answered() {
    QFETCH(int, slot);
    QFETCH(QString, payload);
    QFETCH(QString, expected);
    m_service.setPayload(pageOfSlot(slot), payload);
    presetSlot(slot);
    m_form->TextInPut(slot)->setText(QStringLiteral("example.com"));

    m_panels->Lookup(slot);

    const SlotView after = view(slot);
    QVERIFY(!after.labelShown);
    QVERIFY(after.label.isEmpty());
    QVERIFY(after.frameShown);
    QCOMPARE(after.result, expected);
    QVERIFY(after.enabled);
    QVERIFY(!after.readOnly);
    QCOMPARE(m_service.requests().size(), 1);
}

void TestLookupPanels::failed_data() {
    QTest::addColumn<int>("slot");
    QTest::addColumn<QString>("cause");
    QTest::addColumn<QString>("payload");
    const QStringList causes = {"zero",          "false",      "three characters",
                                "empty payload", "no markers", "not found",
                                "no answer",     "dropped",    "headers then stall"};
    for (int slot = 0; slot < 2; ++slot) {
        for (const QString& cause : causes) {
            const QString payload = cause == "zero"               ? "0"
                                    : cause == "false"            ? "false"
                                    : cause == "three characters" ? "a|b"
                                                                  : QString();
            QTest::addRow("slot %d %s", slot, qPrintable(cause)) << slot << cause << payload;
        }
    }
    // A ranking answer must be nine "|||"-separated fields, the first one not empty.
    QTest::newRow("ranking eight fields") << 1 << "payload"
                                          << "a|||b|||c|||d|||e|||f|||g|||h";
    QTest::newRow("ranking ten fields") << 1 << "payload"
                                        << "a|||b|||c|||d|||e|||f|||g|||h|||i|||j";
    QTest::newRow("ranking separator first") << 1 << "payload"
                                             << "|||b|||c|||d|||e|||f|||g|||h|||i";
    QTest::newRow("ranking no separator") << 1 << "payload"
                                          << "plain text answer";
}

void TestLookupPanels::failed() {
    QFETCH(int, slot);
    QFETCH(QString, cause);
    QFETCH(QString, payload);
    const QString page = pageOfSlot(slot);
    if (cause == "no markers")
        m_service.setRaw(page, "<html><body>no data</body></html>");
    else if (cause == "no answer")
        m_service.setBehaviour(page, Behaviour::NoAnswer);
    else if (cause == "dropped")
        m_service.setBehaviour(page, Behaviour::Drop);
    else if (cause == "headers then stall")
        m_service.setBehaviour(page, Behaviour::HeadersThenStall);
    else if (cause != "not found")
        m_service.setPayload(page, payload);
    presetSlot(slot);
    m_form->TextInPut(slot)->setText(QStringLiteral("example.com"));

    m_panels->Lookup(slot);

    const SlotView after = view(slot);
    QVERIFY(after.labelShown);
    QCOMPARE(after.label, QStringLiteral("网络超时"));
    QVERIFY(!after.frameShown);
    QVERIFY(after.result.isEmpty());
    QVERIFY(after.enabled);
    QVERIFY(!after.readOnly);
    QVERIFY(m_desktop->boxes.isEmpty());
    // The network layer may resend once on a dropped connection.
    QVERIFY(!m_service.requests().isEmpty());
}

void TestLookupPanels::waitingStateAndBusyGuard_data() {
    QTest::addColumn<int>("slot");
    QTest::addColumn<QString>("caption");
    QTest::newRow("whois") << 0 << "正在查询 example.com 的WHOIS信息...";
    QTest::newRow("ranking") << 1 << "正在查询 www.example.com 的综合排名信息...";
}

void TestLookupPanels::waitingStateAndBusyGuard() {
    QFETCH(int, slot);
    QFETCH(QString, caption);
    m_service.setPayload(pageOfSlot(slot), kRankingPayload);
    m_service.setDelay(pageOfSlot(slot), 300);
    presetSlot(slot);
    QLineEdit* input = m_form->TextInPut(slot);
    input->setText(QStringLiteral("http://www.example.com"));
    m_form->show();

    SlotView during{};
    QString textDuring;
    QTimer::singleShot(100, this, [&] {
        during = view(slot);
        // Enter, Return, a click and a direct call must not start a second lookup.
        QTest::keyClick(input, Qt::Key_Return);
        QTest::keyClick(input, Qt::Key_Enter);
        QTest::mouseClick(m_form->CmdSend(slot), Qt::LeftButton);
        m_panels->Lookup(slot);
        // The locked box refuses typing.
        QTest::keyClicks(input, QStringLiteral("xyz"));
        textDuring = input->text();
    });
    m_panels->Lookup(slot);

    QVERIFY(!during.enabled);
    QVERIFY(during.readOnly);
    QVERIFY(during.labelShown);
    QCOMPARE(during.label, caption);
    QVERIFY(!during.frameShown);
    QCOMPARE(during.result, QStringLiteral("previous"));
    QCOMPARE(textDuring, QStringLiteral("http://www.example.com"));
    QCOMPARE(m_service.requests().size(), 1);

    const SlotView after = view(slot);
    QVERIFY(after.enabled);
    QVERIFY(!after.readOnly);
    QVERIFY(after.frameShown);
}

void TestLookupPanels::otherSlotRunsWhileOneWaits_data() {
    QTest::addColumn<int>("outer");
    QTest::newRow("ranking inside whois") << 0;
    QTest::newRow("whois inside ranking") << 1;
}

void TestLookupPanels::otherSlotRunsWhileOneWaits() {
    QFETCH(int, outer);
    const int inner = 1 - outer;
    m_service.setPayload(QStringLiteral("whois.asp"), kWhoisPayload);
    m_service.setPayload(QStringLiteral("alexa.asp"), kRankingPayload);
    m_service.setDelay(pageOfSlot(outer), 250);
    m_form->TextInPut(0)->setText(QStringLiteral("example.com"));
    m_form->TextInPut(1)->setText(QStringLiteral("example.com"));
    m_form->TextInPut(2)->setText(QStringLiteral("abc"));

    SlotView innerAfter{};
    SlotView outerDuring{};
    QTimer::singleShot(50, this, [&] {
        m_panels->Lookup(inner);
        m_panels->Lookup(2);
        innerAfter = view(inner);
        outerDuring = view(outer);
    });
    m_panels->Lookup(outer);

    QVERIFY(innerAfter.frameShown);
    QVERIFY(innerAfter.enabled);
    QCOMPARE(innerAfter.result, inner == 0 ? shown(kWhoisPayload) : shown(kRankingText));
    QVERIFY(!outerDuring.enabled);
    QVERIFY(!outerDuring.frameShown);
    QCOMPARE(m_form->TxtMD5(2)->text(), QStringLiteral("900150983cd24fb0d6963f7d28e17f72"));

    const SlotView outerAfter = view(outer);
    QVERIFY(outerAfter.enabled);
    QVERIFY(outerAfter.frameShown);
    QCOMPARE(outerAfter.result, outer == 0 ? shown(kWhoisPayload) : shown(kRankingText));
    QCOMPARE(view(inner).result, innerAfter.result);
    QCOMPARE(m_service.requests().size(), 2);
}

void TestLookupPanels::requestLines_data() {
    QTest::addColumn<int>("slot");
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("target");
    QTest::newRow("whois mixed case") << 0 << "http://www.Example.COM"
                                      << "Example.COM";
    QTest::newRow("ranking mixed case") << 1 << "http://www.Example.COM"
                                        << "www.Example.COM";
    QTest::newRow("whois capital prefix kept") << 0 << "HTTP://WWW.Example.com"
                                               << "HTTP://WWW.Example.com";
    QTest::newRow("ranking capital prefix kept") << 1 << "HTTP://WWW.Example.com"
                                                 << "HTTP://WWW.Example.com";
    QTest::newRow("whois trailing slash") << 0 << "  example.com/  "
                                          << "example.com/";
    QTest::newRow("whois www inside") << 0 << "wwww.example.com"
                                      << "wexample.com";
    QTest::newRow("whois prefix after www") << 0 << "www.http://example.com"
                                            << "example.com";
    QTest::newRow("ranking every http removed") << 1 << "http://http://example.com"
                                                << "example.com";
    QTest::newRow("whois subdomain") << 0 << "bbs.example.com.cn"
                                     << "bbs.example.com.cn";
}

void TestLookupPanels::requestLines() {
    QFETCH(int, slot);
    QFETCH(QString, input);
    QFETCH(QString, target);
    m_service.setPayload(pageOfSlot(slot), kRankingPayload);
    m_form->TextInPut(slot)->setText(input);

    m_panels->Lookup(slot);

    QCOMPARE(m_service.requests().size(), 1);
    const QRegularExpression line(
        QStringLiteral("^/Calvren/Rivelo/%1\\?sFrom=127\\.0\\.0\\.1:%2&Key=(\\d+)&sUrl=(.*)$")
            .arg(QRegularExpression::escape(pageOfSlot(slot)))
            .arg(m_service.port()));
    const QRegularExpressionMatch match = line.match(m_service.requests().first());
    QVERIFY2(match.hasMatch(), qPrintable(m_service.requests().first()));
    const int key = match.captured(1).toInt();
    QVERIFY(key >= 1000000 && key <= 10000000);
    QCOMPARE(match.captured(2), target);
}

void TestLookupPanels::rankingText_data() {
    QTest::addColumn<QString>("payload");
    QTest::addColumn<QString>("expected");
    QTest::newRow("full") << kRankingPayload << kRankingText;
    QString emptyTrend = kRankingPayload;
    emptyTrend.replace(QStringLiteral("|||+21|||"), QStringLiteral("||||||"));
    QString zeroTrend = kRankingText;
    zeroTrend.replace(QStringLiteral("[+21]"), QStringLiteral("[0]"));
    QTest::newRow("empty trend") << emptyTrend << zeroTrend;
    QTest::newRow("fields kept with blanks")
        << QStringList{" a ", "", " 7 ", "", "", "  ", "", "", " "}.join("|||")
        << "\r\n example.com 的综合排名为  7 [  ]\r\n\r\n 站点名称： a \r\n\r\n 排名趋势： 7 [  ]"
           "\r\n\r\n 反链数目：\r\n\r\n 收录时间：\r\n\r\n 网站站长：\r\n\r\n 电子信箱： "
           "\r\n\r\n 详细地址：\r\n\r\n 网站简介：";
    for (const char* bad : {"", "0", "false", "a||", "a|||b|||c|||d|||e|||f|||g|||h",
                            "a|||b|||c|||d|||e|||f|||g|||h|||i|||j",
                            "|||b|||c|||d|||e|||f|||g|||h|||i", "abcdefghijkl"})
        QTest::addRow("malformed '%s'", bad) << QString::fromLatin1(bad) << QString();
}

void TestLookupPanels::rankingText() {
    QFETCH(QString, payload);
    QFETCH(QString, expected);
    QCOMPARE(LookupPanels::RankingText(QStringLiteral("example.com"), payload), expected);
}

void TestLookupPanels::digest_data() {
    QTest::addColumn<QString>("trigger");
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("digest");
    for (const char* trigger : {"call", "return key", "enter key", "click"})
        QTest::addRow("%s", trigger) << trigger << "  abc  "
                                     << "900150983cd24fb0d6963f7d28e17f72";
    // printf '中文' | iconv -t GBK | md5sum
    QTest::newRow("gbk") << "call"
                         << "中文"
                         << "bcce109775e8e1972e9f5fcda3e12895";
}

void TestLookupPanels::digest() {
    QFETCH(QString, trigger);
    QFETCH(QString, input);
    QFETCH(QString, digest);
    m_form->show();
    QLineEdit* box = m_form->TextInPut(2);
    box->setText(input);

    if (trigger == "call")
        m_panels->Lookup(2);
    else if (trigger == "return key")
        QTest::keyClick(box, Qt::Key_Return);
    else if (trigger == "enter key")
        QTest::keyClick(box, Qt::Key_Enter);
    else
        QTest::mouseClick(m_form->CmdSend(2), Qt::LeftButton);

    QCOMPARE(m_form->TxtMD5(0)->text(), digest.mid(8, 16));
    QCOMPARE(m_form->TxtMD5(1)->text(), digest.mid(8, 16).toUpper());
    QCOMPARE(m_form->TxtMD5(2)->text(), digest);
    QCOMPARE(m_form->TxtMD5(3)->text(), digest.toUpper());
    QCOMPARE(box->text(), input);
    QVERIFY(m_form->CmdSend(2)->Enable());
    QVERIFY(m_service.requests().isEmpty());
}

void TestLookupPanels::panelEntry_data() {
    QTest::addColumn<int>("panel");
    QTest::addColumn<int>("focusSlot");
    QTest::addColumn<bool>("digestCleared");
    QTest::newRow("whois") << 3 << 0 << false;
    QTest::newRow("ranking") << 4 << 1 << false;
    QTest::newRow("digest") << 5 << 2 << true;
    for (int panel : {0, 1, 2, 6, 7, -1})
        QTest::addRow("panel %d", panel) << panel << -1 << false;
}

void TestLookupPanels::panelEntry() {
    QFETCH(int, panel);
    QFETCH(int, focusSlot);
    QFETCH(bool, digestCleared);
    m_form->show();
    QApplication::setActiveWindow(m_form.get());
    QVERIFY(QTest::qWaitForWindowActive(m_form.get()));
    for (int i = 0; i < 3; ++i)
        m_form->TextInPut(i)->setText(QStringLiteral("typed"));
    for (int i = 0; i < 4; ++i)
        m_form->TxtMD5(i)->setText(QStringLiteral("old"));
    m_form->TxtMD5(0)->setFocus();

    m_panels->EnterPanel(panel);

    for (int i = 0; i < 3; ++i) {
        QCOMPARE(m_form->TextInPut(i)->hasFocus(), i == focusSlot);
        QCOMPARE(m_form->TextInPut(i)->text(),
                 digestCleared && i == 2 ? QString() : QStringLiteral("typed"));
    }
    for (int i = 0; i < 4; ++i)
        QCOMPARE(m_form->TxtMD5(i)->text(), digestCleared ? QString() : QStringLiteral("old"));
}

QTEST_MAIN(TestLookupPanels)
#include "tst_lookuppanels.moc"

#include "controls/ctlbutton.h"
#include "controls/ctlframe.h"
#include "controls/form_main.h"
#include "fixture.h"
#include "lookup/lookuppanels.h"
#include "net/httpget.h"
#include "storage/inifile.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>

#include <memory>

using Behaviour = FakeQueryService::Behaviour;

namespace {

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
const QString kUpdatePage = QStringLiteral("Update.txt");
const QString kStartCaption = QStringLiteral("http://maker.example");
const QString kStartTip = QStringLiteral("访问作者网站");
const QString kEarlierUpdate =
    QStringLiteral("earlier version|earlier name|http://earlier.example/");

QString pageOfSlot(int slot) {
    return slot == 0 ? QStringLiteral("whois.asp") : QStringLiteral("alexa.asp");
}

// What slot shows after a good answer for "example.com" (a plain-text box turns CR LF into LF).
QString answered(int slot) {
    return QStringLiteral("-|F|") +
           QString(slot == 0 ? kWhoisPayload : kRankingText).replace("\r\n", "\n") +
           QStringLiteral("|on");
}

QString description(const QString& body) {
    return QStringLiteral("[ConFig]\r\n") + body;
}

// served is a payload, or a failure: "!missing" (no such page), "!raw" (body without the
// payload markers), "!no answer", "!dropped", "!stall" (headers, then nothing).
void serve(FakeQueryService& service, const QString& page, const QString& served) {
    if (served == "!raw")
        service.setRaw(page, "[ConFig]\r\nVersion=V9\r\n");
    else if (served == "!no answer")
        service.setBehaviour(page, Behaviour::NoAnswer);
    else if (served == "!dropped")
        service.setBehaviour(page, Behaviour::Drop);
    else if (served == "!stall")
        service.setBehaviour(page, Behaviour::HeadersThenStall);
    else if (served != "!missing")
        service.setPayload(page, served);
}

} // namespace

class TestLookupPanels : public QObject {
    Q_OBJECT
    std::unique_ptr<DesktopFixture> m_fx;
    std::unique_ptr<LookupPanels> m_panels;
    Form_Main* m_form = nullptr;

    // label ("-" when hidden) | "F" when the result frame shows | result | "on", or "off locked"
    // while the button is off and the box read-only.
    QString state(int slot) const {
        const QLabel* label = slot == 0 ? m_form->LabYM() : m_form->LabPM();
        const QWidget* frame = slot == 0 ? m_form->FrameYM() : m_form->FramePM();
        const QPlainTextEdit* result = slot == 0 ? m_form->TextYM() : m_form->TextPM();
        QString busy = m_form->CmdSend(slot)->Enable() ? "on" : "off";
        if (m_form->TextInPut(slot)->isReadOnly())
            busy += " locked";
        return QStringList{label->isHidden() ? "-" : label->text(), frame->isHidden() ? "-" : "F",
                           result->toPlainText(), busy}
            .join('|');
    }

    // An earlier answer on show, so that every change of the outcome is visible.
    void presetSlot(int slot) {
        QLabel* label = slot == 0 ? m_form->LabYM() : m_form->LabPM();
        label->setText(QStringLiteral("earlier"));
        label->show();
        (slot == 0 ? static_cast<QWidget*>(m_form->FrameYM()) : m_form->FramePM())->show();
        (slot == 0 ? m_form->TextYM() : m_form->TextPM())->setPlainText(QStringLiteral("previous"));
    }

  private slots:
    void init() {
        m_fx = std::make_unique<DesktopFixture>(std::chrono::milliseconds(400));
        m_form = m_fx->form.get();
        m_form->Label1(1)->setText(kStartCaption);
        m_form->Label1(1)->setToolTip(kStartTip);
        const QStringList earlier = kEarlierUpdate.split('|');
        m_form->UpdateVersion = earlier[0];
        m_form->UpdateName = earlier[1];
        m_form->UpdateUrl = earlier[2];
        m_panels = std::make_unique<LookupPanels>(*m_form);
    }

    void cleanup() {
        m_panels.reset();
        m_fx.reset();
    }

    void lookupOutcome_data() {
        QTest::addColumn<int>("slot");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("served");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("target"); // sUrl of the request, "" when none is sent
        const QString rejected = "-|-|previous|on";
        const QString timedOut = "网络超时|-||on";
        for (int slot = 0; slot < 2; ++slot) {
            QTest::addRow("%d blanks", slot)
                << slot << "    " << kRankingPayload << "earlier|F|previous|on" << QString();
            for (const char* bad : {"abc", "a.b", ".example.com", "example.com.", "examplecom",
                                    "/example.com", "\\example.com", "example.\\", "http://a.b"})
                QTest::addRow("%d rejects %s", slot, bad)
                    << slot << QStringLiteral("  ") + bad << kRankingPayload << rejected
                    << QString();
            for (const char* failure :
                 {"0", "false", "a|b", "", "!raw", "!missing", "!no answer", "!dropped", "!stall"})
                QTest::addRow("%d fails on '%s'", slot, failure)
                    << slot << "example.com" << QString(failure) << timedOut << "example.com";
            QTest::addRow("%d answered", slot)
                << slot << " example.com " << (slot == 0 ? kWhoisPayload : kRankingPayload)
                << answered(slot) << "example.com";
        }
        const auto row = [](const char* name, int slot, const char* input, const QString& served,
                            const QString& expected, const char* target) {
            QTest::newRow(name) << slot << QString(input) << served << expected << QString(target);
        };
        const QString whois = answered(0);
        // "www." is removed for WHOIS only, which leaves too short a name.
        row("0 rejects www.a.c", 0, "www.a.c", kWhoisPayload, rejected, "");
        row("0 four characters", 0, "example.com", "abcd", "-|F|abcd|on", "example.com");
        row("0 mixed case", 0, "http://www.Example.COM", kWhoisPayload, whois, "Example.COM");
        row("1 keeps www", 1, "http://www.Example.COM", "!missing", timedOut, "www.Example.COM");
        row("0 capital prefix kept", 0, "HTTP://WWW.Example.com", kWhoisPayload, whois,
            "HTTP://WWW.Example.com");
        row("0 trailing slash", 0, "example.com/", kWhoisPayload, whois, "example.com/");
        row("0 www inside", 0, "wwww.example.com", kWhoisPayload, whois, "wexample.com");
        row("0 prefix after www", 0, "www.http://example.com", kWhoisPayload, whois, "example.com");
        row("1 every http removed", 1, "http://http://example.com", "!missing", timedOut,
            "example.com");
    }

    void lookupOutcome() {
        QFETCH(int, slot);
        QFETCH(QString, input);
        QFETCH(QString, served);
        QFETCH(QString, expected);
        QFETCH(QString, target);
        serve(m_fx->service, pageOfSlot(slot), served);
        presetSlot(slot);
        m_form->TxtMD5(0)->setText(QStringLiteral("old"));
        m_form->TextInPut(slot)->setText(input);

        m_panels->Lookup(slot);

        QCOMPARE(state(slot), expected);
        // The busy line repeats the domain as typed: plain text, never markup.
        QCOMPARE((slot == 0 ? m_form->LabYM() : m_form->LabPM())->textFormat(), Qt::PlainText);
        QCOMPARE(m_form->TextInPut(slot)->text(), input);
        QCOMPARE(m_form->TxtMD5(0)->text().isEmpty(), input.trimmed().isEmpty());
        // The network layer may resend a dropped request.
        const QStringList requests = m_fx->service.requests();
        QCOMPARE(requests.isEmpty(), target.isEmpty());
        for (const QString& request : requests) {
            QCOMPARE(FakeQueryService::pageOf(request), pageOfSlot(slot));
            QCOMPARE(FakeQueryService::targetOf(request), target);
        }
        QVERIFY(m_fx->desktop.boxes.isEmpty());
    }

    void waitingSlotRefusesAnotherLookup_data() {
        QTest::addColumn<int>("slot");
        QTest::addColumn<QString>("caption");
        QTest::newRow("whois") << 0 << "正在查询 example.com 的WHOIS信息...";
        QTest::newRow("ranking") << 1 << "正在查询 www.example.com 的综合排名信息...";
    }

    // While one slot waits, its own triggers and typing are refused; the other slots still work.
    void waitingSlotRefusesAnotherLookup() {
        QFETCH(int, slot);
        QFETCH(QString, caption);
        const int other = 1 - slot;
        m_fx->service.setPayload(pageOfSlot(0), kWhoisPayload);
        m_fx->service.setPayload(pageOfSlot(1), kRankingPayload);
        m_fx->service.setDelay(pageOfSlot(slot), 300);
        presetSlot(slot);
        QLineEdit* input = m_form->TextInPut(slot);
        input->setText(QStringLiteral("http://www.example.com"));
        m_form->TextInPut(other)->setText(QStringLiteral("example.com"));
        m_form->TextInPut(2)->setText(QStringLiteral("abc"));
        m_form->show();

        QString during;
        QString otherDuring;
        QTimer::singleShot(100, this, [&] {
            during = state(slot);
            QTest::keyClick(input, Qt::Key_Return);
            QTest::keyClick(input, Qt::Key_Enter);
            QTest::mouseClick(m_form->CmdSend(slot), Qt::LeftButton);
            m_panels->Lookup(slot);
            QTest::keyClicks(input, QStringLiteral("xyz"));
            m_panels->Lookup(other);
            m_panels->Lookup(2);
            otherDuring = state(other);
        });
        m_panels->Lookup(slot);

        QCOMPARE(during, caption + "|-|previous|off locked");
        QCOMPARE(otherDuring, answered(other));
        QCOMPARE(m_form->TxtMD5(2)->text(), QStringLiteral("900150983cd24fb0d6963f7d28e17f72"));
        QCOMPARE(input->text(), QStringLiteral("http://www.example.com"));
        QCOMPARE(m_fx->service.requests().size(), 2);
        QVERIFY(state(slot).startsWith("-|F|"));
        QVERIFY(state(slot).endsWith("|on"));
        QCOMPARE(state(other), answered(other));
    }

    void rankingText_data() {
        QTest::addColumn<QString>("payload");
        QTest::addColumn<QString>("expected");
        QTest::newRow("full") << kRankingPayload << kRankingText;
        QTest::newRow("trend not computed")
            << QString(kRankingPayload).replace("|||+21|||", "|||-1|||")
            << QString(kRankingText).replace("[+21]", "[—]");
        const QString none = QStringLiteral("—（暂无数据，原因见查询服务主页）");
        QTest::newRow("numbers not obtained")
            << "未公开|||未公开|||-1|||-1|||未公开|||-1|||未公开|||未公开|||未公开"
            << "\r\n example.com 的综合排名为 " + none +
                   "\r\n\r\n 站点名称：未公开\r\n\r\n 排名趋势：" + none + "\r\n\r\n 反链数目：" +
                   none +
                   "\r\n\r\n 收录时间：未公开\r\n\r\n 网站站长：未公开\r\n\r\n 电子信箱：未公开"
                   "\r\n\r\n 详细地址：未公开\r\n\r\n 网站简介：未公开";
        for (const char* bad :
             {"a||", "a|||b|||c|||d|||e|||f|||g|||h", "a|||b|||c|||d|||e|||f|||g|||h|||i|||j",
              "|||b|||c|||d|||e|||f|||g|||h|||i", "abcdefghijkl"})
            QTest::addRow("malformed '%s'", bad) << QString::fromLatin1(bad) << QString();
    }

    void rankingText() {
        QFETCH(QString, payload);
        QFETCH(QString, expected);
        QCOMPARE(LookupPanels::RankingText(QStringLiteral("example.com"), payload), expected);
    }

    void digestTriggers_data() {
        QTest::addColumn<QString>("trigger");
        for (const char* trigger : {"call", "return key", "enter key", "click"})
            QTest::newRow(trigger) << trigger;
    }

    void digestTriggers() {
        QFETCH(QString, trigger);
        m_form->show();
        QLineEdit* box = m_form->TextInPut(2);
        box->setText(QStringLiteral("  abc  "));

        if (trigger == "call")
            m_panels->Lookup(2);
        else if (trigger == "click")
            QTest::mouseClick(m_form->CmdSend(2), Qt::LeftButton);
        else
            QTest::keyClick(box, trigger == "return key" ? Qt::Key_Return : Qt::Key_Enter);

        const QString digest = QStringLiteral("900150983cd24fb0d6963f7d28e17f72");
        const QStringList expected = {digest.mid(8, 16), digest.mid(8, 16).toUpper(), digest,
                                      digest.toUpper()};
        for (int i = 0; i < 4; ++i)
            QCOMPARE(m_form->TxtMD5(i)->text(), expected[i]);
        QCOMPARE(box->text(), QStringLiteral("  abc  "));
        QVERIFY(m_form->CmdSend(2)->Enable());
        QVERIFY(m_fx->service.requests().isEmpty());
    }

    void updateCheck_data() {
        QTest::addColumn<QString>("autoUpdate");
        QTest::addColumn<QString>("served");
        QTest::addColumn<QString>("found"); // UpdateVersion|UpdateName|UpdateUrl afterwards
        QTest::addColumn<bool>("notice");
        const auto row = [](const char* name, const char* autoUpdate, const QString& served,
                            const QString& found, bool notice) {
            QTest::newRow(name) << QString(autoUpdate) << served << found << notice;
        };
        const QString newer = description("Version=V1.4\r\nName=Valdane 1.4\r\nUrl=http://dl.cn/4");
        for (const char* off : {"0", "", "1x"})
            QTest::addRow("switch '%s'", off) << off << newer << kEarlierUpdate << false;
        row("same version", "1", description("Version=V1.3 Beta\r\nName=N\r\nUrl=u"),
            "V1.3 Beta|earlier name|http://earlier.example/", false);
        row("newer", "1", newer, "V1.4|Valdane 1.4|http://dl.cn/4", true);
        row("case differs", "1", description("Version=v1.3 beta\r\nName=N\r\nUrl=u"),
            "v1.3 beta|N|u", true);
        row("version missing", "1", description("Name=N\r\nUrl=u"), "|N|u", true);
        // The server's texts are shown as they are, never as markup.
        row("markup", "1", description("Version=<b>V9</b>\r\nName=<img src=\"/etc/x\">"),
            "<b>V9</b>|<img src=\"/etc/x\">|", true);
        row("last line unbroken", "1", description("Version=V1.4\r\nName=N"), "V1.4|N|", true);
        row("names in any case", "1",
            "[config]\r\nVERSION=V1.5\r\nname=five\r\nURL=https://dl.example/5",
            "V1.5|five|https://dl.example/5", true);
        // Six characters are the shortest payload taken; it is no INI text, so no version.
        row("six characters", "1", "abcdef", "||", true);
        for (const char* unusable :
             {"0", "abcde", "", "!raw", "!missing", "!no answer", "!dropped"})
            QTest::addRow("unusable '%s'", unusable) << "1" << unusable << kEarlierUpdate << false;
        // A scratch file that cannot be written gives no description, not a "new version".
        row("scratch file unwritable", "1", "!unwritable", kEarlierUpdate, false);
    }

    void updateCheck() {
        QFETCH(QString, autoUpdate);
        QFETCH(QString, served);
        QFETCH(QString, found);
        QFETCH(bool, notice);
        if (!autoUpdate.isEmpty())
            WriteIni("Setting", "AutoUpdate", autoUpdate, m_form->ConfigPath);
        if (served == "!unwritable") {
            m_form->TempPath = m_form->ConfigPath + QStringLiteral(".absent/~scratch.tmp");
            served = description("Version=V1.4\r\nName=N\r\nUrl=u");
        }
        serve(m_fx->service, kUpdatePage, served);

        m_panels->UpdateCheck();

        QCOMPARE(
            QStringList({m_form->UpdateVersion, m_form->UpdateName, m_form->UpdateUrl}).join('|'),
            found);
        QCOMPARE(m_fx->service.requests().isEmpty(), autoUpdate != "1");
        QCOMPARE(QFile::exists(m_form->TempPath), found != kEarlierUpdate);
        QCOMPARE(m_form->Label1(1)->text(),
                 notice ? "发现新版本 " + m_form->UpdateVersion + " 请更新" : kStartCaption);
        QCOMPARE(ShownTip(m_form->Label1(1)->toolTip()),
                 notice ? "点击下载最新版" + m_form->UpdateName : kStartTip);
        QCOMPARE(m_form->Label1(1)->textFormat(), Qt::PlainText);
        QVERIFY(m_fx->desktop.boxes.isEmpty());
        QVERIFY(m_fx->desktop.opened.isEmpty());
    }

    // A later check without news keeps the notice; each check asks with a new number.
    void laterChecksKeepNoticeAndDrawNewNumbers() {
        WriteIni("Setting", "AutoUpdate", "1", m_form->ConfigPath);
        m_fx->service.setPayload(kUpdatePage,
                                 description("Version=V1.4\r\nName=four\r\nUrl=http://dl.cn/4"));
        m_panels->UpdateCheck();
        m_fx->service.setBehaviour(kUpdatePage, Behaviour::NoAnswer);
        m_panels->UpdateCheck();
        m_fx->service.setBehaviour(kUpdatePage, Behaviour::Answer);
        m_fx->service.setPayload(kUpdatePage,
                                 description("Version=V1.3 Beta\r\nName=same\r\nUrl=x"));
        m_panels->UpdateCheck();
        m_panels->UpdateCheck();

        QCOMPARE(m_form->Label1(1)->text(), QStringLiteral("发现新版本 V1.4 请更新"));
        QCOMPARE(ShownTip(m_form->Label1(1)->toolTip()), QStringLiteral("点击下载最新版four"));
        QCOMPARE(m_form->UpdateName, QStringLiteral("four"));
        QCOMPARE(m_form->UpdateUrl, QStringLiteral("http://dl.cn/4"));
        QCOMPARE(m_form->UpdateVersion, QStringLiteral("V1.3 Beta"));
        const QStringList requests = m_fx->service.requests();
        QCOMPARE(requests.size(), 4);
        for (const QString& request : requests)
            QVERIFY2(request.startsWith("/Calvren/Rivelo/Update.txt?tn="), qPrintable(request));
        QVERIFY(QSet<QString>(requests.begin(), requests.end()).size() > 1);
    }
};

QTEST_MAIN(TestLookupPanels)
#include "tst_lookuppanels.moc"

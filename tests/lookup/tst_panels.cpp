// The lookup, digest and settings panels of the window against the fake query service.
#include "controls/ctlbutton.h"
#include "controls/ctlframe.h"
#include "fixture.h"
#include "lookup/lookuppanels.h"
#include "lookup/settingspanel.h"
#include "net/httpget.h"
#include "storage/autostart.h"
#include "storage/inifile.h"
#include "tracking/sitetracking.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

using Behaviour = FakeQueryService::Behaviour;

namespace {

const QString kRankingPayload = "示例网站|||一个示例网站的简介|||12345|||678|||2005-03-01|||+21|||"
                                "张三|||北京市海淀区|||admin@example.com";
const QString kRankingText = QStringLiteral(
    "\r\n example.com 的综合排名为 12345[+21]\r\n\r\n 站点名称：示例网站\r\n\r\n "
    "排名趋势：12345[+21]\r\n\r\n 反链数目：678\r\n\r\n 收录时间：2005-03-01\r\n\r\n "
    "网站站长：张三\r\n\r\n 电子信箱：admin@example.com\r\n\r\n "
    "详细地址：北京市海淀区\r\n\r\n 网站简介：一个示例网站的简介");
const QString kWhoisPayload =
    "  Domain Name: EXAMPLE.COM\r\nRegistrar: 示例注册商\r\n\r\n|||not parsed";
const QString kDigest = "900150983cd24fb0d6963f7d28e17f72"; // of "abc"
const QString kPage[] = {"whois.asp", "alexa.asp"};         // of each lookup slot
const QString kStartCaption = "http://maker.example", kStartTip = "访问作者网站";
const QString kEarlierUpdate = "earlier version|earlier name|http://earlier.example/";
const QString kSetting = "Setting";
const QByteArray kSavedConfig = "[Setting]\r\nSeoUrl=a.com;b.com\r\nAutoUpdate=1\r\nAutoGain=0\r\n"
                                "AutoRecord=0\r\n[a.com]\r\nUrl_site=1,2,3,4,5,6,7\r\n"
                                "[b.com]\r\nUrl_site=7,6,5,4,3,2,1\r\n";
// Only "1" ticks a switch: this AutoGain does not.
const QByteArray kStoredConfig = QByteArray(kSavedConfig).replace("AutoGain=0", "AutoGain=yes");

// served is a payload, or a failure: "!missing" (no such page), "!raw" (body without the
// payload markers), "!no answer", "!dropped", "!stall" (headers, then nothing).
void serve(FakeQueryService& service, const QString& page, const QString& served) {
    const QHash<QString, Behaviour> failures = {{"!no answer", Behaviour::NoAnswer},
                                                {"!dropped", Behaviour::Drop},
                                                {"!stall", Behaviour::HeadersThenStall}};
    service.clearPages();
    service.setBehaviour(page, failures.value(served, Behaviour::Answer));
    // Short only where the wait must run out, so that a busy machine cannot make answers late.
    SetHttpGetTimeLimit(std::chrono::milliseconds(failures.contains(served) ? 400 : 5000));
    if (served == "!raw")
        service.setRaw(page, "[ConFig]\r\nVersion=V9\r\n");
    else if (!served.startsWith('!'))
        service.setPayload(page, served);
}

struct LookupCase {
    int slot;
    QString input, served, expected, target; // target: sUrl of the request, "" when none is sent
};

struct UpdateCase {
    QString autoUpdate; // "" for none stored
    QStringList served;
    QString found;  // UpdateVersion|UpdateName|UpdateUrl afterwards
    QString notice; // the version the notice names, "-" for none
};

struct SaveCase {
    QString typed;
    int button;
    QString stored;    // "" when nothing is stored
    QString entry;     // the entry's bytes before, "none", or "blocked" (no folder can be made)
    QString autostart; // box at save, then entry after: "10" ...
};

} // namespace

class TestPanels : public QObject {
    Q_OBJECT
    std::unique_ptr<DesktopFixture> m_fx;
    Form_Main* m_form = nullptr;
    std::unique_ptr<SiteTracking> m_tracking;
    std::unique_ptr<LookupPanels> m_panels;
    std::unique_ptr<SettingsPanel> m_settings;

    // A slot showing text as its result (the box turns CR LF into LF), or a good answer.
    static QString shown(QString text) { return "-|F|" + text.replace("\r\n", "\n") + "|on"; }
    static QString answered(int slot) { return shown(slot == 0 ? kWhoisPayload : kRankingText); }
    static QString description(const QString& body) { return "[ConFig]\r\n" + body; }
    static QString pageAndTarget(const QString& request) {
        return FakeQueryService::pageOf(request) + ' ' + FakeQueryService::targetOf(request);
    }
    QLabel* label(int slot) const { return slot == 0 ? m_form->LabYM() : m_form->LabPM(); }
    CtlFrame* frame(int slot) const { return slot == 0 ? m_form->FrameYM() : m_form->FramePM(); }
    QPlainTextEdit* result(int slot) const { return slot ? m_form->TextPM() : m_form->TextYM(); }
    // label ("-" when hidden) | "F" when the result frame shows | result | "on", or "off locked"
    // while the button is off and the box read-only.
    QString state(int slot) const {
        const QString busy = QString(m_form->CmdSend(slot)->Enable() ? "on" : "off") +
                             (m_form->TextInPut(slot)->isReadOnly() ? " locked" : "");
        return QStringList{label(slot)->isHidden() ? "-" : label(slot)->text(),
                           frame(slot)->isHidden() ? "-" : "F", result(slot)->toPlainText(), busy}
            .join('|');
    }
    // An earlier answer on show, so that every change of the outcome is visible.
    void presetSlot(int slot) {
        label(slot)->setText("earlier"), result(slot)->setPlainText("previous");
        label(slot)->show(), frame(slot)->show();
    }
    QString entryPath() const { return m_fx->path("xdg/autostart/valdane.desktop"); }
    QString entryProgram() const { return m_fx->path("bin/valdane"); }
    // Only the panel's frame shows; only its menu button is drawn pressed, also when hovered.
    void checkShownPanel(int panel) {
        const auto picture = [this](int i) { return m_form->PicBox(i)->pixmap().cacheKey(); };
        for (int i = 0; i < 7; ++i) {
            const CtlButton* b = m_form->CmdMenu1(i);
            QCOMPARE(m_form->Frame(i)->isVisible(), i == panel);
            QCOMPARE(QList({b->PictrueNormal().cacheKey(), b->PictureOver().cacheKey(),
                            b->PictureClick().cacheKey()}),
                     QList({picture(i == panel ? 2 : 0), picture(i == panel ? 2 : 1), picture(2)}));
        }
    }

  private slots:
    void init() {
        m_fx = std::make_unique<DesktopFixture>();
        m_form = m_fx->form.get();
        m_form->Label1(1)->setText(kStartCaption), m_form->Label1(1)->setToolTip(kStartTip);
        const QStringList e = kEarlierUpdate.split('|');
        std::tie(m_form->UpdateVersion, m_form->UpdateName, m_form->UpdateUrl) =
            std::tie(e[0], e[1], e[2]);
        SetAutostartProgramFile(entryProgram());
        qputenv("XDG_CONFIG_HOME", m_fx->path(QStringLiteral("xdg")).toUtf8());
        PutContent(m_form->ConfigPath, kStoredConfig);
        m_form->SiteList = QStringLiteral("a.com;b.com");
        m_tracking = std::make_unique<SiteTracking>(*m_form);
        m_panels = std::make_unique<LookupPanels>(*m_form);
        m_settings = std::make_unique<SettingsPanel>(*m_form, *m_tracking, *m_panels);
    }
    void cleanup() { m_settings.reset(), m_panels.reset(), m_tracking.reset(), m_fx.reset(); }

    void lookupOutcome_data() {
        QTest::addColumn<LookupCase>("t");
        const auto add = [](const char* name, const LookupCase& t) { QTest::newRow(name) << t; };
        const QString rejected = "-|-|previous|on", timedOut = "网络超时|-||on";
        for (int slot = 0; slot < 2; ++slot) {
            QTest::addRow("%d blanks", slot)
                << LookupCase{slot, "    ", kRankingPayload, "earlier|F|previous|on", ""};
            for (const char* bad : {"abc", "a.b", ".example.com", "example.com.", "examplecom",
                                    "/example.com", "\\example.com", "example.\\", "http://a.b"})
                QTest::addRow("%d rejects %s", slot, bad)
                    << LookupCase{slot, QStringLiteral("  ") + bad, kRankingPayload, rejected, ""};
            for (const char* failure :
                 {"0", "false", "a|b", "", "!raw", "!missing", "!no answer", "!dropped", "!stall"})
                QTest::addRow("%d fails on '%s'", slot, failure)
                    << LookupCase{slot, "example.com", failure, timedOut, "example.com"};
            QTest::addRow("%d answered", slot)
                << LookupCase{slot, " example.com ", slot == 0 ? kWhoisPayload : kRankingPayload,
                              answered(slot), "example.com"};
        }
        const QString whois = answered(0), &w = kWhoisPayload;
        // "www." is removed for WHOIS only, which leaves too short a name.
        add("0 rejects www.a.c", {0, "www.a.c", w, rejected, ""});
        add("0 four characters", {0, "example.com", "abcd", "-|F|abcd|on", "example.com"});
        add("1 keeps www", {1, "http://www.Example.COM", "!missing", timedOut, "www.Example.COM"});
        add("0 mixed case", {0, "http://www.Example.COM", w, whois, "Example.COM"});
        add("0 capital prefix", {0, "HTTP://WWW.Example.com", w, whois, "HTTP://WWW.Example.com"});
        add("0 trailing slash", {0, "example.com/", w, whois, "example.com/"});
        add("0 www inside", {0, "wwww.example.com", w, whois, "wexample.com"});
        add("0 prefix after www", {0, "www.http://example.com", w, whois, "example.com"});
        add("1 every http removed",
            {1, "http://http://example.com", "!missing", timedOut, "example.com"});
        // The ranking's nine fields; -1 marks a number or trend the service could not obtain.
        const QString none = QStringLiteral("—（暂无数据，原因见查询服务主页）");
        add("1 trend not computed",
            {1, "example.com", QString(kRankingPayload).replace("|||+21|||", "|||-1|||"),
             shown(QString(kRankingText).replace("[+21]", "[—]")), "example.com"});
        add("1 numbers not obtained",
            {1, "example.com", QString(kRankingPayload).replace("12345", "-1").replace("678", "-1"),
             shown(QString(kRankingText).replace("12345[+21]", none).replace("678", none)),
             "example.com"});
        for (const char* bad :
             {"a||", "a|||b|||c|||d|||e|||f|||g|||h", "a|||b|||c|||d|||e|||f|||g|||h|||i|||j",
              "|||b|||c|||d|||e|||f|||g|||h|||i", "abcdefghijkl"})
            QTest::addRow("1 malformed '%s'", bad)
                << LookupCase{1, "example.com", bad, timedOut, "example.com"};
    }
    void lookupOutcome() {
        QFETCH(LookupCase, t);
        const auto [slot, input, served, expected, target] = t;
        serve(m_fx->service, kPage[slot], served);
        presetSlot(slot);
        m_form->TxtMD5(0)->setText(QStringLiteral("old"));
        m_form->TextInPut(slot)->setText(input);
        m_panels->Lookup(slot);
        QCOMPARE(state(slot), expected);
        // The busy line repeats the domain as typed: plain text, never markup.
        QCOMPARE(label(slot)->textFormat(), Qt::PlainText);
        QCOMPARE(m_form->TextInPut(slot)->text(), input);
        QCOMPARE(m_form->TxtMD5(0)->text().isEmpty(), input.trimmed().isEmpty());
        QStringList asked = Each(pageAndTarget, m_fx->service.requests());
        asked.removeDuplicates(); // the network layer may resend a dropped request
        QCOMPARE(asked, target.isEmpty() ? QStringList() : QStringList{kPage[slot] + ' ' + target});
        QVERIFY(m_fx->desktop.boxes.isEmpty());
    }
    // While one slot waits, its own triggers and typing are refused; the other slots still work.
    void waitingSlotRefusesAnotherLookup_data() {
        QTest::addColumn<int>("slot");
        QTest::addColumn<QString>("caption");
        addRow("whois", 0, "正在查询 example.com 的WHOIS信息...");
        addRow("ranking", 1, "正在查询 www.example.com 的综合排名信息...");
    }
    void waitingSlotRefusesAnotherLookup() {
        QFETCH(int, slot);
        QFETCH(QString, caption);
        m_form->show();
        const int other = 1 - slot;
        m_fx->service.setPayload(kPage[0], kWhoisPayload);
        m_fx->service.setPayload(kPage[1], kRankingPayload);
        m_fx->service.setDelay(kPage[slot], 300);
        presetSlot(slot);
        QLineEdit* input = m_form->TextInPut(slot);
        input->setText("http://www.example.com");
        m_form->TextInPut(other)->setText("example.com"), m_form->TextInPut(2)->setText("abc");
        QString during;
        QTimer::singleShot(100, this, [&] {
            during = state(slot);
            QTest::keyClick(input, Qt::Key_Return), QTest::keyClick(input, Qt::Key_Enter);
            QTest::mouseClick(m_form->CmdSend(slot), Qt::LeftButton);
            m_panels->Lookup(slot);
            QTest::keyClicks(input, QStringLiteral("xyz"));
            m_panels->Lookup(other), m_panels->Lookup(2);
            during += ' ' + state(other);
        });
        m_panels->Lookup(slot);
        QCOMPARE(during, caption + "|-|previous|off locked " + answered(other));
        QVERIFY(state(slot).startsWith("-|F|") && state(slot).endsWith("|on"));
        QCOMPARE(QStringList({m_form->TxtMD5(2)->text(), input->text(), state(other),
                              QString::number(m_fx->service.requests().size())}),
                 QStringList({kDigest, "http://www.example.com", answered(other), "2"}));
    }
    // Return, Enter and the button each compute every digest of the trimmed text.
    void digestTriggers() {
        m_form->show();
        QLineEdit* box = m_form->TextInPut(2);
        for (int key : {int(Qt::Key_Return), int(Qt::Key_Enter), 0}) { // 0: the button
            box->setText("  abc  ");
            for (int i = 0; i < 4; ++i)
                m_form->TxtMD5(i)->clear();
            key ? QTest::keyClick(box, Qt::Key(key))
                : QTest::mouseClick(m_form->CmdSend(2), Qt::LeftButton);
            QCOMPARE(Each([this](int i) { return m_form->TxtMD5(i)->text(); }, {0, 1, 2, 3}),
                     QStringList({kDigest.mid(8, 16), kDigest.mid(8, 16).toUpper(), kDigest,
                                  kDigest.toUpper()}));
        }
        QCOMPARE(box->text(), "  abc  ");
        QVERIFY(m_form->CmdSend(2)->Enable() && m_fx->service.requests().isEmpty());
    }
    // One check per served answer; one without news keeps the notice; each asks a new number.
    void updateCheck_data() {
        QTest::addColumn<UpdateCase>("t");
        const auto row = [](const char* name, const QStringList& served, const QString& found,
                            const char* notice) {
            QTest::newRow(name) << UpdateCase{"1", served, found, notice};
        };
        const QString newer = description("Version=V1.4\r\nName=Valdane 1.4\r\nUrl=http://dl.cn/4");
        const QString same = description("Version=V1.3 Beta\r\nName=N\r\nUrl=u");
        for (const char* off : {"0", "", "1x"})
            QTest::addRow("switch '%s'", off) << UpdateCase{off, {newer}, kEarlierUpdate, "-"};
        row("same version", {same}, "V1.3 Beta|earlier name|http://earlier.example/", "-");
        row("newer", {newer}, "V1.4|Valdane 1.4|http://dl.cn/4", "V1.4");
        row("case differs", {description("Version=v1.3 beta\r\nName=N\r\nUrl=u")}, "v1.3 beta|N|u",
            "v1.3 beta");
        row("version missing", {description("Name=N\r\nUrl=u")}, "|N|u", "");
        // The server's texts are shown as they are, never as markup.
        row("markup", {description("Version=<b>V9</b>\r\nName=<img src=\"/etc/x\">")},
            "<b>V9</b>|<img src=\"/etc/x\">|", "<b>V9</b>");
        row("last line unbroken", {description("Version=V1.4\r\nName=N")}, "V1.4|N|", "V1.4");
        row("names in any case",
            {"[config]\r\nVERSION=V1.5\r\nname=five\r\nURL=https://dl.example/5"},
            "V1.5|five|https://dl.example/5", "V1.5");
        // Six characters are the shortest payload taken; it is no INI text, so no version.
        row("six characters", {"abcdef"}, "||", "");
        for (const char* unusable :
             {"0", "abcde", "", "!raw", "!missing", "!no answer", "!dropped"})
            QTest::addRow("unusable '%s'", unusable)
                << UpdateCase{"1", {unusable}, kEarlierUpdate, "-"};
        // A scratch file that cannot be written gives no description, not a "new version".
        row("scratch file unwritable", {"!unwritable"}, kEarlierUpdate, "-");
        row("later checks", {newer, "!no answer", same, same},
            "V1.3 Beta|Valdane 1.4|http://dl.cn/4", "V1.4");
    }
    void updateCheck() {
        QFETCH(UpdateCase, t);
        const auto [autoUpdate, served, found, notice] = t;
        PutContent(m_form->ConfigPath, "");
        if (!autoUpdate.isEmpty())
            WriteIni(kSetting, "AutoUpdate", autoUpdate, m_form->ConfigPath);
        for (QString answer : served) {
            if (answer == "!unwritable") {
                m_form->TempPath = m_form->ConfigPath + QStringLiteral(".absent/~scratch.tmp");
                answer = description("Version=V1.4\r\nName=N\r\nUrl=u");
            }
            serve(m_fx->service, "Update.txt", answer);
            m_panels->UpdateCheck();
        }
        QCOMPARE(m_form->UpdateVersion + '|' + m_form->UpdateName + '|' + m_form->UpdateUrl, found);
        const QStringList requests = m_fx->service.requests();
        for (const QString& request : requests)
            QVERIFY2(request.startsWith("/Calvren/Rivelo/Update.txt?tn="), qPrintable(request));
        // A resent request keeps its number.
        QCOMPARE(QSet<QString>(requests.begin(), requests.end()).size(),
                 autoUpdate == "1" ? served.size() : 0);
        QCOMPARE(QFile::exists(m_form->TempPath), found != kEarlierUpdate);
        const QLabel* start = m_form->Label1(1);
        const bool news = notice != "-";
        QCOMPARE(std::tuple(start->text(), ShownTip(start->toolTip()), start->textFormat()),
                 std::tuple(news ? "发现新版本 " + notice + " 请更新" : kStartCaption,
                            news ? "点击下载最新版" + m_form->UpdateName : kStartTip,
                            Qt::PlainText));
        QVERIFY(m_fx->desktop.boxes.isEmpty() && m_fx->desktop.opened.isEmpty());
    }
    void menuButtonsSwitchPanels_data() {
        QTest::addColumn<int>("index");
        for (int i = 0; i < 7; ++i)
            QTest::addRow("%d", i) << i;
    }
    void menuButtonsSwitchPanels() {
        QFETCH(int, index);
        m_form->show(), QApplication::setActiveWindow(m_form);
        QVERIFY(QTest::qWaitForWindowActive(m_form));
        for (int i = 0; i < 3; ++i)
            m_form->TextInPut(i)->setText("typed");
        m_form->TxtMD5(0)->setText("old"), m_form->TextSet()->setPlainText("edited");
        QTest::mouseClick(m_form->CmdMenu1(index), Qt::LeftButton);
        QCOMPARE(m_form->CurrentPanel, index);
        checkShownPanel(index);
        // Lookup panels take the focus, the digest panel starts empty, settings show the file.
        for (int i = 0; i < 3; ++i)
            QCOMPARE(m_form->TextInPut(i)->hasFocus(), i == index - 3);
        QCOMPARE(m_form->TextInPut(2)->text() + m_form->TxtMD5(0)->text() + ' ' +
                     m_form->TextSet()->toPlainText(),
                 (index == 5 ? " " : "typedold ") + QString(index == 6 ? "a.com;b.com" : "edited"));
    }
    // A switch made inside the switch's event pumping wins; an unknown index changes nothing.
    void panelSwitchReentry() {
        m_form->show();
        QTest::qWait(30); // let the next pump run at once
        const auto show = [this](int panel) { m_form->CurrentPanel = panel, m_form->ShowPanel(); };
        QTimer::singleShot(0, m_form, [&] { show(4); });
        show(1);
        QCOMPARE(m_form->CurrentPanel, 4);
        for (int bad : {-1, 7, 1000})
            show(bad);
        checkShownPanel(4);
    }
    // Saving stores what the panel shows, even over a changed file, then refreshes every site;
    // a list without sites (a box) and the drop button store nothing. The autostart entry is
    // touched only when it disagrees with the box; any entry counts; a failed write is quiet.
    void saveSettings_data() {
        QTest::addColumn<SaveCase>("t");
        const auto add = [](const char* name, const SaveCase& t) { QTest::newRow(name) << t; };
        const char* kept = "a.com;b.com";
        add("unchanged", {kept, 0, kept, "none", "00"});
        add("full-width separators and prefixes",
            {"  http://a.com；http://c.com；b.com  ", 0, "a.com;c.com;b.com", "none", "00"});
        add("line break as ;", {"a.com\nd.com;a.com", 0, "a.com;d.com", "none", "00"});
        add("site removed", {"a.com;c.com", 0, "a.com;c.com", "none", "00"});
        for (const char* refused : {"", "    ", "；;；", "abc;.x;http://"})
            QTest::addRow("refused '%s'", refused) << SaveCase{refused, 0, "", "none", ""};
        add("dropped", {"z.com", 1, "", "none", ""});
        const char* other = "[Desktop Entry]\nExec=/elsewhere/valdane -Min\n";
        add("other entry kept", {kept, 0, kept, other, "11"});
        add("other entry removed", {kept, 0, kept, other, "00"});
        add("empty entry kept", {kept, 0, kept, "", "11"});
        add("entry written", {kept, 0, kept, "none", "11"});
        add("entry write fails", {kept, 0, kept, "blocked", "10"});
    }
    void saveSettings() {
        QFETCH(SaveCase, t);
        const auto [typed, button, stored, entry, autostart] = t;
        m_form->show();
        const bool hadEntry = entry != "none" && entry != "blocked";
        if (hadEntry)
            QDir().mkpath(m_fx->path("xdg/autostart")), PutContent(entryPath(), entry.toUtf8());
        if (entry == "blocked") // the config folder is a file
            PutContent(m_fx->path("x"), "x"), qputenv("XDG_CONFIG_HOME", m_fx->path("x").toUtf8());
        m_settings->CmdMenu1Click(6);
        QCOMPARE(m_form->CheckSet(3)->isChecked(), hadEntry);
        m_form->TextSet()->setPlainText(typed);
        if (stored.isEmpty()) {
            for (int i = 0; i < 4; ++i)
                m_form->CheckSet(i)->toggle();
        } else {
            for (const char* key : {"SeoUrl", "AutoUpdate", "AutoGain", "AutoRecord"})
                WriteIni(kSetting, key, "x", m_form->ConfigPath);
            m_form->CheckSet(3)->setChecked(autostart.startsWith('1'));
        }
        QTest::mouseClick(m_form->CMDSet(button), Qt::LeftButton);
        const bool refused = stored.isEmpty() && button == 0;
        QCOMPARE(std::pair(m_fx->desktop.boxes.size(), m_form->CurrentPanel),
                 std::pair(qsizetype(refused), refused ? 6 : 0));
        QVERIFY(m_form->Frame(m_form->CurrentPanel)->isVisible());
        if (refused)
            QVERIFY(m_form->TextSet()->toPlainText() == typed && !m_form->CheckSet(0)->isChecked());
        const QString list = stored.isEmpty() ? "a.com;b.com" : stored;
        if (list == "a.com;b.com")
            QCOMPARE(ContentOf(m_form->ConfigPath),
                     stored.isEmpty() ? kStoredConfig : kSavedConfig);
        QCOMPARE(Each([this](const char* k) { return ReadIni(kSetting, k, m_form->ConfigPath); },
                      {"SeoUrl", "AutoUpdate", "AutoRecord"})
                     << m_form->SiteList,
                 QStringList({list, "1", "0", list}));
        const bool exists = autostart.endsWith('1');
        const QByteArray written = ContentOf(entryPath());
        QCOMPARE(QFile::exists(entryPath()), exists);
        QVERIFY(!exists || (hadEntry ? written == entry.toUtf8()
                                     : written.contains((entryProgram() + " -Min").toUtf8())));
        const QStringList sites = list.split(';');
        if (!stored.isEmpty())
            QCOMPARE(m_form->ListView1(0)->topLevelItemCount(), sites.size());
        QStringList want;
        for (const QString& site : stored.isEmpty() ? QStringList() : sites)
            for (const char* page : {"sites.asp ", "links.asp ", "ranks.asp "})
                want << page + site;
        QCOMPARE(Each(pageAndTarget, m_fx->service.requests()), want);
        // Records of sites no longer listed go; those of kept sites stay.
        QCOMPARE(ContentOf(m_form->ConfigPath).contains("[b.com]"), sites.contains("b.com"));
        QCOMPARE(ReadIni("a.com", "Url_site", m_form->ConfigPath),
                 sites.contains("a.com") ? "1,2,3,4,5,6,7" : QString());
        QVERIFY(!m_form->IsBusy);
        m_settings->CmdMenu1Click(6);
        QCOMPARE(m_form->TextSet()->toPlainText(), list);
        QCOMPARE(Each([this](int i) { return m_form->CheckSet(i)->isChecked(); }, {0, 1, 2, 3}),
                 QList<bool>({true, false, false, exists}));
    }
};

QTEST_MAIN(TestPanels)
#include "tst_panels.moc"

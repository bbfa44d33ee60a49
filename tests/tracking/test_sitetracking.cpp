#include "controls/ctlbutton.h"
#include "fixture.h"
#include "storage/charset.h"
#include "storage/inifile.h"
#include "storage/texthelpers.h"
#include "tracking/sitetracking.h"

#include <QAction>
#include <QDir>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

namespace {

const QDateTime kStamp(QDate(2026, 3, 5), QTime(9, 7, 2));
const QString kAll = QStringLiteral("All");
const QString kGood = QStringLiteral("1,2,3,4,5,6,7");
const QString kNone = QStringLiteral("-1,-1,-1,-1,-1,-1,-1");
const QString kMeasuring = QStringLiteral(R"({"status":"measuring","value":null})");
const QString kDash = QStringLiteral("—");
const QStringList kPages = {"sites.asp", "links.asp", "ranks.asp"};

QStringList rowTexts(QTreeWidget* view, int row) {
    QStringList texts;
    QTreeWidgetItem* item = view->topLevelItem(row);
    for (int c = 0; item && c < view->columnCount(); ++c)
        texts.append(item->text(c));
    return texts;
}

// The report as written by a run at kStamp that stored the given rows.
QByteArray reportWith(const QString& rows) {
    const QString frame = ReportFrameText();
    return ToGbk(frame.left(frame.indexOf("</table>")) + rows + ReportFootText()) + "\r\n";
}

QString row(const QString& site, const QString& label, const QString& values, bool sep) {
    return ReportRowsText(site, QStringLiteral("03-05 9:07:02"), label, values.split(u','), sep);
}

// The cell-state page of a site whose backlinks cells are all cell.
QString stateWithLinks(const QString& cell, bool pending = false, const QString& ready = "null") {
    return QStringLiteral(R"({"site":"a.com","pending":%1,"ready_in_s":%2,)"
                          R"("pages":{"sites":[],"links":[%3],"ranks":[]}})")
        .arg(pending ? "true" : "false", ready, QStringList(7, cell).join(u','));
}

// A refresh of a.com (all answers good), b.com and c.com.
struct EndCase {
    QStringList b, c; // the answers of b.com and c.com
    QString bState;   // b.com's cell-state page; "": none
    QString trouble;  // "down": no service; "unwritable": Config.ini; "404": no b.com state page
    QString endText;  // "%host", "%save": the service's, the save problem
    QString tip;      // of b.com's backlinks cells; "": not checked
};

struct FallCase {
    QString alert;      // DropAlert, "" absent
    QString before;     // stored 百度 count, "" none
    QStringList counts; // the refresh's, then its follow-ups'
    QString fall;       // in the marked cell's tip at the end, "" unmarked
    QString told;       // the fall in the notice, "" none
};

struct ListCase {
    QString key;
    int view;
    QString stored, shown, storedAfter;
};

// On the rows "a.com" and "b.com/p q".
struct CommandCase {
    QString command; // "button N", "record" (button 0, a report there), "detail", "update",
                     // "menu" (a right click); "!" first: opening fails
    int panel;
    int selected; // row; -1 none, -2 both, -3 a press on empty space
    QString expected;
};

} // namespace

class TestSiteTracking : public QObject {
    Q_OBJECT
  private:
    Form_Main& form() { return *m_fx->form; }
    QString config() const { return m_fx->form->ConfigPath; }
    QString log() const { return m_fx->form->LogPath; }
    void useSites(const QString& sites) {
        WriteIni(QStringLiteral("Setting"), QStringLiteral("SeoUrl"), sites, config());
        form().SiteList = sites;
        m_tracking->LoadSiteLists();
    }
    // The query pages' requests, without those of the cell-state page.
    QStringList queries() const {
        QStringList list = m_fx->service.requests();
        list.removeIf([](const QString& r) { return r.startsWith("/state.json"); });
        return list;
    }
    QStringList updated() const {
        QStringList sites;
        for (const QString& request : queries())
            if (FakeQueryService::pageOf(request) == "sites.asp")
                sites << QUrl::fromPercentEncoding(FakeQueryService::targetOf(request).toUtf8());
        return sites;
    }
    // The status line, its colour, the refresh button, busy or idle, which of Timer1(0..3) run.
    QString look() {
        QString timers;
        for (int i = 0; i <= 3; ++i)
            timers += form().Timer1(i)->isActive() ? u'1' : u'0';
        return QStringList{form().Label1(0)->text(),
                           form().Label1(0)->palette().color(QPalette::WindowText).name(),
                           form().CmdMenu2(1)->Enable() ? "on" : "off",
                           form().IsBusy ? "busy" : "idle", timers}
            .join(u' ');
    }

    std::unique_ptr<DesktopFixture> m_fx;
    std::unique_ptr<SiteTracking> m_tracking;
    QHash<QString, QStringList> m_answers; // the site's indexed, backlinks and ranks payloads
    QDateTime m_now;
    QStringList m_seen; // page, site and look() as each query request came, without the dots
    std::function<void()> m_duringRequest;

  private slots:
    void init() {
        m_fx = std::make_unique<DesktopFixture>();
        m_answers.clear();
        m_seen.clear();
        m_duringRequest = nullptr;
        m_fx->service.setGenerator([this](const QString& page, const QString& target) {
            // Pages not set up, the cell-state page among them, are missing.
            const qsizetype at = kPages.indexOf(page);
            if (at < 0)
                return FakeQueryService::Generated{};
            m_seen.append(page + ' ' + target + ' ' +
                          look().replace(QRegularExpression(QStringLiteral("）\\.*")), "）"));
            if (m_duringRequest)
                m_duringRequest();
            const QStringList payloads = m_answers.value(target);
            if (at >= payloads.size())
                return FakeQueryService::Generated{};
            return FakeQueryService::Generated{true, payloads.at(at)};
        });
        m_tracking = std::make_unique<SiteTracking>(form());
        m_tracking->report().clock = [] { return kStamp; };
        m_now = kStamp;
        m_tracking->clock = [this] { return m_now; };
        m_tracking->SetupColumns();
    }

    void cleanup() {
        m_tracking.reset();
        m_fx.reset();
    }

    void fullRun() {
        PutContent(config(),
                   ToGbk("[Setting]\r\nSeoUrl=a.com;b.cn;c.org;d.net\r\nAutoRecord=1\r\n"
                         "AutoGain=1\r\n[b.cn]\r\nUrl_site=9,9,9,9,9,9,9\r\nUrl_pr=8,8\r\n"));
        form().SiteList = QStringLiteral("a.com;b.cn;c.org;d.net");
        m_answers["a.com"] = {"  1|20|3,4|5|6|7 ", "10,20,30,40,50,60,70", "4|2"};
        m_answers["b.cn"] = {"false", "1,2,3,4,5,6,中", "5"};
        // Refused: b.cn's indexed and ranks answers, all of c.org's (so no cell-state question
        // either), d.net's backlinks and ranks.
        m_answers["c.org"] = {"1,2,3,4,5,6", "1,2,3,4,5,6,7\r\n[evil]", ",55"};
        m_answers["d.net"] = {kGood, "", "1,2,3"};
        form().Timer1(0)->start();
        form().Timer1(3)->start();
        form().AutoGainTicks = 7;
        m_tracking->UpdateSites(kAll);

        // Three requests per site, in order, sharing one key per site. Meanwhile: the site and
        // its position in red, the button off, only the dots ticking.
        QStringList want;
        for (int i = 0; i < 12; ++i)
            want << QStringLiteral("%1 %2 正在更新 %2（%3/4） #ff0000 off busy 0100")
                        .arg(kPages.at(i % 3), form().SiteList.section(u';', i / 3, i / 3),
                             QString::number(i / 3 + 1));
        QCOMPARE(m_seen, want);
        const QStringList r = queries();
        const auto keyOf = [&r](qsizetype i) {
            return r.at(i).section("&Key=", 1).section('&', 0, 0);
        };
        for (qsizetype i = 0; i < r.size(); ++i)
            QVERIFY(!keyOf(i).isEmpty() && keyOf(i) == keyOf(i - i % 3));
        // Why cells are empty is asked once per site that shows some and got any answer.
        QCOMPARE(m_fx->service.requests().mid(12), QStringList{"/state.json?sUrl=d.net"});
        QCOMPARE(
            ContentOf(config()),
            ToGbk("[Setting]\r\nSeoUrl=a.com;b.cn;c.org;d.net\r\nAutoRecord=1\r\nAutoGain=1\r\n"
                  "[b.cn]\r\nUrl_site=9,9,9,9,9,9,9\r\nUrl_pr=8,8\r\nUrl_link=1,2,3,4,5,6,0\r\n"
                  "[a.com]\r\nUrl_site=1,20,3,4,5,6,7\r\nUrl_link=10,20,30,40,50,60,70\r\n"
                  "Url_pr=4,2\r\n[d.net]\r\nUrl_site=1,2,3,4,5,6,7\r\n"));
        QCOMPARE(ContentOf(log()), reportWith(row("a.com", "收录", "1,20,3,4,5,6,7", true) +
                                              row("a.com", "反链", "10,20,30,40,50,60,70", false) +
                                              row("b.cn", "反链", "1,2,3,4,5,6,中", false) +
                                              row("d.net", "收录", kGood, true)));
        // The lists show what was stored; "中" is no number and is kept as 0.
        QCOMPARE(rowTexts(form().ListView1(0), 1), QString("b.cn 9 9 9 9 9 9 9").split(' '));
        QCOMPARE(rowTexts(form().ListView1(1), 1), QString("b.cn 1 2 3 4 5 6 0").split(' '));
        QCOMPARE(rowTexts(form().ListView1(2), 0), QString("a.com 4 2").split(' '));
        QCOMPARE(look(), "更新完毕，3 个网址未能更新 #ff0000 on idle 0011");
        QCOMPARE(QList<int>({form().AutoGainTicks, form().DotTicks}), QList<int>({0, 0}));
    }

    void targetChoosesTheSites_data() {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("siteList");
        QTest::addColumn<QString>("fetched");
        addRow("all", "All", "a.com;b.com", "a.com b.com");
        addRow("empty target", "", "a.com;b.com", "a.com b.com");
        addRow("one site", "b.com", "a.com;b.com", "b.com");
        addRow("site not tracked", "z.org/x", "a.com", "z.org/x");
        addRow("no sites", "a.com", "", "");
    }

    void targetChoosesTheSites() {
        QFETCH(QString, target);
        QFETCH(QString, siteList);
        QFETCH(QString, fetched);
        form().SiteList = siteList;
        m_tracking->UpdateSites(target);
        QCOMPARE(updated().join(u' '), fetched);
        QCOMPARE(m_fx->service.requests().size(), 3 * updated().size());
        QVERIFY(!form().IsBusy);
    }

    void endTextTellsWhatFailed_data() {
        QTest::addColumn<EndCase>("t");
        const auto add = [](const char* name, const EndCase& t) { QTest::newRow(name) << t; };
        const QStringList good = {kGood, kGood, "1,2"};
        const QStringList none = {kNone, "-1|-1|-1|-1|-1|-1|-1", "-1,-1"};
        const QStringList rankRefused = {kGood, kGood, "false"};
        const QString measuring = stateWithLinks(kMeasuring, true, "20");
        add("every answer accepted", {good, good, "", "", "所有网址信息更新完毕", ""});
        add("one rank refused", {rankRefused, good, "", "", "更新完毕，1 个网址未能更新", ""});
        add("no numbers at all", {none, none, "", "", "更新完毕，2 个网址暂无数据", ""});
        add("refused and no numbers",
            {rankRefused, none, "", "", "更新完毕，1 个网址未能更新，1 个网址暂无数据", ""});
        add("a real zero is a number",
            {{none[0], none[1], "-1,0"}, good, "", "", "所有网址信息更新完毕", ""});
        add("being measured",
            {none, none, measuring, "", "更新完毕，1 个网址暂无数据，1 个网址正在测量", ""});
        add("service down", {good, good, "", "down", "无法连接查询服务 %host", ""});
        // What was answered is still shown.
        add("Config.ini unwritable",
            {good, good, "", "unwritable", "更新完毕，数据未能保存：%save", ""});
        // Why cells are empty, as the service tells it or not.
        const QStringList noLinks = {kGood, kNone, "1,2"};
        const QString done = "所有网址信息更新完毕";
        const auto cell = [](const char* status, const char* reason) {
            return stateWithLinks(QStringLiteral(R"({"status":"%1","value":null,"reason":"%2"})")
                                      .arg(QString::fromUtf8(status), QString::fromUtf8(reason)));
        };
        add("reason", {noLinks, good, cell("blocked", "百度 因验证页面暂停至 12-08 10:20"), "",
                       done, "暂无数据：百度 因验证页面暂停至 12-08 10:20"});
        add("measuring",
            {noLinks, good, cell("measuring", ""), "", done, "正在测量，稍后自动更新"});
        add("no reason", {noLinks, good, cell("not-found", ""), "", done, "暂无数据"});
        add("markup and line breaks", {noLinks, good, cell("parse-failed", R"(<b>坏</b>\n\t页面)"),
                                       "", done, "暂无数据：<b>坏</b> 页面"});
        add("no such page", {noLinks, good, R"({"error":"not a site"})", "404", done, "暂无数据"});
        add("not json", {noLinks, good, "<html><body>home</body></html>", "", done, "暂无数据"});
        add("wrong types",
            {noLinks, good, R"({"pages":{"links":"x"},"pending":"yes"})", "", done, "暂无数据"});
    }

    void endTextTellsWhatFailed() {
        QFETCH(EndCase, t);
        form().SiteList = QStringLiteral("a.com;b.com;c.com");
        m_answers = {{"a.com", {kGood, kGood, "1,2"}}, {"b.com", t.b}, {"c.com", t.c}};
        if (!t.bState.isEmpty())
            m_fx->service.setState("b.com", t.bState, t.trouble == "404" ? 404 : 200);
        const QString host = m_fx->service.baseUrl().mid(7);
        if (t.trouble == "down")
            m_fx->service.stop();
        if (t.trouble == "unwritable") {
            PutContent(m_fx->path("plain"), "");
            form().ConfigPath = m_fx->path("plain/Config.ini");
        }
        m_tracking->UpdateSites(kAll);
        const QString text =
            t.endText.replace("%host", host).replace("%save", IniWriteProblem(config()));
        QCOMPARE(form().Label1(0)->text(), text);
        QCOMPARE(form().Label1(0)->textFormat(), Qt::PlainText); // it shows site names too
        QCOMPARE(ContentOf(log()), "<unreadable>"); // recording is off unless asked for
        QCOMPARE(rowTexts(form().ListView1(0), 0).mid(1),
                 t.trouble == "down" ? QStringList(7, kDash) : kGood.split(u','));
        if (!t.tip.isEmpty()) {
            QCOMPARE(m_fx->service.requests().filter("/state.json"),
                     QStringList{"/state.json?sUrl=b.com"});
            for (int c = 1; c <= 7; ++c)
                QCOMPARE(ShownTip(form().ListView1(1)->topLevelItem(1)->toolTip(c)), t.tip);
        }

        // A problem stays readable for 30 s, then on hovering the clock until the next run.
        const bool problem = text != QStringLiteral("所有网址信息更新完毕");
        QCOMPARE(form().Timer1(2)->interval(), problem ? 30000 : 3000);
        m_tracking->Tick(2);
        m_tracking->Tick(0);
        QCOMPARE(look(), ClockText(kStamp) + " #000000 on idle 1000");
        QCOMPARE(form().Label1(0)->toolTip(), problem ? text : QString());
    }

    void followUpWhenTheServiceSaysReady_data() {
        QTest::addColumn<QString>("state");
        QTest::addColumn<int>("wait"); // seconds until the follow-up; -1 none
        for (const auto& [ready, wait] :
             {std::pair(18, 18), std::pair(0, 10), std::pair(86400, 600)})
            addRow(qPrintable(QStringLiteral("ready in %1 s").arg(ready)),
                   stateWithLinks(kMeasuring, true, QString::number(ready)), wait);
        addRow("ready some time", stateWithLinks(kMeasuring, true), 60);
        addRow("nothing pending", stateWithLinks(R"({"status":"network-error"})"), -1);
        addRow("value arrived since", stateWithLinks(R"({"status":"ok","value":12})"), 10);
    }

    // The service's estimate decides when the program asks again, driven by its clock alone.
    void followUpWhenTheServiceSaysReady() {
        QFETCH(QString, state);
        QFETCH(int, wait);
        useSites("a.com;b.com");
        WriteIni("Setting", "AutoGain", "1", config());
        m_answers = {{"a.com", {kGood, kNone, "1,2"}}, {"b.com", {kGood, kGood, "1,2"}}};
        m_fx->service.setState("a.com", state);
        m_tracking->UpdateSites(kAll);
        QCOMPARE(m_tracking->followUpTimer().isActive(), wait >= 0);
        if (wait < 0)
            return;
        QCOMPARE(m_tracking->followUpTimer().interval(), wait * 1000);
        m_fx->service.clearRequests();
        form().AutoGainTicks = 7;
        m_now = kStamp.addSecs(wait - 1);
        m_tracking->FollowUp(); // early: nothing is asked, the timer waits the rest
        QCOMPARE(m_tracking->followUpTimer().interval(), 1000);
        m_answers["a.com"] = {kGood, "7,6,5,4,3,2,1", "1,2"};
        m_now = kStamp.addSecs(wait);
        m_tracking->FollowUp();
        QCOMPARE(updated(), QStringList{"a.com"});
        QCOMPARE(m_fx->service.requests().size(), 3); // neither b.com nor the state again
        QCOMPARE(rowTexts(form().ListView1(1), 0).last(), QStringLiteral("1"));
        QVERIFY(!m_tracking->followUpTimer().isActive());
        // Completing a run does not put off the next automatic one.
        QCOMPARE(form().AutoGainTicks, 7);
    }

    void baiduFallIsToldAndMarked_data() {
        QTest::addColumn<FallCase>("t");
        const auto add = [](const char* name, const FallCase& t) { QTest::newRow(name) << t; };
        const char* const fell = "45%：12,000 → 6,600";
        add("45%, default 30", {"", "12000", {"6600"}, fell, fell});
        add("at 30", {"30", "10000", {"7000"}, "30%：10,000 → 7,000", "30%：10,000 → 7,000"});
        add("below 30", {"30", "10000", {"7001"}, "", ""});
        add("off", {"0", "12000", {"0"}, "", ""});
        add("to a real 0", {"", "12000", {"0"}, "100%：12,000 → 0", "100%：12,000 → 0"});
        add("nothing stored", {"", "", {"0"}, "", ""});
        add("missing before", {"", "-1", {"0"}, "", ""});
        add("missing now", {"", "12000", {"-1"}, "", ""});
        add("follow-up tells once", {"", "12000", {"6600", "6600"}, fell, fell});
        add("measured by follow-up", {"", "12000", {"-1", "6600"}, fell, fell});
        add("recovered", {"", "12000", {"6600", "12000"}, "", fell}); // told at the refresh
    }

    // Follow-ups complete a refresh: judged against the count before it, told once.
    void baiduFallIsToldAndMarked() {
        QFETCH(FallCase, t);
        useSites("a.com");
        WriteIni("Setting", "DropAlert", t.alert, config());
        WriteIni("a.com", "Url_site", t.before.isEmpty() ? "" : t.before + ",1,1,1,1,1,1",
                 config());
        m_fx->service.setState("a.com", stateWithLinks(R"({"status":"measuring"})", true, "18"));
        for (int i = 0; i < t.counts.size(); ++i) {
            m_answers["a.com"] = {t.counts.at(i) + ",1,1,1,1,1,1", kNone, "1,2"};
            m_now = kStamp.addSecs(18 * i);
            i == 0 ? m_tracking->UpdateSites(kAll) : m_tracking->FollowUp();
        }
        const QTreeWidgetItem* item = form().ListView1(0)->topLevelItem(0);
        const QString shown = t.counts.last() == "-1" ? kDash : t.counts.last();
        QCOMPARE(item->text(1), t.fall.isEmpty() ? shown : "▼" + shown);
        if (!t.fall.isEmpty())
            QCOMPARE(ShownTip(item->toolTip(1)), "百度收录较上次下降 " + t.fall);
        QStringList told;
        for (const FakeDesktop::Notice& notice : m_fx->desktop.notices)
            told << notice.text;
        QCOMPARE(told.join(u'\n'), t.told.isEmpty() ? "" : "a.com：百度收录较上次下降 " + t.told);
    }

    void severalFallsInOneNotice() {
        const QStringList sites = {"a.com", "b.com", "c.com", "d.com", "e.com", "f.com"};
        useSites(sites.join(u';'));
        for (const QString& site : sites) {
            WriteIni(site, "Url_site", "1000,1,1,1,1,1,1", config());
            m_answers[site] = {site == "f.com" ? "900,1,1,1,1,1,1" : "500,1,1,1,1,1,1"};
        }
        m_tracking->UpdateSites(kAll);
        QCOMPARE(m_fx->desktop.notices.size(), 1);
        QCOMPARE(m_fx->desktop.notices.first().title + ' ' + m_fx->desktop.notices.first().text,
                 "百度收录下降 a.com、b.com、c.com 等 5 个网址：较上次下降 30% 以上");
        QCOMPARE(rowTexts(form().ListView1(0), 4).at(1) + rowTexts(form().ListView1(0), 5).at(1),
                 "▼500900");
        // The next refresh finds them steady: the marks go, nothing is told.
        m_tracking->UpdateSites(kAll);
        QCOMPARE(m_fx->desktop.notices.size(), 1);
        QCOMPARE(rowTexts(form().ListView1(0), 4).at(1), "500");
    }

    void secondRunDuringARunReturnsAtOnce() {
        useSites("a.com;b.com");
        form().CurrentPanel = 0;
        form().ListView1(0)->topLevelItem(1)->setSelected(true);
        int nested = 0;
        m_duringRequest = [this, &nested] {
            if (nested++ > 0)
                return;
            m_tracking->UpdateSites(kAll);
            m_tracking->UpdateSites(QStringLiteral("b.com"));
            form().MenuUpdate()->trigger();
            m_tracking->CmdMenu2Click(1);
            m_tracking->Tick(3);
            m_tracking->FollowUp();
        };
        form().AutoGainTicks = 20;
        m_tracking->UpdateSites(QStringLiteral("a.com"));
        QCOMPARE(m_fx->service.requests().size(), 3);
        QVERIFY(!form().IsBusy);
    }

    // The automatic refresh comes due on its tick and arms itself again by what Config.ini says
    // at the end of the run ("during" is written while the run waits for the service).
    void automaticRefresh_data() {
        QTest::addColumn<QString>("beforeAndDuring");
        QTest::addColumn<bool>("armed");
        addRow("on", "1 1", true);
        addRow("missing", " ", false);
        addRow("word", "true true", false);
        addRow("switched on during the run", "0 1", true);
        addRow("switched off during the run", "1 0", false);
    }

    void automaticRefresh() {
        QFETCH(QString, beforeAndDuring);
        QFETCH(bool, armed);
        useSites("a.com");
        WriteIni("Setting", "AutoGain", beforeAndDuring.section(u' ', 0, 0), config());
        m_duringRequest = [this, during = beforeAndDuring.section(u' ', 1)] {
            WriteIni("Setting", "AutoGain", during, config());
        };
        for (int index : {-1, 5}) // no such timer: nothing happens
            m_tracking->Tick(index);
        form().AutoGainTicks = 20;
        m_tracking->Tick(3);
        QCOMPARE(updated(), QStringList{"a.com"});
        QCOMPARE(form().Timer1(3)->isActive(), armed);
        QCOMPARE(form().AutoGainTicks, 0);
    }

    void loadSiteLists_data() {
        QTest::addColumn<ListCase>("t");
        const auto add = [](const char* name, const ListCase& t) { QTest::newRow(name) << t; };
        add("nine values",
            {"Url_link", 1, "1,2,3,4,5,6,7,8,9", "1 2 3 4 5 6 7", "1,2,3,4,5,6,7,8,9"});
        add("six values",
            {"Url_link", 1, "11,22,33,44,55,66", "— — — — — — —", "11,22,33,44,55,66"});
        add("rank leading comma", {"Url_pr", 2, ",53", "— —", ",53"});
        // A value the service could not get arrives negative: no number, but the text stays.
        add("values missing",
            {"Url_site", 0, "5,-1,3, -2 ,0,-0,x", "5 — 3 — 0 -0 0", "5,-1,3, -2 ,0,-0,0"});
        add("ranks missing", {"Url_pr", 2, "-1,-1", "— —", "-1,-1"});
    }

    void loadSiteLists() {
        QFETCH(ListCase, t);
        WriteIni("b.com", t.key, t.stored, config());
        useSites("a.com;b.com");
        QTreeWidget* list = form().ListView1(t.view);
        QCOMPARE(rowTexts(list, 1).join(u' '), "b.com " + t.shown);
        QStringList tips;
        for (int c = 1; c < list->columnCount(); ++c)
            tips << list->topLevelItem(1)->toolTip(c);
        QCOMPARE(tips.join(u' '), QString(t.shown).replace(kDash, "暂无数据"));
        // Nothing stored is nothing to show, never a zero.
        QCOMPARE(rowTexts(list, 0).mid(1), QStringList(list->columnCount() - 1, kDash));
        QCOMPARE(ReadIni("b.com", t.key, config()), t.storedAfter);
        QVERIFY(list->selectedItems().isEmpty() && !list->currentItem());
        // An empty site list leaves the lists as they are.
        form().SiteList.clear();
        m_tracking->LoadSiteLists();
        QCOMPARE(list->topLevelItemCount(), 2);
    }

    // What is saved at the end comes back at the next start; unusable stored widths are ignored.
    void columnWidthsComeBack() {
        WriteIni("Setting", "LViewWidth", "2000,800,x,800,800,800,800,800", config());
        WriteIni("Setting", "PViewWidth", ",3000,900,900", config());
        WriteIni("Setting", "SViewWidth", "2000,800,800", config()); // too few
        m_tracking->SetupColumns();
        QCOMPARE(form().ListView1(1)->columnWidth(1), TwipsToPixels(800));
        QCOMPARE(form().ListView1(1)->columnWidth(2),
                 form().ListView1(1)->header()->defaultSectionSize());
        QCOMPARE(form().ListView1(2)->columnWidth(0), form().ListView1(0)->columnWidth(0));
        form().ListView1(0)->setColumnWidth(7, 41);
        form().ListView1(2)->setColumnWidth(1, 77);
        m_tracking->SaveColumnWidths();
        // Stored in twips, as Config.ini always held them.
        QCOMPARE(ReadIni("Setting", "PViewWidth", config()).section(u',', 1, 1), "1155");
        Form_Main again;
        again.ConfigPath = config();
        SiteTracking(again).SetupColumns();
        QCOMPARE(
            QList<int>({again.ListView1(0)->columnWidth(7), again.ListView1(2)->columnWidth(1)}),
            QList<int>({41, 77}));
    }

    void fillStartedInsideAFillWins() {
        QStringList many;
        for (int i = 0; i < 3000; ++i)
            many.append(QStringLiteral("site%1.com").arg(i));
        form().SiteList = many.join(u';');
        bool nested = false;
        // Runs at the first chance the long fill gives the event loop.
        QTimer::singleShot(0, this, [this, &nested] {
            nested = true;
            form().SiteList = QStringLiteral("new.com;other.com");
            m_tracking->LoadSiteLists();
        });
        m_tracking->LoadSiteLists();
        QVERIFY(nested);
        for (int v = 0; v <= 2; ++v)
            QCOMPARE(rowTexts(form().ListView1(v), 0).at(0) + ' ' +
                         QString::number(form().ListView1(v)->topLevelItemCount()),
                     "new.com 2");
    }

    // The button bar and the list menu. What the desktop was asked: "open <target>@<show>" (the
    // service's address as "~"), "box <text>", "menu", "min" while the window stays minimised,
    // "close", "update <site>"; a failed open brings the window back.
    void commands_data() {
        QTest::addColumn<CommandCase>("t");
        const auto add = [](const char* name, const CommandCase& t) { QTest::newRow(name) << t; };
        add("web version, settings", {"button 2", 6, 0, "open ~/ostrem/seo/sites.htm@0 min"});
        add("web version fails",
            {"!button 2", 1, 0,
             "open ~/ostrem/seo/links.htm@0 box 提示: 无法打开 ~/ostrem/seo/links.htm"});
        add("maker's site", {"button 3", 0, 0, "open ~@5 min"});
        add("record file missing", {"button 0", 0, 0, "box 提示: 记录文件 \"<log>\" 读取失败。 "});
        add("record file", {"record", 0, 0, "open <log>@5"});
        add("record file fails", {"!record", 0, 0, "open <log>@5 box 提示: 无法打开 <log>"});
        add("close", {"button 4", 0, 0, "close"});
        add("no such button", {"button 7", 0, 0, ""});
        add("detail", {"detail", 2, 1, "open ~/ostrem/seo/show.asp?t=pr&word=b.com/p q@5 min"});
        add("detail, no row", {"detail", 0, -1, ""});
        add("detail, two rows", {"detail", 1, -2, ""});
        add("detail, pressed beside the rows", {"detail", 1, -3, ""});
        add("detail, whois panel", {"detail", 3, 0, ""});
        add("menu on a row", {"menu", 1, 1, "menu"});
        add("menu beside the rows", {"menu", 1, -3, ""});
        add("update the row", {"update", 2, 1, "update b.com/p q"});
        add("update, no row", {"update", 2, -1, ""});
        add("update everything", {"button 1", 2, -1, "update a.com update b.com/p q"});
    }

    void commands() {
        QFETCH(CommandCase, t);
        QString command = t.command;
        m_fx->desktop.openSucceeds = !command.startsWith(u'!');
        command.remove(u'!');
        useSites(QStringLiteral("a.com;b.com/p q"));
        form().CurrentPanel = t.panel;
        form().ShowPanel();
        form().show();
        QVERIFY(QTest::qWaitForWindowExposed(&form()));
        QTreeWidget* list = form().ListView1(std::min(t.panel, 2));
        if (t.selected == -2)
            list->setSelectionMode(QAbstractItemView::MultiSelection);
        for (int row = 0; row < 2; ++row)
            list->topLevelItem(row)->setSelected(t.selected == row || t.selected == -2 ||
                                                 (t.selected == -3 && row == 0));
        const QPoint at = t.selected >= 0
                              ? list->visualItemRect(list->topLevelItem(t.selected)).center()
                              : QPoint(5, list->viewport()->height() - 3);
        if (command == "menu" || t.selected == -3)
            QTest::mouseClick(list->viewport(),
                              command == "menu" ? Qt::RightButton : Qt::LeftButton, {}, at);
        if (command == "record") {
            PutContent(log(), "<html></html>");
            command = "button 0";
        }
        int closed = 0;
        m_tracking->closeRequest = [&closed] { ++closed; };
        const int button = command.section(u' ', 1).toInt();
        if (command == "detail")
            form().MenuShowMore()->trigger();
        else if (command == "update")
            form().MenuUpdate()->trigger();
        else if (command.startsWith("button") && button < 5)
            form().CmdMenu2(button)->Click();
        else if (command.startsWith("button"))
            m_tracking->CmdMenu2Click(button);
        const auto named = [this](QString text) {
            return text.replace(QDir::toNativeSeparators(log()), "<log>")
                .replace(m_fx->service.baseUrl(), "~");
        };
        QStringList seen;
        for (const FakeDesktop::Opened& o : m_fx->desktop.opened)
            seen << "open " + named(o.target) + "@" + QString::number(o.showCommand);
        for (const FakeDesktop::Box& box : m_fx->desktop.boxes)
            seen << "box " + box.title + ": " + named(box.text);
        if (m_fx->desktop.popups == QList<QMenu*>{form().MenuFile1()})
            seen << "menu";
        if (form().windowState() & Qt::WindowMinimized)
            seen << "min";
        if (closed)
            seen << "close";
        for (const QString& site : updated())
            seen << "update " + site;
        QCOMPARE(seen.join(u' '), t.expected);
    }
};

QTEST_MAIN(TestSiteTracking)
#include "test_sitetracking.moc"

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

namespace {

const QDateTime kStamp(QDate(2026, 3, 5), QTime(9, 7, 2));
const QString kAll = QStringLiteral("All");
const QString kGood = QStringLiteral("1,2,3,4,5,6,7");
const QString kNone = QStringLiteral("-1,-1,-1,-1,-1,-1,-1");
const QString kMeasuring = QStringLiteral(R"({"status":"measuring","value":null})");
const QString kDash = QStringLiteral("—");
const QStringList kPages = {"sites.asp", "links.asp", "ranks.asp"};
QString logRow(const QString& site, const QString& label, const QString& values, bool sep) {
    return ReportRowsText(site, QStringLiteral("03-05 9:07:02"), label, values.split(u','), sep);
}
// The cell-state page of a site whose backlinks cells are all cell.
QString stateWithLinks(const QString& cell, bool pending = false, const QString& ready = "null") {
    return QStringLiteral(R"({"site":"a.com","pending":%1,"ready_in_s":%2,)"
                          R"("pages":{"sites":[],"links":[%3],"ranks":[]}})")
        .arg(pending ? "true" : "false", ready, QStringList(7, cell).join(u','));
}
struct RunCase {
    const char* name;
    QString target, sites, gain, fetched;
    bool armed;
};
// A refresh of a.com (all answers good), b.com and c.com.
struct EndCase {
    const char* name;
    QStringList b, c; // the answers of b.com and c.com
    QString bState;   // b.com's cell-state page; "": none
    QString trouble;  // "down": no service; "unwritable": Config.ini; "404": no b.com state page
    QString endText;  // "%host", "%save": the service's, the save problem
    QString tip;      // of b.com's backlinks cells; "": not checked
};
struct FallCase {
    const char* name;
    QString alert, before; // DropAlert, the stored 百度 count; "": absent
    QStringList counts;    // the refresh's, then its follow-ups'
    QString fall, told;    // in the marked cell's tip at the end, in the notice; "": none
};
struct ListCase {
    const char* name;
    QString key;
    int view;
    QString stored, shown, storedAfter; // "": as stored
};
// On the rows "a.com" and "b.com/p q".
struct CommandCase {
    const char* name;
    QString command; // "button N", "record" (button 0, a report there), "detail", "update",
                     // "menu" (a right click); "!" first: opening fails
    int panel;
    int selected; // row; -1 none, -2 both, -3 a press on empty space
    QString expected;
};

} // namespace

class TestSiteTracking : public QObject {
    Q_OBJECT
    Form_Main& form() { return *m_fx->form; }
    QString config() const { return m_fx->form->ConfigPath; }
    QString log() const { return m_fx->form->LogPath; }
    void ini(const QString& section, const QString& key, const QString& value) {
        WriteIni(section, key, value, config());
    }
    void useSites(const QString& sites) {
        ini("Setting", "SeoUrl", sites);
        form().SiteList = sites;
        m_tracking->LoadSiteLists();
    }
    QStringList cells(int view, int row, int role = Qt::DisplayRole) {
        QStringList texts;
        QTreeWidgetItem* item = form().ListView1(view)->topLevelItem(row);
        for (int c = 0; item && c < item->columnCount(); ++c)
            texts.append(item->data(c, role).toString());
        return texts;
    }
    QStringList updated() const {
        QStringList sites;
        for (const QString& request : m_fx->service.requests().filter("/sites.asp?"))
            sites << QUrl::fromPercentEncoding(FakeQueryService::targetOf(request).toUtf8());
        return sites;
    }
    QString told() const {
        return Each([](const FakeDesktop::Notice& n) { return n.title + ' ' + n.text; },
                    m_fx->desktop.notices)
            .join(u'\n');
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
            if (at >= 0) {
                m_seen.append(page + ' ' + target + ' ' +
                              look().replace(QRegularExpression("）\\.*"), "）"));
                if (m_duringRequest)
                    m_duringRequest();
            }
            const QStringList payloads = m_answers.value(target);
            return FakeQueryService::Generated{at >= 0 && at < payloads.size(), payloads.value(at)};
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
        const QStringList keys = m_fx->service.requests().mid(0, 12).replaceInStrings(
            QRegularExpression(".*&Key=|&.*"), "");
        for (int i = 0; i < 12; ++i)
            QVERIFY(!keys.at(i).isEmpty() && keys.at(i) == keys.at(i - i % 3));
        // Why cells are empty is asked once per site that shows some and got any answer.
        QCOMPARE(m_fx->service.requests().mid(12), QStringList{"/state.json?sUrl=d.net"});
        QCOMPARE(
            ContentOf(config()),
            ToGbk("[Setting]\r\nSeoUrl=a.com;b.cn;c.org;d.net\r\nAutoRecord=1\r\nAutoGain=1\r\n"
                  "[b.cn]\r\nUrl_site=9,9,9,9,9,9,9\r\nUrl_pr=8,8\r\nUrl_link=1,2,3,4,5,6,0\r\n"
                  "[a.com]\r\nUrl_site=1,20,3,4,5,6,7\r\nUrl_link=10,20,30,40,50,60,70\r\n"
                  "Url_pr=4,2\r\n[d.net]\r\nUrl_site=1,2,3,4,5,6,7\r\n"));
        const QString frame = ReportFrameText();
        QCOMPARE(ContentOf(log()), ToGbk(frame.left(frame.indexOf("</table>")) +
                                         logRow("a.com", "收录", "1,20,3,4,5,6,7", true) +
                                         logRow("a.com", "反链", "10,20,30,40,50,60,70", 0) +
                                         logRow("b.cn", "反链", "1,2,3,4,5,6,中", false) +
                                         logRow("d.net", "收录", kGood, true) + ReportFootText()) +
                                       "\r\n");
        QCOMPARE(look() + QStringLiteral(" %1 %2").arg(form().AutoGainTicks).arg(form().DotTicks),
                 "更新完毕，3 个网址未能更新 #ff0000 on idle 0011 0 0");
    }
    // "tick": the automatic refresh comes due, and arms itself again by what AutoGain says at the
    // end of the run (gain: before it, then written while it waits). Whatever would start another
    // run while one waits returns at once.
    void whatARunFetches_data() {
        addRows<RunCase>({
            {"all", "All", "a.com;b.com", " ", "a.com b.com", false},
            {"empty target", "", "a.com;b.com", " ", "a.com b.com", false},
            {"one site", "b.com", "a.com;b.com", " ", "b.com", false},
            {"site not tracked", "z.org/x", "a.com", " ", "z.org/x", false},
            {"no sites", "a.com", "", " ", "", false},
            {"automatic, on", "tick", "a.com", "1 1", "a.com", true},
            {"automatic, word", "tick", "a.com", "true true", "a.com", false},
            {"switched on during the run", "tick", "a.com", "0 1", "a.com", true},
            {"switched off during the run", "tick", "a.com", "1 0", "a.com", false},
        });
    }
    void whatARunFetches() {
        QFETCH(RunCase, row);
        useSites(row.sites);
        ini("Setting", "AutoGain", row.gain.section(u' ', 0, 0));
        if (QTreeWidgetItem* item = form().ListView1(0)->topLevelItem(1))
            item->setSelected(true);
        form().AutoGainTicks = 20;
        bool nested = false;
        m_duringRequest = [&, this] {
            ini("Setting", "AutoGain", row.gain.section(u' ', 1));
            // The timer's own tick would count on, so the automatic rows leave it out.
            if (row.target == "tick" || std::exchange(nested, true))
                return;
            m_tracking->UpdateSites(kAll);
            m_tracking->UpdateSites(QStringLiteral("b.com"));
            form().MenuUpdate()->trigger();
            m_tracking->CmdMenu2Click(1);
            m_tracking->Tick(3);
            m_tracking->FollowUp();
        };
        for (int index : {-1, 5}) // no such timer: nothing happens
            m_tracking->Tick(index);
        row.target == "tick" ? m_tracking->Tick(3) : m_tracking->UpdateSites(row.target);
        QCOMPARE(updated().join(u' '), row.fetched);
        QCOMPARE(m_fx->service.requests().size(), 3 * updated().size());
        QCOMPARE(form().Timer1(3)->isActive(), row.armed);
        QVERIFY(!form().IsBusy && (row.target != "tick" || form().AutoGainTicks == 0));
    }
    void endTextTellsWhatFailed_data() {
        const QStringList good = {kGood, kGood, "1,2"}, noLinks = {kGood, kNone, "1,2"};
        const QStringList none = {kNone, "-1|-1|-1|-1|-1|-1|-1", "-1,-1"};
        const QStringList noRank = {kGood, kGood, "false"};
        const QString done = "所有网址信息更新完毕", na = "暂无数据";
        // Why cells are empty, as the service tells it or not.
        const auto cell = [](const char* status, const char* reason) {
            return stateWithLinks(QStringLiteral(R"({"status":"%1","value":null,"reason":"%2"})")
                                      .arg(QString::fromUtf8(status), QString::fromUtf8(reason)));
        };
        addRows<EndCase>({
            {"every answer accepted", good, good, "", "", done, ""},
            {"no numbers at all", none, none, "", "", "更新完毕，2 个网址暂无数据", ""},
            {"refused and no numbers", noRank, none, "", "",
             "更新完毕，1 个网址未能更新，1 个网址暂无数据", ""},
            {"a real zero is a number", {none[0], none[1], "-1,0"}, good, "", "", done, ""},
            {"being measured", none, none, stateWithLinks(kMeasuring, true, "20"), "",
             "更新完毕，1 个网址暂无数据，1 个网址正在测量", ""},
            {"service down", good, good, "", "down", "无法连接查询服务 %host", ""},
            // What was answered is still shown.
            {"unwritable", good, good, "", "unwritable", "更新完毕，数据未能保存：%save", ""},
            {"reason", noLinks, good, cell("blocked", "百度 因验证页面暂停至 12-08 10:20"), "",
             done, "暂无数据：百度 因验证页面暂停至 12-08 10:20"},
            {"measuring", noLinks, good, cell("measuring", ""), "", done, "正在测量，稍后自动更新"},
            {"no reason", noLinks, good, cell("not-found", ""), "", done, na},
            {"markup and line breaks", noLinks, good, cell("parse-failed", R"(<b>坏</b>\n\t页面)"),
             "", done, "暂无数据：<b>坏</b> 页面"},
            {"no such page", noLinks, good, R"({"error":"not a site"})", "404", done, na},
            {"not json", noLinks, good, "<html><body>home</body></html>", "", done, na},
            {"wrong types", noLinks, good, R"({"pages":{"links":"x"},"pending":"yes"})", "", done,
             na},
        });
    }
    void endTextTellsWhatFailed() {
        QFETCH(EndCase, row);
        form().SiteList = QStringLiteral("a.com;b.com;c.com");
        m_answers = {{"a.com", {kGood, kGood, "1,2"}}, {"b.com", row.b}, {"c.com", row.c}};
        if (!row.bState.isEmpty())
            m_fx->service.setState("b.com", row.bState, row.trouble == "404" ? 404 : 200);
        const QString host = m_fx->service.baseUrl().mid(7);
        if (row.trouble == "down")
            m_fx->service.stop();
        if (row.trouble == "unwritable") {
            PutContent(m_fx->path("plain"), "");
            form().ConfigPath = m_fx->path("plain/Config.ini");
        }
        m_tracking->UpdateSites(kAll);
        const QString text =
            row.endText.replace("%host", host).replace("%save", IniWriteProblem(config()));
        QCOMPARE(form().Label1(0)->text(), text);
        QCOMPARE(form().Label1(0)->textFormat(), Qt::PlainText); // it shows site names too
        QCOMPARE(ContentOf(log()), "<unreadable>"); // recording is off unless asked for
        QCOMPARE(cells(0, 0).mid(1),
                 row.trouble == "down" ? QStringList(7, kDash) : kGood.split(','));
        if (!row.tip.isEmpty()) {
            QCOMPARE(m_fx->service.requests().filter("state"),
                     QStringList{"/state.json?sUrl=b.com"});
            for (const QString& tip : cells(1, 1, Qt::ToolTipRole).mid(1))
                QCOMPARE(ShownTip(tip), row.tip);
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
        addRow("ready in 18 s", stateWithLinks(kMeasuring, true, "18"), 18);
        addRow("ready in 0 s", stateWithLinks(kMeasuring, true, "0"), 10);
        addRow("ready in 86400 s", stateWithLinks(kMeasuring, true, "86400"), 600);
        addRow("ready some time", stateWithLinks(kMeasuring, true), 60);
        addRow("nothing pending", stateWithLinks(R"({"status":"network-error"})"), -1);
        addRow("value arrived since", stateWithLinks(R"({"status":"ok","value":12})"), 10);
    }
    // The service's estimate decides when the program asks again, driven by its clock alone.
    void followUpWhenTheServiceSaysReady() {
        QFETCH(QString, state);
        QFETCH(int, wait);
        useSites("a.com;b.com");
        ini("Setting", "AutoGain", "1");
        m_answers = {{"a.com", {kGood, kNone, "1,2"}}, {"b.com", {kGood, kGood, "1,2"}}};
        m_fx->service.setState("a.com", state);
        m_tracking->UpdateSites(kAll);
        const QTimer& timer = m_tracking->followUpTimer();
        QCOMPARE(timer.isActive() ? timer.interval() : -1000, wait * 1000);
        if (wait < 0)
            return;
        m_fx->service.clearRequests();
        form().AutoGainTicks = 7;
        m_now = kStamp.addSecs(wait - 1);
        m_tracking->FollowUp(); // early: nothing is asked, the timer waits the rest
        QCOMPARE(timer.interval(), 1000);
        m_answers["a.com"] = {kGood, "7,6,5,4,3,2,1", "1,2"};
        m_now = kStamp.addSecs(wait);
        m_tracking->FollowUp();
        QCOMPARE(updated(), QStringList{"a.com"});
        QCOMPARE(m_fx->service.requests().size(), 3); // neither b.com nor the state again
        QCOMPARE(cells(1, 0).last(), QStringLiteral("1"));
        // Completing a run does not put off the next automatic one.
        QVERIFY(!timer.isActive() && form().AutoGainTicks == 7);
    }
    void baiduFallIsToldAndMarked_data() {
        const char* const fell = "45%：12,000 → 6,600";
        const char* const all = "100%：12,000 → 0";
        addRows<FallCase>({
            {"45%, default 30", "", "12000", {"6600"}, fell, fell},
            {"at 30", "30", "10000", {"7000"}, "30%：10,000 → 7,000", "30%：10,000 → 7,000"},
            {"below 30", "30", "10000", {"7001"}, "", ""},
            {"off", "0", "12000", {"0"}, "", ""},
            {"to a real 0", "", "12000", {"0"}, all, all},
            {"nothing stored", "", "", {"0"}, "", ""},
            {"missing before", "", "-1", {"0"}, "", ""},
            {"missing now", "", "12000", {"-1"}, "", ""},
            {"follow-up tells once", "", "12000", {"6600", "6600"}, fell, fell},
            {"measured by follow-up", "", "12000", {"-1", "6600"}, fell, fell},
            {"recovered", "", "12000", {"6600", "12000"}, "", fell}, // told at the refresh
        });
    }
    // Follow-ups complete a refresh: judged against the count before it, told once.
    void baiduFallIsToldAndMarked() {
        QFETCH(FallCase, row);
        useSites("a.com");
        ini("Setting", "DropAlert", row.alert);
        ini("a.com", "Url_site", row.before.isEmpty() ? "" : row.before + ",1,1,1,1,1,1");
        m_fx->service.setState("a.com", stateWithLinks(R"({"status":"measuring"})", true, "18"));
        for (int i = 0; i < row.counts.size(); ++i) {
            m_answers["a.com"] = {row.counts.at(i) + ",1,1,1,1,1,1", kNone, "1,2"};
            m_now = kStamp.addSecs(18 * i);
            i == 0 ? m_tracking->UpdateSites(kAll) : m_tracking->FollowUp();
        }
        const QTreeWidgetItem* item = form().ListView1(0)->topLevelItem(0);
        const QString shown = row.counts.last() == "-1" ? kDash : row.counts.last();
        QCOMPARE(item->text(1), row.fall.isEmpty() ? shown : "▼" + shown);
        if (!row.fall.isEmpty())
            QCOMPARE(ShownTip(item->toolTip(1)), "百度收录较上次下降 " + row.fall);
        QCOMPARE(told(),
                 row.told.isEmpty() ? "" : "百度收录下降 a.com：百度收录较上次下降 " + row.told);
    }
    void severalFallsInOneNotice() {
        const QStringList sites = {"a.com", "b.com", "c.com", "d.com", "e.com", "f.com"};
        useSites(sites.join(u';'));
        for (const QString& site : sites) {
            ini(site, "Url_site", "1000,1,1,1,1,1,1");
            m_answers[site] = {site == "f.com" ? "900,1,1,1,1,1,1" : "500,1,1,1,1,1,1"};
        }
        m_tracking->UpdateSites(kAll);
        QCOMPARE(told(), "百度收录下降 a.com、b.com、c.com 等 5 个网址：较上次下降 30% 以上");
        QCOMPARE(cells(0, 4).at(1) + cells(0, 5).at(1), "▼500900");
    }
    void loadSiteLists_data() {
        addRows<ListCase>({
            {"nine values", "Url_link", 1, "1,2,3,4,5,6,7,8,9", "1 2 3 4 5 6 7", ""},
            {"six values", "Url_link", 1, "11,22,33,44,55,66", "— — — — — — —", ""},
            {"rank leading comma", "Url_pr", 2, ",53", "— —", ""},
            // A value the service could not get arrives negative: no number, but the text stays.
            {"values missing", "Url_site", 0, "5,-1,3, -2 ,0,-0,x", "5 — 3 — 0 -0 0",
             "5,-1,3, -2 ,0,-0,0"},
        });
    }
    void loadSiteLists() {
        QFETCH(ListCase, row);
        ini("b.com", row.key, row.stored);
        useSites("a.com;b.com");
        QTreeWidget* list = form().ListView1(row.view);
        QCOMPARE(cells(row.view, 1).join(u' '), "b.com " + row.shown);
        QCOMPARE(cells(row.view, 1, Qt::ToolTipRole).mid(1).join(u' '),
                 QString(row.shown).replace(kDash, "暂无数据"));
        // Nothing stored is nothing to show, never a zero.
        QCOMPARE(cells(row.view, 0).mid(1), QStringList(list->columnCount() - 1, kDash));
        QCOMPARE(ReadIni("b.com", row.key, config()),
                 row.storedAfter.isEmpty() ? row.stored : row.storedAfter);
        QVERIFY(list->selectedItems().isEmpty() && !list->currentItem());
        // An empty site list leaves the lists as they are.
        form().SiteList.clear();
        m_tracking->LoadSiteLists();
        QCOMPARE(list->topLevelItemCount(), 2);
    }
    // What is saved at the end comes back at the next start; unusable stored widths are ignored.
    void columnWidthsComeBack() {
        ini("Setting", "LViewWidth", "2000,800,x,800,800,800,800,800");
        ini("Setting", "PViewWidth", ",3000,900,900");
        ini("Setting", "SViewWidth", "2000,800,800"); // too few
        m_tracking->SetupColumns();
        const auto w = [](Form_Main& f, int v, int c) { return f.ListView1(v)->columnWidth(c); };
        QCOMPARE(
            QList<int>({w(form(), 1, 1), w(form(), 1, 2), w(form(), 2, 0)}),
            QList<int>({TwipsToPixels(800), form().ListView1(1)->header()->defaultSectionSize(),
                        w(form(), 0, 0)}));
        form().ListView1(0)->setColumnWidth(7, 41);
        form().ListView1(2)->setColumnWidth(1, 77);
        m_tracking->SaveColumnWidths();
        // Stored in twips, as Config.ini always held them.
        QCOMPARE(ReadIni("Setting", "PViewWidth", config()).section(u',', 1, 1), "1155");
        Form_Main again;
        again.ConfigPath = config();
        SiteTracking(again).SetupColumns();
        QCOMPARE(QList<int>({w(again, 0, 7), w(again, 2, 1)}), QList<int>({41, 77}));
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
            QCOMPARE(cells(v, 0).at(0) + cells(v, 2).value(0, "/") + cells(v, 1).at(0),
                     "new.com/other.com");
    }
    // The button bar and the list menu. What the desktop was asked: "open <target>@<show>" (the
    // service's address as "~"), "box <text>", "menu", "min" while the window stays minimised,
    // "close", "update <site>"; a failed open brings the window back.
    void commands_data() {
        addRows<CommandCase>({
            {"web version, settings", "button 2", 6, 0, "open ~/ostrem/seo/sites.htm@0 min"},
            {"web version fails", "!button 2", 1, 0,
             "open ~/ostrem/seo/links.htm@0 box 提示: 无法打开 ~/ostrem/seo/links.htm"},
            {"maker's site", "button 3", 0, 0, "open ~@5 min"},
            {"record file missing", "button 0", 0, 0, "box 提示: 记录文件 \"<log>\" 读取失败。 "},
            {"record file", "record", 0, 0, "open <log>@5"},
            {"record file fails", "!record", 0, 0, "open <log>@5 box 提示: 无法打开 <log>"},
            {"close", "button 4", 0, 0, "close"},
            {"no such button", "button 7", 0, 0, ""},
            {"detail", "detail", 2, 1, "open ~/ostrem/seo/show.asp?t=pr&word=b.com/p q@5 min"},
            {"detail, no row", "detail", 0, -1, ""},
            {"detail, two rows", "detail", 1, -2, ""},
            {"detail, pressed beside the rows", "detail", 1, -3, ""},
            {"detail, whois panel", "detail", 3, 0, ""},
            {"menu on a row", "menu", 1, 1, "menu"},
            {"menu beside the rows", "menu", 1, -3, ""},
            {"update the row", "update", 2, 1, "update b.com/p q"},
            {"update, no row", "update", 2, -1, ""},
            {"update everything", "button 1", 2, -1, "update a.com update b.com/p q"},
        });
    }
    void commands() {
        QFETCH(CommandCase, row);
        m_fx->desktop.openSucceeds = !row.command.startsWith(u'!');
        const QString command = row.command.remove(u'!');
        useSites(QStringLiteral("a.com;b.com/p q"));
        form().CurrentPanel = row.panel;
        form().ShowPanel();
        form().show();
        QVERIFY(QTest::qWaitForWindowExposed(&form()));
        QTreeWidget* list = form().ListView1(std::min(row.panel, 2));
        if (row.selected == -2)
            list->setSelectionMode(QAbstractItemView::MultiSelection);
        for (int i = 0; i < 2; ++i)
            list->topLevelItem(i)->setSelected(row.selected == i || row.selected == -2 ||
                                               (row.selected == -3 && i == 0));
        const QPoint at = row.selected >= 0
                              ? list->visualItemRect(list->topLevelItem(row.selected)).center()
                              : QPoint(5, list->viewport()->height() - 3);
        if (command == "menu" || row.selected == -3)
            QTest::mouseClick(list->viewport(),
                              command == "menu" ? Qt::RightButton : Qt::LeftButton, {}, at);
        if (command == "record")
            PutContent(log(), "<html></html>");
        QStringList seen;
        m_tracking->closeRequest = [&seen] { seen << "close"; };
        const int button = command.section(u' ', 1).toInt(); // "record" is button 0
        if (command == "detail")
            form().MenuShowMore()->trigger();
        else if (command == "update")
            form().MenuUpdate()->trigger();
        else if (command != "menu" && button < 5)
            form().CmdMenu2(button)->Click();
        else if (command != "menu")
            m_tracking->CmdMenu2Click(button);
        const auto named = [this](QString text) {
            return text.replace(QDir::toNativeSeparators(log()), "<log>")
                .replace(m_fx->service.baseUrl(), "~");
        };
        for (const FakeDesktop::Opened& o : m_fx->desktop.opened)
            seen << "open " + named(o.target) + "@" + QString::number(o.showCommand);
        for (const FakeDesktop::Box& box : m_fx->desktop.boxes)
            seen << "box " + box.title + ": " + named(box.text);
        const bool menu = m_fx->desktop.popups == QList<QMenu*>{form().MenuFile1()};
        seen << (menu ? "menu" : "") << (form().isMinimized() ? "min" : "");
        seen << updated().replaceInStrings(QRegularExpression("^"), "update ");
        QCOMPARE(seen.filter(QRegularExpression(".")).join(u' '), row.expected);
    }
};

QTEST_MAIN(TestSiteTracking)
#include "test_sitetracking.moc"

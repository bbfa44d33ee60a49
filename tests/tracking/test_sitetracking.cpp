#include "controls/ctlbutton.h"
#include "controls/form_main.h"
#include "fakedesktop.h"
#include "fakequeryservice.h"
#include "net/httpget.h"
#include "net/webpage.h"
#include "storage/charset.h"
#include "storage/inifile.h"
#include "storage/texthelpers.h"
#include "tracking/sitetracking.h"

#include <QAction>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

#include <memory>

namespace {

const QDateTime kStamp(QDate(2026, 3, 5), QTime(9, 7, 2));
const QString kAll = QStringLiteral("All");
const QStringList kSeven = {"1", "2", "3", "4", "5", "6", "7"};

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArrayLiteral("<missing>");
    return file.readAll();
}

void putText(const QString& path, const QString& text) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(ToGbk(text));
}

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

QString row(const QString& site, const QString& label, const QStringList& values, bool sep) {
    return ReportRowsText(site, QStringLiteral("03-05 9:07:02"), label, values, sep);
}

// The cell-state page of a site whose backlinks cells are all cell.
QString stateWithLinks(const QString& cell, bool pending = false, const QString& ready = "null") {
    return QStringLiteral(R"({"site":"a.com","pending":%1,"ready_in_s":%2,)"
                          R"("pages":{"sites":[],"links":[%3],"ranks":[]}})")
        .arg(pending ? "true" : "false", ready, QStringList(7, cell).join(u','));
}

// What the window looked like when the service received one request.
struct Seen {
    QString target, status;
    bool red, buttonEnabled, busy;
    QList<bool> timers;
};

} // namespace

class TestSiteTracking : public QObject {
    Q_OBJECT
  private slots:
    void init();
    void cleanup();

    void fullRun();
    void targetChoosesTheSites_data();
    void targetChoosesTheSites();
    void endTextTellsWhatFailed_data();
    void endTextTellsWhatFailed();
    void missingCellsTellWhy_data();
    void missingCellsTellWhy();
    void unwritableConfigStillShowsTheValues();
    void followUpWhenTheServiceSaysReady_data();
    void followUpWhenTheServiceSaysReady();
    void baiduFallIsToldAndMarked_data();
    void baiduFallIsToldAndMarked();
    void severalFallsInOneNotice();
    void secondRunDuringARunReturnsAtOnce();
    void autoGainAtTheEnd_data();
    void autoGainAtTheEnd();
    void reportDuringARun_data();
    void reportDuringARun();

    void columnWidths_data();
    void columnWidths();
    void columnWidthsAreSavedInTwips();
    void loadSiteLists_data();
    void loadSiteLists();
    void fillStartedInsideAFillWins();
    void purgeSites();

    void clockAndDotTicks();
    void automaticRefresh();
    void pageReloadEveryTwelfthTick();

    void mouseOnList_data();
    void mouseOnList();
    void buttonBar_data();
    void buttonBar();
    void recordAndCloseButtons();
    void detailMenu_data();
    void detailMenu();
    void updateMenuRefreshesTheRowSite();

  private:
    QString config() const { return m_dir->filePath(QStringLiteral("Config.ini")); }
    QString log() const { return m_dir->filePath(QStringLiteral("SeoLog.htm")); }
    void useSites(const QString& sites) {
        WriteIni(QStringLiteral("Setting"), QStringLiteral("SeoUrl"), sites, config());
        m_form->SiteList = sites;
        m_tracking->LoadSiteLists();
    }
    // The payloads the service gives for target's indexed, backlinks and ranks pages.
    void answer(const QString& target, const QStringList& payloads) {
        m_answers.insert(target, payloads);
    }
    // The query pages' requests, without those of the cell-state page.
    QStringList queries() const {
        QStringList list = m_service->requests();
        list.removeIf([](const QString& r) { return r.startsWith("/state.json"); });
        return list;
    }
    bool red() const {
        return m_form->Label1(0)->palette().color(QPalette::WindowText) == QColor(255, 0, 0);
    }
    void selectRow(int view, int row) {
        m_form->ListView1(view)->clearSelection();
        m_form->ListView1(view)->topLevelItem(row)->setSelected(true);
    }
    QList<bool> timers() const {
        QList<bool> active;
        for (int i = 0; i <= 4; ++i)
            active.append(m_form->Timer1(i)->isActive());
        return active;
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<FakeQueryService> m_service;
    std::unique_ptr<FakeDesktop> m_desktop;
    std::unique_ptr<Form_Main> m_form;
    std::unique_ptr<SiteTracking> m_tracking;
    QHash<QString, QStringList> m_answers;
    QDateTime m_now;
    QList<Seen> m_seen;
    std::function<void()> m_duringRequest;
};

void TestSiteTracking::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_service = std::make_unique<FakeQueryService>();
    QVERIFY(m_service->start());
    qputenv("VALDANE_MAKER_URL", m_service->baseUrl().toUtf8());
    SetHttpGetTimeLimit(std::chrono::milliseconds(5000));
    m_answers.clear();
    m_seen.clear();
    m_duringRequest = nullptr;
    m_service->setGenerator([this](const QString& page, const QString& target) {
        // Pages not set up, the cell-state page among them, are missing.
        const qsizetype at = QStringList{"sites.asp", "links.asp", "ranks.asp"}.indexOf(page);
        if (at < 0)
            return FakeQueryService::Generated{};
        m_seen.append({target, m_form->Label1(0)->text(), red(), m_form->CmdMenu2(1)->Enable(),
                       m_form->IsBusy, timers()});
        if (m_duringRequest)
            m_duringRequest();
        const QStringList payloads = m_answers.value(target);
        if (at >= payloads.size())
            return FakeQueryService::Generated{};
        return FakeQueryService::Generated{true, payloads.at(at)};
    });
    m_desktop = std::make_unique<FakeDesktop>();
    m_form = std::make_unique<Form_Main>();
    m_form->ConfigPath = config();
    m_form->LogPath = log();
    m_tracking = std::make_unique<SiteTracking>(*m_form);
    m_tracking->report().clock = [] { return kStamp; };
    m_now = kStamp;
    m_tracking->clock = [this] { return m_now; };
    m_tracking->SetupColumns();
}

void TestSiteTracking::cleanup() {
    m_tracking.reset();
    m_form.reset();
    m_desktop.reset();
    m_service.reset();
    m_dir.reset();
    qunsetenv("VALDANE_MAKER_URL");
    SetHttpGetTimeLimit(std::chrono::milliseconds(60000));
}

void TestSiteTracking::fullRun() {
    putText(config(), QStringLiteral("[Setting]\r\nSeoUrl=a.com;b.cn;c.org;d.net\r\n"
                                     "AutoRecord=1\r\nAutoGain=1\r\n"
                                     "[b.cn]\r\nUrl_site=9,9,9,9,9,9,9\r\nUrl_pr=8,8\r\n"));
    m_form->SiteList = QStringLiteral("a.com;b.cn;c.org;d.net");
    // Accepted: "|" separators, blanks around, seven one-character fields, two ranks.
    answer("a.com", {"  1|20|3,4|5|6|7 ", "10,20,30,40,50,60,70", "4|2"});
    // Refused: "false", a single rank; accepted: backlinks.
    answer("b.cn", {"false", "1,2,3,4,5,6,中", "5"});
    // Refused: six fields, a line break that would end the INI line, a leading ",".
    answer("c.org", {"1,2,3,4,5,6", "1,2,3,4,5,6,7\r\n[evil]", ",55"});
    // Accepted at the shortest length; refused: empty payload, three ranks.
    answer("d.net", {"1,2,3,4,5,6,7", "", "1,2,3"});

    m_form->Timer1(0)->start();
    m_form->Timer1(3)->start();
    m_form->AutoGainTicks = 7;
    m_tracking->UpdateSites(kAll);

    // Three requests per site, in order, sharing one key per site.
    const QStringList requests = queries();
    QCOMPARE(requests.size(), 12);
    const QStringList sites = {"a.com", "b.cn", "c.org", "d.net"};
    const QStringList pages = {"sites.asp", "links.asp", "ranks.asp"};
    for (int i = 0; i < 12; ++i) {
        const QString request = requests.at(i);
        QCOMPARE(FakeQueryService::pageOf(request), pages.at(i % 3));
        QCOMPARE(FakeQueryService::targetOf(request), sites.at(i / 3));
        const auto keyOf = [](const QString& r) {
            return r.section(QStringLiteral("&Key="), 1).section(u'&', 0, 0);
        };
        QVERIFY(keyOf(request).toInt() >= 1000000 && keyOf(request).toInt() <= 10000000);
        if (i % 3 > 0)
            QCOMPARE(keyOf(request), keyOf(requests.at(i - 1)));
    }

    // Why cells are empty is asked once per site that shows some and got any answer.
    QCOMPARE(m_service->requests().mid(12), QStringList{"/state.json?sUrl=d.net"});

    // While a site is fetched: its status and position in red (dots may follow), the button
    // off, only the dots timer of the first four running.
    QCOMPARE(m_seen.size(), 12);
    for (int i = 0; i < 12; ++i) {
        const Seen& seen = m_seen.at(i);
        const QString status =
            QStringLiteral("正在更新 %1（%2/4）").arg(seen.target).arg(i / 3 + 1);
        QVERIFY2(seen.status.startsWith(status), qPrintable(seen.status));
        QVERIFY(seen.status.size() <= status.size() + 4);
        QVERIFY(seen.red && seen.busy && !seen.buttonEnabled);
        QCOMPARE(seen.timers.mid(0, 4), QList<bool>({false, true, false, false}));
    }

    QCOMPARE(fileBytes(config()),
             ToGbk(QStringLiteral("[Setting]\r\nSeoUrl=a.com;b.cn;c.org;d.net\r\n"
                                  "AutoRecord=1\r\nAutoGain=1\r\n"
                                  "[b.cn]\r\nUrl_site=9,9,9,9,9,9,9\r\nUrl_pr=8,8\r\n"
                                  "Url_link=1,2,3,4,5,6,0\r\n"
                                  "[a.com]\r\nUrl_site=1,20,3,4,5,6,7\r\n"
                                  "Url_link=10,20,30,40,50,60,70\r\nUrl_pr=4,2\r\n"
                                  "[d.net]\r\nUrl_site=1,2,3,4,5,6,7\r\n")));
    QCOMPARE(fileBytes(log()),
             reportWith(row("a.com", "收录", {"1", "20", "3", "4", "5", "6", "7"}, true) +
                        row("a.com", "反链", {"10", "20", "30", "40", "50", "60", "70"}, false) +
                        row("b.cn", "反链", {"1", "2", "3", "4", "5", "6", "中"}, false) +
                        row("d.net", "收录", kSeven, true)));

    // The lists show what was stored; "中" is no number and is kept as 0.
    QCOMPARE(rowTexts(m_form->ListView1(0), 1),
             QStringList({"b.cn", "9", "9", "9", "9", "9", "9", "9"}));
    QCOMPARE(rowTexts(m_form->ListView1(1), 1),
             QStringList({"b.cn", "1", "2", "3", "4", "5", "6", "0"}));
    QCOMPARE(rowTexts(m_form->ListView1(2), 0), QStringList({"a.com", "4", "2"}));

    // Only a.com had all three answers accepted.
    QCOMPARE(m_form->Label1(0)->text(), QStringLiteral("更新完毕，3 个网址未能更新"));
    QVERIFY(red() && m_form->CmdMenu2(1)->Enable() && !m_form->IsBusy);
    QCOMPARE(timers().mid(0, 4), QList<bool>({false, false, true, true}));
    QCOMPARE(m_form->AutoGainTicks, 0);
    QCOMPARE(m_form->DotTicks, 0);
}

void TestSiteTracking::targetChoosesTheSites_data() {
    QTest::addColumn<QString>("target");
    QTest::addColumn<QStringList>("fetched");
    QTest::addColumn<QString>("siteList");
    QTest::newRow("all") << "All" << QStringList{"a.com", "b.com"} << "a.com;b.com";
    QTest::newRow("empty target") << "" << QStringList{"a.com", "b.com"} << "a.com;b.com";
    QTest::newRow("one site") << "b.com" << QStringList{"b.com"} << "a.com;b.com";
    QTest::newRow("site not tracked") << "z.org/x" << QStringList{"z.org/x"} << "a.com";
    QTest::newRow("no sites") << "a.com" << QStringList{} << "";
}

void TestSiteTracking::targetChoosesTheSites() {
    QFETCH(QString, target);
    QFETCH(QStringList, fetched);
    QFETCH(QString, siteList);
    m_form->SiteList = siteList;
    m_tracking->UpdateSites(target);
    QStringList targets;
    for (const QString& request : m_service->requests()) {
        if (FakeQueryService::pageOf(request) == QLatin1String("sites.asp"))
            targets.append(FakeQueryService::targetOf(request));
    }
    QCOMPARE(targets, fetched);
    QCOMPARE(m_service->requests().size(), 3 * fetched.size());
    QVERIFY(!m_form->IsBusy);
}

void TestSiteTracking::endTextTellsWhatFailed_data() {
    QTest::addColumn<QStringList>("bPayloads"); // a.com's answers are all good
    QTest::addColumn<QStringList>("cPayloads");
    QTest::addColumn<QString>("bState"); // b.com's cell-state page; "": none
    QTest::addColumn<bool>("serviceDown");
    QTest::addColumn<QString>("endText"); // "%1": the service's host
    const QStringList good = {"1,2,3,4,5,6,7", "1,2,3,4,5,6,7", "1,2"};
    const QStringList none = {"-1,-1,-1,-1,-1,-1,-1", "-1|-1|-1|-1|-1|-1|-1", "-1,-1"};
    const QStringList rankRefused = {good[0], good[1], "false"};
    const QString measuring = stateWithLinks(R"({"status":"measuring","value":null})", true, "20");
    QTest::newRow("every answer accepted") << good << good << "" << false << "所有网址信息更新完毕";
    QTest::newRow("one rank refused")
        << rankRefused << good << "" << false << "更新完毕，1 个网址未能更新";
    QTest::newRow("no numbers at all")
        << none << none << "" << false << "更新完毕，2 个网址暂无数据";
    QTest::newRow("refused and no numbers")
        << rankRefused << none << "" << false << "更新完毕，1 个网址未能更新，1 个网址暂无数据";
    QTest::newRow("a real zero is a number")
        << QStringList{none[0], none[1], "-1,0"} << good << "" << false << "所有网址信息更新完毕";
    QTest::newRow("being measured")
        << none << none << measuring << false << "更新完毕，1 个网址暂无数据，1 个网址正在测量";
    QTest::newRow("service down") << good << good << "" << true << "无法连接查询服务 %1";
}

void TestSiteTracking::endTextTellsWhatFailed() {
    QFETCH(QStringList, bPayloads);
    QFETCH(QStringList, cPayloads);
    QFETCH(QString, bState);
    QFETCH(bool, serviceDown);
    QFETCH(QString, endText);
    m_form->SiteList = QStringLiteral("a.com;b.com;c.com");
    answer("a.com", {"1,2,3,4,5,6,7", "1,2,3,4,5,6,7", "1,2"});
    answer("b.com", bPayloads);
    answer("c.com", cPayloads);
    if (!bState.isEmpty())
        m_service->setState("b.com", bState);
    const QString host = m_service->baseUrl().mid(7);
    if (serviceDown)
        m_service->stop();
    m_tracking->UpdateSites(kAll);
    const QString text = endText.arg(host);
    QCOMPARE(m_form->Label1(0)->text(), text);
    QCOMPARE(m_form->Label1(0)->textFormat(), Qt::PlainText); // it shows site names too

    // A problem stays readable for 30 s, then on hovering the clock until the next run.
    const bool problem = text != QStringLiteral("所有网址信息更新完毕");
    QCOMPARE(m_form->Timer1(2)->interval(), problem ? 30000 : 3000);
    m_tracking->Tick(2);
    m_tracking->Tick(0);
    QCOMPARE(m_form->Label1(0)->text(), ClockText(kStamp));
    QCOMPARE(m_form->Label1(0)->toolTip(), problem ? text : QString());
}

void TestSiteTracking::missingCellsTellWhy_data() {
    QTest::addColumn<QString>("state"); // the cell-state page's body
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("tip");
    const auto cell = [](const char* status, const char* reason) {
        return stateWithLinks(QStringLiteral(R"({"status":"%1","value":null,"reason":"%2"})")
                                  .arg(QString::fromUtf8(status), QString::fromUtf8(reason)));
    };
    QTest::newRow("reason") << cell("blocked", "百度 因验证页面暂停至 12-08 10:20") << 200
                            << "暂无数据：百度 因验证页面暂停至 12-08 10:20";
    QTest::newRow("measuring") << cell("measuring", "") << 200 << "正在测量，稍后自动更新";
    QTest::newRow("no reason") << cell("not-found", "") << 200 << "暂无数据";
    QTest::newRow("markup and line breaks")
        << cell("parse-failed", R"(<b>坏</b>\n\t页面)") << 200 << "暂无数据：<b>坏</b> 页面";
    QTest::newRow("no such page") << R"({"error":"not a site"})" << 404 << "暂无数据";
    QTest::newRow("not json") << "<html><body>home</body></html>" << 200 << "暂无数据";
    QTest::newRow("wrong types") << R"({"pages":{"links":"x"},"pending":"yes"})" << 200
                                 << "暂无数据";
}

void TestSiteTracking::missingCellsTellWhy() {
    QFETCH(QString, state);
    QFETCH(int, status);
    QFETCH(QString, tip);
    useSites("a.com");
    answer("a.com", {"1,2,3,4,5,6,7", "-1,-1,-1,-1,-1,-1,-1", "1,2"});
    m_service->setState("a.com", state, status);
    m_tracking->UpdateSites(kAll);
    QCOMPARE(m_service->requests().filter("/state.json"), QStringList{"/state.json?sUrl=a.com"});
    QTreeWidgetItem* links = m_form->ListView1(1)->topLevelItem(0);
    for (int c = 1; c <= 7; ++c) {
        QCOMPARE(links->text(c), QStringLiteral("—"));
        QCOMPARE(ShownTip(links->toolTip(c)), tip);
    }
}

// A Config.ini that cannot be written still shows what the service answered.
void TestSiteTracking::unwritableConfigStillShowsTheValues() {
    QFile blocker(m_dir->filePath("plain"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    m_form->ConfigPath = m_dir->filePath("plain/Config.ini");
    m_form->SiteList = QStringLiteral("a.com;b.com");
    answer("a.com", {"1|2|3|4|5|6|7", "-1,-1,-1,-1,-1,-1,-1", "4,2"});
    m_tracking->UpdateSites(kAll);
    QCOMPARE(rowTexts(m_form->ListView1(0), 0), QStringList{"a.com"} + kSeven);
    QCOMPARE(rowTexts(m_form->ListView1(1), 0), QStringList{"a.com"} + QStringList(7, "—"));
    QCOMPARE(rowTexts(m_form->ListView1(2), 1), QStringList({"b.com", "—", "—"}));
    const QString problem = IniWriteProblem(m_form->ConfigPath);
    QVERIFY(!problem.isEmpty());
    QCOMPARE(m_form->Label1(0)->text(), "更新完毕，1 个网址未能更新，数据未能保存：" + problem);
}

void TestSiteTracking::followUpWhenTheServiceSaysReady_data() {
    QTest::addColumn<QString>("state");
    QTest::addColumn<int>("wait"); // seconds until the follow-up; -1 none
    const QString measuring = R"({"status":"measuring","value":null})";
    QTest::newRow("ready in 18 s") << stateWithLinks(measuring, true, "18") << 18;
    QTest::newRow("ready now: floor") << stateWithLinks(measuring, true, "0") << 10;
    QTest::newRow("ready in a day: ceiling") << stateWithLinks(measuring, true, "86400") << 600;
    QTest::newRow("ready some time") << stateWithLinks(measuring, true) << 60;
    QTest::newRow("nothing pending") << stateWithLinks(R"({"status":"network-error"})") << -1;
    QTest::newRow("value arrived since") << stateWithLinks(R"({"status":"ok","value":12})") << 10;
}

// The service's estimate decides when the program asks again, driven by its clock alone.
void TestSiteTracking::followUpWhenTheServiceSaysReady() {
    QFETCH(QString, state);
    QFETCH(int, wait);
    useSites("a.com;b.com");
    WriteIni("Setting", "AutoGain", "1", config());
    answer("a.com", {"1,2,3,4,5,6,7", "-1,-1,-1,-1,-1,-1,-1", "1,2"});
    answer("b.com", {"1,2,3,4,5,6,7", "1,2,3,4,5,6,7", "1,2"});
    m_service->setState("a.com", state);
    m_tracking->UpdateSites(kAll);
    QCOMPARE(m_tracking->followUpTimer().isActive(), wait >= 0);
    if (wait < 0)
        return;
    QCOMPARE(m_tracking->followUpTimer().interval(), wait * 1000);

    m_service->clearRequests();
    m_form->AutoGainTicks = 7;
    m_now = kStamp.addSecs(wait - 1);
    m_tracking->FollowUp(); // early: nothing is asked, the timer waits the rest
    QCOMPARE(m_tracking->followUpTimer().interval(), 1000);
    answer("a.com", {"1,2,3,4,5,6,7", "7,6,5,4,3,2,1", "1,2"});
    m_now = kStamp.addSecs(wait);
    m_tracking->FollowUp();
    QCOMPARE(queries().filter("sUrl=a.com").size(), 3);
    QCOMPARE(m_service->requests().size(), 3); // neither b.com nor the state again
    QCOMPARE(rowTexts(m_form->ListView1(1), 0).last(), QStringLiteral("1"));
    QVERIFY(!m_tracking->followUpTimer().isActive());
    // Completing a run does not put off the next automatic one.
    QCOMPARE(m_form->AutoGainTicks, 7);
}

void TestSiteTracking::baiduFallIsToldAndMarked_data() {
    QTest::addColumn<QString>("alert");      // DropAlert, "" absent
    QTest::addColumn<QString>("before");     // stored 百度 count, "" none
    QTest::addColumn<QStringList>("counts"); // the refresh's, then its follow-ups'
    QTest::addColumn<QString>("fall");       // in the marked cell's tip at the end, "" unmarked
    QTest::addColumn<bool>("told");
    const auto row = [](const char* name, const char* alert, const char* before,
                        const QStringList& counts, const char* fall, bool told) {
        QTest::newRow(name) << alert << before << counts << fall << told;
    };
    row("45%, default 30", "", "12000", {"6600"}, "45%：12,000 → 6,600", true);
    row("at 30", "30", "10000", {"7000"}, "30%：10,000 → 7,000", true);
    row("below 30", "30", "10000", {"7001"}, "", false);
    row("off", "0", "12000", {"0"}, "", false);
    row("to a real 0", "", "12000", {"0"}, "100%：12,000 → 0", true);
    row("nothing stored", "", "", {"0"}, "", false);
    row("missing before", "", "-1", {"0"}, "", false);
    row("missing now", "", "12000", {"-1"}, "", false);
    row("follow-up tells once", "", "12000", {"6600", "6600"}, "45%：12,000 → 6,600", true);
    row("measured by follow-up", "", "12000", {"-1", "6600"}, "45%：12,000 → 6,600", true);
    row("recovered", "", "12000", {"6600", "12000"}, "", true);
}

// Follow-ups complete a refresh: judged against the count before it, told once.
void TestSiteTracking::baiduFallIsToldAndMarked() {
    QFETCH(QString, alert);
    QFETCH(QString, before);
    QFETCH(QStringList, counts);
    QFETCH(QString, fall);
    QFETCH(bool, told);
    useSites("a.com");
    WriteIni("Setting", "DropAlert", alert, config());
    WriteIni("a.com", "Url_site", before.isEmpty() ? "" : before + ",1,1,1,1,1,1", config());
    m_service->setState("a.com", stateWithLinks(R"({"status":"measuring"})", true, "18"));
    for (int i = 0; i < counts.size(); ++i) {
        answer("a.com", {counts.at(i) + ",1,1,1,1,1,1", "-1,-1,-1,-1,-1,-1,-1", "1,2"});
        m_now = kStamp.addSecs(18 * i);
        i == 0 ? m_tracking->UpdateSites(kAll) : m_tracking->FollowUp();
    }
    const QTreeWidgetItem* item = m_form->ListView1(0)->topLevelItem(0);
    const QString shown = counts.last() == "-1" ? "—" : counts.last();
    QCOMPARE(item->text(1), fall.isEmpty() ? shown : "▼" + shown);
    if (!fall.isEmpty())
        QCOMPARE(ShownTip(item->toolTip(1)), "百度收录较上次下降 " + fall);
    QCOMPARE(m_desktop->notices.size(), int(told));
    if (told)
        QCOMPARE(m_desktop->notices.first().text,
                 "a.com：百度收录较上次下降 " + (fall.isEmpty() ? "45%：12,000 → 6,600" : fall));
}

void TestSiteTracking::severalFallsInOneNotice() {
    const QStringList sites = {"a.com", "b.com", "c.com", "d.com", "e.com", "f.com"};
    useSites(sites.join(u';'));
    for (const QString& site : sites) {
        WriteIni(site, "Url_site", "1000,1,1,1,1,1,1", config());
        answer(site, {site == "f.com" ? "900,1,1,1,1,1,1" : "500,1,1,1,1,1,1"});
    }
    m_tracking->UpdateSites(kAll);
    QCOMPARE(m_desktop->notices.size(), 1);
    QCOMPARE(m_desktop->notices.first().title, "百度收录下降");
    QCOMPARE(m_desktop->notices.first().text,
             "a.com、b.com、c.com 等 5 个网址：较上次下降 30% 以上");
    QCOMPARE(rowTexts(m_form->ListView1(0), 4).at(1), "▼500");
    QCOMPARE(rowTexts(m_form->ListView1(0), 5).at(1), "900");
    // The next refresh finds them steady: the marks go, nothing is told.
    m_tracking->UpdateSites(kAll);
    QCOMPARE(m_desktop->notices.size(), 1);
    QCOMPARE(rowTexts(m_form->ListView1(0), 4).at(1), "500");
}

void TestSiteTracking::secondRunDuringARunReturnsAtOnce() {
    useSites("a.com;b.com");
    m_form->CurrentPanel = 0;
    selectRow(0, 1);
    int nested = 0;
    m_duringRequest = [this, &nested] {
        if (nested++ > 0)
            return;
        m_tracking->UpdateSites(kAll);
        m_tracking->UpdateSites(QStringLiteral("b.com"));
        m_form->MenuUpdate()->trigger();
        m_tracking->CmdMenu2Click(1);
        m_tracking->Tick(3);
        m_tracking->FollowUp();
    };
    m_form->AutoGainTicks = 20;
    m_tracking->UpdateSites(QStringLiteral("a.com"));
    QCOMPARE(m_service->requests().size(), 3);
    QVERIFY(!m_form->IsBusy);
}

void TestSiteTracking::autoGainAtTheEnd_data() {
    QTest::addColumn<QString>("before");
    QTest::addColumn<bool>("armed");
    QTest::addColumn<QString>("during"); // written while the run waits for the service
    QTest::newRow("on") << "1" << true << "1";
    QTest::newRow("missing") << "" << false << "";
    QTest::newRow("word") << "true" << false << "true";
    QTest::newRow("switched on during the run") << "0" << true << "1";
    QTest::newRow("switched off during the run") << "1" << false << "0";
}

void TestSiteTracking::autoGainAtTheEnd() {
    QFETCH(QString, before);
    QFETCH(bool, armed);
    QFETCH(QString, during);
    useSites("a.com");
    WriteIni("Setting", "AutoGain", before, config());
    m_duringRequest = [this, during] { WriteIni("Setting", "AutoGain", during, config()); };
    m_form->Timer1(3)->start();
    m_form->AutoGainTicks = 5;
    m_tracking->UpdateSites(kAll);
    QCOMPARE(m_form->Timer1(3)->isActive(), armed);
    QCOMPARE(m_form->AutoGainTicks, armed ? 0 : 5);
}

void TestSiteTracking::reportDuringARun_data() {
    QTest::addColumn<int>("record");
    QTest::addColumn<QString>("existing"); // "/": a folder in the report's place
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("recording off") << 0 << "" << QByteArray("<missing>");
    QTest::newRow("damaged report") << 1 << "<html><body>手工<table><tr><td>x</td></tr></html>"
                                    << reportWith(row("a.com", "收录", kSeven, true));
    QTest::newRow("folder in the way") << 1 << "/" << QByteArray("<missing>");
}

void TestSiteTracking::reportDuringARun() {
    QFETCH(int, record);
    QFETCH(QString, existing);
    QFETCH(QByteArray, expected);
    useSites("a.com");
    WriteIni("Setting", "AutoRecord", QString::number(record), config());
    if (existing == u'/')
        QVERIFY(QDir(m_dir->path()).mkdir("SeoLog.htm"));
    else if (!existing.isEmpty())
        putText(log(), existing);
    answer("a.com", {"1,2,3,4,5,6,7"});
    m_tracking->UpdateSites(kAll);
    QCOMPARE(ReadIni("a.com", "Url_site", config()), QStringLiteral("1,2,3,4,5,6,7"));
    QCOMPARE(fileBytes(log()), expected);
    if (existing == u'/')
        QVERIFY(QFileInfo(log()).isDir() && QDir(log()).isEmpty());
    else if (!existing.isEmpty())
        QCOMPARE(fileBytes(log() + ".bak"), ToGbk(existing));
    QVERIFY(!m_form->IsBusy);
}

void TestSiteTracking::columnWidths_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<int>("view");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QList<int>>("twips"); // -1: the list's default width
    QTest::addColumn<QString>("storedAfter");
    const QList<int> fallback8 = {2049, -1, -1, -1, -1, -1, -1, -1};
    QTest::newRow("nine widths") << "LViewWidth" << 1 << "1500,600,600,600,600,600,600,600,9"
                                 << QList<int>{1500, 600, 600, 600, 600, 600, 600, 600}
                                 << "1500,600,600,600,600,600,600,600,9";
    QTest::newRow("missing") << "SViewWidth" << 0 << "" << fallback8 << "";
    QTest::newRow("too few") << "SViewWidth" << 0 << "2000,800,800" << fallback8 << "2000,800,800";
    QTest::newRow("letter repaired")
        << "SViewWidth" << 0 << "2000,800,x,800,800,800,800,800"
        << QList<int>{2000, 800, -1, 800, 800, 800, 800, 800} << "2000,800,0,800,800,800,800,800";
    QTest::newRow("ranks") << "PViewWidth" << 2 << "3000,900,900" << QList<int>{3000, 900, 900}
                           << "3000,900,900";
    QTest::newRow("ranks leading comma")
        << "PViewWidth" << 2 << ",3000,900,900" << QList<int>{2049, -1, -1} << ",3000,900,900";
}

void TestSiteTracking::columnWidths() {
    QFETCH(QString, key);
    QFETCH(int, view);
    QFETCH(QString, stored);
    QFETCH(QList<int>, twips);
    QFETCH(QString, storedAfter);
    if (!stored.isEmpty())
        WriteIni("Setting", key, stored, config());
    m_tracking->SetupColumns();
    QTreeWidget* list = m_form->ListView1(view);
    QCOMPARE(list->columnCount(), twips.size());
    for (int c = 0; c < twips.size(); ++c) {
        const int expected =
            twips.at(c) < 0 ? list->header()->defaultSectionSize() : TwipsToPixels(twips.at(c));
        QCOMPARE(list->columnWidth(c), expected);
    }
    QCOMPARE(ReadIni("Setting", key, config()), storedAfter);
}

void TestSiteTracking::columnWidthsAreSavedInTwips() {
    QTreeWidget* list = m_form->ListView1(0);

    list->setColumnWidth(0, 150);
    list->setColumnWidth(7, 41);
    m_form->ListView1(2)->setColumnWidth(1, 77);
    m_tracking->SaveColumnWidths();
    const QString d = QString::number(list->header()->defaultSectionSize() * 15);
    QCOMPARE(ReadIni("Setting", "SViewWidth", config()),
             QStringList({"2250", d, d, d, d, d, d, "615"}).join(u','));
    QCOMPARE(ReadIni("Setting", "PViewWidth", config()),
             QStringList({"2055", "1155", d}).join(u','));

    // What is saved comes back at the next start.
    Form_Main again;
    again.ConfigPath = config();
    SiteTracking(again).SetupColumns();
    QCOMPARE(again.ListView1(0)->columnWidth(0), 150);
    QCOMPARE(again.ListView1(0)->columnWidth(7), 41);
    QCOMPARE(again.ListView1(2)->columnWidth(1), 77);
}

void TestSiteTracking::loadSiteLists_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<int>("view");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QStringList>("shown");
    QTest::addColumn<QString>("storedAfter");
    const QStringList none7(7, QStringLiteral("—"));
    QTest::newRow("letter in seventh place")
        << "Url_site" << 0 << "1,2,3,4,5,6,x" << QStringList{"1", "2", "3", "4", "5", "6", "0"}
        << "1,2,3,4,5,6,0";
    QTest::newRow("nine values") << "Url_link" << 1 << "1,2,3,4,5,6,7,8,9" << kSeven
                                 << "1,2,3,4,5,6,7,8,9";
    QTest::newRow("six values") << "Url_link" << 1 << "11,22,33,44,55,66" << none7
                                << "11,22,33,44,55,66";
    QTest::newRow("one rank") << "Url_pr" << 2 << "5" << QStringList{"—", "—"} << "5";
    QTest::newRow("rank leading comma") << "Url_pr" << 2 << ",53" << QStringList{"—", "—"} << ",53";
    // A value the service could not get arrives negative: no number, but the text stays.
    QTest::newRow("values missing")
        << "Url_site" << 0 << "5,-1,3, -2 ,0,-0,x"
        << QStringList{"5", "—", "3", "—", "0", "-0", "0"} << "5,-1,3, -2 ,0,-0,0";
    QTest::newRow("ranks missing") << "Url_pr" << 2 << "-1,-1" << QStringList{"—", "—"} << "-1,-1";
}

void TestSiteTracking::loadSiteLists() {
    QFETCH(QString, key);
    QFETCH(int, view);
    QFETCH(QString, stored);
    QFETCH(QStringList, shown);
    QFETCH(QString, storedAfter);
    WriteIni("b.com", key, stored, config());
    useSites("a.com;b.com");
    QTreeWidget* list = m_form->ListView1(view);
    QCOMPARE(list->topLevelItemCount(), 2);
    QCOMPARE(rowTexts(list, 1), QStringList{"b.com"} + shown);
    for (int c = 1; c <= shown.size(); ++c)
        QCOMPARE(list->topLevelItem(1)->toolTip(c),
                 shown[c - 1] == "—" ? QStringLiteral("暂无数据") : shown[c - 1]);
    // Nothing stored is nothing to show, never a zero.
    QCOMPARE(rowTexts(list, 0).mid(1), QStringList(shown.size(), QStringLiteral("—")));
    QCOMPARE(list->topLevelItem(0)->toolTip(1), QStringLiteral("暂无数据"));
    QCOMPARE(ReadIni("b.com", key, config()), storedAfter);
    QVERIFY(list->selectedItems().isEmpty());
    QCOMPARE(list->currentItem(), nullptr);

    // An empty site list leaves the lists as they are.
    m_form->SiteList.clear();
    m_tracking->LoadSiteLists();
    QCOMPARE(list->topLevelItemCount(), 2);
}

void TestSiteTracking::fillStartedInsideAFillWins() {
    QStringList many;
    for (int i = 0; i < 3000; ++i)
        many.append(QStringLiteral("site%1.com").arg(i));
    m_form->SiteList = many.join(u';');
    bool nested = false;
    // Runs at the first chance the long fill gives the event loop.
    QTimer::singleShot(0, this, [this, &nested] {
        nested = true;
        m_form->SiteList = QStringLiteral("new.com;other.com");
        m_tracking->LoadSiteLists();
    });
    m_tracking->LoadSiteLists();
    QVERIFY(nested);
    for (int v = 0; v <= 2; ++v) {
        QTreeWidget* list = m_form->ListView1(v);
        QCOMPARE(list->topLevelItemCount(), 2);
        QCOMPARE(list->topLevelItem(0)->text(0), QStringLiteral("new.com"));
        QCOMPARE(list->topLevelItem(1)->text(0), QStringLiteral("other.com"));
    }
}

void TestSiteTracking::purgeSites() {
    for (const char* site : {"a.com", "b.com", "c.com"})
        WriteIni(site, "Url_site", "1,2,3,4,5,6,7", config());
    m_tracking->PurgeSites("a.com;b.com;c.com", "c.com;b.com");
    QCOMPARE(ReadIni("a.com", "Url_site", config()), QString());
    QCOMPARE(ReadIni("b.com", "Url_site", config()), QStringLiteral("1,2,3,4,5,6,7"));
    QCOMPARE(ReadIni("c.com", "Url_site", config()), QStringLiteral("1,2,3,4,5,6,7"));

    const QByteArray before = fileBytes(config());
    m_tracking->PurgeSites("", "b.com");
    m_tracking->PurgeSites("b.com", "b.com");
    QCOMPARE(fileBytes(config()), before);
    m_tracking->PurgeSites("b.com", "");
    QCOMPARE(ReadIni("b.com", "Url_site", config()), QString());
}

void TestSiteTracking::clockAndDotTicks() {
    // Dots grow to four and start over; a counter left at 3 by hand cuts the text instead.
    m_form->Label1(0)->setText(QStringLiteral("正在更新 a.com "));
    for (const char* text : {"正在更新 a.com .", "正在更新 a.com ..", "正在更新 a.com ...",
                             "正在更新 a.com ....", "正在更新 a.com ", "正在更新 a.com ."}) {
        m_tracking->Tick(1);
        QCOMPARE(m_form->Label1(0)->text(), QString::fromUtf8(text));
    }
    m_form->Label1(0)->setText(QStringLiteral("正在更新 a.com "));
    m_form->DotTicks = 3;
    for (const char* text : {"正在更新 a.com .", "正在更新 a.c", "正在更新 a.c."}) {
        m_tracking->Tick(1);
        QCOMPARE(m_form->Label1(0)->text(), QString::fromUtf8(text));
    }

    for (int index : {-1, 5, 100})
        m_tracking->Tick(index);
    QCOMPARE(m_form->Label1(0)->text(), QStringLiteral("正在更新 a.c."));

    QPalette palette = m_form->Label1(0)->palette();
    palette.setColor(QPalette::WindowText, Qt::red);
    m_form->Label1(0)->setPalette(palette);
    m_tracking->Tick(0);
    QCOMPARE(m_form->Label1(0)->text(), ClockText(kStamp));
    QCOMPARE(m_form->Label1(0)->palette().color(QPalette::WindowText), QColor(0, 0, 0));

    m_form->Timer1(0)->stop();
    m_form->Timer1(2)->start();
    m_tracking->Tick(2);
    QVERIFY(!m_form->Timer1(2)->isActive());
    QVERIFY(m_form->Timer1(0)->isActive());
    QCOMPARE(m_form->Timer1(0)->interval(), 1000);
}

void TestSiteTracking::automaticRefresh() {
    useSites("a.com");
    WriteIni("Setting", "AutoGain", "1", config());
    m_form->Timer1(3)->start();
    for (int i = 1; i <= 20; ++i)
        m_tracking->Tick(3);
    QCOMPARE(m_form->AutoGainTicks, 20);
    QVERIFY(m_service->requests().isEmpty());
    m_tracking->Tick(3);
    QCOMPARE(m_service->requests().size(), 3);
    QCOMPARE(m_form->AutoGainTicks, 0);
    QVERIFY(m_form->Timer1(3)->isActive());

    // Without sites the due tick only starts the count again.
    m_form->SiteList.clear();
    m_form->AutoGainTicks = 20;
    m_tracking->Tick(3);
    QCOMPARE(m_form->AutoGainTicks, 0);
    QVERIFY(m_form->Timer1(3)->isActive() && !m_form->IsBusy);
    QCOMPARE(m_service->requests().size(), 3);
}

void TestSiteTracking::pageReloadEveryTwelfthTick() {
    m_service->setRaw("index.htm", "<html></html>");
    m_form->WEB1()->Navigate(m_service->baseUrl() + "/index.htm");
    QTRY_COMPARE(m_service->requests().size(), 1);
    for (int i = 1; i <= 11; ++i)
        m_tracking->Tick(4);
    QCOMPARE(m_form->WebTicks, 11);
    QTest::qWait(50);
    QCOMPARE(m_service->requests().size(), 1);
    m_tracking->Tick(4);
    QCOMPARE(m_form->WebTicks, 0);
    QTRY_COMPARE(m_service->requests().size(), 2);
}

void TestSiteTracking::mouseOnList_data() {
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("row"); // -1: empty space below the rows
    QTest::addColumn<bool>("menu");
    QTest::newRow("left on a row") << int(Qt::LeftButton) << 2 << false;
    QTest::newRow("left on empty space") << int(Qt::LeftButton) << -1 << false;
    QTest::newRow("right on a row") << int(Qt::RightButton) << 1 << true;
    QTest::newRow("right on empty space") << int(Qt::RightButton) << -1 << false;
}

void TestSiteTracking::mouseOnList() {
    QFETCH(int, button);
    QFETCH(int, row);
    QFETCH(bool, menu);
    m_form->SiteList = QStringLiteral("a.com;b.com;c.com");
    m_tracking->LoadSiteLists();
    m_form->CurrentPanel = 1;
    m_form->ShowPanel();
    m_form->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
    QTreeWidget* list = m_form->ListView1(1);
    selectRow(1, 0);
    const QPoint at = row < 0 ? QPoint(5, list->viewport()->height() - 3)
                              : list->visualItemRect(list->topLevelItem(row)).center();
    QTest::mouseClick(list->viewport(), Qt::MouseButton(button), {}, at);
    if (row < 0) {
        QVERIFY(list->selectedItems().isEmpty());
        QCOMPARE(list->currentItem(), nullptr);
    } else {
        QCOMPARE(list->selectedItems(), QList<QTreeWidgetItem*>{list->topLevelItem(row)});
    }
    QCOMPARE(m_desktop->popups, menu ? QList<QMenu*>{m_form->MenuFile1()} : QList<QMenu*>{});
}

// A failed open tells where it went and brings the window back instead of minimising it.
void TestSiteTracking::buttonBar_data() {
    QTest::addColumn<int>("command"); // -1: 查看详情 on the first row, else the button's index
    QTest::addColumn<int>("panel");
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("show");
    QTest::addColumn<bool>("opens");
    QTest::newRow("web version, backlinks") << 2 << 1 << "/ostrem/seo/links.htm" << 0 << true;
    QTest::newRow("web version, ranks") << 2 << 2 << "/ostrem/seo/ranks.htm" << 0 << true;
    QTest::newRow("web version, settings") << 2 << 6 << "/ostrem/seo/sites.htm" << 0 << true;
    QTest::newRow("maker's site") << 3 << 0 << "" << 5 << true;
    QTest::newRow("detail page fails")
        << -1 << 0 << "/ostrem/seo/show.asp?t=site&word=a.com" << 5 << false;
    QTest::newRow("web version fails") << 2 << 0 << "/ostrem/seo/sites.htm" << 0 << false;
    QTest::newRow("maker's site fails") << 3 << 0 << "" << 5 << false;
}

void TestSiteTracking::buttonBar() {
    QFETCH(int, command);
    QFETCH(int, panel);
    QFETCH(QString, path);
    QFETCH(int, show);
    QFETCH(bool, opens);
    m_desktop->openSucceeds = opens;
    useSites("a.com");
    selectRow(0, 0);
    m_form->CurrentPanel = panel;
    m_form->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
    if (command < 0) {
        m_form->MenuShowMore()->trigger();
    } else {
        CtlButton* control = m_form->CmdMenu2(command);
        control->show();
        QTest::mouseClick(control, Qt::LeftButton, {}, QPoint(5, 5));
    }
    QCOMPARE(m_desktop->opened.size(), 1);
    QCOMPARE(m_desktop->opened.first().target, m_service->baseUrl() + path);
    QCOMPARE(m_desktop->opened.first().showCommand, show);
    if (opens) {
        QVERIFY(m_desktop->boxes.isEmpty());
        QVERIFY(m_form->windowState() & Qt::WindowMinimized);
        return;
    }
    QCOMPARE(m_desktop->boxes.size(), 1);
    QCOMPARE(m_desktop->boxes[0].text, QStringLiteral("无法打开 ") + m_service->baseUrl() + path);
    QCOMPARE(m_desktop->boxes[0].title, QStringLiteral("提示"));
    QTest::qWait(20);
    QVERIFY(!(m_form->windowState() & Qt::WindowMinimized));
    QVERIFY(m_form->isVisible());
}

void TestSiteTracking::recordAndCloseButtons() {
    m_tracking->CmdMenu2Click(0);
    QCOMPARE(m_desktop->boxes.size(), 1);
    QCOMPARE(m_desktop->boxes.first().text, QStringLiteral("记录文件 \"") +
                                                QDir::toNativeSeparators(log()) +
                                                QStringLiteral("\" 读取失败。 "));
    QCOMPARE(m_desktop->boxes.first().title, QStringLiteral("提示"));
    QVERIFY(m_desktop->boxes.first().buttons == DesktopServices::Buttons::Ok);
    QVERIFY(m_desktop->opened.isEmpty());

    putText(log(), "<html></html>");
    m_desktop->openSucceeds = false;
    m_tracking->CmdMenu2Click(0);
    QCOMPARE(m_desktop->boxes.size(), 2);
    QCOMPARE(m_desktop->boxes.last().text,
             QStringLiteral("无法打开 ") + QDir::toNativeSeparators(log()));
    m_desktop->openSucceeds = true;
    m_tracking->CmdMenu2Click(0);
    QCOMPARE(m_desktop->boxes.size(), 2);
    QCOMPARE(m_desktop->opened.size(), 2);
    QCOMPARE(m_desktop->opened.first().target, log());
    QCOMPARE(m_desktop->opened.first().showCommand, 5);
    QVERIFY(!(m_form->windowState() & Qt::WindowMinimized));

    m_tracking->CmdMenu2Click(4); // no close request set: nothing happens
    int requests = 0;
    m_tracking->closeRequest = [&requests] { ++requests; };
    for (int index : {4, 7, -1})
        m_tracking->CmdMenu2Click(index);
    QCOMPARE(requests, 1);
    QCOMPARE(m_desktop->opened.size(), 2);
}

void TestSiteTracking::detailMenu_data() {
    QTest::addColumn<int>("panel");
    QTest::addColumn<int>("selected"); // row, -1 none, -2 both
    QTest::addColumn<QString>("opened");
    QTest::newRow("indexed") << 0 << 1 << "/ostrem/seo/show.asp?t=site&word=b.com/p q";
    QTest::newRow("backlinks") << 1 << 0 << "/ostrem/seo/show.asp?t=link&word=a.com";
    QTest::newRow("ranks") << 2 << 1 << "/ostrem/seo/show.asp?t=pr&word=b.com/p q";
    QTest::newRow("no row") << 0 << -1 << "";
    QTest::newRow("two rows") << 1 << -2 << "";
    QTest::newRow("whois panel") << 3 << 0 << "";
}

void TestSiteTracking::detailMenu() {
    QFETCH(int, panel);
    QFETCH(int, selected);
    QFETCH(QString, opened);
    m_form->SiteList = QStringLiteral("a.com;b.com/p q");
    m_tracking->LoadSiteLists();
    m_form->CurrentPanel = panel;
    for (int v = 0; v <= 2; ++v) {
        QTreeWidget* list = m_form->ListView1(v);
        list->setSelectionMode(QAbstractItemView::MultiSelection);
        for (int row = 0; row < 2; ++row)
            list->topLevelItem(row)->setSelected(selected == row || selected == -2);
    }
    m_form->MenuShowMore()->trigger();
    if (opened.isEmpty()) {
        QVERIFY(m_desktop->opened.isEmpty());
        QVERIFY(!(m_form->windowState() & Qt::WindowMinimized));
        return;
    }
    QCOMPARE(m_desktop->opened.size(), 1);
    QCOMPARE(m_desktop->opened.first().target, m_service->baseUrl() + opened);
    QCOMPARE(m_desktop->opened.first().showCommand, 5);
    QVERIFY(m_form->windowState() & Qt::WindowMinimized);
}

void TestSiteTracking::updateMenuRefreshesTheRowSite() {
    useSites("a.com;b.com");
    m_form->CurrentPanel = 2;
    selectRow(2, 1);
    answer("b.com", {"1,2,3,4,5,6,7"});
    m_form->MenuUpdate()->trigger();
    QCOMPARE(queries().size(), 3);
    QCOMPARE(FakeQueryService::targetOf(queries().first()), QStringLiteral("b.com"));
    // All three lists are filled again.
    QCOMPARE(rowTexts(m_form->ListView1(0), 1), QStringList{"b.com"} + kSeven);
    QCOMPARE(m_form->ListView1(2)->topLevelItemCount(), 2);

    m_form->ListView1(2)->clearSelection();
    m_form->MenuUpdate()->trigger();
    QCOMPARE(queries().size(), 3);

    m_tracking->CmdMenu2Click(1); // the update button refreshes every site
    QCOMPARE(queries().size(), 9);
}

QTEST_MAIN(TestSiteTracking)
#include "test_sitetracking.moc"

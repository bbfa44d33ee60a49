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

// What the window looked like when the service received one request.
struct Seen {
    QString page;
    QString target;
    QString status;
    bool red = false;
    bool buttonEnabled = true;
    bool busy = false;
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
    void timedOutAnswerKeepsTheOldValue();
    void secondRunDuringARunReturnsAtOnce();
    void autoGainAtTheEnd_data();
    void autoGainAtTheEnd();
    void recordingOffLeavesNoReport();
    void damagedReportIsKeptAside();
    void reportPathTakenByAFolder();

    void columnWidths_data();
    void columnWidths();
    void columnWidthsAreSavedInTwips();
    void loadSiteLists_data();
    void loadSiteLists();
    void emptySiteListLeavesTheLists();
    void fillStartedInsideAFillWins();
    void purgeSites();

    void clockTick();
    void dotsCycle_data();
    void dotsCycle();
    void clockRestartTick();
    void automaticRefreshAtTheTwentyFirstTick();
    void automaticTickWithoutSites();
    void pageReloadEveryTwelfthTick();
    void unknownTickIndexDoesNothing();

    void pressSelectsOnlyTheRowUnderThePointer();
    void rightClickOnRowOpensTheMenu();
    void rightClickOnEmptySpaceOpensNothing();
    void buttonBar_data();
    void buttonBar();
    void recordButton();
    void closeButtonRunsTheCloseRequest();
    void updateButtonRefreshesAll();
    void detailMenu_data();
    void detailMenu();
    void updateMenuRefreshesTheRowSite();

  private:
    QString config() const { return m_dir->filePath(QStringLiteral("Config.ini")); }
    QString log() const { return m_dir->filePath(QStringLiteral("SeoLog.htm")); }
    void useSites(const QString& sites);
    void answer(const QString& page, const QString& target, const QString& payload) {
        m_answers.insert(page + u'|' + target, payload);
    }
    bool red() const {
        return m_form->Label1(0)->palette().color(QPalette::WindowText) == QColor(255, 0, 0);
    }
    void selectRow(int view, int row) {
        m_form->ListView1(view)->clearSelection();
        m_form->ListView1(view)->topLevelItem(row)->setSelected(true);
    }
    QTreeWidget* showList(int view) {
        m_form->CurrentPanel = view;
        m_form->ShowPanel();
        m_form->show();
        if (!QTest::qWaitForWindowExposed(m_form.get()))
            return nullptr;
        return m_form->ListView1(view);
    }
    QPoint rowCentre(int view, int row) const {
        QTreeWidget* list = m_form->ListView1(view);
        return list->visualItemRect(list->topLevelItem(row)).center();
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<FakeQueryService> m_service;
    std::unique_ptr<FakeDesktop> m_desktop;
    std::unique_ptr<Form_Main> m_form;
    std::unique_ptr<SiteTracking> m_tracking;
    QHash<QString, QString> m_answers;
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
        Seen seen{
            page,           target, m_form->Label1(0)->text(), red(), m_form->CmdMenu2(1)->Enable(),
            m_form->IsBusy, {}};
        for (int i = 0; i <= 4; ++i)
            seen.timers.append(m_form->Timer1(i)->isActive());
        m_seen.append(seen);
        if (m_duringRequest)
            m_duringRequest();
        const auto it = m_answers.constFind(page + u'|' + target);
        if (it == m_answers.cend())
            return FakeQueryService::Generated{};
        return FakeQueryService::Generated{true, it.value()};
    });
    m_desktop = std::make_unique<FakeDesktop>();
    m_form = std::make_unique<Form_Main>();
    m_form->ConfigPath = config();
    m_form->LogPath = log();
    m_tracking = std::make_unique<SiteTracking>(*m_form);
    m_tracking->report().clock = [] { return kStamp; };
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

void TestSiteTracking::useSites(const QString& sites) {
    WriteIni(QStringLiteral("Setting"), QStringLiteral("SeoUrl"), sites, config());
    m_form->SiteList = sites;
}

void TestSiteTracking::fullRun() {
    putText(config(), QStringLiteral("[Setting]\r\nSeoUrl=a.com;b.cn;c.org;d.net\r\n"
                                     "AutoRecord=1\r\nAutoGain=1\r\n"
                                     "[b.cn]\r\nUrl_site=9,9,9,9,9,9,9\r\nUrl_pr=8,8\r\n"));
    m_form->SiteList = QStringLiteral("a.com;b.cn;c.org;d.net");
    // Accepted: "|" separators, blanks around, seven one-character fields, two ranks.
    answer("sites.asp", "a.com", "  1|20|3,4|5|6|7 ");
    answer("links.asp", "a.com", "10,20,30,40,50,60,70");
    answer("ranks.asp", "a.com", "4|2");
    // Refused: "false", a single rank; accepted: backlinks.
    answer("sites.asp", "b.cn", "false");
    answer("links.asp", "b.cn", "1,2,3,4,5,6,中");
    answer("ranks.asp", "b.cn", "5");
    // Refused: six fields, eight fields, a leading ",".
    answer("sites.asp", "c.org", "1,2,3,4,5,6");
    answer("links.asp", "c.org", "1,2,3,4,5,6,7,8");
    answer("ranks.asp", "c.org", ",55");
    // Accepted at the shortest length; refused: empty payload, three ranks.
    answer("sites.asp", "d.net", "1,2,3,4,5,6,7");
    answer("links.asp", "d.net", "");
    answer("ranks.asp", "d.net", "1,2,3");

    m_form->Timer1(0)->start();
    m_form->Timer1(3)->start();
    m_form->AutoGainTicks = 7;
    m_tracking->UpdateSites(kAll);

    // Three requests per site, in order, one key per site.
    const QStringList requests = m_service->requests();
    QCOMPARE(requests.size(), 12);
    const QStringList sites = {"a.com", "b.cn", "c.org", "d.net"};
    const QStringList pages = {"sites.asp", "links.asp", "ranks.asp"};
    for (int s = 0; s < 4; ++s) {
        QString key;
        for (int p = 0; p < 3; ++p) {
            const QString request = requests.at(3 * s + p);
            QCOMPARE(FakeQueryService::pageOf(request), pages.at(p));
            QCOMPARE(FakeQueryService::targetOf(request), sites.at(s));
            const QString thisKey = request.section(QStringLiteral("&Key="), 1).section(u'&', 0, 0);
            QVERIFY(thisKey.toInt() >= 1000000 && thisKey.toInt() <= 10000000);
            if (p > 0)
                QCOMPARE(thisKey, key);
            key = thisKey;
        }
    }

    // While a site is fetched: its status in red (dots may follow), the button off, only the
    // dots timer of the first four running.
    QCOMPARE(m_seen.size(), 12);
    for (const Seen& seen : m_seen) {
        QVERIFY2(seen.status.startsWith(QStringLiteral("正在更新 ") + seen.target + u' '),
                 qPrintable(seen.status));
        QVERIFY(seen.status.size() <= QStringLiteral("正在更新 ").size() + seen.target.size() + 5);
        QVERIFY(seen.red);
        QVERIFY(!seen.buttonEnabled);
        QVERIFY(seen.busy);
        QCOMPARE(seen.timers.mid(0, 4), QList<bool>({false, true, false, false}));
    }

    const QByteArray expectedConfig =
        ToGbk(QStringLiteral("[Setting]\r\nSeoUrl=a.com;b.cn;c.org;d.net\r\n"
                             "AutoRecord=1\r\nAutoGain=1\r\n"
                             "[b.cn]\r\nUrl_site=9,9,9,9,9,9,9\r\nUrl_pr=8,8\r\n"
                             "Url_link=1,2,3,4,5,6,0\r\n"
                             "[a.com]\r\nUrl_site=1,20,3,4,5,6,7\r\n"
                             "Url_link=10,20,30,40,50,60,70\r\nUrl_pr=4,2\r\n"
                             "[d.net]\r\nUrl_site=1,2,3,4,5,6,7\r\n"));
    QCOMPARE(fileBytes(config()), expectedConfig);

    const QString head = ReportFrameText().left(ReportFrameText().indexOf("</table>"));
    const auto row = [](const QString& site, const QString& label, const QStringList& values,
                        bool separator) {
        return ReportRowsText(site, QStringLiteral("03-05 9:07:02"), label, values, separator);
    };
    const QString expectedReport =
        head + row("a.com", "收录", {"1", "20", "3", "4", "5", "6", "7"}, true) +
        row("a.com", "反链", {"10", "20", "30", "40", "50", "60", "70"}, false) +
        row("b.cn", "反链", {"1", "2", "3", "4", "5", "6", "中"}, false) +
        row("d.net", "收录", {"1", "2", "3", "4", "5", "6", "7"}, true) +
        "</table>\r\n</body>\r\n</html>\r\n";
    QCOMPARE(fileBytes(log()), ToGbk(expectedReport));
    QVERIFY(fileBytes(log()).contains("    <td>a.com</td>\r\n    <td>03-05 9:07:02</td>\r\n"));

    // The lists show the stored values; "中" is no number and is stored back as 0.
    QCOMPARE(rowTexts(m_form->ListView1(0), 0),
             QStringList({"a.com", "1", "20", "3", "4", "5", "6", "7"}));
    QCOMPARE(rowTexts(m_form->ListView1(0), 1),
             QStringList({"b.cn", "9", "9", "9", "9", "9", "9", "9"}));
    QCOMPARE(rowTexts(m_form->ListView1(0), 2),
             QStringList({"c.org", "0", "0", "0", "0", "0", "0", "0"}));
    QCOMPARE(rowTexts(m_form->ListView1(1), 1),
             QStringList({"b.cn", "1", "2", "3", "4", "5", "6", "0"}));
    QCOMPARE(ReadIni("b.cn", "Url_link", config()), QStringLiteral("1,2,3,4,5,6,0"));
    QCOMPARE(rowTexts(m_form->ListView1(2), 0), QStringList({"a.com", "4", "2"}));
    QCOMPARE(rowTexts(m_form->ListView1(2), 1), QStringList({"b.cn", "8", "8"}));
    QCOMPARE(rowTexts(m_form->ListView1(2), 3), QStringList({"d.net", "0", "0"}));

    QCOMPARE(m_form->Label1(0)->text(), QStringLiteral("所有网址信息更新完毕"));
    QVERIFY(red());
    QVERIFY(m_form->CmdMenu2(1)->Enable());
    QVERIFY(!m_form->IsBusy);
    QVERIFY(!m_form->Timer1(0)->isActive());
    QVERIFY(!m_form->Timer1(1)->isActive());
    QVERIFY(m_form->Timer1(2)->isActive());
    QVERIFY(m_form->Timer1(3)->isActive());
    QCOMPARE(m_form->AutoGainTicks, 0);
    QCOMPARE(m_form->DotTicks, 0);
}

void TestSiteTracking::targetChoosesTheSites_data() {
    QTest::addColumn<QString>("siteList");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QStringList>("fetched");
    QTest::newRow("all") << "a.com;b.com"
                         << "All" << QStringList{"a.com", "b.com"};
    QTest::newRow("empty target") << "a.com;b.com"
                                  << "" << QStringList{"a.com", "b.com"};
    QTest::newRow("one site") << "a.com;b.com"
                              << "b.com" << QStringList{"b.com"};
    QTest::newRow("site not tracked") << "a.com"
                                      << "z.org/x" << QStringList{"z.org/x"};
    QTest::newRow("single site list") << "a.com"
                                      << "All" << QStringList{"a.com"};
    QTest::newRow("no sites") << ""
                              << "a.com" << QStringList{};
}

void TestSiteTracking::targetChoosesTheSites() {
    QFETCH(QString, siteList);
    QFETCH(QString, target);
    QFETCH(QStringList, fetched);
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

void TestSiteTracking::timedOutAnswerKeepsTheOldValue() {
    SetHttpGetTimeLimit(std::chrono::milliseconds(200));
    putText(config(), QStringLiteral("[a.com]\r\nUrl_link=5,5,5,5,5,5,5\r\n"));
    m_form->SiteList = QStringLiteral("a.com");
    m_service->setBehaviour(QStringLiteral("links.asp"), FakeQueryService::Behaviour::NoAnswer);
    answer("sites.asp", "a.com", "1,2,3,4,5,6,7");
    answer("ranks.asp", "a.com", "3,3");
    m_tracking->UpdateSites(kAll);
    QCOMPARE(ReadIni("a.com", "Url_link", config()), QStringLiteral("5,5,5,5,5,5,5"));
    QCOMPARE(ReadIni("a.com", "Url_site", config()), QStringLiteral("1,2,3,4,5,6,7"));
    QCOMPARE(ReadIni("a.com", "Url_pr", config()), QStringLiteral("3,3"));
}

void TestSiteTracking::secondRunDuringARunReturnsAtOnce() {
    useSites("a.com;b.com");
    m_tracking->SetupColumns();
    m_tracking->LoadSiteLists();
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
    };
    m_form->AutoGainTicks = 20;
    m_tracking->UpdateSites(QStringLiteral("a.com"));
    QCOMPARE(m_service->requests().size(), 3);
    QVERIFY(!m_form->IsBusy);
}

void TestSiteTracking::autoGainAtTheEnd_data() {
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("during");
    QTest::addColumn<bool>("armed");
    QTest::newRow("on") << "1"
                        << "1" << true;
    QTest::newRow("off") << "0"
                         << "0" << false;
    QTest::newRow("missing") << ""
                             << "" << false;
    QTest::newRow("word") << "true"
                          << "true" << false;
    QTest::newRow("switched on during the run") << "0"
                                                << "1" << true;
    QTest::newRow("switched off during the run") << "1"
                                                 << "0" << false;
}

void TestSiteTracking::autoGainAtTheEnd() {
    QFETCH(QString, before);
    QFETCH(QString, during);
    QFETCH(bool, armed);
    useSites("a.com");
    WriteIni("Setting", "AutoGain", before, config());
    m_duringRequest = [this, during] { WriteIni("Setting", "AutoGain", during, config()); };
    m_form->Timer1(3)->start();
    m_form->AutoGainTicks = 5;
    m_tracking->UpdateSites(kAll);
    QCOMPARE(m_form->Timer1(3)->isActive(), armed);
    QCOMPARE(m_form->AutoGainTicks, armed ? 0 : 5);
}

void TestSiteTracking::recordingOffLeavesNoReport() {
    useSites("a.com");
    WriteIni("Setting", "AutoRecord", "0", config());
    answer("sites.asp", "a.com", "1,2,3,4,5,6,7");
    m_tracking->UpdateSites(kAll);
    QCOMPARE(ReadIni("a.com", "Url_site", config()), QStringLiteral("1,2,3,4,5,6,7"));
    QVERIFY(!QFile::exists(log()));
}

void TestSiteTracking::damagedReportIsKeptAside() {
    useSites("a.com");
    WriteIni("Setting", "AutoRecord", "1", config());
    putText(log(), QStringLiteral("<html><body>手工<table><tr><td>x</td></tr></html>"));
    const QByteArray damaged = fileBytes(log());
    answer("links.asp", "a.com", "1,2,3,4,5,6,7");
    m_tracking->UpdateSites(kAll);
    QCOMPARE(fileBytes(log() + ".bak"), damaged);
    const QString frame = ReportFrameText();
    QCOMPARE(fileBytes(log()), ToGbk(frame.left(frame.indexOf("</table>")) +
                                     ReportRowsText("a.com", "03-05 9:07:02", "反链",
                                                    {"1", "2", "3", "4", "5", "6", "7"}, false) +
                                     "</table>\r\n</body>\r\n</html>\r\n"));
}

void TestSiteTracking::reportPathTakenByAFolder() {
    // A folder where the report should be can be neither read as a file nor replaced.
    useSites("a.com");
    WriteIni("Setting", "AutoRecord", "1", config());
    QVERIFY(QDir(m_dir->path()).mkdir("SeoLog.htm"));
    answer("sites.asp", "a.com", "1,2,3,4,5,6,7");
    m_tracking->UpdateSites(kAll);
    QCOMPARE(ReadIni("a.com", "Url_site", config()), QStringLiteral("1,2,3,4,5,6,7"));
    QVERIFY(QFileInfo(log()).isDir());
    QVERIFY(QDir(log()).isEmpty());
    QVERIFY(!m_form->IsBusy);
}

void TestSiteTracking::columnWidths_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<int>("view");
    QTest::addColumn<QList<int>>("twips"); // -1: the list's default width
    QTest::addColumn<QString>("storedAfter");
    QTest::newRow("eight widths") << "SViewWidth"
                                  << "2000,800,800,800,800,800,800,800" << 0
                                  << QList<int>{2000, 800, 800, 800, 800, 800, 800, 800}
                                  << "2000,800,800,800,800,800,800,800";
    QTest::newRow("nine widths") << "LViewWidth"
                                 << "1500,600,600,600,600,600,600,600,9" << 1
                                 << QList<int>{1500, 600, 600, 600, 600, 600, 600, 600}
                                 << "1500,600,600,600,600,600,600,600,9";
    QTest::newRow("missing") << "SViewWidth"
                             << "" << 0 << QList<int>{2049, -1, -1, -1, -1, -1, -1, -1} << "";
    QTest::newRow("too few") << "SViewWidth"
                             << "2000,800,800" << 0 << QList<int>{2049, -1, -1, -1, -1, -1, -1, -1}
                             << "2000,800,800";
    QTest::newRow("letter repaired")
        << "SViewWidth"
        << "2000,800,x,800,800,800,800,800" << 0
        << QList<int>{2000, 800, -1, 800, 800, 800, 800, 800} << "2000,800,0,800,800,800,800,800";
    QTest::newRow("ranks") << "PViewWidth"
                           << "3000,900,900" << 2 << QList<int>{3000, 900, 900} << "3000,900,900";
    QTest::newRow("ranks two numbers") << "PViewWidth"
                                       << "3000,900" << 2 << QList<int>{2049, -1, -1} << "3000,900";
    QTest::newRow("leading comma")
        << "PViewWidth"
        << ",3000,900,900" << 2 << QList<int>{2049, -1, -1} << ",3000,900,900";
}

void TestSiteTracking::columnWidths() {
    QFETCH(QString, key);
    QFETCH(QString, stored);
    QFETCH(int, view);
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
    const QStringList headers =
        view == 2 ? QStringList{"  域名", " 谷歌", " 搜狗"}
                  : QStringList{"  域名", "百度", "谷歌", "搜狗", "雅虎", "搜搜", "有道", "必应"};
    for (int c = 0; c < headers.size(); ++c)
        QCOMPARE(list->headerItem()->text(c), headers.at(c));
}

void TestSiteTracking::columnWidthsAreSavedInTwips() {
    m_tracking->SetupColumns();
    // Default widths let the site column and seven engines fit without a horizontal scroll bar.
    QTreeWidget* list = m_form->ListView1(0);
    int total = 0;
    for (int c = 0; c < 8; ++c)
        total += list->columnWidth(c);
    QVERIFY(total <= TwipsToPixels(6711) - 2 * list->frameWidth());
    QVERIFY(list->header()->defaultSectionSize() >= 20);

    list->setColumnWidth(0, 150);
    list->setColumnWidth(7, 41);
    m_form->ListView1(2)->setColumnWidth(1, 77);
    m_tracking->SaveColumnWidths();
    const QString d = QString::number(list->header()->defaultSectionSize() * 15);
    QCOMPARE(ReadIni("Setting", "SViewWidth", config()),
             QStringList({"2250", d, d, d, d, d, d, "615"}).join(u','));
    QCOMPARE(ReadIni("Setting", "LViewWidth", config()),
             QStringList({"2055", d, d, d, d, d, d, d}).join(u','));
    QCOMPARE(ReadIni("Setting", "PViewWidth", config()),
             QStringList({"2055", "1155", d}).join(u','));

    // What is saved comes back at the next start.
    Form_Main again;
    again.ConfigPath = config();
    SiteTracking tracking(again);
    tracking.SetupColumns();
    QCOMPARE(again.ListView1(0)->columnWidth(0), 150);
    QCOMPARE(again.ListView1(0)->columnWidth(7), 41);
    QCOMPARE(again.ListView1(2)->columnWidth(1), 77);
}

void TestSiteTracking::loadSiteLists_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<int>("view");
    QTest::addColumn<QStringList>("shown");
    QTest::addColumn<QString>("storedAfter");
    const QStringList zeros7 = {"0", "0", "0", "0", "0", "0", "0"};
    QTest::newRow("seven") << "Url_site"
                           << "1520,3400,87,0,112,9,230" << 0
                           << QStringList{"1520", "3400", "87", "0", "112", "9", "230"}
                           << "1520,3400,87,0,112,9,230";
    QTest::newRow("letter in seventh place")
        << "Url_site"
        << "1,2,3,4,5,6,x" << 0 << QStringList{"1", "2", "3", "4", "5", "6", "0"}
        << "1,2,3,4,5,6,0";
    QTest::newRow("nine values") << "Url_link"
                                 << "1,2,3,4,5,6,7,8,9" << 1
                                 << QStringList{"1", "2", "3", "4", "5", "6", "7"}
                                 << "1,2,3,4,5,6,7,8,9";
    QTest::newRow("six values") << "Url_link"
                                << "11,22,33,44,55,66" << 1 << zeros7 << "11,22,33,44,55,66";
    QTest::newRow("missing") << "Url_site"
                             << "" << 0 << zeros7 << "";
    QTest::newRow("one rank") << "Url_pr"
                              << "5" << 2 << QStringList{"0", "0"} << "5";
    QTest::newRow("two ranks") << "Url_pr"
                               << "5,3" << 2 << QStringList{"5", "3"} << "5,3";
    QTest::newRow("rank leading comma") << "Url_pr"
                                        << ",53" << 2 << QStringList{"0", "0"} << ",53";
}

void TestSiteTracking::loadSiteLists() {
    QFETCH(QString, key);
    QFETCH(QString, stored);
    QFETCH(int, view);
    QFETCH(QStringList, shown);
    QFETCH(QString, storedAfter);
    m_form->SiteList = QStringLiteral("a.com;b.com");
    if (!stored.isEmpty())
        WriteIni("b.com", key, stored, config());
    m_tracking->LoadSiteLists();
    QTreeWidget* list = m_form->ListView1(view);
    QCOMPARE(list->topLevelItemCount(), 2);
    QCOMPARE(rowTexts(list, 1), QStringList{"b.com"} + shown);
    QCOMPARE(rowTexts(list, 0).mid(1), QStringList(shown.size(), QStringLiteral("0")));
    QCOMPARE(ReadIni("b.com", key, config()), storedAfter);
    QVERIFY(list->selectedItems().isEmpty());
    QCOMPARE(list->currentItem(), nullptr);
}

void TestSiteTracking::emptySiteListLeavesTheLists() {
    m_form->SiteList = QStringLiteral("a.com");
    m_tracking->LoadSiteLists();
    m_form->SiteList.clear();
    m_tracking->LoadSiteLists();
    for (int v = 0; v <= 2; ++v)
        QCOMPARE(m_form->ListView1(v)->topLevelItemCount(), 1);
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
    QElapsedTimer clock;
    clock.start();
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

void TestSiteTracking::clockTick() {
    m_form->Label1(0)->setText("x");
    QPalette palette = m_form->Label1(0)->palette();
    palette.setColor(QPalette::WindowText, Qt::red);
    m_form->Label1(0)->setPalette(palette);
    const QString before = ClockText(QDateTime::currentDateTime());
    m_tracking->Tick(0);
    const QString after = ClockText(QDateTime::currentDateTime());
    const QString shown = m_form->Label1(0)->text();
    QVERIFY2(shown == before || shown == after, qPrintable(shown));
    QCOMPARE(m_form->Label1(0)->palette().color(QPalette::WindowText), QColor(0, 0, 0));
}

void TestSiteTracking::dotsCycle_data() {
    QTest::addColumn<int>("startTicks");
    QTest::addColumn<QStringList>("shown");
    QTest::newRow("from a new status")
        << 0 << QStringList{"正在更新 a.com .",    "正在更新 a.com ..", "正在更新 a.com ...",
                            "正在更新 a.com ....", "正在更新 a.com ",   "正在更新 a.com ."};
    QTest::newRow("counter left at 3 by hand")
        << 3 << QStringList{"正在更新 a.com .", "正在更新 a.c", "正在更新 a.c."};
}

void TestSiteTracking::dotsCycle() {
    QFETCH(int, startTicks);
    QFETCH(QStringList, shown);
    m_form->Label1(0)->setText(QStringLiteral("正在更新 a.com "));
    m_form->DotTicks = startTicks;
    for (const QString& text : shown) {
        m_tracking->Tick(1);
        QCOMPARE(m_form->Label1(0)->text(), text);
    }
}

void TestSiteTracking::clockRestartTick() {
    m_form->Timer1(2)->start();
    m_tracking->Tick(2);
    QVERIFY(!m_form->Timer1(2)->isActive());
    QVERIFY(m_form->Timer1(0)->isActive());
    QCOMPARE(m_form->Timer1(0)->interval(), 1000);
}

void TestSiteTracking::automaticRefreshAtTheTwentyFirstTick() {
    useSites("a.com");
    WriteIni("Setting", "AutoGain", "1", config());
    m_form->Timer1(3)->start();
    for (int i = 1; i <= 20; ++i) {
        m_tracking->Tick(3);
        QCOMPARE(m_form->AutoGainTicks, i);
    }
    QVERIFY(m_service->requests().isEmpty());
    m_tracking->Tick(3);
    QCOMPARE(m_service->requests().size(), 3);
    QCOMPARE(m_form->AutoGainTicks, 0);
    QVERIFY(m_form->Timer1(3)->isActive());
}

void TestSiteTracking::automaticTickWithoutSites() {
    m_form->SiteList.clear();
    m_form->Timer1(3)->start();
    m_form->AutoGainTicks = 20;
    m_tracking->Tick(3);
    QCOMPARE(m_form->AutoGainTicks, 0);
    QVERIFY(m_form->Timer1(3)->isActive());
    QVERIFY(!m_form->IsBusy);
    QVERIFY(m_service->requests().isEmpty());
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

void TestSiteTracking::unknownTickIndexDoesNothing() {
    m_form->Label1(0)->setText("x");
    for (int index : {-1, 5, 100})
        m_tracking->Tick(index);
    QCOMPARE(m_form->Label1(0)->text(), QStringLiteral("x"));
    QCOMPARE(m_form->DotTicks + m_form->AutoGainTicks + m_form->WebTicks, 0);
}

void TestSiteTracking::pressSelectsOnlyTheRowUnderThePointer() {
    m_form->SiteList = QStringLiteral("a.com;b.com;c.com");
    m_tracking->LoadSiteLists();
    QTreeWidget* list = showList(0);
    QVERIFY(list);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rowCentre(0, 2));
    QCOMPARE(list->selectedItems().size(), 1);
    QCOMPARE(list->selectedItems().first()->text(0), QStringLiteral("c.com"));
    // Empty space below the rows: nothing stays selected.
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      QPoint(5, list->viewport()->height() - 3));
    QVERIFY(list->selectedItems().isEmpty());
    QCOMPARE(list->currentItem(), nullptr);
}

void TestSiteTracking::rightClickOnRowOpensTheMenu() {
    m_form->SiteList = QStringLiteral("a.com;b.com");
    m_tracking->LoadSiteLists();
    QTreeWidget* list = showList(1);
    QVERIFY(list);
    selectRow(1, 0);
    QTest::mouseClick(list->viewport(), Qt::RightButton, {}, rowCentre(1, 1));
    QCOMPARE(list->selectedItems().size(), 1);
    QCOMPARE(list->selectedItems().first()->text(0), QStringLiteral("b.com"));
    QCOMPARE(m_desktop->popups.size(), 1);
    QCOMPARE(m_desktop->popups.first(), m_form->MenuFile1());
    // A left click never opens it.
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rowCentre(1, 0));
    QCOMPARE(m_desktop->popups.size(), 1);
}

void TestSiteTracking::rightClickOnEmptySpaceOpensNothing() {
    m_form->SiteList = QStringLiteral("a.com");
    m_tracking->LoadSiteLists();
    QTreeWidget* list = showList(0);
    QVERIFY(list);
    selectRow(0, 0);
    QTest::mouseClick(list->viewport(), Qt::RightButton, {},
                      QPoint(5, list->viewport()->height() - 3));
    QVERIFY(list->selectedItems().isEmpty());
    QVERIFY(m_desktop->popups.isEmpty());
}

void TestSiteTracking::buttonBar_data() {
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("panel");
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("show");
    QTest::newRow("web version, indexed") << 2 << 0 << "/ostrem/seo/sites.htm" << 0;
    QTest::newRow("web version, backlinks") << 2 << 1 << "/ostrem/seo/links.htm" << 0;
    QTest::newRow("web version, ranks") << 2 << 2 << "/ostrem/seo/ranks.htm" << 0;
    QTest::newRow("web version, whois") << 2 << 3 << "/ostrem/seo/sites.htm" << 0;
    QTest::newRow("web version, settings") << 2 << 6 << "/ostrem/seo/sites.htm" << 0;
    QTest::newRow("maker's site") << 3 << 0 << "" << 5;
    QTest::newRow("maker's site, settings") << 3 << 6 << "" << 5;
}

void TestSiteTracking::buttonBar() {
    QFETCH(int, button);
    QFETCH(int, panel);
    QFETCH(QString, path);
    QFETCH(int, show);
    m_form->CurrentPanel = panel;
    m_form->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
    CtlButton* control = m_form->CmdMenu2(button);
    control->show();
    QSignalSpy clicks(control, &CtlButton::Click);
    QTest::mouseClick(control, Qt::LeftButton, {}, QPoint(5, 5));
    QCOMPARE(clicks.size(), 1);
    QCOMPARE(m_desktop->opened.size(), 1);
    QCOMPARE(m_desktop->opened.first().target, m_service->baseUrl() + path);
    QCOMPARE(m_desktop->opened.first().showCommand, show);
    QVERIFY(m_form->windowState() & Qt::WindowMinimized);
}

void TestSiteTracking::recordButton() {
    m_tracking->CmdMenu2Click(0);
    QCOMPARE(m_desktop->boxes.size(), 1);
    QCOMPARE(m_desktop->boxes.first().text, QStringLiteral("记录文件 \"") +
                                                QDir::toNativeSeparators(log()) +
                                                QStringLiteral("\" 读取失败。 "));
    QCOMPARE(m_desktop->boxes.first().title, QStringLiteral("提示"));
    QVERIFY(m_desktop->boxes.first().buttons == DesktopServices::Buttons::Ok);
    QVERIFY(m_desktop->opened.isEmpty());

    putText(log(), "<html></html>");
    m_tracking->CmdMenu2Click(0);
    QCOMPARE(m_desktop->boxes.size(), 1);
    QCOMPARE(m_desktop->opened.size(), 1);
    QCOMPARE(m_desktop->opened.first().target, log());
    QCOMPARE(m_desktop->opened.first().showCommand, 5);
    QVERIFY(!(m_form->windowState() & Qt::WindowMinimized));
}

void TestSiteTracking::closeButtonRunsTheCloseRequest() {
    m_tracking->CmdMenu2Click(4); // no request set: nothing happens
    int requests = 0;
    m_tracking->closeRequest = [&requests] { ++requests; };
    m_tracking->CmdMenu2Click(4);
    QCOMPARE(requests, 1);
    m_tracking->CmdMenu2Click(7);
    m_tracking->CmdMenu2Click(-1);
    QCOMPARE(requests, 1);
    QVERIFY(m_desktop->opened.isEmpty());
}

void TestSiteTracking::updateButtonRefreshesAll() {
    useSites("a.com;b.com");
    m_tracking->CmdMenu2Click(1);
    QCOMPARE(m_service->requests().size(), 6);
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
    m_tracking->LoadSiteLists();
    m_form->CurrentPanel = 2;
    selectRow(2, 1);
    answer("sites.asp", "b.com", "1,2,3,4,5,6,7");
    m_form->MenuUpdate()->trigger();
    QCOMPARE(m_service->requests().size(), 3);
    QCOMPARE(FakeQueryService::targetOf(m_service->requests().first()), QStringLiteral("b.com"));
    // All three lists are filled again.
    QCOMPARE(rowTexts(m_form->ListView1(0), 1),
             QStringList({"b.com", "1", "2", "3", "4", "5", "6", "7"}));
    QCOMPARE(m_form->ListView1(2)->topLevelItemCount(), 2);

    m_form->ListView1(2)->clearSelection();
    m_form->MenuUpdate()->trigger();
    QCOMPARE(m_service->requests().size(), 3);
}

QTEST_MAIN(TestSiteTracking)
#include "test_sitetracking.moc"

#include "app/mainwindow.h"
#include "app/modmin.h"
#include "controls/ctlbutton.h"
#include "controls/ctlframe.h"
#include "fakedesktop.h"
#include "fakequeryservice.h"
#include "net/httpget.h"
#include "storage/charset.h"
#include "storage/inifile.h"
#include "tracking/sitetracking.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <memory>

using namespace std::chrono_literals;

class EventCounter : public QObject {
  public:
    EventCounter(QEvent::Type type, int& count) : m_type(type), m_count(count) {}
    bool eventFilter(QObject*, QEvent* event) override {
        m_count += event->type() == m_type;
        return false;
    }

  private:
    QEvent::Type m_type;
    int& m_count;
};

class TestMainWindow : public QObject {
    Q_OBJECT

    FakeQueryService service;
    QTemporaryDir tempFolder;
    QTemporaryDir xdgFolder;
    std::unique_ptr<QTemporaryDir> folder;
    std::unique_ptr<FakeDesktop> desktop;

    QString config() const { return folder->filePath(QStringLiteral("Config.ini")); }
    void setting(const QString& key, const QString& value) {
        WriteIni(QStringLiteral("Setting"), key, value, config());
    }
    QString readSetting(const QString& key) const {
        return ReadIni(QStringLiteral("Setting"), key, config());
    }
    std::unique_ptr<MainWindow> makeWindow(const QStringList& args = {}) {
        return std::make_unique<MainWindow>(folder->path(), args);
    }
    int requestsFor(const QString& page) const {
        int n = 0;
        for (const QString& r : service.requests())
            n += r.contains(QLatin1Char('/') + page + QLatin1Char('?'));
        return n;
    }
    void serveAllSites() {
        service.setPayload(QStringLiteral("sites.asp"), QStringLiteral("1|2|3|4|5|6|7"));
        service.setPayload(QStringLiteral("links.asp"), QStringLiteral("7|6|5|4|3|2|1"));
        service.setPayload(QStringLiteral("ranks.asp"), QStringLiteral("3|4"));
    }

  private slots:
    void initTestCase() {
        QVERIFY(service.start());
        QVERIFY(tempFolder.isValid());
        qputenv("VALDANE_MAKER_URL", service.baseUrl().toUtf8());
        qputenv("TEMP", tempFolder.path().toUtf8());
        SetHttpGetTimeLimit(3s);
    }

    void init() {
        QVERIFY(xdgFolder.isValid());
        qputenv("XDG_CONFIG_HOME", xdgFolder.filePath("config").toUtf8());
        qputenv("XDG_DATA_HOME", xdgFolder.filePath("data").toUtf8());
        folder = std::make_unique<QTemporaryDir>();
        // An existing Config.ini keeps the files beside the program.
        QFile(config()).open(QIODevice::WriteOnly);
        desktop = std::make_unique<FakeDesktop>();
        service.clearRequests();
        serveAllSites();
    }

    void cleanup() {
        desktop.reset();
        folder.reset();
    }

    void firstStartWritesDefaultsAndShowsSettings() {
        auto window = makeWindow();
        window->Load();

        const QString info = QStringLiteral("Info");
        QCOMPARE(window->ConfigPath, config());
        QCOMPARE(window->LogPath, folder->filePath(QStringLiteral("SeoLog.htm")));
        QCOMPARE(ReadIni(info, QStringLiteral("AppName"), config()), QStringLiteral("Valdane"));
        QCOMPARE(ReadIni(info, QStringLiteral("AppVersion"), config()),
                 QStringLiteral("V1.3 Beta"));
        QCOMPARE(ReadIni(info, QStringLiteral("MyUrl"), config()), service.baseUrl());
        QVERIFY(!ReadIni(info, QStringLiteral("WorkPath"), config()).isEmpty());
        QVERIFY(!ReadIni(info, QStringLiteral("MyQQ"), config()).isEmpty());
        QVERIFY(!ReadIni(info, QStringLiteral("MyEmail"), config()).isEmpty());
        QCOMPARE(readSetting(QStringLiteral("AutoUpdate")), QStringLiteral("1"));
        QVERIFY(readSetting(QStringLiteral("SeoUrl")).isEmpty());

        QCOMPARE(window->CurrentPanel, 6);
        QVERIFY(!window->Frame(6)->isHidden());
        QVERIFY(window->Frame(0)->isHidden());
        QVERIFY(!window->CmdMenu2(1)->Enable());
        for (int view = 0; view < 3; ++view)
            QCOMPARE(window->ListView1(view)->columnWidth(0), TwipsToPixels(2049));
        QCOMPARE(window->windowTitle(),
                 QStringLiteral("Valdane V1.3 Beta - ") +
                     service.baseUrl().mid(QStringLiteral("http://").size()));
        QCOMPARE(window->Label1(1)->text(), service.baseUrl());
        QCOMPARE(window->Label1(1)->toolTip(), QStringLiteral("访问作者网站"));
        QCOMPARE(window->Label1(1)->cursor().shape(), Qt::PointingHandCursor);
        QVERIFY(window->Label1(0)->cursor().shape() != Qt::PointingHandCursor);
        QVERIFY(window->Timer1(0)->isActive());
        QVERIFY(window->Timer1(4)->isActive());
        QVERIFY(!window->Timer1(3)->isActive());
        QVERIFY(TrayPresent());
    }

    void withoutConfigBesideFilesGoToTheUsersFolders() {
        QFile::remove(config());
        auto window = makeWindow();
        window->Load();
        const QString xdgConfig = xdgFolder.filePath("config/valdane/Config.ini");
        QCOMPARE(window->ConfigPath, xdgConfig);
        QCOMPARE(window->LogPath, xdgFolder.filePath("data/valdane/SeoLog.htm"));
        QVERIFY(QFileInfo(xdgFolder.filePath("data/valdane")).isDir());
        QCOMPARE(ReadIni("Info", "AppName", xdgConfig), QStringLiteral("Valdane"));
        QVERIFY(!QFile::exists(config()));
        QVERIFY(desktop->boxes.isEmpty());
        QFile::remove(xdgConfig);
    }

    // A Config.ini that cannot be written is told once per run; the refresh and lists go on.
    void unwritableConfigIsToldOnce() {
        QFile::remove(config());
        QFile blocker(xdgFolder.filePath("file"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        qputenv("XDG_CONFIG_HOME", blocker.fileName().toUtf8());
        auto window = makeWindow();
        window->Load();
        window->show();
        QTRY_COMPARE(desktop->boxes.size(), 1);
        QVERIFY(desktop->boxes[0].text.contains(QDir::toNativeSeparators(window->ConfigPath)));
        QCOMPARE(desktop->boxes[0].title, QStringLiteral("提示"));
        window->SiteList = QStringLiteral("a.com");
        window->tracking().UpdateSites(QStringLiteral("All"));
        window->tracking().UpdateSites(QStringLiteral("All"));
        QCOMPARE(requestsFor(QStringLiteral("sites.asp")), 2);
        QCOMPARE(window->ListView1(0)->topLevelItemCount(), 1);
        QCOMPARE(desktop->boxes.size(), 1);
    }

    void storedSiteListIsNormalisedAndWrittenBack() {
        setting(QStringLiteral("SeoUrl"), QStringLiteral("http://a.com；http://b.com;a.com"));
        auto window = makeWindow();
        window->Load();
        QCOMPARE(readSetting(QStringLiteral("SeoUrl")), QStringLiteral("a.com;b.com"));
        QCOMPARE(window->SiteList, QStringLiteral("a.com;b.com"));
        QCOMPARE(window->CurrentPanel, 0);
        QVERIFY(!window->Frame(0)->isHidden());
        QVERIFY(window->CmdMenu2(1)->Enable());
        QCOMPARE(window->ListView1(0)->topLevelItemCount(), 2);
    }

    void autoUpdateIsRepaired_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("expected");
        // Anything but "0" is taken as on and written back as "1".
        for (const char* stored : {"2", "yes", "0", "1"})
            QTest::newRow(stored) << stored << (qstrcmp(stored, "0") == 0 ? "0" : "1");
    }
    void autoUpdateIsRepaired() {
        QFETCH(QString, stored);
        QFETCH(QString, expected);
        setting(QStringLiteral("AutoUpdate"), stored);
        makeWindow()->Load();
        QCOMPARE(readSetting(QStringLiteral("AutoUpdate")), expected);
    }

    void commandLineMin_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("tray");
        QTest::addColumn<bool>("hidden");
        QTest::addColumn<bool>("minimised");
        QTest::newRow("-Min") << QStringList{"-Min"} << true << true << true;
        QTest::newRow("-min") << QStringList{"-min"} << true << false << false;
        QTest::newRow("trailing blank") << QStringList{"-Min "} << true << false << false;
        QTest::newRow("two arguments") << QStringList{"-Min", "x"} << true << false << false;
        QTest::newRow("none") << QStringList{} << true << false << false;
        QTest::newRow("-Min without tray") << QStringList{"-Min"} << false << false << true;
    }
    void commandLineMin() {
        QFETCH(QStringList, args);
        QFETCH(bool, tray);
        QFETCH(bool, hidden);
        QFETCH(bool, minimised);
        setting(QStringLiteral("AutoUpdate"), QStringLiteral("0"));
        desktop->tray = tray;
        auto window = makeWindow(args);
        int shows = 0;
        EventCounter counter(QEvent::Show, shows);
        window->installEventFilter(&counter);
        window->Load();
        window->Start();
        QTest::qWait(100);
        QCOMPARE(window->isHidden(), hidden);
        QCOMPARE(window->isMinimized(), minimised);
        QVERIFY(TrayPresent());
        // A window hidden from the start was never shown, so one restore brings it back.
        if (hidden)
            QCOMPARE(shows, 0);
        window->MenuShow()->trigger();
        QVERIFY(window->isVisible() && !window->isMinimized());
    }

    void autoGainRefreshesAtActivation_data() {
        QTest::addColumn<QString>("autoGain");
        QTest::addColumn<int>("expectedSiteRequests");
        QTest::newRow("on") << "1" << 2;
        QTest::newRow("off") << "0" << 0;
        QTest::newRow("other") << "true" << 0;
    }
    void autoGainRefreshesAtActivation() {
        QFETCH(QString, autoGain);
        QFETCH(int, expectedSiteRequests);
        setting(QStringLiteral("SeoUrl"), QStringLiteral("a.com;b.com"));
        setting(QStringLiteral("AutoUpdate"), QStringLiteral("0"));
        setting(QStringLiteral("AutoGain"), autoGain);
        auto window = makeWindow();
        window->Load();
        window->show();
        QTest::qWait(50);
        QTRY_VERIFY(!window->IsBusy);
        QCOMPARE(requestsFor(QStringLiteral("sites.asp")), expectedSiteRequests);
        QCOMPARE(requestsFor(QStringLiteral("Update.txt")), 0);
        if (expectedSiteRequests) {
            QCOMPARE(ReadIni(QStringLiteral("b.com"), QStringLiteral("Url_pr"), config()),
                     QStringLiteral("3,4"));
            QVERIFY(window->Timer1(3)->isActive());
        }
    }

    void updateCheckRunsAtActivation() {
        auto window = makeWindow();
        window->Load();
        window->show();
        QTRY_COMPARE(requestsFor(QStringLiteral("Update.txt")), 1);
    }

    void closeWhileBusy_data() {
        QTest::addColumn<bool>("mayAsk"); // false: a signal, or a session that allows no question
        QTest::addColumn<bool>("confirm");
        QTest::newRow("cancel") << true << false;
        QTest::newRow("ok") << true << true;
        QTest::newRow("nobody to ask") << false << true;
    }
    void closeWhileBusy() {
        QFETCH(bool, mayAsk);
        QFETCH(bool, confirm);
        setting(QStringLiteral("SeoUrl"), QStringLiteral("a.com"));
        service.setDelay(QStringLiteral("sites.asp"), 300);
        auto window = makeWindow();
        window->Load();
        WriteTextFile(window->TempPath, QStringLiteral("[ConFig]"));
        QVERIFY(QFile::exists(window->TempPath));
        desktop->nextAnswer =
            confirm ? DesktopServices::Answer::Ok : DesktopServices::Answer::Cancel;

        bool closedInside = false;
        QTimer::singleShot(100, window.get(), [&] {
            QVERIFY(window->IsBusy);
            closedInside = mayAsk ? window->close() : window->CloseRequest(false);
        });
        window->tracking().UpdateSites(QStringLiteral("All"));

        QCOMPARE(desktop->boxes.size(), mayAsk ? 1 : 0);
        if (mayAsk) {
            QCOMPARE(desktop->boxes[0].text, QStringLiteral("正在获取数据，确定要退出？ \r\n"));
            QCOMPARE(desktop->boxes[0].title, QStringLiteral("Valdane提示"));
            QCOMPARE(desktop->boxes[0].buttons, DesktopServices::Buttons::OkCancel);
        }
        QCOMPARE(closedInside, confirm);
        QCOMPARE(desktop->endCount, confirm ? 1 : 0);
        QCOMPARE(QFile::exists(window->TempPath), !confirm);
        QCOMPARE(readSetting(QStringLiteral("SViewWidth")).isEmpty(), !confirm);
        QCOMPARE(TrayPresent(), !confirm);
        if (!confirm) {
            // The refresh went on to its end.
            QCOMPARE(ReadIni(QStringLiteral("a.com"), QStringLiteral("Url_site"), config()),
                     QStringLiteral("1,2,3,4,5,6,7"));
            QVERIFY(!window->IsBusy);
        }
    }

    void closeWhenIdleAsksNothing() {
        auto window = makeWindow();
        window->Load();
        window->MenuQuit()->trigger();
        QVERIFY(desktop->boxes.isEmpty());
        QCOMPARE(desktop->endCount, 1);
        QCOMPARE(readSetting(QStringLiteral("PViewWidth")).count(QLatin1Char(',')), 2);
    }

    void trayActsOnlyWhileHidden() {
        setting(QStringLiteral("AutoUpdate"), QStringLiteral("0"));
        auto window = makeWindow();
        window->Load();
        window->show();
        QTest::qWait(20);

        TrayActivated(*window, QSystemTrayIcon::DoubleClick);
        TrayActivated(*window, QSystemTrayIcon::Context);
        QVERIFY(desktop->popups.isEmpty());

        window->setWindowState(Qt::WindowMinimized);
        QTRY_VERIFY(window->isHidden());
        TrayActivated(*window, QSystemTrayIcon::MiddleClick);
        QVERIFY(window->isHidden());
        TrayActivated(*window, QSystemTrayIcon::Context);
        QCOMPARE(desktop->popups.size(), 1);
        QCOMPARE(desktop->popups[0], window->MenuFile2());
        TrayActivated(*window, QSystemTrayIcon::DoubleClick);
        QVERIFY(!window->isHidden());
        QVERIFY(!window->isMinimized());

        // A click alone restores too: some notification areas never report a double click.
        for (QAction* restore : {window->MenuShow(), static_cast<QAction*>(nullptr)}) {
            window->setWindowState(Qt::WindowMinimized);
            QTRY_VERIFY(window->isHidden());
            if (restore)
                restore->trigger();
            else
                TrayActivated(*window, QSystemTrayIcon::Trigger);
            QVERIFY(!window->isHidden());
        }
        QCOMPARE(desktop->endCount, 0);
    }

    void linkLineOpensOnlyWebAddresses_data() {
        QTest::addColumn<QString>("updateUrl");
        QTest::addColumn<bool>("opensUpdateUrl");
        QTest::newRow("none") << "" << false;
        QTest::newRow("one character") << "h" << false;
        QTest::newRow("https") << "https://dl.example.net/v2.zip" << true;
        QTest::newRow("http") << "http://dl.example.net/v2.zip" << true;
        QTest::newRow("local program") << "/usr/bin/xterm" << false;
        QTest::newRow("file url") << "file:///bin/sh" << false;
        QTest::newRow("script") << "javascript:alert(1)" << false;
    }
    void linkLineOpensOnlyWebAddresses() {
        QFETCH(QString, updateUrl);
        QFETCH(bool, opensUpdateUrl);
        setting(QStringLiteral("AutoUpdate"), QStringLiteral("0"));
        auto window = makeWindow();
        window->Load();
        window->show();
        window->UpdateUrl = updateUrl;
        QTest::mouseClick(window->Label1(1), Qt::LeftButton);
        QCOMPARE(desktop->opened.size(), 1);
        QCOMPARE(desktop->opened[0].target, opensUpdateUrl ? updateUrl : service.baseUrl());
        QCOMPARE(desktop->opened[0].showCommand, DesktopServices::ShowShow);
        QTRY_VERIFY(window->isHidden());
    }

    void trayTipFitsThePlatformField_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("shortened");
        QTest::newRow("default") << "http://127.0.0.1:8936" << false;
        QTest::newRow("long") << "http://statistics.a-rather-long-host-name.example.net:8080"
                              << true;
    }
    void trayTipFitsThePlatformField() {
        QFETCH(QString, address);
        QFETCH(bool, shortened);
        const QString tip = QStringLiteral("Valdane  V1.3 Beta\r\n") + address;
        const QString shown = TrayTipText(tip);
        QVERIFY(ToGbk(shown).size() <= 63);
        QCOMPARE(shown == tip, !shortened);
        QVERIFY(shown.startsWith(QStringLiteral("Valdane  V1.3 Beta\r\n")));
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"

#include "app/mainwindow.h"
#include "app/modmin.h"
#include "controls/ctlbutton.h"
#include "controls/ctlframe.h"
#include "fixture.h"
#include "storage/charset.h"
#include "storage/inifile.h"
#include "tracking/sitetracking.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <memory>

using namespace std::chrono_literals;
using Answer = DesktopServices::Answer;

class ShowCounter : public QObject {
  public:
    bool eventFilter(QObject*, QEvent* event) override {
        shows += event->type() == QEvent::Show;
        return false;
    }
    int shows = 0;
};

class TestMainWindow : public QObject {
    Q_OBJECT

    QTemporaryDir xdgFolder;
    std::unique_ptr<DesktopFixture> fx;

    QString config() const { return fx->path(QStringLiteral("Config.ini")); }
    void setting(const QString& key, const QString& value) {
        WriteIni(QStringLiteral("Setting"), key, value, config());
    }
    QString readSetting(const QString& key) const {
        return ReadIni(QStringLiteral("Setting"), key, config());
    }
    std::unique_ptr<MainWindow> makeWindow(const QStringList& args = {}) {
        auto window = std::make_unique<MainWindow>(fx->dir.path(), args);
        window->Load();
        return window;
    }
    int requestsFor(const QString& page) const {
        int n = 0;
        for (const QString& r : fx->service.requests())
            n += FakeQueryService::pageOf(r) == page;
        return n;
    }

  private slots:
    void init() {
        fx = std::make_unique<DesktopFixture>(3s);
        qputenv("TEMP", fx->dir.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", xdgFolder.filePath("config").toUtf8());
        qputenv("XDG_DATA_HOME", xdgFolder.filePath("data").toUtf8());
        // The scratch file lives in the runtime folder, which other tests' programs also clean.
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(xdgFolder.path()));
        // An existing Config.ini keeps the files beside the program.
        PutContent(config(), "");
        fx->service.setPayload(QStringLiteral("sites.asp"), QStringLiteral("1|2|3|4|5|6|7"));
        fx->service.setPayload(QStringLiteral("links.asp"), QStringLiteral("7|6|5|4|3|2|1"));
        fx->service.setPayload(QStringLiteral("ranks.asp"), QStringLiteral("3|4"));
    }

    void cleanup() { fx.reset(); }

    // Loading: without sites the settings panel comes first, else the overview with the stored
    // list, cleaned and written back; the files stay beside the program; an update switch other
    // than "0" is taken as on and written back as "1". Starting: "-Min" alone keeps the window
    // hidden when the tray can bring it back. Activation: the refresh runs for AutoGain "1" only.
    void start_data() {
        QTest::addColumn<QString>("sites");      // stored, then as written back
        QTest::addColumn<QString>("autoUpdate"); // stored, then as written back
        QTest::addColumn<QString>("autoGain");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("tray");
        QTest::addColumn<QString>("window"); // "hidden", "minimised" or "shown"
        const auto row = [](const char* name, const char* sites, const char* autoUpdate,
                            const char* autoGain, const QStringList& args, bool tray,
                            const char* window) {
            QTest::newRow(name) << QString(sites) << QString(autoUpdate) << QString(autoGain)
                                << args << tray << QString(window);
        };
        const char* cleaned = "http://a.com；http://b.com;a.com a.com;b.com";
        row("no sites", "", "2 1", "0", {}, true, "shown");
        row("refresh on", cleaned, "0 0", "1", {}, true, "shown");
        row("update on", cleaned, "yes 1", "0", {}, true, "shown");
        row("refresh other", cleaned, "0 0", "true", {}, true, "shown");
        row("-Min", "", "0 0", "0", {"-Min"}, true, "hidden");
        row("-min", "", "0 0", "0", {"-min"}, true, "shown");
        row("trailing blank", "", "0 0", "0", {"-Min "}, true, "shown");
        row("two arguments", "", "0 0", "0", {"-Min", "x"}, true, "shown");
        row("-Min without tray", "", "0 0", "0", {"-Min"}, false, "minimised");
    }
    void start() {
        QFETCH(QString, sites);
        QFETCH(QString, autoUpdate);
        QFETCH(QString, autoGain);
        QFETCH(QStringList, args);
        QFETCH(bool, tray);
        QFETCH(QString, window);
        setting(QStringLiteral("SeoUrl"), sites.section(' ', 0, 0));
        setting(QStringLiteral("AutoUpdate"), autoUpdate.section(' ', 0, 0));
        setting(QStringLiteral("AutoGain"), autoGain);
        fx->desktop.tray = tray;
        auto win = makeWindow(args);
        const QString list = sites.section(' ', 1);
        const int panel = list.isEmpty() ? 6 : 0;
        QCOMPARE(win->ConfigPath, config());
        QCOMPARE(win->LogPath, fx->path(QStringLiteral("SeoLog.htm")));
        QCOMPARE(readSetting(QStringLiteral("AutoUpdate")), autoUpdate.section(' ', 1));
        QCOMPARE(readSetting(QStringLiteral("SeoUrl")), list);
        QCOMPARE(win->SiteList, list);
        QCOMPARE(win->CurrentPanel, panel);
        QVERIFY(!win->Frame(panel)->isHidden() && win->Frame(6 - panel)->isHidden());
        QCOMPARE(win->CmdMenu2(1)->Enable(), !list.isEmpty());
        QCOMPARE(win->ListView1(0)->topLevelItemCount(), list.isEmpty() ? 0 : 2);

        ShowCounter counter;
        win->installEventFilter(&counter);
        win->Start();
        const int siteRequests = autoGain == "1" ? 2 : 0;
        QTRY_COMPARE(requestsFor(QStringLiteral("sites.asp")), siteRequests);
        QTest::qWait(100);
        QTRY_VERIFY(!win->IsBusy);
        QCOMPARE(requestsFor(QStringLiteral("sites.asp")), siteRequests);
        QCOMPARE(requestsFor(QStringLiteral("Update.txt")), autoUpdate.endsWith('1') ? 1 : 0);
        QCOMPARE(win->Timer1(3)->isActive(), siteRequests > 0);
        if (siteRequests)
            QCOMPARE(ReadIni(QStringLiteral("b.com"), QStringLiteral("Url_pr"), config()),
                     QStringLiteral("3,4"));
        QCOMPARE(win->isHidden(), window == "hidden");
        QCOMPARE(win->isMinimized(), window != "shown");
        QVERIFY(TrayPresent());
        // A window hidden from the start was never mapped, so one restore brings it back.
        QCOMPARE(counter.shows == 0, window == "hidden");
        win->MenuShow()->trigger();
        QVERIFY(win->isVisible() && !win->isMinimized());
    }

    // A Config.ini that cannot be written is told once per run; the refresh and lists go on.
    void unwritableConfigIsToldOnce() {
        QFile::remove(config());
        QFile blocker(xdgFolder.filePath("file"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        qputenv("XDG_CONFIG_HOME", blocker.fileName().toUtf8());
        auto window = makeWindow();
        window->show();
        QTRY_COMPARE(fx->desktop.boxes.size(), 1);
        QVERIFY(fx->desktop.boxes[0].text.contains(QDir::toNativeSeparators(window->ConfigPath)));
        window->SiteList = QStringLiteral("a.com");
        window->tracking().UpdateSites(QStringLiteral("All"));
        window->tracking().UpdateSites(QStringLiteral("All"));
        QCOMPARE(requestsFor(QStringLiteral("sites.asp")), 2);
        QCOMPARE(window->ListView1(0)->topLevelItemCount(), 1);
        QCOMPARE(fx->desktop.boxes.size(), 1);
    }

    // A close during a refresh asks, unless it comes from a signal or a session that allows
    // no question; an idle close asks nothing. Staying lets the refresh run to its end.
    void closeRequest_data() {
        QTest::addColumn<bool>("busy");
        QTest::addColumn<QString>("how"); // "close", "menu" or "signal"
        QTest::addColumn<Answer>("answer");
        QTest::addColumn<bool>("ends");
        QTest::newRow("cancel") << true << "close" << Answer::Cancel << false;
        QTest::newRow("ok") << true << "menu" << Answer::Ok << true;
        QTest::newRow("nobody to ask") << true << "signal" << Answer::Cancel << true;
        QTest::newRow("idle") << false << "close" << Answer::Cancel << true;
    }
    void closeRequest() {
        QFETCH(bool, busy);
        QFETCH(QString, how);
        QFETCH(Answer, answer);
        QFETCH(bool, ends);
        setting(QStringLiteral("SeoUrl"), QStringLiteral("a.com"));
        fx->service.setDelay(QStringLiteral("sites.asp"), 300);
        auto window = makeWindow();
        WriteTextFile(window->TempPath, QStringLiteral("[ConFig]"));
        QVERIFY(QFile::exists(window->TempPath));
        fx->desktop.nextAnswer = answer;
        const auto closeNow = [&] {
            QCOMPARE(window->IsBusy, busy);
            if (how == "close")
                QCOMPARE(window->close(), ends);
            else if (how == "menu")
                window->MenuQuit()->trigger();
            else
                QCOMPARE(window->CloseRequest(false), ends);
        };
        if (busy) {
            QTimer::singleShot(0, window.get(), closeNow); // runs at the refresh's first wait
            window->tracking().UpdateSites(QStringLiteral("All"));
        } else {
            closeNow();
        }

        const bool asked = busy && how != "signal";
        QCOMPARE(fx->desktop.boxes.size(), asked ? 1 : 0);
        if (asked)
            QCOMPARE(fx->desktop.boxes[0].buttons, DesktopServices::Buttons::OkCancel);
        QCOMPARE(fx->desktop.endCount, ends ? 1 : 0);
        QCOMPARE(QFile::exists(window->TempPath), !ends);
        QCOMPARE(readSetting(QStringLiteral("SViewWidth")).isEmpty(), !ends);
        QCOMPARE(TrayPresent(), !ends);
        if (!ends) {
            QCOMPARE(ReadIni(QStringLiteral("a.com"), QStringLiteral("Url_site"), config()),
                     QStringLiteral("1,2,3,4,5,6,7"));
            QVERIFY(!window->IsBusy);
        }
    }

    // The link line opens only web addresses, else the maker's page, and hides the window; the
    // tray acts only while the window is hidden. A click alone restores too: some notification
    // areas never report a double click.
    void linkLineAndTray() {
        setting(QStringLiteral("AutoUpdate"), QStringLiteral("0"));
        auto window = makeWindow();
        window->show();
        QTest::qWait(20);
        TrayActivated(*window, QSystemTrayIcon::DoubleClick);
        TrayActivated(*window, QSystemTrayIcon::Context);
        QVERIFY(fx->desktop.popups.isEmpty());
        const std::pair<const char*, bool> links[] = {{"", false},
                                                      {"h", false},
                                                      {"/usr/bin/xterm", false},
                                                      {"file:///bin/sh", false},
                                                      {"javascript:alert(1)", false},
                                                      {"https://dl.example.net/v2.zip", true},
                                                      {"http://dl.example.net/v2.zip", true}};
        for (const auto& [link, opens] : links) {
            window->UpdateUrl = link;
            QTest::mouseClick(window->Label1(1), Qt::LeftButton);
            QCOMPARE(fx->desktop.opened.last().target, opens ? link : fx->service.baseUrl());
            QTRY_VERIFY(window->isHidden());
            TrayActivated(*window, QSystemTrayIcon::MiddleClick);
            QVERIFY(window->isHidden());
            TrayActivated(*window, QSystemTrayIcon::Context);
            QCOMPARE(fx->desktop.popups.last(), window->MenuFile2());
            TrayActivated(*window, opens ? QSystemTrayIcon::Trigger : QSystemTrayIcon::DoubleClick);
            QVERIFY(!window->isHidden() && !window->isMinimized());
        }
        QCOMPARE(fx->desktop.opened.size(), int(std::size(links)));
        QCOMPARE(fx->desktop.endCount, 0);
    }

    // Only a long address is shortened.
    void trayTipFitsThePlatformField() {
        const QString head = QStringLiteral("Valdane  V1.3 Beta\r\n");
        for (const QString address :
             {"http://127.0.0.1:8936",
              "http://statistics.a-rather-long-host-name.example.net:8080"}) {
            const QString shown = TrayTipText(head + address);
            QVERIFY(ToGbk(shown).size() <= 63);
            QCOMPARE(shown == head + address, address.size() < 30);
            QVERIFY(shown.startsWith(head));
        }
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"

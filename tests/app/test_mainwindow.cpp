#include "app/mainwindow.h"
#include "app/modmin.h"
#include "controls/ctlbutton.h"
#include "controls/ctlframe.h"
#include "fixture.h"
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
        return std::make_unique<MainWindow>(fx->dir.path(), args);
    }
    int requestsFor(const QString& page) const {
        int n = 0;
        for (const QString& r : fx->service.requests())
            n += r.contains(QLatin1Char('/') + page + QLatin1Char('?'));
        return n;
    }

  private slots:
    void init() {
        fx = std::make_unique<DesktopFixture>(3s);
        qputenv("TEMP", fx->dir.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", xdgFolder.filePath("config").toUtf8());
        qputenv("XDG_DATA_HOME", xdgFolder.filePath("data").toUtf8());
        // An existing Config.ini keeps the files beside the program.
        PutContent(config(), "");
        fx->service.setPayload(QStringLiteral("sites.asp"), QStringLiteral("1|2|3|4|5|6|7"));
        fx->service.setPayload(QStringLiteral("links.asp"), QStringLiteral("7|6|5|4|3|2|1"));
        fx->service.setPayload(QStringLiteral("ranks.asp"), QStringLiteral("3|4"));
    }

    void cleanup() { fx.reset(); }

    // Without sites the settings panel comes first, else the overview with the stored list,
    // cleaned and written back. The files stay beside the program.
    void startPanel_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("list");
        QTest::addColumn<int>("panel");
        QTest::newRow("no sites") << QString() << QString() << 6;
        QTest::newRow("sites") << QString("http://a.com；http://b.com;a.com")
                               << QString("a.com;b.com") << 0;
    }
    void startPanel() {
        QFETCH(QString, stored);
        QFETCH(QString, list);
        QFETCH(int, panel);
        setting(QStringLiteral("SeoUrl"), stored);
        auto window = makeWindow();
        window->Load();
        QCOMPARE(window->ConfigPath, config());
        QCOMPARE(window->LogPath, fx->path(QStringLiteral("SeoLog.htm")));
        QCOMPARE(ReadIni("Info", "MyUrl", config()), fx->service.baseUrl());
        QCOMPARE(readSetting(QStringLiteral("SeoUrl")), list);
        QCOMPARE(window->SiteList, list);
        QCOMPARE(window->CurrentPanel, panel);
        QVERIFY(!window->Frame(panel)->isHidden() && window->Frame(6 - panel)->isHidden());
        QCOMPARE(window->CmdMenu2(1)->Enable(), !list.isEmpty());
        QCOMPARE(window->ListView1(0)->topLevelItemCount(), list.isEmpty() ? 0 : 2);
        QVERIFY(TrayPresent());
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
        QTRY_COMPARE(fx->desktop.boxes.size(), 1);
        QVERIFY(fx->desktop.boxes[0].text.contains(QDir::toNativeSeparators(window->ConfigPath)));
        QCOMPARE(fx->desktop.boxes[0].title, QStringLiteral("提示"));
        window->SiteList = QStringLiteral("a.com");
        window->tracking().UpdateSites(QStringLiteral("All"));
        window->tracking().UpdateSites(QStringLiteral("All"));
        QCOMPARE(requestsFor(QStringLiteral("sites.asp")), 2);
        QCOMPARE(window->ListView1(0)->topLevelItemCount(), 1);
        QCOMPARE(fx->desktop.boxes.size(), 1);
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
        fx->desktop.tray = tray;
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

    void activation_data() {
        QTest::addColumn<QString>("autoGain");
        QTest::addColumn<QString>("autoUpdate");
        QTest::addColumn<int>("siteRequests");
        const auto row = [](const char* name, const char* gain, const char* update, int sites) {
            QTest::newRow(name) << QString(gain) << QString(update) << sites;
        };
        row("refresh on", "1", "0", 2);
        row("refresh off", "0", "0", 0);
        row("refresh other", "true", "0", 0);
        row("update check", "0", "1", 0);
    }
    void activation() {
        QFETCH(QString, autoGain);
        QFETCH(QString, autoUpdate);
        QFETCH(int, siteRequests);
        setting(QStringLiteral("SeoUrl"), QStringLiteral("a.com;b.com"));
        setting(QStringLiteral("AutoUpdate"), autoUpdate);
        setting(QStringLiteral("AutoGain"), autoGain);
        auto window = makeWindow();
        window->Load();
        window->show();
        QTRY_COMPARE(requestsFor(QStringLiteral("sites.asp")), siteRequests);
        QTest::qWait(50);
        QTRY_VERIFY(!window->IsBusy);
        QCOMPARE(requestsFor(QStringLiteral("sites.asp")), siteRequests);
        QCOMPARE(requestsFor(QStringLiteral("Update.txt")), autoUpdate.toInt());
        QCOMPARE(window->Timer1(3)->isActive(), siteRequests > 0);
        if (siteRequests)
            QCOMPARE(ReadIni(QStringLiteral("b.com"), QStringLiteral("Url_pr"), config()),
                     QStringLiteral("3,4"));
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
        fx->service.setDelay(QStringLiteral("sites.asp"), 300);
        auto window = makeWindow();
        window->Load();
        WriteTextFile(window->TempPath, QStringLiteral("[ConFig]"));
        QVERIFY(QFile::exists(window->TempPath));
        fx->desktop.nextAnswer =
            confirm ? DesktopServices::Answer::Ok : DesktopServices::Answer::Cancel;

        bool closedInside = false;
        QTimer::singleShot(100, window.get(), [&] {
            QVERIFY(window->IsBusy);
            closedInside = mayAsk ? window->close() : window->CloseRequest(false);
        });
        window->tracking().UpdateSites(QStringLiteral("All"));

        QCOMPARE(fx->desktop.boxes.size(), mayAsk ? 1 : 0);
        if (mayAsk) {
            QCOMPARE(fx->desktop.boxes[0].text, QStringLiteral("正在获取数据，确定要退出？ \r\n"));
            QCOMPARE(fx->desktop.boxes[0].title, QStringLiteral("Valdane提示"));
            QCOMPARE(fx->desktop.boxes[0].buttons, DesktopServices::Buttons::OkCancel);
        }
        QCOMPARE(closedInside, confirm);
        QCOMPARE(fx->desktop.endCount, confirm ? 1 : 0);
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
        QVERIFY(fx->desktop.boxes.isEmpty());
        QCOMPARE(fx->desktop.endCount, 1);
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
        QVERIFY(fx->desktop.popups.isEmpty());

        window->setWindowState(Qt::WindowMinimized);
        QTRY_VERIFY(window->isHidden());
        TrayActivated(*window, QSystemTrayIcon::MiddleClick);
        QVERIFY(window->isHidden());
        TrayActivated(*window, QSystemTrayIcon::Context);
        QCOMPARE(fx->desktop.popups.size(), 1);
        QCOMPARE(fx->desktop.popups[0], window->MenuFile2());
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
        QCOMPARE(fx->desktop.endCount, 0);
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
        QCOMPARE(fx->desktop.opened.size(), 1);
        QCOMPARE(fx->desktop.opened[0].target, opensUpdateUrl ? updateUrl : fx->service.baseUrl());
        QCOMPARE(fx->desktop.opened[0].showCommand, DesktopServices::ShowShow);
        QTRY_VERIFY(window->isHidden());
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

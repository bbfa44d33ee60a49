#include "app/mainwindow.h"
#include "app/modmin.h"
#include "controls/ctlbutton.h"
#include "controls/ctlframe.h"
#include "fixture.h"
#include "storage/charset.h"
#include "storage/inifile.h"
#include "tracking/sitetracking.h"

#include <QDir>
#include <QLabel>
#include <QMenu>
#include <QTimer>
#include <QTreeWidget>

using namespace std::chrono_literals;
using Answer = DesktopServices::Answer;

namespace {

// sites and update: as stored, a blank, as written back; window: hidden, minimised or shown.
struct Start {
    const char *name, *sites, *update, *gain, *window;
    QStringList args;
    bool tray;
};
// how: close, menu or signal.
struct Close {
    const char *name, *how;
    bool busy, ends;
    Answer answer;
};
struct ShowCounter : QObject {
    bool eventFilter(QObject*, QEvent* event) override {
        shows += event->type() == QEvent::Show;
        return false;
    }
    int shows = 0;
};

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT
    QTemporaryDir xdgFolder;
    std::unique_ptr<DesktopFixture> fx;
    QString config() const { return fx->path("Config.ini"); }
    void setting(const QString& key, const QString& value) {
        WriteIni("Setting", key, value, config());
    }
    QString readSetting(const QString& key) const { return ReadIni("Setting", key, config()); }
    std::unique_ptr<MainWindow> makeWindow(const QStringList& args = {}) {
        auto window = std::make_unique<MainWindow>(fx->dir.path(), args);
        window->Load();
        return window;
    }
    int requestsFor(const QString& page) const {
        return fx->service.requests().filter('/' + page + '?').size();
    }

  private slots:
    void init() {
        fx = std::make_unique<DesktopFixture>(3s);
        qputenv("TEMP", fx->dir.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", xdgFolder.filePath("config").toUtf8());
        qputenv("XDG_DATA_HOME", xdgFolder.filePath("data").toUtf8());
        // The scratch file lives in the runtime folder, which other tests' programs also clean.
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(xdgFolder.path()));
        PutContent(config(), ""); // an existing Config.ini keeps the files beside the program
        fx->service.setPayload("sites.asp", "1|2|3|4|5|6|7");
        fx->service.setPayload("links.asp", "7|6|5|4|3|2|1");
        fx->service.setPayload("ranks.asp", "3|4");
    }
    void cleanup() { fx.reset(); }
    // No sites: the settings panel first, else the list, cleaned and written back; an update switch
    // not "0" is "1". "-Min" alone hides the window if a tray can restore it; AutoGain "1"
    // refreshes.
    void start_data() {
        const char* cleaned = "http://a.com；http://b.com;a.com a.com;b.com";
        addRows<Start>({
            {"no sites", "", "2 1", "0", "shown", {}, true},
            {"refresh on", cleaned, "0 0", "1", "shown", {}, true},
            {"update on", cleaned, "yes 1", "0", "shown", {}, true},
            {"refresh other", cleaned, "0 0", "true", "shown", {}, true},
            {"-Min", "", "0 0", "0", "hidden", {"-Min"}, true},
            {"-min", "", "0 0", "0", "shown", {"-min"}, true},
            {"trailing blank", "", "0 0", "0", "shown", {"-Min "}, true},
            {"two arguments", "", "0 0", "0", "shown", {"-Min", "x"}, true},
            {"-Min without tray", "", "0 0", "0", "minimised", {"-Min"}, false},
        });
    }
    void start() {
        QFETCH(Start, row);
        const QString sites(row.sites), update(row.update), list = sites.section(' ', 1);
        setting("SeoUrl", sites.section(' ', 0, 0));
        setting("AutoUpdate", update.section(' ', 0, 0));
        setting("AutoGain", row.gain);
        fx->desktop.tray = row.tray;
        auto win = makeWindow(row.args);
        const bool none = list.isEmpty();
        QCOMPARE(
            QStringList({win->ConfigPath, win->LogPath, readSetting("AutoUpdate"),
                         readSetting("SeoUrl"), win->SiteList}),
            QStringList({config(), fx->path("SeoLog.htm"), update.section(' ', 1), list, list}));
        QCOMPARE(std::tuple(win->CurrentPanel, win->Frame(0)->isHidden(), win->Frame(6)->isHidden(),
                            win->CmdMenu2(1)->Enable(), win->ListView1(0)->topLevelItemCount()),
                 std::tuple(none ? 6 : 0, none, !none, !none, none ? 0 : 2));
        ShowCounter counter;
        win->installEventFilter(&counter);
        win->Start();
        const bool refresh = QString(row.gain) == "1";
        QTRY_COMPARE(requestsFor("sites.asp"), refresh ? 2 : 0);
        QTest::qWait(100);
        QTRY_VERIFY(!win->IsBusy);
        QCOMPARE(std::tuple(requestsFor("sites.asp"), requestsFor("Update.txt"),
                            win->Timer1(3)->isActive(), ReadIni("b.com", "Url_pr", config())),
                 std::tuple(refresh ? 2 : 0, update.endsWith('1') ? 1 : 0, refresh,
                            QString(refresh ? "3,4" : "")));
        // A window hidden from the start was never mapped, so one restore brings it back.
        const QString window(row.window);
        QCOMPARE(std::tuple(win->isHidden(), win->isMinimized(), counter.shows == 0, TrayPresent()),
                 std::tuple(window == "hidden", window != "shown", window == "hidden", true));
        win->MenuShow()->trigger();
        QVERIFY(win->isVisible() && !win->isMinimized());
    }
    // A Config.ini that cannot be written is told once per run; the refresh and lists go on.
    void unwritableConfigIsToldOnce() {
        QFile::remove(config());
        PutContent(xdgFolder.filePath("file"), "");
        qputenv("XDG_CONFIG_HOME", xdgFolder.filePath("file").toUtf8());
        auto window = makeWindow();
        window->show();
        QTRY_COMPARE(fx->desktop.boxes.size(), 1);
        QVERIFY(fx->desktop.boxes[0].text.contains(QDir::toNativeSeparators(window->ConfigPath)));
        window->SiteList = "a.com";
        window->tracking().UpdateSites("All");
        window->tracking().UpdateSites("All");
        QCOMPARE(std::tuple(requestsFor("sites.asp"), window->ListView1(0)->topLevelItemCount(),
                            fx->desktop.boxes.size()),
                 std::tuple(2, 1, qsizetype(1)));
    }
    // A busy close asks unless a signal or the session forbids questions; staying lets it finish.
    void closeRequest_data() {
        addRows<Close>({
            {"cancel", "close", true, false, Answer::Cancel},
            {"ok", "menu", true, true, Answer::Ok},
            {"nobody to ask", "signal", true, true, Answer::Cancel},
            {"idle", "close", false, true, Answer::Cancel},
        });
    }
    void closeRequest() {
        QFETCH(Close, row);
        const QString how(row.how);
        setting("SeoUrl", "a.com");
        fx->service.setDelay("sites.asp", 300);
        auto window = makeWindow();
        QVERIFY(WriteTextFile(window->TempPath, "[ConFig]"));
        fx->desktop.nextAnswer = row.answer;
        const auto closeNow = [&] {
            QCOMPARE(window->IsBusy, row.busy);
            if (how == "close")
                QCOMPARE(window->close(), row.ends);
            else if (how == "menu")
                window->MenuQuit()->trigger();
            else
                QCOMPARE(window->CloseRequest(false), row.ends);
        };
        if (row.busy) {
            QTimer::singleShot(0, window.get(), closeNow); // runs at the refresh's first wait
            window->tracking().UpdateSites("All");
        } else {
            closeNow();
        }
        QCOMPARE(Each([](const FakeDesktop::Box& box) { return box.buttons; }, fx->desktop.boxes),
                 QList<DesktopServices::Buttons>(row.busy && how != "signal" ? 1 : 0,
                                                 DesktopServices::Buttons::OkCancel));
        QCOMPARE(std::tuple(fx->desktop.endCount, QFile::exists(window->TempPath),
                            readSetting("SViewWidth").isEmpty(), TrayPresent(), window->IsBusy),
                 std::tuple(int(row.ends), !row.ends, !row.ends, !row.ends, false));
        if (!row.ends)
            QCOMPARE(ReadIni("a.com", "Url_site", config()), "1,2,3,4,5,6,7");
    }
    // The link line opens only web addresses, else the maker's page, and hides the window; the tray
    // acts only while it is hidden, a click restores too (some trays never report double clicks).
    void linkLineAndTray() {
        setting("AutoUpdate", "0");
        auto window = makeWindow();
        window->show();
        QTest::qWait(20);
        TrayActivated(*window, QSystemTrayIcon::DoubleClick);
        TrayActivated(*window, QSystemTrayIcon::Context);
        QVERIFY(fx->desktop.popups.isEmpty());
        const QStringList links =
            QString("|h|/usr/bin/xterm|file:///bin/sh|javascript:alert(1)|"
                    "https://dl.example.net/v2.zip|http://dl.example.net/v2.zip")
                .split('|');
        for (const QString& link : links) {
            const bool opens = link.startsWith("http");
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
        QCOMPARE(std::pair(fx->desktop.opened.size(), fx->desktop.endCount),
                 std::pair(links.size(), 0));
        // The tip fits the platform's field; only a long address is shortened.
        const QString head = QStringLiteral("Valdane  V1.3 Beta\r\n");
        for (const QString address :
             {"http://127.0.0.1:8936",
              "http://statistics.a-rather-long-host-name.example.net:8080"}) {
            const QString shown = TrayTipText(head + address);
            QVERIFY(ToGbk(shown).size() <= 63 && shown.startsWith(head));
            QCOMPARE(shown == head + address, address.size() < 30);
        }
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"

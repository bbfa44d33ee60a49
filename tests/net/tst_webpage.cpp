#include "fakequeryservice.h"
#include "net/webpage.h"
#include "storage/texthelpers.h"

#include <QSignalSpy>
#include <QTest>

class TestWebPage : public QObject {
    Q_OBJECT

  private slots:
    void init();
    void cleanup() { m_service.stop(); }
    void loadReportsStartAndEnd_data();
    void loadReportsStartAndEnd();
    void navigateDoesNotWait();
    void refresh();
    void newLoadReplacesRunningOne();
    void statusHandlerPumpingEvents();
    void destroyedWhileLoading();

  private:
    QString url(const QString& page) const { return m_service.baseUrl() + "/" + page; }

    FakeQueryService m_service;
};

void TestWebPage::init() {
    m_service.clearPages();
    m_service.clearRequests();
    QVERIFY(m_service.start());
    m_service.setRaw("index.htm", "<html>home</html>");
    m_service.setBehaviour("drop.htm", FakeQueryService::Behaviour::Drop);
    m_service.setBehaviour("silent.htm", FakeQueryService::Behaviour::NoAnswer);
}

// Error pages are shown like any page; only a load without an HTTP answer fails.
void TestWebPage::loadReportsStartAndEnd_data() {
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("endText");
    QTest::newRow("page") << QString("index.htm") << QString("完成");
    QTest::newRow("missing page") << QString("missing.htm") << QString("完成");
    QTest::newRow("dropped") << QString("drop.htm") << QString("无法显示网页");
    QTest::newRow("unresolvable host")
        << QString("http://nonexistent.invalid/") << QString("无法显示网页");
    QTest::newRow("not an address") << QString() << QString("无法显示网页");
}

void TestWebPage::loadReportsStartAndEnd() {
    QFETCH(QString, address);
    QFETCH(QString, endText);
    const QString full = address.contains("://") || address.isEmpty() ? address : url(address);

    WebPage page;
    QSignalSpy status(&page, &WebPage::StatusTextChange);
    page.Navigate(full);
    QCOMPARE(page.LocationUrl(), full);
    QTRY_COMPARE(page.loadsFinished(), 1);
    QCOMPARE(status.size(), 2);
    QCOMPARE(status.at(0).at(0).toString(), "正在打开网页 " + full);
    QCOMPARE(status.at(1).at(0).toString(), endText);
}

void TestWebPage::navigateDoesNotWait() {
    m_service.setDelay("index.htm", 300);
    WebPage page;
    page.Navigate(url("index.htm"));
    QTRY_COMPARE(m_service.requests().size(), 1);
    QCOMPARE(page.loadsFinished(), 0);
    QTRY_COMPARE(page.loadsFinished(), 1);
}

void TestWebPage::refresh() {
    WebPage page;
    QSignalSpy status(&page, &WebPage::StatusTextChange);
    page.Refresh(); // no address yet: nothing to load
    QCOMPARE(status.size(), 0);

    page.Navigate(url("index.htm"));
    QTRY_COMPARE(page.loadsFinished(), 1);
    page.Refresh();
    QTRY_COMPARE(page.loadsFinished(), 2);
    QCOMPARE(m_service.requests(), QStringList({"/index.htm", "/index.htm"}));
}

void TestWebPage::newLoadReplacesRunningOne() {
    WebPage page;
    QSignalSpy status(&page, &WebPage::StatusTextChange);
    page.Navigate(url("silent.htm"));
    QTRY_COMPARE(m_service.openConnections(), 1);
    page.Navigate(url("index.htm"));
    QTRY_COMPARE(page.loadsFinished(), 1);
    QCOMPARE(page.LocationUrl(), url("index.htm"));
    // The abandoned load is closed and reports nothing.
    QTRY_COMPARE(m_service.openConnections(), 0);
    QCOMPARE(status.size(), 3);
    QCOMPARE(status.last().at(0).toString(), QString("完成"));
}

// The window's handler lets queued events run; a reload requested from inside it must neither
// be lost nor counted twice.
void TestWebPage::statusHandlerPumpingEvents() {
    WebPage page;
    int reloads = 0;
    connect(&page, &WebPage::StatusTextChange, &page, [&](const QString& text) {
        PumpEvents();
        if (text == "完成" && reloads++ == 0)
            page.Refresh();
    });
    page.Navigate(url("index.htm"));
    QTRY_COMPARE(page.loadsFinished(), 2);
    QTest::qWait(50);
    QCOMPARE(page.loadsFinished(), 2);
    QCOMPARE(m_service.requests().size(), 2);
}

void TestWebPage::destroyedWhileLoading() {
    {
        WebPage page;
        page.Navigate(url("silent.htm"));
        QTRY_COMPARE(m_service.openConnections(), 1);
    }
    QTRY_COMPARE(m_service.openConnections(), 0);
}

QTEST_GUILESS_MAIN(TestWebPage)
#include "tst_webpage.moc"

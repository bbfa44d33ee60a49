#include "fakequeryservice.h"
#include "net/httpget.h"
#include "storage/charset.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace std::chrono_literals;
using Behaviour = FakeQueryService::Behaviour;

class TestHttpGet : public QObject {
    Q_OBJECT

  private slots:
    void init();
    void cleanup() { m_service.stop(); }
    void results_data();
    void results();
    void failsWithoutRequest_data();
    void failsWithoutRequest();
    void bodySizeBoundary_data();
    void bodySizeBoundary();
    void invalidGbkBytes();
    void localFiles();
    void nestedCall_data();
    void nestedCall();
    void quittingApplicationEndsWait();

  private:
    QString url(const QString& page) const { return m_service.baseUrl() + "/x/" + page; }

    FakeQueryService m_service;
};

void TestHttpGet::init() {
    m_service.clearPages();
    m_service.clearRequests();
    QVERIFY(m_service.start());
    SetHttpGetTimeLimit(10s);
    m_service.setRaw("error.asp", ToGbk("<p>服务器错误</p>"), 500);
    m_service.setPayload("sites.asp", "百度|谷歌");
    m_service.setRaw("empty.asp", QByteArray());
    m_service.setRaw("new.asp", ToGbk("<b>新地址</b>"));
    m_service.setRedirect("old.asp", url("new.asp"));
    m_service.setRedirect("loop.asp", "/x/loop.asp", 301);
    m_service.setBehaviour("drop.asp", Behaviour::Drop);
    m_service.setBehaviour("endless.asp", Behaviour::EndlessBody);
    m_service.setBehaviour("silent.asp", Behaviour::NoAnswer);
    m_service.setBehaviour("stall.asp", Behaviour::HeadersThenStall);
    m_service.setRaw("late.asp", "late");
    m_service.setDelay("late.asp", 1500);
    m_service.setRedirect("slow.asp", "/x/new.asp", 307);
    m_service.setDelay("slow.asp", 200);
}

// Error pages keep their body, failures give "0" at once, time-outs give "" after the limit.
void TestHttpGet::results_data() {
    QTest::addColumn<QString>("page");
    QTest::addColumn<int>("limitMs");
    QTest::addColumn<QString>("expected");
    const struct {
        const char *name, *page;
        int limitMs;
        const char* expected;
    } rows[] = {
        {"404 keeps its body", "missing.asp", 10000,
         "<html><body><h1>404 Not Found</h1></body></html>"},
        {"500 keeps its body", "error.asp", 10000, "<p>服务器错误</p>"},
        {"GBK body", "sites.asp", 10000,
         "<html><head><title>query</title></head><body>\r\n"
         "<!-- start -->百度|谷歌<!-- end -->\r\n</body></html>"},
        {"empty body", "empty.asp", 10000, ""},
        {"redirect followed", "old.asp", 10000, "<b>新地址</b>"},
        {"redirect loop", "loop.asp", 10000, "0"},
        {"dropped connection", "drop.asp", 10000, "0"},
        {"endless body", "endless.asp", 60000, "0"},
        {"never answers", "silent.asp", 300, ""},
        {"headers then stall", "stall.asp", 300, ""},
        {"answer after the limit", "late.asp", 300, ""},
        {"answer before the limit", "slow.asp", 3000, "<b>新地址</b>"},
    };
    for (const auto& r : rows)
        QTest::newRow(r.name) << QString(r.page) << r.limitMs << QString::fromUtf8(r.expected);
}

void TestHttpGet::results() {
    QFETCH(QString, page);
    QFETCH(int, limitMs);
    QFETCH(QString, expected);
    SetHttpGetTimeLimit(std::chrono::milliseconds(limitMs));

    QElapsedTimer clock;
    clock.start();
    QCOMPARE(HttpGet(url(page), "gb2312"), expected);
    if (limitMs >= 10000)
        QVERIFY2(clock.elapsed() < 8000, qPrintable(QString::number(clock.elapsed())));
    else if (expected.isEmpty()) {
        QVERIFY(clock.elapsed() >= limitMs);
        QTRY_COMPARE(m_service.openConnections(), 0); // the abandoned request is closed
    }
}

void TestHttpGet::failsWithoutRequest_data() {
    QTcpServer probe; // a port on which nothing listens
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 closedPort = probe.serverPort();
    probe.close();

    QTest::addColumn<QString>("address");
    QTest::newRow("refused port") << QString("http://127.0.0.1:%1/x/sites.asp").arg(closedPort);
    QTest::newRow("unresolvable host") << QString("http://nonexistent.invalid/");
    QTest::newRow("host without a name") << QString("http:///x/sites.asp");
    QTest::newRow("no host") << QString("http://");
    QTest::newRow("ftp") << QString("ftp://127.0.0.1/x");
    QTest::newRow("relative path") << QString("relative/file.htm");
    QTest::newRow("empty") << QString();
}

void TestHttpGet::failsWithoutRequest() {
    QFETCH(QString, address);
    QCOMPARE(HttpGet(address, "gb2312"), QString("0"));
    QCOMPARE(m_service.requests().size(), 0);
}

void TestHttpGet::bodySizeBoundary_data() {
    QTest::addColumn<qint64>("size");
    QTest::newRow("exactly 16 MiB") << kHttpGetMaxBody;
    QTest::newRow("one byte over") << kHttpGetMaxBody + 1;
}

void TestHttpGet::bodySizeBoundary() {
    QFETCH(qint64, size);
    m_service.setRaw("big.asp", QByteArray(size, 'a'));
    QCOMPARE(HttpGet(url("big.asp"), "gb2312"),
             size > kHttpGetMaxBody ? QString("0") : QString(size, 'a'));
}

void TestHttpGet::invalidGbkBytes() {
    m_service.setRaw("bad.asp", QByteArray("<!-- start -->a\x81\x20"
                                           "b<!-- end -->\xfe"));
    const QString text = HttpGet(url("bad.asp"), "gb2312");
    QVERIFY(text.startsWith("<!-- start -->a"));
    QVERIFY(text.contains(QChar(QChar::ReplacementCharacter)));
    QVERIFY(text.contains("b<!-- end -->"));
}

void TestHttpGet::localFiles() {
    QTemporaryDir dir;
    const QString path = dir.filePath("报告.htm");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(ToGbk("<table>收录</table>\r\n"));
    file.close();

    QCOMPARE(HttpGet(path, "gb2312"), QString("<table>收录</table>\r\n"));
    QCOMPARE(HttpGet(QUrl::fromLocalFile(path).toString(), "gb2312"),
             QString("<table>收录</table>\r\n"));
    QCOMPARE(HttpGet(dir.filePath("missing.htm"), "gb2312"), QString("0"));
    QCOMPARE(HttpGet(dir.path(), "gb2312"), QString("0"));
}

// A call made from a timer while another call waits; the outer answer may arrive first and must
// then be neither lost nor taken for a time-out.
void TestHttpGet::nestedCall_data() {
    QTest::addColumn<int>("outerDelay");
    QTest::addColumn<int>("innerDelay");
    QTest::newRow("inner answers first") << 600 << 100;
    QTest::newRow("outer answers during the inner wait") << 100 << 700;
}

void TestHttpGet::nestedCall() {
    QFETCH(int, outerDelay);
    QFETCH(int, innerDelay);
    m_service.setRaw("outer.asp", "outer");
    m_service.setDelay("outer.asp", outerDelay);
    m_service.setRaw("inner.asp", "inner");
    m_service.setDelay("inner.asp", innerDelay);
    SetHttpGetTimeLimit(1000ms);

    QString inner;
    QTimer::singleShot(20, this, [&] { inner = HttpGet(url("inner.asp"), "gb2312"); });
    QCOMPARE(HttpGet(url("outer.asp"), "gb2312"), QString("outer"));
    QCOMPARE(inner, QString("inner"));
}

// Last: once the application is told to quit, every event loop of the process returns at once.
void TestHttpGet::quittingApplicationEndsWait() {
    SetHttpGetTimeLimit(5s);
    QTimer::singleShot(100, this, [] { QCoreApplication::exit(0); });
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(HttpGet(url("silent.asp"), "gb2312"), QString());
    QVERIFY2(clock.elapsed() < 4000, "the wait went on after the application quit");
}

QTEST_GUILESS_MAIN(TestHttpGet)
#include "tst_httpget.moc"

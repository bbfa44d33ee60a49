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

namespace {

const QString kNotFoundBody = QStringLiteral("<html><body><h1>404 Not Found</h1></body></html>");

// A port on which nothing listens.
quint16 ClosedPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

} // namespace

class TestHttpGet : public QObject {
    Q_OBJECT

  private slots:
    void init();
    void cleanup();
    void results_data();
    void results();
    void unreachable_data();
    void unreachable();
    void bodySizeBoundary_data();
    void bodySizeBoundary();
    void timeLimitAbortsRequest();
    void invalidGbkBytes();
    void localFiles();
    void nestedCallInsideWait();
    void outerAnswerArrivesDuringNestedCall();
    void quittingApplicationEndsWait();

  private:
    QString url(const QString& page) const { return m_service.baseUrl() + "/x/" + page; }

    FakeQueryService m_service;
};

void TestHttpGet::init() {
    QVERIFY(m_service.start());
    SetHttpGetTimeLimit(10s);
}

void TestHttpGet::cleanup() {
    m_service.stop();
    m_service.clearPages();
    m_service.clearRequests();
}

void TestHttpGet::results_data() {
    QTest::addColumn<QString>("page");
    QTest::addColumn<int>("limitMs");
    QTest::addColumn<QString>("expected");

    QTest::newRow("404 keeps its body") << "missing.asp" << 10000 << kNotFoundBody;
    QTest::newRow("500 keeps its body") << "error.asp" << 10000 << "<p>服务器错误</p>";
    QTest::newRow("GBK Chinese body") << "sites.asp" << 10000
                                      << "<html><head><title>query</title></head><body>\r\n"
                                         "<!-- start -->百度|谷歌<!-- end -->\r\n</body></html>";
    QTest::newRow("empty body") << "empty.asp" << 10000 << "";
    QTest::newRow("redirect followed") << "old.asp" << 10000 << "<b>新地址</b>";
    QTest::newRow("redirect loop") << "loop.asp" << 10000 << "0";
    QTest::newRow("dropped connection") << "drop.asp" << 10000 << "0";
    QTest::newRow("endless body") << "endless.asp" << 60000 << "0";
    QTest::newRow("never answers") << "silent.asp" << 300 << "";
    QTest::newRow("headers then stall") << "stall.asp" << 300 << "";
    QTest::newRow("answer after the limit") << "late.asp" << 300 << "";
    QTest::newRow("answer before the limit") << "slow.asp" << 3000 << "<b>新地址</b>";
}

void TestHttpGet::results() {
    QFETCH(QString, page);
    QFETCH(int, limitMs);
    QFETCH(QString, expected);

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
    SetHttpGetTimeLimit(std::chrono::milliseconds(limitMs));

    QElapsedTimer clock;
    clock.start();
    QCOMPARE(HttpGet(url(page), "gb2312"), expected);
    // Failures end on their own, well before the limit.
    if (limitMs >= 10000)
        QVERIFY2(clock.elapsed() < 8000, qPrintable(QString::number(clock.elapsed())));
    else if (expected.isEmpty())
        QVERIFY(clock.elapsed() >= limitMs);
}

void TestHttpGet::unreachable_data() {
    QTest::addColumn<QString>("address");
    QTest::newRow("refused port")
        << QStringLiteral("http://127.0.0.1:%1/x/sites.asp").arg(ClosedPort());
    QTest::newRow("unresolvable host") << "http://nonexistent.invalid/";
    QTest::newRow("host without a name") << "http:///x/sites.asp";
}

void TestHttpGet::unreachable() {
    QFETCH(QString, address);
    QCOMPARE(HttpGet(address, "gb2312"), QString("0"));
}

void TestHttpGet::bodySizeBoundary_data() {
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("exactly 16 MiB") << kHttpGetMaxBody << true;
    QTest::newRow("one byte over") << kHttpGetMaxBody + 1 << false;
    QTest::newRow("17 MiB") << kHttpGetMaxBody + 1024 * 1024 << false;
}

void TestHttpGet::bodySizeBoundary() {
    QFETCH(qint64, size);
    QFETCH(bool, accepted);
    m_service.setRaw("big.asp", QByteArray(size, 'a'));
    const QString result = HttpGet(url("big.asp"), "gb2312");
    if (accepted)
        QCOMPARE(result.size(), size);
    else
        QCOMPARE(result, QString("0"));
}

void TestHttpGet::timeLimitAbortsRequest() {
    m_service.setBehaviour("silent.asp", Behaviour::NoAnswer);
    SetHttpGetTimeLimit(200ms);
    QCOMPARE(HttpGet(url("silent.asp"), "gb2312"), QString());
    // The abandoned request does not linger: its connection is closed.
    QTRY_COMPARE(m_service.openConnections(), 0);
    QCOMPARE(m_service.requests().size(), 1);
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
    QVERIFY(dir.isValid());
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
    // Addresses that are neither a full path nor a web address fail instead of guessing.
    for (const QString& address : {QString(), QString("relative/file.htm"),
                                   QString("ftp://127.0.0.1/x"), QString("http://")})
        QCOMPARE(HttpGet(address, "gb2312"), QString("0"));
}

void TestHttpGet::nestedCallInsideWait() {
    m_service.setRaw("outer.asp", "outer");
    m_service.setDelay("outer.asp", 600);
    m_service.setRaw("inner.asp", "inner");
    m_service.setDelay("inner.asp", 100);

    QString inner;
    bool innerDoneBeforeOuter = false;
    QTimer::singleShot(50, this, [&] { inner = HttpGet(url("inner.asp"), "gb2312"); });
    const QString outer = HttpGet(url("outer.asp"), "gb2312");
    innerDoneBeforeOuter = !inner.isEmpty();
    QCOMPARE(outer, QString("outer"));
    QCOMPARE(inner, QString("inner"));
    QVERIFY(innerDoneBeforeOuter);
}

void TestHttpGet::outerAnswerArrivesDuringNestedCall() {
    // The outer answer completes while the nested call still waits; it must not be lost or
    // mistaken for a time-out once the nested call returns.
    m_service.setRaw("outer.asp", "outer");
    m_service.setDelay("outer.asp", 100);
    m_service.setRaw("inner.asp", "inner");
    m_service.setDelay("inner.asp", 700);
    SetHttpGetTimeLimit(1000ms);

    QString inner;
    QTimer::singleShot(20, this, [&] { inner = HttpGet(url("inner.asp"), "gb2312"); });
    QCOMPARE(HttpGet(url("outer.asp"), "gb2312"), QString("outer"));
    QCOMPARE(inner, QString("inner"));
}

// Last: once the application is told to quit, every event loop of the process returns at once.
void TestHttpGet::quittingApplicationEndsWait() {
    m_service.setBehaviour("silent.asp", Behaviour::NoAnswer);
    SetHttpGetTimeLimit(5s);
    QTimer::singleShot(100, this, [] { QCoreApplication::exit(0); });
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(HttpGet(url("silent.asp"), "gb2312"), QString());
    QVERIFY2(clock.elapsed() < 4000, "the wait went on after the application quit");
}

QTEST_GUILESS_MAIN(TestHttpGet)
#include "tst_httpget.moc"

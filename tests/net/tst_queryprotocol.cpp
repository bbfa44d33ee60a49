#include "fakequeryservice.h"
#include "net/httpget.h"
#include "net/queryprotocol.h"
#include "storage/charset.h"

#include <QRegularExpression>
#include <QTest>

#include <limits>

using namespace std::chrono_literals;

class TestQueryProtocol : public QObject {
    Q_OBJECT

  private slots:
    void init();
    void cleanup();
    void makerUrl_data();
    void makerUrl();
    void keyAndUpdateFromDraw_data();
    void keyAndUpdateFromDraw();
    void freshDrawsStayInRange();
    void targetOnTheWire_data();
    void targetOnTheWire();
    void payload_data();
    void payload();

  private:
    FakeQueryService m_service;
};

void TestQueryProtocol::init() {
    m_service.clearPages();
    m_service.clearRequests();
    QVERIFY(m_service.start());
    SetHttpGetTimeLimit(10s);
    qputenv("VALDANE_MAKER_URL", "http://seo.example.org/");
}

void TestQueryProtocol::cleanup() {
    m_service.stop();
    qunsetenv("VALDANE_MAKER_URL");
}

void TestQueryProtocol::makerUrl_data() {
    QTest::addColumn<QByteArray>("variable");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("host");
    QTest::newRow("unset gives the build default")
        << QByteArray() << QString(VALDANE_DEFAULT_MAKER_URL)
        << QString(VALDANE_DEFAULT_MAKER_URL).remove("http://");
    QTest::newRow("one trailing slash dropped")
        << QByteArray("http://127.0.0.1:9/") << QString("http://127.0.0.1:9")
        << QString("127.0.0.1:9");
    QTest::newRow("only one slash dropped")
        << QByteArray("http://h.example//") << QString("http://h.example/")
        << QString("h.example/");
}

void TestQueryProtocol::makerUrl() {
    QFETCH(QByteArray, variable);
    QFETCH(QString, url);
    QFETCH(QString, host);
    qputenv("VALDANE_MAKER_URL", variable);
    QCOMPARE(MakerUrl(), url);
    QCOMPARE(MakerHost(), host);
}

// The key rounds half to even, the update number takes the whole part; draws outside [0, 1)
// are clamped.
void TestQueryProtocol::keyAndUpdateFromDraw_data() {
    QTest::addColumn<float>("x");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("tn");
    const float largest = 1.0f - 1.0f / 16777216.0f;
    QTest::newRow("smallest draw") << 0.0f << 1000000 << 1000000;
    QTest::newRow("largest draw") << largest << 10000000 << 10000000;
    QTest::newRow("exact half goes to even") << 0.5f << 5500000 << 5500000;
    QTest::newRow("one step above 0") << 1.0f / 16777216.0f << 1000001 << 1000000;
    QTest::newRow("three quarters") << 0.75f << 7750001 << 7750000;
    QTest::newRow("negative") << -0.5f << 1000000 << 1000000;
    QTest::newRow("one") << 1.0f << 10000000 << 10000000;
    QTest::newRow("NaN") << std::numeric_limits<float>::quiet_NaN() << 1000000 << 1000000;
}

void TestQueryProtocol::keyAndUpdateFromDraw() {
    QFETCH(float, x);
    QFETCH(int, key);
    QFETCH(int, tn);
    QCOMPARE(QueryKeyFromDraw(x), key);
    QCOMPARE(UpdateFileAddressFromDraw(x),
             "http://seo.example.org/Calvren/Rivelo/Update.txt?tn=" + QString::number(tn));
}

void TestQueryProtocol::freshDrawsStayInRange() {
    const QRegularExpression tnPattern(
        "^http://seo\\.example\\.org/Calvren/Rivelo/Update\\.txt\\?tn=([1-9][0-9]{6,7})$");
    for (int i = 0; i < 200; ++i) {
        const int key = QueryKey();
        QVERIFY2(key >= 1000000 && key <= 10000000, qPrintable(QString::number(key)));
        const auto match = tnPattern.match(UpdateFileAddress());
        QVERIFY(match.hasMatch());
        QVERIFY(match.captured(1).toLongLong() <= 10000000);
    }
}

// The whole address as the service receives it: "&", "?" and valid escapes pass unchanged,
// what HTTP cannot carry raw is encoded, and a "#" stays inside the target.
void TestQueryProtocol::targetOnTheWire_data() {
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("sent");
    const struct {
        const char *name, *target, *sent;
    } rows[] = {
        {"plain", "www.example.com", "www.example.com"},
        {"empty", "", ""},
        {"ampersand kept", "a.com&x=1", "a.com&x=1"},
        {"question mark kept", "a.com?q=1", "a.com?q=1"},
        {"space encoded", "a b.com", "a%20b.com"},
        {"hash stays in the query", "a.com#top", "a.com%23top"},
        {"Chinese as UTF-8", "中文.com", "%E4%B8%AD%E6%96%87.com"},
        {"valid escape kept", "a%20b.com", "a%20b.com"},
    };
    for (const auto& r : rows)
        QTest::newRow(r.name) << QString::fromUtf8(r.target) << QString(r.sent);
}

void TestQueryProtocol::targetOnTheWire() {
    QFETCH(QString, target);
    QFETCH(QString, sent);
    qputenv("VALDANE_MAKER_URL", m_service.baseUrl().toUtf8());
    m_service.setPayloadFor("sites.asp", target, "1|2|3|4|5|6|7");

    const QString payload = QueryPayload(QueryAddress("sites.asp", 7654321, target));

    QCOMPARE(m_service.requests(),
             QStringList("/Calvren/Rivelo/sites.asp?sFrom=127.0.0.1:" +
                         QString::number(m_service.port()) + "&Key=7654321&sUrl=" + sent));
    QCOMPARE(payload, QString("1|2|3|4|5|6|7"));
}

// A page without the markers, or no page at all, is no payload.
void TestQueryProtocol::payload_data() {
    QTest::addColumn<QString>("page");
    QTest::addColumn<QString>("body");
    QTest::addColumn<QString>("payload");
    const struct {
        const char *name, *page, *body, *payload;
    } rows[] = {
        {"GBK, not trimmed", "ranks.asp", "<!-- start --> 注册商 \r\n<!-- end -->", " 注册商 \r\n"},
        {"proxy error page", "ranks.asp", "<html>proxy error</html>", ""},
        {"markers differ in case", "ranks.asp", "<!-- START -->a<!-- END -->", ""},
        {"404 page", "none.asp", nullptr, ""},
        {"dropped connection", "drop.asp", nullptr, ""},
        {"time-out", "silent.asp", nullptr, ""},
    };
    for (const auto& r : rows)
        QTest::newRow(r.name) << QString(r.page) << QString::fromUtf8(r.body)
                              << QString::fromUtf8(r.payload);
}

void TestQueryProtocol::payload() {
    QFETCH(QString, page);
    QFETCH(QString, body);
    QFETCH(QString, payload);
    m_service.setRaw("ranks.asp", ToGbk(body));
    m_service.setBehaviour("drop.asp", FakeQueryService::Behaviour::Drop);
    m_service.setBehaviour("silent.asp", FakeQueryService::Behaviour::NoAnswer);
    SetHttpGetTimeLimit(page == "silent.asp" ? 200ms : 10s);
    QCOMPARE(QueryPayload(m_service.baseUrl() + "/Calvren/Rivelo/" + page + "?sUrl=a.com"),
             payload);
}

QTEST_GUILESS_MAIN(TestQueryProtocol)
#include "tst_queryprotocol.moc"

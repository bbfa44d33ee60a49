#include "fakequeryservice.h"
#include "net/httpget.h"
#include "net/queryprotocol.h"
#include "storage/charset.h"

#include <QRegularExpression>
#include <QTest>

#include <cmath>
#include <limits>

using namespace std::chrono_literals;

namespace {

constexpr float kLargestDraw = 1.0f - 1.0f / 16777216.0f;

// Restores the maker address variable when a test ends.
class MakerUrlOverride {
  public:
    explicit MakerUrlOverride(const QByteArray& value)
        : m_had(qEnvironmentVariableIsSet("VALDANE_MAKER_URL")),
          m_old(qgetenv("VALDANE_MAKER_URL")) {
        qputenv("VALDANE_MAKER_URL", value);
    }
    ~MakerUrlOverride() {
        if (m_had)
            qputenv("VALDANE_MAKER_URL", m_old);
        else
            qunsetenv("VALDANE_MAKER_URL");
    }

  private:
    bool m_had;
    QByteArray m_old;
};

} // namespace

class TestQueryProtocol : public QObject {
    Q_OBJECT

  private slots:
    void init();
    void cleanup();
    void makerUrl_data();
    void makerUrl();
    void keyFromDraw_data();
    void keyFromDraw();
    void updateAddressFromDraw_data();
    void updateAddressFromDraw();
    void freshDrawsStayInRange();
    void addressLayout();
    void targetOnTheWire_data();
    void targetOnTheWire();
    void payload_data();
    void payload();
    void payloadOfFailedFetch();

  private:
    FakeQueryService m_service;
};

void TestQueryProtocol::init() {
    QVERIFY(m_service.start());
    SetHttpGetTimeLimit(10s);
}

void TestQueryProtocol::cleanup() {
    m_service.stop();
    m_service.clearPages();
    m_service.clearRequests();
}

void TestQueryProtocol::makerUrl_data() {
    QTest::addColumn<QByteArray>("variable");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("host");
    QTest::newRow("unset gives the build default")
        << QByteArray() << VALDANE_DEFAULT_MAKER_URL
        << QString(VALDANE_DEFAULT_MAKER_URL).remove("http://");
    QTest::newRow("override") << QByteArray("http://seo.example.org") << "http://seo.example.org"
                              << "seo.example.org";
    QTest::newRow("one trailing slash dropped")
        << QByteArray("http://127.0.0.1:9/") << "http://127.0.0.1:9"
        << "127.0.0.1:9";
    QTest::newRow("only one slash dropped")
        << QByteArray("http://h.example//") << "http://h.example/"
        << "h.example/";
}

void TestQueryProtocol::makerUrl() {
    QFETCH(QByteArray, variable);
    QFETCH(QString, url);
    QFETCH(QString, host);
    MakerUrlOverride maker(variable);
    QCOMPARE(MakerUrl(), url);
    QCOMPARE(MakerHost(), host);
}

void TestQueryProtocol::keyFromDraw_data() {
    QTest::addColumn<float>("x");
    QTest::addColumn<int>("key");
    QTest::newRow("smallest draw") << 0.0f << 1000000;
    QTest::newRow("largest draw rounds down") << kLargestDraw << 10000000;
    QTest::newRow("exact half goes to even") << 0.5f << 5500000;
    QTest::newRow("one step above 0 rounds up") << 1.0f / 16777216.0f << 1000001;
    QTest::newRow("quarter rounds down") << 0.25f << 3250000;
    QTest::newRow("negative clamps to smallest") << -0.5f << 1000000;
    QTest::newRow("one clamps to largest") << 1.0f << 10000000;
    QTest::newRow("NaN gives smallest") << std::numeric_limits<float>::quiet_NaN() << 1000000;
}

void TestQueryProtocol::keyFromDraw() {
    QFETCH(float, x);
    QFETCH(int, key);
    QCOMPARE(QueryKeyFromDraw(x), key);
}

void TestQueryProtocol::updateAddressFromDraw_data() {
    QTest::addColumn<float>("x");
    QTest::addColumn<QString>("tn");
    QTest::newRow("smallest draw") << 0.0f << "1000000";
    QTest::newRow("largest draw") << kLargestDraw << "10000000";
    QTest::newRow("whole part, not rounded") << 1.0f / 16777216.0f << "1000000";
    QTest::newRow("half") << 0.5f << "5500000";
    QTest::newRow("just below a whole number") << 0.75f << "7750000";
}

void TestQueryProtocol::updateAddressFromDraw() {
    QFETCH(float, x);
    QFETCH(QString, tn);
    MakerUrlOverride maker("http://seo.example.org/");
    QCOMPARE(UpdateFileAddressFromDraw(x),
             "http://seo.example.org/Calvren/Rivelo/Update.txt?tn=" + tn);
}

void TestQueryProtocol::freshDrawsStayInRange() {
    MakerUrlOverride maker("http://seo.example.org");
    const QRegularExpression tnPattern(
        "^http://seo\\.example\\.org/Calvren/Rivelo/Update\\.txt\\?tn=([1-9][0-9]{6,7})$");
    for (int i = 0; i < 200; ++i) {
        const int key = QueryKey();
        QVERIFY2(key >= 1000000 && key <= 10000000, qPrintable(QString::number(key)));
        const auto match = tnPattern.match(UpdateFileAddress());
        QVERIFY(match.hasMatch());
        const qint64 tn = match.captured(1).toLongLong();
        QVERIFY(tn >= 1000000 && tn <= 10000000);
    }
}

void TestQueryProtocol::addressLayout() {
    MakerUrlOverride maker("http://seo.example.org");
    QCOMPARE(QueryAddress("sites.asp", 1234567, "www.example.com"),
             QString("http://seo.example.org/Calvren/Rivelo/sites.asp?sFrom=seo.example.org"
                     "&Key=1234567&sUrl=www.example.com"));
    QCOMPARE(QueryAddress("whois.asp", 10000000, ""),
             QString("http://seo.example.org/Calvren/Rivelo/whois.asp?sFrom=seo.example.org"
                     "&Key=10000000&sUrl="));
}

void TestQueryProtocol::targetOnTheWire_data() {
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("sent");
    QTest::newRow("plain") << "www.example.com"
                           << "www.example.com";
    QTest::newRow("ampersand kept") << "a.com&x=1"
                                    << "a.com&x=1";
    QTest::newRow("question mark kept") << "a.com?q=1"
                                        << "a.com?q=1";
    QTest::newRow("space encoded") << "a b.com"
                                   << "a%20b.com";
    QTest::newRow("hash stays in the query") << "a.com#top"
                                             << "a.com%23top";
    QTest::newRow("Chinese as UTF-8") << "中文.com"
                                      << "%E4%B8%AD%E6%96%87.com";
    QTest::newRow("valid escape kept") << "a%20b.com"
                                       << "a%20b.com";
}

void TestQueryProtocol::targetOnTheWire() {
    QFETCH(QString, target);
    QFETCH(QString, sent);
    MakerUrlOverride maker(m_service.baseUrl().toUtf8());
    m_service.setPayloadFor("sites.asp", target, "1|2|3|4|5|6|7");

    const QString payload = QueryPayload(QueryAddress("sites.asp", 7654321, target));

    QCOMPARE(m_service.requests().size(), 1);
    QCOMPARE(m_service.requests().first(),
             "/Calvren/Rivelo/sites.asp?sFrom=127.0.0.1:" + QString::number(m_service.port()) +
                 "&Key=7654321&sUrl=" + sent);
    QCOMPARE(payload, QString("1|2|3|4|5|6|7"));
}

void TestQueryProtocol::payload_data() {
    QTest::addColumn<QString>("body");
    QTest::addColumn<QString>("payload");
    QTest::newRow("wrapped") << "<p><!-- start -->1|2<!-- end --></p>"
                             << "1|2";
    QTest::newRow("not trimmed") << "<!-- start --> false \r\n<!-- end -->"
                                 << " false \r\n";
    QTest::newRow("server has no data") << "<!-- start -->false<!-- end -->"
                                        << "false";
    QTest::newRow("Chinese payload") << "<!-- start -->注册商<!-- end -->"
                                     << "注册商";
    QTest::newRow("nothing between") << "<!-- start --><!-- end -->"
                                     << "";
    QTest::newRow("markers in wrong order") << "<!-- end -->1|2<!-- start -->"
                                            << "";
    QTest::newRow("start only") << "<!-- start -->1|2"
                                << "";
    QTest::newRow("end only") << "1|2<!-- end -->"
                              << "";
    QTest::newRow("no markers") << "<html>proxy error</html>"
                                << "";
    QTest::newRow("first pair wins") << "<!-- start -->a<!-- end --><!-- start -->b<!-- end -->"
                                     << "a";
    QTest::newRow("markers differ in case") << "<!-- START -->a<!-- END -->"
                                            << "";
}

void TestQueryProtocol::payload() {
    QFETCH(QString, body);
    QFETCH(QString, payload);
    m_service.setRaw("ranks.asp", ToGbk(body));
    QCOMPARE(QueryPayload(m_service.baseUrl() + "/Calvren/Rivelo/ranks.asp?sUrl=a.com"), payload);
}

void TestQueryProtocol::payloadOfFailedFetch() {
    m_service.setBehaviour("sites.asp", FakeQueryService::Behaviour::NoAnswer);
    m_service.setBehaviour("links.asp", FakeQueryService::Behaviour::Drop);
    SetHttpGetTimeLimit(200ms);
    QCOMPARE(QueryPayload(m_service.baseUrl() + "/Calvren/Rivelo/sites.asp"), QString());
    QCOMPARE(QueryPayload(m_service.baseUrl() + "/Calvren/Rivelo/links.asp"), QString());
    // A 404 page without markers is no payload either.
    QCOMPARE(QueryPayload(m_service.baseUrl() + "/Calvren/Rivelo/none.asp"), QString());
}

QTEST_GUILESS_MAIN(TestQueryProtocol)
#include "tst_queryprotocol.moc"

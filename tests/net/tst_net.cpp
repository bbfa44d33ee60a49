#include "fixture.h"
#include "net/httpget.h"
#include "net/queryprotocol.h"
#include "net/webpage.h"
#include "storage/charset.h"
#include "storage/texthelpers.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <limits>
#include <memory>

#include <zlib.h>

namespace {

// gzip of `times` copies of piece, deflated copy by copy: a bomb stays small on the wire.
QByteArray gzip(const QByteArray& piece, int times = 1) {
    z_stream stream{};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY);
    QByteArray out;
    char buffer[1 << 16];
    for (int i = 1; i <= times; ++i) {
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(piece.constData()));
        stream.avail_in = uInt(piece.size());
        do {
            stream.next_out = reinterpret_cast<Bytef*>(buffer);
            stream.avail_out = sizeof buffer;
            deflate(&stream, i == times ? Z_FINISH : Z_NO_FLUSH);
            out.append(buffer, qsizetype(sizeof buffer - stream.avail_out));
        } while (stream.avail_out == 0);
    }
    deflateEnd(&stream);
    return out;
}

} // namespace

using namespace std::chrono_literals;
using Behaviour = FakeQueryService::Behaviour;

class TestNet : public QObject {
    Q_OBJECT

    FakeQueryService m_service;
    QString url(const QString& page) const { return m_service.baseUrl() + "/x/" + page; }
    QString get(const QString& page) { return HttpGet(url(page), "gb2312"); }

  private slots:
    void init() {
        m_service.clearPages();
        m_service.clearRequests();
        QVERIFY(m_service.start());
        SetHttpGetTimeLimit(10s);
        qputenv("VALDANE_MAKER_URL", "http://seo.example.org/");
        m_service.setRaw("index.htm", "<html>home</html>");
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

    void cleanup() {
        m_service.stop();
        qunsetenv("VALDANE_MAKER_URL");
    }

    // Error pages keep their body, failures give "0" at once, time-outs give "" after the limit.
    void fetch_data() {
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
    void fetch() {
        QFETCH(QString, page);
        QFETCH(int, limitMs);
        QFETCH(QString, expected);
        SetHttpGetTimeLimit(std::chrono::milliseconds(limitMs));
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(get(page), expected);
        if (limitMs >= 10000) {
            QVERIFY2(clock.elapsed() < 8000, qPrintable(QString::number(clock.elapsed())));
        } else if (expected.isEmpty()) {
            QVERIFY(clock.elapsed() >= limitMs);
            QTRY_COMPARE(m_service.openConnections(), 0); // the abandoned request is closed
        }
    }

    void fetchFailsWithoutRequest_data() {
        QTest::addColumn<QString>("address");
        QTest::newRow("refused port") << QString("http://127.0.0.1:%1/x/a.asp").arg(FreePort());
        QTest::newRow("unresolvable host") << QString("http://nonexistent.invalid/");
        QTest::newRow("host without a name") << QString("http:///x/sites.asp");
        QTest::newRow("no host") << QString("http://");
        QTest::newRow("ftp") << QString("ftp://127.0.0.1/x");
        QTest::newRow("relative path") << QString("relative/file.htm");
        QTest::newRow("empty") << QString();
    }
    void fetchFailsWithoutRequest() {
        QFETCH(QString, address);
        QCOMPARE(HttpGet(address, "gb2312"), QString("0"));
        QCOMPARE(m_service.requests().size(), 0);
    }

    void fetchBodySizeBoundary_data() {
        QTest::addColumn<qint64>("size");
        QTest::newRow("exactly 16 MiB") << kHttpGetMaxBody;
        QTest::newRow("one byte over") << kHttpGetMaxBody + 1;
    }
    void fetchBodySizeBoundary() {
        QFETCH(qint64, size);
        m_service.setRaw("big.asp", QByteArray(size, 'a'));
        QCOMPARE(get("big.asp"), size > kHttpGetMaxBody ? QString("0") : QString(size, 'a'));
    }

    // A body that does not decompress is a failed fetch at once, not a time-out; none grows
    // past the body cap however well it compresses.
    void fetchCompressed_data() {
        QTest::addColumn<QByteArray>("encoding");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");
        const QByteArray page = FakeQueryService::envelope("收录|1");
        const QString text = BytesToText(page, "gb2312");
        QByteArray corrupt = gzip(page);
        corrupt[corrupt.size() / 2] = char(~corrupt.at(corrupt.size() / 2));
        QTest::newRow("gzip") << QByteArray("gzip") << gzip(page) << text;
        QTest::newRow("two gzip members") << QByteArray("gzip") << gzip("ab") + gzip("c") << "abc";
        QTest::newRow("deflate") << QByteArray("deflate") << qCompress(page).mid(4) << text;
        QTest::newRow("corrupt") << QByteArray("gzip") << corrupt << "0";
        QTest::newRow("cut short") << QByteArray("gzip") << gzip(page).chopped(9) << "0";
        QTest::newRow("not compressed at all") << QByteArray("gzip") << page << "0";
        QTest::newRow("encoding not asked for") << QByteArray("br") << page << "0";
        QTest::newRow("64 MiB bomb")
            << QByteArray("gzip") << gzip(QByteArray(1 << 20, 0), 64) << "0";
    }
    void fetchCompressed() {
        QFETCH(QByteArray, encoding);
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        m_service.setEncoded("z.asp", body, encoding);
        QCOMPARE(get("z.asp"), expected);
    }

    void fetchInvalidGbkBytes() {
        m_service.setRaw("bad.asp", "<!-- start -->a\x81\x20"
                                    "b<!-- end -->\xfe");
        const QString text = get("bad.asp");
        QVERIFY(text.startsWith("<!-- start -->a"));
        QVERIFY(text.contains(QChar(QChar::ReplacementCharacter)));
        QVERIFY(text.contains("b<!-- end -->"));
    }

    void fetchLocalFiles() {
        QTemporaryDir dir;
        const QString path = dir.filePath("报告.htm");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(ToGbk("<table>收录</table>\r\n"));
        file.close();
        for (const QString& address : {path, QUrl::fromLocalFile(path).toString()})
            QCOMPARE(HttpGet(address, "gb2312"), QString("<table>收录</table>\r\n"));
        QCOMPARE(HttpGet(dir.filePath("missing.htm"), "gb2312"), QString("0"));
        QCOMPARE(HttpGet(dir.path(), "gb2312"), QString("0"));
    }

    // A call made from a timer while another waits; the outer answer may arrive first and must
    // then be neither lost nor taken for a time-out.
    void fetchNested_data() {
        QTest::addColumn<int>("outerDelay");
        QTest::addColumn<int>("innerDelay");
        QTest::newRow("inner answers first") << 600 << 100;
        QTest::newRow("outer answers during the inner wait") << 100 << 700;
    }
    void fetchNested() {
        QFETCH(int, outerDelay);
        QFETCH(int, innerDelay);
        m_service.setRaw("outer.asp", "outer");
        m_service.setDelay("outer.asp", outerDelay);
        m_service.setRaw("inner.asp", "inner");
        m_service.setDelay("inner.asp", innerDelay);
        SetHttpGetTimeLimit(1000ms);
        QString inner;
        QTimer::singleShot(20, this, [&] { inner = get("inner.asp"); });
        QCOMPARE(get("outer.asp"), QString("outer"));
        QCOMPARE(inner, QString("inner"));
    }

    void makerUrl_data() {
        QTest::addColumn<QByteArray>("variable");
        QTest::addColumn<QString>("url");
        // Unset gives the build's default; only one trailing slash is dropped.
        QTest::newRow("unset") << QByteArray() << QString(VALDANE_DEFAULT_MAKER_URL);
        QTest::newRow("slash") << QByteArray("http://127.0.0.1:9/")
                               << QString("http://127.0.0.1:9");
        QTest::newRow("two slashes")
            << QByteArray("http://h.example//") << QString("http://h.example/");
    }
    void makerUrl() {
        QFETCH(QByteArray, variable);
        QFETCH(QString, url);
        qputenv("VALDANE_MAKER_URL", variable);
        QCOMPARE(MakerUrl(), url);
        QCOMPARE(MakerHost(), QString(url).remove("http://"));
    }

    // Keys and update numbers stay in range for every draw, the ends, draws outside [0, 1)
    // and NaN among them.
    void drawsStayInRange() {
        const auto inRange = [](qint64 n) { return n >= 1000000 && n <= 10000000; };
        const float nan = std::numeric_limits<float>::quiet_NaN();
        for (float x : {0.0f, 1.0f - 1.0f / 16777216.0f, -0.5f, 1.0f, nan}) {
            QVERIFY2(inRange(QueryKeyFromDraw(x)), qPrintable(QString::number(x)));
            QVERIFY(inRange(UpdateFileAddressFromDraw(x).section("?tn=", 1).toLongLong()));
        }
        for (int i = 0; i < 200; ++i) {
            QVERIFY(inRange(QueryKey()));
            QVERIFY(inRange(UpdateFileAddress().section("?tn=", 1).toLongLong()));
        }
    }

    // The whole address as the service receives it: "&", "?" and valid escapes pass unchanged,
    // what HTTP cannot carry raw is encoded, and a "#" stays inside the target.
    void targetOnTheWire_data() {
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
    void targetOnTheWire() {
        QFETCH(QString, target);
        QFETCH(QString, sent);
        qputenv("VALDANE_MAKER_URL", m_service.baseUrl().toUtf8());
        m_service.setPayloadFor("sites.asp", target, "1|2|3|4|5|6|7");
        QCOMPARE(QueryPayload(QueryAddress("sites.asp", 7654321, target)), "1|2|3|4|5|6|7");
        QCOMPARE(m_service.requests(),
                 QStringList("/Calvren/Rivelo/sites.asp?sFrom=127.0.0.1:" +
                             QString::number(m_service.port()) + "&Key=7654321&sUrl=" + sent));
    }

    // What a result page may store and record; "" is a refusal.
    void acceptedAnswer_data() {
        QTest::addColumn<QString>("payload");
        QTest::addColumn<int>("values");
        QTest::addColumn<QString>("stored");
        const QString value64(kMaxAnswerValue, u'9');
        const QString blanks(kMaxAnswerLength - 13, u' ');
        const struct {
            const char* name;
            QString payload;
            int values;
            QString stored;
        } rows[] = {
            {"seven values", "1|20|3,4|5|6|7", 7, "1,20,3,4,5,6,7"},
            {"blanks at the ends dropped", "  4|2 ", 2, "4,2"},
            {"empty value inside kept", "10,,3", 3, "10,,3"},
            {"Chinese value", "1,2,3,4,5,6,中", 7, "1,2,3,4,5,6,中"},
            {"value of the longest length", value64 + ",1", 2, value64 + ",1"},
            {"answer of the longest length", blanks + "1,2,3,4,5,6,7", 7, "1,2,3,4,5,6,7"},
            {"false", "false", 2, ""},
            {"too few values", "1,2,3,4,5,6", 7, ""},
            {"too many values", "1,2,3", 2, ""},
            {"first value empty", ",55", 2, ""},
            {"shorter than the values need", "1,", 2, ""},
            {"value one too long", value64 + "9,1", 2, ""},
            {"answer one too long", blanks + " 1,2,3,4,5,6,7", 7, ""},
            {"CR LF after", "1,2\r\n", 2, ""},
            {"LF inside", "1,2\n[evil]", 2, ""},
            {"tab before", "\t1,2", 2, ""},
            {"zero character", QString("1,2") + QChar(0), 2, ""},
            {"C1 control", "1,2\u0085", 2, ""},
            {"line separator", "1,2\u2028", 2, ""},
            {"failed fetch", "0", 2, ""},
        };
        for (const auto& r : rows)
            QTest::newRow(r.name) << r.payload << r.values << r.stored;
    }
    void acceptedAnswer() {
        QFETCH(QString, payload);
        QFETCH(int, values);
        QFETCH(QString, stored);
        QCOMPARE(AcceptedAnswer(payload, values), stored);
    }

    // A page without the markers, or no page at all, is no payload.
    void payload_data() {
        QTest::addColumn<QString>("page");
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("payload");
        const struct {
            const char *name, *page, *body, *payload;
        } rows[] = {
            {"GBK, not trimmed", "ranks.asp", "<!-- start --> 注册商 \r\n<!-- end -->",
             " 注册商 \r\n"},
            {"proxy error page", "ranks.asp", "<html>proxy error</html>", ""},
            {"markers differ in case", "ranks.asp", "<!-- START -->a<!-- END -->", ""},
            {"404 page", "none.asp", nullptr, ""},
            {"dropped connection", "drop.asp", nullptr, ""},
        };
        for (const auto& r : rows)
            QTest::newRow(r.name) << QString(r.page) << QString::fromUtf8(r.body)
                                  << QString::fromUtf8(r.payload);
    }
    void payload() {
        QFETCH(QString, page);
        QFETCH(QString, body);
        QFETCH(QString, payload);
        m_service.setRaw("ranks.asp", ToGbk(body));
        QCOMPARE(QueryPayload(url(page) + "?sUrl=a.com"), payload);
    }

    // Error pages are shown like any page; only a load without an HTTP answer fails.
    void pageStatus_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("endText");
        for (const char* address : {"index.htm", "missing.htm"})
            QTest::newRow(address) << QString(address) << QString("完成");
        for (const char* address : {"drop.asp", "http://nonexistent.invalid/", ""})
            QTest::newRow(address) << QString(address) << QString("无法显示网页");
    }
    void pageStatus() {
        QFETCH(QString, address);
        QFETCH(QString, endText);
        if (!address.isEmpty() && !address.contains("://"))
            address = url(address);
        WebPage page;
        QSignalSpy status(&page, &WebPage::StatusTextChange);
        page.Navigate(address);
        QCOMPARE(page.LocationUrl(), address);
        QTRY_COMPARE(page.loadsFinished(), 1);
        QCOMPARE(status.size(), 2);
        QCOMPARE(status.at(0).at(0).toString(), "正在打开网页 " + address);
        QCOMPARE(status.at(1).at(0).toString(), endText);
    }

    // Loads run without blocking; a new one closes the running one, which then reports nothing.
    void pageLoads() {
        m_service.setDelay("index.htm", 300);
        auto page = std::make_unique<WebPage>();
        QSignalSpy status(page.get(), &WebPage::StatusTextChange);
        page->Refresh(); // no address yet: nothing to load
        QCOMPARE(status.size(), 0);
        page->Navigate(url("index.htm"));
        QTRY_COMPARE(m_service.requests().size(), 1);
        QCOMPARE(page->loadsFinished(), 0);
        QTRY_COMPARE(page->loadsFinished(), 1);
        page->Navigate(url("silent.asp"));
        // Its request must have arrived: the connection of the first load may still be open.
        QTRY_COMPARE(m_service.requests().size(), 2);
        page->Refresh();
        QTRY_COMPARE(m_service.requests().size(), 3);
        page->Navigate(url("index.htm"));
        QTRY_COMPARE(page->loadsFinished(), 2);
        QCOMPARE(page->LocationUrl(), url("index.htm"));
        QTRY_COMPARE(m_service.openConnections(), 0);
        QCOMPARE(status.size(), 6);
        QCOMPARE(status.last().at(0).toString(), QString("完成"));
        page->Navigate(url("silent.asp")); // destroyed while loading
        QTRY_COMPARE(m_service.openConnections(), 1);
        page.reset();
        QTRY_COMPARE(m_service.openConnections(), 0);
    }

    // The window's handler lets queued events run; a reload requested from inside it must
    // neither be lost nor counted twice.
    void pageStatusHandlerPumpingEvents() {
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

    // Last: once the application is told to quit, every event loop returns at once.
    void fetchEndsWhenApplicationQuits() {
        SetHttpGetTimeLimit(5s);
        QTimer::singleShot(100, this, [] { QCoreApplication::exit(0); });
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(get("silent.asp"), QString());
        QVERIFY2(clock.elapsed() < 4000, "the wait went on after the application quit");
    }
};

QTEST_GUILESS_MAIN(TestNet)
#include "tst_net.moc"

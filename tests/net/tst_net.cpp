#include "fixture.h"
#include "net/httpget.h"
#include "net/queryprotocol.h"
#include "net/webpage.h"
#include "storage/charset.h"
#include "storage/texthelpers.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTimer>
#include <QtEndian>

#include <zlib.h>

namespace {

// The data in a gzip frame around zlib's deflate stream.
QByteArray gzip(const QByteArray& data) {
    const QByteArray zlib = qCompress(data, 9).mid(4); // a length, then header, stream, Adler-32
    const auto crc = crc32(0, reinterpret_cast<const Bytef*>(data.constData()), uInt(data.size()));
    const quint32 trailer[] = {qToLittleEndian(quint32(crc)),
                               qToLittleEndian(quint32(data.size()))};
    return QByteArray::fromHex("1f8b08000000000002ff") + zlib.mid(2).chopped(4) +
           QByteArray(reinterpret_cast<const char*>(trailer), sizeof trailer);
}

// Rows with an encoding set serve their body under it.
struct Fetch {
    const char *name, *page;
    QString expected;
    QByteArray encoding = {}, body = {};
    int limitMs = 10000;
};

} // namespace

using namespace std::chrono_literals;

class TestNet : public QObject {
    Q_OBJECT
    FakeQueryService m_service;
    QString url(const QString& page) const { return m_service.baseUrl() + "/x/" + page; }
    QString get(const QString& page) { return HttpGet(url(page), "gb2312"); }

  private slots:
    void init() {
        m_service.clearPages(), m_service.clearRequests();
        QVERIFY(m_service.start());
        SetHttpGetTimeLimit(10s);
        m_service.setRaw("index.htm", "<html>home</html>");
        m_service.setRaw("error.asp", ToGbk("<p>服务器错误</p>"), 500);
        m_service.setRaw("new.asp", ToGbk("<b>新地址</b>"));
        m_service.setRedirect("old.asp", url("new.asp"));
        m_service.setRedirect("loop.asp", "/x/loop.asp", 301);
        m_service.setBehaviour("drop.asp", FakeQueryService::Behaviour::Drop);
        m_service.setBehaviour("endless.asp", FakeQueryService::Behaviour::EndlessBody);
        m_service.setBehaviour("silent.asp", FakeQueryService::Behaviour::NoAnswer);
        m_service.setBehaviour("stall.asp", FakeQueryService::Behaviour::HeadersThenStall);
        m_service.setRedirect("slow.asp", "/x/new.asp", 307);
        m_service.setDelay("slow.asp", 600);
    }
    // Error pages keep their body; failures, bodies that do not decompress and bodies past the
    // cap, however well compressed, give "0" at once; time-outs give "" after the limit.
    void fetch_data() {
        const QByteArray page = FakeQueryService::envelope("收录|1");
        const QString text = BytesToText(page, "gb2312");
        QByteArray corrupt = gzip(page);
        corrupt[corrupt.size() / 2] = char(~corrupt.at(corrupt.size() / 2));
        const qint64 cap = kHttpGetMaxBody;
        addRows<Fetch>({
            {"404 keeps its body", "missing.asp",
             "<html><body><h1>404 Not Found</h1></body></html>"},
            {"500 keeps its body", "error.asp", "<p>服务器错误</p>"},
            {"GBK body", "z.asp", "<p>百度丂</p>", "", ToGbk("<p>百度丂</p>")},
            {"invalid GBK bytes shown, not failed", "z.asp", "a\uFFFD b\uFFFD", "", "a\x81 b\xfe"},
            {"empty body", "z.asp", "", "", ""},
            {"redirect followed", "old.asp", "<b>新地址</b>"},
            {"redirect loop", "loop.asp", "0"},
            {"dropped connection", "drop.asp", "0"},
            {"endless body", "endless.asp", "0", {}, {}, 60000},
            {"never answers", "silent.asp", "", {}, {}, 300},
            {"headers then stall", "stall.asp", "", {}, {}, 300},
            {"answer before the limit", "slow.asp", "<b>新地址</b>"},
            {"answer after the limit", "slow.asp", "", {}, {}, 100},
            {"body of the largest size", "z.asp", QString(cap, 'a'), "", QByteArray(cap, 'a')},
            {"one byte over the cap", "z.asp", "0", "", QByteArray(cap + 1, 'a')},
            {"gzip", "z.asp", text, "gzip", gzip(page)},
            {"two gzip members", "z.asp", "abc", "gzip", gzip("ab") + gzip("c")},
            {"deflate", "z.asp", text, "deflate", qCompress(page).mid(4)},
            {"corrupt", "z.asp", "0", "gzip", corrupt},
            {"cut short", "z.asp", "0", "gzip", gzip(page).chopped(9)},
            {"not compressed at all", "z.asp", "0", "gzip", page},
            {"encoding not asked for", "z.asp", "0", "br", page},
            {"bomb inflating past the cap", "z.asp", "0", "gzip", gzip(QByteArray(20 << 20, 0))},
        });
    }
    void fetch() {
        QFETCH(Fetch, row);
        if (!row.encoding.isNull())
            m_service.setEncoded(row.page, row.body, row.encoding);
        SetHttpGetTimeLimit(std::chrono::milliseconds(row.limitMs));
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(get(row.page), row.expected);
        if (row.limitMs >= 10000) {
            QVERIFY2(clock.elapsed() < 8000, qPrintable(QString::number(clock.elapsed())));
        } else if (row.expected.isEmpty()) {
            QVERIFY(clock.elapsed() >= row.limitMs);
            QTRY_COMPARE(m_service.openConnections(), 0); // the abandoned request is closed
        }
    }
    // Local paths and file: URLs are read; any other non-http(s) address fails at once, unsent.
    void fetchOutsideAndNested() {
        QTemporaryDir dir;
        const QString path = dir.filePath("报告.htm");
        PutContent(path, ToGbk("<table>收录</table>\r\n"));
        for (const QString& address : {path, QUrl::fromLocalFile(path).toString()})
            QCOMPARE(HttpGet(address, "gb2312"), QString("<table>收录</table>\r\n"));
        for (const QString& address :
             {dir.filePath("missing.htm"), dir.path(),
              QString("http://127.0.0.1:%1/x/a.asp").arg(FreePort()),
              QString("http://nonexistent.invalid/"), QString("http:///x/sites.asp"),
              QString("http://"), QString("ftp://127.0.0.1/x"), QString("relative/file.htm"),
              QString()})
            QVERIFY2(HttpGet(address, "gb2312") == "0", qPrintable(address));
        QCOMPARE(m_service.requests().size(), 0);
        // An outer answer arriving during a nested call is neither lost nor taken for a time-out
        // (the limit is init's 10 s, so load cannot decide it).
        m_service.setRaw("outer.asp", "outer"), m_service.setRaw("inner.asp", "inner");
        for (const auto& [outerDelay, innerDelay] : {std::pair{600, 100}, {100, 700}}) {
            m_service.setDelay("outer.asp", outerDelay);
            m_service.setDelay("inner.asp", innerDelay);
            QString inner;
            QTimer::singleShot(20, this, [&] { inner = get("inner.asp"); });
            QCOMPARE(get("outer.asp"), QString("outer"));
            QCOMPARE(inner, QString("inner"));
        }
    }
    // Keys and update numbers stay in range for every draw, NaN and those outside [0, 1) too.
    void queryProtocol() {
        const auto inRange = [](qint64 n) { return n >= 1000000 && n <= 10000000; };
        const auto tn = [](const QString& url) { return url.section("?tn=", 1).toLongLong(); };
        for (float x : {0.0f, 1.0f - 1.0f / 16777216.0f, -0.5f, 1.0f, float(qQNaN())})
            QVERIFY2(inRange(QueryKeyFromDraw(x)) && inRange(tn(UpdateFileAddressFromDraw(x))),
                     qPrintable(QString::number(x)));
        QVERIFY(inRange(QueryKey()) && inRange(tn(UpdateFileAddress())));
        // The address as received: "&", "?" and valid escapes pass, what HTTP cannot carry raw is
        // encoded, a "#" stays in the target; the payload comes back from GBK, untrimmed. The
        // service is the build's unless set; one trailing slash is dropped.
        qputenv("VALDANE_MAKER_URL", "http://h.example//");
        QCOMPARE(MakerUrl(), "http://h.example/");
        qunsetenv("VALDANE_MAKER_URL");
        QCOMPARE(MakerUrl(), VALDANE_DEFAULT_MAKER_URL);
        qputenv("VALDANE_MAKER_URL", (m_service.baseUrl() + "/").toUtf8());
        const QString prefix =
            "/Calvren/Rivelo/sites.asp?sFrom=127.0.0.1:" + QString::number(m_service.port()) +
            "&Key=7654321&sUrl=";
        for (const char* target :
             {"a.com&x=1", "a.com?q=1", "a b.com", "a.com#top", "中文.com", "a%20b.com", ""}) {
            m_service.setPayloadFor("sites.asp", target, " 注册商 \r\n");
            QCOMPARE(QueryPayload(QueryAddress("sites.asp", 7654321, target)), " 注册商 \r\n");
        }
        QCOMPARE(m_service.requests(), Each([&](const char* sent) { return prefix + sent; },
                                            {"a.com&x=1", "a.com?q=1", "a%20b.com", "a.com%23top",
                                             "%E4%B8%AD%E6%96%87.com", "a%20b.com", ""}));
        // What a result page may store and record, of "answer#count"; "" is a refusal: too few
        // or too many values, an empty one, one too long, a line too long, a line break.
        const QString v64(kMaxAnswerValue, u'9'), blanks(kMaxAnswerLength - 13, u' ');
        const auto accepted = [](const QString& row) {
            return AcceptedAnswer(row.section('#', 0, -2), row.section('#', -1).toInt());
        };
        QCOMPARE(
            Each(accepted,
                 QStringList{"1|20|3,4|5|6|7#7", "  4|2 #2", "10,,3#3", "1,2,3,4,5,6,中#7",
                             v64 + ",1#2", blanks + "1,2,3,4,5,6,7#7", "1,2,3,4,5,6#7", "1,2,3#2",
                             ",55#2", "1,#2", v64 + "9,1#2", blanks + " 1,2,3,4,5,6,7#7",
                             "1,2\n[evil]#2", "1,2\u0085#2", "1,2\u2028#2"}),
            QStringList(
                {"1,20,3,4,5,6,7", "4,2", "10,,3", "1,2,3,4,5,6,中", v64 + ",1", "1,2,3,4,5,6,7"}) +
                QStringList(9, QString()));
    }
    // Loads say when they start and end; any HTTP answer is shown, only a load without one
    // fails. A new load, or the page's end, closes the running one, which then reports nothing.
    void pageLoads() {
        m_service.setDelay("index.htm", 300);
        auto page = std::make_unique<WebPage>();
        QSignalSpy status(page.get(), &WebPage::StatusTextChange);
        page->Refresh(); // no address yet: nothing to load
        page->Navigate(url("index.htm"));
        QTRY_COMPARE(m_service.requests().size(), 1);
        QCOMPARE(page->loadsFinished(), 0);
        const QString done("完成"), failed("无法显示网页");
        for (const auto& [address, end] : {std::pair{url("index.htm"), done},
                                           {url("missing.htm"), done},
                                           {url("drop.asp"), failed},
                                           {QString("http://nonexistent.invalid/"), failed},
                                           {QString(), failed}}) {
            if (page->LocationUrl() != address) // the first is on its way
                page->Navigate(address);
            QTRY_COMPARE(status.size(), 2);
            QCOMPARE(status.takeFirst().at(0).toString(), "正在打开网页 " + address);
            QCOMPARE(status.takeFirst().at(0).toString(), end);
        }
        m_service.clearRequests(); // a dropped connection may have been tried twice
        page->Navigate(url("silent.asp"));
        // Its request must have arrived: the connection of the first load may still be open.
        QTRY_COMPARE(m_service.requests().size(), 1);
        page->Refresh();
        QTRY_COMPARE(m_service.requests().size(), 2);
        page->Navigate(url("index.htm"));
        QTRY_COMPARE(page->loadsFinished(), 6);
        QCOMPARE(page->LocationUrl(), url("index.htm"));
        QTRY_COMPARE(m_service.openConnections(), 0);
        QCOMPARE(status.size(), 4);
        QCOMPARE(status.last().at(0).toString(), done);
        page->Navigate(url("silent.asp")); // destroyed while loading
        QTRY_COMPARE(m_service.openConnections(), 1);
        page.reset();
        QTRY_COMPARE(m_service.openConnections(), 0);
        // A reload asked for by a handler that pumps events is neither lost nor counted twice.
        WebPage handled;
        int reloads = 0;
        connect(&handled, &WebPage::StatusTextChange, &handled, [&](const QString& text) {
            PumpEvents();
            if (text == "完成" && reloads++ == 0)
                handled.Refresh();
        });
        m_service.setDelay("index.htm", 0), m_service.clearRequests();
        handled.Navigate(url("index.htm"));
        QTRY_COMPARE(handled.loadsFinished(), 2);
        QTest::qWait(50);
        QCOMPARE(std::pair(handled.loadsFinished(), m_service.requests().size()),
                 std::pair(2, qsizetype(2)));
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

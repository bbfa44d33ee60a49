#include "storage/texthelpers.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>

class TestTextHelpers : public QObject {
    Q_OBJECT

  private slots:
    void getBetween_data();
    void getBetween();
    void isValidDomain_data();
    void isValidDomain();
    void normalizeSiteList_data();
    void normalizeSiteList();
    void normalizeSiteListLarge();
    void fileExists();
    void weekdayText_data();
    void weekdayText();
    void clockText_data();
    void clockText();
    void pumpEventsDeliversQueuedWork();
    void pumpEventsIsThrottled();
    void pumpEventsReentry();
};

void TestTextHelpers::getBetween_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("end");
    QTest::addColumn<QString>("expected");

    const QString s = QStringLiteral("<!-- start -->");
    const QString e = QStringLiteral("<!-- end -->");
    QTest::newRow("payload") << "x<!-- start -->1,2,3<!-- end -->y" << s << e << "1,2,3";
    QTest::newRow("empty text") << "" << s << e << "";
    QTest::newRow("failed fetch") << "0" << s << e << "";
    QTest::newRow("no end marker") << "<!-- start -->1,2" << s << e << "";
    QTest::newRow("empty payload") << "<!-- start --><!-- end -->" << s << e << "";
    QTest::newRow("end before start") << "<!-- end -->a<!-- start -->b" << s << e << "";
    QTest::newRow("first of each marker")
        << "<!-- start -->a<!-- end --><!-- start -->b<!-- end -->" << s << e << "a";
    QTest::newRow("end searched from text start, not from start marker")
        << "<!-- end -->x<!-- start -->y<!-- end -->" << s << e << "";
    // With the start marker absent its position counts as 0: the payload then starts at
    // the marker's length and runs up to the end marker.
    QTest::newRow("start marker missing") << "abcdefghijklmnop<!-- end -->" << s << e << "nop";
    QTest::newRow("start marker missing, end too early") << "abc<!-- end -->" << s << e << "";
    QTest::newRow("chinese payload")
        << "<!-- start -->百度,谷歌<!-- end -->" << s << e << "百度,谷歌";
    QTest::newRow("single-character markers") << "a[b]c"
                                              << "["
                                              << "]"
                                              << "b";
}

void TestTextHelpers::getBetween() {
    QFETCH(QString, text);
    QFETCH(QString, start);
    QFETCH(QString, end);
    QFETCH(QString, expected);
    QCOMPARE(GetBetween(text, start, end), expected);
}

void TestTextHelpers::isValidDomain_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");

    QTest::newRow("plain") << "abc.com" << true;
    QTest::newRow("shortest") << "a.cn" << true;
    QTest::newRow("three characters") << "a.c" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("no dot") << "abcdef" << false;
    QTest::newRow("dot first") << ".abc.com" << false;
    QTest::newRow("slash first") << "/abc.com" << false;
    QTest::newRow("backslash first") << "\\abc.com" << false;
    QTest::newRow("dot last") << "abc.com." << false;
    QTest::newRow("backslash last") << "abc.com\\" << false;
    QTest::newRow("slash last") << "abc.com/" << true;
    QTest::newRow("path") << "abc.com/news" << true;
    QTest::newRow("chinese") << "中文网.com" << true;
    QTest::newRow("blanks count as characters") << " a.c" << true;
}

void TestTextHelpers::isValidDomain() {
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QCOMPARE(IsValidDomain(text), valid);
}

void TestTextHelpers::normalizeSiteList_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");

    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("prefix, full-width and repeat") << "http://a.com；b.com;a.com"
                                                   << "a.com;b.com";
    QTest::newRow("single entry keeps its blanks") << "  a.com  "
                                                   << "  a.com  ";
    QTest::newRow("entries of a list are trimmed") << "  a.com  ; b.com "
                                                   << "a.com;b.com";
    QTest::newRow("only semicolons") << ";;;"
                                     << "";
    QTest::newRow("short word and semicolon") << "ab;"
                                              << "";
    QTest::newRow("invalid single entry") << "abc"
                                          << "";
    QTest::newRow("capital scheme stays") << "HTTP://a.com"
                                          << "HTTP://a.com";
    QTest::newRow("only the prefix") << "http://"
                                     << "";
    QTest::newRow("prefix in the middle removed") << "a.com/http://x"
                                                  << "a.com/x";
    QTest::newRow("lines joined without separator") << "a.com\r\nb.com"
                                                    << "a.comb.com";
    QTest::newRow("lines after separators") << "a.com;\r\nb.com;\r\n"
                                            << "a.com;b.com";
    QTest::newRow("letter case differs: both stay") << "a.com;A.com"
                                                    << "a.com;A.com";
    QTest::newRow("repeat after trimming") << "a.com; a.com ;b.com"
                                           << "a.com;b.com";
    QTest::newRow("invalid entries dropped") << "x;a.com;.b.com;c.com."
                                             << "a.com";
    QTest::newRow("first invalid, later valid") << "bad;;c.com"
                                                << "c.com";
    QTest::newRow("leading and trailing separators") << ";a.com;b.com;"
                                                     << "a.com;b.com";
    QTest::newRow("full-width only") << "a.com；b.com"
                                     << "a.com;b.com";
    QTest::newRow("order of first appearance") << "c.com;b.com;a.com;b.com;c.com"
                                               << "c.com;b.com;a.com";
}

void TestTextHelpers::normalizeSiteList() {
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(NormalizeSiteList(text), expected);
}

void TestTextHelpers::normalizeSiteListLarge() {
    // 10,000 entries, every fifth one repeating an earlier site: order kept, repeats gone.
    QStringList raw;
    QStringList expected;
    for (int i = 0; i < 10000; ++i) {
        if (i % 5 == 4) {
            raw << QStringLiteral(" http://site%1.com ").arg(i / 2);
        } else {
            raw << QStringLiteral("site%1.com").arg(i);
        }
    }
    QSet<QString> seen;
    for (const QString& entry : raw) {
        QString clean = entry.trimmed();
        clean.remove(QStringLiteral("http://"));
        if (!seen.contains(clean)) {
            seen.insert(clean);
            expected << clean;
        }
    }
    const QString result = NormalizeSiteList(raw.join(u'；'));
    QCOMPARE(result.split(u';').size(), expected.size());
    QCOMPARE(result, expected.join(u';'));
}

void TestTextHelpers::fileExists() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString plain = dir.filePath(QStringLiteral("plain.txt"));
    const QString hidden = dir.filePath(QStringLiteral(".hidden"));
    const QString link = dir.filePath(QStringLiteral("link.txt"));
    for (const QString& path : {plain, hidden}) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QVERIFY(QFile::link(plain, link));
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("sub.dir")));

    QVERIFY(FileExists(plain));
    QVERIFY(FileExists(link));
    QVERIFY(!FileExists(hidden));
    QVERIFY(!FileExists(dir.filePath(QStringLiteral("sub.dir"))));
    QVERIFY(!FileExists(dir.path()));
    QVERIFY(!FileExists(dir.filePath(QStringLiteral("missing.txt"))));
    QVERIFY(!FileExists(plain + QStringLiteral("/below-a-file")));
    QVERIFY(!FileExists(QString()));
    QVERIFY(QFile::remove(plain));
    QVERIFY(!FileExists(link)); // dangling link
}

void TestTextHelpers::weekdayText_data() {
    QTest::addColumn<QDate>("date");
    QTest::addColumn<QString>("expected");

    QTest::newRow("sunday") << QDate(2009, 3, 1) << "星期日";
    QTest::newRow("monday") << QDate(2009, 3, 2) << "星期一";
    QTest::newRow("tuesday") << QDate(2009, 3, 3) << "星期二";
    QTest::newRow("wednesday") << QDate(2009, 3, 4) << "星期三";
    QTest::newRow("thursday") << QDate(2009, 3, 5) << "星期四";
    QTest::newRow("friday") << QDate(2009, 3, 6) << "星期五";
    QTest::newRow("saturday") << QDate(2009, 3, 7) << "星期六";
    QTest::newRow("leap day") << QDate(2024, 2, 29) << "星期四";
    QTest::newRow("invalid") << QDate() << "";
}

void TestTextHelpers::weekdayText() {
    QFETCH(QDate, date);
    QFETCH(QString, expected);
    QCOMPARE(WeekdayText(date), expected);
}

void TestTextHelpers::clockText_data() {
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<QString>("expected");

    QTest::newRow("example") << QDateTime(QDate(2009, 3, 7), QTime(9, 5, 3))
                             << "2009年03月07日 星期六 9:05:03";
    QTest::newRow("midnight") << QDateTime(QDate(2010, 1, 1), QTime(0, 0, 0))
                              << "2010年01月01日 星期五 0:00:00";
    QTest::newRow("late evening keeps its day")
        << QDateTime(QDate(2009, 3, 7), QTime(23, 59, 59)) << "2009年03月07日 星期六 23:59:59";
    QTest::newRow("two-digit fields")
        << QDateTime(QDate(2026, 12, 31), QTime(12, 30, 45)) << "2026年12月31日 星期四 12:30:45";
}

void TestTextHelpers::clockText() {
    QFETCH(QDateTime, now);
    QFETCH(QString, expected);
    QCOMPARE(ClockText(now), expected);
}

void TestTextHelpers::pumpEventsDeliversQueuedWork() {
    bool ran = false;
    QMetaObject::invokeMethod(
        this, [&ran] { ran = true; }, Qt::QueuedConnection);
    QThread::msleep(30); // past the pump's quiet interval
    PumpEvents();
    QVERIFY(ran);
}

namespace {

struct Chain {
    int runs = 0;
    bool stop = false;
};

// Work that queues itself again as soon as it ran.
void postChain(QObject* context, const std::shared_ptr<Chain>& chain) {
    QMetaObject::invokeMethod(
        context,
        [context, chain] {
            ++chain->runs;
            if (!chain->stop)
                postChain(context, chain);
        },
        Qt::QueuedConnection);
}

} // namespace

void TestTextHelpers::pumpEventsIsThrottled() {
    // Self-queuing work runs at most once per pump that really processes events.
    const auto chain = std::make_shared<Chain>();
    postChain(this, chain);
    QThread::msleep(30);
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < 100000; ++i)
        PumpEvents();
    const qint64 elapsedMs = timer.elapsed();
    chain->stop = true;
    QVERIFY2(chain->runs >= 1, "the first pump must process pending events");
    QVERIFY2(chain->runs <= 2 + elapsedMs / 10,
             qPrintable(QStringLiteral("%1 runs in %2 ms").arg(chain->runs).arg(elapsedMs)));
}

void TestTextHelpers::pumpEventsReentry() {
    // A handler run by the pump may itself call the pump (nested loops) without harm.
    int depth = 0;
    int deepest = 0;
    QMetaObject::invokeMethod(
        this,
        [&] {
            ++depth;
            deepest = std::max(deepest, depth);
            QThread::msleep(30);
            PumpEvents();
            --depth;
        },
        Qt::QueuedConnection);
    QThread::msleep(30);
    PumpEvents();
    QCOMPARE(depth, 0);
    QCOMPARE(deepest, 1);
    QCOMPARE(NormalizeSiteList(QStringLiteral("a.com;b.com")), QStringLiteral("a.com;b.com"));
}

QTEST_GUILESS_MAIN(TestTextHelpers)
#include "tst_texthelpers.moc"

#include "storage/inifile.h"
#include "storage/texthelpers.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

class TestTextHelpers : public QObject {
    Q_OBJECT

  private slots:
    void getBetween_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        const struct {
            const char* name;
            const char* text;
            const char* expected;
        } rows[] = {
            {"payload", "x<s>1,2<e>y", "1,2"},
            {"failed fetch", "0", ""},
            {"no end marker", "<s>1,2", ""},
            {"end before start", "<e>a<s>b", ""},
            {"first of each marker", "<s>a<e><s>b<e>", "a"},
            {"end searched from the text start", "<e>x<s>y<e>", ""},
            {"start marker missing", "abcdef<e>", ""},
            {"chinese payload", "<s>百度,谷歌<e>", "百度,谷歌"},
        };
        for (const auto& r : rows)
            QTest::newRow(r.name) << QString::fromUtf8(r.text) << QString::fromUtf8(r.expected);
    }

    void getBetween() {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(GetBetween(text, QStringLiteral("<s>"), QStringLiteral("<e>")), expected);
    }

    void isValidDomain_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        const struct {
            const char* text;
            bool valid;
        } rows[] = {{"a.cn", true},      {"a.c", false},       {"abcdef", false},
                    {".abc.com", false}, {"/abc.com", false},  {"\\abc.com", false},
                    {"abc.com.", false}, {"abc.com\\", false}, {"abc.com/", true},
                    {"中文网.com", true}};
        for (const auto& r : rows)
            QTest::newRow(r.text) << QString::fromUtf8(r.text) << r.valid;
    }

    void isValidDomain() {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QCOMPARE(IsValidDomain(text), valid);
    }

    void normalizeSiteList_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        const struct {
            const char* name;
            const char* text;
            const char* expected;
        } rows[] = {
            {"prefix, full-width and repeat", "http://a.com；b.com;a.com", "a.com;b.com"},
            {"single entry keeps its blanks", "  a.com  ", "  a.com  "},
            {"entries of a list are trimmed", "  a.com  ; b.com ", "a.com;b.com"},
            {"only separators", ";;;", ""},
            {"short word and separator", "ab;", ""},
            {"capital scheme stays", "HTTP://a.com", "HTTP://a.com"},
            {"prefix in the middle removed", "a.com/http://x", "a.com/x"},
            {"lines joined without separator", "a.com\r\nb.com", "a.comb.com"},
            {"lines after separators", "a.com;\r\nb.com;\r\n", "a.com;b.com"},
            {"letter case differs", "a.com;A.com", "a.com;A.com"},
            {"invalid entries dropped", "x;a.com;.b.com;c.com.", "a.com"},
            {"order of first appearance", "c.com;b.com;a.com;b.com;c.com", "c.com;b.com;a.com"},
            {"Chinese name kept", "中文网.com", "中文网.com"},
            {"names GBK lacks in ASCII", "한국어.com; ไทย.com/ไทย ;a.com",
             "xn--3e0bk47br7k.com;xn--o3cw4h.com/%E0%B9%84%E0%B8%97%E0%B8%A2;a.com"},
            {"single name GBK lacks", "한국어.com", "xn--3e0bk47br7k.com"},
            {"repeated once in ASCII", "한국어.com;xn--3e0bk47br7k.com", "xn--3e0bk47br7k.com"},
        };
        for (const auto& r : rows)
            QTest::newRow(r.name) << QString::fromUtf8(r.text) << QString::fromUtf8(r.expected);
    }

    void normalizeSiteList() {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(NormalizeSiteList(text), expected);
    }

    void namesGbkLacksGetTheirOwnSections() {
        QTemporaryDir dir;
        const QString ini = dir.filePath(QStringLiteral("Config.ini"));
        const QStringList sites =
            NormalizeSiteList(QStringLiteral("한국어.com;ไทย.com")).split(u';');
        QCOMPARE(sites.size(), 2);
        for (const QString& site : sites)
            WriteIni(site, QStringLiteral("Url_pr"), site.left(6) + QStringLiteral(",1"), ini);
        for (const QString& site : sites)
            QCOMPARE(ReadIni(site, QStringLiteral("Url_pr"), ini),
                     site.left(6) + QStringLiteral(",1"));
    }

    void fileExists() {
        QTemporaryDir dir;
        const QString plain = dir.filePath(QStringLiteral("plain.txt"));
        const QString link = dir.filePath(QStringLiteral("link.txt"));
        for (const QString& path : {plain, dir.filePath(QStringLiteral(".hidden"))})
            QVERIFY(QFile(path).open(QIODevice::WriteOnly));
        QVERIFY(QFile::link(plain, link));
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("sub.dir")));

        QVERIFY(FileExists(plain));
        QVERIFY(FileExists(link));
        for (const char* name : {".hidden", "sub.dir", "missing.txt", "plain.txt/below"})
            QVERIFY2(!FileExists(dir.filePath(QString::fromUtf8(name))), name);
        QVERIFY(!FileExists(QString()));
        QVERIFY(QFile::remove(plain));
        QVERIFY(!FileExists(link)); // dangling
    }

    void clockText() {
        QCOMPARE(ClockText(QDateTime(QDate(2009, 3, 7), QTime(9, 5, 3))),
                 QStringLiteral("2009年03月07日 星期六 9:05:03"));
        QCOMPARE(WeekdayText(QDate()), QString());
    }

    void pumpEventsReentry() {
        // A handler run by the pump may itself call the pump without harm.
        int depth = 0;
        int deepest = 0;
        QMetaObject::invokeMethod(
            this,
            [&] {
                deepest = std::max(deepest, ++depth);
                QThread::msleep(30);
                PumpEvents();
                --depth;
            },
            Qt::QueuedConnection);
        QThread::msleep(30);
        PumpEvents();
        QCOMPARE(depth, 0);
        QCOMPARE(deepest, 1);
    }
};

QTEST_GUILESS_MAIN(TestTextHelpers)
#include "tst_texthelpers.moc"

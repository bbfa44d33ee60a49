#include "storage/texthelpers.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

class TestTextHelpers : public QObject {
    Q_OBJECT

  private slots:
    // The pure text functions: "between" (markers <s> and <e>), "domain" (1: valid), "sites".
    void textFunctions_data() {
        QTest::addColumn<QString>("function");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char* function, const char* text, const char* expected) {
            QTest::addRow("%s %s", function, text)
                << QString(function) << QString::fromUtf8(text) << QString::fromUtf8(expected);
        };
        row("between", "x<s>1,2<e>y", "1,2");
        row("between", "0", ""); // a failed fetch
        row("between", "<s>1,2", "");
        row("between", "<e>a<s>b", "");
        row("between", "<s>a<e><s>b<e>", "a");
        row("between", "<e>x<s>y<e>", ""); // the end is searched from the text's start
        row("between", "abcdef<e>", "");
        row("between", "<s>百度,谷歌<e>", "百度,谷歌");
        for (const char* valid : {"a.cn", "abc.com/", "中文网.com"})
            row("domain", valid, "1");
        for (const char* invalid :
             {"a.c", "abcdef", ".abc.com", "/abc.com", "\\abc.com", "abc.com.", "abc.com\\"})
            row("domain", invalid, "0");
        row("sites", "http://a.com；b.com;a.com", "a.com;b.com");
        row("sites", "  a.com  ", "  a.com  "); // a single entry keeps its blanks
        row("sites", "  a.com  ; b.com ", "a.com;b.com");
        row("sites", ";;;", "");
        row("sites", "ab;", "");
        row("sites", "HTTP://a.com", "HTTP://a.com");
        row("sites", "a.com/http://x", "a.com/x");
        row("sites", "a.com\r\nb.com", "a.comb.com");
        row("sites", "a.com;\r\nb.com;\r\n", "a.com;b.com");
        row("sites", "a.com;A.com", "a.com;A.com");
        row("sites", "x;a.com;.b.com;c.com.", "a.com");
        row("sites", "c.com;b.com;a.com;b.com;c.com", "c.com;b.com;a.com");
        row("sites", "中文网.com", "中文网.com");
        // Names GBK lacks are stored in ASCII.
        row("sites", "한국어.com; ไทย.com/ไทย ;a.com",
            "xn--3e0bk47br7k.com;xn--o3cw4h.com/%E0%B9%84%E0%B8%97%E0%B8%A2;a.com");
        row("sites", "한국어.com", "xn--3e0bk47br7k.com");
        row("sites", "한국어.com;xn--3e0bk47br7k.com", "xn--3e0bk47br7k.com");
    }

    void textFunctions() {
        QFETCH(QString, function);
        QFETCH(QString, text);
        QFETCH(QString, expected);
        if (function == "between")
            QCOMPARE(GetBetween(text, QStringLiteral("<s>"), QStringLiteral("<e>")), expected);
        else if (function == "domain")
            QCOMPARE(IsValidDomain(text), expected == "1");
        else
            QCOMPARE(NormalizeSiteList(text), expected);
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

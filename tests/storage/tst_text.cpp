// Text in and out: encodings, files written whole, and the pure text helpers.
#include "storage/charset.h"
#include "storage/texthelpers.h"

#include "fixture.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

class TestText : public QObject {
    Q_OBJECT
  private:
    QTemporaryDir dir;

  private slots:
    void bytesToText_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("charset");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char* name, const QByteArray& bytes, const char* charset,
                            const QString& expected) {
            QTest::newRow(name) << bytes << QString(charset) << expected;
        };
        // 81 40 exists only in GBK; a strict GB 2312 decoder would not give this character.
        row("gbk-only under gb2312", QByteArray::fromHex("8140"), "gb2312", "丂");
        row("name in capitals, blanks", QByteArray::fromHex("8140"), " GBK ", "丂");
        row("cp936", QByteArray::fromHex("d6d0cec4"), "cp936", "中文");
        row("utf-8", "\xe4\xb8\xad", "utf-8", "中");
        row("unknown charset", "abc", "no-such", "0");
        row("empty charset", "abc", "", "0");
        row("empty block", QByteArray(), "gb2312", "");
        row("empty block, unknown charset", QByteArray(), "bogus", "0");
        row("invalid trail byte", QByteArray::fromHex("812041"), "gb2312",
            QString::fromUtf16(u"\uFFFD A"));
        row("lead byte at the end", QByteArray::fromHex("41d6"), "gb2312",
            QString::fromUtf16(u"A\uFFFD"));
        row("zero byte kept", QByteArray("a\0b", 3), "gb2312", QString::fromUtf16(u"a\0b", 3));
    }

    void bytesToText() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, charset);
        QFETCH(QString, expected);
        QCOMPARE(BytesToText(bytes, charset), expected);
    }

    void writeTextFile_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("expected");

        const auto row = [](const char* name, const QString& text, const QByteArray& expected) {
            QTest::newRow(name) << text << expected;
        };
        row("empty text", "", "\r\n");
        row("chinese", "更新丂", QByteArray::fromHex("b8fcd0c281400d0a"));
        row("inner line ends unchanged", "a\nb\r\nc", "a\nb\r\nc\r\n");
        row("no gbk code", "a😀b", "a?b\r\n");
        row("no gbk code, then chinese", "😀中", "?\xd6\xd0\r\n");
        row("lone surrogate", QString(QChar(0xD800)), "?\r\n");
    }

    void writeTextFile() {
        QFETCH(QString, text);
        QFETCH(QByteArray, expected);
        QCOMPARE(ToGbk(text) + "\r\n", expected);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("SeoLog.htm"));
        PutContent(path, QByteArray(5000, 'x')); // a longer old content is replaced whole
        WriteTextFile(path, text);
        QCOMPARE(ContentOf(path), expected);
        QCOMPARE(ReadTextFile(path, QStringLiteral("gb2312")), BytesToText(expected, "gb2312"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
    }

    void fileFailures() {
        const QString plain = dir.filePath(QStringLiteral("plain"));
        PutContent(plain, "old");
        // Folder missing, folder is a file, target is a folder: nothing appears, nothing breaks.
        WriteTextFile(dir.filePath(QStringLiteral("missing/out.htm")), QStringLiteral("x"));
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("missing"))));
        WriteTextFile(plain + QStringLiteral("/out.htm"), QStringLiteral("x"));
        QCOMPARE(ContentOf(plain), QByteArray("old"));
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("folder")));
        QVERIFY(!ReplaceFileAtomically(dir.filePath(QStringLiteral("folder")), "x"));
        QVERIFY(QFileInfo(dir.filePath(QStringLiteral("folder"))).isDir());
        QVERIFY(!ReplaceFileAtomically(QString(), "x"));

        const QString gb = QStringLiteral("gb2312");
        for (const QString& path : {dir.filePath(QStringLiteral("missing")), dir.path(), QString()})
            QCOMPARE(ReadTextFile(path, gb), QStringLiteral("0"));
        PutContent(plain, QByteArray());
        QCOMPARE(ReadTextFile(plain, gb), QString());
        QCOMPARE(ReadTextFile(plain, QStringLiteral("bogus")), QStringLiteral("0"));
    }

    // A short write reports failure and leaves neither a changed file nor a copy beside it.
    void failedWriteKeepsOldContent() {
#ifdef Q_OS_LINUX
        const QString path = dir.filePath(QStringLiteral("SeoLog.htm"));
        PutContent(path, "old");
        {
            const ResourceLimit full(RLIMIT_FSIZE, 4096);
            QVERIFY(!ReplaceFileAtomically(path, QByteArray(64 * 1024, 'n')));
        }
        QCOMPARE(ContentOf(path), QByteArray("old"));
        QVERIFY(QFile::remove(path));
        QVERIFY(QDir(dir.path()).entryList({"SeoLog.htm*"}, QDir::Files | QDir::Hidden).isEmpty());
#else
        QSKIP("needs a file size limit");
#endif
    }

    void replaceKeepsPermissions_data() {
        QTest::addColumn<int>("mode");
        QTest::newRow("owner and group") << 0640;
        QTest::newRow("read-only") << 0444; // root used to make it 0644
    }

    void replaceKeepsPermissions() {
#ifdef Q_OS_UNIX
        QFETCH(int, mode);
        const QString path = dir.filePath(QStringLiteral("Config.ini"));
        const QByteArray name = QFile::encodeName(path);
        PutContent(path, "a");
        // The super-user's write also keeps the owner (when it can test that).
        const uid_t owner = geteuid() == 0 ? 65534 : geteuid();
        QCOMPARE(chown(name.constData(), owner, gid_t(-1)), 0);
        QCOMPARE(chmod(name.constData(), mode_t(mode)), 0);
        QVERIFY(ReplaceFileAtomically(path, "b"));
        struct stat info {};
        QCOMPARE(stat(name.constData(), &info), 0);
        QCOMPARE(int(info.st_mode & 07777), mode);
        QCOMPARE(info.st_uid, owner);
        QCOMPARE(ContentOf(path), QByteArray("b"));
        QVERIFY(QFile::remove(path));
#else
        QSKIP("owner and mode are Unix notions");
#endif
    }

    void writeTextFileNeverFollowsALink() {
        QTemporaryDir dir;
        const QString victim = dir.filePath(QStringLiteral("victim"));
        const QString scratch = dir.filePath(QStringLiteral("scratch.tmp"));
        PutContent(victim, "keep");
        for (const QString& target : {victim, dir.filePath(QStringLiteral("made"))}) {
            QFile::remove(scratch);
            QVERIFY(QFile::link(target, scratch));
            WriteTextFile(scratch, QStringLiteral("x"));
            QVERIFY(!QFileInfo(scratch).isSymLink());
            QCOMPARE(ContentOf(scratch), QByteArray("x\r\n"));
            QCOMPARE(QFile::permissions(scratch) & QFileDevice::Permissions(0x0077),
                     QFileDevice::Permissions());
        }
        QCOMPARE(ContentOf(victim), QByteArray("keep"));
        QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("made"))));
    }

    void staleCopiesRemoved() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Config.ini"));
        const QDateTime old = QDateTime::currentDateTime().addSecs(-11 * 60);
        const QDateTime recent = QDateTime::currentDateTime().addSecs(-9 * 60);
        const auto make = [&](const char* name, const QDateTime& when) {
            const QString file = dir.filePath(QString::fromLatin1(name));
            PutContent(file, "x");
            SetModified(file, when);
        };
        make("Config.ini", old);
        make("Config.ini.a1B2c3", old);    // left by a killed writer
        make("Config.ini.Zz9Yy8", recent); // maybe a running writer's
        make("Config.ini.bak", old);       // not our pattern
        make("Config.ini.a1-2c3", old);    // not our pattern
        make("Config.ini.a1B2c3d", old);   // not our pattern
        make("Other.ini.a1B2c3", old);     // another file's
        QVERIFY(QFile::link(dir.filePath("Config.ini.bak"), dir.filePath("Config.ini.LiNk00")));
        QStringList kept = {"Config.ini",        "Config.ini.Zz9Yy8",  "Config.ini.bak",
                            "Config.ini.a1-2c3", "Config.ini.a1B2c3d", "Config.ini.LiNk00",
                            "Other.ini.a1B2c3"};
#ifdef Q_OS_UNIX
        if (geteuid() == 0) { // another user's copy is not ours to remove
            make("Config.ini.n0B0dy", old);
            QCOMPARE(chown(QFile::encodeName(dir.filePath("Config.ini.n0B0dy")).constData(), 65534,
                           gid_t(-1)),
                     0);
            kept << "Config.ini.n0B0dy";
        }
#endif
        RemoveStaleCopies(path);
        kept.sort();
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name),
                 kept);
    }

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

QTEST_GUILESS_MAIN(TestText)
#include "tst_text.moc"

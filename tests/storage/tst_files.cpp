// Text in and out, and the session's files: the autostart entry, the private runtime folder.
#include "storage/autostart.h"
#include "storage/charset.h"
#include "storage/runtimefolder.h"
#include "storage/texthelpers.h"

#include "fixture.h"

#include <QDir>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

class TestFiles : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString path(const QString& name) const { return dir.filePath(name); }
    // The autostart entry of /opt/valdane/valdane, in a config folder of its own.
    QString freshAutostart() {
        QDir(path("config")).removeRecursively();
        qputenv("XDG_CONFIG_HOME", path("config").toUtf8());
        SetAutostartProgramFile("/opt/valdane/valdane");
        return path("config/autostart/valdane.desktop");
    }

  private slots:
    void init() { QVERIFY(QDir(dir.path()).removeRecursively() && QDir().mkpath(dir.path())); }

    // The pure text functions, row by row: decoding, markers, domains, site lists, GBK, clock.
    void textFunctions() {
        const auto decode = [](const char* hex, const char* charset) {
            return BytesToText(QByteArray::fromHex(hex), charset);
        };
        const auto between = [](const char* text) { return GetBetween(text, "<s>", "<e>"); };
        // 81 40 exists only in GBK; a strict GB 2312 decoder would not give this character.
        QCOMPARE(decode("8140", "gb2312"), "丂");
        QCOMPARE(decode("8140", " GBK "), "丂");
        QCOMPARE(decode("d6d0cec4", "cp936"), "中文");
        QCOMPARE(decode("e4b8ad", "utf-8"), "中");
        QCOMPARE(decode("616263", "no-such"), "0");
        QCOMPARE(decode("616263", ""), "0");
        QCOMPARE(decode("", "gb2312"), "");
        QCOMPARE(decode("", "bogus"), "0");
        QCOMPARE(decode("812041", "gb2312"), QString::fromUtf16(u"\uFFFD A")); // invalid trail byte
        QCOMPARE(decode("41d6", "gb2312"), QString::fromUtf16(u"A\uFFFD")); // lead byte at the end
        QCOMPARE(decode("610062", "gb2312"), QString::fromUtf16(u"a\0b", 3));
        QCOMPARE(between("x<s>1,2<e>y"), "1,2");
        QCOMPARE(between("0"), ""); // a failed fetch
        QCOMPARE(between("<s>1,2"), "");
        QCOMPARE(between("<s>a<e><s>b<e>"), "a");
        QCOMPARE(between("<e>x<s>y<e>"), ""); // the end is searched from the text's start
        QCOMPARE(between("abcdef<e>"), "");
        QCOMPARE(between("<S>a<E>"), "");
        QCOMPARE(between("<s>百度,谷歌<e>"), "百度,谷歌");
        QCOMPARE(NormalizeSiteList("http://a.com；b.com;a.com"), "a.com;b.com");
        QCOMPARE(NormalizeSiteList("  a.com  "), "  a.com  "); // a single entry keeps its blanks
        QCOMPARE(NormalizeSiteList("  a.com  ; b.com "), "a.com;b.com");
        QCOMPARE(NormalizeSiteList(";;;"), "");
        QCOMPARE(NormalizeSiteList("HTTP://a.com"), "HTTP://a.com");
        QCOMPARE(NormalizeSiteList("a.com/http://x"), "a.com/x");
        QCOMPARE(NormalizeSiteList("a.com\r\nb.com"), "a.comb.com");
        QCOMPARE(NormalizeSiteList("a.com;\r\nb.com;\r\n"), "a.com;b.com");
        QCOMPARE(NormalizeSiteList("a.com;A.com"), "a.com;A.com");
        QCOMPARE(NormalizeSiteList("x;a.com;.b.com;c.com."), "a.com");
        QCOMPARE(NormalizeSiteList("c.com;b.com;a.com;b.com;c.com"), "c.com;b.com;a.com");
        QCOMPARE(NormalizeSiteList("中文网.com"), "中文网.com");
        // Names GBK lacks are stored in ASCII.
        QCOMPARE(NormalizeSiteList("한국어.com; ไทย.com/ไทย ;a.com"),
                 "xn--3e0bk47br7k.com;xn--o3cw4h.com/%E0%B9%84%E0%B8%97%E0%B8%A2;a.com");
        QCOMPARE(NormalizeSiteList("한국어.com"), "xn--3e0bk47br7k.com");
        QCOMPARE(NormalizeSiteList("한국어.com;xn--3e0bk47br7k.com"), "xn--3e0bk47br7k.com");
        QCOMPARE(ToGbk("").toHex(), "");
        QCOMPARE(ToGbk("更新丂").toHex(), "b8fcd0c28140");
        QCOMPARE(ToGbk("a😀b").toHex(), "613f62"); // no GBK code
        QCOMPARE(ToGbk("😀中").toHex(), "3fd6d0");
        for (const char* valid : {"a.cn", "abc.com/", "中文网.com"})
            QVERIFY2(IsValidDomain(valid), valid);
        for (const char* invalid :
             {"a.c", "abcdef", ".abc.com", "/abc.com", "\\abc.com", "abc.com.", "abc.com\\"})
            QVERIFY2(!IsValidDomain(invalid), invalid);
        QCOMPARE(ClockText(QDateTime(QDate(2009, 3, 7), QTime(9, 5, 3))),
                 "2009年03月07日 星期六 9:05:03");
        QCOMPARE(WeekdayText(QDate()), QString());
    }

    // Text files are made anew, for this user only: old content goes whole, a link in the file's
    // place is replaced, not written through, a broken pair at the end is "?". Bad places make,
    // read and find nothing. Hidden files do not exist for the program; an empty one reads "".
    void textFiles() {
        const QString file = path("SeoLog.htm"), victim = path("victim");
        PutContent(file, QByteArray(5000, 'x'));
        PutContent(victim, "keep");
        QVERIFY(WriteTextFile(file, "更新丂"));
        QCOMPARE(ContentOf(file), QByteArray::fromHex("b8fcd0c281400d0a"));
        QCOMPARE(ReadTextFile(file, "gb2312"), "更新丂\r\n");
        for (const QString& target : {victim, path("made")}) {
            QVERIFY(QFile::remove(file) && QFile::link(target, file));
            QVERIFY(WriteTextFile(file, QString(QChar(0xD800))));
            QVERIFY(!QFileInfo(file).isSymLink());
            QCOMPARE(ContentOf(file), QByteArray("?\r\n"));
            QCOMPARE(QFile::permissions(file).toInt() & 0x0077, 0);
        }
        PutContent(path(".hidden"), "");
        QVERIFY(QDir(dir.path()).mkdir("folder"));
        for (const QString& bad :
             {path("missing/out.htm"), path("folder"), victim + "/out.htm", QString()}) {
            QVERIFY2(!FileExists(bad) && !WriteTextFile(bad, "x") &&
                         !ReplaceFileAtomically(bad, "x"),
                     qPrintable(bad));
            QCOMPARE(ReadTextFile(bad, "gb2312"), "0");
        }
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList({".hidden", "folder", "SeoLog.htm", "victim"}));
        QVERIFY(FileExists(victim) && !FileExists(path(".hidden")));
        QCOMPARE(ContentOf(victim), QByteArray("keep"));
        QCOMPARE(ReadTextFile(path(".hidden"), "gb2312"), QString());
        QCOMPARE(ReadTextFile(victim, "bogus"), "0");
    }

#ifdef Q_OS_UNIX
    // A replacement keeps owner and mode (root used to make a read-only file 0644 and its own).
    // Of a writer's leftovers only this user's, named like one and untouched for 10 min, go.
    void replacement() {
        const QString file = path("Config.ini");
        const QByteArray name = QFile::encodeName(file);
        const uid_t owner = geteuid() == 0 ? 65534 : geteuid();
        const mode_t mode = geteuid() == 0 ? 0444 : 0640; // others may not replace read-only files
        PutContent(file, "a");
        QVERIFY(chown(name.constData(), owner, gid_t(-1)) == 0 &&
                chmod(name.constData(), mode) == 0);
        QVERIFY(ReplaceFileAtomically(file, "b"));
        struct stat info {};
        QVERIFY(stat(name.constData(), &info) == 0 && (info.st_mode & 07777) == mode &&
                info.st_uid == owner);
        QCOMPARE(ContentOf(file), QByteArray("b"));
        QStringList kept = {"Config.ini",         "Config.ini.bak",   "Config.ini.a1-2c3",
                            "Config.ini.a1B2c3d", "Other.ini.a1B2c3", "Config.ini.Zz9Yy8"};
        for (const QString& name : kept + QStringList{"Config.ini.a1B2c3", "Config.ini.n0B0dy"}) {
            PutContent(path(name), "x");
            SetModified(path(name), QDateTime::currentDateTime().addSecs(
                                        name.endsWith("Zz9Yy8") ? -9 * 60 : -11 * 60));
        }
        QVERIFY(QFile::link(path("Config.ini.bak"), path("Config.ini.LiNk00")));
        kept << "Config.ini.LiNk00";
        if (geteuid() == 0) { // another user's copy is not ours to remove
            QCOMPARE(chown(QFile::encodeName(path("Config.ini.n0B0dy")).constData(), 65534, -1), 0);
            kept << "Config.ini.n0B0dy";
        }
        RemoveStaleCopies(path("Config.ini"));
        kept.sort();
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name),
                 kept);
    }

    // Any file under the program's name counts, even an empty one; a folder does not. A renamed
    // program has no entry until it writes its own; the old one stays. In the Exec line arguments
    // with blanks or shell characters are quoted, "$" escaped inside, "%" doubled; the service
    // address goes along when set.
    void autostart() {
        const QString entry = freshAutostart();
        QVERIFY(!IsAutostartOn());
        DeleteAutostart(); // nothing to delete: harmless
        WriteAutostart();
        WriteAutostart(); // replacing is fine
        QVERIFY(IsAutostartOn() && ContentOf(entry).startsWith("[Desktop Entry]\n"));
        PutContent(entry, "");
        QVERIFY(IsAutostartOn());
        DeleteAutostart();
        QVERIFY(!IsAutostartOn() && !QFile::exists(entry) && QDir().mkpath(entry));
        QVERIFY(!IsAutostartOn() && QDir(entry).removeRecursively());
        WriteAutostart();
        SetAutostartProgramFile("/opt/valdane/valdane2");
        QVERIFY(!IsAutostartOn());
        WriteAutostart();
        QVERIFY(IsAutostartOn() && QFile::exists(entry));
        // The config folder is a file: nothing can be written, nothing breaks.
        QVERIFY(QDir(path("config")).removeRecursively());
        PutContent(path("config"), "");
        WriteAutostart();
        DeleteAutostart();
        QVERIFY(!IsAutostartOn() && QFile::remove(path("config")));
        SetAutostartProgramFile("/"); // no program file name: no entry at all
        WriteAutostart();
        QVERIFY(!IsAutostartOn());
        // Without a usable XDG_CONFIG_HOME (unset, relative) the entry goes under the home folder.
        const QByteArray home = qgetenv("HOME");
        qputenv("HOME", path("home").toUtf8());
        for (const char* xdg : {"", "relative/config"}) {
            freshAutostart();
            qputenv("XDG_CONFIG_HOME", xdg);
            WriteAutostart();
            QVERIFY(QFile::remove(path("home/.config/autostart/valdane.desktop")));
        }
        qputenv("HOME", home);
        const auto exec = [this](const char* program, const char* makerUrl) {
            const QString entry = freshAutostart();
            SetAutostartProgramFile(QString::fromUtf8(program));
            qputenv("VALDANE_MAKER_URL", makerUrl);
            WriteAutostart();
            const QByteArray content = ContentOf(entry);
            return content.mid(content.indexOf("\nExec=") + 6).split('\n').first();
        };
        QCOMPARE(exec("/opt/工具/valdane", ""), "/opt/工具/valdane -Min");
        QCOMPARE(exec("/opt/100%/a$b/valdane", ""), "\"/opt/100%%/a\\\\$b/valdane\" -Min");
        QCOMPARE(exec("bin/../bin/valdane", ""),
                 QDir::currentPath().toUtf8() + "/bin/valdane -Min");
        QCOMPARE(exec("/opt/my valdane/valdane", "http://h/a?x=1&y=$HOME%"),
                 "env \"VALDANE_MAKER_URL=http://h/a?x=1&y=\\\\$HOME%%\" \"/opt/my "
                 "valdane/valdane\" -Min");
    }

    // Each row plants its first candidate; the second, missing, is created when the first fails.
    void runtimeFolderCandidates_data() {
        QTest::addColumn<QString>("plant");
        QTest::addColumn<bool>("firstTaken");
        QTest::newRow("missing, created") << "" << true;
        QTest::newRow("own, closed") << "0700" << true;
        QTest::newRow("group may write") << "0770" << false;
        QTest::newRow("others may read") << "0704" << false;
        QTest::newRow("link to an own closed folder") << "link" << false;
        QTest::newRow("plain file") << "file" << false;
        QTest::newRow("another user's") << "foreign" << false;
        QTest::newRow("in a folder anyone may rename in") << "open parent" << false;
    }
    void runtimeFolderCandidates() {
        QFETCH(QString, plant);
        QFETCH(bool, firstTaken);
        QTemporaryDir base; // made 0700
        QString first = base.filePath("first");
        const auto folder = [](const QString& path, mode_t mode) {
            const QByteArray name = QFile::encodeName(path);
            return mkdir(name.constData(), 0700) == 0 && chmod(name.constData(), mode) == 0;
        };
        if (plant.startsWith('0'))
            QVERIFY(folder(first, mode_t(plant.toInt(nullptr, 8))));
        if (plant == "link") {
            QVERIFY(folder(base.filePath("real"), 0700) &&
                    QFile::link(base.filePath("real"), first));
        } else if (plant == "file") {
            PutContent(first, "");
        } else if (plant == "open parent") {
            QVERIFY(folder(base.filePath("shared"), 0777));
            first = base.filePath("shared/first");
        } else if (plant == "foreign") {
            if (geteuid() != 0)
                QSKIP("only the super-user can give a folder away");
            QVERIFY(folder(first, 0700) &&
                    chown(QFile::encodeName(first).constData(), 65534, 65534) == 0);
        }
        const QString second = base.filePath("second"),
                      chosen = FirstPrivateFolder({first, second});
        QCOMPARE(chosen, firstTaken ? first : second);
        struct stat info {};
        QCOMPARE(lstat(QFile::encodeName(chosen).constData(), &info), 0);
        QVERIFY(S_ISDIR(info.st_mode) && (info.st_mode & 0777) == 0700 && info.st_uid == geteuid());
        QVERIFY(IsPrivateFolder(chosen));
    }

    // An unusable runtime folder gives way to the temporary folder; relative or unmakeable: none.
    void runtimeFolderFromEnvironment() {
        QVERIFY(QDir(dir.path()).mkdir("run"));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(path("run")));
        QCOMPARE(PrivateRuntimeFolder(), path("run/valdane"));
        QCOMPARE(chmod(QFile::encodeName(path("run/valdane")).constData(), 0755), 0);
        qputenv("TMPDIR", QFile::encodeName(dir.path()));
        QCOMPARE(PrivateRuntimeFolder(), path(QStringLiteral("valdane-%1").arg(geteuid())));
        qunsetenv("XDG_RUNTIME_DIR");
        qunsetenv("TMPDIR");
        QCOMPARE(FirstPrivateFolder({"relative/folder", path("none/deeper")}), QString());
    }
#endif
};

QTEST_GUILESS_MAIN(TestFiles)
#include "tst_files.moc"

// Text in and out, digests, the settings file, the autostart entry and the private runtime folder.
#include "fixture.h"
#include "lookup/md5.h"
#include "storage/autostart.h"
#include "storage/charset.h"
#include "storage/inifile.h"
#include "storage/runtimefolder.h"
#include "storage/texthelpers.h"

#include <QCryptographicHash>
#include <QDir>
#include <QThread>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

constexpr char sampleText[] =
    "; written by hand\r\nOrphan=before any section\r\n[Info]\r\nAppName=Valdane\r\n"
    "  Spaced Key   =   spaced value   \r\nDouble=\"quoted value\"\r\nSingle=' kept blanks '\r\n"
    "Mismatched=\"half'\r\nLoneQuote=\"\r\nEquals=a=b=c\r\n;Commented=yes\r\n"
    "Repeated=first\r\nRepeated=second\r\nZero=ab\0cd\r\n[ Padded Section ]\r\nkey=padded\r\n"
    "[Info]\r\nAppName=second section\r\nExtra=only in the second\r\n"
    "[LF]\nunix=line end\n[Last]\r\nfinal=no line end";

// Operations are "section|key|value" writes, "section|key" reads (after: the value read), or a
// section's name alone to delete it. Before null: the sample file; after null: the write is
// refused and the file stays as it was.
struct Operation {
    const char *name, *before, *operation, *after;
};

} // namespace

class TestFiles : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString path(const QString& name) const { return dir.filePath(name); }
    QString ini() const { return path("Config.ini"); }
    QString read(const QString& s, const QString& key) const { return ReadIni(s, key, ini()); }
    bool write(const QString& section, const QString& key, const QString& value) const {
        return WriteIni(section, key, value, ini());
    }
    // The autostart entry of /opt/valdane/valdane, in a config folder of its own.
    QString freshAutostart() {
        QDir(path("config")).removeRecursively();
        qputenv("XDG_CONFIG_HOME", path("config").toUtf8());
        SetAutostartProgramFile("/opt/valdane/valdane");
        return path("config/autostart/valdane.desktop");
    }

  private slots:
    void init() { QVERIFY(QDir(dir.path()).removeRecursively() && QDir().mkpath(dir.path())); }
    void operations_data() {
        const char *const sample = nullptr, *const same = nullptr;
        addRows<Operation>({
            {"letter case", sample, "INFO|appname", "Valdane"},
            {"blanks around key and value", sample, "Info|spaced key", "spaced value"},
            {"double quotes dropped", sample, "Info|Double", "quoted value"},
            {"single quotes dropped", sample, "Info|Single", " kept blanks "},
            {"mismatched quotes kept", sample, "Info|Mismatched", "\"half'"},
            {"lone quote kept", sample, "Info|LoneQuote", "\""},
            {"value holds =", sample, "Info|Equals", "a=b=c"},
            {"comment", sample, "Info|;Commented", ""},
            {"first of repeated keys", sample, "Info|Repeated", "first"},
            {"value ends at a zero byte", sample, "Info|Zero", "ab"},
            {"padded section name", sample, "padded section|key", "padded"},
            {"key only in a repeated section", sample, "Info|Extra", ""},
            {"LF line ends", sample, "lf|UNIX", "line end"},
            {"last line without line end", sample, "Last|final", "no line end"},
            {"key before any section", sample, "|Orphan", ""},
            {"full-width letters fold", "[\xa3\xc1\xa3\xc2.com]\r\nk=1\r\n", "ａｂ.COM|K", "1"},
            {"GBK byte of ] inside a name", "[\x81\x5d.com]\r\nk=v\r\n", "乚.com|k", "v"},
            {"marked UTF-8 read as such", "\xEF\xBB\xBF[中文]\r\nkey=值\r\n", "中文|key", "值"},
            {"new file", "", "Info|AppName|Valdane", "[Info]\r\nAppName=Valdane\r\n"},
            {"replace", "[a]\nx=1\n;\xff\n[b]\nx=2\n", "A|X|9", "[a]\nx=9\r\n;\xff\n[b]\nx=2\n"},
            {"key spelling", "[a]\r\n  MyKey = o  \r\n", "a|mykey|n", "[a]\r\n  MyKey =n\r\n"},
            {"after last key", "[a]\r\nx=1\r\n\r\n  \r\n[b]\r\n", "a|z|3",
             "[a]\r\nx=1\r\nz=3\r\n\r\n  \r\n[b]\r\n"},
            {"in an empty section", "[a]\r\n[b]\r\n", "a|k|v", "[a]\r\nk=v\r\n[b]\r\n"},
            {"replace the last line, no line end", "[a]\r\nx=1", "a|x|2", "[a]\r\nx=2\r\n"},
            {"new section, no line end", "[a]\r\nx=1", "b|y|2", "[a]\r\nx=1\r\n[b]\r\ny=2\r\n"},
            {"new key after a lone CR", "[a]\r\nx=1\r", "a|y|2", "[a]\r\nx=1\r\ny=2\r\n"},
            {"key before sections", "loose=1\r\n", "s|loose|2", "loose=1\r\n[s]\r\nloose=2\r\n"},
            {"first of repeats", "[a]\r\n[A]\r\nx=1\r\n", "a|x|2", "[a]\r\nx=2\r\n[A]\r\nx=1\r\n"},
            {"names trimmed", "[a]\r\nx=1\r\n", " a | x | \"q\" ", "[a]\r\nx= \"q\" \r\n"},
            {"line without =", "[a]\r\nx\r\n", "a|x|1", "[a]\r\nx\r\nx=1\r\n"},
            {"no GBK code: ?", "[a?.com]\r\nk=1\r\n", "a😀.com|k|2", "[a?.com]\r\nk=2\r\n"},
            {"UTF-8", "\xEF\xBB\xBF[中文]\r\n", "中文|新|好", "\xEF\xBB\xBF[中文]\r\n新=好\r\n"},
            {"UTF-8 mark alone", "\xEF\xBB\xBF", "s|k|v", "\xEF\xBB\xBF[s]\r\nk=v\r\n"},
            {"empty key and value delete", "[a]\r\nx=1\r\n[b]\r\n", "A||", "[b]\r\n"},
            {"refused: LF in value", "[a]\r\n", "a|x|1\n[evil]", same},
            {"refused: line break in section", "[a]\r\n", "a\nb|x|1", same},
            {"refused: CR in key", "[a]\r\n", "a|x\ry|1", same},
            {"refused: = in key", "[a]\r\n", "a|x=y|1", same},
            {"refused: key like a header", "[a]\r\n", "a|[b]|1", same},
            {"refused: key like a comment", "[a]\r\n", "a|;x|1", same},
            {"refused: blank section", "[a]\r\n", "  |x|1", same},
            {"refused: empty key with a value", "[a]\r\n", "a||1", same},
            {"delete: mid", "[a]\r\n[b]\r\ny=2\r\n\r\n[c]\r\n", "B", "[a]\r\n[c]\r\n"},
            {"delete: last, no line end", "[a]\r\nx=1\r\n[b]\r\ny=2", "b", "[a]\r\nx=1\r\n"},
            {"delete: repeats", "[a]\r\n[b]\r\nx=1\r\n[a]\r\ny=2\r\n", "a", "[b]\r\nx=1\r\n"},
            {"delete: absent section", "[a]\r\nx=1\r\n", "b", same},
            {"delete: lines before sections stay", "; top\r\n[a]\r\nx=1\r\n", "a", "; top\r\n"},
            {"delete: exact", "[a.com]\r\n[a.co]\r\nk=1\r\n", "a.com", "[a.co]\r\nk=1\r\n"},
        });
    }
    void operations() {
        QFETCH(Operation, row);
        const QByteArray before =
            row.before ? QByteArray(row.before) : QByteArray(sampleText, sizeof sampleText - 1);
        if (!before.isEmpty())
            PutContent(ini(), before);
        const QStringList operation = QString(row.operation).split(u'|');
        if (operation.size() == 2) {
            QCOMPARE(read(operation[0], operation[1]), row.after);
            return;
        }
        if (operation.size() == 1)
            DeleteIniSection(operation[0], ini());
        else // a refusal is reported, not only kept out of the file
            QCOMPARE(write(operation[0], operation[1], operation[2]), bool(row.after));
        QCOMPARE(ContentOf(ini()), row.after ? QByteArray(row.after) : before);
    }
    // Long values come back whole; names are stored in GBK.
    void valuesAndCache() {
        const QString list = QStringLiteral("site.example.com;").repeated(500); // over 1023 bytes
        QVERIFY(write("Setting", "SeoUrl", list));
        QCOMPARE(read("Setting", "SeoUrl"), list);
        QVERIFY(write("中文网.com", "备注", "百度丂谷歌"));
        QVERIFY(ContentOf(ini()).endsWith(ToGbk("[中文网.com]\r\n备注=百度丂谷歌\r\n")));
        QCOMPARE(read("中文网.com", "备注"), "百度丂谷歌");
        // Number lists: entries that are no number read 0 and are written back; unfit lists "".
        const std::tuple<const char*, int, const char*> rows[] = {
            {"2000,800,x,800,800,800,800,800", 7, "2000,800,0,800,800,800,800,800"},
            {"2000,800,800", 7, ""},
            {"100000,200000,3", 7, ""},
            {",800,800", 2, ""},
            {"3000,900,900,900", 2, "3000,900,900,900"},
            {"1,,3", 1, "1,0,3"},
            {"1,2,", 1, "1,2,0"},
            {" 12 ,-3.5,+.5,1e5,7.,2E-3", 5, "12 ,-3.5,+.5,1e5,7.,2E-3"},
            {"+,e5,1e,.,1.2.3,0x10,１", 6, "0,0,0,0,0,0,0"},
            {"5,6", 0, "5,6"},
            {"", 1, ""},
        };
        for (const auto& [stored, minIndex, expected] : rows) {
            QVERIFY(write("Setting", "SViewWidth", stored));
            QCOMPARE(ReadIniNumbers("setting", "sviewwidth", ini(), minIndex), expected);
            QCOMPARE(read("Setting", "SViewWidth"), *expected ? expected : stored);
        }
        // A handler that runs while a list is checked may use the same file.
        QVERIFY(write("Setting", "PViewWidth", "1,x,3"));
        bool ran = false;
        QMetaObject::invokeMethod(
            this, [&] { ran = write("Setting", "Other", "1") && read("Setting", "Other") == "1"; },
            Qt::QueuedConnection);
        QThread::msleep(30); // let the first pump inside process events
        QCOMPARE(ReadIniNumbers("Setting", "PViewWidth", ini(), 2), "1,0,3");
        QVERIFY(ran && read("Setting", "PViewWidth") == "1,0,3" && read("Setting", "Other") == "1");
        // The cache sees edits behind it; a write that changes nothing leaves the file alone.
        for (const char* x : {"1", "2"}) {
            PutContent(ini(), QByteArray("[a]\r\nx=") + x + "\r\n");
            QCOMPARE(read("a", "x"), x);
        }
        PutContent(ini(), "[a]\r\nx=3\r\n");
        write("a", "y", "4"); // keeps the edit just made
        QCOMPARE(ContentOf(ini()), QByteArray("[a]\r\nx=3\r\ny=4\r\n"));
        const QDateTime old = QDateTime::currentDateTime().addSecs(-3600);
        SetModified(ini(), old);
        QCOMPARE(read("a", "x"), "3");
        write("a", "x", "3");
        QCOMPARE(QFileInfo(ini()).lastModified(), old);
        PutContent(ini(), "[a]\r\nx=5\r\ny=4\r\n");
        SetModified(ini(), old);
        QCOMPARE(read("a", "x"), "5");
        QVERIFY(ReplaceFileAtomically(path("other.ini"), "[a]\r\nx=7\r\n"));
        QVERIFY(QFile::remove(ini()) && QFile::rename(path("other.ini"), ini()));
        QCOMPARE(read("a", "x"), "7");
        QVERIFY(QFile::remove(ini()));
        QCOMPARE(read("a", "x"), QString());
        const QString oldCurrent = QDir::currentPath(); // a relative name is the same file
        QVERIFY(QDir::setCurrent(dir.path()));
        WriteIni("a", "x", "8", QStringLiteral("Config.ini"));
        QVERIFY(QDir::setCurrent(oldCurrent));
        QCOMPARE(read("a", "x"), "8");
    }
    // Bad places for settings and text files: nothing is read, written or made; deleting from a
    // missing file makes none. Memory follows the bytes, not the lines.
    void failures() {
        // What a writer killed before its rename left goes at the first use of the file.
        PutContent(path("Fresh.ini.k1LLed"), "[a]\r\nx=half");
        SetModified(path("Fresh.ini.k1LLed"), QDateTime::currentDateTime().addSecs(-3600));
        QCOMPARE(ReadIni("a", "x", path("Fresh.ini")), QString());
        PutContent(ini(), "[a]\r\nx=1\r\n");
        QVERIFY(QDir(dir.path()).mkdir("folder.ini"));
        for (const QString& file :
             {path("missing/Config.ini"), path("folder.ini"), ini() + "/Config.ini", QString()}) {
            QVERIFY2(ReadIni("a", "x", file).isEmpty() &&
                         ReadIniNumbers("a", "x", file, 0).isEmpty() &&
                         !WriteIni("a", "x", "2", file) && !FileExists(file) &&
                         !WriteTextFile(file, "x") && !ReplaceFileAtomically(file, "x") &&
                         ReadTextFile(file, "gb2312") == "0",
                     qPrintable(file));
            DeleteIniSection("a", file);
        }
        DeleteIniSection("a", path("none.ini"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList({"Config.ini", "folder.ini"}));
        QVERIFY(ContentOf(ini()) == "[a]\r\nx=1\r\n" && QFileInfo(path("folder.ini")).isDir());
        // On a full disk, unreadable or in a read-only folder the old file stays, with no copy.
        const QByteArray old = QByteArray("[s.com]\r\nUrl_site=1,2,3,4,5,6,7\r\n").repeated(100);
        PutContent(ini(), old);
#ifdef Q_OS_LINUX
        {
            const ResourceLimit full(RLIMIT_FSIZE, rlim_t(old.size() + 10));
            QVERIFY(!WriteIni("Setting", "SeoUrl", QString(200, u'x') + ".com", ini()));
        }
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"Config.ini"});
        QVERIFY(ContentOf(ini()) == old && read("s.com", "Url_site") == "1,2,3,4,5,6,7");
#ifndef __SANITIZE_ADDRESS__ // its reservations exceed any data size limit
        // Room for the bytes and a copy of them, not for a record per line.
        PutContent(ini(), QByteArray(64 << 20, '\n') + "[a]\r\nx=1\r\n");
        {
            const ResourceLimit memory(RLIMIT_DATA, rlim_t(512) << 20);
            QCOMPARE(read("a", "x"), "1");
            QVERIFY(write("a", "y", "2"));
        }
        QVERIFY(ContentOf(ini()).endsWith("\n[a]\r\nx=1\r\ny=2\r\n"));
        // A million keys would cost more than the bytes allow: such a file is left unparsed.
        const QByteArray keys = "[a]\r\n" + QByteArray("k=\n").repeated(1 << 20);
        PutContent(ini(), keys);
        QCOMPARE(read("a", "k"), QString());
        QVERIFY(!write("a", "k", "1"));
        QCOMPARE(ContentOf(ini()), keys);
        PutContent(ini(), old);
#endif
#endif
#ifdef Q_OS_UNIX
        if (geteuid() == 0)
            QSKIP("permissions do not stop the super-user");
#endif
        const auto owner = QFile::ReadOwner | QFile::WriteOwner;
        QVERIFY(QFile::setPermissions(ini(), QFileDevice::Permissions()));
        QVERIFY(read("s.com", "Url_site").isNull() && !write("a", "y", "2"));
        QVERIFY(QFile::setPermissions(ini(), owner));
        QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner));
        QVERIFY(!write("a", "y", "2"));
        QVERIFY(QFile::setPermissions(dir.path(), owner | QFile::ExeOwner));
        QCOMPARE(ContentOf(ini()), old);
    }
    // Against an independent MD5 of the GBK bytes: padding boundaries (55 bytes fit one block,
    // 56 need two) and long texts encoded piecewise, multi-unit characters across the pieces.
    void digests_data() {
        QTest::addColumn<QString>("text");
        addRow("empty", QString()), addRow("gbk interleaved", QString("a中b文c"));
        for (int length : {55, 56, 63, 64, 65, 119, 120})
            QTest::addRow("%d x a", length) << QString(length, u'a');
        for (int lead : {65534, 65535, 65536, 131071}) {
            QTest::addRow("surrogate pair after %d", lead) << QString(lead, u'a') + "😀b";
            QTest::addRow("gbk after %d", lead)
                << QString(lead, u'x') + "网站排名" + QString(70000, u'y');
        }
        addRow("ascii after gbk piece", QString("排").repeated(65536) + QString(65536, u'z'));
    }
    void digests() {
        QFETCH(QString, text);
        const QString digest =
            QCryptographicHash::hash(ToGbk(text), QCryptographicHash::Md5).toHex();
        QCOMPARE(QStringList({Md5Text(text, 32, false), Md5Text(text, 32, true),
                              Md5Text(text, 16, false), Md5Text(text, 16, true)}),
                 QStringList(
                     {digest, digest.toUpper(), digest.mid(8, 16), digest.mid(8, 16).toUpper()}));
        for (int width : {0, 15, 17, 31, 33, 64, -16, -32}) // other widths give nothing
            QVERIFY(Md5Text(text, width, width % 2).isEmpty());
    }
    // Text functions row by row (decoding, markers, domains, site lists, GBK, clock); text files.
    void text() {
        const auto decode = [](const char* row) { // "hex/charset"
            const QStringList part = QString(row).split('/');
            return BytesToText(QByteArray::fromHex(part[0].toLatin1()), part[1]);
        };
        // 81 40 exists only in GBK: a strict GB 2312 decoder would not give this character. Then
        // unknown charsets, an invalid trail byte, a lead byte at the end, a zero byte.
        QCOMPARE(Each(decode, {"8140/gb2312", "8140/ GBK ", "d6d0cec4/cp936", "e4b8ad/utf-8",
                               "616263/no-such", "616263/", "/gb2312", "/bogus", "812041/gb2312",
                               "41d6/gb2312", "610062/gb2312"}),
                 QStringList({"丂", "丂", "中文", "中", "0", "0", "", "0", "\uFFFD A", "A\uFFFD",
                              QString::fromUtf16(u"a\0b", 3)}));
        // "0" is a failed fetch; the end is searched from the text's start.
        QCOMPARE(Each([](const char* t) { return GetBetween(t, "<s>", "<e>"); },
                      {"x<s>1,2<e>y", "0", "<s>1,2", "<s>a<e><s>b<e>", "<e>x<s>y<e>", "abcdef<e>",
                       "<S>a<E>", "<s>百度,谷歌<e>"}),
                 QStringList({"1,2", "", "", "a", "", "", "", "百度,谷歌"}));
        // A single entry keeps its blanks; names GBK lacks are stored in ASCII.
        QCOMPARE(
            Each(NormalizeSiteList,
                 {"http://a.com；b.com;a.com", "  a.com  ", "  a.com  ; b.com ", ";;;",
                  "HTTP://a.com", "a.com/http://x", "a.com\r\nb.com", "a.com;\r\nb.com;\r\n",
                  "a.com;A.com", "x;a.com;.b.com;c.com.", "c.com;b.com;a.com;b.com;c.com",
                  "中文网.com", "한국어.com; ไทย.com/ไทย ;a.com", "한국어.com",
                  "한국어.com;xn--3e0bk47br7k.com"}),
            QStringList({"a.com;b.com", "  a.com  ", "a.com;b.com", "", "HTTP://a.com", "a.com/x",
                         "a.comb.com", "a.com;b.com", "a.com;A.com", "a.com", "c.com;b.com;a.com",
                         "中文网.com",
                         "xn--3e0bk47br7k.com;xn--o3cw4h.com/%E0%B9%84%E0%B8%97%E0%B8%A2;a.com",
                         "xn--3e0bk47br7k.com", "xn--3e0bk47br7k.com"}));
        QCOMPARE(Each(IsValidDomain, {"a.cn", "abc.com/", "中文网.com", "a.c", "abcdef", ".abc.com",
                                      "/abc.com", "\\abc.com", "abc.com.", "abc.com\\"}),
                 QList<bool>(3, true) + QList<bool>(7, false));
        QCOMPARE(ClockText(QDateTime(QDate(2009, 3, 7), QTime(9, 5, 3))),
                 "2009年03月07日 星期六 9:05:03");
        QCOMPARE(WeekdayText(QDate()), QString());
        // Text files are made anew, for this user only: old content goes whole, a link in the
        // file's place is replaced, not written through, a broken pair at the end is "?". Hidden
        // files do not exist; an empty one reads "".
        const QString file = path("SeoLog.htm"), victim = path("victim");
        PutContent(file, QByteArray(5000, 'x')), PutContent(victim, "keep");
        QVERIFY(WriteTextFile(file, "更新丂"));
        QCOMPARE(ContentOf(file), QByteArray::fromHex("b8fcd0c281400d0a"));
        QCOMPARE(ReadTextFile(file, "gb2312"), "更新丂\r\n");
        for (const QString& target : {victim, path("made")}) {
            QVERIFY(QFile::remove(file) && QFile::link(target, file));
            QVERIFY(WriteTextFile(file, QString(QChar(0xD800))));
            QCOMPARE(std::tuple(QFileInfo(file).isSymLink(), ContentOf(file),
                                QFile::permissions(file).toInt() & 0x0077),
                     std::tuple(false, QByteArray("?\r\n"), 0));
        }
        PutContent(path(".hidden"), "");
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList({".hidden", "SeoLog.htm", "victim"}));
        QVERIFY(FileExists(victim) && !FileExists(path(".hidden")));
        QCOMPARE(QStringList({ContentOf(victim), ReadTextFile(path(".hidden"), "gb2312"),
                              ReadTextFile(victim, "bogus")}),
                 QStringList({"keep", "", "0"}));
    }

#ifdef Q_OS_UNIX
    // A replacement keeps owner and mode (root used to make a read-only file 0644 and its own).
    // Of a writer's leftovers only this user's, named like one and untouched for 10 min, go.
    void replacement() {
        const QString file = ini();
        const QByteArray name = QFile::encodeName(file);
        const uid_t owner = geteuid() == 0 ? 65534 : geteuid();
        const mode_t mode = geteuid() == 0 ? 0444 : 0640; // others may not replace read-only files
        PutContent(file, "a");
        QVERIFY(chown(name.constData(), owner, gid_t(-1)) == 0 &&
                chmod(name.constData(), mode) == 0);
        QVERIFY(ReplaceFileAtomically(file, "b") && ContentOf(file) == "b");
        struct stat info {};
        QVERIFY(stat(name.constData(), &info) == 0 && (info.st_mode & 07777) == mode &&
                info.st_uid == owner);
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
        RemoveStaleCopies(file);
        kept.sort();
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name),
                 kept);
    }
    // Any file under the program's name counts, a folder not; a renamed program
    // has none until it writes its own. Exec quotes arguments with blanks or shell characters,
    // escapes "$" inside, doubles "%", and passes the service address when set.
    void sessionFiles() {
        const QString entry = freshAutostart();
        QVERIFY(!IsAutostartOn());
        DeleteAutostart();                  // nothing to delete: harmless
        WriteAutostart(), WriteAutostart(); // replacing is fine
        QVERIFY(IsAutostartOn() && ContentOf(entry).startsWith("[Desktop Entry]\n"));
        DeleteAutostart();
        QVERIFY(!IsAutostartOn() && !QFile::exists(entry) && QDir().mkpath(entry));
        QVERIFY(!IsAutostartOn() && QDir(entry).removeRecursively());
        WriteAutostart();
        SetAutostartProgramFile("/opt/valdane/valdane2");
        QVERIFY(!IsAutostartOn());
        WriteAutostart();
        QVERIFY(IsAutostartOn() && QFile::exists(entry));
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
        // An unusable runtime folder gives way to the temporary one; relative or unmakeable: none.
        QVERIFY(QDir(dir.path()).mkdir("run"));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(path("run")));
        QCOMPARE(PrivateRuntimeFolder(), path("run/valdane"));
        QCOMPARE(chmod(QFile::encodeName(path("run/valdane")).constData(), 0755), 0);
        qputenv("TMPDIR", QFile::encodeName(dir.path()));
        QCOMPARE(PrivateRuntimeFolder(), path(QStringLiteral("valdane-%1").arg(geteuid())));
        qunsetenv("XDG_RUNTIME_DIR"), qunsetenv("TMPDIR");
        QCOMPARE(FirstPrivateFolder({"relative/folder", path("none/deeper")}), QString());
    }
    // Each row plants its first candidate: nothing (it is created), an own folder of that mode,
    // a link to an own closed folder, a file, another user's folder, one in a folder anyone may
    // rename in. Only the first two are taken; else the second, missing, is created.
    void runtimeFolderCandidates_data() {
        QTest::addColumn<QString>("plant");
        for (const char* plant :
             {"", "0700", "0770", "0704", "link", "file", "foreign", "open parent"})
            QTest::newRow(*plant ? plant : "missing") << QString(plant);
    }
    void runtimeFolderCandidates() {
        QFETCH(QString, plant);
        const bool firstTaken = plant.isEmpty() || plant == "0700";
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
#endif
};

QTEST_GUILESS_MAIN(TestFiles)
#include "tst_files.moc"

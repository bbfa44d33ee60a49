#include "storage/charset.h"
#include "storage/inifile.h"

#include "fixture.h"

#include <QDir>
#include <QThread>

#ifdef Q_OS_UNIX
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

class TestIniFile : public QObject {
    Q_OBJECT
    QString path(const QString& name) const { return dir.filePath(name); }
    QString ini() const { return path("Config.ini"); }
    QString read(const QString& s, const QString& key) const { return ReadIni(s, key, ini()); }
    bool write(const QString& section, const QString& key, const QString& value) const {
        return WriteIni(section, key, value, ini());
    }
    QTemporaryDir dir;

  private slots:
    void init() { QFile::remove(ini()); }

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
    void longValueAndGbkNames() {
        const QString list = QStringLiteral("site.example.com;").repeated(500); // over 1023 bytes
        QVERIFY(write("Setting", "SeoUrl", list));
        QCOMPARE(read("Setting", "SeoUrl"), list);
        QVERIFY(write("中文网.com", "备注", "百度丂谷歌"));
        QVERIFY(ContentOf(ini()).endsWith(ToGbk("[中文网.com]\r\n备注=百度丂谷歌\r\n")));
        QCOMPARE(read("中文网.com", "备注"), "百度丂谷歌");
    }

    void readIniNumbers() {
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
    }

    // The cache sees edits behind it; a write that changes nothing leaves the file alone.
    void seesEditsBehindTheCache() {
        PutContent(ini(), "[a]\r\nx=1\r\n");
        QCOMPARE(read("a", "x"), "1");
        PutContent(ini(), "[a]\r\nx=2\r\n");
        QCOMPARE(read("a", "x"), "2");
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

    // Bad places: nothing is read, written or made; deleting from a missing file makes none.
    void failures() {
        // What a writer killed before its rename left goes at the first use of the file.
        PutContent(path("Fresh.ini.k1LLed"), "[a]\r\nx=half");
        SetModified(path("Fresh.ini.k1LLed"), QDateTime::currentDateTime().addSecs(-3600));
        QCOMPARE(ReadIni("a", "x", path("Fresh.ini")), QString());
        PutContent(ini(), "[a]\r\nx=1\r\n");
        QVERIFY(QDir(dir.path()).mkdir("folder.ini"));
        for (const QString& file :
             {path("missing/Config.ini"), path("folder.ini"), ini() + "/Config.ini", QString()}) {
            QCOMPARE(ReadIni("a", "x", file), QString());
            QCOMPARE(ReadIniNumbers("a", "x", file, 0), QString());
            QVERIFY(!WriteIni("a", "x", "2", file));
            DeleteIniSection("a", file);
        }
        DeleteIniSection("a", path("none.ini"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList({"Config.ini", "folder.ini"}));
        QCOMPARE(ContentOf(ini()), QByteArray("[a]\r\nx=1\r\n"));
        QVERIFY(QFileInfo(path("folder.ini")).isDir());
        // On a full disk, unreadable or in a read-only folder the old file stays, with no copy.
        const QByteArray old = QByteArray("[s.com]\r\nUrl_site=1,2,3,4,5,6,7\r\n").repeated(100);
        PutContent(ini(), old);
#ifdef Q_OS_LINUX
        {
            const ResourceLimit full(RLIMIT_FSIZE, rlim_t(old.size() + 10));
            QVERIFY(!WriteIni("Setting", "SeoUrl", QString(200, u'x') + ".com", ini()));
        }
        QCOMPARE(ContentOf(ini()), old);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"Config.ini"});
        QCOMPARE(read("s.com", "Url_site"), "1,2,3,4,5,6,7");
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

    void memoryFollowsBytesNotLines() {
#if defined(Q_OS_LINUX) && !defined(__SANITIZE_ADDRESS__)
        PutContent(ini(), QByteArray(64 << 20, '\n') + "[a]\r\nx=1\r\n");
        {
            // Room for the bytes and a copy of them, not for a record per line.
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
#else
        QSKIP("needs a data size limit, which the address sanitizer's reservations exceed");
#endif
    }
};

QTEST_GUILESS_MAIN(TestIniFile)
#include "tst_inifile.moc"

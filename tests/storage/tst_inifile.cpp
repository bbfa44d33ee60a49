#include "storage/charset.h"
#include "storage/inifile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

QByteArray contentOf(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArrayLiteral("<unreadable>");
    return file.readAll();
}

// Rewrites the file in place (same inode), as an editor that does not rename would.
void putContent(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.resize(0));
    QCOMPARE(file.write(bytes), bytes.size());
}

// Moves the file's modification time back, as for a file that has been quiet for a while.
void ageFile(const QString& path, const QDateTime& when) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(when, QFileDevice::FileModificationTime));
}

constexpr char sampleText[] = "; written by hand\r\n"
                              "Orphan=before any section\r\n"
                              "[Info]\r\n"
                              "AppName=Valdane\r\n"
                              "  Spaced Key   =   spaced value   \r\n"
                              "Empty=\r\n"
                              "Double=\"quoted value\"\r\n"
                              "Single=' kept blanks '\r\n"
                              "Mismatched=\"half'\r\n"
                              "LoneQuote=\"\r\n"
                              "Equals=a=b=c\r\n"
                              "NoEqualsLineIsIgnored\r\n"
                              ";Commented=yes\r\n"
                              "Repeated=first\r\n"
                              "Repeated=second\r\n"
                              "Zero=ab\0cd\r\n"
                              "[ Padded Section ]\r\n"
                              "key=padded\r\n"
                              "[Info]\r\n"
                              "AppName=second section\r\n"
                              "Extra=only in the second\r\n"
                              "[LF]\n"
                              "unix=line end\n"
                              "[Last]\r\n"
                              "final=no line end";
const QByteArray sampleFile(sampleText, sizeof(sampleText) - 1);

} // namespace

class TestIniFile : public QObject {
    Q_OBJECT

  private slots:
    void init();

    void readIni_data();
    void readIni();
    void readIniWholeLongValue();
    void gbkRoundTrip();
    void utf8FileWithMark();

    void writeIni_data();
    void writeIni();
    void refusedWrites_data();
    void refusedWrites();
    void deleteIniSection_data();
    void deleteIniSection();
    void unchangedWriteLeavesFileAlone();

    void readIniNumbers_data();
    void readIniNumbers();
    void readIniNumbersReentry();

    void seesEditsBehindItsBack();
    void seesEditWithModificationTimeSetBack();
    void seesReplacementAndRemoval();

    void binaryGarbage();
    void hugeFile();
    void fileIsDirectory();
    void folderIsAFile();
    void noPermission();
    void failedWriteKeepsOldContent();

  private:
    QString iniPath() const { return dir.filePath(QStringLiteral("Config.ini")); }
    QTemporaryDir dir;
};

void TestIniFile::init() {
    QVERIFY(dir.isValid());
    QFile::remove(iniPath());
}

void TestIniFile::readIni_data() {
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected");

    QTest::newRow("plain") << "Info"
                           << "AppName"
                           << "Valdane";
    QTest::newRow("section case") << "INFO"
                                  << "AppName"
                                  << "Valdane";
    QTest::newRow("key case") << "info"
                              << "APPNAME"
                              << "Valdane";
    QTest::newRow("blanks around key and value") << "Info"
                                                 << "spaced key"
                                                 << "spaced value";
    QTest::newRow("empty value") << "Info"
                                 << "Empty"
                                 << "";
    QTest::newRow("missing key") << "Info"
                                 << "Nothing"
                                 << "";
    QTest::newRow("missing section") << "Nowhere"
                                     << "AppName"
                                     << "";
    QTest::newRow("double quotes dropped") << "Info"
                                           << "Double"
                                           << "quoted value";
    QTest::newRow("single quotes dropped, blanks inside kept") << "Info"
                                                               << "Single"
                                                               << " kept blanks ";
    QTest::newRow("mismatched quotes kept") << "Info"
                                            << "Mismatched"
                                            << "\"half'";
    QTest::newRow("lone quote kept") << "Info"
                                     << "LoneQuote"
                                     << "\"";
    QTest::newRow("value holds =") << "Info"
                                   << "Equals"
                                   << "a=b=c";
    QTest::newRow("line without =") << "Info"
                                    << "NoEqualsLineIsIgnored"
                                    << "";
    QTest::newRow("comment") << "Info"
                             << ";Commented"
                             << "";
    QTest::newRow("first of repeated keys") << "Info"
                                            << "Repeated"
                                            << "first";
    QTest::newRow("value ends at a zero byte") << "Info"
                                               << "Zero"
                                               << "ab";
    QTest::newRow("padded section name") << "padded section"
                                         << "key"
                                         << "padded";
    QTest::newRow("first of repeated sections") << "Info"
                                                << "AppName"
                                                << "Valdane";
    QTest::newRow("key only in a repeated section") << "Info"
                                                    << "Extra"
                                                    << "";
    QTest::newRow("LF line ends") << "lf"
                                  << "UNIX"
                                  << "line end";
    QTest::newRow("last line without line end") << "Last"
                                                << "final"
                                                << "no line end";
    QTest::newRow("key before any section") << ""
                                            << "Orphan"
                                            << "";
    QTest::newRow("empty key") << "Info"
                               << ""
                               << "";
}

void TestIniFile::readIni() {
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, expected);
    QFile file(iniPath());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(sampleFile);
    file.close();
    QCOMPARE(ReadIni(section, key, iniPath()), expected);
    QCOMPARE(ReadIni(section, key, dir.filePath(QStringLiteral("missing.ini"))), QString());
}

void TestIniFile::readIniWholeLongValue() {
    // A site list far beyond 1023 bytes comes back whole.
    QStringList sites;
    for (int i = 0; i < 500; ++i)
        sites << QStringLiteral("site%1.example.com").arg(i);
    const QString list = sites.join(u';');
    WriteIni(QStringLiteral("Setting"), QStringLiteral("SeoUrl"), list, iniPath());
    QCOMPARE(ReadIni(QStringLiteral("Setting"), QStringLiteral("SeoUrl"), iniPath()), list);
}

void TestIniFile::gbkRoundTrip() {
    const QString section = QStringLiteral("中文网.com");
    const QString key = QStringLiteral("备注");
    const QString value = QStringLiteral("百度丂谷歌");
    WriteIni(section, key, value, iniPath());
    QCOMPARE(contentOf(iniPath()),
             "[" + ToGbk(section) + "]\r\n" + ToGbk(key) + "=" + ToGbk(value) + "\r\n");
    QCOMPARE(ReadIni(section, key, iniPath()), value);
    // Full-width Latin letters fold like ASCII ones.
    WriteIni(QStringLiteral("ＡＢ.com"), QStringLiteral("k"), QStringLiteral("1"), iniPath());
    QCOMPARE(ReadIni(QStringLiteral("ａｂ.COM"), QStringLiteral("K"), iniPath()),
             QStringLiteral("1"));
    // A character GBK lacks is stored as "?" and still finds its own section again.
    const QString odd = QStringLiteral("a😀.com");
    WriteIni(odd, QStringLiteral("k"), QStringLiteral("1"), iniPath());
    WriteIni(odd, QStringLiteral("k"), QStringLiteral("2"), iniPath());
    QCOMPARE(ReadIni(odd, QStringLiteral("k"), iniPath()), QStringLiteral("2"));
    QCOMPARE(contentOf(iniPath()).count("[a?.com]"), 1);
    // The GBK second byte 0x5D is the byte of "]": the name must not end there.
    const QString bracketByte = QStringLiteral("乚.com"); // GBK 81 5D
    QCOMPARE(ToGbk(bracketByte).at(1), ']');
    WriteIni(bracketByte, QStringLiteral("k"), QStringLiteral("v"), iniPath());
    QCOMPARE(ReadIni(bracketByte, QStringLiteral("k"), iniPath()), QStringLiteral("v"));
}

void TestIniFile::utf8FileWithMark() {
    const QByteArray bom = "\xEF\xBB\xBF";
    putContent(iniPath(), bom + "[中文]\r\nkey=值\r\n");
    QCOMPARE(ReadIni(QStringLiteral("中文"), QStringLiteral("key"), iniPath()),
             QStringLiteral("值"));
    WriteIni(QStringLiteral("中文"), QStringLiteral("新"), QStringLiteral("好"), iniPath());
    QCOMPARE(contentOf(iniPath()), bom + "[中文]\r\nkey=值\r\n新=好\r\n");
    putContent(iniPath(), bom);
    WriteIni(QStringLiteral("s"), QStringLiteral("k"), QStringLiteral("v"), iniPath());
    QCOMPARE(contentOf(iniPath()), bom + "[s]\r\nk=v\r\n");
}

void TestIniFile::writeIni_data() {
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("after");

    QTest::newRow("new file") << QByteArray() << "Info"
                              << "AppName"
                              << "Valdane" << QByteArray("[Info]\r\nAppName=Valdane\r\n");
    QTest::newRow("replace in place, other lines untouched")
        << QByteArray("[a]\nx=1\n  ; note\xff\xfe\n[b]\r\nx=2\r\n") << "A"
        << "X"
        << "9" << QByteArray("[a]\nx=9\r\n  ; note\xff\xfe\n[b]\r\nx=2\r\n");
    QTest::newRow("key spelling and spacing before = kept")
        << QByteArray("[a]\r\n  MyKey = old value  \r\n") << "a"
        << "mykey"
        << "new" << QByteArray("[a]\r\n  MyKey =new\r\n");
    QTest::newRow("new key after the last key, before blank lines")
        << QByteArray("[a]\r\nx=1\r\n\r\n  \r\n[b]\r\ny=2\r\n") << "a"
        << "z"
        << "3" << QByteArray("[a]\r\nx=1\r\nz=3\r\n\r\n  \r\n[b]\r\ny=2\r\n");
    QTest::newRow("new key in an empty section") << QByteArray("[a]\r\n[b]\r\n") << "a"
                                                 << "k"
                                                 << "v" << QByteArray("[a]\r\nk=v\r\n[b]\r\n");
    QTest::newRow("new key in the last section without line end")
        << QByteArray("[a]\r\nx=1") << "a"
        << "y"
        << "2" << QByteArray("[a]\r\nx=1\r\ny=2\r\n");
    QTest::newRow("replace on the last line without line end")
        << QByteArray("[a]\r\nx=1") << "a"
        << "x"
        << "2" << QByteArray("[a]\r\nx=2\r\n");
    QTest::newRow("new section at the end") << QByteArray("[a]\r\nx=1\r\n") << "b"
                                            << "y"
                                            << "2" << QByteArray("[a]\r\nx=1\r\n[b]\r\ny=2\r\n");
    QTest::newRow("new section after a last line without line end")
        << QByteArray("[a]\r\nx=1") << "b"
        << "y"
        << "2" << QByteArray("[a]\r\nx=1\r\n[b]\r\ny=2\r\n");
    QTest::newRow("new section after keys outside any section")
        << QByteArray("loose=1\r\n") << "s"
        << "loose"
        << "2" << QByteArray("loose=1\r\n[s]\r\nloose=2\r\n");
    QTest::newRow("first of repeated sections is written")
        << QByteArray("[a]\r\n[A]\r\nx=1\r\n") << "a"
        << "x"
        << "2" << QByteArray("[a]\r\nx=2\r\n[A]\r\nx=1\r\n");
    QTest::newRow("empty value written") << QByteArray("[a]\r\nx=1\r\n") << "a"
                                         << "x"
                                         << "" << QByteArray("[a]\r\nx=\r\n");
    QTest::newRow("names trimmed") << QByteArray("[a]\r\nx=1\r\n") << " a "
                                   << " x "
                                   << "2" << QByteArray("[a]\r\nx=2\r\n");
    QTest::newRow("value written as given") << QByteArray() << "a"
                                            << "x"
                                            << " \"q\" " << QByteArray("[a]\r\nx= \"q\" \r\n");
    QTest::newRow("key only on a line without =") << QByteArray("[a]\r\nx\r\n") << "a"
                                                  << "x"
                                                  << "1" << QByteArray("[a]\r\nx\r\nx=1\r\n");
    QTest::newRow("empty key and value delete the section")
        << QByteArray("[a]\r\nx=1\r\n[b]\r\ny=2\r\n") << "A"
        << ""
        << "" << QByteArray("[b]\r\ny=2\r\n");
}

void TestIniFile::writeIni() {
    QFETCH(QByteArray, before);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QByteArray, after);
    if (!before.isEmpty())
        putContent(iniPath(), before);
    WriteIni(section, key, value, iniPath());
    QCOMPARE(contentOf(iniPath()), after);
}

void TestIniFile::refusedWrites_data() {
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");

    QTest::newRow("line break in value") << "a"
                                         << "x"
                                         << "1\r\n[evil]\r\ny=2";
    QTest::newRow("lone LF in value") << "a"
                                      << "x"
                                      << "1\ny=2";
    QTest::newRow("line break in section") << "a\nb"
                                           << "x"
                                           << "1";
    QTest::newRow("line break in key") << "a"
                                       << "x\ry"
                                       << "1";
    QTest::newRow("= in key") << "a"
                              << "x=y"
                              << "1";
    QTest::newRow("key looks like a header") << "a"
                                             << "[b]"
                                             << "1";
    QTest::newRow("key looks like a comment") << "a"
                                              << ";x"
                                              << "1";
    QTest::newRow("empty section") << ""
                                   << "x"
                                   << "1";
    QTest::newRow("blank section") << "  "
                                   << "x"
                                   << "1";
    QTest::newRow("empty key with a value") << "a"
                                            << ""
                                            << "1";
}

void TestIniFile::refusedWrites() {
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    const QByteArray before = "[a]\r\nx=0\r\n";
    putContent(iniPath(), before);
    WriteIni(section, key, value, iniPath());
    QCOMPARE(contentOf(iniPath()), before);
}

void TestIniFile::deleteIniSection_data() {
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QByteArray>("after");

    QTest::newRow("middle") << QByteArray("[a]\r\nx=1\r\n[b]\r\ny=2\r\n\r\n[c]\r\nz=3\r\n") << "B"
                            << QByteArray("[a]\r\nx=1\r\n[c]\r\nz=3\r\n");
    QTest::newRow("last without line end")
        << QByteArray("[a]\r\nx=1\r\n[b]\r\ny=2") << "b" << QByteArray("[a]\r\nx=1\r\n");
    QTest::newRow("every repetition")
        << QByteArray("[a]\r\n[b]\r\nx=1\r\n[a]\r\ny=2\r\n") << "a" << QByteArray("[b]\r\nx=1\r\n");
    QTest::newRow("absent section")
        << QByteArray("[a]\r\nx=1\r\n") << "b" << QByteArray("[a]\r\nx=1\r\n");
    QTest::newRow("lines before the first section stay")
        << QByteArray("; top\r\n[a]\r\nx=1\r\n") << "a" << QByteArray("; top\r\n");
    QTest::newRow("only the named one")
        << QByteArray("[a.com]\r\n[a.co]\r\nk=1\r\n") << "a.com" << QByteArray("[a.co]\r\nk=1\r\n");
}

void TestIniFile::deleteIniSection() {
    QFETCH(QByteArray, before);
    QFETCH(QString, section);
    QFETCH(QByteArray, after);
    putContent(iniPath(), before);
    DeleteIniSection(section, iniPath());
    QCOMPARE(contentOf(iniPath()), after);
    // Deleting in a file that does not exist creates nothing.
    DeleteIniSection(section, dir.filePath(QStringLiteral("none.ini")));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("none.ini"))));
}

void TestIniFile::unchangedWriteLeavesFileAlone() {
    putContent(iniPath(), "[a]\r\nx=1\r\n");
    const QDateTime old = QDateTime::currentDateTime().addSecs(-3600);
    ageFile(iniPath(), old);
    WriteIni(QStringLiteral("a"), QStringLiteral("x"), QStringLiteral("1"), iniPath());
    QCOMPARE(QFileInfo(iniPath()).lastModified(), old);
    WriteIni(QStringLiteral("a"), QStringLiteral("x"), QStringLiteral("2"), iniPath());
    QVERIFY(QFileInfo(iniPath()).lastModified() > old);
}

void TestIniFile::readIniNumbers_data() {
    QTest::addColumn<QString>("stored");
    QTest::addColumn<int>("minIndex");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("storedAfter");

    const QString widths = QStringLiteral("2000,800,800,800,800,800,800,800");
    QTest::newRow("eight widths") << widths << 7 << widths << widths;
    QTest::newRow("letter repaired")
        << "2000,800,x,800,800,800,800,800" << 7 << "2000,800,0,800,800,800,800,800"
        << "2000,800,0,800,800,800,800,800";
    QTest::newRow("too few entries") << "2000,800,800" << 7 << ""
                                     << "2000,800,800";
    QTest::newRow("too short") << "1,2,3,4,5,6,7" << 7 << ""
                               << "1,2,3,4,5,6,7";
    QTest::newRow("long enough but too few entries") << "100000,200000,3" << 7 << ""
                                                     << "100000,200000,3";
    QTest::newRow("begins with ,") << ",800,800" << 2 << ""
                                   << ",800,800";
    QTest::newRow("no ,") << "12345" << 2 << ""
                          << "12345";
    QTest::newRow("one more than needed") << "3000,900,900,900" << 2 << "3000,900,900,900"
                                          << "3000,900,900,900";
    QTest::newRow("empty entries repaired") << "1,,3" << 1 << "1,0,3"
                                            << "1,0,3";
    QTest::newRow("trailing , repaired") << "1,2," << 1 << "1,2,0"
                                         << "1,2,0";
    QTest::newRow("number forms kept")
        << " 12 ,-3.5,+.5,1e5,7.,2E-3" << 5 << "12 ,-3.5,+.5,1e5,7.,2E-3"
        << "12 ,-3.5,+.5,1e5,7.,2E-3";
    QTest::newRow("non-numbers repaired") << "+,e5,1e,.,1.2.3,0x10,１" << 6 << "0,0,0,0,0,0,0"
                                          << "0,0,0,0,0,0,0";
    QTest::newRow("minimum index 0") << "5,6" << 0 << "5,6"
                                     << "5,6";
    QTest::newRow("missing") << "" << 1 << ""
                             << "";
}

void TestIniFile::readIniNumbers() {
    QFETCH(QString, stored);
    QFETCH(int, minIndex);
    QFETCH(QString, expected);
    QFETCH(QString, storedAfter);
    if (!stored.isEmpty())
        WriteIni(QStringLiteral("Setting"), QStringLiteral("SViewWidth"), stored, iniPath());
    QCOMPARE(ReadIniNumbers(QStringLiteral("setting"), QStringLiteral("sviewwidth"), iniPath(),
                            minIndex),
             expected);
    QCOMPARE(ReadIni(QStringLiteral("Setting"), QStringLiteral("SViewWidth"), iniPath()),
             storedAfter);
}

void TestIniFile::readIniNumbersReentry() {
    // A handler that runs while the list is checked may use the same file.
    WriteIni(QStringLiteral("Setting"), QStringLiteral("PViewWidth"), QStringLiteral("1,x,3"),
             iniPath());
    bool ran = false;
    QMetaObject::invokeMethod(
        this,
        [&] {
            ran = true;
            WriteIni(QStringLiteral("Setting"), QStringLiteral("Other"), QStringLiteral("1"),
                     iniPath());
            QCOMPARE(ReadIni(QStringLiteral("Setting"), QStringLiteral("Other"), iniPath()),
                     QStringLiteral("1"));
        },
        Qt::QueuedConnection);
    QThread::msleep(30); // let the first pump inside process events
    QCOMPARE(ReadIniNumbers(QStringLiteral("Setting"), QStringLiteral("PViewWidth"), iniPath(), 2),
             QStringLiteral("1,0,3"));
    QVERIFY(ran);
    QCOMPARE(ReadIni(QStringLiteral("Setting"), QStringLiteral("PViewWidth"), iniPath()),
             QStringLiteral("1,0,3"));
    QCOMPARE(ReadIni(QStringLiteral("Setting"), QStringLiteral("Other"), iniPath()),
             QStringLiteral("1"));
}

void TestIniFile::seesEditsBehindItsBack() {
    // Same size, same inode, right after the read that filled the cache.
    putContent(iniPath(), "[a]\r\nx=1\r\n");
    QCOMPARE(ReadIni(QStringLiteral("a"), QStringLiteral("x"), iniPath()), QStringLiteral("1"));
    putContent(iniPath(), "[a]\r\nx=2\r\n");
    QCOMPARE(ReadIni(QStringLiteral("a"), QStringLiteral("x"), iniPath()), QStringLiteral("2"));
    // And a write of ours right after such an edit keeps the edit.
    putContent(iniPath(), "[a]\r\nx=3\r\n");
    WriteIni(QStringLiteral("a"), QStringLiteral("y"), QStringLiteral("4"), iniPath());
    QCOMPARE(contentOf(iniPath()), QByteArray("[a]\r\nx=3\r\ny=4\r\n"));
}

void TestIniFile::seesEditWithModificationTimeSetBack() {
    const QDateTime old = QDateTime::currentDateTime().addSecs(-3600);
    putContent(iniPath(), "[a]\r\nx=1\r\n");
    ageFile(iniPath(), old);
    QCOMPARE(ReadIni(QStringLiteral("a"), QStringLiteral("x"), iniPath()), QStringLiteral("1"));
    QCOMPARE(ReadIni(QStringLiteral("a"), QStringLiteral("x"), iniPath()), QStringLiteral("1"));
    putContent(iniPath(), "[a]\r\nx=5\r\n");
    ageFile(iniPath(), old);
    QCOMPARE(QFileInfo(iniPath()).lastModified(), old);
    QCOMPARE(ReadIni(QStringLiteral("a"), QStringLiteral("x"), iniPath()), QStringLiteral("5"));
}

void TestIniFile::seesReplacementAndRemoval() {
    WriteIni(QStringLiteral("a"), QStringLiteral("x"), QStringLiteral("1"), iniPath());
    QCOMPARE(ReadIni(QStringLiteral("a"), QStringLiteral("x"), iniPath()), QStringLiteral("1"));
    const QString other = dir.filePath(QStringLiteral("other.ini"));
    QFile::remove(other);
    QVERIFY(ReplaceFileAtomically(other, "[a]\r\nx=7\r\n"));
    QVERIFY(QFile::remove(iniPath()));
    QVERIFY(QFile::rename(other, iniPath()));
    QCOMPARE(ReadIni(QStringLiteral("a"), QStringLiteral("x"), iniPath()), QStringLiteral("7"));
    QVERIFY(QFile::remove(iniPath()));
    QCOMPARE(ReadIni(QStringLiteral("a"), QStringLiteral("x"), iniPath()), QString());
    // A relative path names the same file as its absolute form.
    const QString oldCurrent = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    WriteIni(QStringLiteral("a"), QStringLiteral("x"), QStringLiteral("8"),
             QStringLiteral("Config.ini"));
    QCOMPARE(ReadIni(QStringLiteral("a"), QStringLiteral("x"), iniPath()), QStringLiteral("8"));
    QVERIFY(QDir::setCurrent(oldCurrent));
}

void TestIniFile::binaryGarbage() {
    QByteArray garbage(200000, '\0');
    QRandomGenerator random(20261206);
    for (char& c : garbage)
        c = char(random.bounded(256));
    // Some structure inside the noise, and a key at the very end.
    garbage += "\n[\xff\xfe]]\n=\n[\n]\n[Tail]\nkey=value";
    putContent(iniPath(), garbage);
    QCOMPARE(ReadIni(QStringLiteral("Tail"), QStringLiteral("key"), iniPath()),
             QStringLiteral("value"));
    QCOMPARE(ReadIni(QStringLiteral("Info"), QStringLiteral("AppName"), iniPath()), QString());
    QCOMPARE(ReadIniNumbers(QStringLiteral("Tail"), QStringLiteral("key"), iniPath(), 0),
             QString());
    WriteIni(QStringLiteral("Info"), QStringLiteral("AppName"), QStringLiteral("Valdane"),
             iniPath());
    const QByteArray after = contentOf(iniPath());
    QVERIFY(after.startsWith(garbage)); // nothing already there is lost
    QCOMPARE(ReadIni(QStringLiteral("Info"), QStringLiteral("AppName"), iniPath()),
             QStringLiteral("Valdane"));
    DeleteIniSection(QStringLiteral("Info"), iniPath());
    QCOMPARE(contentOf(iniPath()).left(garbage.size()), garbage.left(garbage.size()));
}

void TestIniFile::hugeFile() {
    // 50 MB of sections: read, written and cut without loss.
    QByteArray big;
    big.reserve(52 * 1024 * 1024);
    const QByteArray section = "[site%1.com]\r\nUrl_site=1,2,3,4,5,6,7\r\nUrl_pr=1,2\r\n";
    for (int i = 0; big.size() < 50 * 1024 * 1024; ++i)
        big += QByteArray(section).replace("%1", QByteArray::number(i));
    putContent(iniPath(), big);
    QCOMPARE(ReadIni(QStringLiteral("SITE0.COM"), QStringLiteral("url_pr"), iniPath()),
             QStringLiteral("1,2"));
    WriteIni(QStringLiteral("site0.com"), QStringLiteral("Url_pr"), QStringLiteral("3,4"),
             iniPath());
    const QByteArray first = QByteArray(section).replace("%1", "0");
    QByteArray expected = big;
    expected.replace(0, first.size(), QByteArray(first).replace("Url_pr=1,2", "Url_pr=3,4"));
    QCOMPARE(contentOf(iniPath()).size(), expected.size());
    QVERIFY(contentOf(iniPath()) == expected);
    QCOMPARE(ReadIni(QStringLiteral("site0.com"), QStringLiteral("Url_pr"), iniPath()),
             QStringLiteral("3,4"));
}

void TestIniFile::fileIsDirectory() {
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("Config.ini")));
    QCOMPARE(ReadIni(QStringLiteral("a"), QStringLiteral("x"), iniPath()), QString());
    WriteIni(QStringLiteral("a"), QStringLiteral("x"), QStringLiteral("1"), iniPath());
    DeleteIniSection(QStringLiteral("a"), iniPath());
    QCOMPARE(ReadIniNumbers(QStringLiteral("a"), QStringLiteral("x"), iniPath(), 0), QString());
    QVERIFY(QFileInfo(iniPath()).isDir());
    QVERIFY(QDir(dir.path()).rmdir(QStringLiteral("Config.ini")));
}

void TestIniFile::folderIsAFile() {
    putContent(iniPath(), "[a]\r\nx=1\r\n");
    const QString below = iniPath() + QStringLiteral("/Config.ini");
    QCOMPARE(ReadIni(QStringLiteral("a"), QStringLiteral("x"), below), QString());
    WriteIni(QStringLiteral("a"), QStringLiteral("x"), QStringLiteral("2"), below);
    QCOMPARE(contentOf(iniPath()), QByteArray("[a]\r\nx=1\r\n"));
    WriteIni(QStringLiteral("a"), QStringLiteral("x"), QStringLiteral("2"),
             dir.filePath(QStringLiteral("missing/Config.ini")));
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("missing"))));
    QCOMPARE(ReadIni(QStringLiteral("a"), QStringLiteral("x"), QString()), QString());
}

void TestIniFile::noPermission() {
#ifdef Q_OS_UNIX
    if (geteuid() == 0)
        QSKIP("permissions do not stop the super-user");
#endif
    putContent(iniPath(), "[a]\r\nx=1\r\n");
    QVERIFY(QFile::setPermissions(iniPath(), QFileDevice::Permissions()));
    QCOMPARE(ReadIni(QStringLiteral("a"), QStringLiteral("x"), iniPath()), QString());
    WriteIni(QStringLiteral("a"), QStringLiteral("y"), QStringLiteral("2"), iniPath());
    QVERIFY(QFile::setPermissions(iniPath(), QFile::ReadOwner | QFile::WriteOwner));
    QCOMPARE(contentOf(iniPath()), QByteArray("[a]\r\nx=1\r\n"));
    // A folder without write permission: the write fails, the file stays.
    QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner));
    WriteIni(QStringLiteral("a"), QStringLiteral("y"), QStringLiteral("2"), iniPath());
    QVERIFY(
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QCOMPARE(contentOf(iniPath()), QByteArray("[a]\r\nx=1\r\n"));
}

void TestIniFile::failedWriteKeepsOldContent() {
#ifdef Q_OS_LINUX
    // A write that runs out of room (as on a full disk) leaves the old file whole.
    QByteArray old;
    for (int i = 0; i < 100; ++i)
        old += "[site" + QByteArray::number(i) + ".com]\r\nUrl_site=1,2,3,4,5,6,7\r\n";
    putContent(iniPath(), old);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit reduced = saved;
    reduced.rlim_cur = rlim_t(old.size() + 10);
    setrlimit(RLIMIT_FSIZE, &reduced);
    WriteIni(QStringLiteral("Setting"), QStringLiteral("SeoUrl"),
             QString(200, u'x') + QStringLiteral(".com"), iniPath());
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    QCOMPARE(contentOf(iniPath()), old);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("Config.ini")});
    QCOMPARE(ReadIni(QStringLiteral("site99.com"), QStringLiteral("Url_site"), iniPath()),
             QStringLiteral("1,2,3,4,5,6,7"));
#else
    QSKIP("needs a file size limit");
#endif
}

QTEST_GUILESS_MAIN(TestIniFile)
#include "tst_inifile.moc"

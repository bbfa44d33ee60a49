#include "storage/charset.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/resource.h>
#endif

namespace {

QByteArray contentOf(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArrayLiteral("<unreadable>");
    return file.readAll();
}

void putContent(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

#ifdef Q_OS_LINUX
// Makes every write beyond `limit` bytes fail as on a full disk, for the life of the object.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t limit) {
        getrlimit(RLIMIT_FSIZE, &saved);
        oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit reduced = saved;
        reduced.rlim_cur = limit;
        setrlimit(RLIMIT_FSIZE, &reduced);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
    }

  private:
    rlimit saved{};
    void (*oldHandler)(int) = nullptr;
};
#endif

} // namespace

class TestCharset : public QObject {
    Q_OBJECT

  private slots:
    void bytesToText_data();
    void bytesToText();
    void toGbk_data();
    void toGbk();
    void writeTextFile_data();
    void writeTextFile();
    void writeTextFileRoundTrip();
    void writeTextFileFailures();
    void failedWriteKeepsOldContent();
    void replaceKeepsPermissions();
    void readTextFileFailures();
};

void TestCharset::bytesToText_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("charset");
    QTest::addColumn<QString>("expected");

    QTest::newRow("ascii") << QByteArray("abc") << "gb2312"
                           << "abc";
    QTest::newRow("gb2312 chinese") << QByteArray::fromHex("d6d0cec4") << "gb2312"
                                    << "中文";
    // 81 40 exists only in GBK; a strict GB 2312 decoder would not give this character.
    QTest::newRow("gbk-only character under gb2312") << QByteArray::fromHex("8140") << "gb2312"
                                                     << "丂";
    QTest::newRow("name in capitals") << QByteArray::fromHex("8140") << "GB2312"
                                      << "丂";
    QTest::newRow("name with blanks") << QByteArray::fromHex("8140") << " gbk "
                                      << "丂";
    QTest::newRow("cp936") << QByteArray::fromHex("d6d0") << "cp936"
                           << "中";
    QTest::newRow("utf-8") << QByteArray("\xe4\xb8\xad") << "utf-8"
                           << "中";
    QTest::newRow("unknown charset") << QByteArray("abc") << "no-such-charset"
                                     << "0";
    QTest::newRow("empty charset") << QByteArray("abc") << ""
                                   << "0";
    QTest::newRow("empty block") << QByteArray() << "gb2312"
                                 << "";
    QTest::newRow("empty block, unknown charset") << QByteArray() << "bogus"
                                                  << "0";
    QTest::newRow("invalid trail byte")
        << QByteArray::fromHex("812041") << "gb2312" << QString::fromUtf16(u"\uFFFD A");
    QTest::newRow("lead byte at the end")
        << QByteArray::fromHex("41d6") << "gb2312" << QString::fromUtf16(u"A\uFFFD");
    QTest::newRow("lone lead byte")
        << QByteArray::fromHex("d6") << "gb2312" << QString::fromUtf16(u"\uFFFD");
    QTest::newRow("zero byte kept")
        << QByteArray("a\0b", 3) << "gb2312" << QString::fromUtf16(u"a\0b", 3);
    QTest::newRow("line ends kept") << QByteArray("a\r\nb") << "gb2312"
                                    << "a\r\nb";
}

void TestCharset::bytesToText() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, charset);
    QFETCH(QString, expected);
    QCOMPARE(BytesToText(bytes, charset), expected);
}

void TestCharset::toGbk_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("empty") << "" << QByteArray();
    QTest::newRow("ascii") << "a=b" << QByteArray("a=b");
    QTest::newRow("chinese") << "中文" << QByteArray::fromHex("d6d0cec4");
    QTest::newRow("gbk-only") << "丂" << QByteArray::fromHex("8140");
    QTest::newRow("no gbk code") << QString::fromUtf8("a😀b") << QByteArray("a?b");
    QTest::newRow("no gbk code, then chinese")
        << QString::fromUtf8("😀中") << QByteArray("?\xd6\xd0");
    QTest::newRow("lone surrogate") << QString(QChar(0xD800)) << QByteArray("?");
}

void TestCharset::toGbk() {
    QFETCH(QString, text);
    QFETCH(QByteArray, expected);
    QCOMPARE(ToGbk(text), expected);
}

void TestCharset::writeTextFile_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("empty text") << "" << QByteArray("\r\n");
    QTest::newRow("ascii") << "<html>" << QByteArray("<html>\r\n");
    QTest::newRow("chinese") << "更新" << QByteArray::fromHex("b8fcd0c20d0a");
    QTest::newRow("inner line ends unchanged") << "a\nb\r\nc" << QByteArray("a\nb\r\nc\r\n");
}

void TestCharset::writeTextFile() {
    QFETCH(QString, text);
    QFETCH(QByteArray, expected);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("out.htm"));
    putContent(path, QByteArray(5000, 'x')); // a longer old content is replaced whole
    WriteTextFile(path, text);
    QCOMPARE(contentOf(path), expected);
}

void TestCharset::writeTextFileRoundTrip() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("SeoLog.htm"));
    const QString text = QStringLiteral("<td>百度</td>\r\n<td>丂必应</td>");
    WriteTextFile(path, text);
    QCOMPARE(ReadTextFile(path, QStringLiteral("gb2312")), text + QStringLiteral("\r\n"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

void TestCharset::writeTextFileFailures() {
    QTemporaryDir dir;
    const QString plain = dir.filePath(QStringLiteral("plain"));
    putContent(plain, "old");

    // Folder missing, folder is a file, target is a folder: nothing appears, nothing breaks.
    WriteTextFile(dir.filePath(QStringLiteral("missing/out.htm")), QStringLiteral("x"));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("missing/out.htm"))));
    WriteTextFile(plain + QStringLiteral("/out.htm"), QStringLiteral("x"));
    QCOMPARE(contentOf(plain), QByteArray("old"));
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder")));
    QVERIFY(!ReplaceFileAtomically(dir.filePath(QStringLiteral("folder")), "x"));
    QVERIFY(QFileInfo(dir.filePath(QStringLiteral("folder"))).isDir());
    QVERIFY(!ReplaceFileAtomically(QString(), "x"));
}

void TestCharset::failedWriteKeepsOldContent() {
#ifdef Q_OS_LINUX
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("SeoLog.htm"));
    const QByteArray old = QByteArray("<html>old report</html>\r\n");
    putContent(path, old);
    bool replaced = true;
    {
        const FileSizeLimit full(4096);
        replaced = ReplaceFileAtomically(path, QByteArray(64 * 1024, 'n'));
    }
    QVERIFY(!replaced);
    QCOMPARE(contentOf(path), old);
    // No half-written temporary file is left beside it either.
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("SeoLog.htm")});
    QVERIFY(ReplaceFileAtomically(path, "new"));
    QCOMPARE(contentOf(path), QByteArray("new"));
#else
    QSKIP("needs a file size limit");
#endif
}

void TestCharset::replaceKeepsPermissions() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Config.ini"));
    putContent(path, "a");
    const auto permissions = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup;
    QVERIFY(QFile::setPermissions(path, permissions));
    QVERIFY(ReplaceFileAtomically(path, "b"));
    const auto ownerGroupOther = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                 QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                 QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    QCOMPARE(QFile::permissions(path) & ownerGroupOther, permissions);
}

void TestCharset::readTextFileFailures() {
    QTemporaryDir dir;
    QCOMPARE(ReadTextFile(dir.filePath(QStringLiteral("missing")), QStringLiteral("gb2312")),
             QStringLiteral("0"));
    QCOMPARE(ReadTextFile(dir.path(), QStringLiteral("gb2312")), QStringLiteral("0"));
    QCOMPARE(ReadTextFile(QString(), QStringLiteral("gb2312")), QStringLiteral("0"));
    const QString path = dir.filePath(QStringLiteral("empty"));
    putContent(path, QByteArray());
    QCOMPARE(ReadTextFile(path, QStringLiteral("gb2312")), QString());
    QCOMPARE(ReadTextFile(path, QStringLiteral("bogus")), QStringLiteral("0"));
}

QTEST_GUILESS_MAIN(TestCharset)
#include "tst_charset.moc"

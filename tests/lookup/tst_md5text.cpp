#include "lookup/md5.h"
#include "storage/charset.h"

#include <QCryptographicHash>
#include <QTest>

class TestMd5Text : public QObject {
    Q_OBJECT
  private slots:
    void knownDigests_data();
    void knownDigests();
    void shortAndUpperForms_data();
    void shortAndUpperForms();
    void unsupportedWidthGivesEmpty_data();
    void unsupportedWidthGivesEmpty();
    void chunkBoundaries_data();
    void chunkBoundaries();
};

void TestMd5Text::knownDigests_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("digest");

    // The test suite of RFC 1321, appendix A.5.
    QTest::newRow("empty") << QString() << "d41d8cd98f00b204e9800998ecf8427e";
    QTest::newRow("a") << "a"
                       << "0cc175b9c0f1b6a831c399e269772661";
    QTest::newRow("abc") << "abc"
                         << "900150983cd24fb0d6963f7d28e17f72";
    QTest::newRow("message digest") << "message digest"
                                    << "f96b697d7cb7938d525a2f31aaf161d0";
    QTest::newRow("alphabet") << "abcdefghijklmnopqrstuvwxyz"
                              << "c3fcd3d76192e4007dfb496cca67e13b";
    QTest::newRow("alphanumeric")
        << "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
        << "d174ab98d277d9f5a5611c2c9f419d9f";
    QTest::newRow("80 digits") << QString("1234567890").repeated(8)
                               << "57edf4a22be3c955ac49da2e2107b67a";

    // Around the padding boundary: 55 bytes fit one block, 56 and 64 need two, 120 needs three.
    // Expected values from: printf 'a%.0s' $(seq N) | md5sum
    const QList<QPair<int, const char*>> lengths = {
        {55, "ef1772b6dff9a122358552954ad0df65"},  {56, "3b0c8ac703f828b04c6c197006d17218"},
        {63, "b06521f39153d618550606be297466d5"},  {64, "014842d480b571495a4a0363793f7367"},
        {65, "c743a45e0d2e6a95cb859adae0248435"},  {119, "8a7bd0732ed6a28ce75f6dabc90e1613"},
        {120, "5f61c0ccad4cac44c75ff505e1f1e537"},
    };
    for (const auto& [length, digest] : lengths)
        QTest::addRow("%d x a", length) << QString(length, QLatin1Char('a')) << digest;

    // GBK text; expected values from: printf '%s' TEXT | iconv -f UTF-8 -t GBK | md5sum
    QTest::newRow("gbk two characters") << "中文"
                                        << "bcce109775e8e1972e9f5fcda3e12895";
    QTest::newRow("gbk then ascii") << "测试abc"
                                    << "b0361bb1bb85424b45ca179e7293f033";
    QTest::newRow("gbk seven characters") << "中华人民共和国"
                                          << "0d8f3b469fe4d1f87d5ddc2ed5b25a79";
    QTest::newRow("gbk interleaved") << "a中b文c"
                                     << "376a28f4f918eea33949441afe3ef90c";
    QTest::newRow("gbk punctuation") << "，。；"
                                     << "51febe96be51cdc911d39a2cea9ed9da";
    QTest::newRow("gbk with blank") << "站长工具 SEO"
                                    << "1f56b0728ba37398f620818941a2f62b";
    // { head -c 65535 /dev/zero | tr '\0' a; printf '中文'; } | iconv -t GBK | md5sum
    QTest::newRow("gbk across internal chunk") << QString(65535, QLatin1Char('a')) + "中文"
                                               << "7561144845839c7b7aa6b29eac4defc9";
    // python3 -c "print('中'*200000, end='')" | iconv -t GBK | md5sum
    QTest::newRow("gbk long") << QString("中").repeated(200000)
                              << "c4b8b6d9bad65be37fa8ddc52ba1bf9f";
}

void TestMd5Text::knownDigests() {
    QFETCH(QString, text);
    QFETCH(QString, digest);
    QCOMPARE(Md5Text(text, 32, false), digest);
    QCOMPARE(Md5Text(text, 32, true), digest.toUpper());
    QCOMPARE(Md5Text(text, 16, false), digest.mid(8, 16));
}

void TestMd5Text::shortAndUpperForms_data() {
    QTest::addColumn<int>("width");
    QTest::addColumn<bool>("upper");
    QTest::addColumn<QString>("digest");
    QTest::newRow("32 lower") << 32 << false << "900150983cd24fb0d6963f7d28e17f72";
    QTest::newRow("32 upper") << 32 << true << "900150983CD24FB0D6963F7D28E17F72";
    QTest::newRow("16 lower") << 16 << false << "3cd24fb0d6963f7d";
    QTest::newRow("16 upper") << 16 << true << "3CD24FB0D6963F7D";
}

void TestMd5Text::shortAndUpperForms() {
    QFETCH(int, width);
    QFETCH(bool, upper);
    QFETCH(QString, digest);
    QCOMPARE(Md5Text("abc", width, upper), digest);
}

void TestMd5Text::unsupportedWidthGivesEmpty_data() {
    QTest::addColumn<int>("width");
    for (int width : {0, 8, 15, 17, 31, 33, 64, -16, -32})
        QTest::addRow("%d", width) << width;
}

void TestMd5Text::unsupportedWidthGivesEmpty() {
    QFETCH(int, width);
    const QString digest = Md5Text("abc", width, false);
    QVERIFY(digest.isEmpty());
    QVERIFY(Md5Text("abc", width, true).isEmpty());
}

// Long texts are encoded piecewise; the digest must equal that of the whole text's bytes
// wherever multi-unit characters fall (checked against an independent MD5).
void TestMd5Text::chunkBoundaries_data() {
    QTest::addColumn<QString>("text");
    const QString pair = QString::fromUcs4(U"\U0001F600");
    for (int lead : {65534, 65535, 65536, 131071}) {
        QTest::addRow("surrogate pair after %d", lead)
            << QString(lead, QLatin1Char('a')) + pair + QStringLiteral("b");
        QTest::addRow("gbk after %d", lead) << QString(lead, QLatin1Char('x')) +
                                                   QStringLiteral("网站排名") +
                                                   QString(70000, QLatin1Char('y'));
    }
    QTest::newRow("ascii after gbk chunk")
        << QString("排").repeated(65536) + QString(65536, QLatin1Char('z'));
}

void TestMd5Text::chunkBoundaries() {
    QFETCH(QString, text);
    const QString expected =
        QString::fromLatin1(QCryptographicHash::hash(ToGbk(text), QCryptographicHash::Md5).toHex());
    QCOMPARE(Md5Text(text, 32, false), expected);
}

QTEST_GUILESS_MAIN(TestMd5Text)
#include "tst_md5text.moc"

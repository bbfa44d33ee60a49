#include "lookup/md5.h"
#include "storage/charset.h"

#include <QCryptographicHash>
#include <QTest>

class TestMd5Text : public QObject {
    Q_OBJECT
  private slots:
    void knownDigests_data();
    void knownDigests();
    void matchesWholeTextDigest_data();
    void matchesWholeTextDigest();
    void unsupportedWidthGivesEmpty();
};

void TestMd5Text::knownDigests_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("digest");
    // RFC 1321, appendix A.5.
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
    // printf '%s' TEXT | iconv -f UTF-8 -t GBK | md5sum
    QTest::newRow("gbk") << "中文"
                         << "bcce109775e8e1972e9f5fcda3e12895";
    QTest::newRow("gbk interleaved") << "a中b文c"
                                     << "376a28f4f918eea33949441afe3ef90c";
}

void TestMd5Text::knownDigests() {
    QFETCH(QString, text);
    QFETCH(QString, digest);
    QCOMPARE(Md5Text(text, 32, false), digest);
    QCOMPARE(Md5Text(text, 32, true), digest.toUpper());
    QCOMPARE(Md5Text(text, 16, false), digest.mid(8, 16));
    QCOMPARE(Md5Text(text, 16, true), digest.mid(8, 16).toUpper());
}

// Padding boundaries (55 bytes fit one block, 56 need two) and long texts encoded piecewise,
// with multi-unit characters across the pieces, against an independent MD5 of the GBK bytes.
void TestMd5Text::matchesWholeTextDigest_data() {
    QTest::addColumn<QString>("text");
    for (int length : {55, 56, 63, 64, 65, 119, 120})
        QTest::addRow("%d x a", length) << QString(length, QLatin1Char('a'));
    const QString pair = QString::fromUcs4(U"\U0001F600");
    for (int lead : {65534, 65535, 65536, 131071}) {
        QTest::addRow("surrogate pair after %d", lead)
            << QString(lead, QLatin1Char('a')) + pair + QStringLiteral("b");
        QTest::addRow("gbk after %d", lead) << QString(lead, QLatin1Char('x')) +
                                                   QStringLiteral("网站排名") +
                                                   QString(70000, QLatin1Char('y'));
    }
    QTest::newRow("ascii after gbk piece")
        << QString("排").repeated(65536) + QString(65536, QLatin1Char('z'));
}

void TestMd5Text::matchesWholeTextDigest() {
    QFETCH(QString, text);
    const QByteArray expected = QCryptographicHash::hash(ToGbk(text), QCryptographicHash::Md5);
    QCOMPARE(Md5Text(text, 32, false), QString::fromLatin1(expected.toHex()));
}

void TestMd5Text::unsupportedWidthGivesEmpty() {
    for (int width : {0, 15, 17, 31, 33, 64, -16, -32}) {
        QVERIFY2(Md5Text("abc", width, false).isEmpty(), qPrintable(QString::number(width)));
        QVERIFY(Md5Text("abc", width, true).isEmpty());
    }
}

QTEST_GUILESS_MAIN(TestMd5Text)
#include "tst_md5text.moc"

#include "lookup/md5.h"
#include "storage/charset.h"

#include <QCryptographicHash>
#include <QTest>

class TestMd5Text : public QObject {
    Q_OBJECT

  private slots:
    // Against an independent MD5 of the GBK bytes: padding boundaries (55 bytes fit one block,
    // 56 need two) and long texts encoded piecewise, multi-unit characters across the pieces.
    void matchesIndependentDigest_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << QString();
        QTest::newRow("gbk interleaved") << "a中b文c";
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

    void matchesIndependentDigest() {
        QFETCH(QString, text);
        const QString digest = QString::fromLatin1(
            QCryptographicHash::hash(ToGbk(text), QCryptographicHash::Md5).toHex());
        QCOMPARE(Md5Text(text, 32, false), digest);
        QCOMPARE(Md5Text(text, 32, true), digest.toUpper());
        QCOMPARE(Md5Text(text, 16, false), digest.mid(8, 16));
        QCOMPARE(Md5Text(text, 16, true), digest.mid(8, 16).toUpper());
        for (int width : {0, 15, 17, 31, 33, 64, -16, -32}) // other widths give nothing
            QVERIFY(Md5Text(text, width, width % 2).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestMd5Text)
#include "tst_md5text.moc"

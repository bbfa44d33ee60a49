#include "controls/ctlframe.h"
#include "controls/form_main.h"
#include "controls/propertybag.h"

#include <QFontMetricsF>
#include <QImage>
#include <QTest>

#include <cmath>

namespace {

QFont pixelFont(int pixels) {
    QFont font = ProgramFont(9);
    font.setPixelSize(pixels);
    return font;
}

int captionHeightTwips(const QFont& font) {
    return int(std::ceil(QFontMetricsF(font).height())) * 15;
}

} // namespace

class TestCtlFrame : public QObject {
    Q_OBJECT

  private slots:
    void topEdgeFollowsCaptionHeight_data();
    void topEdgeFollowsCaptionHeight();
    void lineGeometry_data();
    void lineGeometry();
    void minimumSize_data();
    void minimumSize();
    void borderStyleOtherThanOneHidesLines_data();
    void borderStyleOtherThanOneHidesLines();
    void fontChangeRelaysTheFrame();
    void paintsOutlineBodyAndBand();
    void properties();
};

void TestCtlFrame::topEdgeFollowsCaptionHeight_data() {
    QTest::addColumn<int>("pixelSize");
    for (int pixels = 9; pixels <= 20; ++pixels)
        QTest::addRow("%d px", pixels) << pixels;
}

void TestCtlFrame::topEdgeFollowsCaptionHeight() {
    QFETCH(int, pixelSize);
    CtlFrame frame;
    frame.resize(200, 120);
    const QFont font = pixelFont(pixelSize);
    frame.setFont(font);
    frame.setCaption(QStringLiteral("标题"));
    const int height = captionHeightTwips(font);
    // Half the height with ties to even: 195 gives 98 (97.5), 225 gives 112 (112.5).
    int half = height / 2;
    if (height % 2 == 1 && half % 2 == 1)
        ++half;
    QCOMPARE(frame.topEdgeTwips(), half + 45);
    QCOMPARE(frame.lineTwips(0).y1, half + 45);

    frame.setCaption(QString()); // clearing moves the edge back up
    QCOMPARE(frame.topEdgeTwips(), 0);
}

void TestCtlFrame::lineGeometry_data() {
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QSize>("pixels");
    QTest::newRow("no caption") << QString() << QSize(200, 100);
    QTest::newRow("no caption, minimum") << QString() << QSize(48, 25);
    QTest::newRow("caption") << QStringLiteral("网址") << QSize(300, 150);
    QTest::newRow("long caption") << QStringLiteral("这是一个很长的标题文字") << QSize(120, 60);
}

void TestCtlFrame::lineGeometry() {
    QFETCH(QString, caption);
    QFETCH(QSize, pixels);
    CtlFrame frame;
    frame.setCaption(caption);
    frame.resize(pixels);
    frame.show(); // a hidden widget gets its resize when it is shown
    const int w = pixels.width() * 15;
    const int h = pixels.height() * 15;
    const int t = frame.topEdgeTwips();
    const int gap =
        caption.isEmpty()
            ? 105
            : int(std::ceil(QFontMetricsF(frame.Font()).horizontalAdvance(caption))) * 15 + 195;
    QCOMPARE(t == 0, caption.isEmpty());
    const QLine expected[5] = {{-9, t, 120, t},
                               {gap, t, w + 9, t},
                               {w - 9, t - 9, w - 9, h},
                               {-9, h - 9, w + 9, h - 9},
                               {0, t, 0, h + 9}};
    for (int i = 0; i < 5; ++i) {
        const CtlFrame::Line line = frame.lineTwips(i);
        QCOMPARE(QLine(line.x1, line.y1, line.x2, line.y2), expected[i]);
        QVERIFY(line.visible);
    }
    QCOMPARE(frame.lineTwips(5).visible, false); // out of range reads as an empty line
}

void TestCtlFrame::minimumSize_data() {
    QTest::addColumn<QSize>("requested");
    QTest::addColumn<QSize>("twips");
    QTest::newRow("tiny") << QSize(1, 1) << QSize(720, 375);
    QTest::newRow("narrow") << QSize(10, 200) << QSize(720, 3000);
    QTest::newRow("flat") << QSize(300, 3) << QSize(4500, 375);
    QTest::newRow("large") << QSize(449, 349) << QSize(6735, 5235);
}

void TestCtlFrame::minimumSize() {
    QFETCH(QSize, requested);
    QFETCH(QSize, twips);
    CtlFrame frame;
    frame.show();
    frame.resize(requested);
    QCOMPARE(QSize(int(PixelsToTwips(frame.width())), int(PixelsToTwips(frame.height()))), twips);
    QCOMPARE(frame.lineTwips(3).y1, twips.height() - 9);
}

void TestCtlFrame::borderStyleOtherThanOneHidesLines_data() {
    QTest::addColumn<int>("style");
    QTest::addColumn<bool>("visible");
    QTest::newRow("0") << 0 << false;
    QTest::newRow("1") << 1 << true;
    QTest::newRow("2") << 2 << false;
    QTest::newRow("-1") << -1 << false;
}

void TestCtlFrame::borderStyleOtherThanOneHidesLines() {
    QFETCH(int, style);
    QFETCH(bool, visible);
    CtlFrame frame;
    frame.setCaption(QStringLiteral("标题"));
    frame.setBorderStyle(style);
    for (int i = 0; i < 5; ++i)
        QCOMPARE(frame.lineTwips(i).visible, visible);
    QVERIFY(frame.topEdgeTwips() > 0); // the caption rule still applies
}

void TestCtlFrame::fontChangeRelaysTheFrame() {
    CtlFrame frame;
    frame.setCaption(QStringLiteral("标题"));
    const int top = frame.topEdgeTwips();
    const int gap = frame.lineTwips(1).x1;
    frame.setFont(pixelFont(30));
    QVERIFY(frame.topEdgeTwips() > top);
    QVERIFY(frame.lineTwips(1).x1 > gap);
}

void TestCtlFrame::paintsOutlineBodyAndBand() {
    CtlFrame frame;
    frame.resize(100, 60);
    frame.setCaption(QString());
    frame.setBorderColor(0x000000FF);   // red
    frame.setBackColorMain(0x00FFFFFF); // white
    QImage image = frame.grab().toImage();
    const QColor red(255, 0, 0);
    QCOMPARE(QColor(image.pixel(0, 30)), red);  // left edge at x = 0
    QCOMPARE(QColor(image.pixel(99, 30)), red); // right edge at W - 9
    QCOMPARE(QColor(image.pixel(50, 59)), red); // bottom edge at H - 9
    QCOMPARE(QColor(image.pixel(50, 0)), red);  // top edge at 0 without caption
    QCOMPARE(QColor(image.pixel(50, 30)), QColor(Qt::white));

    frame.setBackColorTop(0x0000FF00); // green band above the top edge
    frame.setCaption(QStringLiteral("标题"));
    image = frame.grab().toImage();
    const int band = TwipsToPixels(frame.topEdgeTwips());
    QCOMPARE(QColor(image.pixel(90, 1)), QColor(0, 255, 0));
    QCOMPARE(QColor(image.pixel(90, band)), red);
    QCOMPARE(QColor(image.pixel(90, band + 2)), QColor(Qt::white));
}

void TestCtlFrame::properties() {
    QWidget container;
    container.setFont(ProgramFont(9.75));
    auto* frame = new CtlFrame(&container);
    PropertyBag bag;
    frame->WriteProperties(bag);
    QCOMPARE(bag.count(), 0); // the built-in look is all defaults

    frame->setCaption(QString());
    frame->setBorderStyle(0);
    frame->setBorderColor(0x00B9AE9E);
    frame->setFont(ProgramFont(12));
    frame->setForeColor(0x00FF0000);
    frame->setBackColorMain(0x8000000E);
    frame->setBackColorTop(0x8000000E);
    frame->WriteProperties(bag);
    QCOMPARE(bag.count(), 7);
    auto* copy = new CtlFrame(&container);
    copy->ReadProperties(bag);
    QCOMPARE(copy->Caption(), QString());
    QCOMPARE(copy->BorderStyle(), 0);
    QCOMPARE(copy->BorderColor(), quint32(0x00B9AE9E));
    QCOMPARE(copy->Font(), frame->Font());
    QCOMPARE(copy->ForeColor(), quint32(0x00FF0000));
    QCOMPARE(copy->BackColorMain(), quint32(0x8000000E));
    QCOMPARE(copy->BackColorTop(), quint32(0x8000000E));

    // Missing names read their defaults (the font is the ambient one); unreadable ones keep
    // the current value; names match without case.
    PropertyBag sparse;
    sparse.WriteProperty(QStringLiteral("bordercolor"), QStringLiteral("red"));
    sparse.WriteProperty(QStringLiteral("BACKCOLORTOP"), 0x00FFFFFFu);
    copy->ReadProperties(sparse);
    QCOMPARE(copy->Caption(), QStringLiteral("Frame1"));
    QCOMPARE(copy->BorderStyle(), 1);
    QCOMPARE(copy->BorderColor(), quint32(0x00B9AE9E));
    QCOMPARE(copy->Font(), container.font());
    QCOMPARE(copy->ForeColor(), quint32(0x8000));
    QCOMPARE(copy->BackColorMain(), quint32(0x8000000F));
    QCOMPARE(copy->BackColorTop(), quint32(0x00FFFFFF));
}

QTEST_MAIN(TestCtlFrame)
#include "tst_ctlframe.moc"

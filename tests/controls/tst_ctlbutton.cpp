#include "controls/ctlbutton.h"
#include "controls/form_main.h"
#include "controls/propertybag.h"

#include <QApplication>
#include <QColor>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QSignalSpy>
#include <QTest>

namespace {

QPixmap solid(const QColor& colour, QSize size = QSize(99, 25)) {
    QPixmap picture(size);
    picture.fill(colour);
    return picture;
}

// A pointer move with any button mask, which QTest::mouseMove cannot express.
void moveWithButtons(QWidget* widget, QPoint pos, Qt::MouseButtons buttons) {
    QMouseEvent move(QEvent::MouseMove, pos, widget->mapToGlobal(pos), Qt::NoButton, buttons,
                     Qt::NoModifier);
    QApplication::sendEvent(widget, &move);
}

// The smallest rectangle holding every pixel that differs from background.
QRect inkBounds(const QImage& image, QRgb background) {
    QRect bounds;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) != background)
                bounds |= QRect(x, y, 1, 1);
    return bounds;
}

} // namespace

class TestCtlButton : public QObject {
    Q_OBJECT

  private slots:
    void pointerStates_data();
    void pointerStates();
    void disabledIgnoresEverything();
    void captureFollowsThePointer();
    void clickHandlerRunsWithoutCapture();
    void disablingReleasesCapture();
    void repaintRules_data();
    void repaintRules();
    void resizePaintsNormalEvenWhenDisabled();
    void disabledBeforeFirstShowStaysDisabled();
    void emptyPictureShowsBackgroundAndCaption();
    void pictureStretchedOntoFace();
    void captionCentredAndClipped();
    void emptyCaptionDrawsNoText();
    void freshButtonHasBuiltInLook();
    void writeOmitsDefaults();
    void roundTripKeepsValues();
    void readMissingPicturesEmptiesHolders();
    void readToleratesMalformedValues();
    void bagComparesNamesWithoutCase();
};

void TestCtlButton::pointerStates_data() {
    // Actions: "m x y mask" (move with button mask: L, R, LR or -), "p" / "r" (left press /
    // release at the centre), "P" (right press), "R x y" (left release at x, y). Coordinates
    // are pixels of a 97 x 30 face.
    QTest::addColumn<QStringList>("actions");
    QTest::addColumn<int>("state");
    QTest::addColumn<int>("clicks");
    QTest::newRow("move inside") << QStringList{"m 10 10 -"} << 1 << 0;
    QTest::newRow("move inside, left held") << QStringList{"m 10 10 L"} << 2 << 0;
    QTest::newRow("move inside, left and right held") << QStringList{"m 10 10 LR"} << 1 << 0;
    QTest::newRow("move inside, right held") << QStringList{"m 10 10 R"} << 1 << 0;
    QTest::newRow("right edge counts as inside") << QStringList{"m 97 5 -"} << 1 << 0;
    QTest::newRow("bottom edge counts as inside") << QStringList{"m 5 30 -"} << 1 << 0;
    QTest::newRow("corner counts as inside") << QStringList{"m 97 30 L"} << 2 << 0;
    QTest::newRow("past the right edge") << QStringList{"m 10 10 -", "m 98 5 -"} << 0 << 0;
    QTest::newRow("past the bottom edge") << QStringList{"m 10 10 -", "m 5 31 -"} << 0 << 0;
    QTest::newRow("left of the face") << QStringList{"m 10 10 -", "m -1 5 -"} << 0 << 0;
    QTest::newRow("left press") << QStringList{"p"} << 2 << 0;
    QTest::newRow("right press") << QStringList{"P"} << 0 << 0;
    QTest::newRow("click keeps pressed picture") << QStringList{"p", "r"} << 2 << 1;
    QTest::newRow("move after click") << QStringList{"p", "r", "m 10 10 -"} << 1 << 1;
    QTest::newRow("release outside is no click") << QStringList{"p", "R 200 5"} << 2 << 0;
    QTest::newRow("release on the edge clicks") << QStringList{"p", "R 97 30"} << 2 << 1;
    QTest::newRow("release without press") << QStringList{"r"} << 0 << 0;
    QTest::newRow("two clicks") << QStringList{"p", "r", "p", "r"} << 2 << 2;
}

void TestCtlButton::pointerStates() {
    QFETCH(QStringList, actions);
    QFETCH(int, state);
    QFETCH(int, clicks);
    CtlButton button;
    button.resize(97, 30);
    button.show();
    QVERIFY(QTest::qWaitForWindowExposed(&button));
    QSignalSpy clicked(&button, &CtlButton::Click);
    const QPoint centre(48, 15);
    for (const QString& action : actions) {
        const QStringList part = action.split(QLatin1Char(' '));
        if (part[0] == QLatin1String("m")) {
            Qt::MouseButtons mask;
            if (part[3].contains(QLatin1Char('L')))
                mask |= Qt::LeftButton;
            if (part[3].contains(QLatin1Char('R')))
                mask |= Qt::RightButton;
            moveWithButtons(&button, QPoint(part[1].toInt(), part[2].toInt()), mask);
        } else if (part[0] == QLatin1String("p")) {
            QTest::mousePress(&button, Qt::LeftButton, {}, centre);
        } else if (part[0] == QLatin1String("P")) {
            QTest::mousePress(&button, Qt::RightButton, {}, centre);
        } else if (part[0] == QLatin1String("r")) {
            QTest::mouseRelease(&button, Qt::LeftButton, {}, centre);
        } else {
            QTest::mouseRelease(&button, Qt::LeftButton, {},
                                QPoint(part[1].toInt(), part[2].toInt()));
        }
    }
    QCOMPARE(button.paintedState(), state);
    QCOMPARE(clicked.count(), clicks);
}

void TestCtlButton::disabledIgnoresEverything() {
    CtlButton button;
    button.resize(97, 30);
    button.show();
    QVERIFY(QTest::qWaitForWindowExposed(&button));
    QSignalSpy clicked(&button, &CtlButton::Click);
    button.setEnable(false);
    QCOMPARE(button.paintedState(), 3);
    moveWithButtons(&button, QPoint(10, 10), Qt::NoButton);
    QCOMPARE(button.paintedState(), 3);
    moveWithButtons(&button, QPoint(10, 10), Qt::LeftButton);
    QTest::mouseClick(&button, Qt::LeftButton, {}, QPoint(10, 10));
    moveWithButtons(&button, QPoint(500, 10), Qt::NoButton);
    QCOMPARE(button.paintedState(), 3);
    QCOMPARE(clicked.count(), 0);
    QVERIFY(QWidget::mouseGrabber() != &button);

    button.setEnable(true);
    QCOMPARE(button.paintedState(), 0);
    QTest::mouseClick(&button, Qt::LeftButton, {}, QPoint(10, 10));
    QCOMPARE(clicked.count(), 1);
}

void TestCtlButton::captureFollowsThePointer() {
    CtlButton button;
    button.resize(97, 30);
    button.show();
    QVERIFY(QTest::qWaitForWindowExposed(&button));
    moveWithButtons(&button, QPoint(20, 10), Qt::NoButton);
    QCOMPARE(QWidget::mouseGrabber(), &button);
    moveWithButtons(&button, QPoint(30, 12), Qt::NoButton); // again inside: grab kept
    QCOMPARE(QWidget::mouseGrabber(), &button);
    moveWithButtons(&button, QPoint(300, 12), Qt::NoButton);
    QCOMPARE(QWidget::mouseGrabber(), nullptr);
    QCOMPARE(button.paintedState(), 0);

    moveWithButtons(&button, QPoint(20, 10), Qt::NoButton);
    button.hide();
    QCOMPARE(QWidget::mouseGrabber(), nullptr);
}

void TestCtlButton::clickHandlerRunsWithoutCapture() {
    // A click handler may open a modal dialog, which must get the pointer.
    CtlButton button;
    button.resize(97, 30);
    button.show();
    QVERIFY(QTest::qWaitForWindowExposed(&button));
    QWidget* grabberDuringClick = &button;
    connect(&button, &CtlButton::Click, &button,
            [&grabberDuringClick] { grabberDuringClick = QWidget::mouseGrabber(); });
    moveWithButtons(&button, QPoint(20, 10), Qt::NoButton);
    QCOMPARE(QWidget::mouseGrabber(), &button);
    QTest::mouseClick(&button, Qt::LeftButton, {}, QPoint(20, 10));
    QCOMPARE(grabberDuringClick, nullptr);
    QCOMPARE(button.paintedState(), 2);
    moveWithButtons(&button, QPoint(21, 10), Qt::NoButton);
    QCOMPARE(QWidget::mouseGrabber(), &button);
    QCOMPARE(button.paintedState(), 1);
}

void TestCtlButton::disablingReleasesCapture() {
    // A disabled button ignores moves, so a capture it kept would never be given back and the
    // rest of the window would stop seeing the pointer.
    CtlButton button;
    button.resize(97, 30);
    button.show();
    QVERIFY(QTest::qWaitForWindowExposed(&button));
    moveWithButtons(&button, QPoint(20, 10), Qt::NoButton);
    QCOMPARE(QWidget::mouseGrabber(), &button);
    button.setEnable(false);
    QCOMPARE(QWidget::mouseGrabber(), nullptr);
}

void TestCtlButton::repaintRules_data() {
    QTest::addColumn<QString>("property");
    QTest::addColumn<int>("state");
    QTest::newRow("Caption") << "Caption" << 0;
    QTest::newRow("BorderStyle") << "BorderStyle" << 0;
    QTest::newRow("Font") << "Font" << 0;
    QTest::newRow("ForeColor") << "ForeColor" << 0;
    QTest::newRow("PictrueNormal") << "PictrueNormal" << 0;
    QTest::newRow("PictureOver") << "PictureOver" << 3;
    QTest::newRow("PictureClick") << "PictureClick" << 3;
    QTest::newRow("PictureDisable") << "PictureDisable" << 3;
}

void TestCtlButton::repaintRules() {
    QFETCH(QString, property);
    QFETCH(int, state);
    CtlButton button;
    button.setEnable(false);
    const QPixmap picture = solid(Qt::red);
    if (property == QLatin1String("Caption"))
        button.setCaption(QStringLiteral("确定"));
    else if (property == QLatin1String("BorderStyle"))
        button.setBorderStyle(1);
    else if (property == QLatin1String("Font"))
        button.setFont(ProgramFont(12));
    else if (property == QLatin1String("ForeColor"))
        button.setForeColor(0x000000FF);
    else if (property == QLatin1String("PictrueNormal"))
        button.setPictrueNormal(picture);
    else if (property == QLatin1String("PictureOver"))
        button.setPictureOver(picture);
    else if (property == QLatin1String("PictureClick"))
        button.setPictureClick(picture);
    else
        button.setPictureDisable(picture);
    QCOMPARE(button.paintedState(), state);
    QVERIFY(!button.Enable()); // repainting normal does not enable
}

void TestCtlButton::resizePaintsNormalEvenWhenDisabled() {
    CtlButton button;
    button.show();
    QVERIFY(QTest::qWaitForWindowExposed(&button));
    button.setEnable(false);
    button.resize(120, 40);
    QApplication::processEvents();
    QCOMPARE(button.paintedState(), 0);
}

void TestCtlButton::disabledBeforeFirstShowStaysDisabled() {
    // The window's load step sizes and disables buttons before the window is first shown.
    QWidget window;
    auto* button = new CtlButton(&window);
    button->setGeometry(0, 0, 97, 30);
    button->setEnable(false);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(button->paintedState(), 3);
}

void TestCtlButton::emptyPictureShowsBackgroundAndCaption() {
    CtlButton button;
    button.resize(97, 30);
    button.setPictrueNormal(QPixmap());
    button.setCaption(QString());
    const QRgb background = OleColor(0x80000005).rgb();
    const QImage blank = button.grab().toImage();
    QVERIFY(inkBounds(blank, background).isNull());

    button.setCaption(QStringLiteral("数据更新"));
    const QRect ink = inkBounds(button.grab().toImage(), background);
    QVERIFY(!ink.isNull());
}

void TestCtlButton::pictureStretchedOntoFace() {
    CtlButton button;
    button.resize(150, 44); // other aspect ratio than the 99 x 25 picture
    button.setCaption(QString());
    QPixmap picture(99, 25);
    picture.fill(Qt::blue);
    {
        QPainter painter(&picture);
        painter.fillRect(0, 0, 50, 25, Qt::red); // left half red
    }
    button.setPictrueNormal(picture);
    const QImage face = button.grab().toImage();
    QCOMPARE(QColor(face.pixel(0, 0)), QColor(Qt::red));
    QCOMPARE(QColor(face.pixel(149, 43)), QColor(Qt::blue));
    QCOMPARE(QColor(face.pixel(70, 22)), QColor(Qt::red)); // 70 < 150 * 50 / 99
    QCOMPARE(QColor(face.pixel(80, 22)), QColor(Qt::blue));
}

void TestCtlButton::captionCentredAndClipped() {
    CtlButton button;
    button.resize(97, 30);
    const QColor white(Qt::white);
    button.setPictrueNormal(solid(white));
    button.setForeColor(0x00000000);
    button.setCaption(QStringLiteral("收录查询"));
    const QRect ink = inkBounds(button.grab().toImage(), white.rgb());
    QVERIFY(!ink.isNull());
    QVERIFY2(qAbs((ink.left() + ink.right()) - 96) <= 2, "caption not centred across");
    QVERIFY2(qAbs((ink.top() + ink.bottom()) - 29) <= 4, "caption not centred down");

    button.setCaption(QString(40, QChar(0x6C49))); // far wider than the face
    const QRect wide = inkBounds(button.grab().toImage(), white.rgb());
    QVERIFY2(wide.left() <= 1 && wide.right() >= 95, "wide caption not cut at both sides");
}

void TestCtlButton::emptyCaptionDrawsNoText() {
    CtlButton button;
    button.resize(97, 30);
    button.setPictrueNormal(solid(Qt::white));
    button.setCaption(QString());
    QVERIFY(inkBounds(button.grab().toImage(), QColor(Qt::white).rgb()).isNull());
}

void TestCtlButton::freshButtonHasBuiltInLook() {
    CtlButton button;
    QCOMPARE(button.Caption(), QStringLiteral("Cmd1"));
    QVERIFY(button.Enable());
    QCOMPARE(button.BorderStyle(), 0);
    QCOMPARE(button.ForeColor(), quint32(0x80000008));
    QCOMPARE(button.Font().pointSizeF(), 9.0);
    for (const QPixmap& picture : {button.PictrueNormal(), button.PictureOver(),
                                   button.PictureClick(), button.PictureDisable()})
        QCOMPARE(picture.size(), QSize(99, 25));
    button.setCaption(QStringLiteral("x"));
    button.setEnable(false);
    button.InitProperties();
    QCOMPARE(button.Caption(), QStringLiteral("Cmd1"));
    QVERIFY(button.Enable());
}

void TestCtlButton::writeOmitsDefaults() {
    QWidget container;
    container.setFont(ProgramFont(9));
    auto* button = new CtlButton(&container);
    for (auto setter : {&CtlButton::setPictrueNormal, &CtlButton::setPictureOver,
                        &CtlButton::setPictureClick, &CtlButton::setPictureDisable})
        (button->*setter)(QPixmap());
    PropertyBag bag;
    button->WriteProperties(bag);
    QCOMPARE(bag.names(), QStringList());

    button->setCaption(QStringLiteral("提交查询"));
    button->setEnable(false);
    button->setPictureClick(solid(Qt::green));
    button->WriteProperties(bag);
    QCOMPARE(bag.names(), (QStringList{"Caption", "Enable", "PictureClick"}));

    // Back to the defaults: the stale entries go away again.
    button->setCaption(QStringLiteral("Cmd1"));
    button->setEnable(true);
    button->setPictureClick(QPixmap());
    button->WriteProperties(bag);
    QCOMPARE(bag.count(), 0);
}

void TestCtlButton::roundTripKeepsValues() {
    CtlButton source;
    source.setBorderStyle(1);
    source.setFont(ProgramFont(11.25));
    source.setForeColor(0x00FF0000);
    source.setCaption(QStringLiteral("网 页 版"));
    source.setEnable(false);
    const QPixmap over = solid(Qt::yellow);
    source.setPictureOver(over);
    PropertyBag bag;
    source.WriteProperties(bag);
    QCOMPARE(bag.names(),
             (QStringList{"BorderStyle", "Font", "ForeColor", "Caption", "Enable", "PictrueNormal",
                          "PictureOver", "PictureClick", "PictureDisable"}));

    CtlButton copy;
    copy.ReadProperties(bag);
    QCOMPARE(copy.BorderStyle(), 1);
    QCOMPARE(copy.Font(), source.Font());
    QCOMPARE(copy.ForeColor(), quint32(0x00FF0000));
    QCOMPARE(copy.Caption(), QStringLiteral("网 页 版"));
    QVERIFY(!copy.Enable());
    QCOMPARE(copy.PictureOver().cacheKey(), over.cacheKey());
    QCOMPARE(copy.PictrueNormal().toImage(), source.PictrueNormal().toImage());
}

void TestCtlButton::readMissingPicturesEmptiesHolders() {
    PropertyBag bag;
    bag.WriteProperty(QStringLiteral("pictruenormal"), QVariant::fromValue(solid(Qt::red)));
    CtlButton button;
    button.setCaption(QStringLiteral("old"));
    button.ReadProperties(bag);
    QVERIFY(!button.PictrueNormal().isNull());
    QVERIFY(button.PictureOver().isNull());
    QVERIFY(button.PictureClick().isNull());
    QVERIFY(button.PictureDisable().isNull());
    QCOMPARE(button.Caption(), QStringLiteral("Cmd1")); // missing caption reads its default
}

void TestCtlButton::readToleratesMalformedValues() {
    PropertyBag bag;
    bag.WriteProperty(QStringLiteral("BorderStyle"), 7);
    bag.WriteProperty(QStringLiteral("Font"), QVariant::fromValue(QStringList{"a", "b"}));
    bag.WriteProperty(QStringLiteral("Caption"), QStringLiteral("好"));
    bag.WriteProperty(QStringLiteral("PictureOver"), QStringLiteral("not a picture"));
    CtlButton button;
    const QFont font = button.Font();
    const qint64 over = button.PictureOver().cacheKey();
    button.ReadProperties(bag);
    QCOMPARE(button.BorderStyle(), 0);
    QCOMPARE(button.Font(), font);
    QCOMPARE(button.PictureOver().cacheKey(), over);
    QCOMPARE(button.Caption(), QStringLiteral("好")); // the rest still reads
    button.setBorderStyle(-1);
    QCOMPARE(button.BorderStyle(), 0);
}

void TestCtlButton::bagComparesNamesWithoutCase() {
    PropertyBag bag;
    bag.WriteProperty(QStringLiteral("caption"), QStringLiteral("一"), QStringLiteral("Cmd1"));
    bag.WriteProperty(QStringLiteral("CAPTION"), QStringLiteral("二"), QStringLiteral("Cmd1"));
    QCOMPARE(bag.count(), 1);
    QCOMPARE(bag.ReadProperty(QStringLiteral("Caption")).toString(), QStringLiteral("二"));
    QVERIFY(bag.contains(QStringLiteral("cApTiOn")));
    QCOMPARE(bag.ReadProperty(QStringLiteral("Captio"), 5).toInt(), 5);
    bag.WriteProperty(QStringLiteral("Caption"), QStringLiteral("Cmd1"), QStringLiteral("Cmd1"));
    QVERIFY(!bag.contains(QStringLiteral("caption")));
}

QTEST_MAIN(TestCtlButton)
#include "tst_ctlbutton.moc"

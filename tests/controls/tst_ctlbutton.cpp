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

#include <functional>

namespace {

QPixmap solid(const QColor& colour) {
    QPixmap picture(99, 25);
    picture.fill(colour);
    return picture;
}

// A pointer move with any button mask, which QTest::mouseMove cannot express.
void moveWithButtons(QWidget* widget, QPoint pos, Qt::MouseButtons buttons = Qt::NoButton) {
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

struct ShownButton {
    CtlButton button;
    QSignalSpy clicked{&button, &CtlButton::Click};
    ShownButton() {
        button.resize(97, 30);
        button.show();
        QVERIFY(QTest::qWaitForWindowExposed(&button));
    }
};

} // namespace

class TestCtlButton : public QObject {
    Q_OBJECT

  private slots:
    void pointerStates_data();
    void pointerStates();
    void pointerCaptureIsGivenBack();
    void disabledFaceSurvivesShowAndResize();
    void propertyChangesRepaint();
    void faceDrawing();
    void writeOmitsDefaultsAndRoundTrips();
    void readFillsMissingAndSkipsMalformed();
    void bagComparesNamesWithoutCase();
};

void TestCtlButton::pointerStates_data() {
    // Actions on a 97 x 30 face: "m x y mask" (move, mask L, R, LR or -), "p" / "r" (left press /
    // release at the centre), "P" (right press), "R x y" (left release at x, y), "d" / "e"
    // (disable / enable).
    QTest::addColumn<QStringList>("actions");
    QTest::addColumn<int>("state");
    QTest::addColumn<int>("clicks");
    QTest::newRow("move inside") << QStringList{"m 10 10 -"} << 1 << 0;
    QTest::newRow("left held") << QStringList{"m 10 10 L"} << 2 << 0;
    QTest::newRow("left and right held") << QStringList{"m 10 10 LR"} << 1 << 0;
    QTest::newRow("corner is inside") << QStringList{"m 97 30 L"} << 2 << 0;
    QTest::newRow("past the right edge") << QStringList{"m 10 10 -", "m 98 5 -"} << 0 << 0;
    QTest::newRow("past the bottom edge") << QStringList{"m 10 10 -", "m 5 31 -"} << 0 << 0;
    QTest::newRow("left of the face") << QStringList{"m 10 10 -", "m -1 5 -"} << 0 << 0;
    QTest::newRow("right press") << QStringList{"P"} << 0 << 0;
    QTest::newRow("click keeps pressed picture") << QStringList{"p", "r"} << 2 << 1;
    QTest::newRow("move after click") << QStringList{"p", "r", "m 10 10 -"} << 1 << 1;
    QTest::newRow("release outside is no click") << QStringList{"p", "R 200 5"} << 2 << 0;
    QTest::newRow("release on the edge clicks") << QStringList{"p", "R 97 30"} << 2 << 1;
    QTest::newRow("release without press") << QStringList{"r"} << 0 << 0;
    QTest::newRow("two clicks") << QStringList{"p", "r", "p", "r"} << 2 << 2;
    QTest::newRow("disabled") << QStringList{"d", "m 10 10 L", "p", "r", "m 500 10 -"} << 3 << 0;
    QTest::newRow("enabled again") << QStringList{"d", "e"} << 0 << 0;
    QTest::newRow("enabled again clicks") << QStringList{"d", "e", "p", "r"} << 2 << 1;
}

void TestCtlButton::pointerStates() {
    QFETCH(QStringList, actions);
    QFETCH(int, state);
    QFETCH(int, clicks);
    ShownButton shown;
    CtlButton* button = &shown.button;
    const QPoint centre(48, 15);
    for (const QString& action : actions) {
        const QStringList part = action.split(QLatin1Char(' '));
        const QPoint at = part.size() > 2 ? QPoint(part[1].toInt(), part[2].toInt()) : centre;
        if (part[0] == QLatin1String("d") || part[0] == QLatin1String("e")) {
            button->setEnable(part[0] == QLatin1String("e"));
        } else if (part[0] == QLatin1String("m")) {
            Qt::MouseButtons mask;
            if (part[3].contains(QLatin1Char('L')))
                mask |= Qt::LeftButton;
            if (part[3].contains(QLatin1Char('R')))
                mask |= Qt::RightButton;
            moveWithButtons(button, at, mask);
        } else if (part[0].compare(QLatin1String("p"), Qt::CaseInsensitive) == 0) {
            QTest::mousePress(button, part[0] == "p" ? Qt::LeftButton : Qt::RightButton, {}, at);
        } else {
            QTest::mouseRelease(button, Qt::LeftButton, {}, at);
        }
    }
    QCOMPARE(button->paintedState(), state);
    QCOMPARE(shown.clicked.count(), clicks);
}

void TestCtlButton::pointerCaptureIsGivenBack() {
    // Leaving, disabling, clicking and hiding each give back the capture the hover took: the
    // rest of the window must see the pointer, and a click handler may open a modal dialog.
    ShownButton shown;
    CtlButton& button = shown.button;
    QWidget* grabberDuringClick = &button;
    connect(&button, &CtlButton::Click, &button,
            [&grabberDuringClick] { grabberDuringClick = QWidget::mouseGrabber(); });
    moveWithButtons(&button, QPoint(20, 10));
    moveWithButtons(&button, QPoint(30, 12));
    QCOMPARE(QWidget::mouseGrabber(), &button);
    moveWithButtons(&button, QPoint(300, 12));
    QCOMPARE(QWidget::mouseGrabber(), nullptr);

    moveWithButtons(&button, QPoint(20, 10));
    button.setEnable(false);
    QCOMPARE(QWidget::mouseGrabber(), nullptr);
    moveWithButtons(&button, QPoint(21, 10)); // a disabled face takes no capture either
    QCOMPARE(QWidget::mouseGrabber(), nullptr);

    button.setEnable(true);
    moveWithButtons(&button, QPoint(20, 10));
    QTest::mouseClick(&button, Qt::LeftButton, {}, QPoint(20, 10));
    QCOMPARE(grabberDuringClick, nullptr);
    moveWithButtons(&button, QPoint(21, 10));
    QCOMPARE(QWidget::mouseGrabber(), &button);
    QCOMPARE(button.paintedState(), 1);
    button.hide();
    QCOMPARE(QWidget::mouseGrabber(), nullptr);
}

void TestCtlButton::disabledFaceSurvivesShowAndResize() {
    // The window's load step sizes and disables buttons before the window is first shown.
    QWidget window;
    auto* button = new CtlButton(&window);
    button->setGeometry(0, 0, 97, 30);
    button->setEnable(false);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(button->paintedState(), 3);

    button->resize(120, 40); // a resize paints the normal face, even when disabled
    QApplication::processEvents();
    QCOMPARE(button->paintedState(), 0);
}

void TestCtlButton::propertyChangesRepaint() {
    // Properties of the normal face repaint it; the other pictures leave the shown face alone.
    const QPixmap picture = solid(Qt::red);
    const QList<std::pair<int, std::function<void(CtlButton&)>>> changes = {
        {0, [](CtlButton& b) { b.setCaption(QStringLiteral("确定")); }},
        {0, [](CtlButton& b) { b.setBorderStyle(1); }},
        {0, [](CtlButton& b) { b.setFont(ProgramFont(12)); }},
        {0, [](CtlButton& b) { b.setForeColor(0x000000FF); }},
        {0, [&](CtlButton& b) { b.setPictrueNormal(picture); }},
        {3, [&](CtlButton& b) { b.setPictureOver(picture); }},
        {3, [&](CtlButton& b) { b.setPictureClick(picture); }},
        {3, [&](CtlButton& b) { b.setPictureDisable(picture); }},
    };
    for (int i = 0; i < changes.size(); ++i) {
        CtlButton button;
        button.setEnable(false);
        changes[i].second(button);
        QVERIFY2(button.paintedState() == changes[i].first, qPrintable(QString::number(i)));
        QVERIFY(!button.Enable());
    }
}

void TestCtlButton::faceDrawing() {
    CtlButton button;
    button.resize(97, 30);
    button.setCaption(QString());
    button.setPictrueNormal(QPixmap()); // no picture: plain background, no caption ink
    QVERIFY(inkBounds(button.grab().toImage(), OleColor(0x80000005).rgb()).isNull());

    const QRgb white = QColor(Qt::white).rgb();
    button.setPictrueNormal(solid(Qt::white));
    QVERIFY(inkBounds(button.grab().toImage(), white).isNull());
    button.setForeColor(0x00000000);
    button.setCaption(QStringLiteral("收录查询"));
    const QRect ink = inkBounds(button.grab().toImage(), white);
    QVERIFY(!ink.isNull());
    QVERIFY2(qAbs((ink.left() + ink.right()) - 96) <= 2, "caption not centred across");
    QVERIFY2(qAbs((ink.top() + ink.bottom()) - 29) <= 4, "caption not centred down");
    button.setCaption(QString(40, QChar(0x6C49))); // far wider than the face
    const QRect wide = inkBounds(button.grab().toImage(), white);
    QVERIFY2(wide.left() <= 1 && wide.right() >= 95, "wide caption not cut at both sides");

    // The picture is stretched to the face, whatever its aspect ratio.
    button.resize(150, 44);
    button.setCaption(QString());
    QPixmap halves = solid(Qt::blue);
    QPainter(&halves).fillRect(0, 0, 50, 25, Qt::red);
    button.setPictrueNormal(halves);
    const QImage face = button.grab().toImage();
    QCOMPARE(QColor(face.pixel(0, 0)), QColor(Qt::red));
    QCOMPARE(QColor(face.pixel(70, 22)), QColor(Qt::red)); // 70 < 150 * 50 / 99
    QCOMPARE(QColor(face.pixel(80, 22)), QColor(Qt::blue));
    QCOMPARE(QColor(face.pixel(149, 43)), QColor(Qt::blue));
}

void TestCtlButton::writeOmitsDefaultsAndRoundTrips() {
    QWidget container;
    container.setFont(ProgramFont(9));
    auto* button = new CtlButton(&container);
    for (auto setter : {&CtlButton::setPictrueNormal, &CtlButton::setPictureOver,
                        &CtlButton::setPictureClick, &CtlButton::setPictureDisable})
        (button->*setter)(QPixmap());
    PropertyBag bag;
    button->WriteProperties(bag);
    QCOMPARE(bag.count(), 0);
    button->setCaption(QStringLiteral("提交查询"));
    button->setEnable(false);
    button->setPictureClick(solid(Qt::green));
    button->WriteProperties(bag);
    QCOMPARE(bag.names(), (QStringList{"Caption", "Enable", "PictureClick"}));
    button->setCaption(QStringLiteral("Cmd1")); // back to the defaults: stale entries go
    button->setEnable(true);
    button->setPictureClick(QPixmap());
    button->WriteProperties(bag);
    QCOMPARE(bag.count(), 0);

    CtlButton source;
    source.setBorderStyle(1);
    source.setFont(ProgramFont(11.25));
    source.setForeColor(0x00FF0000);
    source.setCaption(QStringLiteral("网 页 版"));
    source.setEnable(false);
    const QPixmap over = solid(Qt::yellow);
    source.setPictureOver(over);
    source.WriteProperties(bag);
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

void TestCtlButton::readFillsMissingAndSkipsMalformed() {
    PropertyBag bag;
    bag.WriteProperty(QStringLiteral("pictruenormal"), QVariant::fromValue(solid(Qt::red)));
    bag.WriteProperty(QStringLiteral("BorderStyle"), 7);
    bag.WriteProperty(QStringLiteral("Font"), QVariant::fromValue(QStringList{"a", "b"}));
    bag.WriteProperty(QStringLiteral("PictureClick"), QStringLiteral("not a picture"));
    CtlButton button;
    button.setCaption(QStringLiteral("old"));
    button.setEnable(false);
    const QFont font = button.Font();
    const qint64 click = button.PictureClick().cacheKey();
    button.ReadProperties(bag);
    QCOMPARE(button.Caption(), QStringLiteral("Cmd1")); // missing values read their defaults
    QVERIFY(button.Enable());
    QVERIFY(!button.PictrueNormal().isNull());
    QVERIFY(button.PictureOver().isNull()); // a missing picture empties its holder
    QVERIFY(button.PictureDisable().isNull());
    QCOMPARE(button.BorderStyle(), 0); // unreadable values keep the current one
    QCOMPARE(button.Font(), font);
    QCOMPARE(button.PictureClick().cacheKey(), click);
    button.setBorderStyle(-1);
    QCOMPARE(button.BorderStyle(), 0);
}

void TestCtlButton::bagComparesNamesWithoutCase() {
    PropertyBag bag;
    bag.WriteProperty(QStringLiteral("caption"), QStringLiteral("一"), QStringLiteral("Cmd1"));
    bag.WriteProperty(QStringLiteral("CAPTION"), QStringLiteral("二"), QStringLiteral("Cmd1"));
    QCOMPARE(bag.count(), 1);
    QCOMPARE(bag.ReadProperty(QStringLiteral("Caption")).toString(), QStringLiteral("二"));
    QCOMPARE(bag.ReadProperty(QStringLiteral("Captio"), 5).toInt(), 5);
    bag.WriteProperty(QStringLiteral("Caption"), QStringLiteral("Cmd1"), QStringLiteral("Cmd1"));
    QVERIFY(!bag.contains(QStringLiteral("caption")));
}

QTEST_MAIN(TestCtlButton)
#include "tst_ctlbutton.moc"

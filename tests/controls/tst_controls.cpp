#include "controls/ctlbutton.h"
#include "controls/ctlframe.h"
#include "controls/propertybag.h"
#include "fixture.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QScopeGuard>
#include <QTimer>

namespace {

QPixmap solid(const QColor& colour) {
    QPixmap picture(99, 25);
    picture.fill(colour);
    return picture;
}

using Ds = DesktopServices;

struct Event {
    const char *name, *control;
    QStringList events;
    const char* state;
};

} // namespace

class TestControls : public QObject {
    Q_OBJECT
  private slots:
    // Events on a shown 97 x 30 button or 200 x 100 frame, and the state they leave. Button:
    // "m x y mask" (move; mask L, R, LR or -), "p"/"r" (left press/release at the centre), "P"
    // (right press), "R x y" (left release at x, y), "d"/"e" (disable/enable), "h" (hide), "over"
    // (a new pointer-over picture), "show" (first show, else before the events); state "<painted
    // state> <clicks> <g: holds the pointer capture>". Leaving, disabling, clicking and hiding
    // give the capture back: the window must see the pointer, a click handler may open a dialog.
    // Both: "caption <text>", "resize w h". Frame: "style n"; state "<caption band: top or flat>
    // <outline: lines or bare> <w>x<h> twips".
    void events_data() {
        addRows<Event>({
            {"move inside", "button", {"m 10 10 -"}, "1 0 g"},
            {"left held", "button", {"m 10 10 L"}, "2 0 g"},
            {"left and right held", "button", {"m 10 10 LR"}, "1 0 g"},
            {"corner is inside", "button", {"m 97 30 L"}, "2 0 g"},
            {"past the right edge", "button", {"m 10 10 -", "m 98 5 -"}, "0 0 -"},
            {"past the bottom edge", "button", {"m 10 10 -", "m 5 31 -"}, "0 0 -"},
            {"left of the face", "button", {"m 10 10 -", "m -1 5 -"}, "0 0 -"},
            {"right press", "button", {"P"}, "0 0 -"},
            {"click keeps pressed picture", "button", {"m 20 10 -", "p", "r"}, "2 1 -"},
            {"move after click", "button", {"p", "r", "m 10 10 -"}, "1 1 g"},
            {"release outside is no click", "button", {"p", "R 200 5"}, "2 0 -"},
            {"release on the edge clicks", "button", {"p", "R 97 30"}, "2 1 -"},
            {"release without press", "button", {"r"}, "0 0 -"},
            {"two clicks", "button", {"p", "r", "p", "r"}, "2 2 -"},
            {"disabled", "button", {"d", "m 10 10 L", "p", "r", "m 500 10 -"}, "3 0 -"},
            {"disabled under the pointer", "button", {"m 20 10 -", "d", "m 21 10 -"}, "3 0 -"},
            {"enabled again clicks", "button", {"d", "e", "p", "r"}, "2 1 -"},
            {"hidden", "button", {"m 20 10 -", "h"}, "1 0 -"},
            // Properties of the normal face repaint it; other pictures leave the shown face alone.
            {"disabled, caption changed", "button", {"d", "caption 确定"}, "0 0 -"},
            {"disabled, other picture changed", "button", {"d", "over"}, "3 0 -"},
            {"disabled, resized", "button", {"d", "resize 120 40"}, "0 0 -"},
            // The window's load step sizes and disables buttons before the window is first shown.
            {"disabled before the first show", "button", {"d", "show"}, "3 0 -"},
            {"frame with caption", "frame", {"caption 标题"}, "top lines 3000x1500"},
            {"caption cleared", "frame", {"caption 标题", "caption "}, "flat lines 3000x1500"},
            {"border style 0", "frame", {"caption 标题", "style 0"}, "top bare 3000x1500"},
            {"border style 2", "frame", {"caption 标题", "style 2"}, "top bare 3000x1500"},
            {"border style -1", "frame", {"caption 标题", "style -1"}, "top bare 3000x1500"},
            {"tiny", "frame", {"resize 1 1"}, "top lines 720x375"},
            {"narrow", "frame", {"resize 10 200"}, "top lines 720x3000"},
            {"flat", "frame", {"resize 300 3"}, "top lines 4500x375"},
        });
    }
    void events() {
        QFETCH(Event, row);
        const bool onButton = row.control == QLatin1String("button");
        CtlButton button;
        CtlFrame frame;
        QWidget* shown = onButton ? static_cast<QWidget*>(&button) : &frame;
        shown->resize(onButton ? QSize(97, 30) : QSize(200, 100));
        const QStringList events =
            row.events.contains("show") ? row.events : QStringList{"show"} + row.events;
        int clicks = 0;
        connect(&button, &CtlButton::Click, &button, [&clicks] {
            ++clicks;
            QCOMPARE(QWidget::mouseGrabber(), nullptr);
        });
        const QPoint mid(48, 15);
        for (const QString& event : events) {
            const QStringList part = event.split(' ');
            const QString verb = part[0];
            const int x = part.value(1).toInt(), y = part.value(2).toInt();
            if (verb == "show") {
                shown->show();
                QVERIFY(QTest::qWaitForWindowExposed(shown));
            } else if (verb == "d" || verb == "e") {
                button.setEnable(verb == "e");
            } else if (verb == "h") {
                button.hide();
            } else if (verb == "m") { // with a button mask, which QTest::mouseMove cannot send
                const Qt::MouseButtons mask =
                    (part[3].contains('L') ? Qt::LeftButton : Qt::NoButton) |
                    (part[3].contains('R') ? Qt::RightButton : Qt::NoButton);
                QMouseEvent move(QEvent::MouseMove, QPoint(x, y), button.mapToGlobal(QPoint(x, y)),
                                 Qt::NoButton, mask, Qt::NoModifier);
                QApplication::sendEvent(&button, &move);
            } else if (verb == "p" || verb == "P") {
                QTest::mousePress(&button, verb == "p" ? Qt::LeftButton : Qt::RightButton, {}, mid);
            } else if (verb == "r" || verb == "R") {
                QTest::mouseRelease(&button, Qt::LeftButton, {}, verb == "r" ? mid : QPoint(x, y));
            } else if (verb == "caption") {
                button.setCaption(event.mid(8));
                frame.setCaption(event.mid(8));
            } else if (verb == "over") {
                button.setPictureOver(solid(Qt::red));
            } else if (verb == "resize") {
                shown->resize(x, y);
                QApplication::processEvents();
            } else if (verb == "style") {
                frame.setBorderStyle(x);
            }
        }
        if (onButton) {
            const QString grab = QWidget::mouseGrabber() == &button ? "g" : "-";
            QCOMPARE(QString("%1 %2 %3").arg(button.paintedState()).arg(clicks).arg(grab),
                     row.state);
            return;
        }
        bool lines = true;
        for (int i = 0; i < 5; ++i)
            lines = lines && frame.lineTwips(i).visible;
        QVERIFY(!frame.lineTwips(5).visible); // out of range reads as an empty line
        const QString band = frame.topEdgeTwips() > 0 ? "top" : "flat";
        const int w = qRound(PixelsToTwips(frame.width())),
                  h = qRound(PixelsToTwips(frame.height()));
        QCOMPARE(QString("%1 %2 %3x%4").arg(band, lines ? "lines" : "bare").arg(w).arg(h),
                 row.state);
        QCOMPARE(frame.lineTwips(3).y1, h - 9);
    }
    // The picture is stretched over the whole button, the caption inked, the frame outlined.
    void facesArePainted() {
        CtlButton button;
        button.resize(150, 44);
        button.setCaption(QString());
        QPixmap halves = solid(Qt::blue);
        QPainter(&halves).fillRect(0, 0, 50, 25, Qt::red);
        button.setPictrueNormal(halves);
        QImage face = button.grab().toImage(); // 70 < 150 * 50 / 99: still the red half
        QCOMPARE(QList<QColor>({face.pixel(0, 0), face.pixel(70, 22), face.pixel(149, 43)}),
                 QList<QColor>({Qt::red, Qt::red, Qt::blue}));
        button.setCaption(QStringLiteral("收录查询"));
        QVERIFY(button.grab().toImage() != face);
        CtlFrame frame;
        frame.resize(100, 60);
        frame.setCaption(QString());
        frame.setBorderColor(0x000000FF);   // red
        frame.setBackColorMain(0x00FFFFFF); // white
        face = frame.grab().toImage();
        QCOMPARE(QList<QColor>({face.pixel(0, 30), face.pixel(50, 59), face.pixel(50, 30)}),
                 QList<QColor>({Qt::red, Qt::red, Qt::white}));
    }
    // Stored properties: defaults left out, names without case, missing default, bad ones kept.
    void properties() {
        QWidget container, frameBox;
        container.setFont(ProgramFont(9)), frameBox.setFont(ProgramFont(9.75));
        auto* button = new CtlButton(&container);
        auto* frame = new CtlFrame(&frameBox);
        for (auto setter : {&CtlButton::setPictrueNormal, &CtlButton::setPictureOver,
                            &CtlButton::setPictureClick, &CtlButton::setPictureDisable})
            (button->*setter)(QPixmap());
        PropertyBag bag, frameBag;
        button->WriteProperties(bag), frame->WriteProperties(frameBag);
        QCOMPARE(bag.count() + frameBag.count(), 0);
        const QPixmap click = solid(Qt::green);
        button->setCaption("提交查询"), button->setEnable(false), button->setPictureClick(click);
        button->WriteProperties(bag);
        QCOMPARE(bag.names(), (QStringList{"Caption", "Enable", "PictureClick"}));
        CtlButton copy;
        copy.ReadProperties(bag);
        // A missing picture empties its holder.
        QCOMPARE(std::tuple(copy.Caption(), copy.Enable(), copy.PictureClick().cacheKey(),
                            copy.PictrueNormal().isNull()),
                 std::tuple(QString("提交查询"), false, click.cacheKey(), true));
        // Back to the defaults: stale entries go.
        button->setCaption("Cmd1"), button->setEnable(true), button->setPictureClick(QPixmap());
        button->WriteProperties(bag);
        QCOMPARE(bag.count(), 0);
        frame->setBorderColor(0x00B9AE9E), frame->setBackColorTop(0x8000000E);
        frame->setFont(ProgramFont(12));
        frame->WriteProperties(frameBag);
        QCOMPARE(frameBag.count(), 3);
        PropertyBag sparse;
        sparse.WriteProperty(QStringLiteral("bordercolor"), QStringLiteral("red"));
        sparse.WriteProperty(QStringLiteral("BACKCOLORMAIN"), 0x00FFFFFFu);
        sparse.WriteProperty(QStringLiteral("Font"), QVariant::fromValue(QStringList{"a", "b"}));
        sparse.WriteProperty(QStringLiteral("BorderStyle"), 7);
        frame->ReadProperties(sparse);
        QCOMPARE(std::tuple(frame->BorderColor(), frame->BackColorMain(), frame->BackColorTop(),
                            frame->Caption()),
                 std::tuple(0x00B9AE9Eu, 0x00FFFFFFu, 0x8000000Fu, QString("Frame1")));
        copy.ReadProperties(sparse);
        QCOMPARE(std::tuple(frame->Font(), copy.BorderStyle(), copy.Enable()),
                 std::tuple(ProgramFont(12), 0, true));
    }
    // The platform's desktop services where they can be watched: message boxes and the launcher.
    void platformServices() {
        QStringList buttons;
        Qt::TextFormat format = Qt::AutoText;
        QTimer::singleShot(0, this, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box);
            buttons = Each([](const QAbstractButton* b) { return b->text(); }, box->buttons());
            format = box->textFormat();
            box->button(QMessageBox::Cancel)->click();
        });
        const auto answer = Desktop().messageBox(nullptr, "无法打开 <img src=x>.com", "提示",
                                                 Ds::Buttons::OkCancel, Ds::Icon::Question);
        buttons.sort();
        QCOMPARE(std::tuple(answer, buttons, format),
                 std::tuple(Ds::Answer::Cancel, QStringList{"取消", "确定"}, Qt::PlainText));
        // The launcher's exit status decides, not merely that it started.
        QTemporaryDir dir;
        const auto restorePath = qScopeGuard([path = qgetenv("PATH")] { qputenv("PATH", path); });
        qputenv("PATH", dir.path().toUtf8() + ":/usr/bin:/bin");
        for (const bool opens : {false, true}) { // no browser known, or one took it
            const QString launcher = dir.filePath("xdg-open");
            PutContent(launcher,
                       "#!/bin/sh\nprintf %s \"$1\" > \"$(dirname \"$0\")/asked\"\nexit " +
                           QByteArray(opens ? "0" : "3") + "\n");
            QFile::setPermissions(launcher, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            QCOMPARE(Desktop().open(nullptr, "http://example.invalid/a?b=c", Ds::ShowShow), opens);
            QCOMPARE(ContentOf(dir.filePath("asked")), "http://example.invalid/a?b=c");
            QVERIFY(QFile::remove(dir.filePath("asked")));
        }
    }
};

QTEST_MAIN(TestControls)
#include "tst_controls.moc"

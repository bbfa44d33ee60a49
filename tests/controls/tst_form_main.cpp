#include "controls/ctlbutton.h"
#include "controls/ctlframe.h"
#include "controls/form_main.h"
#include "net/webpage.h"

#include <QAction>
#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSet>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <functional>

namespace {

const QRect kContent(112, 8, 449, 349); // 1680, 120, 6735, 5235 twips

bool isControlName(const QString& name) {
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z][A-Za-z0-9_]*(\\(\\d+\\))?$"));
    return !name.startsWith(QLatin1String("qt_")) && pattern.match(name).hasMatch();
}

// The window's own controls below parent (not the inner parts of list views or text boxes).
QList<QWidget*> namedChildren(QWidget* parent) {
    QList<QWidget*> result;
    for (QObject* child : parent->children()) {
        auto* widget = qobject_cast<QWidget*>(child);
        if (widget && !widget->isWindow() && isControlName(widget->objectName()))
            result.append(widget);
    }
    return result;
}

void collect(QWidget* parent, QList<QWidget*>& out) {
    for (QWidget* child : namedChildren(parent)) {
        out.append(child);
        collect(child, out);
    }
}

QString pairKey(const QString& a, const QString& b) {
    return a < b ? a + QLatin1Char('|') + b : b + QLatin1Char('|') + a;
}

// Siblings that the layout puts on top of each other on purpose: text boxes inside their
// outlines, lookup buttons touching the outline by one pixel, headings sitting on their rules.
const QSet<QString>& plannedOverlaps() {
    static const QSet<QString> pairs = [] {
        QSet<QString> set;
        for (int i = 0; i < 3; ++i) {
            set.insert(pairKey(QStringLiteral("Shape1(%1)").arg(i),
                               QStringLiteral("TextInPut(%1)").arg(i)));
            set.insert(
                pairKey(QStringLiteral("Shape1(%1)").arg(i), QStringLiteral("CmdSend(%1)").arg(i)));
        }
        for (int i = 0; i < 4; ++i)
            set.insert(pairKey(QStringLiteral("Shape1(%1)").arg(3 + i),
                               QStringLiteral("TxtMD5(%1)").arg(i)));
        const int headings[4][2] = {{0, 0}, {2, 1}, {4, 2}, {3, 4}};
        for (const auto& h : headings)
            set.insert(pairKey(QStringLiteral("LabSet(%1)").arg(h[0]),
                               QStringLiteral("LinSet(%1)").arg(h[1])));
        return set;
    }();
    return pairs;
}

struct Shown {
    Form_Main form;
    Shown() {
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
    }
};

} // namespace

class TestFormMain : public QObject {
    Q_OBJECT

  private slots:
    void everyControlByAccessorAndName();
    void windowIsFixed();
    void panelsAndLayout_data();
    void panelsAndLayout();
    void selectedButtonLooksPressed();
    void unknownPanelKeepsTheShownOne();
    void panelChosenWhilePumpingWins();
    void storesAndTimersNeverShow();
    void hiddenAtStart();
    void hintsAreRealText();
    void statusLabelsFollowTheirText();
    void busyLabelGrowsWithItsText();
    void listColumnsFitWithoutScrolling();
    void picturesAndIconLoaded();
};

void TestFormMain::everyControlByAccessorAndName() {
    Form_Main form;
    QList<std::pair<QString, QObject*>> expected;
    auto add = [&](const QString& name, QObject* object) { expected.append({name, object}); };
    auto addArray = [&](const char* name, int count, const std::function<QObject*(int)>& get) {
        for (int i = 0; i < count; ++i)
            add(QStringLiteral("%1(%2)").arg(QLatin1String(name)).arg(i), get(i));
        QCOMPARE(get(-1), nullptr);
        QCOMPARE(get(count), nullptr);
    };
    add(QStringLiteral("FrameBox"), form.FrameBox());
    addArray("Frame", 7, [&](int i) { return form.Frame(i); });
    add(QStringLiteral("CtlFrame1"), form.CtlFrame1());
    addArray("Timer1", 5, [&](int i) { return form.Timer1(i); });
    addArray("PicBox", 4, [&](int i) { return form.PicBox(i); });
    add(QStringLiteral("WEB1"), form.WEB1());
    addArray("CmdMenu1", 7, [&](int i) { return form.CmdMenu1(i); });
    addArray("CmdMenu2", 5, [&](int i) { return form.CmdMenu2(i); });
    addArray("ListView1", 3, [&](int i) { return form.ListView1(i); });
    addArray("Label1", 2, [&](int i) { return form.Label1(i); });
    addArray("Shape1", 7, [&](int i) { return form.Shape1(i); });
    addArray("TextInPut", 3, [&](int i) { return form.TextInPut(i); });
    addArray("CmdSend", 3, [&](int i) { return form.CmdSend(i); });
    add(QStringLiteral("Line3"), form.Line3());
    add(QStringLiteral("Line4"), form.Line4());
    add(QStringLiteral("Line5"), form.Line5());
    add(QStringLiteral("LabYM"), form.LabYM());
    add(QStringLiteral("LabPM"), form.LabPM());
    add(QStringLiteral("FrameYM"), form.FrameYM());
    add(QStringLiteral("FramePM"), form.FramePM());
    add(QStringLiteral("TextYM"), form.TextYM());
    add(QStringLiteral("TextPM"), form.TextPM());
    addArray("LabMD5", 4, [&](int i) { return form.LabMD5(i); });
    addArray("TxtMD5", 4, [&](int i) { return form.TxtMD5(i); });
    addArray("LabSet", 5, [&](int i) { return form.LabSet(i); });
    addArray("LinSet", 5, [&](int i) { return form.LinSet(i); });
    add(QStringLiteral("TextSet"), form.TextSet());
    addArray("CheckSet", 4, [&](int i) { return form.CheckSet(i); });
    addArray("CMDSet", 2, [&](int i) { return form.CMDSet(i); });
    add(QStringLiteral("MenuFile1"), form.MenuFile1());
    add(QStringLiteral("MenuShowMore"), form.MenuShowMore());
    add(QStringLiteral("MenuUpdate"), form.MenuUpdate());
    add(QStringLiteral("MenuFile2"), form.MenuFile2());
    add(QStringLiteral("MenuShow"), form.MenuShow());
    add(QStringLiteral("MenuQuit"), form.MenuQuit());

    QSet<QObject*> distinct;
    for (const auto& [name, object] : expected) {
        QVERIFY2(object, qPrintable(name));
        QCOMPARE(object->objectName(), name);
        const QList<QObject*> found = form.findChildren<QObject*>(name);
        QVERIFY2(found.size() == 1 && found.first() == object, qPrintable(name));
        distinct.insert(object);
    }
    QCOMPARE(distinct.size(), expected.size());

    QCOMPARE(form.MenuFile1()->title(), QStringLiteral("菜单一"));
    QCOMPARE(form.MenuShowMore()->text(), QStringLiteral("查看详情"));
    QCOMPARE(form.MenuUpdate()->text(), QStringLiteral("数据更新"));
    QCOMPARE(form.MenuFile2()->title(), QStringLiteral("菜单二"));
    QCOMPARE(form.MenuShow()->text(), QStringLiteral("显示界面"));
    QCOMPARE(form.MenuQuit()->text(), QStringLiteral("退出系统"));
    QCOMPARE(form.CmdMenu2(2)->Caption(), QStringLiteral("网 页 版"));
    QCOMPARE(form.CmdMenu1(6)->Caption(), QStringLiteral("系统设置"));
}

void TestFormMain::windowIsFixed() {
    Form_Main form;
    QCOMPARE(form.size(), QSize(570, 398));
    QCOMPARE(form.minimumSize(), form.maximumSize());
    QCOMPARE(form.palette().color(QPalette::Window), QColor(244, 244, 244));
    QCOMPARE(form.font().pointSizeF(), 9.75);
    QCOMPARE(form.CmdMenu1(0)->Font().pointSizeF(), 9.0);
    QCOMPARE(form.TextInPut(1)->font().pointSizeF(), 11.25);
}

void TestFormMain::panelsAndLayout_data() {
    QTest::addColumn<int>("panel");
    for (int i = 0; i < 7; ++i)
        QTest::addRow("panel %d", i) << i;
}

void TestFormMain::panelsAndLayout() {
    QFETCH(int, panel);
    Shown shown;
    Form_Main& form = shown.form;
    form.CurrentPanel = panel;
    form.ShowPanel();
    QApplication::processEvents();

    int visiblePanels = 0;
    for (int i = 0; i < 7; ++i) {
        if (form.Frame(i)->isVisible()) {
            ++visiblePanels;
            QCOMPARE(i, panel);
            QCOMPARE(form.Frame(i)->geometry(), kContent);
        }
    }
    QCOMPARE(visiblePanels, 1);

    QList<QWidget*> controls{&form};
    collect(&form, controls);
    for (QWidget* container : controls) {
        if (!container->isVisible())
            continue;
        const QList<QWidget*> children = namedChildren(container);
        for (QWidget* child : children) {
            if (!child->isVisible())
                continue;
            QVERIFY2(container->rect().contains(child->geometry()),
                     qPrintable(child->objectName() + " leaves " + container->objectName()));
        }
        for (int a = 0; a < children.size(); ++a) {
            for (int b = a + 1; b < children.size(); ++b) {
                QWidget* first = children[a];
                QWidget* second = children[b];
                if (!first->isVisible() || !second->isVisible())
                    continue;
                const QRect overlap = first->geometry() & second->geometry();
                if (overlap.isEmpty())
                    continue;
                const bool navigation = container == form.FrameBox() && overlap.height() == 1;
                const bool planned =
                    plannedOverlaps().contains(pairKey(first->objectName(), second->objectName()));
                QVERIFY2(navigation || planned,
                         qPrintable(first->objectName() + " overlaps " + second->objectName()));
            }
        }
    }
}

void TestFormMain::selectedButtonLooksPressed() {
    Shown shown;
    Form_Main& form = shown.form;
    const qint64 normal = form.PicBox(0)->pixmap().cacheKey();
    const qint64 pressed = form.PicBox(2)->pixmap().cacheKey();
    for (int panel : {6, 0, 3}) {
        form.CurrentPanel = panel;
        form.ShowPanel();
        for (int i = 0; i < 7; ++i) {
            CtlButton* button = form.CmdMenu1(i);
            QCOMPARE(button->PictrueNormal().cacheKey(), i == panel ? pressed : normal);
            QCOMPARE(button->PictureOver().cacheKey(),
                     i == panel ? pressed : form.PicBox(1)->pixmap().cacheKey());
            QCOMPARE(button->PictureClick().cacheKey(), pressed);
        }
    }
    // The pointer passing over and off the selected button leaves it drawn pressed.
    CtlButton* selected = form.CmdMenu1(3);
    const QImage before = selected->grab().toImage();
    QTest::mouseMove(selected, QPoint(20, 10));
    QTest::mouseMove(&form, QPoint(300, 200));
    QCOMPARE(selected->paintedState(), 0);
    QCOMPARE(selected->grab().toImage(), before);
}

void TestFormMain::unknownPanelKeepsTheShownOne() {
    Shown shown;
    Form_Main& form = shown.form;
    form.CurrentPanel = 2;
    form.ShowPanel();
    for (int bad : {-1, 7, 1000}) {
        form.CurrentPanel = bad;
        form.ShowPanel();
        QVERIFY(form.Frame(2)->isVisible());
    }
}

void TestFormMain::panelChosenWhilePumpingWins() {
    // A click handled inside the panel switch's event pumping selects its own panel; the outer
    // switch must end on that panel too, not on the one it started with.
    Shown shown;
    Form_Main& form = shown.form;
    QTest::qWait(30); // let the next pump run at once
    QTimer::singleShot(0, &form, [&form] {
        form.CurrentPanel = 4;
        form.ShowPanel();
    });
    form.CurrentPanel = 1;
    form.ShowPanel();
    QCOMPARE(form.CurrentPanel, 4);
    int visible = 0;
    for (int i = 0; i < 7; ++i)
        visible += form.Frame(i)->isVisible() ? 1 : 0;
    QCOMPARE(visible, 1);
    QVERIFY(form.Frame(4)->isVisible());
    QCOMPARE(form.CmdMenu1(4)->PictrueNormal().cacheKey(), form.PicBox(2)->pixmap().cacheKey());
}

void TestFormMain::storesAndTimersNeverShow() {
    Shown shown;
    Form_Main& form = shown.form;
    static const int intervals[5] = {1000, 800, 3000, 60000, 60000};
    for (int panel = 0; panel < 7; ++panel) {
        form.CurrentPanel = panel;
        form.ShowPanel();
        for (int i = 0; i < 4; ++i) {
            QVERIFY(!form.PicBox(i)->isVisible());
            QVERIFY(form.PicBox(i)->y() >= form.height());
        }
        for (int i = 0; i < 5; ++i) {
            QVERIFY(!form.Timer1(i)->isActive());
            QCOMPARE(form.Timer1(i)->interval(), intervals[i]);
        }
    }
}

void TestFormMain::hiddenAtStart() {
    Shown shown;
    Form_Main& form = shown.form;
    for (int panel : {3, 4}) {
        form.CurrentPanel = panel;
        form.ShowPanel();
        QVERIFY(!form.LabYM()->isVisible());
        QVERIFY(!form.LabPM()->isVisible());
        QVERIFY(!form.FrameYM()->isVisible());
        QVERIFY(!form.FramePM()->isVisible());
    }
    QVERIFY(form.TextYM()->isReadOnly());
    QCOMPARE(form.TextPM()->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QVERIFY(form.TxtMD5(3)->isReadOnly());
}

void TestFormMain::hintsAreRealText() {
    Shown shown;
    Form_Main& form = shown.form;
    const QString hints[3] = {QStringLiteral("输入域名查询注册信息"),
                              QStringLiteral("输入域名查询网站排名情况"),
                              QStringLiteral("输入要加密的字符串")};
    for (int i = 0; i < 3; ++i) {
        form.CurrentPanel = 3 + i;
        form.ShowPanel();
        QLineEdit* input = form.TextInPut(i);
        QCOMPARE(input->text(), hints[i]);
        QVERIFY(input->placeholderText().isEmpty());
        input->setFocus();
        QTest::keyClick(input, Qt::Key_End);
        QTest::keyClicks(input, QStringLiteral("x"));
        QCOMPARE(input->text(), hints[i] + QLatin1Char('x'));
    }
}

void TestFormMain::statusLabelsFollowTheirText() {
    Shown shown;
    Form_Main& form = shown.form;
    QLabel* status = form.Label1(0);
    QLabel* link = form.Label1(1);
    link->setText(QStringLiteral("有新版本"));
    status->setText(QStringLiteral("就绪"));
    QApplication::processEvents();
    const int right = link->geometry().right();
    const int left = status->x();
    const int narrow = link->width();
    QCOMPARE(right + 1, 535); // right edge at 8025 twips
    QCOMPARE(left, 6);        // left edge at 90 twips

    link->setText(QStringLiteral("发现新版本 V2.0，点击这里下载"));
    status->setText(QStringLiteral("正在更新 www.example.com ......"));
    QApplication::processEvents();
    QVERIFY(link->width() > narrow);
    QCOMPARE(link->geometry().right(), right);
    QCOMPARE(status->x(), left);
    QVERIFY(status->width() >= status->sizeHint().width());
    QVERIFY(form.CtlFrame1()->rect().contains(link->geometry()));
}

void TestFormMain::busyLabelGrowsWithItsText() {
    Shown shown;
    Form_Main& form = shown.form;
    form.CurrentPanel = 3;
    form.ShowPanel();
    QLabel* busy = form.LabYM();
    busy->setText(QStringLiteral("正在查询 example.com 的WHOIS信息..."));
    busy->show();
    QApplication::processEvents();
    QCOMPARE(busy->pos(), QPoint(40, 80));
    QVERIFY(busy->width() >= busy->sizeHint().width());
    busy->setText(QStringLiteral("网络超时"));
    QApplication::processEvents();
    QCOMPARE(busy->size(), busy->sizeHint());
}

void TestFormMain::listColumnsFitWithoutScrolling() {
    Shown shown;
    Form_Main& form = shown.form;
    form.CurrentPanel = 0;
    form.ShowPanel();
    QTreeWidget* list = form.ListView1(0);
    list->setHeaderLabels(
        {"  域名", " 百度", " 谷歌", " 搜狗", " 雅虎", " 搜搜", " 有道", " 必应"});
    list->header()->resizeSection(0, TwipsToPixels(2049));
    for (int i = 0; i < 60; ++i) // more rows than fit: the vertical scroll bar appears
        list->addTopLevelItem(new QTreeWidgetItem(QStringList{QStringLiteral("s%1.com").arg(i)}));
    QApplication::processEvents();
    QVERIFY(list->verticalScrollBar()->isVisible());
    QCOMPARE(list->horizontalScrollBar()->maximum(), 0);
    QVERIFY(list->header()->defaultSectionSize() >= 30); // still wide enough for a number
}

void TestFormMain::picturesAndIconLoaded() {
    Form_Main form;
    for (int i = 0; i < 4; ++i)
        QCOMPARE(form.PicBox(i)->pixmap().size(), QSize(99, 25));
    const QList<QSize> sizes = form.ImageList1().availableSizes();
    QVERIFY(sizes.contains(QSize(16, 16)));
    QVERIFY(sizes.contains(QSize(32, 32)));
    QVERIFY(!form.windowIcon().isNull());
    QVERIFY(qobject_cast<WebPage*>(form.WEB1()));
}

QTEST_MAIN(TestFormMain)
#include "tst_form_main.moc"

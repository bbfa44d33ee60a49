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
#include <QStringList>
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
// outlines, lookup buttons touching the outline, headings sitting on their rules.
bool plannedOverlap(const QString& a, const QString& b) {
    static const QStringList pairs = {
        "CmdSend(0)|Shape1(0)",   "CmdSend(1)|Shape1(1)",   "CmdSend(2)|Shape1(2)",
        "Shape1(0)|TextInPut(0)", "Shape1(1)|TextInPut(1)", "Shape1(2)|TextInPut(2)",
        "Shape1(3)|TxtMD5(0)",    "Shape1(4)|TxtMD5(1)",    "Shape1(5)|TxtMD5(2)",
        "Shape1(6)|TxtMD5(3)",    "LabSet(0)|LinSet(0)",    "LabSet(2)|LinSet(1)",
        "LabSet(4)|LinSet(2)",    "LabSet(3)|LinSet(4)"};
    return pairs.contains(pairKey(a, b));
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
    void windowIsBuiltComplete();
    void panelsAndLayout_data();
    void panelsAndLayout();
    void selectedButtonLooksPressed();
    void panelSwitchReentryAndBadIndex();
    void hintsAreRealText();
    void labelsFollowTheirText();
    void defaultColumnsShowNineDigits();
};

void TestFormMain::everyControlByAccessorAndName() {
    Form_Main form;
    QList<std::pair<QString, QObject*>> expected = {{"FrameBox", form.FrameBox()},
                                                    {"CtlFrame1", form.CtlFrame1()},
                                                    {"WEB1", form.WEB1()},
                                                    {"Line3", form.Line3()},
                                                    {"Line4", form.Line4()},
                                                    {"Line5", form.Line5()},
                                                    {"LabYM", form.LabYM()},
                                                    {"LabPM", form.LabPM()},
                                                    {"FrameYM", form.FrameYM()},
                                                    {"FramePM", form.FramePM()},
                                                    {"TextYM", form.TextYM()},
                                                    {"TextPM", form.TextPM()},
                                                    {"TextSet", form.TextSet()},
                                                    {"MenuFile1", form.MenuFile1()},
                                                    {"MenuFile2", form.MenuFile2()},
                                                    {"MenuShowMore", form.MenuShowMore()},
                                                    {"MenuUpdate", form.MenuUpdate()},
                                                    {"MenuShow", form.MenuShow()},
                                                    {"MenuQuit", form.MenuQuit()}};
    auto addArray = [&](const char* name, int count, const std::function<QObject*(int)>& get) {
        for (int i = 0; i < count; ++i)
            expected.append({QStringLiteral("%1(%2)").arg(QLatin1String(name)).arg(i), get(i)});
        QCOMPARE(get(-1), nullptr);
        QCOMPARE(get(count), nullptr);
    };
    addArray("Frame", 7, [&](int i) { return form.Frame(i); });
    addArray("Timer1", 5, [&](int i) { return form.Timer1(i); });
    addArray("PicBox", 4, [&](int i) { return form.PicBox(i); });
    addArray("CmdMenu1", 7, [&](int i) { return form.CmdMenu1(i); });
    addArray("CmdMenu2", 5, [&](int i) { return form.CmdMenu2(i); });
    addArray("ListView1", 3, [&](int i) { return form.ListView1(i); });
    addArray("Label1", 2, [&](int i) { return form.Label1(i); });
    addArray("Shape1", 7, [&](int i) { return form.Shape1(i); });
    addArray("TextInPut", 3, [&](int i) { return form.TextInPut(i); });
    addArray("CmdSend", 3, [&](int i) { return form.CmdSend(i); });
    addArray("LabMD5", 4, [&](int i) { return form.LabMD5(i); });
    addArray("TxtMD5", 4, [&](int i) { return form.TxtMD5(i); });
    addArray("LabSet", 5, [&](int i) { return form.LabSet(i); });
    addArray("LinSet", 5, [&](int i) { return form.LinSet(i); });
    addArray("CheckSet", 4, [&](int i) { return form.CheckSet(i); });
    addArray("CMDSet", 2, [&](int i) { return form.CMDSet(i); });

    QSet<QObject*> distinct;
    for (const auto& [name, object] : expected) {
        QVERIFY2(object, qPrintable(name));
        const QList<QObject*> found = form.findChildren<QObject*>(name);
        QVERIFY2(found.size() == 1 && found.first() == object, qPrintable(name));
        distinct.insert(object);
    }
    QCOMPARE(distinct.size(), expected.size());
}

void TestFormMain::windowIsBuiltComplete() {
    Form_Main form;
    QCOMPARE(form.size(), QSize(570, 398));
    QCOMPARE(form.minimumSize(), form.maximumSize());
    for (int i = 0; i < 4; ++i) // the pictures come from the resources
        QCOMPARE(form.PicBox(i)->pixmap().size(), QSize(99, 25));
    const QList<QSize> sizes = form.ImageList1().availableSizes();
    QVERIFY(sizes.contains(QSize(16, 16)) && sizes.contains(QSize(32, 32)));
    QVERIFY(!form.windowIcon().isNull());
    QVERIFY(qobject_cast<WebPage*>(form.WEB1()));
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

    for (int i = 0; i < 7; ++i)
        QCOMPARE(form.Frame(i)->isVisible(), i == panel);
    QCOMPARE(form.Frame(panel)->geometry(), kContent);
    for (int i = 0; i < 4; ++i) // picture stores sit below the window, never shown
        QVERIFY(!form.PicBox(i)->isVisible() && form.PicBox(i)->y() >= form.height());
    for (int i = 0; i < 5; ++i)
        QVERIFY(!form.Timer1(i)->isActive());
    for (QWidget* busy : {(QWidget*)form.LabYM(), (QWidget*)form.LabPM(), (QWidget*)form.FrameYM(),
                          (QWidget*)form.FramePM()})
        QVERIFY2(!busy->isVisible(), qPrintable(busy->objectName()));

    QList<QWidget*> controls{&form};
    collect(&form, controls);
    for (QWidget* container : controls) {
        if (!container->isVisible())
            continue;
        QList<QWidget*> children = namedChildren(container);
        children.removeIf([](QWidget* w) { return !w->isVisible(); });
        for (int a = 0; a < children.size(); ++a) {
            QWidget* first = children[a];
            QVERIFY2(container->rect().contains(first->geometry()),
                     qPrintable(first->objectName() + " leaves " + container->objectName()));
            for (int b = a + 1; b < children.size(); ++b) {
                QWidget* second = children[b];
                const QRect overlap = first->geometry() & second->geometry();
                const bool navigation = container == form.FrameBox() && overlap.height() == 1;
                QVERIFY2(overlap.isEmpty() || navigation ||
                             plannedOverlap(first->objectName(), second->objectName()),
                         qPrintable(first->objectName() + " overlaps " + second->objectName()));
            }
        }
    }
}

void TestFormMain::selectedButtonLooksPressed() {
    Shown shown;
    Form_Main& form = shown.form;
    const qint64 normal = form.PicBox(0)->pixmap().cacheKey();
    const qint64 over = form.PicBox(1)->pixmap().cacheKey();
    const qint64 pressed = form.PicBox(2)->pixmap().cacheKey();
    for (int panel : {6, 0, 3}) {
        form.CurrentPanel = panel;
        form.ShowPanel();
        for (int i = 0; i < 7; ++i) {
            CtlButton* button = form.CmdMenu1(i);
            QCOMPARE(button->PictrueNormal().cacheKey(), i == panel ? pressed : normal);
            QCOMPARE(button->PictureOver().cacheKey(), i == panel ? pressed : over);
            QCOMPARE(button->PictureClick().cacheKey(), pressed);
        }
    }
    // The pointer passing over and off the selected button leaves it drawn pressed.
    CtlButton* selected = form.CmdMenu1(3);
    const QImage before = selected->grab().toImage();
    QTest::mouseMove(selected, QPoint(20, 10));
    QTest::mouseMove(&form, QPoint(300, 200));
    QCOMPARE(selected->grab().toImage(), before);
}

void TestFormMain::panelSwitchReentryAndBadIndex() {
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
    for (int i = 0; i < 7; ++i)
        QCOMPARE(form.Frame(i)->isVisible(), i == 4);
    QCOMPARE(form.CmdMenu1(4)->PictrueNormal().cacheKey(), form.PicBox(2)->pixmap().cacheKey());

    for (int bad : {-1, 7, 1000}) { // an unknown index keeps the shown panel
        form.CurrentPanel = bad;
        form.ShowPanel();
        QVERIFY(form.Frame(4)->isVisible());
    }
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
        input->setFocus();
        QTest::keyClick(input, Qt::Key_End);
        QTest::keyClicks(input, QStringLiteral("x"));
        QCOMPARE(input->text(), hints[i] + QLatin1Char('x'));
    }
}

void TestFormMain::labelsFollowTheirText() {
    Shown shown;
    Form_Main& form = shown.form;
    QLabel* status = form.Label1(0);
    QLabel* link = form.Label1(1);
    link->setText(QStringLiteral("有新版本"));
    status->setText(QStringLiteral("就绪"));
    QApplication::processEvents();
    const int narrow = link->width();
    QCOMPARE(link->geometry().right() + 1, 535); // right edge pinned at 8025 twips
    QCOMPARE(status->x(), 6);                    // left edge pinned at 90 twips
    link->setText(QStringLiteral("发现新版本 V2.0，点击这里下载"));
    status->setText(QStringLiteral("正在更新 www.example.com ......"));
    QApplication::processEvents();
    QVERIFY(link->width() > narrow);
    QCOMPARE(link->geometry().right() + 1, 535);
    QCOMPARE(status->x(), 6);
    QVERIFY(status->width() >= status->sizeHint().width());
    QVERIFY(form.CtlFrame1()->rect().contains(link->geometry()));

    form.CurrentPanel = 3; // the busy label grows and shrinks from a fixed corner
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

void TestFormMain::defaultColumnsShowNineDigits() {
    Shown shown;
    Form_Main& form = shown.form;
    form.CurrentPanel = 0;
    form.ShowPanel();
    QTreeWidget* list = form.ListView1(0);
    list->setHeaderLabels({"  域名", "百度", "谷歌", "搜狗", "雅虎", "搜搜", "有道", "必应"});
    list->header()->resizeSection(0, TwipsToPixels(2049));
    auto* item = new QTreeWidgetItem(QStringList{QStringLiteral("s.com")});
    for (int c = 1; c <= 7; ++c)
        item->setText(c, QStringLiteral("123456789"));
    list->addTopLevelItem(item);
    QApplication::processEvents();
    QStyleOptionViewItem option;
    option.initFrom(list->viewport());
    option.font = list->font();
    for (int c = 1; c <= 7; ++c) {
        const QModelIndex index = list->model()->index(0, c);
        QVERIFY(list->itemDelegate()->sizeHint(option, index).width() <= list->columnWidth(c));
    }
    // The window's size is fixed: the list scrolls sideways to every column.
    QVERIFY(list->columnWidth(0) + list->columnWidth(1) < list->viewport()->width());
    QVERIFY(list->horizontalScrollBar()->maximum() > 0);
}

QTEST_MAIN(TestFormMain)
#include "tst_form_main.moc"

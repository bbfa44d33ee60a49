#include "controls/form_main.h"

#include "controls/ctlbutton.h"
#include "controls/ctlframe.h"
#include "controls/pinlayout.h"
#include "net/webpage.h"
#include "storage/texthelpers.h"

#include <QAction>
#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QTimer>
#include <QTreeWidget>

#include <array>

namespace {

constexpr quint32 kOutline = 0x00B9AE9E;
constexpr quint32 kPanelBody = 0x8000000E;
constexpr quint32 kHeadingText = 0x8000;
constexpr quint32 kRule = 0x00A0A0A0;
constexpr quint32 kLinkBlue = 0x00FF0000;
const QRect kContentTwips(1680, 120, 6735, 5235);
// Room beyond the digits, so that a count does not touch the next column's text.
constexpr int kNumberSlackPixels = 6;

QString indexed(const char* name, int i) {
    return QStringLiteral("%1(%2)").arg(name).arg(i);
}

void place(QWidget* widget, int left, int top, int width, int height) {
    widget->setGeometry(TwipsToPixels(left), TwipsToPixels(top), TwipsToPixels(width),
                        TwipsToPixels(height));
}

void setColour(QWidget* widget, QPalette::ColorRole role, quint32 ole) {
    QPalette palette = widget->palette();
    palette.setColor(role, OleColor(ole));
    widget->setPalette(palette);
}

// A one-pixel horizontal line from (left, y) to (right, y).
QFrame* makeRule(QWidget* parent, const QString& name, int left, int right, int y, quint32 ole) {
    auto* rule = new QFrame(parent);
    rule->setObjectName(name);
    rule->setGeometry(TwipsToPixels(left), TwipsToPixels(y), TwipsToPixels(right - left), 1);
    rule->setAutoFillBackground(true);
    setColour(rule, QPalette::Window, ole);
    return rule;
}

// The outline drawn around a borderless text box.
QFrame* makeShape(QWidget* parent, int i, int left, int top, int width, int height) {
    auto* shape = new QFrame(parent);
    shape->setObjectName(indexed("Shape1", i));
    shape->setFrameStyle(QFrame::Box | QFrame::Plain);
    shape->setLineWidth(1);
    setColour(shape, QPalette::WindowText, kOutline);
    place(shape, left, top, width, height);
    return shape;
}

CtlFrame* makeFrame(QWidget* parent, const QString& name, quint32 outline, quint32 body) {
    auto* frame = new CtlFrame(parent);
    frame->setObjectName(name);
    frame->setCaption(QString());
    frame->setBorderColor(outline);
    frame->setBackColorMain(body);
    frame->setBackColorTop(body);
    return frame;
}

CtlButton* makeButton(QWidget* parent, const QString& name, const QString& caption,
                      const std::array<QPixmap, 4>& pictures) {
    auto* button = new CtlButton(parent);
    button->setObjectName(name);
    button->setFont(ProgramFont(9));
    button->setCaption(caption);
    button->setPictrueNormal(pictures[0]);
    button->setPictureOver(pictures[1]);
    button->setPictureClick(pictures[2]);
    button->setPictureDisable(pictures[3]);
    return button;
}

QLabel* makeLabel(QWidget* parent, const QString& name, const QString& text) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    // Labels show site names and server texts; markup there must not load or draw anything.
    label->setTextFormat(Qt::PlainText);
    return label;
}

PinLayout* pinsOf(QWidget* container) {
    if (auto* pins = dynamic_cast<PinLayout*>(container->layout()))
        return pins;
    return new PinLayout(container);
}

QTreeWidget* makeList(QWidget* parent, int i) {
    auto* list = new QTreeWidget(parent);
    list->setObjectName(indexed("ListView1", i));
    list->setRootIsDecorated(false);
    list->setUniformRowHeights(true);
    list->setItemsExpandable(false);
    list->setAllColumnsShowFocus(true);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setColumnCount(0);
    list->header()->setVisible(true);
    list->header()->setStretchLastSection(false);
    list->header()->setSectionsMovable(false);
    place(list, 9, 9, 6711, 5211);
    // Columns added without a width fit a nine-digit count with the item's text margins; the
    // list scrolls sideways when they do not all fit.
    const int margins =
        2 * (list->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list) + 1);
    const int nineDigits = list->fontMetrics().horizontalAdvance(QStringLiteral("000000000"));
    list->header()->setMinimumSectionSize(qMin(list->header()->minimumSectionSize(), 20));
    list->header()->setDefaultSectionSize(nineDigits + margins + kNumberSlackPixels);
    return list;
}

} // namespace

struct Form_Main::Controls {
    CtlFrame* frameBox = nullptr;
    std::array<CtlFrame*, 7> frame{};
    CtlFrame* ctlFrame1 = nullptr;
    std::array<QTimer*, 5> timer1{};
    std::array<QLabel*, 4> picBox{};
    QIcon imageList1;
    WebPage* web1 = nullptr;
    std::array<CtlButton*, 7> cmdMenu1{};
    std::array<CtlButton*, 5> cmdMenu2{};
    std::array<QTreeWidget*, 3> listView1{};
    std::array<QLabel*, 2> label1{};

    std::array<QFrame*, 7> shape1{};
    std::array<QLineEdit*, 3> textInPut{};
    std::array<CtlButton*, 3> cmdSend{};
    std::array<QFrame*, 3> inputRule{}; // Line3, Line4, Line5
    std::array<QLabel*, 2> busyLabel{}; // LabYM, LabPM
    std::array<CtlFrame*, 2> resultFrame{};
    std::array<QPlainTextEdit*, 2> resultText{};
    std::array<QLabel*, 4> labMD5{};
    std::array<QLineEdit*, 4> txtMD5{};

    std::array<QLabel*, 5> labSet{};
    std::array<QFrame*, 5> linSet{};
    QPlainTextEdit* textSet = nullptr;
    std::array<QCheckBox*, 4> checkSet{};
    std::array<QPushButton*, 2> cmdSet{};

    QMenu* menuFile1 = nullptr;
    QAction* menuShowMore = nullptr;
    QAction* menuUpdate = nullptr;
    QMenu* menuFile2 = nullptr;
    QAction* menuShow = nullptr;
    QAction* menuQuit = nullptr;

    std::array<QPixmap, 4> pictures() const {
        return {picBox[0]->pixmap(), picBox[1]->pixmap(), picBox[2]->pixmap(), picBox[3]->pixmap()};
    }
};

namespace {

template <typename T, std::size_t N> T* item(const std::array<T*, N>& controls, int i) {
    return i >= 0 && std::size_t(i) < N ? controls[std::size_t(i)] : nullptr;
}

} // namespace

Form_Main::Form_Main(QWidget* parent) : QWidget(parent), d(new Controls) {
    setObjectName(QStringLiteral("Form_Main"));
    setFixedSize(TwipsToPixels(8550), TwipsToPixels(5970));
    setFont(ProgramFont(9.75));
    setAutoFillBackground(true);
    setColour(this, QPalette::Window, 0x00F4F4F4);

    d->imageList1.addFile(QStringLiteral(":/valdane/valdane_16.png"), QSize(16, 16));
    d->imageList1.addFile(QStringLiteral(":/valdane/valdane_32.png"), QSize(32, 32));
    setWindowIcon(d->imageList1);

    // Picture stores: kept below the visible area and never shown.
    for (int i = 0; i < 4; ++i) {
        auto* store = new QLabel(this);
        store->setObjectName(indexed("PicBox", i));
        store->setPixmap(CtlButton::BuiltInPicture(i));
        store->setGeometry(TwipsToPixels(120 + 1560 * i), TwipsToPixels(6000), 99, 25);
        store->hide();
        d->picBox[std::size_t(i)] = store;
    }
    const std::array<QPixmap, 4> pictures = d->pictures();

    static constexpr int intervals[5] = {1000, 800, 3000, 60000, 60000};
    for (int i = 0; i < 5; ++i) {
        auto* timer = new QTimer(this);
        timer->setObjectName(indexed("Timer1", i));
        timer->setInterval(intervals[i]);
        d->timer1[std::size_t(i)] = timer;
    }

    d->web1 = new WebPage(this);
    d->web1->setObjectName(QStringLiteral("WEB1"));

    // Navigation column.
    d->frameBox = makeFrame(this, QStringLiteral("FrameBox"), kOutline, kPanelBody);
    place(d->frameBox, 120, 120, 1455, 5235);
    struct NavButton {
        bool panel;
        int index;
        const char* caption;
    };
    static const NavButton column[12] = {
        {true, 0, "收录查询"},  {true, 1, "反链查询"},  {true, 2, "质量评定"},
        {true, 3, "域名信息"},  {true, 4, "网站排名"},  {true, 5, "MD5加密"},
        {false, 0, "查看报告"}, {false, 1, "数据更新"}, {false, 2, "网 页 版"},
        {true, 6, "系统设置"},  {false, 3, "作者网站"}, {false, 4, "关闭程序"},
    };
    for (int row = 0; row < 12; ++row) {
        const NavButton& nav = column[row];
        CtlButton* button =
            makeButton(d->frameBox, indexed(nav.panel ? "CmdMenu1" : "CmdMenu2", nav.index),
                       QString::fromUtf8(nav.caption), pictures);
        place(button, 0, 435 * row, 1455, 450);
        if (nav.panel)
            d->cmdMenu1[std::size_t(nav.index)] = button;
        else
            d->cmdMenu2[std::size_t(nav.index)] = button;
    }

    // The seven panels, all at the content rectangle until the first selection hides six.
    for (int i = 0; i < 7; ++i) {
        CtlFrame* panel = makeFrame(this, indexed("Frame", i), kOutline, kPanelBody);
        place(panel, kContentTwips.x(), kContentTwips.y(), kContentTwips.width(),
              kContentTwips.height());
        d->frame[std::size_t(i)] = panel;
    }
    for (int i = 0; i < 3; ++i)
        d->listView1[std::size_t(i)] = makeList(d->frame[std::size_t(i)], i);

    // Panels 3 to 5: an input row, then the result box or the digest rows.
    static const char* const hints[3] = {"输入域名查询注册信息", "输入域名查询网站排名情况",
                                         "输入要加密的字符串"};
    static const char* const inputRules[3] = {"Line3", "Line4", "Line5"};
    for (int slot = 0; slot < 3; ++slot) {
        const auto s = std::size_t(slot);
        CtlFrame* panel = d->frame[s + 3];
        d->shape1[s] = makeShape(panel, slot, 600, 240, 4095, 450);
        auto* input = new QLineEdit(QString::fromUtf8(hints[slot]), panel);
        input->setObjectName(indexed("TextInPut", slot));
        input->setFrame(false);
        input->setFont(ProgramFont(11.25));
        place(input, 648, 360, 4029, 300);
        d->textInPut[s] = input;
        d->cmdSend[s] =
            makeButton(panel, indexed("CmdSend", slot), QStringLiteral("提交查询"), pictures);
        place(d->cmdSend[s], 4680, 240, 1455, 450);
        d->inputRule[s] =
            makeRule(panel, QString::fromLatin1(inputRules[slot]), 0, 6735, 882, kOutline);
    }
    static const char* const busyNames[2] = {"LabYM", "LabPM"};
    static const char* const frameNames[2] = {"FrameYM", "FramePM"};
    static const char* const textNames[2] = {"TextYM", "TextPM"};
    for (int slot = 0; slot < 2; ++slot) {
        const auto s = std::size_t(slot);
        CtlFrame* panel = d->frame[s + 3];
        QLabel* busy =
            makeLabel(panel, QString::fromLatin1(busyNames[slot]), QStringLiteral("正在查询"));
        pinsOf(panel)->pin(busy, QPoint(600, 1200));
        busy->hide();
        d->busyLabel[s] = busy;
        CtlFrame* box =
            makeFrame(panel, QString::fromLatin1(frameNames[slot]), kOutline, kPanelBody);
        place(box, 240, 1080, 6255, 3975);
        box->hide();
        d->resultFrame[s] = box;
        auto* text = new QPlainTextEdit(box);
        text->setObjectName(QString::fromLatin1(textNames[slot]));
        text->setReadOnly(true);
        text->setFrameShape(QFrame::NoFrame);
        text->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        place(text, 9, 9, 6225, 3945);
        d->resultText[s] = text;
    }
    static const char* const digestCaptions[4] = {"16位(小)：", "16位(大)：", "32位(小)：",
                                                  "32位(大)："};
    CtlFrame* digestPanel = d->frame[5];
    for (int i = 0; i < 4; ++i) {
        const auto s = std::size_t(i);
        const int offset = 800 * i;
        QLabel* caption =
            makeLabel(digestPanel, indexed("LabMD5", i), QString::fromUtf8(digestCaptions[i]));
        caption->setFont(ProgramFont(11.25));
        pinsOf(digestPanel)->pin(caption, QPoint(360, 1560 + offset));
        d->labMD5[s] = caption;
        d->shape1[s + 3] = makeShape(digestPanel, 3 + i, 1560, 1440 + offset, 4635, 405);
        auto* output = new QLineEdit(digestPanel);
        output->setObjectName(indexed("TxtMD5", i));
        output->setReadOnly(true);
        output->setFrame(false);
        output->setFont(ProgramFont(11.25));
        place(output, 1599, 1530 + offset, 4575, 300);
        d->txtMD5[s] = output;
    }

    // Panel 6: settings. Each heading is created after its rule so that it covers the rule's
    // middle and the rule shows on both sides.
    CtlFrame* settings = d->frame[6];
    PinLayout* settingPins = pinsOf(settings);
    auto heading = [&](int i, int y, const char* text) {
        QLabel* label = makeLabel(settings, indexed("LabSet", i), QString::fromUtf8(text));
        label->setAutoFillBackground(true);
        setColour(label, QPalette::Window, kPanelBody);
        setColour(label, QPalette::WindowText, kHeadingText);
        settingPins->pin(label, QPoint(360, y));
        d->labSet[std::size_t(i)] = label;
    };
    auto rule = [&](int i, int y, quint32 colour) {
        d->linSet[std::size_t(i)] = makeRule(settings, indexed("LinSet", i), 120, 6480, y, colour);
    };
    auto check = [&](int i, int y, int width, const char* text) {
        auto* box = new QCheckBox(QString::fromUtf8(text), settings);
        box->setObjectName(indexed("CheckSet", i));
        place(box, 360, y, width, 255);
        d->checkSet[std::size_t(i)] = box;
    };
    rule(0, 330, kRule);
    heading(0, 240, " 地址配置：");
    QLabel* siteHint = makeLabel(settings, indexed("LabSet", 1),
                                 QStringLiteral("输入URL地址，多个网址用“；”分割"));
    settingPins->pin(siteHint, QPoint(360, 540));
    d->labSet[1] = siteHint;
    d->textSet = new QPlainTextEdit(settings);
    d->textSet->setObjectName(QStringLiteral("TextSet"));
    d->textSet->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    place(d->textSet, 360, 840, 5775, 765);
    rule(1, 1890, kRule);
    heading(2, 1800, " 软件更新：");
    check(0, 2160, 2655, "是否开启自动检查最新版本");
    rule(2, 2610, kRule);
    heading(4, 2520, " 数据更新：");
    check(1, 2880, 2775, "是否启用自动获取最新数据");
    check(2, 3240, 2775, "更新数据后是否记录到文件");
    rule(4, 3690, kRule);
    heading(3, 3600, " 自动启动：");
    check(3, 3960, 2775, "是否开机后自动运行本程序");
    rule(3, 4440, kOutline);
    static const char* const settingButtons[2] = {"确定", "放弃"};
    for (int i = 0; i < 2; ++i) {
        auto* button = new QPushButton(QString::fromUtf8(settingButtons[i]), settings);
        button->setObjectName(indexed("CMDSet", i));
        place(button, 3720 + 1440 * i, 4650, 1215, 375);
        d->cmdSet[std::size_t(i)] = button;
    }

    // Status bar: the status line on the left, the link line growing leftwards from its right
    // edge.
    d->ctlFrame1 = makeFrame(this, QStringLiteral("CtlFrame1"), 0x80000011, 0x8000000F);
    place(d->ctlFrame1, 120, 5460, 8295, 375);
    d->label1[0] = makeLabel(d->ctlFrame1, indexed("Label1", 0), QString());
    d->label1[1] = makeLabel(d->ctlFrame1, indexed("Label1", 1), QString());
    d->label1[1]->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    setColour(d->label1[1], QPalette::WindowText, kLinkBlue);
    PinLayout* statusPins = pinsOf(d->ctlFrame1);
    statusPins->pin(d->label1[0], QPoint(90, 90));
    statusPins->pin(d->label1[1], QPoint(8025, 90), PinLayout::Anchor::Right);

    // Pop-up menus; the window has no menu bar.
    d->menuFile1 = new QMenu(QStringLiteral("菜单一"), this);
    d->menuFile1->setObjectName(QStringLiteral("MenuFile1"));
    d->menuShowMore = d->menuFile1->addAction(QStringLiteral("查看详情"));
    d->menuShowMore->setObjectName(QStringLiteral("MenuShowMore"));
    d->menuUpdate = d->menuFile1->addAction(QStringLiteral("数据更新"));
    d->menuUpdate->setObjectName(QStringLiteral("MenuUpdate"));
    d->menuFile2 = new QMenu(QStringLiteral("菜单二"), this);
    d->menuFile2->setObjectName(QStringLiteral("MenuFile2"));
    d->menuShow = d->menuFile2->addAction(QStringLiteral("显示界面"));
    d->menuShow->setObjectName(QStringLiteral("MenuShow"));
    d->menuQuit = d->menuFile2->addAction(QStringLiteral("退出系统"));
    d->menuQuit->setObjectName(QStringLiteral("MenuQuit"));
}

Form_Main::~Form_Main() {
    delete d;
}

void Form_Main::ShowPanel() {
    // An index without a panel would leave the content area empty; keep what is shown.
    if (!item(d->frame, CurrentPanel))
        return;
    const std::array<QPixmap, 4> pictures = d->pictures();
    for (int i = 0; i < 7; ++i) {
        CtlButton* button = d->cmdMenu1[std::size_t(i)];
        button->setPictrueNormal(pictures[0]);
        button->setPictureOver(pictures[1]);
        button->setPictureClick(pictures[2]);
        button->setPictureDisable(pictures[3]);
        d->frame[std::size_t(i)]->hide();
        PumpEvents();
    }
    // Read after the loop: a click handled while pumping may have chosen another panel.
    CtlFrame* panel = item(d->frame, CurrentPanel);
    if (!panel)
        return;
    place(panel, kContentTwips.x(), kContentTwips.y(), kContentTwips.width(),
          kContentTwips.height());
    panel->show();
    CtlButton* selected = d->cmdMenu1[std::size_t(CurrentPanel)];
    selected->setPictrueNormal(pictures[2]);
    selected->setPictureOver(pictures[2]);
}

void Form_Main::Restore() {
    setWindowState(windowState() & ~Qt::WindowMinimized);
    showNormal();
    raise();
    activateWindow();
}

CtlFrame* Form_Main::FrameBox() const {
    return d->frameBox;
}
CtlFrame* Form_Main::Frame(int i) const {
    return item(d->frame, i);
}
CtlFrame* Form_Main::CtlFrame1() const {
    return d->ctlFrame1;
}
QTimer* Form_Main::Timer1(int i) const {
    return item(d->timer1, i);
}
QLabel* Form_Main::PicBox(int i) const {
    return item(d->picBox, i);
}
QIcon Form_Main::ImageList1() const {
    return d->imageList1;
}
WebPage* Form_Main::WEB1() const {
    return d->web1;
}
CtlButton* Form_Main::CmdMenu1(int i) const {
    return item(d->cmdMenu1, i);
}
CtlButton* Form_Main::CmdMenu2(int i) const {
    return item(d->cmdMenu2, i);
}
QTreeWidget* Form_Main::ListView1(int i) const {
    return item(d->listView1, i);
}
QLabel* Form_Main::Label1(int i) const {
    return item(d->label1, i);
}

QFrame* Form_Main::Shape1(int i) const {
    return item(d->shape1, i);
}
QLineEdit* Form_Main::TextInPut(int i) const {
    return item(d->textInPut, i);
}
CtlButton* Form_Main::CmdSend(int i) const {
    return item(d->cmdSend, i);
}
QFrame* Form_Main::Line3() const {
    return d->inputRule[0];
}
QFrame* Form_Main::Line4() const {
    return d->inputRule[1];
}
QFrame* Form_Main::Line5() const {
    return d->inputRule[2];
}
QLabel* Form_Main::LabYM() const {
    return d->busyLabel[0];
}
QLabel* Form_Main::LabPM() const {
    return d->busyLabel[1];
}
CtlFrame* Form_Main::FrameYM() const {
    return d->resultFrame[0];
}
CtlFrame* Form_Main::FramePM() const {
    return d->resultFrame[1];
}
QPlainTextEdit* Form_Main::TextYM() const {
    return d->resultText[0];
}
QPlainTextEdit* Form_Main::TextPM() const {
    return d->resultText[1];
}
QLabel* Form_Main::LabMD5(int i) const {
    return item(d->labMD5, i);
}
QLineEdit* Form_Main::TxtMD5(int i) const {
    return item(d->txtMD5, i);
}

QLabel* Form_Main::LabSet(int i) const {
    return item(d->labSet, i);
}
QFrame* Form_Main::LinSet(int i) const {
    return item(d->linSet, i);
}
QPlainTextEdit* Form_Main::TextSet() const {
    return d->textSet;
}
QCheckBox* Form_Main::CheckSet(int i) const {
    return item(d->checkSet, i);
}
QPushButton* Form_Main::CMDSet(int i) const {
    return item(d->cmdSet, i);
}

QMenu* Form_Main::MenuFile1() const {
    return d->menuFile1;
}
QAction* Form_Main::MenuShowMore() const {
    return d->menuShowMore;
}
QAction* Form_Main::MenuUpdate() const {
    return d->menuUpdate;
}
QMenu* Form_Main::MenuFile2() const {
    return d->menuFile2;
}
QAction* Form_Main::MenuShow() const {
    return d->menuShow;
}
QAction* Form_Main::MenuQuit() const {
    return d->menuQuit;
}

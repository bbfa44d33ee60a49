#include "controls/ctlframe.h"

#include "controls/form_main.h"
#include "controls/propertybag.h"

#include <QApplication>
#include <QFontMetricsF>
#include <QPainter>

#include <cmath>

namespace {

const QString kDefaultCaption = QStringLiteral("Frame1");
constexpr int kDefaultBorderStyle = 1;
constexpr quint32 kDefaultBorderColor = 0x80000011; // grey text
constexpr quint32 kDefaultForeColor = 0x8000;       // dark green
constexpr quint32 kDefaultBackColor = 0x8000000F;   // button face
constexpr int kMinWidth = 720;
constexpr int kMinHeight = 375;
constexpr int kCaptionLeft = 180;
constexpr int kCaptionTop = 45;

QFont ambientFont(const QWidget* control) {
    return control->parentWidget() ? control->parentWidget()->font() : QApplication::font();
}

} // namespace

CtlFrame::CtlFrame(QWidget* parent)
    : QWidget(parent), m_caption(kDefaultCaption), m_font(ProgramFont(9.75)) {
    setMinimumSize(TwipsToPixels(kMinWidth), TwipsToPixels(kMinHeight));
    resize(TwipsToPixels(3045), TwipsToPixels(1965));
    LayoutFrame();
}

QString CtlFrame::Caption() const {
    return m_caption;
}

void CtlFrame::setCaption(const QString& caption) {
    m_caption = caption;
    LayoutFrame();
}

int CtlFrame::BorderStyle() const {
    return m_borderStyle;
}

void CtlFrame::setBorderStyle(int style) {
    m_borderStyle = style;
    LayoutFrame();
}

quint32 CtlFrame::BorderColor() const {
    return m_borderColor;
}

void CtlFrame::setBorderColor(quint32 oleColor) {
    m_borderColor = oleColor;
    LayoutFrame();
}

QFont CtlFrame::Font() const {
    return m_font;
}

void CtlFrame::setFont(const QFont& font) {
    m_font = font;
    LayoutFrame();
}

quint32 CtlFrame::ForeColor() const {
    return m_foreColor;
}

void CtlFrame::setForeColor(quint32 oleColor) {
    m_foreColor = oleColor;
    update();
}

quint32 CtlFrame::BackColorMain() const {
    return m_backColorMain;
}

void CtlFrame::setBackColorMain(quint32 oleColor) {
    m_backColorMain = oleColor;
    update();
}

quint32 CtlFrame::BackColorTop() const {
    return m_backColorTop;
}

void CtlFrame::setBackColorTop(quint32 oleColor) {
    m_backColorTop = oleColor;
    update();
}

void CtlFrame::InitProperties() {
    m_borderStyle = kDefaultBorderStyle;
    m_borderColor = kDefaultBorderColor;
}

void CtlFrame::ReadProperties(const PropertyBag& store) {
    if (const auto caption = store.Read<QString>(QStringLiteral("Caption"), kDefaultCaption))
        m_caption = *caption;
    if (const auto style = store.Read<int>(QStringLiteral("BorderStyle"), kDefaultBorderStyle))
        m_borderStyle = *style;
    if (const auto color = store.Read<quint32>(QStringLiteral("BorderColor"), kDefaultBorderColor))
        m_borderColor = *color;
    if (const auto font = store.Read<QFont>(QStringLiteral("Font"), ambientFont(this)))
        m_font = *font;
    if (const auto color = store.Read<quint32>(QStringLiteral("ForeColor"), kDefaultForeColor))
        m_foreColor = *color;
    if (const auto color = store.Read<quint32>(QStringLiteral("BackColorMain"), kDefaultBackColor))
        m_backColorMain = *color;
    if (const auto color = store.Read<quint32>(QStringLiteral("BackColorTop"), kDefaultBackColor))
        m_backColorTop = *color;
}

void CtlFrame::WriteProperties(PropertyBag& store) const {
    store.WriteProperty(QStringLiteral("Caption"), m_caption, kDefaultCaption);
    store.WriteProperty(QStringLiteral("BorderStyle"), m_borderStyle, kDefaultBorderStyle);
    store.WriteProperty(QStringLiteral("BorderColor"), m_borderColor, kDefaultBorderColor);
    store.WriteProperty(QStringLiteral("Font"), m_font, ambientFont(this));
    store.WriteProperty(QStringLiteral("ForeColor"), m_foreColor, kDefaultForeColor);
    store.WriteProperty(QStringLiteral("BackColorMain"), m_backColorMain, kDefaultBackColor);
    store.WriteProperty(QStringLiteral("BackColorTop"), m_backColorTop, kDefaultBackColor);
}

CtlFrame::Line CtlFrame::lineTwips(int i) const {
    return i >= 0 && i < 5 ? m_lines[i] : Line{};
}

int CtlFrame::topEdgeTwips() const {
    return m_top;
}

QSizeF CtlFrame::captionSizeTwips() const {
    const QFontMetricsF metrics(m_font);
    return {PixelsToTwips(std::ceil(metrics.horizontalAdvance(m_caption))),
            PixelsToTwips(std::ceil(metrics.height()))};
}

void CtlFrame::resizeEvent(QResizeEvent*) {
    // The minimum size itself is kept by setMinimumSize, so the layout always sees at least it.
    LayoutFrame();
}

void CtlFrame::LayoutFrame() {
    const int w = int(PixelsToTwips(width()));
    const int h = int(PixelsToTwips(height()));
    const bool visible = m_borderStyle == 1;
    int top = 0;
    int gapEnd = 105;
    if (!m_caption.isEmpty()) {
        const QSizeF caption = captionSizeTwips();
        gapEnd = int(caption.width()) + 120 + 75;
        // Half the caption height, ties to the even neighbour.
        top = int(std::nearbyint(caption.height() / 2.0)) + 45;
    }
    m_top = top;
    m_lines[0] = {-9, top, 120, top, visible};
    m_lines[1] = {gapEnd, top, w + 9, top, visible};
    m_lines[2] = {w - 9, top - 9, w - 9, h, visible};
    m_lines[3] = {-9, h - 9, w + 9, h - 9, visible};
    m_lines[4] = {0, top, 0, h + 9, visible};
    update();
}

void CtlFrame::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), OleColor(m_backColorMain));
    if (!m_caption.isEmpty())
        painter.fillRect(QRect(0, 0, width(), TwipsToPixels(m_top)), OleColor(m_backColorTop));
    painter.setPen(QPen(OleColor(m_borderColor), 0));
    for (const Line& line : m_lines) {
        if (line.visible)
            painter.drawLine(TwipsToPixels(line.x1), TwipsToPixels(line.y1), TwipsToPixels(line.x2),
                             TwipsToPixels(line.y2));
    }
    if (!m_caption.isEmpty()) {
        painter.setFont(m_font);
        painter.setPen(OleColor(m_foreColor));
        const QFontMetricsF metrics(m_font);
        painter.drawText(
            QPointF(TwipsToPixels(kCaptionLeft), TwipsToPixels(kCaptionTop) + metrics.ascent()),
            m_caption);
    }
}

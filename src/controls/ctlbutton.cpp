#include "controls/ctlbutton.h"

#include "controls/form_main.h"
#include "controls/propertybag.h"

#include <QApplication>
#include <QFontMetricsF>
#include <QMouseEvent>
#include <QPainter>
#include <QResizeEvent>

namespace {

constexpr quint32 kDefaultForeColor = 0x80000008; // window text
constexpr quint32 kFaceBackground = 0x80000005;   // window background
const QString kDefaultCaption = QStringLiteral("Cmd1");

} // namespace

QPixmap CtlButton::BuiltInPicture(int state) {
    static const char* const names[4] = {":/valdane/button_normal.png", ":/valdane/button_over.png",
                                         ":/valdane/button_pressed.png",
                                         ":/valdane/button_disabled.png"};
    if (state < 0 || state > 3)
        return {};
    return QPixmap(QString::fromLatin1(names[state]));
}

CtlButton::CtlButton(QWidget* parent) : QWidget(parent), m_font(ProgramFont(9)) {
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    QWidget::setFont(m_font);
    m_caption = kDefaultCaption;
    for (int state = 0; state < 4; ++state)
        m_pictures[state] = BuiltInPicture(state);
    resize(TwipsToPixels(1455), TwipsToPixels(450));
}

QFont CtlButton::ambientFont() const {
    return parentWidget() ? parentWidget()->font() : QApplication::font();
}

int CtlButton::BorderStyle() const {
    return m_borderStyle;
}

void CtlButton::setBorderStyle(int style) {
    // The face knows only "none" and "single line"; any other value is refused.
    if (style == 0 || style == 1)
        m_borderStyle = style;
    DrawButton(0);
}

QFont CtlButton::Font() const {
    return m_font;
}

void CtlButton::setFont(const QFont& font) {
    m_font = font;
    QWidget::setFont(font);
    DrawButton(0);
}

quint32 CtlButton::ForeColor() const {
    return m_foreColor;
}

void CtlButton::setForeColor(quint32 oleColor) {
    m_foreColor = oleColor;
    DrawButton(0);
}

QString CtlButton::Caption() const {
    return m_caption;
}

void CtlButton::setCaption(const QString& caption) {
    m_caption = caption;
    DrawButton(0);
}

bool CtlButton::Enable() const {
    return m_enable;
}

void CtlButton::setEnable(bool enable) {
    m_enable = enable;
    if (!enable) {
        // A disabled face ignores the pointer, so it must not keep the pointer captured either:
        // every other control of the window would stop receiving mouse input.
        releaseCapture();
        m_pressedInside = false;
    }
    DrawButton(enable ? 0 : 3);
}

QPixmap CtlButton::PictrueNormal() const {
    return m_pictures[0];
}

void CtlButton::setPictrueNormal(const QPixmap& picture) {
    m_pictures[0] = picture;
    DrawButton(0);
}

QPixmap CtlButton::PictureOver() const {
    return m_pictures[1];
}

void CtlButton::setPictureOver(const QPixmap& picture) {
    m_pictures[1] = picture;
}

QPixmap CtlButton::PictureClick() const {
    return m_pictures[2];
}

void CtlButton::setPictureClick(const QPixmap& picture) {
    m_pictures[2] = picture;
}

QPixmap CtlButton::PictureDisable() const {
    return m_pictures[3];
}

void CtlButton::setPictureDisable(const QPixmap& picture) {
    m_pictures[3] = picture;
}

void CtlButton::InitProperties() {
    m_caption = kDefaultCaption;
    m_enable = true;
}

void CtlButton::ReadProperties(const PropertyBag& store) {
    if (const auto style = store.Read<int>(QStringLiteral("BorderStyle"), 0);
        style && (*style == 0 || *style == 1))
        m_borderStyle = *style;
    if (const auto font = store.Read<QFont>(QStringLiteral("Font"), ambientFont())) {
        m_font = *font;
        QWidget::setFont(m_font);
    }
    if (const auto color = store.Read<quint32>(QStringLiteral("ForeColor"), kDefaultForeColor))
        m_foreColor = *color;
    if (const auto caption = store.Read<QString>(QStringLiteral("Caption"), kDefaultCaption))
        m_caption = *caption;
    if (const auto enable = store.Read<bool>(QStringLiteral("Enable"), true))
        m_enable = *enable;
    static const char* const pictureNames[4] = {"PictrueNormal", "PictureOver", "PictureClick",
                                                "PictureDisable"};
    for (int state = 0; state < 4; ++state) {
        if (const auto picture =
                store.Read<QPixmap>(QString::fromLatin1(pictureNames[state]), QPixmap()))
            m_pictures[state] = *picture;
    }
}

void CtlButton::WriteProperties(PropertyBag& store) const {
    store.WriteProperty(QStringLiteral("BorderStyle"), m_borderStyle, 0);
    store.WriteProperty(QStringLiteral("Font"), m_font, ambientFont());
    store.WriteProperty(QStringLiteral("ForeColor"), m_foreColor, kDefaultForeColor);
    store.WriteProperty(QStringLiteral("Caption"), m_caption, kDefaultCaption);
    store.WriteProperty(QStringLiteral("Enable"), m_enable, true);
    store.WriteProperty(QStringLiteral("PictrueNormal"), m_pictures[0]);
    store.WriteProperty(QStringLiteral("PictureOver"), m_pictures[1]);
    store.WriteProperty(QStringLiteral("PictureClick"), m_pictures[2]);
    store.WriteProperty(QStringLiteral("PictureDisable"), m_pictures[3]);
}

int CtlButton::paintedState() const {
    return m_state;
}

void CtlButton::DrawButton(int state) {
    m_state = state;
    update();
}

void CtlButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QRect face = rect();
    if (m_borderStyle == 1) {
        painter.setPen(OleColor(0x80000010)); // button shadow
        painter.drawRect(face.adjusted(0, 0, -1, -1));
        face.adjust(1, 1, -1, -1);
    }
    painter.fillRect(face, OleColor(kFaceBackground));
    const QPixmap& picture = m_pictures[m_state];
    if (!picture.isNull())
        painter.drawPixmap(face, picture, picture.rect());
    if (m_caption.isEmpty())
        return;
    painter.setFont(m_font);
    painter.setPen(OleColor(m_foreColor));
    const QFontMetricsF metrics(m_font);
    // Single precision on purpose: the halves keep their fractions.
    const float x = (float(face.width()) - float(metrics.horizontalAdvance(m_caption))) / 2.0f;
    const float y = (float(face.height()) - float(metrics.height())) / 2.0f;
    painter.setClipRect(face);
    painter.drawText(QPointF(face.left() + x, face.top() + y + metrics.ascent()), m_caption);
}

void CtlButton::resizeEvent(QResizeEvent* event) {
    // Qt hands a size given while hidden over only when the button is first shown (with no old
    // size), long after the window's load step may have disabled it; that late notice must not
    // paint a disabled button as enabled. A real resize paints the normal face.
    if (event->oldSize().isValid())
        DrawButton(0);
}

bool CtlButton::isInside(const QPointF& pos) const {
    // Both bounds inclusive: the pixel just past the right or bottom edge still counts.
    const double x = PixelsToTwips(pos.x());
    const double y = PixelsToTwips(pos.y());
    return x >= 0 && x <= PixelsToTwips(width()) && y >= 0 && y <= PixelsToTwips(height());
}

void CtlButton::releaseCapture() {
    if (QWidget::mouseGrabber() == this)
        releaseMouse();
}

void CtlButton::mouseMoveEvent(QMouseEvent* event) {
    if (!m_enable)
        return;
    if (isInside(event->position())) {
        DrawButton(1);
        // Capturing makes the move that leaves the face arrive here, which paints it normal.
        if (QWidget::mouseGrabber() != this && isVisible())
            grabMouse();
        if (event->buttons() == Qt::LeftButton)
            DrawButton(2);
    } else {
        DrawButton(0);
        releaseCapture();
    }
}

void CtlButton::mousePressEvent(QMouseEvent* event) {
    if (!m_enable)
        return;
    if (event->button() == Qt::LeftButton) {
        m_pressedInside = true;
        DrawButton(2);
    }
}

void CtlButton::mouseReleaseEvent(QMouseEvent* event) {
    if (!m_enable || event->button() != Qt::LeftButton)
        return;
    const bool click = m_pressedInside && isInside(event->position());
    m_pressedInside = false;
    // Releasing the button ends the capture; the next move inside takes it again. A Click
    // handler that opens a modal dialog would otherwise find the pointer still held here.
    releaseCapture();
    if (click)
        emit Click();
}

void CtlButton::hideEvent(QHideEvent*) {
    releaseCapture();
    m_pressedInside = false;
}

#include "controls/pinlayout.h"

#include "controls/form_main.h"

#include <QWidget>

PinLayout::PinLayout(QWidget* container) : QLayout(container) {
    // The container keeps the size its owner gives it.
    setSizeConstraint(QLayout::SetNoConstraint);
    setContentsMargins(0, 0, 0, 0);
}

PinLayout::~PinLayout() {
    for (const Pin& pin : m_pins)
        delete pin.item;
}

void PinLayout::pin(QWidget* widget, QPoint anchorTwips, Anchor anchor) {
    addChildWidget(widget);
    m_pins.append({new QWidgetItem(widget), anchorTwips, anchor});
    invalidate();
}

void PinLayout::addItem(QLayoutItem* item) {
    m_pins.append({item, QPoint(), Anchor::Left});
}

QLayoutItem* PinLayout::itemAt(int index) const {
    return index >= 0 && index < m_pins.size() ? m_pins[index].item : nullptr;
}

QLayoutItem* PinLayout::takeAt(int index) {
    if (index < 0 || index >= m_pins.size())
        return nullptr;
    return m_pins.takeAt(index).item;
}

QSize PinLayout::sizeHint() const {
    return parentWidget() ? parentWidget()->size() : QSize();
}

void PinLayout::setGeometry(const QRect& rect) {
    QLayout::setGeometry(rect);
    for (const Pin& pin : m_pins) {
        const QSize size = pin.item->sizeHint();
        QPoint topLeft(TwipsToPixels(pin.anchorTwips.x()), TwipsToPixels(pin.anchorTwips.y()));
        if (pin.anchor == Anchor::Right)
            topLeft.rx() -= size.width();
        pin.item->setGeometry(QRect(topLeft, size));
    }
}

#include "controls/form_main.h"

#include <QApplication>
#include <QColor>
#include <QFont>
#include <QPalette>

int TwipsToPixels(int twips) {
    return qRound(twips / 15.0);
}

double PixelsToTwips(double pixels) {
    return pixels * 15.0;
}

namespace {

struct SystemColour {
    QPalette::ColorGroup group;
    QPalette::ColorRole role;
};

// The system colour indexes of the window system, nearest palette role for each.
SystemColour systemColour(quint32 index) {
    using P = QPalette;
    switch (index) {
    case 0:  // scroll bar
    case 10: // active border
    case 11: // inactive border
    case 15: // button face
        return {P::Active, P::Button};
    case 1:  // desktop
    case 12: // application workspace
    case 16: // button shadow
        return {P::Active, P::Dark};
    case 2:  // active caption
    case 13: // highlight
    case 27: // active caption gradient
    case 29: // menu highlight
        return {P::Active, P::Highlight};
    case 3:  // inactive caption
    case 28: // inactive caption gradient
        return {P::Active, P::Mid};
    case 4:  // menu
    case 30: // menu bar
        return {P::Active, P::Window};
    case 5: // window background
        return {P::Active, P::Base};
    case 6:  // window frame
    case 21: // 3-D dark shadow
        return {P::Active, P::Shadow};
    case 7: // menu text
        return {P::Active, P::WindowText};
    case 8: // window text
        return {P::Active, P::Text};
    case 9:  // caption text
    case 14: // highlight text
        return {P::Active, P::HighlightedText};
    case 17: // grey text
    case 19: // inactive caption text
        return {P::Disabled, P::Text};
    case 18: // button text
        return {P::Active, P::ButtonText};
    case 20: // button highlight
        return {P::Active, P::Light};
    case 22: // 3-D light
        return {P::Active, P::Midlight};
    case 23: // tool tip text
        return {P::Active, P::ToolTipText};
    case 24: // tool tip background
        return {P::Active, P::ToolTipBase};
    case 26: // hot-tracked item
        return {P::Active, P::Link};
    default:
        return {P::Active, P::NoRole};
    }
}

} // namespace

QColor OleColor(quint32 ole) {
    if ((ole & 0xFF000000u) == 0x80000000u) {
        const SystemColour sys = systemColour(ole & 0x00FFFFFFu);
        // An unknown system colour index reads as black, as the window system answers it.
        if (sys.role == QPalette::NoRole)
            return QColor(0, 0, 0);
        return QApplication::palette().color(sys.group, sys.role);
    }
    return QColor(int(ole & 0xFF), int((ole >> 8) & 0xFF), int((ole >> 16) & 0xFF));
}

QFont ProgramFont(qreal pointSize) {
    QFont font;
    font.setFamilies({QStringLiteral("SimSun"), QStringLiteral("宋体"),
                      QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Noto Sans CJK SC")});
    font.setPointSizeF(pointSize);
    font.setWeight(QFont::Normal);
    font.setStyle(QFont::StyleNormal);
    return font;
}

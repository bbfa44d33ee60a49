#include "modmin.h"

#include "controls/desktopservices.h"
#include "controls/form_main.h"
#include "storage/charset.h"

#include <QCursor>
#include <QMenu>
#include <QPointer>
#include <QSystemTrayIcon>

namespace {

// The platform's tip field holds 64 bytes including the terminating NUL.
constexpr int kTipBytes = 63;

QPointer<QSystemTrayIcon> trayIcon;

} // namespace

QString TrayTipText(const QString& tip) {
    if (ToGbk(tip).size() <= kTipBytes)
        return tip;
    // Keep the first line whole and shorten the address after it, so both lines stay readable.
    const QString ellipsis = QStringLiteral("...");
    QString text = tip;
    while (!text.isEmpty() && ToGbk(text + ellipsis).size() > kTipBytes)
        text.chop(1);
    return text + ellipsis;
}

void TrayAdd(Form_Main& window, const QString& tip) {
    if (trayIcon)
        return;
    trayIcon = new QSystemTrayIcon(window.windowIcon(), &window);
    trayIcon->setToolTip(TrayTipText(tip));
    QObject::connect(
        trayIcon, &QSystemTrayIcon::activated, &window,
        [&window](QSystemTrayIcon::ActivationReason reason) { TrayActivated(window, reason); });
    trayIcon->show();
}

void TrayActivated(Form_Main& window, QSystemTrayIcon::ActivationReason reason) {
    if (window.isVisible() && !window.isMinimized())
        return;
    // Notification areas of the StatusNotifierItem kind report a click and never a double
    // click, so a click restores as well.
    if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger)
        TrayMessage(window, TrayMessages::LeftDoubleClick);
    else if (reason == QSystemTrayIcon::Context)
        TrayMessage(window, TrayMessages::RightButtonUp);
}

void TrayMessage(Form_Main& window, float message) {
    if (message == TrayMessages::LeftDoubleClick) {
        window.Restore();
    } else if (message == TrayMessages::RightButtonUp) {
        Desktop().popup(window.MenuFile2(), QCursor::pos());
    }
}

void TrayRemove() {
    if (!trayIcon)
        return;
    trayIcon->hide();
    delete trayIcon;
}

bool TrayPresent() {
    return !trayIcon.isNull();
}

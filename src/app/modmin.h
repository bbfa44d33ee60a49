#pragma once

#include <QString>
#include <QSystemTrayIcon>

class QWidget;

// The notification-area icon: added once at load, removed by the close request. Its double
// click and right-button release arrive as the message numbers below.
namespace TrayMessages {
constexpr int LeftDoubleClick = 515;
constexpr int RightButtonUp = 517;
} // namespace TrayMessages

class Form_Main;

// Adds the icon for window with the two-line tip (cut to what the platform field holds).
void TrayAdd(Form_Main& window, const QString& tip);
// 515 restores and focuses the window, 517 opens MenuFile2 at the pointer; others do nothing.
void TrayMessage(Form_Main& window, float message);
void TrayRemove();
// Decodes what the icon reports (a click or double click restores, the context request opens
// the menu); only a hidden or minimised window reacts.
void TrayActivated(Form_Main& window, QSystemTrayIcon::ActivationReason reason);
// True while an icon added by TrayAdd is present.
bool TrayPresent();

// The tip as it reaches the platform: at most 63 bytes in GBK, the address shortened with
// "..." when a configured one is too long.
QString TrayTipText(const QString& tip);

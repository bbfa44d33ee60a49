#pragma once

#include <QPoint>
#include <QString>

class QMenu;
class QWidget;

// The desktop facilities the program asks for: message boxes, the system's "open" for files
// and web addresses, pop-up menus, the process end and the notification area. The program uses
// the platform's; tests install a recording fake.
class DesktopServices {
  public:
    enum class Buttons { Ok, OkCancel };
    enum class Icon { None, Question, Information };
    enum class Answer { Ok, Cancel };
    // Show commands the callers pass on to the system's "open".
    static constexpr int ShowHide = 0;
    static constexpr int ShowShow = 5;

    virtual ~DesktopServices() = default;
    virtual Answer messageBox(QWidget* owner, const QString& text, const QString& title,
                              Buttons buttons, Icon icon) = 0;
    // target: a web address or a local file path (unquoted). False when nothing on the desktop
    // took it over.
    virtual bool open(QWidget* owner, const QString& target, int showCommand) = 0;
    // Shows menu at globalPos without waiting for a choice.
    virtual void popup(QMenu* menu, const QPoint& globalPos) = 0;
    virtual bool trayAvailable() = 0;
    // A passing notice from the notification-area icon of owner's window; nothing where the
    // window has no icon.
    virtual void notify(QWidget* owner, const QString& title, const QString& text) = 0;
    // Ends the process at once; does not return in the program.
    virtual void endProcess() = 0;
};

// The services in use: the platform's unless a test installed its own.
DesktopServices& Desktop();
// Installs services (nullptr restores the platform's). The caller keeps ownership.
void SetDesktop(DesktopServices* services);

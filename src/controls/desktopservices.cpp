#include "desktopservices.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QUrl>

#include <cstdio>
#include <cstdlib>

namespace {

class PlatformDesktop final : public DesktopServices {
public:
    Answer messageBox(QWidget* owner, const QString& text, const QString& title, Buttons buttons,
                      Icon icon) override
    {
        QMessageBox box(owner);
        box.setWindowTitle(title);
        box.setText(text);
        box.setIcon(icon == Icon::Question      ? QMessageBox::Question
                    : icon == Icon::Information ? QMessageBox::Information
                                                : QMessageBox::NoIcon);
        box.setStandardButtons(buttons == Buttons::OkCancel ? QMessageBox::Ok | QMessageBox::Cancel
                                                            : QMessageBox::Ok);
        return box.exec() == QMessageBox::Ok ? Answer::Ok : Answer::Cancel;
    }

    void open(QWidget*, const QString& target, int) override
    {
        // Only the browser or file viewer opens what we hand over; the show command has no
        // meaning outside Windows.
        const QUrl url = QFileInfo(target).isAbsolute() ? QUrl::fromLocalFile(target)
                                                        : QUrl(target, QUrl::TolerantMode);
        QDesktopServices::openUrl(url);
    }

    void popup(QMenu* menu, const QPoint& globalPos) override { menu->popup(globalPos); }

    bool trayAvailable() override { return QSystemTrayIcon::isSystemTrayAvailable(); }

    void endProcess() override
    {
        // Every file is written whole and closed by the call that writes it, so nothing is
        // lost by skipping the unwinding of a fetch that may still wait on the stack.
        std::fflush(nullptr);
        std::_Exit(0);
    }
};

DesktopServices* installed = nullptr;

} // namespace

DesktopServices& Desktop()
{
    static PlatformDesktop platform;
    return installed ? *installed : platform;
}

void SetDesktop(DesktopServices* services) { installed = services; }

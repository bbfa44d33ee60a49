#include "desktopservices.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>

#include <cstdio>
#include <cstdlib>

namespace {

// How long a launcher may take to fail before we take it that a browser has taken over.
constexpr int kLauncherVerdictMs = 2000;

#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
// Qt reports success as soon as xdg-open has started, even when it then finds no browser, so it
// is run here and its exit status heard. It keeps running while a browser it started in the
// foreground runs: still running at the verdict counts as opened.
bool openWithLauncher(const QString& launcher, const QUrl& url) {
    auto* process = new QProcess(QCoreApplication::instance());
    process->setProgram(launcher);
    process->setArguments({url.toString(QUrl::FullyEncoded)});
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QEventLoop wait;
    QTimer verdict;
    verdict.setSingleShot(true);
    QObject::connect(&verdict, &QTimer::timeout, &wait, &QEventLoop::quit);
    QObject::connect(process, &QProcess::finished, &wait, &QEventLoop::quit);
    QObject::connect(process, &QProcess::errorOccurred, &wait, &QEventLoop::quit);
    process->start();
    verdict.start(kLauncherVerdictMs);
    if (process->state() != QProcess::NotRunning)
        wait.exec(QEventLoop::ExcludeUserInputEvents);
    if (process->state() != QProcess::NotRunning) {
        QObject::connect(process, &QProcess::finished, process, &QObject::deleteLater);
        return true;
    }
    const bool opened = process->error() == QProcess::UnknownError &&
                        process->exitStatus() == QProcess::NormalExit && process->exitCode() == 0;
    process->deleteLater();
    return opened;
}
#endif

class PlatformDesktop final : public DesktopServices {
  public:
    Answer messageBox(QWidget* owner, const QString& text, const QString& title, Buttons buttons,
                      Icon icon) override {
        QMessageBox box(owner);
        box.setWindowTitle(title);
        // Texts carry site names and server answers: never markup.
        box.setTextFormat(Qt::PlainText);
        box.setText(text);
        box.setIcon(icon == Icon::Question      ? QMessageBox::Question
                    : icon == Icon::Information ? QMessageBox::Information
                                                : QMessageBox::NoIcon);
        box.setStandardButtons(buttons == Buttons::OkCancel ? QMessageBox::Ok | QMessageBox::Cancel
                                                            : QMessageBox::Ok);
        // The interface is Chinese whether or not Qt's own translations are installed.
        box.button(QMessageBox::Ok)->setText(QStringLiteral("确定"));
        if (QAbstractButton* cancel = box.button(QMessageBox::Cancel))
            cancel->setText(QStringLiteral("取消"));
        return box.exec() == QMessageBox::Ok ? Answer::Ok : Answer::Cancel;
    }

    bool open(QWidget*, const QString& target, int) override {
        // Only the browser or file viewer opens what we hand over; the show command has no
        // meaning outside Windows.
        const QUrl url = QFileInfo(target).isAbsolute() ? QUrl::fromLocalFile(target)
                                                        : QUrl(target, QUrl::TolerantMode);
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
        const QString launcher = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
        if (!launcher.isEmpty())
            return openWithLauncher(launcher, url);
#endif
        return QDesktopServices::openUrl(url);
    }

    void popup(QMenu* menu, const QPoint& globalPos) override {
        menu->popup(globalPos);
    }

    bool trayAvailable() override {
        return QSystemTrayIcon::isSystemTrayAvailable();
    }

    void notify(QWidget* owner, const QString& title, const QString& text) override {
        // The icon is the window's own child (app/modmin), which this layer cannot name.
        auto* icon = owner ? owner->window()->findChild<QSystemTrayIcon*>(
                                 QString(), Qt::FindDirectChildrenOnly)
                           : nullptr;
        if (icon && icon->isVisible())
            icon->showMessage(title, text, QSystemTrayIcon::Information);
    }

    void endProcess() override {
        // Every file is written whole and closed by the call that writes it, so nothing is
        // lost by skipping the unwinding of a fetch that may still wait on the stack.
        std::fflush(nullptr);
        std::_Exit(0);
    }
};

DesktopServices* installed = nullptr;

} // namespace

DesktopServices& Desktop() {
    static PlatformDesktop platform;
    return installed ? *installed : platform;
}

void SetDesktop(DesktopServices* services) {
    installed = services;
}

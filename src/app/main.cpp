#include "app/mainwindow.h"
#include "app/signalrelay.h"
#include "app/singleinstance.h"

#include <QApplication>
#include <QFile>
#include <QStyleFactory>
#include <QTimer>

#include <csignal>
#include <cstdio>

namespace {

// VALDANE_STARTUP_PROBE=1: report the resident memory once the window is up, then quit.
// Used by the start-up benchmark.
void probeStartup() {
    QFile status(QStringLiteral("/proc/self/status"));
    QByteArray rss = "unknown";
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("VmRSS:"))
                rss = line.mid(6).simplified();
    }
    std::printf("window shown, rss %s\n", rss.constData());
    std::fflush(stdout);
    QCoreApplication::exit(0);
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("Valdane"));
    // Lets the desktop match the window to the installed menu entry and its icon.
    app.setDesktopFileName(QStringLiteral(VALDANE_APP_ID));
    // The window hides to the notification area; hiding it must not end the program.
    app.setQuitOnLastWindowClosed(false);

    SingleInstance instance(MainWindow::Title());
    if (instance.notifyRunning())
        return 0;
    instance.listen();

    InstallQtTranslations();
    // Qt brings its own list and image-list widgets: there is no component to install.
    if (QStyle* style = QStyleFactory::create(QStringLiteral("Fusion")))
        app.setStyle(style);

    MainWindow window(QCoreApplication::applicationDirPath(), app.arguments().mid(1));
    QObject::connect(&instance, &SingleInstance::showRequested, &window,
                     &MainWindow::RestoreFromElsewhere);
    // A log-out without a session manager, a shutdown or kill end the program by signal; it
    // still saves and cleans up as when closed.
    SignalRelay endSignals({SIGTERM, SIGHUP});
    QObject::connect(&endSignals, &SignalRelay::received, &window,
                     [&window] { window.CloseRequest(false); });
    window.Load();
    window.Start();
    if (qEnvironmentVariableIsSet("VALDANE_STARTUP_PROBE"))
        QTimer::singleShot(0, &app, probeStartup);
    return app.exec();
}

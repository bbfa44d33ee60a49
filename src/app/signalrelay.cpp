#include "app/signalrelay.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QSocketNotifier>
#include <QTranslator>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_UNIX
int relayPipe[2] = {-1, -1};

void onSignal(int signalNumber) {
    const int saved = errno;
    const char byte = static_cast<char>(signalNumber);
    [[maybe_unused]] const auto written = ::write(relayPipe[1], &byte, 1);
    errno = saved;
}
#endif

} // namespace

SignalRelay::SignalRelay(std::initializer_list<int> signalNumbers, QObject* parent)
    : QObject(parent), m_signals(signalNumbers) {
#ifdef Q_OS_UNIX
    if (relayPipe[0] < 0 && ::pipe2(relayPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_notifier = new QSocketNotifier(relayPipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalRelay::drain);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : m_signals)
        ::sigaction(number, &action, nullptr);
#endif
}

SignalRelay::~SignalRelay() {
#ifdef Q_OS_UNIX
    if (!m_notifier)
        return;
    for (const int number : m_signals)
        std::signal(number, SIG_DFL);
#endif
}

void SignalRelay::drain() {
#ifdef Q_OS_UNIX
    char byte = 0;
    while (::read(relayPipe[0], &byte, 1) == 1)
        emit received(static_cast<unsigned char>(byte));
#endif
}

bool InstallQtTranslations() {
    auto* translator = new QTranslator(QCoreApplication::instance());
    if (translator->load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                         QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)) &&
        QCoreApplication::installTranslator(translator))
        return true;
    delete translator;
    return false;
}

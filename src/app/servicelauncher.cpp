#include "app/servicelauncher.h"

#include "net/queryprotocol.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QHostAddress>
#include <QPointer>
#include <QProcess>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#endif

namespace {

constexpr std::chrono::milliseconds kPollInterval{100};

// Runs the event loop for at most limit, or until one of the (sender, signal) ends fires.
template <typename... Ends> void waitFor(std::chrono::milliseconds limit, Ends... ends) {
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    (QObject::connect(ends.first, ends.second, &loop, &QEventLoop::quit), ...);
    timer.start(limit);
    loop.exec();
}

} // namespace

ServiceLauncher::Setup ServiceLauncher::ForThisProgram() {
    Setup setup;
    setup.makerUrl = MakerUrl();
    setup.overridden = !qEnvironmentVariable("VALDANE_MAKER_URL").isEmpty();
    setup.folders << QCoreApplication::applicationDirPath()
                  << QStringLiteral(VALDANE_LIBEXEC_DIR "/valdane")
                  << QStringLiteral(VALDANE_BIN_DIR);
    return setup;
}

ServiceLauncher::ServiceLauncher(Setup setup, QObject* parent)
    : QObject(parent), m_setup(std::move(setup)) {}

ServiceLauncher::~ServiceLauncher() {
    Stop();
}

QString ServiceLauncher::ListenAddress() const {
    if (m_setup.overridden)
        return QString();
    const QUrl url(m_setup.makerUrl);
    QString host = url.host();
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        host = QStringLiteral("127.0.0.1");
    const QHostAddress address(host);
    if (url.scheme() != QLatin1String("http") || !address.isLoopback())
        return QString();
    const QString port = QString::number(url.port(80));
    return address.protocol() == QAbstractSocket::IPv6Protocol
               ? u'[' + host + QStringLiteral("]:") + port
               : host + u':' + port;
}

bool ServiceLauncher::Answers(const QString& host, quint16 port, std::chrono::milliseconds limit) {
    QTcpSocket socket;
    socket.connectToHost(host, port);
    if (socket.state() != QAbstractSocket::ConnectedState)
        waitFor(limit, std::pair(&socket, &QTcpSocket::connected),
                std::pair(&socket, &QTcpSocket::errorOccurred));
    return socket.state() == QAbstractSocket::ConnectedState;
}

QString ServiceLauncher::findProgram() const {
    for (const QString& folder : m_setup.folders) {
        const QFileInfo candidate(folder + u'/' + m_setup.programName);
        if (candidate.isFile() && candidate.isExecutable())
            return candidate.absoluteFilePath();
    }
    return QString();
}

bool ServiceLauncher::EnsureRunning() {
    const QString listen = ListenAddress();
    if (listen.isEmpty() || Running())
        return Running();
    const QUrl url(m_setup.makerUrl);
    const QString host = listen.left(listen.lastIndexOf(u':')).remove(u'[').remove(u']');
    const auto port = quint16(url.port(80));
    if (Answers(host, port, m_setup.probeLimit))
        return false;
    const QString program = findProgram();
    if (program.isEmpty())
        return false;

    m_process = new QProcess(this);
    m_process->setProgram(program);
    m_process->setArguments({QStringLiteral("--listen"), listen});
    m_process->setProcessChannelMode(QProcess::ForwardedChannels);
#ifdef Q_OS_LINUX
    // A program that is killed outright takes its service along.
    m_process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
#endif
    m_process->start();
    // The waits run the event loop, in which the program may end and Stop() the process.
    const QPointer<QProcess> process = m_process;
    QElapsedTimer elapsed;
    elapsed.start();
    while (process && process->state() != QProcess::NotRunning) {
        if (Answers(host, port, m_setup.probeLimit))
            return true;
        if (elapsed.elapsed() >= m_setup.startLimit.count())
            break;
        waitFor(kPollInterval, std::pair(process.get(), &QProcess::finished));
    }
    // A service started elsewhere may have taken the port since the probe: ours then ends
    // ("Address already in use"), and the one that answers serves the program.
    const bool ended = process && process->state() == QProcess::NotRunning;
    Stop();
    return ended && Answers(host, port, m_setup.probeLimit);
}

bool ServiceLauncher::Running() const {
    return m_process && m_process->state() != QProcess::NotRunning;
}

void ServiceLauncher::Stop() {
    if (!m_process)
        return;
    if (m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(int(m_setup.stopGrace.count()))) {
            m_process->kill();
            m_process->waitForFinished(1000);
        }
    }
    delete m_process;
    m_process = nullptr;
}

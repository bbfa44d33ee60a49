#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>

class QProcess;

// Starts the query service on this machine when the program would otherwise ask nobody: the
// maker address is the build's own loopback default and nothing answers there. The service
// then lives as the program's child until Stop().
class ServiceLauncher : public QObject {
    Q_OBJECT
  public:
    struct Setup {
        QString makerUrl;        // the address the program asks
        bool overridden = false; // set by VALDANE_MAKER_URL rather than the build
        QStringList folders;     // searched in order for the program
        QString programName = QStringLiteral("valdane-service");
        std::chrono::milliseconds probeLimit{300};
        std::chrono::milliseconds startLimit{5000};
        std::chrono::milliseconds stopGrace{2000};
    };

    // This program's setup: its maker address, its own folder, then the install locations.
    static Setup ForThisProgram();

    explicit ServiceLauncher(Setup setup, QObject* parent = nullptr);
    ~ServiceLauncher() override;

    // Starts the service when it is ours to start and nothing answers, then waits (the event
    // loop running) until it answers or the start limit passes. True when a service answers
    // that did not before: the one it started, or one that took the port meanwhile (ours then
    // ends). Without a program, or when it fails, nothing changes.
    bool EnsureRunning();
    // Ends a service it started: asked to end, then killed after the grace period.
    void Stop();
    bool Running() const;
    // "host:port" given to the service's --listen, or "" when the address is not ours to serve.
    QString ListenAddress() const;

    // Whether something accepts a TCP connection at host:port within limit.
    static bool Answers(const QString& host, quint16 port, std::chrono::milliseconds limit);

  private:
    QString findProgram() const;

    Setup m_setup;
    QProcess* m_process = nullptr;
};

#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

// One running instance per window title and user. The first instance listens on a local
// socket named after the title in the user's private runtime folder; a later start connects,
// asks it to show its window and ends.
class SingleInstance : public QObject {
    Q_OBJECT
  public:
    explicit SingleInstance(const QString& title, QObject* parent = nullptr);
    ~SingleInstance() override;

    // True when another instance answered and was asked to show itself: this one must end.
    bool notifyRunning();
    // Starts listening for later starts. False when the name cannot be taken.
    bool listen();

    static QString socketName(const QString& title);
    // The socket's full path; "" when the user has no private folder for it.
    static QString socketPath(const QString& title);
    // Removes the socket of the instance listening in this process, for an end of the process
    // that skips destructors.
    static void endListening();

  signals:
    void showRequested();

  private:
    QString m_name;
    QLocalServer* m_server = nullptr;
};

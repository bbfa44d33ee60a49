#pragma once

#include <QList>
#include <QObject>

#include <initializer_list>

class QSocketNotifier;

// Carries the given POSIX signals into the event loop: the handler only writes the signal's
// number to a pipe, which the loop reads. One relay per process.
class SignalRelay : public QObject {
    Q_OBJECT
  public:
    explicit SignalRelay(std::initializer_list<int> signalNumbers, QObject* parent = nullptr);
    ~SignalRelay() override;

  signals:
    void received(int signalNumber);

  private:
    void drain();

    QSocketNotifier* m_notifier = nullptr;
    QList<int> m_signals;
};

// Loads Qt's own Simplified Chinese texts (standard buttons, edit menus) when installed.
bool InstallQtTranslations();

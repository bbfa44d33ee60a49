#pragma once

#include <QObject>
#include <QString>

#include <functional>

class Form_Main;

// The program's own version text, compared with what the update check finds.
inline const QString kProgramVersion = QStringLiteral("V1.3 Beta");

// The WHOIS, ranking and MD5 panels (slots 0, 1, 2 of CmdSend/TextInPut) and the update check
// that announces a newer version on Label1(1). The constructor connects CmdSend(0..2) and
// Enter in TextInPut(0..2) to Lookup.
class LookupPanels : public QObject {
    Q_OBJECT
  public:
    explicit LookupPanels(Form_Main& form, QObject* parent = nullptr);

    void Lookup(int index);
    // Entry action of panels 3, 4 and 5; nothing for other panels.
    void EnterPanel(int panel);
    void UpdateCheck();

    // The ranking summary shown for domain from an "alexa.asp" payload (CR LF line breaks),
    // or "" when the payload is not a well-formed nine-field answer.
    static QString RankingText(const QString& domain, const QString& payload);

  private:
    void lookupWhois(QString domain);
    void lookupRanking(QString domain);
    // The shared flow of the two slots that ask the service: validation, busy state, the
    // answer shown by display() or "网络超时" when display() gives nothing.
    void lookupOnService(int slot, const QString& domain, const QString& page,
                         const QString& busySuffix,
                         const std::function<QString(const QString&)>& display);
    void lookupDigest(const QString& text);
    void setBusy(int index, bool busy);

    Form_Main& m_form;
};

// text without leading and trailing blanks (other white space is kept, as typed).
QString TrimSpaces(const QString& text);

#pragma once

#include <QObject>

class Form_Main;

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

private:
    Form_Main& m_form;
};

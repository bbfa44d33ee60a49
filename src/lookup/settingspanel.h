#pragma once

#include <QObject>

class Form_Main;
class LookupPanels;
class SiteTracking;

// The menu buttons CmdMenu1(0..6) (panel switch and entry actions) and the settings panel.
// The constructor connects CmdMenu1(0..6) and CMDSet(0..1).
class SettingsPanel : public QObject {
    Q_OBJECT
public:
    SettingsPanel(Form_Main& form, SiteTracking& tracking, LookupPanels& lookups,
                  QObject* parent = nullptr);

    void CmdMenu1Click(int index);
    // Fills TextSet and CheckSet(0..3) from SiteList, Config.ini and the autostart entry.
    void LoadSettings();
    void CMDSetClick(int index);

private:
    Form_Main& m_form;
    SiteTracking& m_tracking;
    LookupPanels& m_lookups;
};

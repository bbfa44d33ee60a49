#pragma once

#include "controls/form_main.h"

#include <QString>
#include <QStringList>

#include <memory>

class LookupPanels;
class ServiceLauncher;
class SettingsPanel;
class SiteTracking;

// The main window's life: load, activation, minimise-to-tray, the link line and the close
// request from every origin. The behaviour of the panels lives in the layers it owns.
class MainWindow : public Form_Main {
    Q_OBJECT
  public:
    // programFolder: the program's own folder (Config.ini and SeoLog.htm live there when a
    // Config.ini does). arguments: the command line after the program name.
    MainWindow(const QString& programFolder, const QStringList& arguments,
               QWidget* parent = nullptr);
    ~MainWindow() override;

    static QString Title();
    static QString TrayTip();

    // Runs once, before the window is first shown.
    void Load();
    // Shows the window, or keeps it hidden from the start for "-Min" when the notification
    // area can bring it back; activation follows either way.
    void Start();
    // Runs after the first show: "-Min", the query service, the update check, the automatic
    // refresh.
    void Activate();
    // Asks while a refresh runs (when mayAsk), then saves and ends the process. False when the
    // user chose to stay.
    bool CloseRequest(bool mayAsk = true);
    // A second start of the program asked for the window.
    void RestoreFromElsewhere();

    SiteTracking& tracking() const { return *m_tracking; }
    LookupPanels& lookups() const { return *m_lookups; }
    SettingsPanel& settings() const { return *m_settings; }

  protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void openLinkLine();
    bool startsMinimised() const;
    // Tells the user once per run when Config.ini cannot be written.
    void checkConfigWritable();

    QString m_programFolder;
    QStringList m_arguments;
    std::unique_ptr<SiteTracking> m_tracking;
    std::unique_ptr<LookupPanels> m_lookups;
    std::unique_ptr<SettingsPanel> m_settings;
    std::unique_ptr<ServiceLauncher> m_service;
    bool m_activated = false;
    bool m_configWarned = false;
    bool m_ending = false;
};

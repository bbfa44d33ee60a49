#pragma once

#include "tracking/report.h"

#include <QObject>
#include <QString>

#include <functional>

class Form_Main;

// Site tracking on the window's controls: the three result lists, the batch refresh, the
// history report, the five timers and the commands on sites (list menu, button bar).
// The constructor connects Timer1(0..4), the lists' mouse events, MenuFile1's items,
// CmdMenu2(0..4) and WEB1's status changes to the handlers below.
class SiteTracking : public QObject {
    Q_OBJECT
  public:
    explicit SiteTracking(Form_Main& form, QObject* parent = nullptr);

    // Builds the columns of ListView1(0..2) with widths from SViewWidth/LViewWidth/PViewWidth.
    void SetupColumns();
    void LoadSiteLists();
    void SaveColumnWidths();
    void PurgeSites(const QString& oldList, const QString& newList);
    void UpdateSites(const QString& target);
    // Tick handler of Timer1(index).
    void Tick(int index);

    // Button bar and list menu.
    void CmdMenu2Click(int index);
    void MenuShowMoreClick();
    void MenuUpdateClick();

    // Minimises the window and has the desktop open address; when nothing opens it, the window
    // comes back with a message instead of staying hidden.
    void OpenMinimised(const QString& address, int showCommand);

    // The window's close request, run by "关闭程序" (CmdMenu2(4)); set by the window's owner.
    std::function<void()> closeRequest;
    // Runs at the end of every refresh run; set by the window's owner.
    std::function<void()> runFinished;

    // The writer of SeoLog.htm used by the refresh (tests set its clock).
    HistoryReport& report() { return m_report; }

  protected:
    // Mouse presses and releases on the lists' viewports.
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // The text of the one selected row of the shown result list, or "" when there is none.
    QString SelectedSite() const;
    void OpenRecordFile();
    void SetStatusColour(quint32 oleColour);

    Form_Main& m_form;
    HistoryReport m_report;
    // Counts LoadSiteLists calls: a fill started from inside another one supersedes it.
    quint64 m_listFills = 0;
};

#pragma once

#include "tracking/report.h"

#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <array>
#include <functional>
#include <optional>

class Form_Main;
struct SiteState;

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
    // Refreshes the tracked sites whose measurements the service said would be ready by now;
    // run by followUpTimer(). Does nothing during a refresh, whose end arms the timer again.
    void FollowUp();

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
    // The status line's clock and the time follow-ups are due against (tests set it).
    std::function<QDateTime()> clock;
    // Single shot, armed at the end of a refresh for the earliest due follow-up.
    const QTimer& followUpTimer() const { return m_followUpTimer; }

    // A follow-up waits at least this long and at most this long, whatever the service says.
    static constexpr int kFollowUpFloorSeconds = 10;
    static constexpr int kFollowUpCeilingSeconds = 600;
    // After this many follow-ups of a site, its values wait for the next refresh.
    static constexpr int kMaxFollowUps = 30;

  protected:
    // Mouse presses and releases on the lists' viewports.
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void refresh(const QStringList& sites, bool followUp);
    // The values the lists show for site: what this run received but could not save, else
    // what Config.ini holds; empty when there is nothing usable.
    QStringList shownValues(const QString& site, std::size_t kind) const;
    bool showsMissing(const QString& site) const;
    // Learns from the service why site's cells show "—"; true when some are being measured.
    bool learnCellStates(const QString& site);
    QString missingTip(const QString& site, std::size_t kind, int column) const;
    void armFollowUp();
    // Compares site's new 百度 count with the one before its last full refresh and marks or
    // unmarks the cell; true when the fall is news (not yet told since that refresh).
    bool judgeFall(const QString& site, const QStringList& values, int threshold);
    void tellFalls(const QStringList& sites, int threshold);
    // The text of the one selected row of the shown result list, or "" when there is none.
    QString SelectedSite() const;
    void OpenRecordFile();
    void SetStatusColour(quint32 oleColour);

    Form_Main& m_form;
    HistoryReport m_report;
    // Counts LoadSiteLists calls: a fill started from inside another one supersedes it.
    quint64 m_listFills = 0;
    // By site, per result kind: answers received that Config.ini would not take.
    QHash<QString, std::array<QString, 3>> m_unsaved;
    // By site, per result kind and column: the tooltip of a cell shown as "—".
    QHash<QString, std::array<QStringList, 3>> m_missingTips;
    // Sites with measurements under way, and when the service expects them done.
    QHash<QString, QDateTime> m_due;
    QHash<QString, int> m_followUps;
    struct BaiduWatch {
        // The real count shown before the site's last full refresh; follow-ups complete that
        // refresh, so they are judged against it too.
        std::optional<qint64> before;
        QString fallTip; // "" while the cell is not marked
        bool told = false;
    };
    QHash<QString, BaiduWatch> m_baidu;
    QTimer m_followUpTimer;
};

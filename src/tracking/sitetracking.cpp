#include "tracking/sitetracking.h"

#include "controls/ctlbutton.h"
#include "controls/desktopservices.h"
#include "controls/form_main.h"
#include "net/queryprotocol.h"
#include "net/sitestate.h"
#include "net/webpage.h"
#include "storage/inifile.h"
#include "storage/texthelpers.h"

#include <QAction>
#include <QDir>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QMouseEvent>
#include <QTextDocument>
#include <QTreeWidget>

#include <algorithm>
#include <array>
#include <cmath>

namespace {

const QString kSetting = QStringLiteral("Setting");

// The three result kinds, in the order of the lists ListView1(0..2).
struct Kind {
    const char* key;      // per-site key in Config.ini
    const char* page;     // query service page
    int minIndex;         // ReadIniNumbers minimum index
    int fields;           // values per answer
    int minLength;        // shortest usable answer: one-character fields and separators
    const char* detail;   // t= of the detail page
    const char* overview; // name of the overview page
    const char* widthKey; // column widths in section Setting
    int widthMinIndex;
};

constexpr std::array<Kind, 3> kKinds = {{
    {"Url_site", "sites.asp", 6, 7, 13, "site", "sites", "SViewWidth", 7},
    {"Url_link", "links.asp", 6, 7, 13, "link", "links", "LViewWidth", 7},
    {"Url_pr", "ranks.asp", 1, 2, 3, "pr", "ranks", "PViewWidth", 2},
}};

constexpr int kSiteColumnTwips = 2049;
// How long a follow-up waits when the service says something is pending but not when.
constexpr int kFollowUpUnknownSeconds = 60;
const QString kMissingText = QStringLiteral("—");
const QString kNoData = QStringLiteral("暂无数据");
const QString kMeasuring = QStringLiteral("正在测量，稍后自动更新");
const QString kAllDone = QStringLiteral("所有网址信息更新完毕");
// How long an end text stays before the clock returns: a report of a problem needs reading.
constexpr int kDoneShownMs = 3000;
constexpr int kProblemShownMs = 30000;
// Percent of a fall of the 百度 count that is told, unless Config.ini says otherwise.
constexpr int kDefaultDropAlert = 30;
// A notice names this many sites and counts the rest.
constexpr int kNamedFalls = 3;
const QString kFallMark = QStringLiteral("▼");
constexpr quint32 kRed = 255;
constexpr quint32 kBlack = 0;

QStringList columnHeaders(int view) {
    if (view == 2)
        return {QStringLiteral("  域名"), QStringLiteral(" 谷歌"), QStringLiteral(" 搜狗")};
    return {QStringLiteral("  域名"), QStringLiteral("百度"), QStringLiteral("谷歌"),
            QStringLiteral("搜狗"),   QStringLiteral("雅虎"), QStringLiteral("搜搜"),
            QStringLiteral("有道"),   QStringLiteral("必应")};
}

QStringList splitSites(const QString& list) {
    return list.contains(u';') ? list.split(u';') : QStringList{list};
}

bool missingAt(const QStringList& values, int column) {
    return column >= values.size() || IsMissingNumber(values.at(column));
}

// Qt takes a tip that looks like markup for markup; values and reasons come from the service.
QString tipText(const QString& text) {
    return Qt::mightBeRichText(text) ? Qt::convertFromPlainText(text, Qt::WhiteSpaceNoWrap) : text;
}

QString cellTip(const CellState& cell) {
    if (cell.status == QLatin1String("measuring"))
        return kMeasuring;
    return cell.reason.isEmpty() ? kNoData : kNoData + QStringLiteral("：") + cell.reason;
}

// A count we really received: a whole number, not the service's "could not get".
std::optional<qint64> realCount(const QStringList& values, int column) {
    if (missingAt(values, column))
        return std::nullopt;
    bool ok = false;
    const qint64 count = values.at(column).trimmed().toLongLong(&ok);
    return ok && count >= 0 ? std::optional<qint64>(count) : std::nullopt;
}

// The percent of a fall of the 百度 count worth telling; 0 tells none.
int dropAlert(const QString& config) {
    bool ok = false;
    const int percent = ReadIni(kSetting, QStringLiteral("DropAlert"), config).toInt(&ok);
    // Above 100 only a fall to 0 could count, which 100 already says.
    return ok && percent >= 0 ? std::min(percent, 100) : kDefaultDropAlert;
}

QString groupedCount(qint64 count) {
    return QLocale(QLocale::Chinese, QLocale::China).toString(count);
}

QString siteCount(int count, const char16_t* what) {
    return QString::number(count) + QStringLiteral(" 个网址") + QString::fromUtf16(what);
}

// A stored width in twips as logical pixels; fallback when it is no usable width, since a
// column of no width could not be found again to widen it.
int widthPixels(const QString& number, int fallback) {
    const double twips = number.trimmed().toDouble();
    if (!std::isfinite(twips) || twips < 15)
        return fallback;
    return TwipsToPixels(int(std::min(twips, 1.0e6)));
}

} // namespace

SiteTracking::SiteTracking(Form_Main& form, QObject* parent)
    : QObject(parent), clock([] { return QDateTime::currentDateTime(); }), m_form(form) {
    m_followUpTimer.setSingleShot(true);
    connect(&m_followUpTimer, &QTimer::timeout, this, &SiteTracking::FollowUp);
    for (int i = 0; i <= 4; ++i)
        connect(m_form.Timer1(i), &QTimer::timeout, this, [this, i] { Tick(i); });
    for (int i = 0; i <= 2; ++i)
        m_form.ListView1(i)->viewport()->installEventFilter(this);
    connect(m_form.MenuShowMore(), &QAction::triggered, this, &SiteTracking::MenuShowMoreClick);
    connect(m_form.MenuUpdate(), &QAction::triggered, this, &SiteTracking::MenuUpdateClick);
    for (int i = 0; i <= 4; ++i)
        connect(m_form.CmdMenu2(i), &CtlButton::Click, this, [this, i] { CmdMenu2Click(i); });
    connect(m_form.WEB1(), &WebPage::StatusTextChange, this, [] { PumpEvents(); });
}

void SiteTracking::SetupColumns() {
    for (int v = 0; v <= 2; ++v) {
        const Kind& kind = kKinds[std::size_t(v)];
        QTreeWidget* view = m_form.ListView1(v);
        const QStringList headers = columnHeaders(v);
        view->setColumnCount(int(headers.size()));
        view->setHeaderLabels(headers);

        const QString stored = ReadIniNumbers(kSetting, QString::fromLatin1(kind.widthKey),
                                              m_form.ConfigPath, kind.widthMinIndex);
        const QStringList widths =
            stored.size() >= 2 * kind.widthMinIndex + 1 ? stored.split(u',') : QStringList();
        for (int c = 0; c < headers.size(); ++c) {
            const int fallback =
                c == 0 ? TwipsToPixels(kSiteColumnTwips) : view->header()->defaultSectionSize();
            view->setColumnWidth(c, c < widths.size() ? widthPixels(widths.at(c), fallback)
                                                      : fallback);
        }
    }
}

void SiteTracking::LoadSiteLists() {
    if (m_form.SiteList.isEmpty())
        return;
    const quint64 fill = ++m_listFills;
    const QStringList sites = splitSites(m_form.SiteList);
    for (int v = 0; v <= 2; ++v) {
        const Kind& kind = kKinds[std::size_t(v)];
        QTreeWidget* view = m_form.ListView1(v);
        view->clear();
        for (const QString& site : sites) {
            const QStringList values = shownValues(site, std::size_t(v));
            // Reading may have let a newer fill run; it has cleared and refilled the views.
            if (fill != m_listFills)
                return;
            auto* item = new QTreeWidgetItem(view);
            item->setText(0, site);
            for (int j = 1; j <= kind.fields; ++j) {
                const bool missing = missingAt(values, j - 1);
                item->setText(j, missing ? kMissingText : values.at(j - 1));
                // Large counts do not fit the default column width; the tip shows them whole.
                item->setToolTip(
                    j, tipText(missing ? missingTip(site, std::size_t(v), j) : values.at(j - 1)));
            }
            const QString fall = v == 0 ? m_baidu.value(site).fallTip : QString();
            if (!fall.isEmpty() && !missingAt(values, 0)) {
                item->setText(1, kFallMark + values.at(0));
                item->setForeground(1, OleColor(kRed));
                item->setToolTip(1, tipText(fall));
            }
            item->setSelected(false);
            PumpEvents();
            if (fill != m_listFills)
                return;
        }
        view->setCurrentItem(nullptr);
    }
}

void SiteTracking::SaveColumnWidths() {
    for (int v = 0; v <= 2; ++v) {
        QTreeWidget* view = m_form.ListView1(v);
        const qsizetype columns = columnHeaders(v).size();
        QStringList widths;
        for (int c = 0; c < columns; ++c) {
            const double twips = std::nearbyint(PixelsToTwips(view->columnWidth(c)));
            widths.append(QString::number(qint64(twips)));
            PumpEvents();
        }
        WriteIni(kSetting, QString::fromLatin1(kKinds[std::size_t(v)].widthKey), widths.join(u','),
                 m_form.ConfigPath);
    }
}

void SiteTracking::PurgeSites(const QString& oldList, const QString& newList) {
    if (oldList.isEmpty())
        return;
    // A ";" in first place does not split the list.
    const auto split = [](const QString& list) {
        return list.indexOf(u';', 1) >= 1 ? list.split(u';') : QStringList{list};
    };
    const QStringList oldSites = split(oldList);
    const QStringList newSites = split(newList);
    for (const QString& old : oldSites) {
        bool kept = false;
        for (const QString& site : newSites) {
            kept = kept || site == old;
            PumpEvents();
        }
        if (!kept) {
            DeleteIniSection(old, m_form.ConfigPath);
            m_unsaved.remove(old);
            m_missingTips.remove(old);
            m_due.remove(old);
            m_followUps.remove(old);
            m_baidu.remove(old);
        }
        PumpEvents();
    }
}

void SiteTracking::UpdateSites(const QString& target) {
    if (m_form.SiteList.isEmpty() || m_form.IsBusy)
        return;
    const QStringList sites =
        IsValidDomain(target) ? QStringList{target} : splitSites(m_form.SiteList);
    for (const QString& site : sites)
        m_followUps.remove(site);
    refresh(sites, false);
}

void SiteTracking::FollowUp() {
    if (m_form.IsBusy || m_form.SiteList.isEmpty())
        return;
    const QDateTime now = clock();
    QStringList due;
    for (const QString& site : splitSites(m_form.SiteList)) {
        const auto at = m_due.constFind(site);
        if (at != m_due.cend() && *at <= now) {
            due.append(site);
            ++m_followUps[site];
        }
    }
    if (due.isEmpty())
        armFollowUp();
    else
        refresh(due, true);
}

void SiteTracking::refresh(const QStringList& sites, bool followUp) {
    m_form.IsBusy = true;
    const bool record =
        ReadIni(kSetting, QStringLiteral("AutoRecord"), m_form.ConfigPath) == QLatin1String("1");

    m_form.Timer1(0)->stop();
    m_form.Timer1(2)->stop();
    m_form.Timer1(3)->stop();
    m_followUpTimer.stop();
    SetStatusColour(kRed);
    m_form.CmdMenu2(1)->setEnable(false);
    if (record)
        m_report.InitReport(m_form.LogPath);
    const int threshold = dropAlert(m_form.ConfigPath);
    QStringList fallen;

    // A site counts as failed when any of its three requests gave no accepted answer; as
    // without data when every number it got was missing.
    int accepted = 0;
    int failedSites = 0;
    int emptySites = 0;
    QString saveProblem;
    QLabel* status = m_form.Label1(0);
    status->setToolTip(QString());
    for (qsizetype i = 0; i < sites.size(); ++i) {
        const QString& site = sites.at(i);
        bool siteFailed = false;
        bool siteAnswered = false;
        bool siteHasNumber = false;
        m_form.Timer1(1)->stop();
        m_form.DotTicks = 0;
        status->setText(QStringLiteral("正在更新 ") + site +
                        QStringLiteral("（%1/%2）").arg(i + 1).arg(sites.size()));
        m_form.Timer1(1)->start();

        if (!followUp) {
            BaiduWatch& watch = m_baidu[site];
            watch.before = realCount(shownValues(site, 0), 0);
            watch.told = false;
        }
        const int key = QueryKey();
        for (std::size_t k = 0; k < kKinds.size(); ++k) {
            const Kind& kind = kKinds[k];
            const QString answer = AcceptedAnswer(
                QueryPayload(QueryAddress(QString::fromLatin1(kind.page), key, site)), kind.fields);
            if (answer.isEmpty()) {
                siteFailed = true;
                continue;
            }
            ++accepted;
            siteAnswered = true;
            const QStringList values = answer.split(u',');
            siteHasNumber =
                siteHasNumber || !std::all_of(values.cbegin(), values.cend(), IsMissingNumber);
            // What Config.ini would not take is still shown for as long as the program runs.
            if (WriteIni(site, QString::fromLatin1(kind.key), answer, m_form.ConfigPath)) {
                if (auto unsaved = m_unsaved.find(site); unsaved != m_unsaved.end())
                    (*unsaved)[k].clear();
            } else {
                m_unsaved[site][k] = answer;
                if (saveProblem.isEmpty())
                    saveProblem = IniWriteProblem(m_form.ConfigPath);
                if (saveProblem.isEmpty())
                    saveProblem =
                        QStringLiteral("无法写入 ") + QDir::toNativeSeparators(m_form.ConfigPath);
            }
            if (k == 0 && judgeFall(site, values, threshold))
                fallen.append(site);
            if (record && k == 0)
                m_report.Append(m_form.LogPath, site, kReportIndexedLabel, values, true);
            else if (record && k == 1)
                m_report.Append(m_form.LogPath, site, kReportBacklinksLabel, values, false);
        }

        // A service that answered nothing for the site would not explain it either.
        m_missingTips.remove(site);
        const bool measuring = siteAnswered && showsMissing(site) && learnCellStates(site);
        if (!measuring)
            m_due.remove(site);

        failedSites += siteFailed;
        emptySites += !siteFailed && !measuring && !siteHasNumber;
        status->setText(site + QStringLiteral(" 更新完毕"));
        m_form.Timer1(1)->stop();
        m_form.DotTicks = 0;
        PumpEvents();
    }

    LoadSiteLists();
    tellFalls(fallen, threshold);
    if (ReadIni(kSetting, QStringLiteral("AutoGain"), m_form.ConfigPath) == QLatin1String("1")) {
        // A follow-up only completes the last run; it must not put off the next full one.
        if (!followUp)
            m_form.AutoGainTicks = 0;
        m_form.Timer1(3)->start();
    }
    QStringList problems;
    if (failedSites > 0)
        problems.append(siteCount(failedSites, u"未能更新"));
    if (emptySites > 0)
        problems.append(siteCount(emptySites, u"暂无数据"));
    // Counts every site still being measured, also those this run did not ask about.
    armFollowUp();
    if (!m_due.isEmpty())
        problems.append(siteCount(int(m_due.size()), u"正在测量"));
    if (!saveProblem.isEmpty())
        problems.append(QStringLiteral("数据未能保存：") + saveProblem);
    QString problem;
    if (accepted == 0)
        problem = QStringLiteral("无法连接查询服务 ") + MakerHost();
    else if (!problems.isEmpty())
        problem = QStringLiteral("更新完毕，") + problems.join(QStringLiteral("，"));
    status->setText(problem.isEmpty() ? kAllDone : problem);
    // Once the clock is back, the status line still tells on hovering until the next run.
    status->setToolTip(problem);
    m_form.Timer1(1)->stop();
    m_form.Timer1(2)->start(problem.isEmpty() ? kDoneShownMs : kProblemShownMs);
    m_form.CmdMenu2(1)->setEnable(true);
    m_form.IsBusy = false;
    if (runFinished)
        runFinished();
}

bool SiteTracking::judgeFall(const QString& site, const QStringList& values, int threshold) {
    BaiduWatch& watch = m_baidu[site];
    const std::optional<qint64> now = realCount(values, 0);
    // A missing value is no fall, and nothing can fall from 0.
    if (threshold == 0 || !now || !watch.before || *watch.before <= *now) {
        watch.fallTip.clear();
        return false;
    }
    const qint64 before = *watch.before;
    const double percent = 100.0 * double(before - *now) / double(before);
    if (percent < threshold) {
        watch.fallTip.clear();
        return false;
    }
    watch.fallTip = QStringLiteral("百度收录较上次下降 %1%：%2 → %3")
                        .arg(qint64(std::floor(percent)))
                        .arg(groupedCount(before), groupedCount(*now));
    const bool news = !watch.told;
    watch.told = true;
    return news;
}

void SiteTracking::tellFalls(const QStringList& sites, int threshold) {
    if (sites.isEmpty())
        return;
    const QString title = QStringLiteral("百度收录下降");
    if (sites.size() == 1) {
        Desktop().notify(&m_form, title,
                         sites.first() + QStringLiteral("：") +
                             m_baidu.value(sites.first()).fallTip);
        return;
    }
    QString names = sites.mid(0, kNamedFalls).join(QStringLiteral("、"));
    if (sites.size() > kNamedFalls)
        names += QStringLiteral(" 等 %1 个网址").arg(sites.size());
    Desktop().notify(&m_form, title,
                     names + QStringLiteral("：较上次下降 %1% 以上").arg(threshold));
}

QStringList SiteTracking::shownValues(const QString& site, std::size_t kind) const {
    const Kind& k = kKinds[kind];
    const auto unsaved = m_unsaved.constFind(site);
    const QString numbers =
        unsaved != m_unsaved.cend() && !(*unsaved)[kind].isEmpty()
            ? (*unsaved)[kind]
            : ReadIniNumbers(site, QString::fromLatin1(k.key), m_form.ConfigPath, k.minIndex);
    return numbers.size() >= k.minLength ? numbers.split(u',') : QStringList();
}

bool SiteTracking::showsMissing(const QString& site) const {
    for (std::size_t k = 0; k < kKinds.size(); ++k) {
        const QStringList values = shownValues(site, k);
        for (int c = 0; c < kKinds[k].fields; ++c) {
            if (missingAt(values, c))
                return true;
        }
    }
    return false;
}

bool SiteTracking::learnCellStates(const QString& site) {
    const SiteState state = FetchSiteState(site);
    std::array<QStringList, 3> tips;
    // A value that arrived since the answer is fetched at the earliest follow-up.
    bool arrived = false;
    for (std::size_t k = 0; k < kKinds.size(); ++k) {
        const QStringList values = shownValues(site, k);
        for (qsizetype c = 0; c < state.pages[k].size(); ++c) {
            const CellState& cell = state.pages[k].at(c);
            tips[k].append(cellTip(cell));
            arrived = arrived || (cell.hasValue && missingAt(values, int(c)));
        }
    }
    m_missingTips.insert(site, tips);
    if ((!state.pending && !arrived) || m_followUps.value(site) >= kMaxFollowUps)
        return false;
    const qint64 wait =
        arrived ? kFollowUpFloorSeconds
                : std::clamp<qint64>(state.readyInSeconds.value_or(kFollowUpUnknownSeconds),
                                     kFollowUpFloorSeconds, kFollowUpCeilingSeconds);
    m_due.insert(site, clock().addSecs(wait));
    return true;
}

QString SiteTracking::missingTip(const QString& site, std::size_t kind, int column) const {
    const QString tip = m_missingTips.value(site)[kind].value(column - 1);
    return tip.isEmpty() ? kNoData : tip;
}

void SiteTracking::armFollowUp() {
    m_followUpTimer.stop();
    const QStringList tracked = splitSites(m_form.SiteList);
    QDateTime earliest;
    for (auto at = m_due.begin(); at != m_due.end();) {
        if (!tracked.contains(at.key())) {
            at = m_due.erase(at);
            continue;
        }
        if (!earliest.isValid() || *at < earliest)
            earliest = *at;
        ++at;
    }
    if (earliest.isValid())
        m_followUpTimer.start(int(std::clamp<qint64>(clock().msecsTo(earliest), 0,
                                                     qint64(kFollowUpCeilingSeconds) * 1000)));
}

void SiteTracking::Tick(int index) {
    QLabel* status = m_form.Label1(0);
    switch (index) {
    case 0:
        SetStatusColour(kBlack);
        status->setText(ClockText(clock()));
        break;
    case 1: {
        QString text = status->text() + QLatin1Char('.');
        if (++m_form.DotTicks > 4) {
            m_form.DotTicks = 0;
            text.chop(5);
        }
        status->setText(text);
        break;
    }
    case 2:
        m_form.Timer1(2)->stop();
        m_form.Timer1(0)->start();
        break;
    case 3:
        if (++m_form.AutoGainTicks > 20) {
            m_form.AutoGainTicks = 0;
            UpdateSites(QStringLiteral("All"));
        }
        break;
    case 4:
        if (++m_form.WebTicks > 11) {
            m_form.WebTicks = 0;
            m_form.WEB1()->Refresh();
        }
        break;
    default:
        return;
    }
    PumpEvents();
}

void SiteTracking::CmdMenu2Click(int index) {
    switch (index) {
    case 0:
        OpenRecordFile();
        break;
    case 1:
        UpdateSites(QStringLiteral("All"));
        break;
    case 2: {
        const int panel = m_form.CurrentPanel;
        const char* page = panel >= 0 && panel <= 2 ? kKinds[std::size_t(panel)].overview : "sites";
        OpenMinimised(MakerUrl() + QStringLiteral("/ostrem/seo/") + QLatin1String(page) +
                          QStringLiteral(".htm"),
                      DesktopServices::ShowHide);
        break;
    }
    case 3:
        OpenMinimised(MakerUrl(), DesktopServices::ShowShow);
        break;
    case 4:
        if (closeRequest)
            closeRequest();
        break;
    default:
        break;
    }
}

void SiteTracking::MenuShowMoreClick() {
    const QString site = SelectedSite();
    if (site.isEmpty())
        return;
    const char* detail = kKinds[std::size_t(m_form.CurrentPanel)].detail;
    OpenMinimised(MakerUrl() + QStringLiteral("/ostrem/seo/show.asp?t=") + QLatin1String(detail) +
                      QStringLiteral("&word=") + site,
                  DesktopServices::ShowShow);
}

void SiteTracking::OpenMinimised(const QString& address, int showCommand) {
    m_form.setWindowState(m_form.windowState() | Qt::WindowMinimized);
    if (Desktop().open(&m_form, address, showCommand))
        return;
    m_form.Restore();
    Desktop().messageBox(&m_form, QStringLiteral("无法打开 ") + address, QStringLiteral("提示"),
                         DesktopServices::Buttons::Ok, DesktopServices::Icon::None);
}

void SiteTracking::MenuUpdateClick() {
    const QString site = SelectedSite();
    if (!site.isEmpty())
        UpdateSites(site);
}

bool SiteTracking::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::MouseButtonPress && event->type() != QEvent::MouseButtonRelease)
        return false;
    for (int i = 0; i <= 2; ++i) {
        QTreeWidget* view = m_form.ListView1(i);
        if (watched != view->viewport())
            continue;
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (event->type() == QEvent::MouseButtonPress) {
            // The list's own handling of this press then selects the row under the pointer,
            // so a press on empty space leaves nothing selected.
            view->clearSelection();
            view->setCurrentItem(nullptr);
        } else if (mouse->button() == Qt::RightButton && view->selectedItems().size() == 1) {
            Desktop().popup(m_form.MenuFile1(), mouse->globalPosition().toPoint());
        }
        break;
    }
    return false;
}

QString SiteTracking::SelectedSite() const {
    const int panel = m_form.CurrentPanel;
    if (panel < 0 || panel > 2)
        return QString();
    const QList<QTreeWidgetItem*> selected = m_form.ListView1(panel)->selectedItems();
    return selected.size() == 1 ? selected.first()->text(0) : QString();
}

void SiteTracking::OpenRecordFile() {
    if (FileExists(m_form.LogPath)) {
        if (!Desktop().open(&m_form, m_form.LogPath, DesktopServices::ShowShow))
            Desktop().messageBox(
                &m_form, QStringLiteral("无法打开 ") + QDir::toNativeSeparators(m_form.LogPath),
                QStringLiteral("提示"), DesktopServices::Buttons::Ok, DesktopServices::Icon::None);
        return;
    }
    Desktop().messageBox(&m_form,
                         QStringLiteral("记录文件 \"") + QDir::toNativeSeparators(m_form.LogPath) +
                             QStringLiteral("\" 读取失败。 "),
                         QStringLiteral("提示"), DesktopServices::Buttons::Ok,
                         DesktopServices::Icon::None);
}

void SiteTracking::SetStatusColour(quint32 oleColour) {
    QLabel* status = m_form.Label1(0);
    QPalette palette = status->palette();
    palette.setColor(QPalette::WindowText, OleColor(oleColour));
    status->setPalette(palette);
}

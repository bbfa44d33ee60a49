#include "tracking/sitetracking.h"

#include "controls/ctlbutton.h"
#include "controls/desktopservices.h"
#include "controls/form_main.h"
#include "net/queryprotocol.h"
#include "net/webpage.h"
#include "storage/inifile.h"
#include "storage/texthelpers.h"

#include <QAction>
#include <QDir>
#include <QHeaderView>
#include <QLabel>
#include <QMouseEvent>
#include <QTimer>
#include <QTreeWidget>

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

// The service sends a negative count for a value it never obtained: no number to show.
bool isMissingValue(const QString& value) {
    bool ok = false;
    return value.trimmed().toDouble(&ok) < 0 && ok;
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

SiteTracking::SiteTracking(Form_Main& form, QObject* parent) : QObject(parent), m_form(form) {
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
            const QString numbers = ReadIniNumbers(site, QString::fromLatin1(kind.key),
                                                   m_form.ConfigPath, kind.minIndex);
            // Reading may have let a newer fill run; it has cleared and refilled the views.
            if (fill != m_listFills)
                return;
            const QStringList values =
                numbers.size() >= kind.minLength ? numbers.split(u',') : QStringList();
            auto* item = new QTreeWidgetItem(view);
            item->setText(0, site);
            for (int j = 1; j <= kind.fields; ++j) {
                const QString value = values.isEmpty() ? QStringLiteral("0") : values.at(j - 1);
                const bool missing = isMissingValue(value);
                item->setText(j, missing ? QStringLiteral("—") : value);
                // Large counts do not fit the default column width; the tip shows them whole.
                item->setToolTip(j, missing ? QStringLiteral("暂无数据") : value);
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
        if (!kept)
            DeleteIniSection(old, m_form.ConfigPath);
        PumpEvents();
    }
}

void SiteTracking::UpdateSites(const QString& target) {
    if (m_form.SiteList.isEmpty() || m_form.IsBusy)
        return;
    m_form.IsBusy = true;
    const bool record =
        ReadIni(kSetting, QStringLiteral("AutoRecord"), m_form.ConfigPath) == QLatin1String("1");

    m_form.Timer1(0)->stop();
    m_form.Timer1(2)->stop();
    m_form.Timer1(3)->stop();
    SetStatusColour(kRed);
    m_form.CmdMenu2(1)->setEnable(false);

    const QStringList sites =
        IsValidDomain(target) ? QStringList{target} : splitSites(m_form.SiteList);
    if (record)
        m_report.InitReport(m_form.LogPath);

    // A site counts as failed when any of its three requests gave no accepted answer.
    int accepted = 0;
    int failedSites = 0;
    QLabel* status = m_form.Label1(0);
    for (const QString& site : sites) {
        bool siteFailed = false;
        m_form.Timer1(1)->stop();
        m_form.DotTicks = 0;
        status->setText(QStringLiteral("正在更新 ") + site + QLatin1Char(' '));
        m_form.Timer1(1)->start();

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
            WriteIni(site, QString::fromLatin1(kind.key), answer, m_form.ConfigPath);
            if (record && k == 0)
                m_report.Append(m_form.LogPath, site, kReportIndexedLabel, answer.split(u','),
                                true);
            else if (record && k == 1)
                m_report.Append(m_form.LogPath, site, kReportBacklinksLabel, answer.split(u','),
                                false);
        }

        failedSites += siteFailed;
        status->setText(site + QStringLiteral(" 更新完毕"));
        m_form.Timer1(1)->stop();
        m_form.DotTicks = 0;
        PumpEvents();
    }

    LoadSiteLists();
    if (ReadIni(kSetting, QStringLiteral("AutoGain"), m_form.ConfigPath) == QLatin1String("1")) {
        m_form.AutoGainTicks = 0;
        m_form.Timer1(3)->start();
    }
    if (accepted == 0)
        status->setText(QStringLiteral("无法连接查询服务 ") + MakerHost());
    else if (failedSites > 0)
        status->setText(QStringLiteral("更新完毕，") + QString::number(failedSites) +
                        QStringLiteral(" 个网址未能更新"));
    else
        status->setText(QStringLiteral("所有网址信息更新完毕"));
    m_form.Timer1(1)->stop();
    m_form.Timer1(2)->start();
    m_form.CmdMenu2(1)->setEnable(true);
    m_form.IsBusy = false;
    if (runFinished)
        runFinished();
}

void SiteTracking::Tick(int index) {
    QLabel* status = m_form.Label1(0);
    switch (index) {
    case 0:
        SetStatusColour(kBlack);
        status->setText(ClockText(QDateTime::currentDateTime()));
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
        Desktop().open(&m_form, m_form.LogPath, DesktopServices::ShowShow);
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

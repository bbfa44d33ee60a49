#include "lookup/settingspanel.h"

#include "controls/ctlbutton.h"
#include "controls/desktopservices.h"
#include "controls/form_main.h"
#include "lookup/lookuppanels.h"
#include "storage/autostart.h"
#include "storage/inifile.h"
#include "storage/texthelpers.h"
#include "tracking/sitetracking.h"

#include <QCheckBox>
#include <QPlainTextEdit>
#include <QPushButton>

namespace {

const QString kSetting = QStringLiteral("Setting");
// Config.ini keys of CheckSet(0..2); CheckSet(3) is the autostart entry itself.
const QString kSwitchKeys[] = {QStringLiteral("AutoUpdate"), QStringLiteral("AutoGain"),
                               QStringLiteral("AutoRecord")};

} // namespace

SettingsPanel::SettingsPanel(Form_Main& form, SiteTracking& tracking, LookupPanels& lookups,
                             QObject* parent)
    : QObject(parent), m_form(form), m_tracking(tracking), m_lookups(lookups) {
    for (int i = 0; i < 7; ++i)
        connect(m_form.CmdMenu1(i), &CtlButton::Click, this, [this, i] { CmdMenu1Click(i); });
    for (int i = 0; i < 2; ++i)
        connect(m_form.CMDSet(i), &QPushButton::clicked, this, [this, i] { CMDSetClick(i); });
}

void SettingsPanel::CmdMenu1Click(int index) {
    if (index < 0 || index > 6)
        return;
    m_form.CurrentPanel = index;
    m_form.ShowPanel();
    if (index == 6)
        LoadSettings();
    else
        m_lookups.EnterPanel(index);
}

void SettingsPanel::LoadSettings() {
    m_form.TextSet()->setPlainText(m_form.SiteList);
    for (int i = 0; i < 3; ++i)
        m_form.CheckSet(i)->setChecked(ReadIni(kSetting, kSwitchKeys[i], m_form.ConfigPath) ==
                                       QLatin1String("1"));
    m_form.CheckSet(3)->setChecked(IsAutostartOn());
}

void SettingsPanel::CMDSetClick(int index) {
    if (index == 1) {
        CmdMenu1Click(0);
        return;
    }
    if (index != 0)
        return;

    // Each typed line holds its own entries: a line break separates them as ";" does. (Stored
    // lists join CR LF pairs instead, which the box never reports.)
    QString typed = m_form.TextSet()->toPlainText();
    typed.replace(QLatin1Char('\n'), QLatin1Char(';'));
    const QString list = NormalizeSiteList(TrimSpaces(typed));
    if (list.size() < 2) {
        // The panel stays on show with the text as typed, so the user can correct it.
        Desktop().messageBox(&m_form, QStringLiteral("输入错误"), QStringLiteral("提示"),
                             DesktopServices::Buttons::Ok, DesktopServices::Icon::None);
        m_form.TextSet()->setFocus();
        return;
    }

    CmdMenu1Click(0);
    WriteIni(kSetting, QStringLiteral("SeoUrl"), list, m_form.ConfigPath);
    m_tracking.PurgeSites(m_form.SiteList, list);
    m_form.SiteList = list;
    for (int i = 0; i < 3; ++i)
        WriteIni(kSetting, kSwitchKeys[i],
                 m_form.CheckSet(i)->isChecked() ? QStringLiteral("1") : QStringLiteral("0"),
                 m_form.ConfigPath);

    // An existing entry is left alone even when it names another program file or folder.
    const bool wanted = m_form.CheckSet(3)->isChecked();
    if (wanted != IsAutostartOn()) {
        if (wanted)
            WriteAutostart();
        else
            DeleteAutostart();
    }

    m_tracking.LoadSiteLists();
    m_tracking.UpdateSites(QStringLiteral("All"));
}

// Sites tracked as the program holds them, shared by the benchmarks that fill the lists and
// run full refreshes.
#pragma once

#include "controls/form_main.h"
#include "fakedesktop.h"
#include "tracking/sitetracking.h"

#include <QFile>
#include <QStringList>

inline QString BenchSiteName(int i) {
    return QStringLiteral("site%1.example.com").arg(i);
}

// A Config.ini holding values for `sites` sites, recording on.
inline void WriteBenchConfig(const QString& path, int sites) {
    QByteArray text = "[Setting]\r\nAutoRecord=1\r\n";
    for (int i = 0; i < sites; ++i) {
        text += '[' + BenchSiteName(i).toLatin1() + "]\r\n";
        text += "Url_site=1520,3400,87,0,112,9,230\r\nUrl_link=1,2,3,4,5,6,7\r\nUrl_pr=4,2\r\n";
    }
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(text);
}

inline QString BenchSiteList(int sites) {
    QStringList list;
    for (int i = 0; i < sites; ++i)
        list.append(BenchSiteName(i));
    return list.join(u';');
}

// The main window with `sites` sites listed, shown, ready for UpdateSites("All"). The
// query service is whatever VALDANE_MAKER_URL names.
struct TrackedSites {
    FakeDesktop desktop;
    Form_Main form;
    SiteTracking tracking{form};

    TrackedSites(const QString& folder, const QString& name, int sites) {
        form.ConfigPath = folder + QStringLiteral("/Config%1.ini").arg(name);
        form.LogPath = folder + QStringLiteral("/SeoLog%1.htm").arg(name);
        WriteBenchConfig(form.ConfigPath, sites);
        form.SiteList = BenchSiteList(sites);
        tracking.SetupColumns();
        tracking.LoadSiteLists();
        form.show();
    }
};

#pragma once

#include <QString>

// Where the program keeps Config.ini and SeoLog.htm.
struct FilePlaces {
    QString config;
    QString log;
};

// Beside the program when a Config.ini is there (portable use, and every earlier installation);
// otherwise $XDG_CONFIG_HOME/valdane/Config.ini and $XDG_DATA_HOME/valdane/SeoLog.htm, whose
// folders are created. On Windows always beside the program.
FilePlaces LocateFiles(const QString& programFolder);

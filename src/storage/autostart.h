#pragma once

#include <QString>

// The "start with the desktop session, minimised" entry. On Linux an XDG autostart file
// $XDG_CONFIG_HOME/autostart/<program file name>.desktop; on Windows the Run value of the
// registry. The entry itself is the setting. Every error is swallowed.

bool IsAutostartOn();
void WriteAutostart();
void DeleteAutostart();

// The program file the entry names; defaults to the running program. Tests point it elsewhere.
void SetAutostartProgramFile(const QString& programFile);

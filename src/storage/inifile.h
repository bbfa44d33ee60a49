#pragma once

#include <QString>

// Config.ini access. The file is GBK text with CR LF line ends; section and key names match
// regardless of letter case. Every call reads or writes the file as it is on disk now; nothing
// here shows an error.

// The stored value (trimmed, one pair of enclosing quotes dropped), or "" when absent or empty.
QString ReadIni(const QString& section, const QString& key, const QString& file);

// Stores value under section/key, creating file, section and key as needed. True when the file
// now holds value there; false when it was refused (no name, a line break) or not written.
bool WriteIni(const QString& section, const QString& key, const QString& value,
              const QString& file);

// Removes the section header and all its keys.
void DeleteIniSection(const QString& section, const QString& file);

// A ","-separated list of at least minIndex + 1 numbers, or "" when the stored text cannot
// serve. Non-numeric entries are replaced by "0" and the repaired list is written back.
QString ReadIniNumbers(const QString& section, const QString& key, const QString& file,
                       int minIndex);

// Why replacing file would fail now, "" when it would not. Probes the way the writer writes:
// a temporary file of the current size beside it, which is then discarded.
QString IniWriteProblem(const QString& file);

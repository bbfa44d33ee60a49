#pragma once

#include <QDate>
#include <QDateTime>
#include <QString>

// Small stateless helpers shared by the whole program. None of them throws or shows a message.
// Positions and lengths count UTF-16 code units.

// Text between the first startMarker and the first endMarker (searched from the text's start),
// or "" when the markers are missing or out of order.
QString GetBetween(const QString& text, const QString& startMarker, const QString& endMarker);

// Cleans a ";"-separated site list: drops "http://", maps "；" to ";", joins lines, trims entries
// of a multi-entry list, writes names with characters GBK lacks in their ASCII form ("xn--"),
// drops invalid and repeated entries. "" when nothing valid remains.
QString NormalizeSiteList(const QString& text);

// True for a plausible site text: at least 4 characters, a "." after the first character,
// not starting with "/", "\" or ".", not ending with "\" or ".".
bool IsValidDomain(const QString& text);

// True when path names a plain file that is neither hidden (dot-file) nor a directory.
bool FileExists(const QString& path);

// Lets queued user input be handled inside long loops; next to free when none waits.
void PumpEvents();

// "星期日" ... "星期六" for the date's calendar day.
QString WeekdayText(const QDate& date);

// The status line's clock: "yyyy年MM月dd日 <weekday> H:mm:ss".
QString ClockText(const QDateTime& now);

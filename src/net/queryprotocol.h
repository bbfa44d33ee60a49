#pragma once

#include <QString>

// Address layout and envelope of the query service.

// The maker's web site and service base address ("http://host[:port]", no trailing slash):
// the VALDANE_MAKER_URL environment variable when set, else the build-time default.
QString MakerUrl();
// MakerUrl() with every "http://" removed: the host sent as sFrom and shown in the title.
QString MakerHost();

inline const QString kPayloadStart = QStringLiteral("<!-- start -->");
inline const QString kPayloadEnd = QStringLiteral("<!-- end -->");

// A fresh request number in [1000000, 10000000]: re-seeds, draws x in [0, 1) as float,
// rounds x * 9000001 + 1000000 half to even.
int QueryKey();
int QueryKeyFromDraw(float x);

// base + "/Calvren/Rivelo/" + page + "?sFrom=" + host + "&Key=" + key + "&sUrl=" + target;
// target appended as it is, unencoded.
QString QueryAddress(const QString& page, int key, const QString& target);

// GetBetween(HttpGet(address, "gb2312"), start marker, end marker).
QString QueryPayload(const QString& address);

// The longest answer and the longest value in one that a result page may give; real ones
// are a few dozen characters.
inline constexpr qsizetype kMaxAnswerLength = 4096;
inline constexpr qsizetype kMaxAnswerValue = 64;

// A result page's payload as it is stored and recorded: "|" separators made ",", blanks at both
// ends dropped. "" when it is refused: "false", not exactly `values` values (the first one not
// empty), longer than kMaxAnswerLength, a value longer than kMaxAnswerValue, or a control
// character (line break, tab, ...) anywhere.
QString AcceptedAnswer(const QString& payload, int values);

// True for a number the service sends in place of one it could not get (-1; any negative).
bool IsMissingNumber(const QString& value);

// base + "/Calvren/Rivelo/Update.txt?tn=" + whole part of x * 9000001 + 1000000.
QString UpdateFileAddress();
QString UpdateFileAddressFromDraw(float x);

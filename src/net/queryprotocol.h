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

// base + "/Calvren/Rivelo/Update.txt?tn=" + whole part of x * 9000001 + 1000000.
QString UpdateFileAddress();
QString UpdateFileAddressFromDraw(float x);

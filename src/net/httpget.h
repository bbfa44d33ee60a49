#pragma once

#include <QString>
#include <QUrl>

#include <chrono>

// One GET of an http(s) address, or a read of a full local file path. Waits for the complete
// answer while the event loop keeps running (timers, input, nested HttpGet calls).
// Results: the body decoded with BytesToText(body, charset) whatever the HTTP status;
// "" when no complete answer came within the time limit (the request is aborted);
// "0" on any failure (bad address, connection or DNS error, body over 16 MiB also once
// decompressed, a compressed body that does not decompress, decode error).
QString HttpGet(const QString& address, const QString& charset);

// The time limit of HttpGet; 60 s in the program. Tests shorten it.
std::chrono::milliseconds HttpGetTimeLimit();
void SetHttpGetTimeLimit(std::chrono::milliseconds limit);

// A network body larger than this ends the request as a failure; local files have no cap.
inline constexpr qint64 kHttpGetMaxBody = 16 * 1024 * 1024;
// Redirects followed per request, as a browser bounds them; a longer chain (a loop) fails.
inline constexpr int kHttpGetMaxRedirects = 20;

// The URL HttpGet requests for an address. The address is taken as the program built it:
// what HTTP cannot carry raw is percent-encoded (spaces, "#", quotes, non-ASCII characters as
// UTF-8); "&", "=", "?" and valid %XX sequences reach the server unchanged. A "#" after the "?"
// belongs to the query and is sent as %23, so the server sees the whole target.
QUrl HttpRequestUrl(const QString& address);

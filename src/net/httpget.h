#pragma once

#include <QString>

#include <chrono>

// One GET of an http(s) address, or a read of a full local file path. Waits for the complete
// answer while the event loop keeps running (timers, input, nested HttpGet calls).
// Results: the body decoded with BytesToText(body, charset) whatever the HTTP status;
// "" when no complete answer came within the time limit (the request is aborted);
// "0" on any failure (bad address, connection or DNS error, body over 16 MiB, decode error).
QString HttpGet(const QString& address, const QString& charset);

// The time limit of HttpGet; 60 s in the program. Tests shorten it.
std::chrono::milliseconds HttpGetTimeLimit();
void SetHttpGetTimeLimit(std::chrono::milliseconds limit);

#pragma once

#include "measurement.h"

#include <optional>
#include <string>
#include <string_view>

namespace valdane::svc {

inline constexpr std::string_view kServiceFolder = "/Calvren/Rivelo/";
inline constexpr std::string_view kPayloadStart = "<!-- start -->";
inline constexpr std::string_view kPayloadEnd = "<!-- end -->";

std::optional<Page> PageFromFile(std::string_view file); // "sites.asp" -> Sites
std::string_view PageFile(Page page);                    // Sites -> "sites.asp"
int ColumnCount(Page page);                              // 7, 7, 2, 1, 9
std::string_view ColumnName(Page page, int column);      // "百度", ..., "站点名称", ...
bool IsNumericColumn(Page page, int column);

// sUrl as the program sends it -> the site the service measures: scheme and "www." kept as
// the program sends them are dropped where the protocol says so, host lower-cased and IDN
// converted to its ASCII form, at most 253 characters. nullopt for anything implausible.
std::optional<std::string> NormalizeSite(Page page, std::string_view sUrl);

// Lower-case ASCII host, or its xn-- form; nullopt when IDNA refuses it.
std::optional<std::string> AsciiHost(std::string_view host);

// RFC 3986 percent-encoding of everything but the unreserved characters (and '/' when
// keep_slash, for a site with a path inside a link).
std::string PercentEncode(std::string_view text, bool keep_slash = false);

// UTF-8 -> GBK bytes; characters GBK cannot hold become "?".
std::string Utf8ToGbk(std::string_view utf8);
// The whole answer body: a small HTML page holding the payload between the markers, in GBK.
std::string Envelope(std::string_view payloadUtf8);

} // namespace valdane::svc

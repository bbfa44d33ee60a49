#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace valdane::svc {

bool IsValidUtf8(std::string_view bytes);

// ASCII letters in lower case, other bytes as they are, whatever the C locale.
char Lowered(char c);
std::string Lowered(std::string_view text);

// bytes in the charset named by `label` (as HTTP and HTML declare it) -> UTF-8. GB2312 and GBK
// labels decode as GB18030, their superset, because pages that declare one often use the other's
// characters. Undecodable bytes become U+FFFD. nullopt when the label names no known charset.
std::optional<std::string> ToUtf8(std::string_view bytes, std::string_view label);

// Text of unknown charset: UTF-8 when it is valid, else GB18030.
std::string Utf8OrGbk(std::string_view bytes);

// One payload field from outside text: whitespace and line breaks collapsed to single spaces,
// control characters dropped, "|" (the payload's separator) made full-width, at most max_chars
// characters (an ellipsis marks a cut). Input must be UTF-8.
std::string CleanField(std::string_view utf8, std::size_t max_chars);

} // namespace valdane::svc

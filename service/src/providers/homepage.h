#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace valdane::svc {

struct HomePage {
    std::string title;       // cleaned UTF-8, "" when the page has none
    std::string description; // <meta name="description">, else og:description
};

// Reads a fetched page whose charset comes from the Content-Type header, else from the page's
// own <meta> declaration, else UTF-8 when valid, else GB18030. Linear in the body's size.
HomePage ReadHomePage(std::string_view body, std::string_view content_type, std::size_t max_chars);

// Character references decoded: numeric ones and the named ones pages commonly use.
std::string DecodeEntities(std::string_view text);

} // namespace valdane::svc

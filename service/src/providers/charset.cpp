#include "charset.h"

#include <iconv.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

namespace valdane::svc {
namespace {

// Length of the UTF-8 sequence at s[i], 0 when it is not a valid one.
std::size_t Utf8Length(std::string_view s, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
    const unsigned char c = b(0);
    std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size())
        return 0;
    for (std::size_t k = 1; k < n; ++k)
        if ((b(k) & 0xC0) != 0x80)
            return 0;
    // Overlong forms, surrogates and code points past U+10FFFF.
    if ((n == 2 && c < 0xC2) || (n == 3 && c == 0xE0 && b(1) < 0xA0) ||
        (n == 3 && c == 0xED && b(1) >= 0xA0) || (n == 4 && c == 0xF0 && b(1) < 0x90) ||
        (n == 4 && (c > 0xF4 || (c == 0xF4 && b(1) >= 0x90))))
        return 0;
    return n;
}

// Each byte that starts no valid sequence becomes U+FFFD, as a browser shows it.
std::string WithInvalidReplaced(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 2);
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t n = Utf8Length(bytes, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(bytes.substr(i, n));
            i += n;
        }
    }
    return out;
}

std::string IconvName(std::string_view label) {
    std::string name;
    for (char c : label)
        if (!std::isspace(static_cast<unsigned char>(c)) && c != '"' && c != '\'')
            name += Lowered(c);
    if (name == "gb2312" || name == "gbk" || name == "x-gbk" || name == "gb_2312-80" ||
        name == "cp936" || name == "windows-936" || name == "euc-cn" || name == "gb18030")
        return "GB18030";
    if (name == "utf8" || name == "utf-8" || name == "unicode-1-1-utf-8")
        return "UTF-8";
    // What browsers do: these labels mean windows-1252.
    if (name == "iso-8859-1" || name == "latin1" || name == "us-ascii" || name == "ascii")
        return "WINDOWS-1252";
    if (name == "big5")
        return "BIG5-HKSCS";
    return name;
}

} // namespace

char Lowered(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Lowered(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = Lowered(c);
    return out;
}

bool IsValidUtf8(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t n = Utf8Length(bytes, i);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

std::optional<std::string> ToUtf8(std::string_view bytes, std::string_view label) {
    const std::string from = IconvName(label);
    if (from.empty())
        return std::nullopt;
    iconv_t cd = iconv_open("UTF-8", from.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::nullopt;
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 2);
    char* in = const_cast<char*>(bytes.data());
    std::size_t in_left = bytes.size();
    char buffer[8192];
    while (in_left > 0) {
        char* o = buffer;
        std::size_t o_left = sizeof buffer;
        const std::size_t rc = iconv(cd, &in, &in_left, &o, &o_left);
        out.append(buffer, static_cast<std::size_t>(o - buffer));
        if (rc != static_cast<std::size_t>(-1))
            break;
        if (errno == E2BIG)
            continue;
        // A byte that starts no character here (EILSEQ), or a sequence cut at the end (EINVAL).
        out += "\xEF\xBF\xBD";
        if (errno == EINVAL)
            break;
        ++in;
        --in_left;
    }
    iconv_close(cd);
    // iconv lets some invalid UTF-8 through unchanged (code points past U+10FFFF, five-byte
    // forms): never pass broken bytes on as text.
    return IsValidUtf8(out) ? out : WithInvalidReplaced(out);
}

std::string Utf8OrGbk(std::string_view bytes) {
    if (IsValidUtf8(bytes))
        return std::string(bytes);
    return ToUtf8(bytes, "GB18030").value_or(std::string());
}

std::string CleanField(std::string_view utf8, std::size_t max_chars) {
    std::string out;
    std::size_t chars = 0;
    bool space = false;
    for (std::size_t i = 0; i < utf8.size();) {
        std::size_t n = Utf8Length(utf8, i);
        if (n == 0) { // not expected after decoding; never pass broken bytes on
            ++i;
            continue;
        }
        const std::string_view ch = utf8.substr(i, n);
        i += n;
        const unsigned char c = static_cast<unsigned char>(ch[0]);
        const bool is_space = (n == 1 && (std::isspace(c) || c < 0x20 || c == 0x7F)) ||
                              ch == "\xC2\xA0" || ch == "\xE3\x80\x80"; // nbsp, ideographic
        if (is_space || (n == 2 && c == 0xC2 && static_cast<unsigned char>(ch[1]) < 0xA0)) {
            space = !out.empty();
            continue;
        }
        if (chars + (space ? 1 : 0) >= max_chars) {
            out += "\xE2\x80\xA6"; // …
            return out;
        }
        if (space) {
            out += ' ';
            ++chars;
            space = false;
        }
        out += ch == "|" ? std::string_view("\xEF\xBD\x9C") : ch; // ｜
        ++chars;
    }
    return out;
}

} // namespace valdane::svc

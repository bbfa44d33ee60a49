// IDN names shown the way browsers show them: in Unicode only where a label cannot pass for
// another name (one script, or the scripts Chinese, Japanese and Korean mix with Latin),
// otherwise in their xn-- form.
#include "pages.h"

#include <idn2.h>

#include <algorithm>
#include <array>
#include <memory>

namespace valdane::svc {
namespace {

enum class Script {
    Common,
    Latin,
    Greek,
    Cyrillic,
    Armenian,
    Hebrew,
    Arabic,
    Devanagari,
    Thai,
    Georgian,
    Hangul,
    Hiragana,
    Katakana,
    Bopomofo,
    Han,
    Other
};

struct Range {
    char32_t first, last;
    Script script;
};

// Enough of the Unicode script property for the names users meet; anything outside is Other,
// which keeps the xn-- form: unknown is never shown as safe.
constexpr std::array<Range, 35> kRanges{{
    {U'-', U'-', Script::Common},
    {U'0', U'9', Script::Common},
    {U'a', U'z', Script::Latin},
    {U'\u00DF', U'\u00F6', Script::Latin},
    {U'\u00F8', U'\u024F', Script::Latin},
    {U'\u0300', U'\u036F', Script::Common},
    {U'\u0370', U'\u03FF', Script::Greek},
    {U'\u0400', U'\u052F', Script::Cyrillic},
    {U'\u0531', U'\u058F', Script::Armenian},
    {U'\u0591', U'\u05F4', Script::Hebrew},
    {U'\u0600', U'\u06FF', Script::Arabic},
    {U'\u0750', U'\u077F', Script::Arabic},
    {U'\u0900', U'\u097F', Script::Devanagari},
    {U'\u0E01', U'\u0E5B', Script::Thai},
    {U'\u10A0', U'\u10FF', Script::Georgian},
    {U'\u1100', U'\u11FF', Script::Hangul},
    {U'\u1C80', U'\u1C8F', Script::Cyrillic},
    {U'\u1E00', U'\u1EFF', Script::Latin},
    {U'\u1F00', U'\u1FFF', Script::Greek},
    {U'\u2DE0', U'\u2DFF', Script::Cyrillic},
    {U'\u3005', U'\u3007', Script::Han},
    {U'\u3021', U'\u3029', Script::Han},
    {U'\u3041', U'\u309F', Script::Hiragana},
    {U'\u30A0', U'\u30FB', Script::Katakana},
    {U'\u30FC', U'\u30FC', Script::Common},
    {U'\u30FD', U'\u30FF', Script::Katakana},
    {U'\u3105', U'\u312F', Script::Bopomofo},
    {U'\u3131', U'\u318E', Script::Hangul},
    {U'\u31A0', U'\u31BF', Script::Bopomofo},
    {U'\u31F0', U'\u31FF', Script::Katakana},
    {U'\u3400', U'\u4DBF', Script::Han},
    {U'\u4E00', U'\u9FFF', Script::Han},
    {U'\uAC00', U'\uD7A3', Script::Hangul},
    {U'\uF900', U'\uFAFF', Script::Han},
    {U'\U00020000', U'\U0003134F', Script::Han},
}};

Script ScriptOf(char32_t c) {
    for (const Range& r : kRanges)
        if (c >= r.first && c <= r.last)
            return r.script;
    return Script::Other;
}

// Cyrillic letters that look like Latin ones: a label made only of them ("аррӏе") reads as a
// Latin name.
constexpr std::u32string_view kLatinLookalikes = U"асԁеһіјӏорԛѕԝхуьъыпгѵѡԍ";

std::u32string Decode(std::string_view utf8) {
    std::u32string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const std::size_t n = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t c = n == 1 ? lead : lead & (0x7F >> n);
        for (std::size_t k = 1; k < n && i + k < utf8.size(); ++k)
            c = (c << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        out += c;
        i += n;
    }
    return out;
}

bool SafeToShow(std::u32string_view label) {
    std::array<bool, static_cast<std::size_t>(Script::Other) + 1> seen{};
    bool only_lookalikes = true;
    for (char32_t c : label) {
        const Script s = ScriptOf(c);
        seen[static_cast<std::size_t>(s)] = true;
        if (s != Script::Common)
            only_lookalikes = only_lookalikes && kLatinLookalikes.find(c) != std::u32string::npos;
    }
    auto has = [&](Script s) { return seen[static_cast<std::size_t>(s)]; };
    if (has(Script::Other))
        return false;
    int scripts = 0;
    for (std::size_t s = 1; s < seen.size(); ++s)
        scripts += seen[s];
    if (scripts == 1)
        return !(has(Script::Cyrillic) && only_lookalikes);
    // The mixes of Chinese, Japanese and Korean writing, each possibly with Latin.
    auto only = [&](std::initializer_list<Script> allowed) {
        for (std::size_t s = 1; s < seen.size(); ++s)
            if (seen[s] &&
                std::find(allowed.begin(), allowed.end(), static_cast<Script>(s)) == allowed.end())
                return false;
        return true;
    };
    return only({Script::Latin, Script::Han, Script::Hiragana, Script::Katakana}) ||
           only({Script::Latin, Script::Han, Script::Bopomofo}) ||
           only({Script::Latin, Script::Han, Script::Hangul});
}

// One label in Unicode when safe; as it came otherwise.
std::string ShowLabel(const std::string& label) {
    if (label.rfind("xn--", 0) != 0)
        return label;
    char* raw = nullptr;
    if (idn2_to_unicode_8z8z(label.c_str(), &raw, 0) != IDN2_OK)
        return label;
    const std::unique_ptr<char, decltype(&idn2_free)> unicode(raw, &idn2_free);
    // The Unicode form must lead back to this very label, or it is not the name asked about.
    char* back = nullptr;
    if (idn2_to_ascii_8z(unicode.get(), &back, IDN2_NONTRANSITIONAL) != IDN2_OK)
        return label;
    const std::unique_ptr<char, decltype(&idn2_free)> ascii(back, &idn2_free);
    if (label != ascii.get() || !SafeToShow(Decode(unicode.get())))
        return label;
    return unicode.get();
}

} // namespace

std::string DisplaySite(std::string_view site) {
    const std::size_t slash = site.find('/');
    const std::string_view host = site.substr(0, slash);
    std::string shown;
    for (std::size_t from = 0;;) {
        const std::size_t dot = host.find('.', from);
        shown += ShowLabel(std::string(host.substr(from, dot - from)));
        if (dot == std::string_view::npos)
            break;
        shown += '.';
        from = dot + 1;
    }
    if (slash != std::string_view::npos)
        shown += site.substr(slash);
    return shown;
}

} // namespace valdane::svc

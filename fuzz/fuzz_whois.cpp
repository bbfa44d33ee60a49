// A port-43 WHOIS answer, as any server may send it: the text shown is UTF-8 with CR LF line
// ends, the referral is a bare host[:port], and the fields read from it are payload-safe.

#include "servicefuzz.h"

#include "providers/whois43.h"

#include <algorithm>

using namespace valdane::svc;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text = ReadableWhois(TextOf(data, size));
    FUZZ_CHECK(IsValidUtf8(text));
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        FUZZ_CHECK(c >= 0x20 || c == '\t' ||
                   (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ||
                   (c == '\n' && i > 0 && text[i - 1] == '\r'));
    }
    const std::string referral = WhoisReferral(text);
    FUZZ_CHECK(std::all_of(referral.begin(), referral.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
               c == ':' || c == '[' || c == ']';
    }));
    CheckRegistration(ParseWhoisText(text));
    return 0;
}

// The sUrl check: whatever the program sends, a site that passes is printable ASCII with a
// lower-case host name, at most 253 characters, and passes again unchanged.
// Input: page selector byte, then the sUrl.

#include "servicefuzz.h"

#include "protocol.h"

using namespace valdane::svc;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const Page page = kPages[data[0] % std::size(kPages)];
    const std::optional<std::string> site = NormalizeSite(page, TextOf(data + 1, size - 1));
    if (!site)
        return 0;
    FUZZ_CHECK(!site->empty() && site->size() <= 253);
    const std::string_view host = std::string_view(*site).substr(0, site->find('/'));
    for (const char c : host)
        FUZZ_CHECK((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.');
    for (const char c : *site)
        FUZZ_CHECK(c > 0x20 && c < 0x7F);
    // The WHOIS page drops one "www." a time, so only a site without one is final there.
    if (page != Page::Whois || !site->starts_with("www."))
        FUZZ_CHECK(NormalizeSite(page, *site) == site);
    return 0;
}

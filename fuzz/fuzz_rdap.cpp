// RDAP answers from outside: a domain answer or a bootstrap file. What is read from either is
// fit for the payload: single-line UTF-8 fields, base addresses ending in "/".
// Input: selector byte (even: domain answer, odd: bootstrap file), then the JSON text.

#include "servicefuzz.h"

using namespace valdane::svc;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const std::string_view json = TextOf(data + 1, size - 1);
    if (data[0] % 2 == 0) {
        std::string why;
        const std::optional<Registration> r = ParseRdapDomain(json, &why);
        FUZZ_CHECK(r || !why.empty());
        if (r)
            CheckRegistration(*r);
        return 0;
    }
    if (const auto bases = ParseBootstrap(json))
        for (const auto& [suffix, base] : *bases) {
            FUZZ_CHECK(Lowered(suffix) == suffix);
            FUZZ_CHECK(!base.empty() && base.back() == '/');
        }
    return 0;
}

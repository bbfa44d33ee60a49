// The result count read from a search engine's page: never negative, and plain digits read as
// the number they write.

#include "servicefuzz.h"

#include "providers/engines.h"

#include <algorithm>

using namespace valdane::svc;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text = TextOf(data, size);
    const std::optional<std::int64_t> count = ParseResultCount(text);
    if (count)
        FUZZ_CHECK(*count >= 0);
    if (!text.empty() && text.size() <= 15 &&
        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        FUZZ_CHECK(count && *count == std::stoll(std::string(text)));
    return 0;
}

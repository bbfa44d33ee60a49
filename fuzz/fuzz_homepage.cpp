// A fetched home page in any charset, declared or not: the decoded text is valid UTF-8, and the
// title and description are payload fields of at most the asked length.
// Input: Content-Type header \0 body.

#include "servicefuzz.h"

#include "providers/homepage.h"

using namespace valdane::svc;

namespace {

std::size_t Characters(std::string_view utf8) {
    std::size_t n = 0;
    for (const char c : utf8)
        n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input = TextOf(data, size);
    const std::size_t zero = input.find('\0');
    if (zero == std::string_view::npos)
        return 0;
    const std::string_view type = input.substr(0, zero), body = input.substr(zero + 1);
    FUZZ_CHECK(IsValidUtf8(DecodeBody(body, type)));
    constexpr std::size_t kMaxChars = 40;
    const HomePage page = ReadHomePage(body, type, kMaxChars);
    for (const std::string* field : {&page.title, &page.description}) {
        CheckField(*field);
        FUZZ_CHECK(Characters(*field) <= kMaxChars + 1); // the cut's ellipsis
    }
    return 0;
}

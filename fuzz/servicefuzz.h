#pragma once

// Shared by the service's fuzz targets: a private folder for the files they write, and the
// checks every text bound for a payload must pass.

#include "fuzzcheck.h"

#include "providers/charset.h"
#include "providers/rdap.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

inline std::filesystem::path ScratchPath(const char* name) {
    static const std::filesystem::path dir = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "fuzz-XXXXXX").string();
        FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
        return std::filesystem::path(pattern);
    }();
    return dir / name;
}

inline std::string_view TextOf(const uint8_t* data, size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// One payload field: valid UTF-8 on a single line, without control characters or the
// payload's "|" separator.
inline void CheckField(std::string_view text) {
    FUZZ_CHECK(valdane::svc::IsValidUtf8(text));
    for (const char c : text)
        FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F && c != '|');
}

inline void CheckRegistration(const valdane::svc::Registration& r) {
    for (const std::string* field :
         {&r.domain, &r.registrar, &r.registered, &r.expires, &r.updated, &r.registrant_name,
          &r.registrant_org, &r.registrant_address, &r.registrant_email})
        CheckField(*field);
    for (const auto* list : {&r.status, &r.nameservers})
        for (const std::string& item : *list)
            CheckField(item);
    FUZZ_CHECK(valdane::svc::IsValidUtf8(valdane::svc::RenderRegistration(r, "fuzz")));
}

#pragma once

namespace valdane::svc::test {

// Columns for running the service program itself: none reaches outside; the ranks page's
// first is a fixed 4 (second 3, unused), so an answer shows it came from this configuration.
inline constexpr const char* kQuietColumns = R"([columns]
sites = ["none", "none", "none", "none", "none", "none", "none"]
links = ["none", "none", "none", "none", "none", "none", "none"]
ranks = ["demo", "none"]
whois = ["none"]
alexa = ["none", "none", "none", "none", "none", "none", "none", "none", "none"]
[providers.demo]
type = "fixed"
values.ranks = [4, 3]
)";

} // namespace valdane::svc::test

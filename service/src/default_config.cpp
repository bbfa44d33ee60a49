#include "config.h"

namespace valdane::svc {

// Parsed first; a user's file then overrides it key by key. Each column list names, in column
// order, the [providers.NAME] section that measures that column.
std::string_view DefaultConfigToml() {
    return R"toml(
listen = "127.0.0.1:8936"
fresh_hours = 24
deadline_seconds = 45
allow = ["127.0.0.0/8", "::1/128"]

[update]
version = "V1.3 Beta"
name = ""
url = ""

[columns]
# 百度, 谷歌, 搜狗, 雅虎, 搜搜, 有道, 必应
sites = ["none", "none", "none", "none", "none", "none", "none"]
links = ["none", "none", "none", "none", "none", "none", "none"]
# 谷歌, 搜狗
ranks = ["none", "none"]
# the registration text
whois = ["rdap"]
# name, description, rank, backlinks, first indexed, trend, owner, address, e-mail
alexa = ["homepage", "homepage", "none", "none", "rdap", "none", "rdap", "rdap", "rdap"]

[providers.none]
type = "none"

# RDAP by the IANA bootstrap file; port-43 WHOIS for TLDs without RDAP.
[providers.rdap]
type = "rdap"

# The site's own home page: <title> and meta description.
[providers.homepage]
type = "homepage"
)toml";
}

} // namespace valdane::svc

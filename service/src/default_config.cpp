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
whois = ["none"]
# name, description, rank, backlinks, first indexed, trend, owner, address, e-mail
alexa = ["none", "none", "none", "none", "none", "none", "none", "none", "none"]

[providers.none]
type = "none"
)toml";
}

} // namespace valdane::svc

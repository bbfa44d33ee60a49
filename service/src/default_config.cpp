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
server_names = []
# With a PostgreSQL store: this instance's outgoing address or proxy ("" = the host name);
# instances with one egress pace each engine together. A killed instance's measurement is
# taken over after lease_seconds.
egress = ""
lease_seconds = 120

[update]
version = "V1.3 Beta"
name = ""
url = ""

[columns]
# 百度, 谷歌, 搜狗, 雅虎, 搜搜, 有道, 必应
# 搜搜 merged into 搜狗 in 2013: its column shows 360 (so.com); 有道 has no web search of its own.
sites = ["baidu", "google", "sogou", "yahoo", "so360", "none", "bing"]
# Baidu's domain: count; Common Crawl referring domains once imported (--import-cc-links).
links = ["baidu", "ccgraph", "none", "none", "none", "none", "none"]
# 谷歌, 搜狗 (the Sogou rank ended: no source)
ranks = ["pagerank", "none"]
# the registration text
whois = ["rdap"]
# name, description, rank, backlinks, first indexed, trend, owner, address, e-mail
alexa = ["homepage", "homepage", "tranco", "ccgraph", "rdap", "trend", "rdap", "rdap", "rdap"]

[providers.none]
type = "none"

# RDAP by the IANA bootstrap file; port-43 WHOIS for TLDs without RDAP.
[providers.rdap]
type = "rdap"

# The site's own home page: <title> and meta description.
[providers.homepage]
type = "homepage"

# Search engine result counts: each definition is data, mended here when a page changes.
# Sources of the patterns: docs/service.md, "Data sources: search engines and rank lists".
[providers.baidu]
type = "serp"
engine = "百度"
url = "https://www.baidu.com/s?wd={query}&ie=utf-8"
query_sites = "site:{site}"
query_links = "domain:{site}"
user_agent = "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/124.0 Safari/537.36"
headers = { "Accept" = "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8", "Accept-Language" = "zh-CN,zh;q=0.9,en;q=0.8" }
count = ['百度为您找到相关结果约?\s*([0-9][0-9,]*)\s*个', '找到相关结果数?约?\s*([0-9][0-9,.]*[万亿]?)\s*个']
no_results = ['抱歉[，,]?\s*没有找到与', '没有找到该\s*URL']
blocked = ['wappass\.baidu\.com', '/static/captcha/', '百度安全验证', '网络不给力，请稍后重试']
canary = "baidu.com"

[providers.sogou]
type = "serp"
engine = "搜狗"
url = "https://www.sogou.com/web?query={query}&ie=utf8"
query_sites = "site:{site}"
user_agent = "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/124.0 Safari/537.36"
headers = { "Accept" = "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8", "Accept-Language" = "zh-CN,zh;q=0.9,en;q=0.8" }
count = ['搜狗已为您找到约?\s*([0-9][0-9,]*)\s*条相关结果']
no_results = ['抱歉，没有找到与', '站内没有找到能和']
blocked = ['/antispider', '请输入验证码', '您的访问出错了']
canary = "sogou.com"

[providers.so360]
type = "serp"
engine = "360搜索"
note = "搜搜已于 2013 年并入搜狗，此列现显示 360 搜索 (so.com) 的结果数"
url = "https://www.so.com/s?q={query}&ie=utf-8"
query_sites = "site:{site}"
user_agent = "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/124.0 Safari/537.36"
headers = { "Accept" = "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8", "Accept-Language" = "zh-CN,zh;q=0.9,en;q=0.8" }
count = ['找到相关结果约?\s*([0-9][0-9,]*)\s*个']
no_results = ['抱歉，未找到和']
blocked = ['<title>[^<]*验证', '请输入验证码', '/captcha']
canary = "so.com"

[providers.bing]
type = "serp"
engine = "必应"
url = "https://cn.bing.com/search?q={query}"
query_sites = "site:{site}"
user_agent = "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/124.0 Safari/537.36"
headers = { "Accept" = "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8", "Accept-Language" = "zh-CN,zh;q=0.9,en;q=0.8" }
# Counts as other locales write them: "About 12,300 results", "41-50 of 985.000 results",
# "16.900.000 results", "19,400,000 Ergebnisse", with thin or no-break spaces between groups.
count = ['class="sb_count"[^>]*>[^<0-9]*(?:[0-9][0-9.,]*\s*-\s*[0-9][0-9.,]*[^<0-9]*)?([0-9][0-9.,\x{00A0}\x{2009}\x{202F} ]*?)\s*(?:条|个)?\s*(?:结果|results|Ergebnisse)']
no_results = ['没有与此相关的结果', 'did not find any results', 'There are no results for']
# Results of a looser query under "No results found for <the exact query>": the exact one has none.
no_exact_results = ['No results found for']
blocked = ['turing/captcha', '<title>[^<]*(?:验证|[Cc]aptcha)']
canary = "microsoft.com"

[providers.yahoo]
type = "serp"
engine = "雅虎"
note = "雅虎中国已于 2013 年关闭，此列显示 search.yahoo.com 的结果数"
url = "https://search.yahoo.com/search?p={query}&ei=UTF-8"
query_sites = "site:{site}"
user_agent = "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/124.0 Safari/537.36"
count = ['<span>[^<0-9]*([0-9][0-9.,\x{00A0}\x{2009}\x{202F} ]*?)\s*(?:search\s+)?(?:results|Ergebnisse)</span>']
no_results = ['We did not find results for']
blocked = ['<title>[^<]*[Cc]aptcha', '/captcha']
canary = "yahoo.com"

[providers.google]
type = "google-cse"
key = ""
cx = ""

[providers.pagerank]
type = "openpagerank"
key = ""
fallback = "cc-graph"

[providers.ccgraph]
type = "cc-graph"
measure = "pagerank"
max_domains = 10000000

[providers.tranco]
type = "tranco"
url = "https://tranco-list.eu/top-1m.csv.zip"
refresh_hours = 24

[providers.trend]
type = "trend"
rank_source = "tranco"
days = 30
)toml";
}

} // namespace valdane::svc

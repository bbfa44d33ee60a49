// What the server test cannot see cheaply: chart markup for any history, and table order.
#include "pages.h"
#include "pieces.h"
#include "routes.h"

#include <gtest/gtest.h>

#include <curl/curl.h>
#include <nlohmann/json.hpp>

#include <cstring>
#include <regex>

using namespace valdane::svc;
using test::Holds;
using test::Lacks;

namespace {

// Balanced tags, entities only where "&" appears, nothing outside the root element.
bool WellFormed(const std::string& xml) {
    // A tag (closing?, name, self-closing?), an entity, text, or a stray "<" or "&".
    static const std::regex token(
        R"(<(/?)([A-Za-z]+)[^<>]*?(/?)>|&(?:amp|lt|gt|quot|#39);|([^<&]+)|([\s\S]))");
    std::vector<std::string> open;
    bool done = false; // the root has closed
    for (std::sregex_iterator it(xml.begin(), xml.end(), token), end; it != end; ++it) {
        const std::smatch& m = *it;
        if (m[5].matched || done || (!m[2].matched && open.empty()))
            return false;
        if (m[2].matched && m[1].length()) {
            if (open.empty() || open.back() != m[2].str())
                return false;
            open.pop_back();
            done = open.empty();
        } else if (m[2].matched && !m[3].length()) {
            open.push_back(m[2].str());
        }
    }
    return done;
}

Measurement M(std::int64_t t, Status status, std::optional<std::int64_t> n = {}) {
    return {status, n, "", "", "<bad> & \"odd\"", t};
}

SiteRow Row(std::string site, std::optional<std::int64_t> last,
            std::optional<std::int64_t> good = {}) {
    Latest l;
    l.last = last ? M(1000, Status::Ok, last) : M(1000, Status::Blocked);
    if (good)
        l.good = M(500, Status::Ok, good);
    return {std::move(site), {l}};
}

} // namespace

TEST(Pages, ChartIsWellFormedSvgForAnyHistory) {
    const std::int64_t day = 86'400'000, t0 = 1'780'000'000'000;
    std::vector<Measurement> many;
    for (int i = 0; i < 60; ++i)
        many.push_back(i % 7 == 3 ? M(t0 + i * day, Status::NetworkError)
                                  : M(t0 + i * day, Status::Ok, 1'000'000'000LL + i));
    many.push_back(M(t0 + 61 * day, Status::NotFound)); // a real zero, on the line
    const std::vector<std::vector<Measurement>> histories = {
        {},
        {M(t0, Status::Ok, 0)},
        {M(t0, Status::Blocked)},
        {M(t0, Status::Ok, 5), M(t0, Status::Ok, 7)}, // same instant
        many,
    };
    for (const auto& history : histories) {
        const std::string svg = LineChart("谷歌 <收录> & co", {{"", &history}});
        EXPECT_TRUE(WellFormed(svg) &&
                    svg.starts_with("<svg xmlns=\"http://www.w3.org/2000/svg\"") &&
                    Holds(svg, "nan|inf").empty())
            << svg;
    }
    const std::string svg = LineChart("x", {{"", &many}});
    EXPECT_EQ(Lacks(svg, "<polyline|10亿"), ""); // the axis reaches the top value
    EXPECT_EQ(svg.find("<polyline", svg.find("<polyline") + 1), std::string::npos);
    // Failures sit on their band below the zero line, never on it; a real zero sits on it.
    std::smatch zero;
    ASSERT_TRUE(std::regex_search(svg, zero, std::regex("<line x1=\"[0-9.]+\" y1=\"([0-9.]+)\"")));
    const double zero_y = std::stod(zero[1]);
    int failures = 0;
    const std::regex cross("<path d=\"M[0-9.]+ ([0-9.]+)L[0-9.]+ ([0-9.]+)");
    for (std::sregex_iterator it(svg.begin(), svg.end(), cross), end; it != end; ++it, ++failures)
        EXPECT_GT(std::min(std::stod((*it)[1]), std::stod((*it)[2])), zero_y + 2);
    EXPECT_EQ(failures, 9);
    EXPECT_NE(svg.find("cy=\"" + std::string(zero[1]) + "\""), std::string::npos);
    // Two lines over a fixed range: each its colour; points outside stay inside the plot.
    const std::vector<Measurement> other{M(t0 - 90 * day, Status::Ok, 3), M(t0, Status::Ok, 4)};
    const std::string two =
        LineChart("y", {{"a.com", &many}, {"b.com", &other}}, t0, t0 + 30 * day);
    EXPECT_TRUE(WellFormed(two)) << two;
    EXPECT_EQ(Lacks(two, std::string(SeriesColour(1))) + Holds(two, "cx=\"-"), "");
}

TEST(Pages, OverviewChangesSortLinksPagerAndCsv) {
    auto fresh = [](std::string site, std::int64_t now, std::optional<std::int64_t> before) {
        SiteRow row = Row(std::move(site), now);
        if (before)
            row.columns[0].previous = row.columns[0].week = PastValue{*before, 900};
        return row;
    };
    SiteRow stale = Row("s.com", {}, 9);
    stale.columns[0].previous = PastValue{4, 400}; // not the store's doing; still not shown
    const std::pair<SiteRow, const char*> cases[] = {
        {fresh("a.com", 1200, 1000), "▲200 +20.0%"},
        {fresh("b.com", 500, 1000), "▼500 -50.0%"},
        {fresh("c.com", 5, 0), "▲5<"},
        {fresh("d.com", 7, 7), "持平"},
        {fresh("e.com", 7, {}), ""}, // no change at all
        {stale, ""},
    };
    for (const auto& [row, shows] : cases) {
        const std::string html = OverviewPage(
            {Page::Ranks, {row}, {0, false, TableOrder::Key::Change}, 1, 100, 1, 2000});
        const bool any = std::regex_search(html, std::regex("<span class=\"(up|down|same)\">"));
        EXPECT_EQ(std::pair(any, *shows ? Lacks(html, shows + std::string("|7天 <span")) : ""),
                  std::pair(*shows != 0, std::string()))
            << row.site;
        // The current order's link flips it; the others start with the largest fall.
        EXPECT_EQ("", Lacks(html, "?sort=0&amp;order=desc&amp;by=change\">变化 ▲|"
                                  "?sort=1&amp;order=asc&amp;by=month\">30天<"));
    }
    EXPECT_EQ(ParseOrder(Page::Ranks, "1", "asc", "week").key, TableOrder::Key::Week);
    EXPECT_EQ(ParseOrder(Page::Ranks, "site", "asc", "week").key, TableOrder::Key::Value);
    EXPECT_EQ(ParseOrder(Page::Ranks, "2", "desc").column, -1); // no column 2: by site
    EXPECT_FALSE(ParseOrder(Page::Ranks, "junk", "up").descending);
    const std::string row = OverviewCsvRows(Page::Ranks, {cases[0].first});
    EXPECT_TRUE(std::regex_search(row, std::regex("^a\\.com,1200,\\d{4}-\\d\\d-\\d\\dT\\d\\d:"
                                                  "\\d\\d:\\d\\d[+-]\\d\\d:\\d\\d,正常,200,200,,")))
        << row;
    // Every page linked in the same order, the pager only where there is more than one.
    const std::vector<SiteRow> rows{Row("c.com", {}, 9), Row("a.com", 5), Row("d.com", {})};
    OverviewView view{Page::Ranks, rows, {0, true}, 6, 100, 1000, 2000};
    const std::string html = OverviewPage(view);
    EXPECT_LT(html.find(">c.com<"), html.find(">a.com<"));
    EXPECT_EQ(Lacks(html, "旧值|共 1,000 个网址|<b>6</b>") + Holds(html, "<bad>"), "");
    const std::string link = "href=\"?sort=0&amp;order=desc&amp;page=";
    for (int n : {1, 4, 5, 7, 8, 10})
        EXPECT_NE(html.find(link + std::to_string(n) + "\""), std::string::npos) << n;
    for (int n : {2, 3, 6, 9})
        EXPECT_EQ(html.find(link + std::to_string(n) + "\""), std::string::npos) << n;
    view.total = 3;
    view.page_number = 1;
    EXPECT_EQ(OverviewPage(view).find("page="), std::string::npos); // one page: no pager
    const std::string csv =
        OverviewCsvHeader(Page::Ranks) + OverviewCsvRows(Page::Ranks, view.rows);
    EXPECT_EQ(csv.rfind("\xEF\xBB\xBF网址,谷歌,", 0), 0u);
    EXPECT_EQ(Lacks(csv, "\r\nc.com,9,"), "");
}

TEST(Pages, RangesAndTheComparePage) {
    for (const auto& [text, days] : std::vector<std::pair<const char*, std::optional<int>>>{
             {"", 30}, {"7", 7}, {"365", 365}, {"all", 0}, {"0", {}}, {"8", {}}, {"30 ", {}}})
        EXPECT_EQ(ParseRange(text), days) << text;
    const std::int64_t now = 1'780'000'000'000;
    const std::vector<std::vector<Measurement>> history{{M(now - 1000, Status::Ok, 5)},
                                                        {M(now - 2000, Status::Blocked)}};
    const std::string html = // a homograph stays as it is
        ComparePage(
            {Page::Sites, 0, 90, {"xn--fiqs8s.cn", "xn--pple-43d.com"}, history, 2, 2, 5, now});
    EXPECT_EQ("", Lacks(html, ">中国.cn</a>|>xn--pple-43d.com</a>|<b>90 天</b>|第 3–4 个|"
                              "compare.htm?t=site&amp;col=0&amp;days=all\"|"
                              "?t=site&amp;col=0&amp;days=90&amp;page=3\""));
}

TEST(Pages, HealthAndCellStatesFromTheFacts) {
    const std::int64_t now = 1'780'000'000'000, h = 3'600'000;
    const std::string unresolved =
        "network-error: " + std::string(curl_easy_strerror(CURLE_COULDNT_RESOLVE_HOST));
    const ProviderState fine, suspended{now + h, "验证页面 (HTTP 302)", false, ""},
        broken{0, "", true, "校验站点 baidu.com 无结果数 (parse-failed)"};
    const SourceInfo google{"google-cse", "Google", {"key"}};
    // last ok, last failure, why, state, store failing; the verdict's word and class, detail
    const std::tuple<std::int64_t, std::int64_t, std::string, ProviderState, bool, std::string,
                     const char*>
        rows[] = {
            {0, 0, "", fine, false, "尚未使用 muted", ""},
            {0, now, unresolved, fine, false, "失败 bad", "网络错误（无法解析主机名）；从未成功"},
            {now - 3 * h, now, unresolved, fine, false, "异常 warn", "上次成功在 3 小时前"},
            {now, now - h, unresolved, fine, false, "正常 good", ""},
            {now - h, now - h, "blocked: 验证页面", suspended, false,
             "暂停至 " + FormatTime(now + h) + " warn", "原因：验证页面 (HTTP 302)"},
            {now - h, now, "parse-failed: x", broken, false, "定义失效 bad",
             "baidu.com 无结果数 （无法解析）"},
            {0, now, "not-configured: x", fine, false, "未设置 warn", "未配置 Google API 密钥"},
            {now, 0, "", fine, true, "无法保存 bad", "无法保存"},
        };
    for (const auto& [ok, fail, why, state, store_failing, verdict, detail] : rows) {
        const HealthVerdict v =
            JudgeHealth({"baidu", "", ok, fail, why, state}, &google, store_failing, now);
        EXPECT_EQ(v.word + " " + v.css + Lacks(v.detail, detail), verdict) << why << v.detail;
    }
    // The same facts as a site's cells tell them.
    CellStateView view{"example.com", now, {}, {}, {}, {}};
    view.sources = {
        {"baidu", {"serp", "百度", {}}}, {"google", google}, {"none", {"none", "", {}}}};
    view.providers = {{"baidu", "", 0, 0, "", {now + h, "", true, "校验站点 baidu.com 无结果数"}}};
    // status, provider, detail, value sent (-1: none), stale, measuring; the JSON status, reason
    const std::tuple<Status, const char*, std::string, std::int64_t, bool, bool, std::string,
                     std::string>
        cases[] = {
            {Status::Ok, "baidu", "", 1234, false, false, "ok", ""},
            {Status::NotFound, "baidu", "", 0, false, false, "not-found", ""},
            {Status::Blocked, "baidu", "", 50, true, false, "blocked",
             "百度 因验证页面暂停至 " + FormatShortTime(now + h)},
            {Status::RateLimited, "baidu", "", -1, false, false, "rate-limited",
             "百度 被限速，" + FormatShortTime(now + h) + " 后重试"},
            {Status::ParseFailed, "baidu", "", -1, false, false, "parse-failed",
             "百度 的页面无法解析，定义需要更新（校验站点 baidu.com 无结果数）"},
            {Status::NetworkError, "google", curl_easy_strerror(CURLE_COULDNT_RESOLVE_HOST), -1,
             false, false, "network-error", "网络错误（无法解析主机名）"},
            {Status::NotConfigured, "google", "", -1, false, false, "not-configured",
             "未配置 Google API 密钥（见服务主页）"},
            {Status::Unsupported, "none", "", -1, false, false, "unsupported", "此列没有数据来源"},
            {Status::NetworkError, "baidu", "", -1, false, true, "measuring",
             "正在测量，约 17 秒后有结果"},
        };
    auto& answers = view.answers[Page::Sites];
    for (const auto& [status, provider, detail, sent, stale, measuring, json, reason] : cases) {
        const Measurement newest{status, sent, "", provider, detail, now - 60'000};
        const int column = static_cast<int>(answers.size());
        view.stored[Page::Sites].push_back({column, newest, {}, {}, {}, {}});
        answers.push_back({column, provider, stale ? M(now - h, Status::Ok, sent) : newest, stale,
                           sent < 0, std::to_string(sent), measuring,
                           measuring ? now + 15'000 : 0});
    }
    const auto doc = nlohmann::json::parse(CellStateJson(view));
    EXPECT_EQ(doc["now"], FormatIsoTime(now));
    EXPECT_EQ(doc["ready_in_s"], 17); // its turn in 15 s, then a typical 2 s
    EXPECT_EQ(doc["pages"]["links"], nlohmann::json::array());
    const auto& cells = doc["pages"]["sites"];
    EXPECT_EQ(cells[1]["title"], "谷歌收录");
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& [status, provider, detail, sent, stale, measuring, json, reason] = cases[i];
        using J = nlohmann::json;
        const J& c = cells[i];
        const J value = sent < 0 ? J() : J(sent), age = sent < 0 ? J() : J(stale ? 3600 : 60);
        EXPECT_EQ(J({c["status"], c["reason"], c["stale"], c["value"], c["age_s"]}),
                  J({json, reason, stale, value, age}))
            << i;
    }
    EXPECT_EQ(cells[2]["next_attempt"], FormatIsoTime(now + h)); // the suspension's end
    EXPECT_EQ(cells[8]["next_attempt"], FormatIsoTime(now + 15'000));
    EXPECT_TRUE(cells[0]["next_attempt"].is_null());
}

TEST(Pages, HomePageSaysWhatToDoAndWhenTheStoreFails) {
    HomeView view;
    view.now_ms = 1'780'000'000'000;
    view.columns[Page::Links] = {"baidu", "cc"};
    view.providers = {{"baidu", "", view.now_ms, 0, "", {}}, {"cc", "", 0, 0, "", {}}};
    view.sources = {{"baidu", {"serp", "百度", {}}}, {"cc", {"cc-graph", "CC", {"cc-links"}}}};
    view.default_config_file = "/home/u/.config/valdane/service.toml";
    view.command = "valdane-service --data /srv/v";
    view.notices = {{StoreNotice::Level::Info, "已新建存储文件 x", 0}};
    EXPECT_EQ(HomePage(view).find("最近的提醒"), std::string::npos); // no rules, no card
    view.alert_rules = 1;
    view.alerts = {
        {{"r", "a.com", false, "<b>a.com</b> 已回升", "t", view.now_ms}, 2, 1, "HTTP 502"}};
    view.failing_channels = {{"ding", 3, "refused (310000)", view.now_ms}};
    std::string html = HomePage(view);
    // A new store is told calmly, not as a warning.
    EXPECT_EQ(Lacks(html, "card alert\">提醒渠道 <code>ding</code>|已解除</span> &lt;b&gt;a.com|"
                          "1/2 已送达|HTTP 502|card info\">已新建|需要导入 Common Crawl 域名图|"
                          "<code>/home/u/.config/valdane/service.toml</code>|"
                          "valdane-service --data /srv/v --import-cc-links "),
              "");
    EXPECT_EQ(Holds(html, "$XDG|无法保存"), "");
    view.notices.push_back({StoreNotice::Level::Error, "磁盘已满", view.now_ms});
    html = HomePage(view);
    EXPECT_NE(html.find("card alert\"><strong>测量结果无法保存"), std::string::npos);
    const std::regex cannot(">无法保存<"); // in every source's health too
    EXPECT_EQ(std::distance(std::sregex_iterator(html.begin(), html.end(), cannot), {}), 2);
}

// Sites shown in Unicode only where nothing hides behind them; errors in plain Chinese.
TEST(Pages, ShownSitesPlainErrorsAndTargets) {
    const std::int64_t until = 1'780'000'000'000;
    const auto site = DisplaySite, error = PlainError;
    const auto target = [](std::string_view text) {
        const Target t = ParseTarget(text);
        std::string shown = t.path;
        for (const auto& [key, value] : t.query)
            shown += " [" + key + "=" + value + "]";
        return shown;
    };
    const std::tuple<std::string (*)(std::string_view), std::string, std::string> rows[] = {
        {site, "example.com", "example.com"},
        {site, "xn--fiqs8s.cn/blog/", "中国.cn/blog/"},
        {site, "xn--e1afmkfd.xn--p1ai", "пример.рф"},
        {site, "xn--zckzah9945czlbtz6h.jp", "日本語テスト.jp"}, // Han with Katakana
        {site, "xn--abc-u68do18h.com", "中文abc.com"},          // Han with Latin
        {site, "xn--3e0bk47br7k.kr", "한국어.kr"},
        {site, "xn--pple-zld.com", "xn--pple-zld.com"},     // Greek α among Latin letters
        {site, "xn--80ak6aa92e.com", "xn--80ak6aa92e.com"}, // all-Cyrillic look-alike of apple
        {site, "xn--zz.com", "xn--zz.com"},                 // not Punycode
        {site, "xn--fiqs8s.xn--pple-43d.com", "中国.xn--pple-43d.com"}, // each label on its own
        {error, std::string("RDAP: ") + curl_easy_strerror(CURLE_OPERATION_TIMEDOUT),
         "RDAP: 连接超时"},
        {error, curl_easy_strerror(CURLE_SSL_CONNECT_ERROR), "TLS 握手失败"},
        {error, std::strerror(ECONNREFUSED), "连接被拒绝"},
        {error, "HTTP 503", "服务器回答 HTTP 503"},
        {error, "暂停至 " + std::to_string(until) + ": HTTP 429",
         "暂停至 " + FormatShortTime(until) + ": HTTP 429"},
        // "+" is a space only in the query; a broken escape stays as it came.
        {target, "/a+b%20c?x+y=1+2&&z=%2B%zz%4", "/a+b c [x y=1 2] [z=+%zz%4]"},
        {target, "/plain?k=v", "/plain [k=v]"},
    };
    for (const auto& [shown, text, plain] : rows)
        EXPECT_EQ(shown(text), plain) << text;
}

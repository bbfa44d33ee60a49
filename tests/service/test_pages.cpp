// What the server test cannot see cheaply: chart markup for any history, and table order.
#include "pages.h"

#include <gtest/gtest.h>

#include <regex>

using namespace valdane::svc;

namespace {

// Balanced tags, entities only where "&" appears, nothing outside the root element.
bool WellFormed(const std::string& xml) {
    std::vector<std::string> open;
    for (std::size_t i = 0; i < xml.size();) {
        if (xml[i] == '&') {
            if (!std::regex_search(xml.begin() + static_cast<long>(i), xml.end(),
                                   std::regex("^&(amp|lt|gt|quot|#39);")))
                return false;
            ++i;
            continue;
        }
        if (xml[i] != '<') {
            if (open.empty())
                return false;
            ++i;
            continue;
        }
        const std::size_t end = xml.find('>', i);
        if (end == std::string::npos)
            return false;
        const std::string tag = xml.substr(i + 1, end - i - 1);
        if (tag.find('<') != std::string::npos || tag.empty())
            return false;
        const std::string name =
            tag.substr(tag[0] == '/', tag.find_first_of(" />", 1) - (tag[0] == '/'));
        if (tag[0] == '/') {
            if (open.empty() || open.back() != name)
                return false;
            open.pop_back();
            if (open.empty() && end + 1 != xml.size())
                return false;
        } else if (tag.back() != '/') {
            open.push_back(name);
        }
        i = end + 1;
    }
    return open.empty();
}

Measurement M(std::int64_t t, Status status, std::optional<std::int64_t> n = {}) {
    Measurement m;
    m.time_ms = t;
    m.status = status;
    m.number = n;
    m.detail = "<bad> & \"odd\"";
    return m;
}

SiteRow Row(std::string site, std::optional<std::int64_t> last,
            std::optional<std::int64_t> good = {}) {
    Latest l;
    l.column = 0;
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
        const std::string svg = LineChart("谷歌 <收录> & co", history);
        EXPECT_TRUE(WellFormed(svg)) << svg;
        EXPECT_EQ(svg.rfind("<svg xmlns=\"http://www.w3.org/2000/svg\"", 0), 0u);
        EXPECT_EQ(svg.find("nan"), std::string::npos) << svg;
        EXPECT_EQ(svg.find("inf"), std::string::npos) << svg;
    }
    const std::string svg = LineChart("x", many);
    EXPECT_NE(svg.find("<polyline"), std::string::npos);
    EXPECT_NE(svg.find("10亿"), std::string::npos); // axis reaches the top value
    EXPECT_EQ(svg.find("<polyline", svg.find("<polyline") + 1), std::string::npos);
}

TEST(Pages, OverviewPageLinksEveryPageInTheSameOrder) {
    OverviewView view{Page::Ranks, {Row("c.com", {}, 9), Row("a.com", 5), Row("d.com", {})},
                      {0, true},   6,
                      100,         1000,
                      2000};
    const std::string html = OverviewPage(view);
    EXPECT_LT(html.find(">c.com<"), html.find(">a.com<"));
    EXPECT_NE(html.find("旧值"), std::string::npos);
    EXPECT_EQ(html.find("<bad>"), std::string::npos);
    EXPECT_NE(html.find("共 1,000 个网址"), std::string::npos);
    const std::string link = "href=\"?sort=0&amp;order=desc&amp;page=";
    for (int n : {1, 4, 5, 7, 8, 10})
        EXPECT_NE(html.find(link + std::to_string(n) + "\""), std::string::npos) << n;
    for (int n : {2, 3, 6, 9})
        EXPECT_EQ(html.find(link + std::to_string(n) + "\""), std::string::npos) << n;
    EXPECT_NE(html.find("<b>6</b>"), std::string::npos);
    EXPECT_EQ(ParseOrder(Page::Ranks, "2", "desc").column, -1); // no column 2: by site
    EXPECT_FALSE(ParseOrder(Page::Ranks, "junk", "up").descending);

    view.total = 3;
    view.page_number = 1;
    EXPECT_EQ(OverviewPage(view).find("page="), std::string::npos); // one page: no pager
    const std::string csv =
        OverviewCsvHeader(Page::Ranks) + OverviewCsvRows(Page::Ranks, view.rows);
    EXPECT_EQ(csv.rfind("\xEF\xBB\xBF网址,谷歌,", 0), 0u);
    EXPECT_NE(csv.find("\r\nc.com,9,"), std::string::npos);
}

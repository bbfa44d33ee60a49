#pragma once

#include "engine.h"
#include "measurement.h"
#include "store.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace valdane::svc {

// The web pages the program opens in the browser. Every function here turns plain data into
// text, so the pages are tested without a server. HTML is UTF-8; CSV is UTF-8 with a BOM.

// The three tracked kinds by the names the program uses in its addresses.
std::optional<Page> PageFromKind(std::string_view t); // "site", "link", "pr"
std::string_view KindOf(Page page);                   // Sites -> "site"
std::string_view OverviewName(Page page);             // Sites -> "sites"
std::string_view KindTitle(Page page);                // Sites -> "收录"

struct HomeView {
    std::int64_t now_ms = 0;
    std::map<Page, std::vector<std::string>> columns; // provider name per column
    std::vector<ProviderHealth> providers;
    std::vector<std::string> notices; // store problems met at start
    std::string config_file;          // "" when built-in defaults
    std::string data_dir;
    std::int64_t fresh_ms = 0;
    std::int64_t deadline_ms = 0;
};

// From "?sort=site|0..n&order=asc|desc"; anything else falls back to by site, ascending.
TableOrder ParseOrder(Page page, std::string_view sort, std::string_view order);

struct DetailView {
    Page page = Page::Sites;
    std::string site;
    std::vector<std::vector<Measurement>> history; // per column, oldest first
    std::int64_t now_ms = 0;
};

std::string HomePage(const HomeView& view);
// One page of an overview; the rows come in order from the store.
struct OverviewView {
    Page page = Page::Sites;
    std::vector<SiteRow> rows;
    TableOrder order;
    std::size_t page_number = 1; // from 1
    std::size_t page_size = 100;
    std::size_t total = 0; // sites in the whole overview
    std::int64_t now_ms = 0;
};
std::string OverviewPage(const OverviewView& view);
// The overview as CSV, streamed: the header (with the BOM), then rows as they come.
std::string OverviewCsvHeader(Page page);
std::string OverviewCsvRows(Page page, const std::vector<SiteRow>& rows);
std::string DetailPage(const DetailView& view);
std::string DetailCsv(const DetailView& view);
// word as received: it may be anything.
std::string UnknownSitePage(Page page, std::string_view word);
std::string ErrorPage(int status, std::string_view path);

// A server-drawn line chart of one column's history (oldest first): successes joined by a
// line, failures marked on the time axis. Valid standalone SVG for any number of points.
std::string LineChart(std::string_view title, const std::vector<Measurement>& history);

// Shared by the pages and the chart.
// The number a measurement stands for (NotFound is a real zero); nullopt for a failure.
std::optional<std::int64_t> ShownValue(const Measurement& m);
std::string HtmlEscape(std::string_view text);
std::string FormatCount(std::int64_t n);                     // 12,345,678
std::string FormatTime(std::int64_t ms);                     // 2026-05-28 14:03 (local time)
std::string FormatAge(std::int64_t ms, std::int64_t now_ms); // 3 小时前
std::string_view StatusText(Status status);                  // 正常, 被拦截, ...

} // namespace valdane::svc

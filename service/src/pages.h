#pragma once

#include "alerts.h"
#include "engine.h"
#include "fleet.h"
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

// What the pages know of a configured source besides its health.
struct SourceInfo {
    std::string type;  // its section's type: "serp", "google-cse", ...
    std::string label; // the name users know it by: "百度", "Google"
    // Setup it still lacks: "key" (an API key in its section), "cc-ranks", "cc-links" or
    // "tranco" (a list not imported or downloaded yet).
    std::vector<std::string> needs;
};
using Sources = std::map<std::string, SourceInfo>; // by provider name
// From each [providers.NAME] section and the data folder.
Sources SourcesOf(const Config& config);
// How to run this service's commands so that they use its configuration and data folder:
// "valdane-service --config FILE --data DIR", each flag only where it differs from the default.
std::string CommandLine(const Config& config);

struct HomeView {
    std::int64_t now_ms = 0;
    std::map<Page, std::vector<std::string>> columns; // provider name per column
    std::vector<ProviderHealth> providers;
    Sources sources;
    std::vector<StoreNotice> notices;
    std::string config_file;         // "" when built-in defaults
    std::string default_config_file; // where the service looks for one without --config
    std::string data_dir;
    std::string store;   // where the measurements are kept; a URI without its password
    std::string command; // this service's command line for its commands, with its --config/--data
    std::int64_t fresh_ms = 0;
    std::int64_t deadline_ms = 0;
    std::size_t alert_rules = 0;    // configured rules; 0 hides the alerts card
    std::vector<AlertEntry> alerts; // newest first
    std::vector<FailingChannel> failing_channels;
    bool shared = false;                 // several instances share the store: list them
    std::vector<InstanceSeen> instances; // seen in the last minutes, this one first
};

// One site's cells on the three tracked pages, for /state.json.
struct CellStateView {
    std::string site;
    std::int64_t now_ms = 0;
    std::map<Page, std::vector<ColumnAnswer>> answers; // Sites, Links, Ranks
    std::map<Page, std::vector<Latest>> stored;        // newest attempts: why a value is stale
    std::vector<ProviderHealth> providers;
    Sources sources;
};

// From "?sort=site|0..n&order=asc|desc&by=value|change|week|month"; anything else falls back
// to by site, ascending, and by a column's value.
TableOrder ParseOrder(Page page, std::string_view sort, std::string_view order,
                      std::string_view by = "");

// The time ranges the charts offer, in days; 0 is the whole history.
inline constexpr int kChartRanges[] = {7, 30, 90, 365, 0};
inline constexpr int kDefaultChartRange = 30;
// From "?days=7|30|90|365|all"; "" is the default range; nullopt for anything else.
std::optional<int> ParseRange(std::string_view days);
// The first moment of a range of days ending at now_ms; 0 (all history) for range 0.
std::int64_t RangeStart(int days, std::int64_t now_ms);

struct DetailView {
    Page page = Page::Sites;
    std::string site;
    std::vector<std::vector<Measurement>> history; // per column, oldest first, within the range
    std::int64_t now_ms = 0;
    int days = kDefaultChartRange; // of kChartRanges
};

// One column of every site on one chart, a page of sites at a time in the overview's order of
// that column's value, largest first.
struct CompareView {
    Page page = Page::Sites;
    int column = 0;
    int days = kDefaultChartRange;
    std::vector<std::string> sites;
    std::vector<std::vector<Measurement>> history; // per site, oldest first, within the range
    std::size_t page_number = 1;                   // from 1
    std::size_t page_size = 10;
    std::size_t total = 0; // sites in the whole overview
    std::int64_t now_ms = 0;
};
std::string ComparePage(const CompareView& view);

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
std::string CellStateJson(const CellStateView& view);
std::string CellStateError(std::string_view why); // {"error":"..."}

// One line of a chart: a name for its tooltips ("" with one line) and its history, oldest first.
struct ChartSeries {
    std::string name;
    const std::vector<Measurement>* history;
};
// A server-drawn line chart: successes joined by a line, failed attempts marked on a band of
// their own below the plot. The time axis runs from from_ms to to_ms (0: the data's first or
// last time). Valid standalone SVG for any number of points.
std::string LineChart(std::string_view title, const std::vector<ChartSeries>& series,
                      std::int64_t from_ms = 0, std::int64_t to_ms = 0);
// The colour of the i-th line, for a legend beside the chart.
std::string_view SeriesColour(std::size_t i);

// Shared by the pages and the chart.
// The number a measurement stands for (NotFound is a real zero); nullopt for a failure.
std::optional<std::int64_t> ShownValue(const Measurement& m);
std::string HtmlEscape(std::string_view text);
std::string FormatCount(std::int64_t n);                     // 12,345,678
std::string FormatTime(std::int64_t ms);                     // 2026-05-28 14:03 (local time)
std::string FormatAge(std::int64_t ms, std::int64_t now_ms); // 3 小时前
std::string FormatShortTime(std::int64_t ms);                // 12-08 10:20 (local time)
std::string FormatIsoTime(std::int64_t ms);                  // 2026-12-08T10:20:00+08:00

// A site as people read it: IDN labels in Unicode where no other name could hide behind them
// (one script, or Chinese, Japanese or Korean with Latin), otherwise in their xn-- form.
std::string DisplaySite(std::string_view site);

// curl's and the system's English error texts in Chinese; any other text as it is.
std::string PlainError(std::string_view detail);
// Why a cell shows no current value, as the program puts it after "暂无数据：": "" for a
// value. health and source describe the measurement's source (null when unknown).
std::string Reason(const Measurement& m, const ProviderHealth* health, const SourceInfo* source,
                   std::int64_t now_ms);
// The newest failure the engine saw of a source, as a measurement.
Measurement LastFailure(const ProviderHealth& p);

// A source's health from the facts: never succeeded and failing is 失败, failing after
// successes 异常, then suspensions, broken definitions and a store that cannot record.
struct HealthVerdict {
    std::string word; // 正常, 异常, 失败, 暂停至 ..., 定义失效, 未设置, 尚未使用, 无法保存
    std::string css;      // good, warn, bad, muted
    std::string detail;   // why, in Chinese
    std::string original; // the source's own text, for a tooltip
};
HealthVerdict JudgeHealth(const ProviderHealth& p, const SourceInfo* source, bool store_failing,
                          std::int64_t now_ms);

} // namespace valdane::svc

#include "routes.h"

#include "alerts.h"
#include "fleet.h"
#include "pages.h"
#include "protocol.h"

#include <algorithm>
#include <charconv>
#include <memory>
#include <optional>

namespace valdane::svc {
namespace {

constexpr const char* kHtml = "text/html; charset=utf-8";
constexpr const char* kGbk = "text/html; charset=gb2312";
constexpr const char* kCsv = "text/csv; charset=utf-8";
constexpr std::size_t kMaxPage = 100'000'000; // far past any store; keeps the offset in range

std::string Decode(std::string_view text, bool plus_is_space) {
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    if (std::none_of(text.begin(), text.end(),
                     [&](char c) { return c == '%' || (plus_is_space && c == '+'); }))
        return std::string(text);
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
            out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
            i += 2;
        } else {
            out += plus_is_space && c == '+' ? ' ' : c;
        }
    }
    return out;
}

// The value of key when the query holds it exactly once.
std::optional<std::string> Single(const Target& t, std::string_view key) {
    std::optional<std::string> found;
    for (const auto& [k, v] : t.query) {
        if (k != key)
            continue;
        if (found)
            return std::nullopt;
        found = v;
    }
    return found;
}

std::string Param(const Target& t, std::string_view key) {
    for (const auto& [k, v] : t.query)
        if (k == key)
            return v;
    return "";
}

std::string OneLine(std::string text) {
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    return text;
}

WebResponse Html(int status, std::string body) {
    WebResponse r;
    r.status = status;
    r.content_type = kHtml;
    r.body = std::move(body);
    return r;
}

// "?page=N", 1 without one; nullopt when it is not a page number.
std::optional<std::size_t> PageNumber(const Target& target) {
    std::size_t n = 1;
    if (const std::string text = Param(target, "page"); !text.empty()) {
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
        if (ec != std::errc() || end != text.data() + text.size() || n == 0 || n > kMaxPage)
            return std::nullopt;
    }
    return n;
}

WebResponse NotFound(std::string_view path) {
    return Html(404, ErrorPage(404, path));
}

} // namespace

Target ParseTarget(std::string_view target) {
    Target t;
    const std::size_t q = target.find('?');
    t.path = Decode(target.substr(0, q), false);
    if (q == std::string_view::npos)
        return t;
    std::string_view rest = target.substr(q + 1);
    t.query.reserve(static_cast<std::size_t>(std::count(rest.begin(), rest.end(), '&')) + 1);
    while (!rest.empty()) {
        const std::size_t amp = rest.find('&');
        const std::string_view part = rest.substr(0, amp);
        if (!part.empty()) {
            const std::size_t eq = part.find('=');
            t.query.emplace_back(Decode(part.substr(0, eq), true),
                                 eq == std::string_view::npos ? std::string()
                                                              : Decode(part.substr(eq + 1), true));
        }
        rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
    }
    return t;
}

bool AsksEngine(std::string_view target) {
    const std::string_view path = target.substr(0, target.find('?'));
    return path.substr(0, kServiceFolder.size()) == kServiceFolder &&
           PageFromFile(path.substr(kServiceFolder.size())).has_value();
}

Routes::Routes(const Config& config, Engine& engine, Store& store, Clock& clock)
    : config_(config), engine_(engine), store_(store), clock_(clock) {}

WebResponse Routes::Serve(const WebRequest& request) {
    const Target target = ParseTarget(request.target);
    const std::string_view path = target.path;
    WebResponse r = NotFound(path);
    if (path.substr(0, kServiceFolder.size()) == kServiceFolder) {
        const std::string_view file = path.substr(kServiceFolder.size());
        if (file == "Update.txt")
            r = Update();
        else if (auto page = PageFromFile(file))
            r = *Protocol(*page, target, request.arrived_ms, false);
    } else if (path == "/") {
        r = Home();
    } else if (path == "/healthz" || path == "/readyz") {
        r = Health(path == "/readyz");
    } else if (path == "/state.json") {
        r = CellState(target);
    } else if (constexpr std::string_view seo = "/ostrem/seo/"; path.substr(0, seo.size()) == seo) {
        const std::string_view file = path.substr(seo.size());
        if (file == "show.asp")
            r = Detail(target);
        else if (file == "compare.htm")
            r = Compare(target);
        for (Page page : {Page::Sites, Page::Links, Page::Ranks}) {
            const std::string name(OverviewName(page));
            if (file == name + ".htm" || file == name + ".csv")
                r = Overview(page, file.back() == 'v', target);
        }
    }
    r.headers.emplace_back("X-Content-Type-Options", "nosniff");
    return r;
}

std::optional<WebResponse> Routes::ServeNow(const WebRequest& request) {
    const Target target = ParseTarget(request.target);
    const std::string_view path = target.path;
    if (path.substr(0, kServiceFolder.size()) != kServiceFolder)
        return std::nullopt;
    const std::optional<Page> page = PageFromFile(path.substr(kServiceFolder.size()));
    std::optional<WebResponse> r;
    if (page && (r = Protocol(*page, target, request.arrived_ms, true)))
        r->headers.emplace_back("X-Content-Type-Options", "nosniff");
    return r;
}

// The deadline runs from arrived_ms, so that the wait in the server's queue counts too.
std::optional<WebResponse> Routes::Protocol(Page page, const Target& target,
                                            std::int64_t arrived_ms, bool store_only) {
    std::optional<std::string> payload;
    // The program sends exactly these three; anything else (an "&" inside its target splits
    // the target into a second parameter) is not a question we can answer faithfully.
    const std::optional<std::string> site = Single(target, "sUrl");
    if (site && Single(target, "sFrom") && Single(target, "Key") && target.query.size() == 3) {
        payload = store_only ? engine_.AnswerFromStore(page, *site)
                             : engine_.Answer(page, *site, arrived_ms);
        if (!payload && store_only)
            return std::nullopt;
    }
    WebResponse r;
    r.content_type = kGbk;
    r.headers.emplace_back("Cache-Control", "no-store");
    r.body = Envelope(payload.value_or("false"));
    return r;
}

WebResponse Routes::Update() {
    WebResponse r;
    r.content_type = kGbk;
    r.headers.emplace_back("Cache-Control", "no-store");
    r.body = Envelope("[ConFig]\r\nVersion=" + OneLine(config_.update.version) + "\r\nName=" +
                      OneLine(config_.update.name) + "\r\nUrl=" + OneLine(config_.update.url));
    return r;
}

WebResponse Routes::Overview(Page page, bool csv, const Target& target) {
    const TableOrder order =
        ParseOrder(page, Param(target, "sort"), Param(target, "order"), Param(target, "by"));
    const std::optional<std::size_t> number = PageNumber(target);
    if (!number || (csv && !Param(target, "page").empty()))
        return NotFound(target.path);
    const std::size_t page_number = *number;
    const std::size_t offset = (page_number - 1) * kOverviewPageSize;
    const std::shared_ptr<OverviewCursor> cursor = store_.Overview(page, order, offset);
    // The CSV needs no count: its first rows leave at once.
    const std::optional<std::size_t> total = !cursor ? std::nullopt
                                             : csv   ? std::optional<std::size_t>(0)
                                                     : cursor->Total();
    std::optional<std::vector<SiteRow>> rows;
    if (total)
        rows = cursor->Next(csv ? kOverviewCsvBatch : kOverviewPageSize);
    if (!rows)
        return Html(503, ErrorPage(503, target.path));
    if (!csv && rows->empty() && page_number > 1)
        return NotFound(target.path);
    if (!csv)
        return Html(200, OverviewPage(OverviewView{page, std::move(*rows), order, page_number,
                                                   kOverviewPageSize, *total, clock_.NowMs()}));
    WebResponse r;
    r.content_type = kCsv;
    const std::string name(OverviewName(page));
    r.headers.emplace_back("Content-Disposition", "attachment; filename=\"" + name + ".csv\"");
    r.body = OverviewCsvHeader(page) + OverviewCsvRows(page, *rows);
    r.next = [page, cursor](std::string* out) {
        const auto more = cursor->Next(kOverviewCsvBatch);
        if (!more)
            return WebResponse::Piece::Failed;
        if (more->empty())
            return WebResponse::Piece::End;
        *out += OverviewCsvRows(page, *more);
        return WebResponse::Piece::More;
    };
    return r;
}

WebResponse Routes::Detail(const Target& target) {
    const std::optional<Page> page = PageFromKind(Param(target, "t"));
    const std::optional<int> days = ParseRange(Param(target, "days"));
    if (!page || !days)
        return NotFound(target.path);
    const std::string word = Param(target, "word");
    const bool csv = Param(target, "format") == "csv";
    const std::int64_t now = clock_.NowMs();
    DetailView view{*page, NormalizeSite(*page, word).value_or(""), {}, now, *days};
    std::optional<std::vector<Latest>> known;
    if (!view.site.empty() && !(known = store_.LatestRow(view.site, *page)))
        return Html(503, ErrorPage(503, target.path));
    if (!known || known->empty())
        return Html(404, UnknownSitePage(*page, word));
    // The CSV holds the whole history whatever the range the page shows.
    const std::int64_t since = csv ? 0 : RangeStart(*days, now);
    for (int c = 0; c < ColumnCount(*page); ++c)
        view.history.push_back(store_.History(view.site, *page, c, since));
    if (!csv)
        return Html(200, DetailPage(view));
    WebResponse r;
    std::string file = view.site + "-" + std::string(KindOf(*page)) + ".csv";
    std::replace(file.begin(), file.end(), '/', '_');
    r.headers.emplace_back("Content-Disposition", "attachment; filename=\"" + file + "\"");
    r.content_type = kCsv;
    r.body = DetailCsv(view);
    return r;
}

WebResponse Routes::Compare(const Target& target) {
    const std::optional<Page> page = PageFromKind(Param(target, "t"));
    const std::optional<int> days = ParseRange(Param(target, "days"));
    const std::optional<std::size_t> number = PageNumber(target);
    const std::string col = Param(target, "col");
    if (!page || !days || !number || col.size() != 1 || col[0] < '0' ||
        col[0] - '0' >= ColumnCount(*page) || !IsNumericColumn(*page, col[0] - '0'))
        return NotFound(target.path);
    CompareView view;
    view.page = *page;
    view.column = col[0] - '0';
    view.days = *days;
    view.page_number = *number;
    view.now_ms = clock_.NowMs();
    const std::unique_ptr<OverviewCursor> cursor = store_.Overview(
        *page, {view.column, true, TableOrder::Key::Value}, (*number - 1) * view.page_size);
    const std::optional<std::size_t> total = cursor ? cursor->Total() : std::nullopt;
    std::optional<std::vector<SiteRow>> rows;
    if (total)
        rows = cursor->Next(view.page_size);
    if (!rows)
        return Html(503, ErrorPage(503, target.path));
    if (rows->empty() && *number > 1)
        return NotFound(target.path);
    view.total = *total;
    const std::int64_t since = RangeStart(*days, view.now_ms);
    for (const SiteRow& row : *rows) {
        view.sites.push_back(row.site);
        view.history.push_back(store_.History(row.site, *page, view.column, since));
    }
    return Html(200, ComparePage(view));
}

WebResponse Routes::Home() {
    HomeView view;
    view.now_ms = clock_.NowMs();
    view.columns = config_.columns;
    view.providers = engine_.Health();
    view.sources = SourcesOf(config_);
    view.notices = store_.Notices();
    view.config_file = config_.source_file.string();
    view.default_config_file = DefaultConfigPath().string();
    view.data_dir = config_.data_dir.string();
    view.store = StoreLocation(config_.store, config_.data_dir);
    view.command = CommandLine(config_);
    view.fresh_ms = config_.fresh_ms;
    view.deadline_ms = config_.deadline_ms;
    view.alert_rules = config_.alert_rules.size();
    if (alerts_) {
        view.alerts = alerts_->Recent(20);
        view.failing_channels = alerts_->FailingChannels();
    }
    if (fleet_) {
        view.shared = true;
        view.instances = fleet_->Instances(kInstancesShownMs);
    }
    return Html(200, HomePage(view));
}

// For a load balancer: the process answers (healthz), and its store does too with the layout
// this service expects (readyz); a 503 says why not.
WebResponse Routes::Health(bool ready) {
    WebResponse r;
    r.content_type = "text/plain; charset=utf-8";
    r.headers.emplace_back("Cache-Control", "no-store");
    const std::string why = ready ? store_.Unready() : "";
    r.status = why.empty() ? 200 : 503;
    r.body = (why.empty() ? "ok" : OneLine(why)) + "\n";
    return r;
}

WebResponse Routes::CellState(const Target& target) {
    WebResponse r;
    r.content_type = "application/json; charset=utf-8";
    r.headers.emplace_back("Cache-Control", "no-store");
    auto refuse = [&](int status, std::string_view why) {
        r.status = status;
        r.body = CellStateError(why);
        return r;
    };
    // The site as the protocol pages take it: the three tracked pages normalise alike.
    const std::optional<std::string> sUrl = Single(target, "sUrl");
    const std::optional<std::string> site = sUrl ? NormalizeSite(Page::Sites, *sUrl) : std::nullopt;
    if (!site)
        return refuse(404, "不是有效的网址");
    CellStateView view;
    view.now_ms = clock_.NowMs();
    view.site = *site;
    for (Page page : {Page::Sites, Page::Links, Page::Ranks}) {
        auto answers = engine_.State(page, *sUrl);
        auto stored = store_.LatestRow(*site, page);
        if (!answers || !stored)
            return refuse(503, "存储无法读取");
        view.answers[page] = std::move(*answers);
        view.stored[page] = std::move(*stored);
    }
    view.providers = engine_.Health();
    view.sources = SourcesOf(config_);
    r.body = CellStateJson(view);
    return r;
}

} // namespace valdane::svc

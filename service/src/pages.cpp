#include "pages.h"

#include "protocol.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>

namespace valdane::svc {
namespace {

constexpr std::array<Page, 3> kTracked{Page::Sites, Page::Links, Page::Ranks};
constexpr std::array<Page, 5> kAllPages{Page::Sites, Page::Links, Page::Ranks, Page::Whois,
                                        Page::Alexa};
constexpr std::size_t kDetailRows = 200;

constexpr std::string_view kStyle =
    "body{margin:0;font:15px/1.6 'Noto Sans CJK SC','WenQuanYi Micro Hei','Microsoft YaHei',"
    "sans-serif;color:#1f2933;background:#f5f7fa}"
    "header{background:#1e3a8a}"
    "nav{max-width:1100px;margin:0 auto;padding:12px 20px;display:flex;gap:22px;"
    "align-items:baseline;flex-wrap:wrap}"
    "nav a{color:#c7d2fe;text-decoration:none}nav a.on{color:#fff;font-weight:600}"
    "nav a.brand{color:#fff;font-size:17px;font-weight:700;margin-right:auto}"
    "main{max-width:1100px;margin:0 auto;padding:18px 20px}"
    "h1{font-size:22px;margin:6px 0 14px}h2{font-size:17px;margin:0 0 10px}"
    "h3{font-size:15px;margin:16px 0 6px}"
    ".card{background:#fff;border:1px solid #e4e7eb;border-radius:6px;padding:16px 20px;"
    "margin-bottom:18px;overflow-x:auto}"
    ".notice{background:#fff8e6;border-color:#f0c36d}"
    ".alert{background:#fdecec;border-color:#f5a3a3;color:#9b1c1c}"
    ".info{background:#eef4ff;border-color:#c7d7fe}"
    "pre{background:#f0f4f8;padding:8px 12px;border-radius:4px;white-space:pre-wrap;"
    "word-break:break-all;margin:6px 0}"
    "table{border-collapse:collapse;width:100%}table.src{table-layout:fixed}"
    "table.src th:nth-child(1){width:7em}table.src th:nth-child(2){width:9em}"
    "th,td{padding:6px 10px;border-bottom:1px solid #e4e7eb;text-align:left;vertical-align:top}"
    "th{background:#f0f4f8;font-weight:600;white-space:nowrap}th a{color:inherit}"
    "td.n,th.n{text-align:right;white-space:nowrap;font-variant-numeric:tabular-nums}"
    ".sub{display:block;color:#7b8794;font-size:12px}"
    ".stale{color:#b45309}.missing{color:#9aa5b1}.bad{color:#c81e1e}.good{color:#057a55}"
    ".warn{color:#b45309}.muted{color:#7b8794}a{color:#1d4ed8}"
    ".up{color:#057a55}.down{color:#c81e1e}.same{color:#7b8794}th .sub a{font-weight:400}"
    ".tools{margin:-6px 0 14px}.tools a{margin-right:16px}"
    ".pager a,.pager b,.pager span{margin-right:10px}"
    ".charts{display:grid;grid-template-columns:repeat(auto-fill,minmax(480px,1fr));gap:18px}"
    ".charts .card{margin:0}svg{max-width:100%;height:auto}.wide svg{width:100%}"
    "code{background:#f0f4f8;padding:1px 5px;border-radius:3px}"
    "footer{max-width:1100px;margin:0 auto;padding:4px 20px 30px;color:#9aa5b1;font-size:13px}";

std::string Layout(std::string_view title, std::string_view current, std::string_view body) {
    std::string html = "<!DOCTYPE html>\n<html lang=\"zh-CN\"><head><meta charset=\"utf-8\">"
                       "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">"
                       "<title>";
    html += HtmlEscape(title);
    html += " · Valdane 查询服务</title><style>";
    html += kStyle;
    html += "</style></head><body><header><nav><a class=\"brand\" href=\"/\">Valdane 查询服务</a>";
    for (Page page : kTracked) {
        const std::string name(OverviewName(page));
        html += "<a href=\"/ostrem/seo/" + name + ".htm\"" +
                (current == name ? " class=\"on\"" : "") + ">" + std::string(KindTitle(page)) +
                "</a>";
    }
    html += "</nav></header><main>";
    html += body;
    html += "</main><footer>Valdane 查询服务 · 数据来自配置的各数据源，取不到的值从不显示为 "
            "0。</footer></body></html>\n";
    return html;
}

std::string DetailHref(Page page, std::string_view site) {
    return "/ostrem/seo/show.asp?t=" + std::string(KindOf(page)) +
           "&amp;word=" + PercentEncode(site, true);
}

std::string RangeQuery(int days) {
    return "days=" + (days ? std::to_string(days) : std::string("all"));
}

std::string CompareHref(Page page, int column, int days) {
    return "/ostrem/seo/compare.htm?t=" + std::string(KindOf(page)) +
           "&amp;col=" + std::to_string(column) + "&amp;" + RangeQuery(days);
}

// 最近 7 天 | 30 天 | ... | 全部: href_of(days) names each range's page.
template <typename Href> std::string RangeLinks(int current, Href href_of) {
    std::string html = "<p class=\"tools\">时间范围：";
    for (int days : kChartRanges) {
        const std::string label = days ? std::to_string(days) + " 天" : "全部";
        html += days == current ? "<b>" + label + "</b> "
                                : "<a href=\"" + href_of(days) + "\">" + label + "</a> ";
    }
    return html + "</p>";
}

std::string Why(const Measurement& m) {
    std::string why(StatusText(m.status));
    if (!m.detail.empty())
        why += "：" + PlainError(m.detail);
    return why;
}

// One overview cell: the value the program was sent, and how much to trust it.
struct Cell {
    enum State { Fresh, Stale, Missing } state = Missing;
    std::optional<std::int64_t> value;
    std::int64_t time_ms = 0;
    std::string why;
    std::string_view status = "尚未测量";
    std::optional<PastValue> previous, week, month; // Fresh only
};

Cell CellOf(const SiteRow& row, int column) {
    Cell cell;
    const auto it = std::find_if(row.columns.begin(), row.columns.end(),
                                 [&](const Latest& l) { return l.column == column; });
    if (it == row.columns.end()) {
        cell.why = "尚未测量";
        return cell;
    }
    if ((cell.value = ShownValue(it->last))) {
        cell.state = Cell::Fresh;
        cell.time_ms = it->last.time_ms;
        cell.previous = it->previous;
        cell.week = it->week;
        cell.month = it->month;
        return cell;
    }
    cell.why = Why(it->last);
    cell.status = StatusText(it->last.status);
    if (it->good && (cell.value = ShownValue(*it->good))) {
        cell.state = Cell::Stale;
        cell.time_ms = it->good->time_ms;
    }
    return cell;
}

constexpr std::string_view kKeyNames[] = {"value", "change", "week", "month"};

std::string OrderQuery(TableOrder order) {
    std::string query =
        "sort=" + (order.column < 0 ? std::string("site") : std::to_string(order.column)) +
        "&amp;order=" + (order.descending ? "desc" : "asc");
    if (order.column >= 0 && order.key != TableOrder::Key::Value)
        query += "&amp;by=" + std::string(kKeyNames[static_cast<int>(order.key)]);
    return query;
}

// "▲1,200 +3.4%": how far `now` moved from `then`; the percent only where it means something.
struct Change {
    std::string text;
    std::string_view css; // up, down, same
};
Change ChangeOf(std::int64_t now, std::int64_t then) {
    if (now == then)
        return {"持平", "same"};
    const std::int64_t d = now - then;
    Change c{(d > 0 ? "▲" : "▼") + FormatCount(d > 0 ? d : -d), d > 0 ? "up" : "down"};
    if (then > 0) {
        char percent[32];
        std::snprintf(percent, sizeof percent, " %+.1f%%", 100.0 * static_cast<double>(d) / then);
        c.text += percent;
    }
    return c;
}

// The change lines under a fresh value: since the previous value, then over 7 and 30 days,
// each with what it is measured against in the tooltip.
std::string ChangeLines(const Cell& cell) {
    std::string html, tip;
    auto part = [&](std::string_view label, const std::optional<PastValue>& past) {
        if (!past)
            return std::string();
        const Change c = ChangeOf(*cell.value, past->value);
        tip += std::string(label) + "：" + FormatCount(past->value) + "（" +
               FormatTime(past->time_ms) + "）\n";
        return "<span class=\"" + std::string(c.css) + "\">" + HtmlEscape(c.text) + "</span>";
    };
    if (const std::string since = part("上次", cell.previous); !since.empty())
        html += "<span class=\"sub\">" + since + "</span>";
    std::string spans;
    for (const auto& [label, past] :
         {std::pair<std::string_view, const std::optional<PastValue>*>{"7天", &cell.week},
          {"30天", &cell.month}})
        if (const std::string text = part(std::string(label) + "前", *past); !text.empty())
            spans += (spans.empty() ? "" : " · ") + std::string(label) + " " + text;
    if (!spans.empty())
        html += "<span class=\"sub\">" + spans + "</span>";
    if (tip.empty())
        return "";
    tip.pop_back();
    return "<span title=\"" + HtmlEscape(tip) + "\">" + html + "</span>";
}

// 上一页 1 … 4 5 [6] 7 8 … 1000 下一页: every page a link that keeps the order.
// query: what every link keeps besides the page.
std::string Pager(const std::string& query, std::size_t at, std::size_t pages) {
    if (pages <= 1)
        return "";
    auto link = [&](std::size_t n, const std::string& label) {
        return "<a href=\"?" + query + "&amp;page=" + std::to_string(n) + "\">" + label + "</a>";
    };
    std::string html = "<p class=\"pager\">";
    if (at > 1)
        html += link(at - 1, "上一页");
    const std::size_t from = at > 3 ? at - 2 : 1, to = std::min(pages, at + 2);
    std::vector<std::size_t> shown{1};
    for (std::size_t n = std::max<std::size_t>(from, 2); n <= to; ++n)
        shown.push_back(n);
    if (shown.back() != pages)
        shown.push_back(pages);
    for (std::size_t i = 0; i < shown.size(); ++i) {
        if (i > 0 && shown[i] > shown[i - 1] + 1)
            html += "<span class=\"muted\">…</span>";
        const std::size_t n = shown[i];
        html += n == at ? "<b>" + std::to_string(n) + "</b>" : link(n, std::to_string(n));
    }
    if (at < pages)
        html += link(at + 1, "下一页");
    return html + "</p>";
}

// A header that sorts by its column: first click asks for the natural order, the next flips.
std::string SortLink(std::string_view label, TableOrder order, TableOrder current,
                     bool first_descending) {
    const bool on = current.column == order.column && current.key == order.key;
    order.descending = on ? !current.descending : first_descending;
    return "<a href=\"?" + OrderQuery(order) + "\">" + HtmlEscape(label) +
           (on ? (current.descending ? " ▼" : " ▲") : "") + "</a>";
}

// A column's header sorts by its value; a numeric one also by its changes, largest fall first.
std::string SortHeader(std::string_view label, int column, TableOrder current, bool numeric) {
    using Key = TableOrder::Key;
    std::string html = std::string("<th") + (numeric ? " class=\"n\"" : "") + ">" +
                       SortLink(label, {column, false, Key::Value}, current, numeric);
    if (numeric) {
        html += "<span class=\"sub\">";
        for (const auto& [word, key] :
             {std::pair{"变化", Key::Change}, {"7天", Key::Week}, {"30天", Key::Month}})
            html += " " + SortLink(word, {column, false, key}, current, false);
        html += "</span>";
    }
    return html + "</th>";
}

std::string CsvField(std::string_view text) {
    std::string field(text);
    // A leading formula character would be run by a spreadsheet.
    if (!field.empty() && std::string_view("=+-@").find(field.front()) != std::string_view::npos)
        field.insert(0, "'");
    if (field.find_first_of(",\"\r\n") == std::string::npos)
        return field;
    std::string quoted = "\"";
    for (char c : field)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string CsvLine(const std::vector<std::string>& fields) {
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i)
        line += (i ? "," : "") + CsvField(fields[i]);
    return line + "\r\n";
}

constexpr std::string_view kBom = "\xEF\xBB\xBF";

std::string When(std::int64_t ms, std::int64_t now_ms) {
    return HtmlEscape(FormatTime(ms)) + "<span class=\"sub\">" + HtmlEscape(FormatAge(ms, now_ms)) +
           "</span>";
}

std::string Duration(std::int64_t ms) {
    if (ms % 3600000 == 0)
        return std::to_string(ms / 3600000) + " 小时";
    if (ms % 60000 == 0)
        return std::to_string(ms / 60000) + " 分钟";
    return std::to_string(ms / 1000) + " 秒";
}

} // namespace

std::optional<int> ParseRange(std::string_view days) {
    if (days.empty())
        return kDefaultChartRange;
    for (int range : kChartRanges)
        if (days == (range ? std::to_string(range) : "all"))
            return range;
    return std::nullopt;
}

std::int64_t RangeStart(int days, std::int64_t now_ms) {
    return days ? now_ms - days * 24LL * 3600 * 1000 : 0;
}

std::optional<Page> PageFromKind(std::string_view t) {
    for (Page page : kTracked)
        if (KindOf(page) == t)
            return page;
    return std::nullopt;
}

std::string_view KindOf(Page page) {
    return page == Page::Links ? "link" : page == Page::Ranks ? "pr" : "site";
}

std::string_view OverviewName(Page page) {
    return page == Page::Links ? "links" : page == Page::Ranks ? "ranks" : "sites";
}

std::string_view KindTitle(Page page) {
    switch (page) {
    case Page::Sites:
        return "收录";
    case Page::Links:
        return "反链";
    case Page::Ranks:
        return "排名";
    case Page::Whois:
        return "WHOIS";
    case Page::Alexa:
        return "综合排名";
    }
    return "";
}

TableOrder ParseOrder(Page page, std::string_view sort, std::string_view order,
                      std::string_view by) {
    TableOrder result;
    result.descending = order == "desc";
    if (sort.size() == 1 && sort[0] >= '0' && sort[0] - '0' < ColumnCount(page)) {
        result.column = sort[0] - '0';
        for (int k = 1; k < 4; ++k)
            if (by == kKeyNames[k])
                result.key = static_cast<TableOrder::Key>(k);
    }
    return result;
}

// Negative numbers stand for "no entry at the source": shown as missing, never as a value.
std::optional<std::int64_t> ShownValue(const Measurement& m) {
    if (m.status == Status::Ok && m.number && *m.number >= 0)
        return m.number;
    if (m.status == Status::NotFound && m.number.value_or(0) >= 0)
        return m.number.value_or(0);
    return std::nullopt;
}

std::string HtmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string FormatCount(std::int64_t n) {
    const std::uint64_t magnitude =
        n < 0 ? 0 - static_cast<std::uint64_t>(n) : static_cast<std::uint64_t>(n);
    std::string digits = std::to_string(magnitude);
    for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3)
        digits.insert(static_cast<std::size_t>(i), 1, ',');
    if (n < 0)
        digits.insert(0, 1, '-');
    return digits;
}

std::string FormatTime(std::int64_t ms) {
    const std::time_t t = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &tm);
    return buf;
}

std::string FormatAge(std::int64_t ms, std::int64_t now_ms) {
    const std::int64_t minutes = (now_ms - ms) / 60000;
    if (minutes < 1)
        return "刚刚";
    if (minutes < 60)
        return std::to_string(minutes) + " 分钟前";
    if (minutes < 48 * 60)
        return std::to_string(minutes / 60) + " 小时前";
    return std::to_string(minutes / (24 * 60)) + " 天前";
}

namespace {

const SourceInfo* SourceOf(const HomeView& view, const std::string& name) {
    const auto it = view.sources.find(name);
    return it == view.sources.end() ? nullptr : &it->second;
}

// The setup a column still lacks: a cc-graph source serves ranks from one import and
// referring domains from the other.
std::vector<std::string> ColumnNeeds(Page page, const SourceInfo& source) {
    std::vector<std::string> out;
    for (const std::string& need : source.needs)
        if (source.type != "cc-graph" || need == (page == Page::Ranks ? "cc-ranks" : "cc-links"))
            out.push_back(need);
    return out;
}

std::string_view NeedText(std::string_view need) {
    if (need == "key")
        return "需要 API 密钥";
    if (need == "cc-ranks")
        return "需要导入 Common Crawl 排名";
    if (need == "cc-links")
        return "需要导入 Common Crawl 域名图";
    return "Tranco 列表尚未下载";
}

bool NeedsSetup(const SourceInfo& source) {
    return source.type == "google-cse" || source.type == "openpagerank" ||
           source.type == "cc-graph" || source.type == "tranco";
}

// The settings cell of one column: whether it works as it is, and if not what it lacks.
std::string SetupCell(Page page, const std::string& name, const SourceInfo* source) {
    if (!source)
        return "<span class=\"good\">无需设置</span>";
    const std::vector<std::string> needs = ColumnNeeds(page, *source);
    if (needs.empty())
        return NeedsSetup(*source) ? "<span class=\"good\">已设置</span>"
                                   : "<span class=\"good\">无需设置</span>";
    std::string text;
    for (const std::string& need : needs)
        text += (text.empty() ? "" : "，或") + std::string(NeedText(need));
    return "<span class=\"warn\">" + text + "</span><span class=\"sub\"><a href=\"#setup-" +
           HtmlEscape(name) + "\">怎样设置</a></span>";
}

std::string Pre(std::string_view text) {
    return "<pre>" + HtmlEscape(text) + "</pre>";
}

// How to set one source up, with the exact lines to write or run.
std::string SetupHow(const HomeView& view, const std::string& name, const SourceInfo& source) {
    const std::string file = view.config_file.empty() ? view.default_config_file : view.config_file;
    const std::string edit =
        "<p>在配置文件 <code>" + HtmlEscape(file) + "</code> 中" +
        (view.config_file.empty() ? "（目前没有，新建即可，只写要改的项）" : "") +
        "写入下面几行，然后重启服务：</p>";
    const std::string imported =
        "<p>导入后，运行中的服务在下一次查询时自动使用新表，无需重启。</p>";
    const std::string release =
        "<p>其中“发布名”是 Common Crawl 网页图的一次发布（其网站的 Web Graphs 公告列出全部"
        "发布与文件）；给出文件或网址均可，压缩文件直接读取。</p>";
    if (source.type == "google-cse")
        return edit + Pre("[providers." + name + "]\nkey = \"API 密钥\"\ncx = \"搜索引擎 ID\"") +
               "<p>密钥在 Google Cloud 控制台的“凭据”中创建，搜索引擎 ID (cx) 在“可编程搜索引擎”"
               "中创建；免费额度为每天 100 次查询。Google 已不再为新用户开通此接口，"
               "现有用户可用到 2027-01-01。</p>";
    if (source.type == "openpagerank")
        return edit + Pre("[providers." + name + "]\nkey = \"API 密钥\"") +
               "<p>没有密钥时，此列使用导入的 Common Crawl 排名：</p>" +
               Pre(view.command + " --import cc-ranks 发布名-domain-ranks.txt.gz") + imported;
    if (source.type == "cc-graph")
        return "<p>排名（0–10）来自域名排名文件（约 2 GB）：</p>" +
               Pre(view.command +
                   " --import cc-ranks https://data.commoncrawl.org/projects/hyperlinkgraph/"
                   "发布名/domain/发布名-domain-ranks.txt.gz") +
               "<p>反链域名数来自同一发布的域名图的两个文件：</p>" +
               Pre(view.command +
                   " --import-cc-links 发布名-domain-vertices.txt.gz 发布名-domain-edges.txt.gz") +
               release + imported;
    return "<p>服务启动后自动下载 Tranco 列表，此后每天更新。也可手动导入：</p>" +
           Pre(view.command + " --import tranco https://tranco-list.eu/top-1m.csv.zip") + imported;
}

// A reason as the home page itself shows it: without pointing at the home page.
std::string Here(std::string text) {
    constexpr std::string_view pointer = "（见服务主页）";
    if (const std::size_t at = text.find(pointer); at != std::string::npos)
        text.erase(at, pointer.size());
    return text;
}

std::string NoticeCard(const StoreNotice& notice) {
    switch (notice.level) {
    case StoreNotice::Level::Error:
        return "<div class=\"card alert\"><strong>测量结果无法保存。</strong>自 " +
               HtmlEscape(FormatTime(notice.since_ms)) + " 起，存储无法写入（" +
               HtmlEscape(notice.text) +
               "）。在此期间查询一律应答 false，程序显示为“—”；存储恢复写入后此提示自动消失。"
               "</div>";
    case StoreNotice::Level::Warning:
        return "<div class=\"card notice\"><strong>注意：</strong>" + HtmlEscape(notice.text) +
               "</div>";
    case StoreNotice::Level::Info:
        break;
    }
    return "<div class=\"card info\">" + HtmlEscape(notice.text) + "</div>";
}

// Failing channels first: an alert nobody receives is the news here.
std::string AlertsCard(const HomeView& view) {
    if (!view.alert_rules && view.alerts.empty())
        return {};
    std::string body;
    for (const FailingChannel& c : view.failing_channels)
        body += "<div class=\"card alert\">提醒渠道 <code>" + HtmlEscape(c.name) + "</code> 自 " +
                HtmlEscape(FormatTime(c.since_ms)) + " 起发送失败（已试 " +
                std::to_string(c.attempts) + " 次：" + HtmlEscape(c.error) +
                "），提醒保留在待发队列中，稍后重试。</div>";
    body += "<div class=\"card\"><h2>最近的提醒</h2><table><tr><th>时间</th><th>提醒</th>"
            "<th>发送</th></tr>";
    for (const AlertEntry& a : view.alerts) {
        std::string sent = a.channels == 0 ? "<span class=\"muted\">未配置渠道</span>"
                           : a.delivered == a.channels
                               ? "<span class=\"good\">已送达</span>"
                               : "<span class=\"warn\">" + std::to_string(a.delivered) + "/" +
                                     std::to_string(a.channels) + " 已送达</span>";
        if (!a.error.empty())
            sent += "<span class=\"sub bad\">" + HtmlEscape(a.error) + "</span>";
        body += "<tr><td>" + When(a.message.time_ms, view.now_ms) + "</td><td>" +
                (a.message.fired ? "" : "<span class=\"good\">已解除</span> ") +
                HtmlEscape(a.message.title) + "<span class=\"sub\">" + HtmlEscape(a.message.text) +
                "</span></td><td>" + sent + "</td></tr>";
    }
    if (view.alerts.empty())
        body += "<tr><td colspan=\"3\" class=\"muted\">尚无提醒</td></tr>";
    return body + "</table></div>";
}

// Instances sharing the store: who is alive, behind which egress, and how much each did. This
// one comes first; none listed (not even this one) means the shared tables cannot be read.
std::string InstancesCard(const HomeView& view) {
    if (!view.shared)
        return {};
    std::string body = "<div class=\"card\"><h2>服务实例（最近 5 分钟）</h2><table><tr>"
                       "<th>实例</th><th>出口</th><th>地址</th><th>启动</th><th>最近心跳</th>"
                       "<th>已完成测量</th></tr>";
    for (const InstanceSeen& i : view.instances)
        body += "<tr><td><code>" + HtmlEscape(i.id) + "</code></td><td>" + HtmlEscape(i.egress) +
                "</td><td>" + HtmlEscape(i.address) + "</td><td>" +
                When(i.started_ms, view.now_ms) + "</td><td>" + When(i.seen_ms, view.now_ms) +
                "</td><td>" + FormatCount(i.measured) + "</td></tr>";
    if (view.instances.empty())
        body += "<tr><td colspan=\"6\" class=\"bad\">无法读取共享的实例表</td></tr>";
    return body + "</table></div>";
}

} // namespace

std::string HomePage(const HomeView& view) {
    const bool store_failing =
        std::any_of(view.notices.begin(), view.notices.end(),
                    [](const StoreNotice& n) { return n.level == StoreNotice::Level::Error; });
    std::string body = "<h1>Valdane 查询服务</h1>";
    for (const StoreNotice& notice : view.notices)
        body += NoticeCard(notice);
    body += "<div class=\"card\"><p>本服务为 Valdane 桌面程序提供各网址的收录、反链、排名、WHOIS "
            "与综合排名数据。每个栏目由配置的数据源测量，每次测量都存入本机数据库，"
            "并在下方的总览与详情页中留下历史。</p><p>";
    body += "同一网址在 " + Duration(view.fresh_ms) +
            " 内直接用已存的结果应答；否则向数据源查询，"
            "最多等待 " +
            Duration(view.deadline_ms) +
            "，未完成的测量在后台继续，供下一次应答使用。"
            "查询失败时发送该栏目上一次的有效值（页面中标为旧值）；从未取得的值以 -1 "
            "发送，程序显示为“—”，决不冒充 0。</p><p>总览：";
    for (Page page : kTracked)
        body += "<a href=\"/ostrem/seo/" + std::string(OverviewName(page)) + ".htm\">" +
                std::string(KindTitle(page)) + "</a> ";
    body += "</p></div>";

    auto find = [&](const std::string& name) -> const ProviderHealth* {
        for (const ProviderHealth& p : view.providers)
            if (p.name == name)
                return &p;
        return nullptr;
    };
    body += "<div class=\"card\"><h2>各栏目的数据源</h2><p class=\"muted\">标为“无需设置”的栏目"
            "装好即可用；其余栏目需要密钥或导入数据，做法见下方“设置数据源”。</p>";
    for (Page page : kAllPages) {
        body += "<h3>" + std::string(KindTitle(page)) + " <span class=\"muted\">(" +
                std::string(PageFile(page)) +
                ")</span></h3><table class=\"src\"><tr><th>栏目</th><th>数据源</th><th>说明</th>"
                "<th>设置</th></tr>";
        const auto names = view.columns.find(page);
        for (int c = 0; c < ColumnCount(page); ++c) {
            std::string name;
            if (names != view.columns.end() && c < static_cast<int>(names->second.size()))
                name = names->second[static_cast<std::size_t>(c)];
            const ProviderHealth* p = name.empty() ? nullptr : find(name);
            body += "<tr><td>" + HtmlEscape(ColumnName(page, c)) + "</td>";
            if (!p || name == "none")
                body += std::string("<td class=\"missing\">无数据源</td><td class=\"muted\">") +
                        (IsNumericColumn(page, c) ? "此栏目没有数据源，始终发送 -1（程序显示“—”）"
                                                  : "此栏目没有数据源，不会有内容") +
                        "</td><td class=\"muted\">—</td></tr>";
            else
                body += "<td><code>" + HtmlEscape(name) + "</code></td><td>" +
                        HtmlEscape(PlainError(p->description)) + "</td><td>" +
                        SetupCell(page, name, SourceOf(view, name)) + "</td></tr>";
        }
        body += "</table>";
    }
    body += "</div>";

    body += AlertsCard(view);
    body += InstancesCard(view);
    body += "<div class=\"card\"><h2>数据源状态</h2><table><tr><th>数据源</th><th>说明</th>"
            "<th>最近成功</th><th>最近失败</th><th>状态</th></tr>";
    for (const ProviderHealth& p : view.providers) {
        if (p.name == "none")
            continue;
        const SourceInfo* source = SourceOf(view, p.name);
        body +=
            "<tr><td><code>" + HtmlEscape(p.name) + "</code></td><td>" +
            HtmlEscape(PlainError(p.description)) + "</td><td>" +
            (p.last_ok_ms ? When(p.last_ok_ms, view.now_ms) : "<span class=\"muted\">从未</span>") +
            "</td><td>";
        if (p.last_fail_ms) {
            const Measurement failure = LastFailure(p);
            body += When(p.last_fail_ms, view.now_ms) + "<span class=\"sub bad\" title=\"" +
                    HtmlEscape(failure.detail) + "\">" +
                    HtmlEscape(Here(Reason(failure, &p, source, view.now_ms))) + "</span>";
        } else {
            body += "<span class=\"muted\">无</span>";
        }
        const HealthVerdict v = JudgeHealth(p, source, store_failing, view.now_ms);
        body +=
            "</td><td" + (v.original.empty() ? "" : " title=\"" + HtmlEscape(v.original) + "\"") +
            "><span class=\"" + v.css + "\">" + HtmlEscape(v.word) + "</span>" +
            (v.detail.empty() ? ""
                              : "<span class=\"sub\">" + HtmlEscape(Here(v.detail)) + "</span>") +
            "</td></tr>";
    }
    if (view.providers.empty())
        body += "<tr><td colspan=\"5\" class=\"muted\">未配置任何数据源</td></tr>";
    body += "</table></div>";

    std::string setup;
    for (const auto& [name, source] : view.sources)
        if (NeedsSetup(source) && find(name))
            setup += "<h3 id=\"setup-" + HtmlEscape(name) + "\">" + HtmlEscape(source.label) +
                     " <code>" + HtmlEscape(name) + "</code> " +
                     (source.needs.empty() ? "<span class=\"good\">已设置</span>"
                                           : "<span class=\"warn\">尚未设置</span>") +
                     "</h3>" + SetupHow(view, name, source);
    if (!setup.empty())
        body += "<div class=\"card\"><h2>设置数据源</h2>" + setup + "</div>";

    body += "<div class=\"card\"><h2>配置</h2><p>";
    body += view.config_file.empty()
                ? "未找到配置文件，正在使用内置默认值。要更改设置，新建 <code>" +
                      HtmlEscape(view.default_config_file) +
                      "</code>，只写要改的项（其余沿用默认值），或启动时用 <code>--config "
                      "文件</code> 指定；修改后重启服务"
                : "配置文件：<code>" + HtmlEscape(view.config_file) + "</code>；修改后重启服务";
    body += "。</p><p>数据目录：<code>" + HtmlEscape(view.data_dir) + "</code>；测量存储：<code>" +
            HtmlEscape(view.store) + "</code></p><p>查看每个栏目将如何应答：<code>" +
            HtmlEscape(view.command) +
            " --check 网址</code>；全部命令与选项：<code>valdane-service --help</code>。</p></div>";
    return Layout("首页", "", body);
}

std::string OverviewPage(const OverviewView& view) {
    const Page page = view.page;
    const std::string title = std::string(KindTitle(page)) + "总览";
    std::string body = "<h1>" + title + "</h1><p class=\"tools\">共 " +
                       FormatCount(static_cast<std::int64_t>(view.total)) + " 个网址 <a href=\"" +
                       std::string(OverviewName(page)) + ".csv?" + OrderQuery(view.order) +
                       "\">下载 CSV</a><a href=\"" +
                       CompareHref(page, std::max(0, view.order.column), kDefaultChartRange) +
                       "\">各网址对比图</a></p>";
    if (view.total == 0) {
        body += "<div class=\"card\"><p>服务还没有为任何网址应答过" + std::string(KindTitle(page)) +
                "查询。在 Valdane 中添加网址并刷新后，这里会列出每个网址的最新数值。</p></div>";
        return Layout(title, OverviewName(page), body);
    }
    const std::size_t size = std::max<std::size_t>(1, view.page_size);
    const std::string pager =
        Pager(OrderQuery(view.order), view.page_number, (view.total + size - 1) / size);
    body += pager + "<div class=\"card\"><table><tr>" + SortHeader("网址", -1, view.order, false);
    for (int c = 0; c < ColumnCount(page); ++c)
        body += SortHeader(ColumnName(page, c), c, view.order, true);
    body += "</tr>";
    for (const SiteRow& row : view.rows) {
        body += "<tr><td><a href=\"" + DetailHref(page, row.site) + "\" title=\"" +
                HtmlEscape(row.site) + "\">" + HtmlEscape(DisplaySite(row.site)) + "</a></td>";
        for (int c = 0; c < ColumnCount(page); ++c) {
            const Cell cell = CellOf(row, c);
            switch (cell.state) {
            case Cell::Fresh:
                body += "<td class=\"n\">" + FormatCount(*cell.value) + ChangeLines(cell) +
                        "<span class=\"sub\">" + FormatAge(cell.time_ms, view.now_ms) +
                        "</span></td>";
                break;
            case Cell::Stale:
                body += "<td class=\"n stale\" title=\"" + HtmlEscape(cell.why) + "\">" +
                        FormatCount(*cell.value) + "<span class=\"sub stale\">旧值 · " +
                        FormatAge(cell.time_ms, view.now_ms) + "</span></td>";
                break;
            case Cell::Missing:
                body += "<td class=\"n missing\" title=\"" + HtmlEscape(cell.why) +
                        "\">—<span class=\"sub\">" + HtmlEscape(cell.status) + "</span></td>";
                break;
            }
        }
        body += "</tr>";
    }
    body += "</table></div>" + pager +
            "<p class=\"muted\">橙色为旧值：最近一次查询失败，显示上一次的有效值及其时间；"
            "“—”表示从未取得，程序中同样显示为“—”。</p>";
    return Layout(title, OverviewName(page), body);
}

std::string OverviewCsvHeader(Page page) {
    std::vector<std::string> header{"网址"};
    for (int c = 0; c < ColumnCount(page); ++c) {
        const std::string name(ColumnName(page, c));
        header.insert(header.end(), {name, name + " 时间", name + " 状态", name + " 较上次",
                                     name + " 7天变化", name + " 30天变化"});
    }
    return std::string(kBom) + CsvLine(header);
}

std::string OverviewCsvRows(Page page, const std::vector<SiteRow>& rows) {
    std::string csv;
    for (const SiteRow& row : rows) {
        std::vector<std::string> fields{row.site};
        for (int c = 0; c < ColumnCount(page); ++c) {
            const Cell cell = CellOf(row, c);
            fields.push_back(cell.value ? std::to_string(*cell.value) : "");
            fields.push_back(cell.time_ms ? FormatIsoTime(cell.time_ms) : "");
            fields.push_back(cell.state == Cell::Fresh   ? "正常"
                             : cell.state == Cell::Stale ? "旧值：" + cell.why
                                                         : "缺失：" + cell.why);
            for (const auto* past : {&cell.previous, &cell.week, &cell.month})
                fields.push_back(*past ? std::to_string(*cell.value - (*past)->value) : "");
        }
        csv += CsvLine(fields);
    }
    return csv;
}

std::string DetailPage(const DetailView& view) {
    const std::string kind(KindTitle(view.page));
    const std::string title = DisplaySite(view.site) + " 的" + kind + "记录";
    std::string body =
        "<h1>" + HtmlEscape(title) + "</h1><p class=\"tools\"><a href=\"" +
        std::string(OverviewName(view.page)) + ".htm\">返回" + kind + "总览</a><a href=\"" +
        DetailHref(view.page, view.site) + "&amp;format=csv\">下载 CSV（全部记录）</a></p>" +
        RangeLinks(view.days,
                   [&](int days) {
                       return DetailHref(view.page, view.site) + "&amp;" + RangeQuery(days);
                   }) +
        "<div class=\"charts\">";
    struct Row {
        int column;
        const Measurement* m;
    };
    std::vector<Row> all;
    for (std::size_t c = 0; c < view.history.size(); ++c) {
        const std::vector<Measurement>& h = view.history[c];
        const std::string name(ColumnName(view.page, static_cast<int>(c)));
        const bool sourceless =
            !h.empty() && std::all_of(h.begin(), h.end(), [](const Measurement& m) {
                return m.status == Status::Unsupported;
            });
        body += "<div class=\"card\"><h2>" + HtmlEscape(name) + "</h2>";
        if (sourceless) {
            body += "<p class=\"missing\">此栏目没有数据源。</p></div>";
        } else {
            if (!h.empty()) {
                const Measurement& last = h.back();
                body += "<p class=\"muted\">最近一次：";
                if (auto v = ShownValue(last))
                    body += FormatCount(*v);
                else
                    body += "<span class=\"bad\">" + HtmlEscape(Why(last)) + "</span>";
                body += "，" + FormatAge(last.time_ms, view.now_ms) + "</p>";
            }
            body += LineChart(name + " " + kind, {{"", &h}}, RangeStart(view.days, view.now_ms),
                              view.days ? view.now_ms : 0) +
                    "<p class=\"muted\"><a href=\"" +
                    CompareHref(view.page, static_cast<int>(c), view.days) +
                    "\">各网址对比</a></p></div>";
        }
        for (const Measurement& m : h)
            all.push_back({static_cast<int>(c), &m});
    }
    body += "</div>";
    std::stable_sort(all.begin(), all.end(),
                     [](const Row& a, const Row& b) { return a.m->time_ms > b.m->time_ms; });
    body += "<div class=\"card\" style=\"margin-top:18px\"><h2>测量记录</h2>";
    if (all.size() > kDetailRows)
        body += "<p class=\"muted\">仅列出最近 " + std::to_string(kDetailRows) + " 条，共 " +
                std::to_string(all.size()) + " 条，完整记录请下载 CSV。</p>";
    body += "<table><tr><th>时间</th><th>栏目</th><th class=\"n\">数值</th><th>来源</th>"
            "<th>状态</th><th>说明</th></tr>";
    for (std::size_t i = 0; i < all.size() && i < kDetailRows; ++i) {
        const Measurement& m = *all[i].m;
        const auto v = ShownValue(m);
        body += "<tr><td>" + FormatTime(m.time_ms) + "</td><td>" +
                HtmlEscape(ColumnName(view.page, all[i].column)) + "</td><td class=\"n\">" +
                (v ? FormatCount(*v) : "<span class=\"missing\">—</span>") + "</td><td>" +
                HtmlEscape(m.source) + "</td><td class=\"" + (v ? "good" : "bad") + "\">" +
                HtmlEscape(StatusText(m.status)) + "</td><td title=\"" + HtmlEscape(m.detail) +
                "\">" + HtmlEscape(PlainError(m.detail)) + "</td></tr>";
    }
    if (all.empty())
        body += "<tr><td colspan=\"6\" class=\"muted\">这段时间内没有测量记录，"
                "可选择更长的时间范围。</td></tr>";
    body += "</table></div>";
    return Layout(title, "", body);
}

std::string DetailCsv(const DetailView& view) {
    std::string csv = std::string(kBom) + CsvLine({"时间", "栏目", "数值", "来源", "状态", "说明"});
    for (std::size_t c = 0; c < view.history.size(); ++c)
        for (const Measurement& m : view.history[c]) {
            const auto v = ShownValue(m);
            csv += CsvLine({FormatIsoTime(m.time_ms),
                            std::string(ColumnName(view.page, static_cast<int>(c))),
                            v ? std::to_string(*v) : "", m.source,
                            std::string(StatusText(m.status)), m.detail});
        }
    return csv;
}

std::string ComparePage(const CompareView& view) {
    const std::string kind(KindTitle(view.page)), column(ColumnName(view.page, view.column));
    const std::string title = column + kind + " 各网址对比";
    std::string body = "<h1>" + HtmlEscape(title) + "</h1><p class=\"tools\"><a href=\"" +
                       std::string(OverviewName(view.page)) + ".htm\">返回" + kind + "总览</a>";
    for (int c = 0; c < ColumnCount(view.page); ++c)
        if (IsNumericColumn(view.page, c))
            body += c == view.column ? "<b>" + HtmlEscape(ColumnName(view.page, c)) + "</b> "
                                     : "<a href=\"" + CompareHref(view.page, c, view.days) + "\">" +
                                           HtmlEscape(ColumnName(view.page, c)) + "</a> ";
    body += "</p>" + RangeLinks(view.days, [&](int days) {
                return CompareHref(view.page, view.column, days);
            });
    if (view.total == 0) {
        body += "<div class=\"card\"><p>服务还没有为任何网址应答过" + kind + "查询。</p></div>";
        return Layout(title, "", body);
    }
    const std::size_t size = std::max<std::size_t>(1, view.page_size);
    const std::size_t first = (view.page_number - 1) * size + 1;
    const std::string pager =
        Pager("t=" + std::string(KindOf(view.page)) + "&amp;col=" + std::to_string(view.column) +
                  "&amp;" + RangeQuery(view.days),
              view.page_number, (view.total + size - 1) / size);
    std::vector<ChartSeries> series;
    std::string legend;
    for (std::size_t i = 0; i < view.sites.size() && i < view.history.size(); ++i) {
        const std::string shown = DisplaySite(view.sites[i]);
        series.push_back({shown, &view.history[i]});
        legend += "<span style=\"white-space:nowrap;margin-right:14px\"><span style=\"color:" +
                  std::string(SeriesColour(i)) + "\">■</span> <a href=\"" +
                  DetailHref(view.page, view.sites[i]) + "&amp;" + RangeQuery(view.days) +
                  "\" title=\"" + HtmlEscape(view.sites[i]) + "\">" + HtmlEscape(shown) +
                  "</a></span> ";
    }
    body +=
        "<p class=\"muted\">共 " + FormatCount(static_cast<std::int64_t>(view.total)) +
        " 个网址，按最新" + HtmlEscape(column) + "数值从大到小，本页为第 " + std::to_string(first) +
        "–" + std::to_string(first + view.sites.size() - 1) + " 个。</p>" + pager +
        "<div class=\"card wide\">" +
        LineChart(title, series, RangeStart(view.days, view.now_ms), view.days ? view.now_ms : 0) +
        "<p>" + legend + "</p></div>" + pager +
        "<p class=\"muted\">每条线是一个网址的历次有效值；下方红色带上的 × "
        "是查询失败的时刻，不代表数值为 0。</p>";
    return Layout(title, "", body);
}

std::string UnknownSitePage(Page page, std::string_view word) {
    const std::string kind(KindTitle(page));
    const std::string body =
        "<h1>尚无记录</h1><div class=\"card\"><p>服务还没有为 <strong>" + HtmlEscape(word) +
        "</strong> 应答过" + kind +
        "查询，所以这里还没有它的数据。</p><p>在 Valdane 中添加这个网址并刷新后，"
        "这里就会显示它的每次测量与历史曲线。</p><p><a href=\"" +
        std::string(OverviewName(page)) + ".htm\">查看" + kind + "总览</a></p></div>";
    return Layout("尚无记录", "", body);
}

std::string ErrorPage(int status, std::string_view path) {
    std::string title = "出错了";
    std::string text = "请求无法完成。";
    if (status == 403) {
        title = "禁止访问";
        text = "本服务只应答配置中允许的网络发来的请求。";
    } else if (status == 404) {
        title = "页面不存在";
        text = "没有 <code>" + HtmlEscape(path) + "</code> 这个页面。";
    }
    return Layout(title, "",
                  "<h1>" + title + "</h1><div class=\"card\"><p>" + text +
                      "</p><p><a href=\"/\">返回首页</a></p></div>");
}

} // namespace valdane::svc

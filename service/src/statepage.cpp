// /state.json: every cell of one site's three tracked pages with its value, state and reason,
// for the program's tooltips and for knowing when to ask again.
#include "pages.h"

#include "protocol.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>

namespace valdane::svc {
namespace {

using nlohmann::json;

template <typename T> const T* Find(const std::vector<T>& items, const std::string& name) {
    const auto it =
        std::find_if(items.begin(), items.end(), [&](const T& i) { return i.name == name; });
    return it == items.end() ? nullptr : &*it;
}

} // namespace

std::string CellStateJson(const CellStateView& view) {
    json pages = json::object();
    std::vector<ColumnAnswer> all;
    for (Page page : {Page::Sites, Page::Links, Page::Ranks}) {
        json cells = json::array();
        const auto answers = view.answers.find(page);
        const auto stored = view.stored.find(page);
        if (answers != view.answers.end())
            for (const ColumnAnswer& a : answers->second) {
                // The source that answered, which a chain may have moved past the column's own.
                const std::string& answered = a.used.source.empty() ? a.provider : a.used.source;
                const ProviderHealth* health = Find(view.providers, answered);
                const auto source_it = view.sources.find(answered);
                const SourceInfo* source =
                    source_it == view.sources.end() ? nullptr : &source_it->second;
                // The newest attempt: what the store holds for the column when it is this
                // source's, else the measurement the answer was built from.
                const Measurement* newest = &a.used;
                if (stored != view.stored.end())
                    for (const Latest& l : stored->second)
                        if (l.column == a.column && l.last.source == answered &&
                            l.last.time_ms >= a.used.time_ms)
                            newest = &l.last;
                // The value the protocol page sends; it sends -1 for "no value".
                std::int64_t sent = -1;
                std::from_chars(a.sent.data(), a.sent.data() + a.sent.size(), sent);
                const bool has_value = !a.missing && sent >= 0;
                std::int64_t next_ms = a.next_attempt_ms;
                if (!next_ms && !a.measuring && health &&
                    health->state.suspended_until_ms > view.now_ms &&
                    (newest->status == Status::Blocked || newest->status == Status::RateLimited))
                    next_ms = health->state.suspended_until_ms;

                std::string reason;
                if (a.measuring) {
                    reason = "正在测量，约 " + std::to_string(*ReadyInSeconds({a}, view.now_ms)) +
                             " 秒后有结果";
                } else if (!newest->time_ms && !has_value) {
                    reason = "尚未测量，下次刷新时测量";
                } else if (a.stale || !has_value) {
                    reason = Reason(*newest, health, source, view.now_ms);
                }
                json cell = {
                    {"column", a.column},
                    {"title",
                     std::string(ColumnName(page, a.column)) + std::string(KindTitle(page))},
                    {"value", has_value ? json(sent) : json(nullptr)},
                    {"status", a.measuring ? "measuring" : std::string(StatusName(newest->status))},
                    {"stale", a.stale},
                    {"source", answered},
                    {"age_s",
                     has_value && a.used.time_ms
                         ? json(std::max<std::int64_t>(0, view.now_ms - a.used.time_ms) / 1000)
                         : json(nullptr)},
                    {"next_attempt", next_ms ? json(FormatIsoTime(next_ms)) : json(nullptr)},
                    {"reason", reason},
                };
                cells.push_back(std::move(cell));
                all.push_back(a);
            }
        pages[std::string(OverviewName(page))] = std::move(cells);
    }
    const std::optional<std::int64_t> ready = ReadyInSeconds(all, view.now_ms);
    json doc = {
        {"site", view.site},
        {"now", FormatIsoTime(view.now_ms)},
        {"pending", ready.has_value()},
        {"ready_in_s", ready ? json(*ready) : json(nullptr)},
        {"pages", std::move(pages)},
    };
    return doc.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string CellStateError(std::string_view why) {
    return json{{"error", why}}.dump(-1, ' ', false, json::error_handler_t::replace);
}

} // namespace valdane::svc

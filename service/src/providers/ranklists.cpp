// Values read from imported rank lists: the Tranco rank, its trend over the store's history,
// and a 0–10 link-popularity value and referring-domain counts from the Common Crawl domain
// graph.
#include "config.h"
#include "import.h"
#include "providers/engines.h"
#include "providers/providers.h"
#include "providers/section.h"
#include "rank_table.h"
#include "store.h"

#include <libpsl.h>
#include <toml++/toml.h>

#include <array>
#include <atomic>
#include <thread>

namespace valdane::svc {
namespace {

constexpr std::int64_t kHourMs = 3600LL * 1000;
constexpr std::int64_t kDayMs = 24 * kHourMs;
constexpr int kAlexaRank = 2;      // 综合排名
constexpr int kAlexaTrend = 5;     // 排名趋势
constexpr int kAlexaBacklinks = 3; // 反链数目

Measurement Value(Status status, std::int64_t number, std::string detail = {}) {
    Measurement m;
    m.status = status;
    m.number = number;
    m.detail = std::move(detail);
    return m;
}

// Lists hold registrable domains (Tranco sometimes a host): the host as asked, without
// "www.", then its registrable domain.
std::optional<RankValues> FindSite(const RankTable& table, std::string_view site) {
    std::string host(SiteHost(site));
    if (auto v = table.Find(host))
        return v;
    if (host.rfind("www.", 0) == 0)
        if (auto v = table.Find(std::string_view(host).substr(4)))
            return v;
    static const psl_ctx_t* psl = psl_latest(nullptr);
    if (const char* domain = psl ? psl_registrable_domain(psl, host.c_str()) : nullptr;
        domain && host != domain)
        return table.Find(domain);
    return std::nullopt;
}

std::string ListNote(const std::shared_ptr<const RankTable>& table) {
    if (!table)
        return "（尚未导入）";
    return "（" + std::to_string(table->info().count) + " 个域名" +
           (table->info().complete ? "" : "，不完整") + "）";
}

// One measurement per requested column: `one` for the columns it serves, Unsupported else.
template <typename F>
std::vector<Measurement> PerColumn(const MeasureRequest& request, Env& env, F&& one) {
    std::vector<Measurement> out;
    for (int column : request.columns) {
        Measurement m = one(column);
        m.time_ms = env.clock.NowMs();
        out.push_back(std::move(m));
    }
    return out;
}

class TrancoProvider final : public Provider {
  public:
    TrancoProvider(std::filesystem::path file, std::string url, std::int64_t refresh_ms,
                   std::int64_t first_delay_ms, Env& env)
        : file_(std::move(file)), url_(std::move(url)), refresh_ms_(refresh_ms),
          first_delay_ms_(first_delay_ms), env_(env) {
        if (refresh_ms_ > 0 && !url_.empty()) {
            // Due from now, not from whenever the thread gets to run.
            const std::int64_t due = ListDue().value_or(env_.clock.NowMs() + first_delay_ms_);
            thread_ = std::thread([this, due] { Refresh(due); });
        }
    }

    ~TrancoProvider() override {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            stop_ = true;
        }
        cv_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }

    std::vector<Measurement> Measure(const MeasureRequest& request) override {
        return PerColumn(request, env_, [&](int column) {
            if (request.page != Page::Alexa || column != kAlexaRank)
                return Failed(Status::Unsupported, "只提供综合排名");
            const auto table = SharedRankTable(file_);
            if (!table)
                return Failed(Status::NotConfigured, "未导入 Tranco 列表");
            if (auto v = FindSite(*table, request.site))
                return Value(Status::Ok, v->v[0]);
            // Outside the list there is no rank we could state: -1, never a made-up number.
            return Value(Status::NotFound, -1, "不在 Tranco 列表中");
        });
    }

    bool Local() const override { return true; }
    std::string Describe() const override {
        std::string text = "Tranco 综合排名" + ListNote(SharedRankTable(file_));
        std::lock_guard<std::mutex> guard(mutex_);
        if (!last_error_.empty())
            text += "；上次每日下载失败: " + last_error_;
        return text;
    }

  private:
    // When the list on disk is due for its next download; none without a list.
    std::optional<std::int64_t> ListDue() const {
        const auto table = SharedRankTable(file_);
        return table ? std::optional(table->info().created_ms + refresh_ms_) : std::nullopt;
    }

    // Downloads the list once a day (first after a short delay when none is there yet), and
    // an hour after a failure.
    void Refresh(std::int64_t due) {
        std::unique_lock<std::mutex> lock(mutex_);
        // `due` is a wall time (the list's age counts across restarts); the wait counts it down.
        while (!env_.clock.WaitUntil(lock, cv_, env_.clock.MonoMs() + (due - env_.clock.NowMs()),
                                     [&] { return stop_.load(); })) {
            lock.unlock();
            ImportOptions options;
            options.cancel = &stop_;
            const ImportResult r = ImportRanks(RankKind::Tranco, env_, url_, file_, options);
            lock.lock();
            last_error_ = r.ok ? std::string() : r.error;
            // From the list's own stamp, as at start: the clock may have moved since.
            due = (r.ok ? ListDue() : std::nullopt).value_or(env_.clock.NowMs() + kHourMs);
        }
    }

    const std::filesystem::path file_;
    const std::string url_;
    const std::int64_t refresh_ms_, first_delay_ms_;
    Env& env_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::atomic<bool> stop_ = false;
    std::string last_error_;
    std::thread thread_;
};

// Position in the Common Crawl domain graph -> 0–10, one step per order of magnitude at the
// top and finer below a million, where most sites are.
std::int64_t PopularityBand(std::uint32_t position) {
    static constexpr std::array<std::uint32_t, 10> kBounds = {
        10, 100, 1'000, 10'000, 100'000, 1'000'000, 3'000'000, 10'000'000, 30'000'000, 100'000'000};
    for (std::size_t i = 0; i < kBounds.size(); ++i)
        if (position <= kBounds[i])
            return 10 - static_cast<std::int64_t>(i);
    return 0;
}

class CcGraphProvider final : public Provider {
  public:
    CcGraphProvider(std::filesystem::path ranks, std::filesystem::path links, bool harmonic,
                    Env& env)
        : ranks_(std::move(ranks)), links_(std::move(links)), harmonic_(harmonic), env_(env) {}

    std::vector<Measurement> Measure(const MeasureRequest& request) override {
        return PerColumn(request, env_, [&](int column) {
            if (request.page == Page::Links ||
                (request.page == Page::Alexa && column == kAlexaBacklinks))
                return ReferringDomains(request.site);
            if (request.page != Page::Ranks)
                return Failed(Status::Unsupported, "只提供 PR 值与反链域名数");
            const auto table = SharedRankTable(ranks_);
            if (!table)
                return Failed(Status::NotConfigured, "未导入 Common Crawl 排名文件");
            if (auto v = FindSite(*table, request.site)) {
                const std::int64_t band = PopularityBand(v->v[harmonic_ ? 0 : 1]);
                return Value(band > 0 ? Status::Ok : Status::NotFound, band);
            }
            return Absent(*table);
        });
    }

    bool Local() const override { return true; }
    std::string Describe() const override {
        return std::string("Common Crawl 域名图 ") + (harmonic_ ? "调和中心度" : "PageRank") +
               " 名次折算的 0–10 值" + ListNote(SharedRankTable(ranks_)) + "；反链域名数" +
               ListNote(SharedRankTable(links_));
    }

  private:
    // The table holds domains with at least one referring domain.
    Measurement ReferringDomains(std::string_view site) const {
        const auto table = SharedRankTable(links_);
        if (!table)
            return Failed(Status::NotConfigured, "未导入 Common Crawl 域名图（cc-links）");
        if (auto v = FindSite(*table, site))
            // From a broken-off edges file every count is too low.
            return Value(Status::Ok, v->v[0], table->info().complete ? "" : "至少（导入不完整）");
        return Absent(*table);
    }

    // Absent from the whole graph: no links known, a real 0. Absent from a list cut short:
    // somewhere below the cut, which we cannot state.
    static Measurement Absent(const RankTable& table) {
        if (table.info().complete)
            return Value(Status::NotFound, 0, "不在 Common Crawl 域名图中");
        return Value(Status::NotFound, -1, "不在已导入的部分中");
    }

    const std::filesystem::path ranks_, links_;
    const bool harmonic_;
    Env& env_;
};

class TrendProvider final : public Provider {
  public:
    TrendProvider(std::filesystem::path file, std::string rank_source, std::int64_t window_ms,
                  ProviderContext& context)
        : file_(std::move(file)), rank_source_(std::move(rank_source)), window_ms_(window_ms),
          env_(context.env), store_(context.store) {}

    std::vector<Measurement> Measure(const MeasureRequest& request) override {
        return PerColumn(request, env_, [&](int column) {
            if (request.page != Page::Alexa || column != kAlexaTrend)
                return Failed(Status::Unsupported, "只提供排名趋势");
            const auto table = SharedRankTable(file_);
            if (!table)
                return Failed(Status::NotConfigured, "未导入 Tranco 列表");
            const auto now_rank = FindSite(*table, request.site);
            if (!now_rank)
                return Value(Status::NotFound, -1, "不在 Tranco 列表中");
            const std::int64_t now = env_.clock.NowMs();
            const std::vector<Measurement> history =
                store_.History(request.site, Page::Alexa, kAlexaRank, now - window_ms_);
            for (const Measurement& m : history) { // oldest first
                if (m.status != Status::Ok || m.number.value_or(0) <= 0 ||
                    (!rank_source_.empty() && m.source != rank_source_))
                    continue;
                if (m.time_ms > now - kDayMs)
                    break;
                // Positive: the site climbed (its rank number fell).
                return Value(Status::Ok, *m.number - static_cast<std::int64_t>(now_rank->v[0]));
            }
            return Failed(Status::NotConfigured, "排名记录不足一天");
        });
    }

    bool Local() const override { return true; }
    std::string Describe() const override {
        return "Tranco 排名在近 " + std::to_string(window_ms_ / kDayMs) +
               " 天内的变化（正数为上升）";
    }

  private:
    const std::filesystem::path file_;
    const std::string rank_source_;
    const std::int64_t window_ms_;
    Env& env_;
    Store& store_;
};

} // namespace

std::unique_ptr<Provider> MakeTrancoProvider(const std::string& name, const toml::table& section,
                                             ProviderContext& context, std::string* error) {
    // Tranco's documented address of the current list, a zip holding top-1m.csv.
    std::string url = "https://tranco-list.eu/top-1m.csv.zip";
    std::int64_t refresh_ms = kDayMs, first_delay_ms = 60 * 1000;
    SectionReader read(name, section);
    read.String("url", &url);
    read.Duration("refresh_hours", kHourMs, &refresh_ms);
    read.Duration("first_download_delay_s", 1000, &first_delay_ms);
    if (!read.Done(error))
        return nullptr;
    return std::make_unique<TrancoProvider>(RankFile(context.config, RankKind::Tranco), url,
                                            refresh_ms, first_delay_ms, context.env);
}

std::unique_ptr<Provider> MakeCcGraph(ProviderContext& context, bool harmonic) {
    return std::make_unique<CcGraphProvider>(RankFile(context.config, RankKind::CcRanks),
                                             RankFile(context.config, RankKind::CcLinks), harmonic,
                                             context.env);
}

std::unique_ptr<Provider> MakeCcGraphProvider(const std::string& name, const toml::table& section,
                                              ProviderContext& context, std::string* error) {
    std::string measure = "pagerank";
    std::int64_t max_domains = 0; // read by the import
    SectionReader read(name, section);
    read.String("measure", &measure);
    read.Int("max_domains", 0, 4'000'000'000, &max_domains);
    if (measure != "pagerank" && measure != "harmonic")
        read.Fail("measure", "expected \"pagerank\" or \"harmonic\"");
    if (!read.Done(error))
        return nullptr;
    return MakeCcGraph(context, measure == "harmonic");
}

std::unique_ptr<Provider> MakeTrendProvider(const std::string& name, const toml::table& section,
                                            ProviderContext& context, std::string* error) {
    std::string rank_source;
    std::int64_t window_ms = 30 * kDayMs;
    SectionReader read(name, section);
    read.String("rank_source", &rank_source);
    read.Duration("days", kDayMs, &window_ms);
    if (!read.Done(error))
        return nullptr;
    return std::make_unique<TrendProvider>(RankFile(context.config, RankKind::Tranco), rank_source,
                                           window_ms, context);
}

} // namespace valdane::svc

// Open PageRank's 0–10 value for the 谷歌 column of the ranks page, one site per paced request.
#include "engines.h"
#include "pacer.h"
#include "providers.h"
#include "section.h"

#include <nlohmann/json.hpp>
#include <toml++/toml.h>

namespace valdane::svc {
namespace {

class OpenPageRankProvider final : public Provider {
  public:
    OpenPageRankProvider(const std::string& name, std::string url, std::string key,
                         std::string proxy, PacerConfig pacing, ProviderContext& context)
        : url_(std::move(url)), key_(std::move(key)), proxy_(std::move(proxy)), env_(context.env),
          pacer_(context.env, context.store, name, pacing) {}

    std::vector<Measurement> Measure(const MeasureRequest& request) override {
        std::optional<Measurement> m =
            request.page != Page::Ranks ? Failed(Status::Unsupported, "只提供 PR 值")
            : key_.empty()              ? Failed(Status::NotConfigured, "未配置 API key")
                                        : Lookup(std::string(SiteHost(request.site)));
        if (!m)
            return {}; // not our turn yet
        m->time_ms = env_.clock.NowMs();
        return std::vector<Measurement>(request.columns.size(), *m);
    }

    std::string Describe() const override { return "Open PageRank 的 page_rank_integer (0–10)"; }

    ProviderState State() const override { return pacer_.State(); }
    Pacer* pacer() override { return &pacer_; }

  private:
    // nullopt when the pacer says wait.
    std::optional<Measurement> Lookup(const std::string& domain) {
        if (std::optional<Measurement> instead; !Proceed(pacer_, &instead))
            return instead;
        HttpRequest request;
        request.url = url_ + "?domains%5B%5D=" + PercentEncode(domain);
        request.headers = {{"API-OPR", key_}};
        request.proxy = proxy_;
        request.max_bytes = 1 << 20;
        const HttpResponse r = env_.http.Get(request);
        if (r.status == 429) {
            pacer_.Suspend(Status::RateLimited, "HTTP 429");
            return Failed(Status::RateLimited, "HTTP 429");
        }
        if (r.status == 401 || r.status == 403)
            return Failed(Status::NotConfigured, "API key 被拒绝");
        if (r.status != 200)
            return Failed(Status::NetworkError,
                          r.status ? "HTTP " + std::to_string(r.status) : r.error);
        const nlohmann::json doc = nlohmann::json::parse(r.body, nullptr, false);
        const auto list = doc.is_object() ? doc.find("response") : doc.end();
        if (list == doc.end() || !list->is_array())
            return Failed(Status::ParseFailed, "回答中没有 response 数组");
        for (const nlohmann::json& item : *list)
            if (item.is_object() && item.value("domain", std::string()) == domain)
                return Read(item);
        return Failed(Status::ParseFailed, "回答中没有此域名");
    }

    static Measurement Read(const nlohmann::json& item) {
        const auto code = item.find("status_code");
        const auto pr = item.find("page_rank_integer");
        Measurement m;
        if (code != item.end() && code->is_number_integer() && code->get<int>() == 404) {
            m.status = Status::NotFound; // a domain it knows no links to: a real 0
            m.number = 0;
        } else if (pr != item.end() && pr->is_number_integer() && pr->get<std::int64_t>() >= 0 &&
                   pr->get<std::int64_t>() <= 10) {
            m.number = pr->get<std::int64_t>();
            m.status = *m.number > 0 ? Status::Ok : Status::NotFound;
        } else {
            m = Failed(Status::ParseFailed, "page_rank_integer 无法读取");
        }
        return m;
    }

    const std::string url_, key_, proxy_;
    Env& env_;
    Pacer pacer_;
};

} // namespace

std::unique_ptr<Provider> MakeOpenPageRankProvider(const std::string& name,
                                                   const toml::table& section,
                                                   ProviderContext& context, std::string* error) {
    std::string url = "https://openpagerank.com/api/v1.0/getPageRank";
    std::string key, proxy, fallback;
    PacerConfig pacing{.interval_ms = 1000, .jitter_ms = 0, .daily_budget = 10000};
    SectionReader read(name, section);
    read.String("url", &url);
    read.String("key", &key);
    read.String("proxy", &proxy);
    read.String("fallback", &fallback);
    ReadPacerConfig(read, &pacing);
    if (!fallback.empty() && fallback != "cc-graph")
        read.Fail("fallback", "only \"cc-graph\" is known");
    if (!read.Done(error))
        return nullptr;
    // Without a key the column can still carry the value derived from the imported graph.
    if (key.empty() && fallback == "cc-graph")
        return MakeCcGraph(context, false);
    return std::make_unique<OpenPageRankProvider>(name, url, key, proxy, pacing, context);
}

} // namespace valdane::svc

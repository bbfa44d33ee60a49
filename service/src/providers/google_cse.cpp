// Google's indexed-page estimate through the Custom Search JSON API: its result pages need a
// script since 2025, and `link:` counts ended in 2017, so this is all there is for Google.
#include "engines.h"
#include "pacer.h"
#include "providers.h"
#include "section.h"

#include <nlohmann/json.hpp>
#include <toml++/toml.h>

namespace valdane::svc {
namespace {

class GoogleCseProvider final : public Provider {
  public:
    GoogleCseProvider(const std::string& name, std::string url, std::string key, std::string cx,
                      std::string proxy, PacerConfig pacing, ProviderContext& context)
        : url_(std::move(url)), key_(std::move(key)), cx_(std::move(cx)), proxy_(std::move(proxy)),
          env_(context.env), pacer_(context.env, context.store, name, pacing) {}

    std::vector<Measurement> Measure(const MeasureRequest& request) override {
        std::optional<Measurement> m =
            request.page != Page::Sites ? Failed(Status::Unsupported, "Google 不再公开反链数")
            : key_.empty() || cx_.empty()
                ? Failed(Status::NotConfigured, "未配置 API key 与搜索引擎 ID (cx)")
                : Query(std::string(SiteHost(request.site)));
        if (!m)
            return {}; // not our turn yet
        m->time_ms = env_.clock.NowMs();
        return std::vector<Measurement>(request.columns.size(), *m);
    }

    std::string Describe() const override {
        return "Google Custom Search JSON API 的 site: 估计结果数" +
               std::string(key_.empty() ? "（未配置 key，显示 -1）" : "");
    }

    ProviderState State() const override { return pacer_.State(); }
    Pacer* pacer() override { return &pacer_; }

  private:
    // nullopt when the pacer says wait.
    std::optional<Measurement> Query(const std::string& site) {
        if (std::optional<Measurement> instead; !Proceed(pacer_, &instead))
            return instead;
        HttpRequest request;
        request.url = url_ + "?key=" + PercentEncode(key_) + "&cx=" + PercentEncode(cx_) +
                      "&q=" + PercentEncode("site:" + site);
        request.proxy = proxy_;
        request.max_bytes = 1 << 20;
        const HttpResponse r = env_.http.Get(request);
        if (r.status == 0)
            return Failed(Status::NetworkError, r.error);
        // Quota answers are 429, or 403 with a quota reason in the error body.
        if (r.status == 429 ||
            (r.status == 403 && (r.body.find("imitExceeded") != std::string::npos ||
                                 r.body.find("quotaExceeded") != std::string::npos))) {
            pacer_.Suspend(Status::RateLimited,
                           "配额已用完 (HTTP " + std::to_string(r.status) + ")");
            return Failed(Status::RateLimited, "HTTP " + std::to_string(r.status));
        }
        if (r.status == 400 || r.status == 401 || r.status == 403)
            return Failed(Status::NotConfigured,
                          "key 或 cx 被拒绝 (HTTP " + std::to_string(r.status) + ")");
        if (r.status != 200)
            return Failed(Status::NetworkError, "HTTP " + std::to_string(r.status));
        const nlohmann::json doc = nlohmann::json::parse(r.body, nullptr, false);
        if (doc.is_discarded() || !doc.is_object())
            return Failed(Status::ParseFailed, "回答不是 JSON 对象");
        const auto info = doc.find("searchInformation");
        if (info == doc.end() || !info->is_object())
            return Failed(Status::ParseFailed, "缺少 searchInformation");
        const auto total = info->find("totalResults");
        std::optional<std::int64_t> n;
        if (total != info->end() && total->is_string()) {
            const std::string& text = total->get_ref<const std::string&>();
            if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos)
                n = ParseResultCount(text);
        } else if (total != info->end() && total->is_number_unsigned()) {
            n = total->get<std::int64_t>();
        }
        if (!n)
            return Failed(Status::ParseFailed, "totalResults 无法读取");
        Measurement m;
        m.status = *n > 0 ? Status::Ok : Status::NotFound;
        m.number = *n;
        return m;
    }

    const std::string url_, key_, cx_, proxy_;
    Env& env_;
    Pacer pacer_;
};

} // namespace

std::unique_ptr<Provider> MakeGoogleCseProvider(const std::string& name, const toml::table& section,
                                                ProviderContext& context, std::string* error) {
    std::string url = "https://www.googleapis.com/customsearch/v1";
    std::string key, cx, proxy;
    // The free tier allows 100 queries a day.
    PacerConfig pacing{.interval_ms = 1000, .jitter_ms = 0, .daily_budget = 100};
    SectionReader read(name, section);
    read.String("url", &url);
    read.String("key", &key);
    read.String("cx", &cx);
    read.String("proxy", &proxy);
    ReadPacerConfig(read, &pacing);
    if (!read.Done(error))
        return nullptr;
    return std::make_unique<GoogleCseProvider>(name, url, key, cx, proxy, pacing, context);
}

} // namespace valdane::svc

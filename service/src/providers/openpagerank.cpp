// Open PageRank's 0–10 value for the 谷歌 column of the ranks page. Sites asked for at about
// the same time go out in one request (the API takes up to 100 domains per call).
#include "engines.h"
#include "pacer.h"
#include "providers.h"
#include "section.h"

#include <nlohmann/json.hpp>
#include <toml++/toml.h>

#include <condition_variable>
#include <mutex>

namespace valdane::svc {
namespace {

constexpr std::size_t kMaxBatch = 100;

Measurement Failed(Status status, std::string detail) {
    Measurement m;
    m.status = status;
    m.detail = std::move(detail);
    return m;
}

class OpenPageRankProvider final : public Provider {
  public:
    OpenPageRankProvider(std::string url, std::string key, std::string proxy, PacerConfig pacing,
                         Env& env)
        : url_(std::move(url)), key_(std::move(key)), proxy_(std::move(proxy)), env_(env),
          pacer_(env.clock, pacing) {}

    std::vector<Measurement> Measure(const MeasureRequest& request) override {
        Measurement m = request.page != Page::Ranks ? Failed(Status::Unsupported, "只提供 PR 值")
                        : key_.empty() ? Failed(Status::NotConfigured, "未配置 API key")
                                       : Lookup(std::string(SiteHost(request.site)));
        m.time_ms = env_.clock.NowMs();
        return std::vector<Measurement>(request.columns.size(), m);
    }

    std::string Describe() const override { return "Open PageRank 的 page_rank_integer (0–10)"; }

    ProviderState State() const override { return pacer_.State(); }

  private:
    struct Slot {
        std::string domain;
        std::optional<Measurement> result;
    };

    // Whoever finds no request in flight sends one for every site waiting by the time its
    // turn comes; the others wait for their slot to be filled.
    Measurement Lookup(const std::string& domain) {
        auto slot = std::make_shared<Slot>(Slot{domain, std::nullopt});
        std::unique_lock<std::mutex> lock(mutex_);
        waiting_.push_back(slot);
        while (!slot->result) {
            if (busy_) {
                cv_.wait(lock);
                continue;
            }
            busy_ = true;
            lock.unlock();
            const std::optional<Measurement> refused = pacer_.Acquire();
            lock.lock();
            std::vector<std::shared_ptr<Slot>> batch;
            while (!waiting_.empty() && batch.size() < kMaxBatch) {
                batch.push_back(waiting_.front());
                waiting_.erase(waiting_.begin());
            }
            lock.unlock();
            if (refused)
                for (auto& s : batch)
                    s->result = *refused;
            else
                Send(batch);
            lock.lock();
            busy_ = false;
            cv_.notify_all();
        }
        return *slot->result;
    }

    void Send(std::vector<std::shared_ptr<Slot>>& batch) {
        HttpRequest request;
        request.url = url_;
        char sep = '?';
        for (const auto& s : batch) {
            request.url += sep + std::string("domains%5B%5D=") + PercentEncode(s->domain);
            sep = '&';
        }
        request.headers = {{"API-OPR", key_}};
        request.proxy = proxy_;
        request.max_bytes = 1 << 20;
        const HttpResponse r = env_.http.Get(request);
        Measurement fail;
        if (r.status == 429) {
            pacer_.Suspend(Status::RateLimited, "HTTP 429");
            fail = Failed(Status::RateLimited, "HTTP 429");
        } else if (r.status == 401 || r.status == 403) {
            fail = Failed(Status::NotConfigured, "API key 被拒绝");
        } else if (r.status != 200) {
            fail = Failed(Status::NetworkError,
                          r.status ? "HTTP " + std::to_string(r.status) : r.error);
        } else {
            fail = Failed(Status::ParseFailed, "回答中没有此域名");
            const nlohmann::json doc = nlohmann::json::parse(r.body, nullptr, false);
            const auto list = doc.is_object() ? doc.find("response") : doc.end();
            if (list != doc.end() && list->is_array())
                for (const nlohmann::json& item : *list)
                    Fill(batch, item);
            else
                fail = Failed(Status::ParseFailed, "回答中没有 response 数组");
        }
        for (auto& s : batch)
            if (!s->result)
                s->result = fail;
    }

    static void Fill(std::vector<std::shared_ptr<Slot>>& batch, const nlohmann::json& item) {
        if (!item.is_object())
            return;
        const std::string domain = item.value("domain", std::string());
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
        for (auto& s : batch)
            if (!s->result && s->domain == domain)
                s->result = m;
    }

    const std::string url_, key_, proxy_;
    Env& env_;
    Pacer pacer_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool busy_ = false;
    std::vector<std::shared_ptr<Slot>> waiting_;
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
    return std::make_unique<OpenPageRankProvider>(url, key, proxy, pacing, context.env);
}

} // namespace valdane::svc

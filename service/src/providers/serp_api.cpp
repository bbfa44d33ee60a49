// A result count from a paid search API answering JSON: the vendor's URL, headers and fields
// are data, so that a new vendor needs no new build.
#include "engines.h"
#include "pacer.h"
#include "providers.h"
#include "section.h"

#include <nlohmann/json.hpp>
#include <toml++/toml.h>

namespace valdane::svc {
namespace {

// The value at `pointer`, or null where there is none (a pointer into an array by a name
// throws rather than answers).
const nlohmann::json* At(const nlohmann::json& doc, const nlohmann::json::json_pointer& pointer) {
    try {
        return doc.contains(pointer) ? &doc.at(pointer) : nullptr;
    } catch (const nlohmann::json::exception&) {
        return nullptr;
    }
}

// A value that says something: not null, false, 0 or empty.
bool Truthy(const nlohmann::json& value) {
    return !(value.is_null() || (value.is_boolean() && !value.get<bool>()) ||
             (value.is_number() && value.get<double>() == 0) ||
             ((value.is_string() || value.is_array() || value.is_object()) && value.empty()));
}

struct Definition {
    SearchTemplate search;
    std::string proxy;
    nlohmann::json::json_pointer count, no_results, error;
    bool has_no_results = false, has_error = false;
    std::string no_results_value; // "": any value that says something
};

class SerpApiProvider final : public Provider {
  public:
    SerpApiProvider(const std::string& name, Definition def, PacerConfig pacing,
                    ProviderContext& context)
        : def_(std::move(def)), env_(context.env),
          pacer_(context.env, context.store, name, pacing) {}

    std::vector<Measurement> Measure(const MeasureRequest& request) override {
        const std::string& query = def_.search.QueryFor(request.page);
        std::optional<Measurement> m =
            query.empty()             ? Failed(Status::Unsupported, "此接口不提供此项")
            : def_.search.key.empty() ? Failed(Status::NotConfigured, "未配置 API key")
                                      : Query(std::string(SiteHost(request.site)), query);
        if (!m)
            return {}; // not our turn yet
        m->time_ms = env_.clock.NowMs();
        return std::vector<Measurement>(request.columns.size(), *m);
    }

    std::string Describe() const override {
        return "搜索接口 (JSON) 的估计结果数" +
               std::string(def_.search.key.empty() ? "（未配置 key，不使用）" : "");
    }

    ProviderState State() const override { return pacer_.State(); }
    Pacer* pacer() override { return &pacer_; }

  private:
    // nullopt when the pacer says wait.
    std::optional<Measurement> Query(const std::string& site, const std::string& query) {
        if (std::optional<Measurement> instead; !Proceed(pacer_, &instead))
            return instead;
        HttpRequest request = def_.search.Request(site, query);
        request.proxy = def_.proxy;
        const HttpResponse r = env_.http.Get(request);
        if (r.status == 0)
            return Failed(Status::NetworkError, r.error);
        if (r.status == 429) {
            pacer_.Suspend(Status::RateLimited, "接口限流 (HTTP 429)");
            return Failed(Status::RateLimited, "HTTP 429");
        }
        if (r.status == 401 || r.status == 403)
            return Failed(Status::NotConfigured,
                          "key 被拒绝 (HTTP " + std::to_string(r.status) + ")");
        if (r.status != 200)
            return Failed(Status::NetworkError, "HTTP " + std::to_string(r.status));
        if (r.truncated)
            return Failed(Status::ParseFailed, "回答过大");
        return Read(nlohmann::json::parse(r.body, nullptr, false));
    }

    // "No results" first: some vendors also fill their error field for an empty search.
    Measurement Read(const nlohmann::json& doc) const {
        if (doc.is_discarded() || !doc.is_object())
            return Failed(Status::ParseFailed, "回答不是 JSON 对象");
        if (const nlohmann::json* v = def_.has_no_results ? At(doc, def_.no_results) : nullptr;
            v &&
            (def_.no_results_value.empty()
                 ? Truthy(*v)
                 : v->is_string() && v->get_ref<const std::string&>() == def_.no_results_value)) {
            Measurement m;
            m.status = Status::NotFound;
            m.number = 0;
            return m;
        }
        if (const nlohmann::json* v = def_.has_error ? At(doc, def_.error) : nullptr;
            v && Truthy(*v)) {
            std::string why = v->is_string() ? v->get<std::string>() : v->dump();
            if (why.size() > 200)
                why.resize(200);
            return Failed(Status::NetworkError, "接口报错：" + why);
        }
        std::optional<std::int64_t> n;
        if (const nlohmann::json* v = At(doc, def_.count)) {
            if (v->is_number_unsigned() || (v->is_number_integer() && v->get<std::int64_t>() >= 0))
                n = v->get<std::int64_t>();
            else if (v->is_string())
                n = ParseResultCount(v->get_ref<const std::string&>());
        }
        if (!n)
            return Failed(Status::ParseFailed,
                          "回答中没有可读的结果数 (" + def_.count.to_string() + ")");
        Measurement m;
        m.status = *n > 0 ? Status::Ok : Status::NotFound;
        m.number = *n;
        return m;
    }

    const Definition def_;
    Env& env_;
    Pacer pacer_;
};

// A JSON pointer from the section; false (the reader failed) when it is not one.
bool Pointer(SectionReader& read, std::string_view key, nlohmann::json::json_pointer* out,
             bool* present) {
    std::string text;
    read.String(key, &text);
    if (text.empty())
        return true;
    try {
        *out = nlohmann::json::json_pointer(text);
    } catch (const nlohmann::json::exception&) {
        read.Fail(key, "expected a JSON pointer such as \"/search_information/total_results\"");
        return false;
    }
    *present = true;
    return true;
}

} // namespace

std::unique_ptr<Provider> MakeSerpApiProvider(const std::string& name, const toml::table& section,
                                              ProviderContext& context, std::string* error) {
    Definition def;
    def.search.query_sites = "site:{site}";
    def.search.timeout_ms = 30000;
    def.search.max_bytes = 4 << 20;
    // Vendors sell by the month: a few thousand a day at most, a second apart.
    PacerConfig pacing{.interval_ms = 1000, .jitter_ms = 0, .daily_budget = 100};
    SectionReader read(name, section);
    ReadSearchTemplate(read, &def.search);
    read.String("key", &def.search.key);
    read.String("proxy", &def.proxy);
    read.String("no_results_value", &def.no_results_value);
    ReadPacerConfig(read, &pacing);
    bool has_count = false;
    if (Pointer(read, "count", &def.count, &has_count) &&
        Pointer(read, "no_results", &def.no_results, &def.has_no_results) &&
        Pointer(read, "error", &def.error, &def.has_error) && !has_count)
        read.Fail("count", "a JSON pointer to the result count is needed");
    if (!read.Done(error))
        return nullptr;
    return std::make_unique<SerpApiProvider>(name, std::move(def), pacing, context);
}

} // namespace valdane::svc

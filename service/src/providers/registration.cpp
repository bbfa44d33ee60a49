// The WHOIS page and the registration fields of the ranking page: RDAP where the TLD has it,
// port-43 WHOIS where it has not.
#include "charset.h"
#include "lookup.h"
#include "rdap.h"
#include "safefetch.h"
#include "section.h"
#include "whois43.h"

#include <libpsl.h>
#include <toml++/toml.h>

#include <memory>
#include <optional>

namespace valdane::svc {
namespace {

constexpr int kRegisteredColumn = 4, kOwnerColumn = 6, kAddressColumn = 7, kEmailColumn = 8;

// The name a registry holds: the labels just below an ICANN public suffix. Private suffixes
// (blog hosts and the like) are no registries, so they do not count here.
std::optional<std::string> RegisteredName(const std::string& site) {
    constexpr int kSuffixes = PSL_TYPE_ICANN | PSL_TYPE_NO_STAR_RULE;
    std::string host = site.substr(0, site.find_first_of("/:"));
    while (!host.empty() && host.back() == '.')
        host.pop_back();
    static const psl_ctx_t* psl = psl_builtin() ? psl_builtin() : psl_latest(nullptr);
    if (!psl || host.find('.') == std::string::npos ||
        psl_is_public_suffix2(psl, host.c_str(), kSuffixes))
        return std::nullopt;
    std::string name = host;
    for (;;) {
        const std::size_t dot = name.find('.');
        const std::string parent = name.substr(dot + 1);
        if (parent.find('.') == std::string::npos ||
            psl_is_public_suffix2(psl, parent.c_str(), kSuffixes))
            return name;
        name = parent;
    }
}

struct Lookup {
    Status status = Status::NetworkError;
    std::string detail;
    std::string whois_text;             // the WHOIS page's text
    std::optional<Registration> record; // what the ranking page's fields come from
};

Lookup Outcome(Status status, std::string detail, std::string whois_text = {}) {
    Lookup l;
    l.status = status;
    l.detail = std::move(detail);
    l.whois_text = std::move(whois_text);
    return l;
}

class RegistrationProvider final : public Provider {
  public:
    RegistrationProvider(Env& env, std::unique_ptr<RdapBootstrap> bootstrap, HttpRequest rdap,
                         SafeFetchOptions related, std::optional<WhoisOptions> whois)
        : env_(env), bootstrap_(std::move(bootstrap)), rdap_(std::move(rdap)),
          related_(std::move(related)), whois_(std::move(whois)) {}

    std::vector<Measurement> Measure(const MeasureRequest& request) override {
        std::vector<Measurement> out(request.columns.size());
        const std::int64_t now = env_.clock.NowMs();
        bool wanted = false;
        for (std::size_t i = 0; i < out.size(); ++i) {
            out[i].time_ms = now;
            wanted = wanted || Serves(request.page, request.columns[i]);
        }
        if (!wanted)
            return out;
        const std::optional<std::string> name = RegisteredName(request.site);
        const Lookup found = name ? Find(*name) : Outcome(Status::Unsupported, "不是可注册的域名");
        for (std::size_t i = 0; i < out.size(); ++i)
            if (Serves(request.page, request.columns[i]))
                Fill(found, request.page, request.columns[i], &out[i]);
        return out;
    }

    std::string Describe() const override {
        if (!bootstrap_)
            return "WHOIS（端口 43，自 IANA 起逐级转介）";
        return whois_ ? "RDAP（IANA 引导文件）；无 RDAP 的顶级域用 WHOIS（端口 43）"
                      : "RDAP（IANA 引导文件）";
    }

  private:
    static bool Serves(Page page, int column) {
        return (page == Page::Whois && column == 0) ||
               (page == Page::Alexa && (column == kRegisteredColumn || column == kOwnerColumn ||
                                        column == kAddressColumn || column == kEmailColumn));
    }

    Lookup Find(const std::string& name) {
        Lookup unavailable = Outcome(Status::Unsupported, "该顶级域没有 RDAP 服务");
        if (bootstrap_) {
            std::string why;
            const std::optional<std::string> base = bootstrap_->BaseFor(name, &why);
            if (base && !base->empty())
                return AskRdap(*base, name);
            if (!base)
                unavailable = Outcome(Status::NetworkError, why);
        }
        // Port 43 also stands in while the bootstrap file cannot be had.
        return whois_ ? AskWhois(name) : unavailable;
    }

    Lookup AskRdap(const std::string& base, const std::string& name) {
        HttpRequest request = rdap_;
        request.url = base + "domain/" + name;
        const HttpResponse response = env_.http.Get(request);
        const std::string source = "RDAP " + request.url;
        Lookup found;
        switch (response.status) {
        case 200:
            break;
        case 404:
            return Outcome(Status::NotFound, "RDAP 404",
                           "未找到该域名的注册信息（RDAP 404）\r\n\r\n数据来源：" + source);
        case 429:
            return Outcome(Status::RateLimited, "RDAP HTTP 429");
        case 0:
            return Outcome(Status::NetworkError, "RDAP: " + response.error);
        default:
            return Outcome(Status::NetworkError, "RDAP HTTP " + std::to_string(response.status));
        }
        if (response.truncated)
            return Outcome(Status::ParseFailed, "RDAP 回答过大");
        std::string why;
        found.record = ParseRdapDomain(response.body, &why);
        if (!found.record)
            return Outcome(Status::ParseFailed, why);
        found.status = Status::Ok;
        std::string sources = source;
        if (auto registrar = AskRegistrar(*found.record)) {
            found.record = MergeRegistrarAnswer(*found.record, *registrar);
            sources += "；RDAP " + found.record->related;
        }
        found.whois_text = RenderRegistration(*found.record, sources);
        return found;
    }

    // A thin registry names only the registrar; its "related" link leads to the registrar's
    // record, which holds the registrant. The link comes from outside, so it is fetched by the
    // rules of home pages. Any failure keeps the registry's answer alone.
    std::optional<Registration> AskRegistrar(const Registration& registry) {
        if (registry.related.empty())
            return std::nullopt;
        const SafeFetchResult fetched = SafeGet(env_, registry.related, related_);
        if (!fetched.refused.empty() || fetched.response.status != 200 ||
            fetched.response.truncated)
            return std::nullopt;
        std::string why;
        std::optional<Registration> registrar = ParseRdapDomain(fetched.response.body, &why);
        auto ldh = [](const std::string& domain) { return domain.substr(0, domain.find("（")); };
        if (!registrar ||
            (!registrar->domain.empty() && ldh(registrar->domain) != ldh(registry.domain)))
            return std::nullopt; // a record of another name is no record of this one
        return registrar;
    }

    Lookup AskWhois(const std::string& name) {
        const WhoisAnswer answer = WhoisLookup(env_, name, *whois_);
        if (!answer.ok)
            return Outcome(Status::NetworkError, "WHOIS: " + answer.error);
        if (answer.no_service)
            return Outcome(Status::Unsupported, "该顶级域没有 WHOIS 服务");
        Lookup found;
        found.status = answer.not_found ? Status::NotFound : Status::Ok;
        found.whois_text = answer.text + "\r\n\r\n数据来源：WHOIS " + answer.server;
        if (!answer.not_found)
            found.record = ParseWhoisText(answer.text);
        return found;
    }

    static void Fill(const Lookup& found, Page page, int column, Measurement* m) {
        m->status = found.status;
        m->detail = found.detail;
        if (page == Page::Whois) {
            m->text = found.whois_text;
            return;
        }
        if (found.status == Status::NotFound)
            m->text = kUndisclosed;
        if (!found.record)
            return;
        const Registration& r = *found.record;
        const std::string value =
            column == kRegisteredColumn ? DatePart(r.registered)
            : column == kOwnerColumn
                ? (r.registrant_name.empty() ? r.registrant_org : r.registrant_name)
            : column == kAddressColumn ? r.registrant_address
                                       : r.registrant_email;
        // Withheld or unpublished: the registry says nothing, which is what 未公开 means.
        m->status = value.empty() ? Status::NotFound : Status::Ok;
        m->text = value.empty() ? std::string(kUndisclosed) : CleanField(value, 200);
    }

    Env& env_;
    const std::unique_ptr<RdapBootstrap> bootstrap_; // null: port 43 only
    const HttpRequest rdap_;
    const SafeFetchOptions related_;          // the registrar's record
    const std::optional<WhoisOptions> whois_; // nullopt: RDAP only
};

} // namespace

std::unique_ptr<Provider> MakeRegistrationProvider(const std::string& name,
                                                   const toml::table& section, Env& env,
                                                   const std::filesystem::path& data_dir,
                                                   std::string* error) {
    const bool rdap = section["type"].value_or(std::string()) != "whois";
    std::string bootstrap_url = "https://data.iana.org/rdap/dns.json";
    std::int64_t max_age_hours = 24, timeout_ms = 10000, max_bytes = 1024 * 1024;
    std::int64_t whois_port = 43, whois_timeout_ms = 10000, whois_max_bytes = 256 * 1024;
    std::int64_t max_referrals = 3;
    bool port43 = true;
    HttpRequest request;
    request.user_agent = "valdane-service";
    WhoisOptions whois;
    SectionReader read(name, section);
    if (rdap) {
        read.String("bootstrap_url", &bootstrap_url);
        read.Int("bootstrap_max_age_hours", 1, 24 * 30, &max_age_hours);
        read.Int("timeout_ms", 1, 60000, &timeout_ms);
        read.Int("max_bytes", 4096, 16 * 1024 * 1024, &max_bytes);
        read.String("user_agent", &request.user_agent);
        read.String("proxy", &request.proxy);
        read.Bool("port43", &port43);
    }
    read.String("whois_host", &whois.host);
    read.Int("whois_port", 1, 65535, &whois_port);
    read.Int("whois_timeout_ms", 1, 60000, &whois_timeout_ms);
    read.Int("whois_max_bytes", 1024, 4 * 1024 * 1024, &whois_max_bytes);
    read.Int("max_referrals", 0, 3, &max_referrals);
    std::vector<std::string> allow;
    read.Strings("allow_networks", &allow);
    for (const std::string& text : allow) {
        const auto network = ParseNetwork(text);
        if (!network)
            read.Fail("allow_networks", "not a network: " + text);
        else
            whois.allow.push_back(*network);
    }
    if (!read.Done(error))
        return nullptr;
    request.timeout_ms = timeout_ms;
    request.max_bytes = static_cast<std::size_t>(max_bytes);
    whois.port = static_cast<int>(whois_port);
    whois.timeout_ms = whois_timeout_ms;
    whois.max_bytes = static_cast<std::size_t>(whois_max_bytes);
    whois.max_referrals = static_cast<int>(max_referrals);

    std::unique_ptr<RdapBootstrap> bootstrap;
    if (rdap) {
        HttpRequest bootstrap_request = request;
        bootstrap_request.max_bytes = 4 * 1024 * 1024; // the whole list: about 100 KB today
        bootstrap = std::make_unique<RdapBootstrap>(
            env, bootstrap_url, data_dir.empty() ? data_dir : data_dir / "rdap-dns.json",
            max_age_hours * 3600 * 1000, bootstrap_request);
        request.headers.emplace_back("Accept", "application/rdap+json, application/json");
    }
    SafeFetchOptions related;
    related.allow = whois.allow;
    related.max_bytes = request.max_bytes;
    related.timeout_ms = request.timeout_ms;
    related.user_agent = request.user_agent;
    related.headers = request.headers;
    std::optional<WhoisOptions> port43_options;
    if (!rdap || port43)
        port43_options = whois;
    return std::make_unique<RegistrationProvider>(env, std::move(bootstrap), request,
                                                  std::move(related), port43_options);
}

} // namespace valdane::svc

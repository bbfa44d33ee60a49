#include "rdap.h"

#include "charset.h"
#include "lookup.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <system_error>

namespace valdane::svc {
namespace {

using nlohmann::json;

constexpr std::size_t kFieldChars = 200;
constexpr std::size_t kListItems = 20; // statuses and name servers shown at most
constexpr std::int64_t kRetryMs = 3600 * 1000;
constexpr std::string_view kCrLf = "\r\n";

bool Has(std::string_view haystack, std::string_view needle) {
    return haystack.find(needle) != std::string_view::npos;
}

// A string member of an object, "" when absent or of another type.
std::string Str(const json& object, const char* key) {
    if (!object.is_object())
        return {};
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

const json& Member(const json& object, const char* key) {
    static const json null;
    if (!object.is_object())
        return null;
    const auto it = object.find(key);
    return it == object.end() ? null : *it;
}

std::string Clean(std::string_view text) {
    return CleanField(text, kFieldChars);
}

// "2003-03-17T12:20:05Z" -> "2003-03-17 12:20:05 UTC"; other shapes as they stand.
std::string ReadableTime(std::string_view when) {
    std::string out = Clean(when);
    if (out.size() >= 19 && !DatePart(out).empty() && out[10] == 'T') {
        out[10] = ' ';
        if (out.back() == 'Z')
            out = out.substr(0, out.size() - 1) + " UTC";
    }
    return out;
}

bool HasRole(const json& entity, std::string_view role) {
    const json& roles = Member(entity, "roles");
    return roles.is_array() && std::any_of(roles.begin(), roles.end(), [&](const json& r) {
               return r.is_string() && Lowered(r.get<std::string>()) == role;
           });
}

// The entity with `role` among the domain's entities or theirs (one level down).
const json* FindEntity(const json& domain, std::string_view role) {
    const json& entities = Member(domain, "entities");
    if (!entities.is_array())
        return nullptr;
    for (const json& e : entities)
        if (HasRole(e, role))
            return &e;
    for (const json& e : entities) {
        const json& inner = Member(e, "entities");
        if (inner.is_array())
            for (const json& i : inner)
                if (HasRole(i, role))
                    return &i;
    }
    return nullptr;
}

std::string_view Trimmed(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    return s;
}

// Text of a jCard value: a string, or the non-blank parts of a structured one joined (without
// withheld parts when drop_withheld, so a half-redacted address keeps what is public).
// A jCard value nests arrays two deep at most (a structured value's components, each a list);
// deeper ones are not read, so that a hostile answer cannot exhaust the stack.
std::string JCardText(const json& value, std::string_view separator, bool drop_withheld,
                      int depth = 0) {
    if (value.is_string())
        return std::string(Trimmed(value.get<std::string>()));
    std::string out;
    if (value.is_array() && depth < 2)
        for (const json& part : value) {
            const std::string text = JCardText(part, separator, drop_withheld, depth + 1);
            if (!text.empty() && !(drop_withheld && IsWithheld(text)))
                out += (out.empty() ? "" : std::string(separator)) + text;
        }
    return out;
}

// The first property `name` of a jCard ["vcard", [[name, params, type, value], ...]].
const json* JCardProperty(const json& entity, std::string_view name) {
    const json& card = Member(entity, "vcardArray");
    if (!card.is_array() || card.size() < 2 || !card[1].is_array())
        return nullptr;
    for (const json& p : card[1])
        if (p.is_array() && p.size() >= 4 && p[0].is_string() && p[0].get<std::string>() == name)
            return &p;
    return nullptr;
}

std::string JCardValue(const json& entity, std::string_view name) {
    const json* p = JCardProperty(entity, name);
    if (!p)
        return {};
    if (name == "adr") {
        // Structured: post box, extended, street, locality, region, code, country; or a label.
        std::string text = JCardText((*p)[3], ", ", true);
        if (text.empty())
            text = Str((*p)[1], "label");
        return text;
    }
    return JCardText((*p)[3], " ", false);
}

// Registrant fields that RFC 9537 says were redacted, by their "Registrant ..." names.
struct Redacted {
    bool name = false, org = false, address = false, email = false;
};

Redacted ReadRedactions(const json& domain) {
    Redacted r;
    const json& list = Member(domain, "redacted");
    if (!list.is_array())
        return r;
    for (const json& item : list) {
        const json& name = Member(item, "name");
        const std::string what = Lowered(Str(name, "type") + " " + Str(name, "description"));
        if (!Has(what, "registrant"))
            continue;
        r.name = r.name || (Has(what, "name") && !Has(what, "organi"));
        r.org = r.org || Has(what, "organi");
        r.address = r.address || Has(what, "street") || Has(what, "city") || Has(what, "postal") ||
                    Has(what, "province") || Has(what, "address");
        r.email = r.email || Has(what, "email") || Has(what, "e-mail");
    }
    return r;
}

std::string Shown(const std::string& value, bool redacted) {
    return redacted || IsWithheld(value) ? std::string() : Clean(value);
}

std::string EventDate(const json& domain, std::string_view action) {
    const json& events = Member(domain, "events");
    if (events.is_array())
        for (const json& e : events)
            if (Lowered(Str(e, "eventAction")) == action)
                return ReadableTime(Str(e, "eventDate"));
    return {};
}

// The first link to a related RDAP record (RFC 9083 section 4.2): where a thin registry points
// to the registrar's record of the domain.
std::string RelatedLink(const json& domain) {
    const json& links = Member(domain, "links");
    if (links.is_array())
        for (const json& link : links) {
            const std::string href = Str(link, "href");
            if (Lowered(Str(link, "rel")) == "related" &&
                Has(Lowered(Str(link, "type")), "application/rdap+json") && href.size() < 2048 &&
                (href.rfind("https://", 0) == 0 || href.rfind("http://", 0) == 0))
                return href;
        }
    return {};
}

int MonthNumber(std::string_view name) {
    static constexpr std::string_view kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                                   "jul", "aug", "sep", "oct", "nov", "dec"};
    const std::string lowered = Lowered(name);
    for (int i = 0; i < 12; ++i)
        if (lowered == kMonths[i])
            return i + 1;
    return 0;
}

std::string Base(std::string url) {
    if (!url.empty() && url.back() != '/')
        url += '/';
    return url;
}

} // namespace

std::string DatePart(std::string_view when) {
    when = Trimmed(when);
    // Reads n digits at `at`, or fails; -1 as "none".
    auto number = [&](std::size_t at, std::size_t n) {
        if (at + n > when.size())
            return -1;
        int value = 0;
        for (std::size_t i = at; i < at + n; ++i) {
            if (!std::isdigit(static_cast<unsigned char>(when[i])))
                return -1;
            value = value * 10 + (when[i] - '0');
        }
        return value;
    };
    auto separator = [&](std::size_t at) {
        return at < when.size() && (when[at] == '-' || when[at] == '.' || when[at] == '/');
    };
    int year = -1, month = -1, day = -1;
    std::size_t end = 0;
    if (number(0, 4) >= 0 && separator(4) && separator(7)) { // 2005-04-29, 2005.04.29
        year = number(0, 4), month = number(5, 2), day = number(8, 2), end = 10;
    } else if (const std::size_t dash = when.find('-');
               dash >= 1 && dash <= 2 && number(0, dash) >= 0 && when.size() >= dash + 9 &&
               when[dash + 4] == '-') { // 29-apr-2005
        day = number(0, dash), month = MonthNumber(when.substr(dash + 1, 3));
        year = number(dash + 5, 4), end = dash + 9;
    } else if (number(0, 2) >= 0 && when.size() >= 10 && when[2] == '.' &&
               when[5] == '.') { // 29.04.2005
        day = number(0, 2), month = number(3, 2), year = number(6, 4), end = 10;
    }
    if (year < 1000 || month < 1 || month > 12 || day < 1 || day > 31 ||
        (end < when.size() && std::isdigit(static_cast<unsigned char>(when[end]))))
        return {};
    char out[32];
    std::snprintf(out, sizeof out, "%04d-%02d-%02d", year, month, day);
    return out;
}

bool IsWithheld(std::string_view value) {
    const std::string v = Lowered(value);
    for (const char* mark : {"redacted", "privacy", "withheld", "not disclosed", "gdpr",
                             "data protected", "non-public", "not available", "masked"})
        if (Has(v, mark))
            return true;
    return IsPrivacyService(value);
}

bool IsPrivacyService(std::string_view value) {
    const std::string v = Lowered(value);
    for (const char* mark :
         {"whoisguard", "withheld for privacy", "contact privacy", "domains by proxy",
          "privacy service provided by", "registration private", "perfect privacy", "whois privacy",
          "privacy protect", "domain privacy", "identity protect"})
        if (Has(v, mark))
            return true;
    return false;
}

bool IsEmailAddress(std::string_view value) {
    const std::size_t at = value.find('@');
    return at != std::string_view::npos && at > 0 && at + 1 < value.size() &&
           value.find('@', at + 1) == std::string_view::npos &&
           value.find('/') == std::string_view::npos &&
           std::none_of(value.begin(), value.end(),
                        [](char c) { return std::isspace(static_cast<unsigned char>(c)); });
}

void WithholdContact(std::string_view name, std::string_view org, Registration* r) {
    if (IsWithheld(Trimmed(name)) || IsPrivacyService(org)) {
        r->registrant_name.clear();
        r->registrant_org.clear();
        r->registrant_address.clear();
        r->registrant_email.clear();
    }
    if (!IsEmailAddress(r->registrant_email))
        r->registrant_email.clear();
}

Registration MergeRegistrarAnswer(Registration registry, const Registration& registrar) {
    if (registrar.registrant_listed) {
        registry.registrant_listed = true;
        registry.registrant_name = registrar.registrant_name;
        registry.registrant_org = registrar.registrant_org;
        registry.registrant_address = registrar.registrant_address;
        registry.registrant_email = registrar.registrant_email;
    }
    for (auto field : {&Registration::registrar, &Registration::registered, &Registration::expires,
                       &Registration::updated})
        if ((registry.*field).empty())
            registry.*field = registrar.*field;
    if (registry.status.empty())
        registry.status = registrar.status;
    if (registry.nameservers.empty())
        registry.nameservers = registrar.nameservers;
    return registry;
}

std::string RenderRegistration(const Registration& r, const std::string& source) {
    const std::string none(kUndisclosed);
    std::string out;
    auto line = [&](std::string_view label, const std::string& value) {
        out.append(label).append(value.empty() ? none : value).append(kCrLf);
    };
    line("域名：", r.domain);
    line("注册商：", r.registrar);
    line("注册日期：", r.registered);
    line("到期日期：", r.expires);
    line("更新日期：", r.updated);
    std::string status;
    for (const std::string& s : r.status)
        status += (status.empty() ? "" : ", ") + s;
    line("状态：", status);
    if (r.nameservers.empty())
        line("域名服务器：", "");
    for (const std::string& ns : r.nameservers)
        line("域名服务器：", ns);
    line("注册人：", r.registrant_name);
    line("注册人组织：", r.registrant_org);
    line("注册人地址：", r.registrant_address);
    line("注册人邮箱：", r.registrant_email);
    out.append(kCrLf).append("数据来源：").append(source);
    return out;
}

std::optional<std::map<std::string, std::string>> ParseBootstrap(std::string_view text) {
    const json doc = json::parse(text, nullptr, false);
    const json& services = Member(doc, "services");
    if (!services.is_array())
        return std::nullopt;
    std::map<std::string, std::string> bases;
    for (const json& service : services) {
        if (!service.is_array() || service.size() < 2 || !service[0].is_array() ||
            !service[1].is_array())
            continue;
        std::string base;
        for (const json& url : service[1])
            if (url.is_string() && (base.empty() || url.get<std::string>().rfind("https:", 0) == 0))
                base = url.get<std::string>();
        if (base.empty())
            continue;
        for (const json& tld : service[0])
            if (tld.is_string())
                bases[Lowered(tld.get<std::string>())] = Base(base);
    }
    if (bases.empty())
        return std::nullopt;
    return bases;
}

std::optional<Registration> ParseRdapDomain(std::string_view text, std::string* why) {
    const json doc = json::parse(text, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) {
        *why = "RDAP 回答不是 JSON 对象";
        return std::nullopt;
    }
    if (Lowered(Str(doc, "objectClassName")) != "domain") {
        *why = "RDAP 回答不是域名对象";
        return std::nullopt;
    }
    Registration r;
    const std::string ldh = Lowered(Str(doc, "ldhName"));
    const std::string unicode = Str(doc, "unicodeName");
    r.domain = Clean(ldh);
    if (!unicode.empty() && Lowered(unicode) != ldh)
        r.domain += "（" + Clean(unicode) + "）";
    if (const json* registrar = FindEntity(doc, "registrar")) {
        r.registrar = Shown(JCardValue(*registrar, "fn"), false);
        if (r.registrar.empty()) // some registries name it only as the card's organisation
            r.registrar = Shown(JCardValue(*registrar, "org"), false);
    }
    r.registered = EventDate(doc, "registration");
    r.expires = EventDate(doc, "expiration");
    r.updated = EventDate(doc, "last changed");
    const json& status = Member(doc, "status");
    if (status.is_array())
        for (const json& s : status)
            if (s.is_string() && r.status.size() < kListItems)
                r.status.push_back(Clean(s.get<std::string>()));
    const json& nameservers = Member(doc, "nameservers");
    if (nameservers.is_array())
        for (const json& ns : nameservers)
            if (const std::string name = Str(ns, "ldhName");
                !name.empty() && r.nameservers.size() < kListItems)
                r.nameservers.push_back(Clean(Lowered(name)));
    const Redacted redacted = ReadRedactions(doc);
    if (const json* registrant = FindEntity(doc, "registrant")) {
        const std::string name = JCardValue(*registrant, "fn");
        const std::string org = JCardValue(*registrant, "org");
        r.registrant_listed = true;
        r.registrant_name = Shown(name, redacted.name);
        r.registrant_org = Shown(org, redacted.org);
        r.registrant_address = Shown(JCardValue(*registrant, "adr"), redacted.address);
        r.registrant_email = Shown(JCardValue(*registrant, "email"), redacted.email);
        WithholdContact(name, org, &r);
    }
    r.related = RelatedLink(doc);
    return r;
}

RdapBootstrap::RdapBootstrap(Env& env, std::string url, std::filesystem::path cache_file,
                             std::int64_t max_age_ms, HttpRequest request_template)
    : env_(env), url_(std::move(url)), cache_file_(std::move(cache_file)), max_age_ms_(max_age_ms),
      template_(std::move(request_template)) {}

void RdapBootstrap::LoadFile() {
    file_read_ = true;
    if (cache_file_.empty())
        return;
    std::ifstream in(cache_file_, std::ios::binary);
    if (!in)
        return;
    std::stringstream buffer;
    buffer << in.rdbuf();
    const json doc = json::parse(buffer.str(), nullptr, false);
    const json& when = Member(doc, "fetched_ms");
    if (Str(doc, "url") != url_ || !when.is_number_integer())
        return;
    if (auto bases = ParseBootstrap(Member(doc, "bootstrap").dump())) {
        bases_ = std::move(*bases);
        fetched_ms_ = when.get<std::int64_t>();
    }
}

bool RdapBootstrap::Fetch(std::string* why) {
    HttpRequest request = template_;
    request.url = url_;
    request.headers.emplace_back("Accept", "application/json");
    const HttpResponse response = env_.http.Get(request);
    const std::int64_t now = env_.clock.NowMs();
    std::optional<std::map<std::string, std::string>> bases;
    if (response.status != 200)
        *why = "RDAP 引导文件取不到: " +
               (response.status ? "HTTP " + std::to_string(response.status) : response.error);
    else if (response.truncated || !(bases = ParseBootstrap(response.body)))
        *why = "RDAP 引导文件无法读取";
    if (!bases) {
        next_try_ms_ = now + kRetryMs;
        return false;
    }
    bases_ = std::move(*bases);
    fetched_ms_ = now;
    if (cache_file_.empty())
        return true;
    // Written aside and renamed, so a reader never sees half a file.
    const json doc = {{"url", url_},
                      {"fetched_ms", now},
                      {"bootstrap", json::parse(response.body, nullptr, false)}};
    std::error_code ec;
    std::filesystem::create_directories(cache_file_.parent_path(), ec);
    const std::filesystem::path temp = cache_file_.string() + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << doc.dump();
        if (!out)
            return true; // the copy in memory serves; the next start fetches again
    }
    std::filesystem::rename(temp, cache_file_, ec);
    return true;
}

std::optional<std::string> RdapBootstrap::BaseFor(std::string_view domain, std::string* why) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!file_read_)
        LoadFile();
    const std::int64_t now = env_.clock.NowMs();
    const bool old = bases_.empty() || now < fetched_ms_ || now - fetched_ms_ >= max_age_ms_;
    if (old && now >= next_try_ms_) {
        std::string error;
        if (!Fetch(&error))
            last_error_ = error;
    }
    if (bases_.empty()) {
        *why = last_error_;
        return std::nullopt;
    }
    // The longest listed suffix wins (RFC 9224 section 4).
    std::string name = Lowered(domain);
    for (;;) {
        const auto it = bases_.find(name);
        if (it != bases_.end())
            return it->second;
        const std::size_t dot = name.find('.');
        if (dot == std::string::npos)
            return std::string();
        name = name.substr(dot + 1);
    }
}

} // namespace valdane::svc

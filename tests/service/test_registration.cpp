// Registration look-ups against fakes on 127.0.0.1: port-43 WHOIS servers (referrals, loops,
// charsets, limits), and an RDAP bootstrap file and server serving captured answers.
#include "fakes.h"
#include "fixture.h"
#include "pieces.h"
#include "providers/lookup.h"
#include "providers/rdap.h"

#include <sys/socket.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <toml++/toml.h>

using namespace valdane::svc;
using nlohmann::json;

namespace {

// Answers every connection with one fixed text, then closes, as RFC 3912 servers do.
class FakeWhois {
  public:
    explicit FakeWhois(const char* address = "127.0.0.1")
        : tcp_([this](int fd) { Serve(fd); }, address) {}
    void Answer(std::string text) {
        std::lock_guard<std::mutex> guard(mutex_);
        answer_ = std::move(text);
    }
    std::string host() const { return "s" + std::to_string(port()) + ".test"; }
    std::string name() const { return host() + ":" + std::to_string(port()); }
    int port() const { return tcp_.port(); }
    int connections() const { return connections_; }
    std::string query() {
        std::lock_guard<std::mutex> guard(mutex_);
        return query_;
    }

  private:
    void Serve(int fd) {
        std::string line;
        char ch;
        while (line.size() < 1000 && recv(fd, &ch, 1, 0) == 1 && ch != '\n')
            line += ch;
        std::lock_guard<std::mutex> guard(mutex_);
        query_ = line;
        ++connections_;
        send(fd, answer_.data(), answer_.size(), MSG_NOSIGNAL);
    }
    std::atomic<int> connections_{0};
    std::mutex mutex_;
    std::string answer_, query_;
    test::FakeTcp tcp_; // last: stopped before the rest goes
};

std::unique_ptr<Provider> RegProvider(test::TestEnv& t, const std::string& section,
                                      const std::filesystem::path& data_dir = {}) {
    std::string error;
    auto p = MakeRegistrationProvider("reg", toml::parse(section), t.env, data_dir, &error);
    EXPECT_TRUE(p) << error;
    return p;
}

struct WhoisFakes {
    test::TestEnv t;
    FakeWhois iana, registry, registrar, extra;
    WhoisFakes() {
        for (FakeWhois* f : {&iana, &registry, &registrar, &extra})
            t.resolver.Set(f->host(), {"127.0.0.1"});
    }
    // Port-43 only unless `type` says otherwise, starting at `start` ("host:port", IANA unless
    // a test names another).
    std::unique_ptr<Provider> Make(const std::string& extra_toml = "", std::string start = "",
                                   const std::string& type = "whois") {
        start = start.empty() ? iana.name() : start;
        const std::size_t colon = start.find(':');
        return RegProvider(t, "type = \"" + type + "\"\nallow_networks = [\"127.0.0.1/32\"]\n" +
                                  "whois_host = \"" + start.substr(0, colon) + "\"\nwhois_port = " +
                                  start.substr(colon + 1) + "\n" + extra_toml);
    }
};

Measurement Whois(Provider& p, const std::string& site = "example.com") {
    return p.Measure({site, Page::Whois, {0}}).at(0);
}

std::string Iana(const std::string& refer) {
    return "% IANA WHOIS server\n\ndomain:       COM\n\nrefer:        " + refer +
           "\n\nwhois:        " + refer + "\n";
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at))
        text.replace(at, from.size(), to), at += to.size();
    return text;
}

// The registry's answer with its "related" link to the registrar pointed at `registrar`.
std::string Registry(const char* file, const std::string& registrar) {
    return Replaced(Replaced(test::Fixture(std::string("rdap/") + file),
                             "https://rdap.markmonitor.com", registrar),
                    "https:\\/\\/rdap.registrar.eu", registrar);
}

struct RdapFake {
    test::TestEnv t;
    test::FakeUpstream up;
    int bootstrap_status = 200;
    std::string accept;
    std::map<std::string, std::string> answers; // name -> body; absent: 404
    RdapFake() {
        up.server().Get("/dns.json", [this](const httplib::Request&, httplib::Response& r) {
            r.status = bootstrap_status;
            // "@" stands for this server; "x" is no service.
            const char* doc = R"({"version":"1.0","publication":"2025-01-01T00:00:00Z","services":)"
                              R"([[["com","net","xyz"],["@/rdap/"]],[["org"],["@/org"]],"x"]})";
            r.set_content(Replaced(doc, "@", up.base()), "application/json");
        });
        up.server().Get(R"(/(rdap|registrar/rdap)/domain/(.+))", [this](const httplib::Request& q,
                                                                        httplib::Response& r) {
            accept = q.get_header_value("Accept");
            const auto it = answers.find(q.matches[1].str() + ":" + std::string(q.matches[2]));
            r.status = it == answers.end() ? 404 : it->second == "429" ? 429 : 200;
            if (r.status == 200)
                r.set_content(it->second, "application/rdap+json");
        });
        EXPECT_TRUE(up.Start());
        answers = {
            {"rdap:google.com", Registry("verisign-google.com.json", up.base() + "/registrar")},
            {"registrar/rdap:GOOGLE.COM", test::Fixture("rdap/markmonitor-google.com.json")},
        };
    }
    std::unique_ptr<Provider> Make(const std::filesystem::path& data_dir,
                                   const std::string& extra = "") {
        return RegProvider(t,
                           "type = \"rdap\"\nport43 = false\nmax_bytes = 8192\nbootstrap_url = \"" +
                               up.base() + "/dns.json\"\n" + extra,
                           data_dir);
    }
};

} // namespace

TEST(Whois43, ReadsCapturedAnswersAlongTheirReferrals) {
    // The site; IANA's answer ("" starts at the registry), the registry's (its referral pointed
    // at the registrar fake) and the registrar's ("" when it cannot be reached); the status and
    // ranking fields 4, 6, 7, 8.
    using Row = std::tuple<const char*, const char*, const char*, const char*, Status, const char*>;
    const Row rows[] = {
        // WhoisGuard fronts the whole contact; without the registrar, "08-jul-2011" stands.
        {"likexian.com", "iana-com.txt", "verisign-likexian.com.txt", "enom-likexian.com.txt",
         Status::Ok, "2011-07-08|未公开|未公开|未公开"},
        {"likexian.com", "iana-com.txt", "verisign-likexian.com.txt", "", Status::Ok,
         "2011-07-08|未公开|未公开|未公开"},
        {"likexian.com", "iana-com.txt", "", "", Status::NetworkError, "|||"},
        {"google.com", "", "markmonitor-google.com.txt", "", Status::Ok,
         "1997-09-15|Google LLC|CA, US|未公开"},
        {"www.google.cn", "", "cnnic-google.cn.txt", "", Status::Ok,
         "2003-03-17|北京谷翔信息技术有限公司|未公开|dns-admin@google.com"},
        {"google.org", "", "pir-google.org.txt", "", Status::Ok,
         "1998-10-21|DNS Admin|1600 Amphitheatre Parkway, Mountain View, CA, 94043, "
         "US|dns-admin@google.com"},
        {"domain.com", "", "godaddy-domainsbyproxy.txt", "", Status::Ok,
         "未公开|未公开|未公开|未公开"},
    };
    const auto fixture = [](const char* n) { return test::Fixture(std::string("whois/") + n); };
    for (const auto& [site, iana, registry, registrar, status, fields] : rows) {
        SCOPED_TRACE(site + std::string(" via ") + iana + " " + registry);
        WhoisFakes f;
        const std::string dead = "127.0.0.1:1";
        if (*iana)
            f.iana.Answer(Replaced(fixture(iana), "whois.verisign-grs.com",
                                   *registry ? f.registry.name() : dead));
        const std::string next = *registrar ? f.registrar.name() : dead;
        if (*registry)
            f.registry.Answer(Replaced(Replaced(fixture(registry), "whois.enom.com", next),
                                       "whois.markmonitor.com", next));
        if (*registrar)
            f.registrar.Answer(fixture(registrar));
        auto provider = f.Make("", (*iana ? f.iana : f.registry).name());
        const Measurement whois = Whois(*provider, site);
        EXPECT_EQ(whois.status, status) << whois.detail;
        EXPECT_EQ(whois.text.find("1985-01-01"), std::string::npos); // the TLD's own record
        const auto got = provider->Measure({site, Page::Alexa, {4, 6, 7, 8}});
        EXPECT_EQ(got[0].text + "|" + got[1].text + "|" + got[2].text + "|" + got[3].text, fields);
        EXPECT_EQ(f.registrar.connections() > 0, *registrar != 0);
    }
}

TEST(Whois43, ReferralsInwardOrToOtherPortsAreNotFollowed) {
    WhoisFakes f;
    FakeWhois inside("127.0.0.2");
    inside.Answer("SSH-2.0-OpenSSH_9.2 secret\n");
    const std::string inward = "127.0.0.2:" + std::to_string(inside.port());
    f.t.resolver.Set("inward.test", {"127.0.0.1", "127.0.0.2"});
    f.t.resolver.Set("public.test", {"93.184.216.34"});
    const std::tuple<std::string, std::string, Status, std::string> rows[] = {
        {"domain: COM\nrefer: " + inward + "\n", "", Status::NetworkError, "127.0.0.2"},
        {Iana(f.registry.name()), "Registrar WHOIS Server: " + inward + "\nx\n", Status::Ok, ""},
        {Iana(f.registry.name()),
         "ReferralServer: rwhois://inward.test:" + std::to_string(inside.port()) + "\n", Status::Ok,
         ""},
        {"domain: COM\nrefer: public.test:2222\n", "", Status::NetworkError, "端口 2222"},
    };
    for (const auto& [iana, registry, status, detail] : rows) {
        f.iana.Answer(iana);
        f.registry.Answer(registry);
        const Measurement m = Whois(*f.Make());
        EXPECT_EQ(m.status, status) << iana << m.detail;
        EXPECT_NE(m.detail.find(detail), std::string::npos) << m.detail;
        EXPECT_EQ(m.text.find("secret"), std::string::npos);
    }
    EXPECT_EQ(inside.connections(), 0);
}

TEST(Whois43, StopsLoopsAndLongChainsAndKeepsTheLastAnswer) {
    WhoisFakes f; // registry and registrar refer to each other
    f.iana.Answer(Iana(f.registry.name()));
    f.registry.Answer("Registrar WHOIS Server: " + f.registrar.name() + "\n");
    f.registrar.Answer("Whois Server: whois://" + f.registry.name() + "/\n");
    EXPECT_EQ(Whois(*f.Make()).status, Status::Ok);
    EXPECT_EQ(std::pair(f.registry.connections(), f.registrar.connections()), std::pair(1, 1));
    // Four hops offered, three taken.
    f.registrar.Answer("ReferralServer: rwhois://" + f.extra.name() + "\nthird\n");
    f.extra.Answer("refer: nowhere.test:1\n");
    EXPECT_EQ(test::Lacks(Whois(*f.Make("max_referrals = 2")).text, "third"), "");
    EXPECT_EQ(f.extra.connections(), 0);
    const Measurement m = Whois(*f.Make());
    EXPECT_EQ(f.extra.connections(), 1); // the default of 3 reaches it, not beyond
    EXPECT_EQ(std::string(StatusName(m.status)) + test::Lacks(m.text, "nowhere.test"), "ok");
}

TEST(Whois43, DecodesCharsetsAndReportsEveryOutcome) {
    const std::string gbk =
        "Registrant: \xB1\xB1\xBE\xA9\xC4\xB3\xC4\xB3\xBF\xC6\xBC\xBC\n" // 北京某某科技
        "Registration Time: 2003-03-17 12:20:05\n";
    // What, the answer, its status, what the WHOIS text holds and field 6.
    const std::tuple<const char*, std::string, Status, std::string, std::string> rows[] = {
        {"gbk", gbk, Status::Ok, "北京某某科技", "北京某某科技"},
        {"not registered", "No match for \"NOPE.COM\".\n", Status::NotFound, "No match", "未公开"},
        {"tld without whois", "domain:       COM\nstatus: ACTIVE\n", Status::Unsupported, "", ""},
        {"huge", std::string(300000, 'x'), Status::Ok, std::string(1024, 'x'), "未公开"},
    };
    for (const auto& [what, answer, status, has, owner] : rows) {
        WhoisFakes f;
        f.iana.Answer(answer);
        auto provider = f.Make("whois_max_bytes = 1024");
        const Measurement whois = Whois(*provider);
        EXPECT_EQ(whois.status, status) << what << ": " << whois.detail;
        EXPECT_NE(whois.text.find(has), std::string::npos) << what;
        EXPECT_LT(whois.text.size(), 1200u) << what;
        EXPECT_EQ(provider->Measure({"example.com", Page::Alexa, {6}})[0].text, owner) << what;
    }
}

TEST(Rdap, ReadsCapturedAnswersFollowsTheRegistrarAndWithholdsProxiedContacts) {
    RdapFake fake;
    test::FakeUpstream inward("127.0.0.2"); // not in allow_networks
    inward.Serve(".*", test::Fixture("rdap/markmonitor-google.com.json"), "application/rdap+json");
    ASSERT_TRUE(inward.Start());
    auto& a = fake.answers;
    a["rdap:inward.com"] = Registry("verisign-google.com.json", inward.base() + "/registrar");
    a["rdap:themarquetry.com"] =
        Registry("verisign-themarquetry.com.json", fake.up.base() + "/registrar");
    for (const char* file : {"namecheap-whoisguard", "namecheap-withheld", "tucows-contactprivacy",
                             "centralnic-registrar-org"})
        a["rdap:" + json::parse(test::Fixture(std::string("rdap/") + file + ".json"))["ldhName"]
                        .get<std::string>()] = test::Fixture(std::string("rdap/") + file + ".json");
    a["rdap:broken.com"] = "{\"objectClassName\": \"domain\", ";
    a["rdap:entity.com"] = R"({"objectClassName":"entity"})";
    a["rdap:odd.com"] = R"({"objectClassName":"domain","ldhName":7,"entities":5,"events":{},)"
                        R"("nameservers":[null,{"ldhName":[]}],"status":"x","redacted":"y"})";
    a["rdap:huge.com"] = std::string(64 * 1024, ' ') + "{}";
    a["rdap:busy.com"] = "429";
    auto provider = fake.Make({}, "allow_networks = [\"127.0.0.1/32\"]");
    const std::string none = "未公开", registrar = fake.up.base() + "/registrar/rdap/domain/";
    // The site, its status, '|'-separated lines its WHOIS text holds, and ranking fields 4, 6, 7,
    // 8 ("-" for 未公开).
    const std::tuple<const char*, Status, std::string, std::string> rows[] = {
        {"www.google.com", Status::Ok,
         "域名：google.com|注册商：MarkMonitor Inc.|注册日期：1997-09-15 04:00:00 UTC|"
         "到期日期：2028-09-14 04:00:00 UTC|更新日期：2019-09-09 15:39:04.000+00:00|"
         "状态：client delete prohibited, client transfer|域名服务器：ns1.google.com\r\n"
         "域名服务器：ns2.google.com|注册人：未公开|注册人组织：Google LLC|注册人地址：CA, US|"
         "数据来源：RDAP " +
             fake.up.base() + "/rdap/domain/google.com；RDAP " + registrar + "GOOGLE.COM",
         "1997-09-15|Google LLC|CA, US|-"},
        {"inward.com", Status::Ok, "注册人组织：未公开", "1997-09-15|-|-|-"},
        // The registrar's 404 keeps the registry's answer.
        {"themarquetry.com", Status::Ok, "注册商：Hosting Concepts B.V. d/b/a Registrar.eu",
         "2021-03-16|-|-|-"},
        {"example-wg.com", Status::Ok, "注册人地址：未公开", "2016-05-04|-|-|-"},
        {"example-wfp.com", Status::Ok, "注册人组织：未公开", "2021-08-01|-|-|-"},
        {"example-cp.com", Status::Ok, "注册人：未公开", "2012-11-05|-|-|-"},
        {"example-org.xyz/a/page", Status::Ok, "注册商：Example Registrar Ltd|注册人组织：未公开",
         "2015-03-02|Jane Roe|1 High St, London, GB|-"},
        {"gone.com", Status::NotFound, "未找到该域名的注册信息（RDAP 404）", "-|-|-|-"},
        {"odd.com", Status::Ok, "域名：未公开|注册日期：未公开", "-|-|-|-"},
        {"broken.com", Status::ParseFailed, "", "|||"},
        {"entity.com", Status::ParseFailed, "", "|||"},
        {"huge.com", Status::ParseFailed, "", "|||"},
        {"busy.com", Status::RateLimited, "", "|||"},
        {"example.cn", Status::Unsupported, "", "|||"}, // no RDAP, port 43 off
        {"com.cn", Status::Unsupported, "", "|||"},     // a suffix, not a name
    };
    for (const auto& [site, status, whois_has, want] : rows) {
        SCOPED_TRACE(site);
        const Measurement whois = Whois(*provider, site);
        EXPECT_EQ(whois.status, status) << whois.detail;
        EXPECT_EQ(test::Lacks(whois.text, whois_has), "") << whois.text;
        const auto alexa = provider->Measure({site, Page::Alexa, {4, 6, 7, 8, 2}});
        ASSERT_EQ(alexa.size(), 5u);
        std::string fields;
        for (std::size_t i = 0; i < 4; ++i) { // withheld fields are not-found, the rest `status`
            const bool withheld = alexa[i].text == none;
            fields += (i ? "|" : "") + (withheld ? "-" : alexa[i].text);
            EXPECT_EQ(alexa[i].status, withheld ? Status::NotFound : status) << "field " << i;
        }
        EXPECT_EQ(fields, want);
        EXPECT_EQ(alexa[4].status, Status::Unsupported); // 综合排名 is not ours
    }
    // With port 43 on, a TLD without RDAP is asked there, for the registered name.
    WhoisFakes w;
    w.iana.Answer("Domain Name: example.cn\nRegistration Time: 2003-03-17 12:20:05\n");
    auto port43 = w.Make("bootstrap_url = \"" + fake.up.base() + "/dns.json\"", "", "rdap");
    const Measurement registered = port43->Measure({"www.example.cn", Page::Alexa, {4}}).at(0);
    EXPECT_EQ(test::Brief(registered) + " " + w.iana.query(), "ok 2003-03-17 example.cn\r");
    // Asked for the registered name, not the host; never inward.
    EXPECT_EQ(std::tuple(fake.accept, fake.up.hits("/rdap/domain/www.google.com"),
                         inward.hits("/registrar/rdap/domain/GOOGLE.COM"),
                         fake.up.hits("/registrar/v1/domain/THEMARQUETRY.COM")),
              std::tuple("application/rdap+json, application/json", 0, 0, 2));
    std::string dates;
    for (const char* text : {"29-apr-2005", "9-Jul-2011", "2005.04.29", "31.12.1995 18:00:00",
                             "29-foo-2005", "2005-13-01", "2005-04-291"})
        dates += DatePart(text) + "|";
    EXPECT_EQ(dates, "2005-04-29|2011-07-09|2005-04-29|1995-12-31||||");
    // Deep nesting from a hostile server is not followed.
    const std::string adr = std::string(200000, '[') + "\"x\"" + std::string(200000, ']');
    const std::string answer = R"({"objectClassName":"domain","ldhName":"example.com",)"
                               R"("entities":[{"roles":["registrant"],"vcardArray":["vcard",)"
                               R"([["fn",{},"text","Jane Roe"],["adr",{},"text",)" +
                               adr + "]]]}]}";
    std::string why;
    const std::optional<Registration> r = ParseRdapDomain(answer, &why);
    ASSERT_TRUE(r) << why;
    EXPECT_EQ(r->registrant_name + "|" + r->registrant_address, "Jane Roe|");
}

TEST(Rdap, BootstrapIsCachedInMemoryAndFileAndRefreshedDaily) {
    RdapFake fake;
    const test::TempDir dir;
    auto provider = fake.Make(dir.path);
    auto registered = [](Provider& p) { return p.Measure({"google.com", Page::Alexa, {4}})[0]; };
    EXPECT_EQ(registered(*provider).text + " " + registered(*provider).text,
              "1997-09-15 1997-09-15");
    EXPECT_EQ(fake.up.hits("/dns.json"), 1);
    EXPECT_TRUE(std::filesystem::exists(dir.path / "rdap-dns.json"));
    // A new start reads the file while it is fresh, even with the upstream failing.
    fake.bootstrap_status = 500;
    auto restarted = fake.Make(dir.path);
    EXPECT_EQ(registered(*restarted).status, Status::Ok);
    EXPECT_EQ(fake.up.hits("/dns.json"), 1);
    // A day later it asks again; a failure keeps the old copy and waits before the next try.
    fake.t.clock.Advance(25LL * 3600 * 1000);
    EXPECT_EQ(registered(*restarted).status, Status::Ok);
    EXPECT_EQ(registered(*restarted).status, Status::Ok);
    EXPECT_EQ(fake.up.hits("/dns.json"), 2);
    fake.bootstrap_status = 200;
    fake.t.clock.Advance(3600 * 1000);
    EXPECT_EQ(registered(*restarted).status, Status::Ok);
    EXPECT_EQ(fake.up.hits("/dns.json"), 3);
    // No copy anywhere and no answer: the source is unreachable, not the domain unknown.
    fake.bootstrap_status = 500;
    const Measurement m = registered(*fake.Make({}));
    EXPECT_TRUE(m.status == Status::NetworkError && m.detail.find("HTTP 500") != std::string::npos)
        << m.detail;
}

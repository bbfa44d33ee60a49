// Port-43 WHOIS against fake servers on 127.0.0.1: referrals, loops, charsets, limits.
#include "fakes.h"
#include "fixture.h"
#include "providers/lookup.h"

#include <sys/socket.h>

#include <gtest/gtest.h>
#include <toml++/toml.h>

#include <atomic>
#include <memory>

using namespace valdane::svc;

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
    std::string name() const {
        return "s" + std::to_string(port()) + ".test:" + std::to_string(port());
    }
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

struct WhoisFakes {
    test::TestEnv t;
    FakeWhois iana, registry, registrar, extra;
    WhoisFakes() {
        for (FakeWhois* f : {&iana, &registry, &registrar, &extra})
            t.resolver.Set(f->name().substr(0, f->name().find(':')), {"127.0.0.1"});
    }
    // Port-43 only, starting at `start` (IANA unless a test names the registry).
    std::unique_ptr<Provider> Make(const std::string& extra_toml = "",
                                   const FakeWhois* start = nullptr) {
        start = start ? start : &iana;
        std::string error;
        auto p = MakeRegistrationProvider(
            "reg",
            toml::parse("type = \"whois\"\nallow_networks = [\"127.0.0.1/32\"]\nwhois_host = \"" +
                        start->name().substr(0, start->name().find(':')) +
                        "\"\nwhois_port = " + std::to_string(start->port()) + "\n" + extra_toml),
            t.env, {}, &error);
        EXPECT_TRUE(p) << error;
        return p;
    }
};

std::string Iana(const std::string& refer) {
    return "% IANA WHOIS server\n\ndomain:       COM\n\nrefer:        " + refer +
           "\n\nwhois:        " + refer + "\n";
}

} // namespace

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at))
        text.replace(at, from.size(), to), at += to.size();
    return text;
}

TEST(Whois43, ReadsCapturedAnswersAlongTheirReferrals) {
    // IANA's answer, the registry's and the registrar's, each pointed at the next fake.
    struct Row {
        const char* site;
        const char* iana;      // "" starts at the registry
        const char* registry;  // its referral is rewritten to the registrar fake
        const char* registrar; // "" when the registrar cannot be reached
        Status status;
        const char* fields; // ranking fields 4, 6, 7, 8
    };
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
    for (const Row& row : rows) {
        SCOPED_TRACE(row.site + std::string(" via ") + row.iana + " " + row.registry);
        WhoisFakes f;
        const std::string dead = "127.0.0.1:1";
        const std::string registrar = *row.registrar ? f.registrar.name() : dead;
        f.iana.Answer(*row.iana ? Replaced(test::Fixture(std::string("whois/") + row.iana),
                                           "whois.verisign-grs.com",
                                           *row.registry ? f.registry.name() : dead)
                                : "");
        for (const char* server : {"whois.enom.com", "whois.markmonitor.com"})
            if (*row.registry)
                f.registry.Answer(Replaced(test::Fixture(std::string("whois/") + row.registry),
                                           server, registrar));
        if (*row.registrar)
            f.registrar.Answer(test::Fixture(std::string("whois/") + row.registrar));
        auto provider = f.Make("", *row.iana ? &f.iana : &f.registry);
        const Measurement whois = provider->Measure({row.site, Page::Whois, {0}})[0];
        EXPECT_EQ(whois.status, row.status) << whois.detail;
        EXPECT_EQ(whois.text.find("1985-01-01"), std::string::npos); // the TLD's own record
        const auto got = provider->Measure({row.site, Page::Alexa, {4, 6, 7, 8}});
        EXPECT_EQ(got[0].text + "|" + got[1].text + "|" + got[2].text + "|" + got[3].text,
                  row.fields);
    }
}

TEST(Whois43, ReferralsInwardOrToOtherPortsAreNotFollowed) {
    WhoisFakes f;
    FakeWhois inside("127.0.0.2");
    inside.Answer("SSH-2.0-OpenSSH_9.2 secret\n");
    const std::string inward = "127.0.0.2:" + std::to_string(inside.port());
    f.t.resolver.Set("inward.test", {"127.0.0.1", "127.0.0.2"});
    f.t.resolver.Set("public.test", {"93.184.216.34"});
    struct Row {
        std::string iana, registry;
        Status status;
        std::string detail;
    };
    const Row rows[] = {
        {"domain: COM\nrefer: " + inward + "\n", "", Status::NetworkError, "127.0.0.2"},
        {Iana(f.registry.name()), "Registrar WHOIS Server: " + inward + "\nx\n", Status::Ok, ""},
        {Iana(f.registry.name()),
         "ReferralServer: rwhois://inward.test:" + std::to_string(inside.port()) + "\n", Status::Ok,
         ""},
        {"domain: COM\nrefer: public.test:2222\n", "", Status::NetworkError, "端口 2222"},
    };
    for (const Row& row : rows) {
        f.iana.Answer(row.iana);
        f.registry.Answer(row.registry);
        const Measurement m = f.Make()->Measure({"example.com", Page::Whois, {0}})[0];
        EXPECT_EQ(m.status, row.status) << row.iana << m.detail;
        EXPECT_NE(m.detail.find(row.detail), std::string::npos) << m.detail;
        EXPECT_EQ(m.text.find("secret"), std::string::npos);
    }
    EXPECT_EQ(inside.connections(), 0);
}

TEST(Whois43, StopsLoopsAndLongChainsAndKeepsTheLastAnswer) {
    {
        WhoisFakes f; // registry and registrar refer to each other
        f.iana.Answer(Iana(f.registry.name()));
        f.registry.Answer("Registrar WHOIS Server: " + f.registrar.name() + "\n");
        f.registrar.Answer("Whois Server: whois://" + f.registry.name() + "/\n");
        EXPECT_EQ(f.Make()->Measure({"example.com", Page::Whois, {0}})[0].status, Status::Ok);
        EXPECT_EQ(f.registry.connections(), 1);
        EXPECT_EQ(f.registrar.connections(), 1);
    }
    {
        WhoisFakes f; // four hops offered, three taken
        f.iana.Answer(Iana(f.registry.name()));
        f.registry.Answer("Registrar WHOIS Server: " + f.registrar.name() + "\n");
        f.registrar.Answer("ReferralServer: rwhois://" + f.extra.name() + "\nthird\n");
        f.extra.Answer("refer: nowhere.test:1\n");
        auto m = f.Make("max_referrals = 2")->Measure({"example.com", Page::Whois, {0}})[0];
        EXPECT_NE(m.text.find("third"), std::string::npos);
        EXPECT_EQ(f.extra.connections(), 0);
        m = f.Make()->Measure({"example.com", Page::Whois, {0}})[0];
        EXPECT_EQ(f.extra.connections(), 1); // the default of 3 reaches it, not beyond
        EXPECT_NE(m.text.find("nowhere.test"), std::string::npos) << "dead referral keeps text";
        EXPECT_EQ(m.status, Status::Ok);
    }
}

TEST(Whois43, DecodesCharsetsAndReportsEveryOutcome) {
    const std::string gbk =
        "Registrant: \xB1\xB1\xBE\xA9\xC4\xB3\xC4\xB3\xBF\xC6\xBC\xBC\n" // 北京某某科技
        "Registration Time: 2003-03-17 12:20:05\n";
    struct Row {
        const char* what;
        std::string answer;
        Status status;
        std::string has;   // in the WHOIS text
        std::string owner; // field 6
    };
    const Row rows[] = {
        {"gbk", gbk, Status::Ok, "北京某某科技", "北京某某科技"},
        {"not registered", "No match for \"NOPE.COM\".\n", Status::NotFound, "No match", "未公开"},
        {"tld without whois", "domain:       COM\nstatus: ACTIVE\n", Status::Unsupported, "", ""},
        {"huge", std::string(300000, 'x'), Status::Ok, std::string(1024, 'x'), "未公开"},
    };
    for (const Row& row : rows) {
        WhoisFakes f;
        f.iana.Answer(row.answer);
        auto provider = f.Make("whois_max_bytes = 1024");
        const Measurement whois = provider->Measure({"example.com", Page::Whois, {0}})[0];
        EXPECT_EQ(whois.status, row.status) << row.what << ": " << whois.detail;
        EXPECT_NE(whois.text.find(row.has), std::string::npos) << row.what;
        EXPECT_LT(whois.text.size(), 1200u) << row.what;
        EXPECT_EQ(provider->Measure({"example.com", Page::Alexa, {6}})[0].text, row.owner)
            << row.what;
    }
    WhoisFakes f;
    f.t.resolver.Set("dead.test", {"127.0.0.1"});
    std::string error;
    auto dead = MakeRegistrationProvider(
        "reg", toml::parse("type = \"whois\"\nwhois_host = \"dead.test\"\nwhois_port = 1"), f.t.env,
        {}, &error);
    EXPECT_EQ(dead->Measure({"example.com", Page::Whois, {0}})[0].status, Status::NetworkError);
}

TEST(Whois43, RdapProviderFallsBackToPort43WhereTheTldHasNoRdap) {
    WhoisFakes f;
    test::FakeUpstream bootstrap;
    bootstrap.server().Get("/dns.json", [](const httplib::Request&, httplib::Response& r) {
        r.set_content(
            R"({"version":"1.0","services":[[["com"],["https://registry.invalid/rdap/"]]]})",
            "application/json");
    });
    ASSERT_TRUE(bootstrap.Start());
    f.iana.Answer("Domain Name: example.cn\nRegistration Time: 2003-03-17 12:20:05\n");
    std::string error;
    auto provider =
        MakeRegistrationProvider("reg",
                                 toml::parse("type = \"rdap\"\nbootstrap_url = \"" +
                                             bootstrap.base() + "/dns.json\"\nwhois_host = \"" +
                                             f.iana.name().substr(0, f.iana.name().find(':')) +
                                             "\"\nwhois_port = " + std::to_string(f.iana.port())),
                                 f.t.env, {}, &error);
    ASSERT_TRUE(provider) << error;
    const Measurement m = provider->Measure({"www.example.cn", Page::Alexa, {4}})[0];
    EXPECT_EQ(m.status, Status::Ok) << m.detail;
    EXPECT_EQ(m.text, "2003-03-17");
    EXPECT_EQ(f.iana.query(), "example.cn\r");
}

// Port-43 WHOIS against fake servers on 127.0.0.1: referrals, loops, charsets, limits.
#include "fakes.h"
#include "providers/lookup.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <toml++/toml.h>

#include <atomic>
#include <memory>

using namespace valdane::svc;

namespace {

// Answers every connection with one fixed text, then closes, as RFC 3912 servers do.
class FakeWhois {
  public:
    FakeWhois() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(fd_, 8);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~FakeWhois() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    void Answer(std::string text) {
        std::lock_guard<std::mutex> guard(mutex_);
        answer_ = std::move(text);
    }
    std::string name() const {
        return "s" + std::to_string(port_) + ".test:" + std::to_string(port_);
    }
    int port() const { return port_; }
    int connections() const { return connections_; }
    std::string query() {
        std::lock_guard<std::mutex> guard(mutex_);
        return query_;
    }

  private:
    void Serve() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            const int c = accept(fd_, nullptr, nullptr);
            if (c < 0)
                continue;
            std::string line;
            char ch;
            while (line.size() < 1000 && recv(c, &ch, 1, 0) == 1 && ch != '\n')
                line += ch;
            std::string answer;
            {
                std::lock_guard<std::mutex> guard(mutex_);
                query_ = line;
                answer = answer_;
            }
            ++connections_;
            send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
            close(c);
        }
    }
    int fd_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::mutex mutex_;
    std::string answer_, query_;
};

struct WhoisFakes {
    test::TestEnv t;
    FakeWhois iana, registry, registrar, extra;
    WhoisFakes() {
        for (FakeWhois* f : {&iana, &registry, &registrar, &extra})
            t.resolver.Set(f->name().substr(0, f->name().find(':')), {"127.0.0.1"});
    }
    std::unique_ptr<Provider> Make(const std::string& extra_toml = "") {
        std::string error;
        auto p = MakeRegistrationProvider(
            "reg",
            toml::parse("type = \"whois\"\nwhois_host = \"" +
                        iana.name().substr(0, iana.name().find(':')) +
                        "\"\nwhois_port = " + std::to_string(iana.port()) + "\n" + extra_toml),
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

TEST(Whois43, FollowsIanaRegistryRegistrarAndReadsTheFields) {
    WhoisFakes f;
    f.iana.Answer(Iana(f.registry.name()));
    f.registry.Answer("   Domain Name: EXAMPLE.COM\r\n   Registrar WHOIS Server: " +
                      f.registrar.name() + "\r\n   Creation Date: 1995-08-14T04:00:00Z\r\n");
    f.registrar.Answer("Domain Name: example.com\nRegistrar WHOIS Server: " + f.registrar.name() +
                       "\nCreation Date: 1995-08-14T04:00:00Z\nRegistrant Name: REDACTED FOR "
                       "PRIVACY\nRegistrant Organization: Roe Ltd\nRegistrant Email: "
                       "jane@example.com\n\x01\n\n");
    auto provider = f.Make();

    const Measurement whois = provider->Measure({"www.example.com", Page::Whois, {0}})[0];
    EXPECT_EQ(whois.status, Status::Ok) << whois.detail;
    EXPECT_EQ(f.iana.query(), "example.com\r");
    EXPECT_NE(whois.text.find("Registrant Organization: Roe Ltd\r\n"), std::string::npos);
    EXPECT_NE(whois.text.find("数据来源：WHOIS " + f.registrar.name()), std::string::npos);
    EXPECT_EQ(whois.text.find('\x01'), std::string::npos);
    // The registrar's self-reference is no new hop.
    EXPECT_EQ(f.iana.connections() + f.registry.connections() + f.registrar.connections(), 3);

    const auto fields = provider->Measure({"example.com", Page::Alexa, {4, 6, 7, 8}});
    const char* want[] = {"1995-08-14", "Roe Ltd", "未公开", "jane@example.com"};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(fields[i].text, want[i]) << i;
    EXPECT_EQ(fields[2].status, Status::NotFound);
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
        {"utf-8", "Registrant: 北京某某科技\nRegistration Time: 2003-03-17\n", Status::Ok,
         "北京某某科技", "北京某某科技"},
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

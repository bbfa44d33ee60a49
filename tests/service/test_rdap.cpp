// RDAP look-ups against a fake bootstrap file and a fake RDAP server serving captured answers.
#include "fakes.h"
#include "fixture.h"
#include "providers/lookup.h"
#include "providers/rdap.h"
#include "tempdir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <toml++/toml.h>

#include <filesystem>
#include <map>

using namespace valdane::svc;
using nlohmann::json;

namespace {

// The registry's answer with its "related" link to the registrar pointed at `registrar`.
std::string Registry(const char* file, const std::string& registrar) {
    std::string text = test::Fixture(std::string("rdap/") + file);
    for (const std::string from : {"https://rdap.markmonitor.com", "https:\\/\\/rdap.registrar.eu"})
        for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from))
            text.replace(at, from.size(), registrar);
    return text;
}

struct RdapFake {
    test::TestEnv t;
    test::FakeUpstream up;
    int bootstrap_status = 200;
    std::string accept;
    std::map<std::string, std::string> answers; // name -> body; absent: 404

    RdapFake() {
        up.server().Get("/dns.json", [this](const httplib::Request&, httplib::Response& r) {
            const json doc = {{"version", "1.0"},
                              {"publication", "2025-01-01T00:00:00Z"},
                              {"services",
                               {json::array({json::array({"com", "net", "xyz"}),
                                             json::array({up.base() + "/rdap/"})}),
                                {{"org"}, {up.base() + "/org"}},
                                "not a service"}}};
            r.status = bootstrap_status;
            r.set_content(doc.dump(), "application/json");
        });
        up.server().Get(R"(/(rdap|registrar/rdap)/domain/(.+))", [this](const httplib::Request& q,
                                                                        httplib::Response& r) {
            accept = q.get_header_value("Accept");
            const auto it = answers.find(q.matches[1].str() + ":" + std::string(q.matches[2]));
            if (it == answers.end())
                r.status = 404;
            else if (it->second == "429")
                r.status = 429;
            else
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
        std::string error;
        auto p = MakeRegistrationProvider(
            "reg",
            toml::parse("type = \"rdap\"\nport43 = false\nmax_bytes = 8192\nbootstrap_url = \"" +
                        up.base() + "/dns.json\"\n" + extra),
            t.env, data_dir, &error);
        EXPECT_TRUE(p) << error;
        return p;
    }
};

} // namespace

TEST(Rdap, ReadsCapturedAnswersFollowsTheRegistrarAndWithholdsProxiedContacts) {
    RdapFake fake;
    test::FakeUpstream inward("127.0.0.2"); // not in allow_networks
    inward.server().Get(".*", [](const httplib::Request&, httplib::Response& r) {
        r.set_content(test::Fixture("rdap/markmonitor-google.com.json"), "application/rdap+json");
    });
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
    struct Row {
        const char* site;
        Status status;
        std::vector<std::string> whois_has; // lines the WHOIS text holds
        std::string fields;                 // ranking fields 4, 6, 7, 8; "-" for 未公开
    };
    const Row rows[] = {
        {"www.google.com",
         Status::Ok,
         {"域名：google.com", "注册商：MarkMonitor Inc.", "注册日期：1997-09-15 04:00:00 UTC",
          "到期日期：2028-09-14 04:00:00 UTC", "更新日期：2019-09-09 15:39:04.000+00:00",
          "状态：client delete prohibited, client transfer",
          "域名服务器：ns1.google.com\r\n域名服务器：ns2.google.com", "注册人：未公开",
          "注册人组织：Google LLC", "注册人地址：CA, US",
          "数据来源：RDAP " + fake.up.base() + "/rdap/domain/google.com；RDAP " + registrar +
              "GOOGLE.COM"},
         "1997-09-15|Google LLC|CA, US|-"},
        {"inward.com", Status::Ok, {"注册人组织：未公开"}, "1997-09-15|-|-|-"},
        // The registrar's 404 keeps the registry's answer.
        {"themarquetry.com",
         Status::Ok,
         {"注册商：Hosting Concepts B.V. d/b/a Registrar.eu"},
         "2021-03-16|-|-|-"},
        {"example-wg.com", Status::Ok, {"注册人地址：未公开"}, "2016-05-04|-|-|-"},
        {"example-wfp.com", Status::Ok, {"注册人组织：未公开"}, "2021-08-01|-|-|-"},
        {"example-cp.com", Status::Ok, {"注册人：未公开"}, "2012-11-05|-|-|-"},
        {"example-org.xyz/a/page",
         Status::Ok,
         {"注册商：Example Registrar Ltd", "注册人组织：未公开"},
         "2015-03-02|Jane Roe|1 High St, London, GB|-"},
        {"gone.com", Status::NotFound, {"未找到该域名的注册信息（RDAP 404）"}, "-|-|-|-"},
        {"odd.com", Status::Ok, {"域名：未公开", "注册日期：未公开"}, "-|-|-|-"},
        {"broken.com", Status::ParseFailed, {}, "|||"},
        {"entity.com", Status::ParseFailed, {}, "|||"},
        {"huge.com", Status::ParseFailed, {}, "|||"},
        {"busy.com", Status::RateLimited, {}, "|||"},
        {"example.cn", Status::Unsupported, {}, "|||"}, // no RDAP, port 43 off
        {"com.cn", Status::Unsupported, {}, "|||"},     // a suffix, not a name
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.site);
        const auto whois = provider->Measure({row.site, Page::Whois, {0}});
        ASSERT_EQ(whois.size(), 1u);
        EXPECT_EQ(whois[0].status, row.status) << whois[0].detail;
        for (const std::string& line : row.whois_has)
            EXPECT_NE(whois[0].text.find(line), std::string::npos) << line << " in\n"
                                                                   << whois[0].text;
        const auto alexa = provider->Measure({row.site, Page::Alexa, {4, 6, 7, 8, 2}});
        ASSERT_EQ(alexa.size(), 5u);
        std::string fields;
        for (std::size_t i = 0; i < 4; ++i) {
            const bool withheld = alexa[i].text == none;
            fields += (i ? "|" : "") + (withheld ? "-" : alexa[i].text);
            EXPECT_EQ(alexa[i].status, withheld ? Status::NotFound : row.status) << "field " << i;
        }
        EXPECT_EQ(fields, row.fields);
        EXPECT_EQ(alexa[4].status, Status::Unsupported); // 综合排名 is not ours
    }
    EXPECT_EQ(fake.accept, "application/rdap+json, application/json");
    EXPECT_EQ(fake.up.hits("/rdap/domain/www.google.com"), 0); // the registered name, not the host
    EXPECT_EQ(inward.hits("/registrar/rdap/domain/GOOGLE.COM"), 0);
    EXPECT_EQ(fake.up.hits("/registrar/v1/domain/THEMARQUETRY.COM"), 2);
    const std::pair<const char*, const char*> dates[] = {{"29-apr-2005", "2005-04-29"},
                                                         {"9-Jul-2011", "2011-07-09"},
                                                         {"2005.04.29", "2005-04-29"},
                                                         {"31.12.1995 18:00:00", "1995-12-31"},
                                                         {"29-foo-2005", ""},
                                                         {"2005-13-01", ""},
                                                         {"2005-04-291", ""}};
    for (const auto& [text, want] : dates)
        EXPECT_EQ(DatePart(text), want) << text;
}

TEST(Rdap, BootstrapIsCachedInMemoryAndFileAndRefreshedDaily) {
    RdapFake fake;
    const test::TempDir tmp;
    const std::filesystem::path& dir = tmp.path;
    auto provider = fake.Make(dir);
    auto registered = [](Provider& p) { return p.Measure({"google.com", Page::Alexa, {4}})[0]; };

    EXPECT_EQ(registered(*provider).text, "1997-09-15");
    EXPECT_EQ(registered(*provider).text, "1997-09-15");
    EXPECT_EQ(fake.up.hits("/dns.json"), 1);
    EXPECT_TRUE(std::filesystem::exists(dir / "rdap-dns.json"));

    // A new start reads the file while it is fresh, even with the upstream failing.
    fake.bootstrap_status = 500;
    auto restarted = fake.Make(dir);
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
    auto fresh = fake.Make({});
    const Measurement m = registered(*fresh);
    EXPECT_EQ(m.status, Status::NetworkError);
    EXPECT_NE(m.detail.find("HTTP 500"), std::string::npos);
}

TEST(Rdap, DeepNestingFromAHostileServerIsNotFollowed) {
    const int depth = 200000;
    const std::string adr = std::string(depth, '[') + "\"x\"" + std::string(depth, ']');
    const std::string answer = R"({"objectClassName":"domain","ldhName":"example.com",)"
                               R"("entities":[{"roles":["registrant"],"vcardArray":["vcard",)"
                               R"([["fn",{},"text","Jane Roe"],["adr",{},"text",)" +
                               adr + "]]]}]}";
    std::string why;
    const std::optional<Registration> r = ParseRdapDomain(answer, &why);
    ASSERT_TRUE(r) << why;
    EXPECT_EQ(r->registrant_name, "Jane Roe");
    EXPECT_EQ(r->registrant_address, "");
}

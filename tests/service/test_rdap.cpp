// RDAP look-ups against a fake bootstrap file and a fake RDAP server.
#include "fakes.h"
#include "providers/lookup.h"
#include "providers/rdap.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <toml++/toml.h>

#include <filesystem>

using namespace valdane::svc;
using nlohmann::json;

namespace {

// A domain answer in the shape RFC 9083 gives and registries send.
json Domain(const std::string& name, json registrant, json redacted = json::array()) {
    return {
        {"objectClassName", "domain"},
        {"ldhName", name},
        {"status", json::array({"client transfer prohibited", "active"})},
        {"events",
         {{{"eventAction", "registration"}, {"eventDate", "1995-08-14T04:00:00Z"}},
          {{"eventAction", "expiration"}, {"eventDate", "2026-08-13T04:00:00Z"}},
          {{"eventAction", "last changed"}, {"eventDate", "2025-08-14T07:01:39Z"}}}},
        {"nameservers",
         {{{"objectClassName", "nameserver"}, {"ldhName", "A.IANA-SERVERS.NET"}},
          {{"objectClassName", "nameserver"}, {"ldhName", "B.IANA-SERVERS.NET"}}}},
        {"entities",
         {{{"objectClassName", "entity"},
           {"roles", {"registrar"}},
           {"vcardArray",
            json::array({"vcard",
                         {{"version", json::object(), "text", "4.0"},
                          {"fn", json::object(), "text", "Example Registrar, Inc."}}})}},
          registrant}},
        {"redacted", redacted},
    };
}

json Registrant(json fn, json org, json adr, json email) {
    json props = {{"version", json::object(), "text", "4.0"}};
    for (auto [name, value] : {std::pair{"fn", fn}, {"org", org}, {"adr", adr}, {"email", email}})
        if (!value.is_null())
            props.push_back({name, json::object(), "text", value});
    return {{"objectClassName", "entity"},
            {"roles", {"registrant"}},
            {"vcardArray", json::array({"vcard", props})}};
}

std::filesystem::path TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "rdapXXXXXX").string();
    return mkdtemp(pattern.data());
}

struct RdapFake {
    test::TestEnv t;
    test::FakeUpstream up;
    int bootstrap_status = 200;
    std::string accept;

    RdapFake() {
        up.server().Get("/dns.json", [this](const httplib::Request&, httplib::Response& r) {
            const json doc = {
                {"version", "1.0"},
                {"publication", "2025-01-01T00:00:00Z"},
                {"services",
                 {json::array({json::array({"com", "net"}), json::array({up.base() + "/rdap/"})}),
                  {{"org"}, {up.base() + "/org"}},
                  "not a service"}}};
            r.status = bootstrap_status;
            r.set_content(doc.dump(), "application/json");
        });
        up.server().Get(R"(/rdap/domain/(.+))", [this](const httplib::Request& q,
                                                       httplib::Response& r) {
            accept = q.get_header_value("Accept");
            const std::string name = q.matches[1];
            const json full =
                Registrant("Jane Roe", "Roe Holdings",
                           {"", "", {"1 Main St", "Suite 2"}, "Springfield", "IL", "62701", "US"},
                           "jane@example.com");
            if (name == "example.com")
                r.set_content(Domain(name, full).dump(), "application/rdap+json");
            else if (name == "hidden.com")
                r.set_content(
                    Domain(name,
                           Registrant(
                               "", "Privacy service provided by Withheld for Privacy ehf",
                               {"", "", "REDACTED FOR PRIVACY", "REDACTED FOR PRIVACY", "", "", ""},
                               nullptr),
                           {{{"name", {{"type", "Registrant Name"}}}, {"method", "emptyValue"}},
                            {{"name", {{"type", "Registrant Email"}}}, {"method", "removal"}}})
                        .dump(),
                    "application/rdap+json");
            else if (name == "nameonly.com")
                r.set_content(Domain(name, full,
                                     {{{"name", {{"type", "Registrant Organization"}}}},
                                      {{"name", {{"type", "Registrant Street"}}}}})
                                  .dump(),
                              "application/rdap+json");
            else if (name == "broken.com")
                r.set_content("{\"objectClassName\": \"domain\", ", "application/rdap+json");
            else if (name == "entity.com")
                r.set_content(R"({"objectClassName":"entity"})", "application/rdap+json");
            else if (name == "odd.com")
                r.set_content(R"({"objectClassName":"domain","ldhName":7,"entities":5,"events":{},)"
                              R"("nameservers":[null,{"ldhName":[]}],"status":"x","redacted":"y"})",
                              "application/rdap+json");
            else if (name == "huge.com")
                r.set_content(std::string(64 * 1024, ' ') + "{}", "application/rdap+json");
            else if (name == "busy.com")
                r.status = 429;
            else
                r.status = 404;
        });
        EXPECT_TRUE(up.Start());
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

TEST(Rdap, RendersFoundRedactedMissingAndBrokenAnswers) {
    RdapFake fake;
    auto provider = fake.Make({});
    struct Row {
        const char* site;
        Status status;
        std::vector<std::string> whois_has; // lines the WHOIS text holds
        std::vector<std::string> fields;    // ranking fields 4, 6, 7, 8
    };
    const Row rows[] = {
        {"www.example.com",
         Status::Ok,
         {"域名：example.com", "注册商：Example Registrar, Inc.",
          "注册日期：1995-08-14 04:00:00 UTC", "到期日期：2026-08-13 04:00:00 UTC",
          "更新日期：2025-08-14 07:01:39 UTC", "状态：client transfer prohibited, active",
          "域名服务器：a.iana-servers.net\r\n域名服务器：b.iana-servers.net", "注册人：Jane Roe",
          "注册人组织：Roe Holdings", "注册人邮箱：jane@example.com",
          "数据来源：RDAP " + fake.up.base() + "/rdap/domain/example.com"},
         {"1995-08-14", "Jane Roe", "1 Main St, Suite 2, Springfield, IL, 62701, US",
          "jane@example.com"}},
        {"hidden.com",
         Status::Ok,
         {"注册人：未公开", "注册人组织：未公开", "注册人地址：未公开", "注册人邮箱：未公开"},
         {"1995-08-14", "未公开", "未公开", "未公开"}},
        {"nameonly.com/some/page",
         Status::Ok,
         {"注册人：Jane Roe", "注册人组织：未公开", "注册人地址：未公开"},
         {"1995-08-14", "Jane Roe", "未公开", "jane@example.com"}},
        {"gone.com",
         Status::NotFound,
         {"未找到该域名的注册信息（RDAP 404）"},
         {"未公开", "未公开", "未公开", "未公开"}},
        {"odd.com",
         Status::Ok,
         {"域名：未公开", "注册日期：未公开"},
         {"未公开", "未公开", "未公开", "未公开"}},
        {"broken.com", Status::ParseFailed, {}, {"", "", "", ""}},
        {"entity.com", Status::ParseFailed, {}, {"", "", "", ""}},
        {"huge.com", Status::ParseFailed, {}, {"", "", "", ""}},
        {"busy.com", Status::RateLimited, {}, {"", "", "", ""}},
        {"example.cn", Status::Unsupported, {}, {"", "", "", ""}}, // no RDAP, port 43 off
        {"com.cn", Status::Unsupported, {}, {"", "", "", ""}},     // a suffix, not a name
    };
    for (const Row& row : rows) {
        const auto whois = provider->Measure({row.site, Page::Whois, {0}});
        ASSERT_EQ(whois.size(), 1u);
        EXPECT_EQ(whois[0].status, row.status) << row.site << ": " << whois[0].detail;
        for (const std::string& line : row.whois_has)
            EXPECT_NE(whois[0].text.find(line), std::string::npos)
                << row.site << " lacks " << line << " in\n"
                << whois[0].text;
        const auto alexa = provider->Measure({row.site, Page::Alexa, {4, 6, 7, 8, 2}});
        ASSERT_EQ(alexa.size(), 5u);
        for (std::size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(alexa[i].text, row.fields[i]) << row.site << " field " << i;
            EXPECT_EQ(alexa[i].status, row.status == Status::Ok && row.fields[i] == "未公开"
                                           ? Status::NotFound
                                           : row.status)
                << row.site << " field " << i;
        }
        EXPECT_EQ(alexa[4].status, Status::Unsupported); // 综合排名 is not ours
    }
    EXPECT_EQ(fake.accept, "application/rdap+json, application/json");
    EXPECT_EQ(fake.up.hits("/rdap/domain/www.example.com"), 0); // the registered name, not the host
}

TEST(Rdap, BootstrapIsCachedInMemoryAndFileAndRefreshedDaily) {
    RdapFake fake;
    const std::filesystem::path dir = TempDir();
    auto provider = fake.Make(dir);
    auto registered = [](Provider& p) { return p.Measure({"example.com", Page::Alexa, {4}})[0]; };

    EXPECT_EQ(registered(*provider).text, "1995-08-14");
    EXPECT_EQ(registered(*provider).text, "1995-08-14");
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
    std::filesystem::remove_all(dir);
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

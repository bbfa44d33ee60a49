// The configuration: built-in defaults, a user's file over them, and every refusal.
#include "config.h"
#include "fakes.h"
#include "tempdir.h"

#include <gtest/gtest.h>
#include <toml++/toml.h>

#include <cstdlib>
#include <fstream>
#include <set>

using namespace valdane::svc;
namespace fs = std::filesystem;

namespace {

class ConfigTest : public ::testing::Test {
  protected:
    void SetUp() override { ::setenv("XDG_DATA_HOME", (dir_ / "data").c_str(), 1); }

    fs::path Write(const std::string& text) {
        const fs::path file = dir_ / "service.toml";
        std::ofstream(file) << text;
        return file;
    }

    test::TempDir tmp_;
    const fs::path& dir_ = tmp_.path;
};

// Every default column names a source that exists, and the documented example holds the
// defaults.
TEST_F(ConfigTest, DefaultsAndTheDocumentedExampleAgree) {
    Config c, example;
    std::string error;
    ASSERT_TRUE(LoadConfig({}, &c, &error)) << error;
    for (Page page : kPages)
        for (const std::string& name : c.columns[page])
            EXPECT_TRUE(c.providers.count(name)) << name;
    const fs::path file = fs::path(VALDANE_SOURCE_DIR) / "service/valdane-service.toml.example";
    ASSERT_TRUE(LoadConfig(file, &example, &error)) << error;
    EXPECT_EQ(example.columns, c.columns);
    EXPECT_EQ(example.allow, c.allow);
    EXPECT_EQ(example.server_names, c.server_names);
    EXPECT_EQ(example.listen, c.listen);
    EXPECT_EQ(example.fresh_ms, c.fresh_ms);
    EXPECT_EQ(example.deadline_ms, c.deadline_ms);
    std::set<std::string> names, example_names;
    for (const auto& [name, section] : c.providers)
        names.insert(name + "=" + section->get_as<std::string>("type")->get());
    for (const auto& [name, section] : example.providers)
        example_names.insert(name + "=" + section->get_as<std::string>("type")->get());
    EXPECT_EQ(example_names, names);
}

TEST_F(ConfigTest, FileOverlaysDefaultsKeyByKey) {
    const fs::path file = Write(R"(
listen = "[::1]:9000"
data_dir = "store"
store = "old/measurements.db"
fresh_hours = 0.5
allow = ["127.0.0.1"]
[update]
name = "新版"
[columns]
ranks = [["none", "demo"], "none"]
[providers.demo]
type = "fixed"
values.ranks = [3, 4]
)");
    Config c;
    std::string error;
    ASSERT_TRUE(LoadConfig(file, &c, &error)) << error;
    EXPECT_EQ(c.listen, "[::1]:9000");
    EXPECT_EQ(c.data_dir, dir_ / "store"); // relative to the file
    EXPECT_EQ(StoreLocation(c.store, c.data_dir), (dir_ / "old" / "measurements.db").string());
    EXPECT_EQ(c.fresh_ms, 1800 * 1000);
    EXPECT_EQ(c.deadline_ms, 45000);
    EXPECT_EQ(c.update.version, "V1.3 Beta");
    EXPECT_EQ(c.update.name, "新版");
    EXPECT_EQ(c.columns[Page::Ranks], (std::vector<std::string>{"none", "none"}));
    EXPECT_EQ(c.fallbacks[Page::Ranks], (std::vector<std::vector<std::string>>{{"demo"}, {}}));
    EXPECT_EQ(c.columns[Page::Sites].size(), 7u);
    ASSERT_TRUE(c.providers.count("demo") && c.providers.count("none"));
    EXPECT_EQ(c.providers["demo"]->at_path("values.ranks[1]").value<int>(), 4);
    EXPECT_EQ(c.source_file, file);
}

TEST_F(ConfigTest, RefusalsNameTheKey) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"listen = \"127.0.0.1\"", "'listen'"},
        {"listen = \"::1:80\"", "'listen'"},
        {"listen = \"127.0.0.1:70000\"", "'listen'"},
        {"listen = \"localhost:80\"", "'listen'"},
        {"listen = 8936", "'listen'"},
        {"fresh_hours = -1", "'fresh_hours'"},
        {"fresh_hours = \"1\"", "'fresh_hours'"},
        {"deadline_seconds = 0", "'deadline_seconds'"},
        {"deadline_seconds = 60", "'deadline_seconds'"},
        {"allow = [\"10.0.0.0/33\"]", "'allow'"},
        {"allow = [\"10.0.0/8\"]", "'allow'"},
        {"allow = [\"::1/129\"]", "'allow'"},
        {"allow = \"127.0.0.1\"", "'allow'"},
        {"server_names = [\"stats.example.net:8936\"]", "'server_names'"},
        {"server_names = [\"\"]", "'server_names'"},
        {"colums = 1", "'colums'"},
        {"[update]\nversoin = \"x\"", "'update.versoin'"},
        {"[columns]\nsites = [\"none\"]", "'columns.sites'"},
        {"[columns]\nranks = [\"none\", \"none\", \"none\"]", "'columns.ranks'"},
        {"[columns]\nwhois = [\"nobody\"]", "'columns.whois'"},
        {"[columns]\nwhois = [1]", "'columns.whois'"},
        {"[columns]\nwhois = [[]]", "'columns.whois'"},
        {"[columns]\nwhois = [[\"rdap\", 1]]", "'columns.whois'"},
        {"[columns]\nwhois = [[\"rdap\", \"nobody\"]]", "'columns.whois'"},
        {"[columns]\nwhois = [[\"rdap\", \"none\", \"rdap\"]]", "'columns.whois'"},
        {"[columns]\nwho = [\"none\"]", "'columns.who'"},
        {"[providers.x]\nurl = \"http://127.0.0.1/\"", "'providers.x.type'"},
        {"providers = 3", "'providers'"},
        {"listen = \"0.0.0.0:8936\"", "'allow'"},
        {"listen = \"[::]:8936\"\nallow = [\"::1/128\", \"127.0.0.0/8\"]", "'allow'"},
        {"x = ", "line 1"},
        // Sections their providers cannot use.
        {"[providers.p]\ntype = \"nosuch\"", "'providers.p.type'"},
        {"[providers.p]\ntype = \"none\"\nurl = \"x\"", "'providers.p.url'"},
        {"[providers.p]\ntype = \"fixed\"\nstatus = \"fine\"", "'providers.p.status'"},
        {"[providers.p]\ntype = \"fixed\"\nvalues.sites = [1, 2]", "'providers.p.values.sites'"},
        {"[providers.p]\ntype = \"fixed\"\nvalues.ranks = [1, \"2\"]",
         "'providers.p.values.ranks'"},
        {"[providers.p]\ntype = \"fixed\"\nvalues.whois = [5]", "'providers.p.values.whois'"},
        {"[providers.p]\ntype = \"fixed\"\nvalues.pages = [5]", "'providers.p.values.pages'"},
        {"[providers.p]\ntype = \"fixed\"\nvalue.ranks = [1, 2]", "'providers.p.value'"},
    };
    for (const auto& [text, key] : cases) {
        test::ProviderBench b;
        b.config.listen = "untouched";
        // Refused on reading, or at the latest when the providers are built.
        const bool read = LoadConfig(Write(text), &b.config, &b.error);
        EXPECT_TRUE(!read || MakeProviders(b.context, &b.error).empty()) << text;
        EXPECT_NE(b.error.find(key), std::string::npos) << text << " -> " << b.error;
        if (!read) {
            EXPECT_EQ(b.config.listen, "untouched") << text; // nothing half-read
        }
    }
    Config c;
    std::string error;
    EXPECT_FALSE(LoadConfig(dir_ / "absent.toml", &c, &error));
}

TEST_F(ConfigTest, OutsideListenNeedsAnOutsideAllowList) {
    Config c;
    std::string error;
    ASSERT_TRUE(
        LoadConfig(Write("listen = \"0.0.0.0:8936\"\nallow = [\"192.168.0.0/16\"]"), &c, &error))
        << error;
    // A flag may change the address after the file was read.
    c.allow = {"127.0.0.0/8"};
    EXPECT_FALSE(CheckConfig(c, &error));
    c.listen = "127.0.0.2:1";
    EXPECT_TRUE(CheckConfig(c, &error));
}

// Providers are built from their sections.
TEST_F(ConfigTest, ProvidersFromSections) {
    test::ProviderBench b;
    std::string& error = b.error;
    ASSERT_TRUE(LoadConfig(Write(R"(
[providers.p]
type = "fixed"
values.alexa = ["名", "简介", 12, 34, "2009", -2, "站长", "地址", "a@b.c"]
[providers.q]
type = "fixed"
status = "blocked"
detail = "验证码"
values.ranks = [1, 2]
)"),
                           &b.config, &error));
    auto providers = MakeProviders(b.context, &error);
    // The file's two beside the built-in ones, whose number grows with the shipped sources.
    ASSERT_TRUE(providers.count("p") && providers.count("q") && providers.count("none")) << error;
    auto m = providers["p"]->Measure({"example.com", Page::Alexa, {1, 5, 2}});
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[0].text, "简介");
    EXPECT_EQ(m[1].number, -2);
    EXPECT_EQ(m[2].status, Status::Ok);
    m = providers["p"]->Measure({"example.com", Page::Sites, {0}});
    EXPECT_EQ(m.at(0).status, Status::Unsupported);
    m = providers["q"]->Measure({"example.com", Page::Ranks, {1}});
    EXPECT_EQ(m.at(0).status, Status::Blocked);
    EXPECT_EQ(m.at(0).detail, "验证码");
    EXPECT_FALSE(m.at(0).number);
    m = providers["none"]->Measure({"example.com", Page::Whois, {0}});
    EXPECT_EQ(m.at(0).status, Status::Unsupported);
}

TEST(Networks, MatchClientAddresses) {
    struct Case {
        const char* network;
        const char* address;
        bool in;
    };
    const Case cases[] = {
        {"10.0.0.0/8", "10.255.1.2", true},
        {"10.0.0.0/8", "11.0.0.1", false},
        {"192.0.2.7", "192.0.2.7", true},
        {"192.0.2.7", "192.0.2.8", false},
        {"10.1.0.0/15", "10.0.255.1", true},
        {"10.1.0.0/15", "10.2.0.1", false},
        {"0.0.0.0/0", "203.0.113.9", true},
        {"127.0.0.0/8", "::ffff:127.0.0.1", true},
        {"127.0.0.0/8", "::1", false},
        {"::1/128", "::1", true},
        {"2001:db8::/32", "2001:db8:1::5", true},
        {"2001:db8::/32", "2001:db9::5", false},
        {"::1/128", "not an address", false},
    };
    for (const Case& c : cases) {
        const auto net = ParseNetwork(c.network);
        ASSERT_TRUE(net) << c.network;
        EXPECT_EQ(NetworkContains(*net, c.address), c.in) << c.network << " " << c.address;
    }
    EXPECT_TRUE(IsLoopbackAddress("127.3.4.5"));
    EXPECT_TRUE(IsLoopbackAddress("::ffff:127.0.0.1"));
    EXPECT_FALSE(IsLoopbackAddress("::"));
    const auto listen = ParseListen("[2001:db8::1]:443");
    ASSERT_TRUE(listen);
    EXPECT_EQ(listen->host, "2001:db8::1");
    EXPECT_EQ(listen->port, 443);
}

} // namespace

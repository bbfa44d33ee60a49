// The configuration: built-in defaults, a user's file over them, every refusal, and the program's
// flags and --check, run as the program itself.
#include "fakes.h"
#include "pieces.h"
#include "program.h"

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
    Config c;
    std::string error;
};

// The defaults load, and the documented example holds them.
TEST_F(ConfigTest, DefaultsAndTheDocumentedExampleAgree) {
    Config example;
    ASSERT_TRUE(LoadConfig({}, &c, &error)) << error; // refused if a column names no source
    const fs::path file = fs::path(VALDANE_SOURCE_DIR) / "service/valdane-service.toml.example";
    ASSERT_TRUE(LoadConfig(file, &example, &error)) << error;
    auto settings = [](const Config& x) {
        std::set<std::string> names; // with their types
        for (const auto& [name, section] : x.providers)
            names.insert(name + "=" + section->get_as<std::string>("type")->get());
        return std::tuple(x.columns, x.allow, x.server_names, x.listen, x.fresh_ms, x.deadline_ms,
                          names);
    };
    EXPECT_EQ(settings(example), settings(c));
}

TEST_F(ConfigTest, FileOverlaysDefaultsKeyByKeyAndBuildsItsProviders) {
    test::ProviderBench b;
    const fs::path file = Write(R"(
listen = "[::1]:9000"
data_dir = "store"
store = "old/measurements.db"
fresh_hours = 0.5
allow = ["127.0.0.1"]
[update]
name = "新版"
[columns]
ranks = [["none", "q"], "none"]
[providers.p]
type = "fixed"
values.alexa = ["名", "简介", 12, 34, "2009", -2, "站长", "地址", "a@b.c"]
[providers.q]
type = "fixed"
status = "blocked"
detail = "验证码"
values.ranks = [1, 2]
)");
    const Config& c = b.config;
    ASSERT_TRUE(LoadConfig(file, &b.config, &b.error)) << b.error;
    // data_dir is relative to the file; the rest keeps its default.
    EXPECT_EQ(std::tuple(c.listen, c.data_dir, StoreLocation(c.store, c.data_dir), c.fresh_ms,
                         c.deadline_ms, c.update.version, c.update.name, c.source_file),
              std::tuple("[::1]:9000", dir_ / "store", (dir_ / "old" / "measurements.db").string(),
                         1800 * 1000, 45000, "V1.3 Beta", "新版", file));
    EXPECT_EQ(std::pair(c.columns.at(Page::Ranks), c.fallbacks.at(Page::Ranks)),
              std::pair(std::vector<std::string>{"none", "none"},
                        std::vector<std::vector<std::string>>{{"q"}, {}}));
    auto providers = MakeProviders(b.context, &b.error);
    // The file's two beside the built-in ones, whose number grows with the shipped sources.
    ASSERT_TRUE(providers.count("p") && providers.count("q") && providers.count("none")) << b.error;
    auto m = providers["p"]->Measure({"example.com", Page::Alexa, {1, 5, 2}});
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[0].text + "|" + test::Brief(m[1]) + "|" + test::Brief(m[2]), "简介|ok -2|ok 12");
    m = providers["q"]->Measure({"example.com", Page::Ranks, {1}});
    EXPECT_EQ(test::Brief(m.at(0)) + " " + m[0].detail, "blocked 验证码");
    EXPECT_EQ(test::Brief(providers["p"]->Measure({"example.com", Page::Sites, {0}}).at(0)) + "|" +
                  test::Brief(providers["none"]->Measure({"example.com", Page::Whois, {0}}).at(0)),
              "unsupported|unsupported");
}

TEST_F(ConfigTest, RefusalsNameTheKey) {
    // The key each refusal names, and the files it refuses.
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"'listen'",
         {"listen = \"127.0.0.1\"", "listen = \"::1:80\"", "listen = \"127.0.0.1:70000\"",
          "listen = \"localhost:80\"", "listen = 8936"}},
        {"'fresh_hours'", {"fresh_hours = -1", "fresh_hours = \"1\""}},
        {"'deadline_seconds'", {"deadline_seconds = 0", "deadline_seconds = 60"}},
        {"'allow'",
         {"allow = [\"10.0.0.0/33\"]", "allow = [\"10.0.0/8\"]", "allow = [\"::1/129\"]",
          "allow = \"127.0.0.1\"", "listen = \"0.0.0.0:8936\"",
          "listen = \"[::]:8936\"\nallow = [\"::1/128\", \"127.0.0.0/8\"]"}},
        {"'server_names'",
         {"server_names = [\"stats.example.net:8936\"]", "server_names = [\"\"]"}},
        {"'colums'", {"colums = 1"}},
        {"'update.versoin'", {"[update]\nversoin = \"x\""}},
        {"'columns.sites'", {"[columns]\nsites = [\"none\"]"}},
        {"'columns.ranks'", {"[columns]\nranks = [\"none\", \"none\", \"none\"]"}},
        {"'columns.whois'",
         {"[columns]\nwhois = [\"nobody\"]", "[columns]\nwhois = [1]", "[columns]\nwhois = [[]]",
          "[columns]\nwhois = [[\"rdap\", 1]]", "[columns]\nwhois = [[\"rdap\", \"nobody\"]]",
          "[columns]\nwhois = [[\"rdap\", \"none\", \"rdap\"]]"}},
        {"'columns.who'", {"[columns]\nwho = [\"none\"]"}},
        {"'providers.x.type'", {"[providers.x]\nurl = \"http://127.0.0.1/\""}},
        {"'providers'", {"providers = 3"}},
        {"line 1", {"x = "}},
        // Sections their providers cannot use.
        {"'providers.p.type'", {"[providers.p]\ntype = \"nosuch\""}},
        {"'providers.p.url'", {"[providers.p]\ntype = \"none\"\nurl = \"x\""}},
        {"'providers.p.status'", {"[providers.p]\ntype = \"fixed\"\nstatus = \"fine\""}},
        {"'providers.p.values.sites'", {"[providers.p]\ntype = \"fixed\"\nvalues.sites = [1, 2]"}},
        {"'providers.p.values.ranks'",
         {"[providers.p]\ntype = \"fixed\"\nvalues.ranks = [1, \"2\"]"}},
        {"'providers.p.values.whois'", {"[providers.p]\ntype = \"fixed\"\nvalues.whois = [5]"}},
        {"'providers.p.values.pages'", {"[providers.p]\ntype = \"fixed\"\nvalues.pages = [5]"}},
        {"'providers.p.value'", {"[providers.p]\ntype = \"fixed\"\nvalue.ranks = [1, 2]"}},
    };
    for (const auto& [key, texts] : cases)
        for (const std::string& text : texts) {
            test::ProviderBench b;
            b.config.listen = "untouched";
            // Refused on reading, or at the latest when the providers are built.
            const bool read = LoadConfig(Write(text), &b.config, &b.error);
            EXPECT_TRUE(!read || MakeProviders(b.context, &b.error).empty()) << text;
            EXPECT_NE(b.error.find(key), std::string::npos) << text << " -> " << b.error;
            EXPECT_TRUE(read || b.config.listen == "untouched") << text; // nothing half-read
        }
    EXPECT_FALSE(LoadConfig(dir_ / "absent.toml", &c, &error));
}

TEST(Networks, MatchClientAddresses) {
    // A network, an address inside it and one outside ("" for none).
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"10.0.0.0/8", "10.255.1.2", "11.0.0.1"},          {"192.0.2.7", "192.0.2.7", "192.0.2.8"},
        {"10.1.0.0/15", "10.0.255.1", "10.2.0.1"},         {"0.0.0.0/0", "203.0.113.9", ""},
        {"127.0.0.0/8", "::ffff:127.0.0.1", "::1"},        {"::1/128", "::1", "not an address"},
        {"2001:db8::/32", "2001:db8:1::5", "2001:db9::5"},
    };
    for (const auto& [network, in, out] : cases) {
        const auto net = ParseNetwork(network);
        ASSERT_TRUE(net) << network;
        EXPECT_EQ(std::pair(NetworkContains(*net, in), NetworkContains(*net, out)),
                  std::pair(true, false))
            << network;
    }
    for (const auto& [address, loopback] :
         {std::pair{"127.3.4.5", true}, {"::ffff:127.0.0.1", true}, {"::", false}})
        EXPECT_EQ(IsLoopbackAddress(address), loopback) << address;
    const auto listen = ParseListen("[2001:db8::1]:443").value_or(ListenAddress{});
    EXPECT_EQ(std::pair(listen.host, listen.port), std::pair(std::string("2001:db8::1"), 443));
}

TEST_F(ConfigTest, ProgramFlagsAndCheck) {
    ASSERT_TRUE(std::getenv("VALDANE_SERVICE_BIN")) << "run through ctest";
    fs::create_directories(dir_ / "cfg" / "valdane");
    // The per-user file is read without --config. No column reaches outside.
    std::ofstream(dir_ / "cfg" / "valdane" / "service.toml") << test::kQuietColumns;
    const test::Outcome r = test::RunService("--check www.example.com", dir_);
    EXPECT_EQ(r.rc, 0) << r.out;
    EXPECT_EQ(test::Lacks(r.out, "ranks  谷歌      4 |ranks  搜狗      -1"), "") << r.out;
    EXPECT_TRUE(fs::exists(dir_ / "data" / "valdane" / "measurements.db"));
    // The exit status, then the arguments.
    for (const std::string row :
         {"2 --check", "2 --bogus", "1 --check a..b", "0 --version", "1 --config /nonexistent.toml",
          "1 --listen 0.0.0.0:8936 --check example.com",
          "1 --data /dev/null/x --check example.com"})
        EXPECT_EQ(test::RunService(row.substr(2), dir_).rc, row[0] - '0') << row;
}

} // namespace

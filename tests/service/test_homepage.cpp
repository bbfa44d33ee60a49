// Home-page titles and descriptions, and the rules for fetching an address a caller chose.
#include "fakes.h"
#include "providers/homepage.h"
#include "providers/lookup.h"
#include "providers/safefetch.h"

#include <gtest/gtest.h>
#include <toml++/toml.h>

using namespace valdane::svc;

namespace {

const std::string kGbkTitle = "\xD0\xC2\xC0\xCB\xCA\xD7\xD2\xB3"; // 新浪首页
const std::string kGbkDesc = "\xD6\xD0\xCE\xC4\xBC\xF2\xBD\xE9";  // 中文简介

} // namespace

TEST(HomePage, ReadsTitleAndDescriptionInEveryCharsetAndShape) {
    struct Row {
        const char* what;
        std::string body, content_type, title, description;
    };
    const Row rows[] = {
        {"utf-8, entities, whitespace",
         "<html><head><TITLE>\n  A &amp; B&nbsp;&#x4E2D;&#25991;\t|||x </TITLE>"
         "<meta NAME=\"Description\" content='say &quot;hi&quot; &bogus; &#x110000;'>",
         "text/html; charset=utf-8", "A & B 中文 ｜｜｜x", "say \"hi\" &bogus; \xEF\xBF\xBD"},
        {"gbk from the header", "<title>" + kGbkTitle + "</title>", "text/html; charset=GB2312",
         "新浪首页", ""},
        {"gbk from http-equiv",
         "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=gbk\">"
         "<meta name=description content=" +
             kGbkDesc + "><title>" + kGbkTitle + "</title>",
         "text/html", "新浪首页", "中文简介"},
        {"gbk from meta charset", "<meta charset=\"gb2312\"/><title>" + kGbkTitle + "</title>", "",
         "新浪首页", ""},
        {"undeclared gbk", "<title>" + kGbkTitle + "</title>", "", "新浪首页", ""},
        {"invalid bytes in declared utf-8", "<title>a\xF4\x90\x80\x80z\xF8\x88</title>",
         "text/html; charset=utf-8", "a\uFFFD\uFFFD\uFFFD\uFFFDz\uFFFD\uFFFD", ""},
        {"header wins over meta", "<meta charset=gbk><title>中文</title>",
         "text/html;charset=utf-8", "中文", ""},
        {"og:description when no description",
         "<title>t</title><meta property=\"og:description\" content=\"og text\">", "", "t",
         "og text"},
        {"script, style and comments hide titles",
         "<!-- <title>no</title> --><script>var t='<title>no</title>'</script>"
         "<style>title{}</style><title>yes</title>",
         "", "yes", ""},
        {"unterminated title", "<title>open ended", "", "open ended", ""},
        {"unterminated quote", "<meta name=description content=\"never closed", "", "",
         "never closed"},
        {"stray brackets", "<<<>>> < title>< /title><title>ok</title>", "", "ok", ""},
        {"no title", "<html><body>hello</body></html>", "", "", ""},
        {"bytes", std::string("\x00\xFF<\x01>\xFE", 6), "", "", ""},
        {"cap", "<title>" + std::string(300, 'a') + "</title>", "", std::string(20, 'a') + "…", ""},
    };
    for (const Row& row : rows) {
        const HomePage page = ReadHomePage(row.body, row.content_type, 20);
        EXPECT_EQ(page.title, row.title) << row.what;
        EXPECT_EQ(page.description, row.description) << row.what;
    }
    // Megabytes of half-open markup end in one pass.
    for (const std::string unit : {"<", "<!--", "<a b='", "<title>", "&#"}) {
        std::string junk;
        while (junk.size() < 2 * 1024 * 1024)
            junk += unit;
        EXPECT_EQ(ReadHomePage(junk, "", 20).description, "");
    }
}

TEST(SafeFetch, RefusesInwardAddresses) {
    for (const std::string address : {"93.184.216.34", "2606:2800:220:1::1", "172.32.0.1",
                                      "100.128.0.1", "::ffff:8.8.8.8", "64:ff9b::808:808"})
        EXPECT_TRUE(IsPublicAddress(address)) << address;
    // Private, shared, link-local, multicast and benchmarking ranges, and the IPv6 forms that
    // embed them; a network or a scoped address is not an address to fetch from.
    for (const std::string address :
         {"127.0.0.1", "10.1.2.3", "172.16.0.1", "192.168.1.1", "100.64.0.1", "169.254.169.254",
          "0.0.0.0", "224.0.0.1", "255.255.255.255", "198.18.0.1", "8.8.8.0/24"})
        EXPECT_FALSE(IsPublicAddress(address)) << address;
    for (const std::string address :
         {"::", "::1", "fc00::1", "fd12::1", "fe80::1", "ff02::1", "::ffff:127.0.0.1",
          "64:ff9b::a00:1", "2002:c0a8:101::1", "::127.0.0.1", "fe80::1%eth0"})
        EXPECT_FALSE(IsPublicAddress(address)) << address;
}

TEST(SafeFetch, ChecksEveryHopAndCapsRedirectsSchemesAndSize) {
    test::TestEnv t;
    test::FakeUpstream outer; // 127.0.0.1: the allowed "public" host in these tests
    test::FakeUpstream inner("127.0.0.2");
    ASSERT_TRUE(inner.Start());
    const std::string inner_url = "http://inner.test:" + std::to_string(inner.port()) + "/";
    auto& s = outer.server();
    s.Get("/", [](const httplib::Request&, httplib::Response& r) {
        r.set_content("home", "text/plain");
    });
    s.Get("/to-inner",
          [&](const httplib::Request&, httplib::Response& r) { r.set_redirect(inner_url); });
    s.Get("/to-file", [](const httplib::Request&, httplib::Response& r) {
        r.set_redirect("file:///etc/passwd");
    });
    s.Get(R"(/hop/(\d+))", [](const httplib::Request& q, httplib::Response& r) {
        const int n = std::stoi(q.matches[1]);
        if (n > 0)
            r.set_redirect("/hop/" + std::to_string(n - 1));
        else
            r.set_content("arrived", "text/plain");
    });
    s.Get("/big", [](const httplib::Request&, httplib::Response& r) {
        r.set_content(std::string(3 * 1024 * 1024, 'x'), "text/plain");
    });
    inner.server().Get("/", [](const httplib::Request&, httplib::Response& r) {
        r.set_content("inner", "text/plain");
    });
    ASSERT_TRUE(outer.Start());
    t.resolver.Set("outer.test", {"127.0.0.1"});
    t.resolver.Set("inner.test", {"127.0.0.2"});
    t.resolver.Set("mixed.test", {"127.0.0.1", "10.0.0.1"});
    t.resolver.Set("xn--bcher-kva.test", {"127.0.0.1"}); // bücher.test: curl connects by this form
    const std::string outer_url = "http://outer.test:" + std::to_string(outer.port());

    SafeFetchOptions strict;
    SafeFetchOptions allow_outer;
    allow_outer.allow = {*ParseNetwork("127.0.0.1/32")};
    SafeFetchOptions allow_both = allow_outer;
    allow_both.allow.push_back(*ParseNetwork("127.0.0.2/32"));

    struct Row {
        const char* what;
        std::string url;
        const SafeFetchOptions& options;
        bool refused;
        std::string body;
    };
    const Row rows[] = {
        {"name to loopback", outer_url + "/", strict, true, ""},
        {"literal loopback", "http://127.0.0.1:" + std::to_string(outer.port()) + "/", strict, true,
         ""},
        {"allowed for the test", outer_url + "/", allow_outer, false, "home"},
        {"redirect inward", outer_url + "/to-inner", allow_outer, true, ""},
        {"redirect inward, allowed", outer_url + "/to-inner", allow_both, false, "inner"},
        {"one address inward", "http://mixed.test:" + std::to_string(outer.port()) + "/",
         allow_outer, true, ""},
        {"three redirects", outer_url + "/hop/3", allow_outer, false, "arrived"},
        {"four redirects", outer_url + "/hop/4", allow_outer, true, ""},
        {"file scheme", "file:///etc/passwd", allow_outer, true, ""},
        {"redirect to file", outer_url + "/to-file", allow_outer, true, ""},
        {"gopher", "gopher://outer.test/", allow_outer, true, ""},
        {"unicode name", "http://bücher.test:" + std::to_string(outer.port()) + "/", allow_outer,
         false, "home"},
    };
    for (const Row& row : rows) {
        const SafeFetchResult r = SafeGet(t.env, row.url, row.options);
        EXPECT_EQ(!r.refused.empty(), row.refused) << row.what << ": " << r.refused;
        EXPECT_EQ(r.response.body, row.body) << row.what;
    }
    EXPECT_EQ(inner.hits("/"), 1);      // only the allowed redirect reached it
    EXPECT_EQ(outer.hits("/hop/0"), 1); // the fourth redirect was never followed
    EXPECT_EQ(outer.hits("/"), 2);      // the refused loopback name sent nothing

    const SafeFetchResult big = SafeGet(t.env, outer_url + "/big", allow_outer);
    EXPECT_TRUE(big.response.truncated);
    EXPECT_EQ(big.response.body.size(), 2u * 1024 * 1024);
}

TEST(HomepageProvider, MeasuresNameAndDescriptionOnlyFromAllowedHosts) {
    test::TestEnv t;
    test::FakeUpstream site;
    site.server().Get("/", [](const httplib::Request&, httplib::Response& r) {
        r.set_content("<title>" + kGbkTitle + "</title>", "text/html; charset=gbk");
    });
    site.server().Get("/blog/", [](const httplib::Request&, httplib::Response& r) {
        r.set_content("<title>Blog</title><meta name=description content=Notes>", "text/html");
    });
    ASSERT_TRUE(site.Start());
    t.resolver.Set("home.test", {"127.0.0.1"});
    const std::string url = "url = \"http://{site}:" + std::to_string(site.port()) + "/\"\n";

    std::string error;
    auto strict = MakeHomepageProvider("home", toml::parse(url), t.env, &error);
    auto open = MakeHomepageProvider(
        "home", toml::parse(url + "allow_networks = [\"127.0.0.1/32\"]"), t.env, &error);
    ASSERT_TRUE(strict && open) << error;
    EXPECT_FALSE(MakeHomepageProvider("home", toml::parse("allow_networks = [\"nonsense\"]"), t.env,
                                      &error));
    for (const char* bad : {"url = \"http://x/\"", "timeout_ms = 60000", "allow_network = []"}) {
        EXPECT_FALSE(MakeHomepageProvider("home", toml::parse(bad), t.env, &error)) << bad;
        EXPECT_EQ(error.rfind("key 'providers.home.", 0), 0u) << error;
    }

    auto m = strict->Measure({"home.test", Page::Alexa, {0, 1}});
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].status, Status::NetworkError);
    EXPECT_EQ(site.hits("/"), 0);

    m = open->Measure({"home.test", Page::Alexa, {1, 0, 2}});
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[0].status, Status::NotFound); // no description: 未公开, not an invented text
    EXPECT_EQ(m[0].text, "未公开");
    EXPECT_EQ(m[1].status, Status::Ok);
    EXPECT_EQ(m[1].text, "新浪首页");
    EXPECT_EQ(m[2].status, Status::Unsupported);

    m = open->Measure({"home.test/blog/", Page::Alexa, {0, 1}});
    EXPECT_EQ(m[0].text, "Blog");
    EXPECT_EQ(m[1].text, "Notes");
}

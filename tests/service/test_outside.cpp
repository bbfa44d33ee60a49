// What reaches outside and what comes back: the site names let through from an untrusted sUrl,
// the bytes the program reads back, and fetching against upstreams on 127.0.0.1 (the rules for
// an address a caller chose, the plain HTTP client, home-page titles and descriptions).
#include "fakes.h"
#include "protocol.h"
#include "providers/homepage.h"
#include "providers/lookup.h"
#include "providers/safefetch.h"

#include <gtest/gtest.h>
#include <toml++/toml.h>

#include <array>
#include <numeric>
#include <sstream>

using namespace valdane::svc;

namespace {

const std::string kGbkTitle = "\xD0\xC2\xC0\xCB\xCA\xD7\xD2\xB3"; // 新浪首页
const std::string kGbkDesc = "\xD6\xD0\xCE\xC4\xBC\xF2\xBD\xE9";  // 中文简介

} // namespace

TEST(HomePage, ReadsTitleAndDescriptionInEveryCharsetAndShape) {
    // What, the body, its Content-Type, and the title and description read from it.
    const std::array<std::string, 4> rows[] = {
        {"utf-8, entities, whitespace",
         "<html><head><TITLE>\n  A &amp; B&nbsp;&#x4E2D;&#25991;\t|||x </TITLE>"
         "<meta NAME=\"Description\" content='say &quot;hi&quot; &bogus; &#x110000;'>",
         "text/html; charset=utf-8", "A & B 中文 ｜｜｜x|say \"hi\" &bogus; \xEF\xBF\xBD"},
        {"gbk from http-equiv",
         "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=gbk\">"
         "<meta name=description content=" +
             kGbkDesc + "><title>" + kGbkTitle + "</title>",
         "text/html", "新浪首页|中文简介"},
        {"gbk from meta charset", "<meta charset=\"gb2312\"/><title>" + kGbkTitle + "</title>", "",
         "新浪首页|"},
        {"undeclared gbk", "<title>" + kGbkTitle + "</title>", "", "新浪首页|"},
        {"invalid bytes in declared utf-8", "<title>a\xF4\x90\x80\x80z\xF8\x88</title>",
         "text/html; charset=utf-8", "a\uFFFD\uFFFD\uFFFD\uFFFDz\uFFFD\uFFFD|"},
        {"header wins over meta", "<meta charset=gbk><title>中文</title>",
         "text/html;charset=utf-8", "中文|"},
        {"og:description when no description",
         "<title>t</title><meta property=\"og:description\" content=\"og text\">", "", "t|og text"},
        {"script, style and comments hide titles",
         "<!-- <title>no</title> --><script>var t='<title>no</title>'</script>"
         "<style>title{}</style><title>yes</title>",
         "", "yes|"},
        {"unterminated title", "<title>open ended", "", "open ended|"},
        {"unterminated quote", "<meta name=description content=\"never closed", "",
         "|never closed"},
        {"stray brackets", "<<<>>> < title>< /title><title>ok</title>", "", "ok|"},
        {"no title", "<html><body>hello</body></html>", "", "|"},
        {"bytes", std::string("\x00\xFF<\x01>\xFE", 6), "", "|"},
        {"cap", "<title>" + std::string(300, 'a') + "</title>", "", std::string(20, 'a') + "…|"},
    };
    for (const auto& [what, body, type, want] : rows) {
        const HomePage page = ReadHomePage(body, type, 20);
        EXPECT_EQ(page.title + "|" + page.description, want) << what;
    }
    // Megabytes of half-open markup end in one pass.
    for (const std::string unit : {"<", "<!--", "<a b='", "<title>", "&#"}) {
        std::string junk;
        while (junk.size() < 2 * 1024 * 1024)
            junk += unit;
        EXPECT_EQ(ReadHomePage(junk, "", 20).description, "");
    }
}

TEST(SafeFetch, RefusesInwardAddressesAndChecksEveryHop) {
    // Public ones; then private, shared, link-local, multicast and benchmarking ranges, and the
    // IPv6 forms that embed them; a network or a scoped address is not an address to fetch from.
    std::istringstream addresses(
        "93.184.216.34 2606:2800:220:1::1 172.32.0.1 100.128.0.1 ::ffff:8.8.8.8 64:ff9b::808:808 | "
        "127.0.0.1 10.1.2.3 172.16.0.1 192.168.1.1 100.64.0.1 169.254.169.254 0.0.0.0 224.0.0.1 "
        "255.255.255.255 198.18.0.1 8.8.8.0/24 :: ::1 fc00::1 fd12::1 fe80::1 ff02::1 "
        "::ffff:127.0.0.1 64:ff9b::a00:1 2002:c0a8:101::1 ::127.0.0.1 fe80::1%eth0");
    for (std::string a, ask = "public"; addresses >> a;)
        if (a == "|")
            ask = "inward";
        else
            EXPECT_EQ(IsPublicAddress(a) ? "public" : "inward", ask) << a;
    // Every hop is checked; redirects, schemes and size are capped.
    test::TestEnv t;
    test::FakeUpstream outer; // 127.0.0.1: the allowed "public" host in these tests
    test::FakeUpstream inner("127.0.0.2");
    inner.Serve("/", "inner");
    ASSERT_TRUE(inner.Start());
    const std::string inner_url = "http://inner.test:" + std::to_string(inner.port()) + "/";
    auto& s = outer.server();
    outer.Serve("/", "home");
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
    outer.Serve("/big", std::string(3 * 1024 * 1024, 'x'));
    ASSERT_TRUE(outer.Start());
    t.resolver.Set("outer.test", {"127.0.0.1"});
    t.resolver.Set("inner.test", {"127.0.0.2"});
    t.resolver.Set("mixed.test", {"127.0.0.1", "10.0.0.1"});
    t.resolver.Set("xn--bcher-kva.test", {"127.0.0.1"}); // bücher.test: curl connects by this form
    const std::string port = std::to_string(outer.port()), outer_url = "http://outer.test:" + port;
    SafeFetchOptions strict, allow_outer, allow_both;
    allow_outer.allow = {*ParseNetwork("127.0.0.1/32")};
    allow_both.allow = {*ParseNetwork("127.0.0.1/32"), *ParseNetwork("127.0.0.2/32")};
    // What, the address, the options, whether it is refused and the body read.
    const std::tuple<const char*, std::string, const SafeFetchOptions&, bool, std::string> rows[] =
        {
            {"name to loopback", outer_url + "/", strict, true, ""},
            {"literal loopback", "http://127.0.0.1:" + port + "/", strict, true, ""},
            {"allowed for the test", outer_url + "/", allow_outer, false, "home"},
            {"redirect inward", outer_url + "/to-inner", allow_outer, true, ""},
            {"redirect inward, allowed", outer_url + "/to-inner", allow_both, false, "inner"},
            {"one address inward", "http://mixed.test:" + port + "/", allow_outer, true, ""},
            {"three redirects", outer_url + "/hop/3", allow_outer, false, "arrived"},
            {"four redirects", outer_url + "/hop/4", allow_outer, true, ""},
            {"file scheme", "file:///etc/passwd", allow_outer, true, ""},
            {"redirect to file", outer_url + "/to-file", allow_outer, true, ""},
            {"gopher", "gopher://outer.test/", allow_outer, true, ""},
            {"unicode name", "http://bücher.test:" + port + "/", allow_outer, false, "home"},
        };
    for (const auto& [what, url, options, refused, body] : rows) {
        const SafeFetchResult r = SafeGet(t.env, url, options);
        EXPECT_EQ(!r.refused.empty(), refused) << what << ": " << r.refused;
        EXPECT_EQ(r.response.body, body) << what;
    }
    EXPECT_EQ(inner.hits("/"), 1);      // only the allowed redirect reached it
    EXPECT_EQ(outer.hits("/hop/0"), 1); // the fourth redirect was never followed
    EXPECT_EQ(outer.hits("/"), 2);      // the refused loopback name sent nothing
    const SafeFetchResult big = SafeGet(t.env, outer_url + "/big", allow_outer);
    EXPECT_TRUE(big.response.truncated);
    EXPECT_EQ(big.response.body.size(), 2u * 1024 * 1024);
    // The plain client reports transport errors and refuses other schemes.
    for (const char* url : {"http://127.0.0.1:1/", "file:///etc/passwd"}) {
        HttpRequest request;
        request.url = url;
        const HttpResponse r = test::TestHttp().Get(request);
        EXPECT_TRUE(r.status == 0 && !r.error.empty() && r.body.empty()) << url << r.status;
    }
}

TEST(HomepageProvider, MeasuresNameAndDescriptionOnlyFromAllowedHosts) {
    test::TestEnv t;
    test::FakeUpstream site;
    site.Serve("/", "<title>" + kGbkTitle + "</title>", "text/html; charset=gbk");
    site.Serve("/blog/", "<title>Blog</title><meta name=description content=Notes>", "text/html");
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
    const auto briefs = [](const std::vector<Measurement>& m) {
        return std::accumulate(
            m.begin(), m.end(), std::string(),
            [](std::string s, const Measurement& one) { return s + test::Brief(one) + "|"; });
    };
    EXPECT_EQ(briefs(strict->Measure({"home.test", Page::Alexa, {0, 1}})),
              "network-error|network-error|");
    EXPECT_EQ(site.hits("/"), 0);
    // No description: 未公开, not an invented text.
    EXPECT_EQ(briefs(open->Measure({"home.test", Page::Alexa, {1, 0, 2}})),
              "not-found 未公开|ok 新浪首页|unsupported|");
    EXPECT_EQ(briefs(open->Measure({"home.test/blog/", Page::Alexa, {0, 1}})), "ok Blog|ok Notes|");
}

TEST(Protocol, NormalizeSiteAcceptsOnlyPlausibleDomains) {
    const std::string label63(63, 'a');
    // Shorter than 4, what the program sends for "a.b&c", no dot, a trailing dot; then
    // addresses, ports, users, schemes and paths a name has not, and bytes not UTF-8.
    for (const std::string in :
         {"", "a.b", "a.b&c", "<script>.com", "exa mple.com", "example..com", "..", "localhost",
          ".example.com", "example.com.", "-bad.example.com", "bad-.example.com"})
        EXPECT_EQ(NormalizeSite(Page::Sites, in), std::nullopt) << in;
    for (const std::string in :
         {"127.0.0.1", "[::1]", "example.com:8080", "user@example.com", "ftp://example.com",
          "example.com/../etc", "example.com/a?b=c", "example.com/%zz", "\xff\xfe.com"})
        EXPECT_EQ(NormalizeSite(Page::Sites, in), std::nullopt) << in;
    const std::tuple<Page, std::string, std::optional<std::string>> rows[] = {
        {Page::Sites, label63 + "a.com", std::nullopt},
        {Page::Sites, std::string(250, 'a') + ".com", std::nullopt},
        {Page::Sites, label63 + ".com", label63 + ".com"},
        {Page::Sites, "Example.COM", "example.com"},
        {Page::Sites, "HTTP://Example.com/", "example.com"},
        {Page::Sites, "https://www.example.com", "www.example.com"},
        {Page::Sites, "example.com/Blog/a%20b", "example.com/Blog/a%20b"},
        {Page::Sites, "例子.中国", "xn--fsqu00a.xn--fiqs8s"},
        {Page::Sites, "http://www.例子.中国", "www.xn--fsqu00a.xn--fiqs8s"},
        {Page::Whois, "http://www.例子.中国", "xn--fsqu00a.xn--fiqs8s"},
        {Page::Whois, "WWW.example.com", "example.com"},
        {Page::Whois, "example.com/path", std::nullopt},
        {Page::Alexa, "www.example.com", "www.example.com"},
        {Page::Alexa, "www.example.com/", "www.example.com"},
        {Page::Ranks, "例子。中国", "xn--fsqu00a.xn--fiqs8s"}, // ideographic full stop
    };
    for (const auto& [page, in, out] : rows)
        EXPECT_EQ(NormalizeSite(page, in), out) << in;
}

TEST(Protocol, PagesGbkAndEnvelope) {
    for (Page page : kPages) // the names themselves are what the program asks for
        EXPECT_EQ(PageFromFile(PageFile(page)), page) << PageFile(page);
    EXPECT_TRUE(ColumnName(Page::Ranks, -1).empty() && ColumnName(Page::Ranks, 2).empty());
    // Outside GBK, and broken UTF-8: one "?" each, the rest kept.
    EXPECT_EQ(Utf8ToGbk("a百度x\xF0\x9F\x98\x80y\xC3z"), "a\xB0\xD9\xB6\xC8x?y?z");
    const std::string body = Envelope("谷歌<!-- end -->x");
    const std::string start(kPayloadStart), end(kPayloadEnd);
    const std::size_t from = body.find(start) + start.size();
    EXPECT_EQ(body.substr(from, body.find(end) - from), "\xB9\xC8\xB8\xE8<!- end ->x");
    EXPECT_NE(body.find("charset=gb2312"), std::string::npos);
}

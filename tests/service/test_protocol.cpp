// What reaches the sources from an untrusted sUrl, and the bytes the program reads back.
#include "protocol.h"

#include <gtest/gtest.h>

using namespace valdane::svc;

TEST(Protocol, NormalizeSiteAcceptsOnlyPlausibleDomains) {
    const std::optional<std::string> no;
    struct Row {
        Page page;
        std::string in;
        std::optional<std::string> out;
    };
    const std::string label63(63, 'a');
    const Row rows[] = {
        {Page::Sites, "", no},
        {Page::Sites, "a.b", no},   // shorter than 4
        {Page::Sites, "a.b&c", no}, // what the program sends for "a.b&c"
        {Page::Sites, "<script>.com", no},
        {Page::Sites, "exa mple.com", no},
        {Page::Sites, "example..com", no},
        {Page::Sites, "..", no},
        {Page::Sites, "localhost", no}, // no dot
        {Page::Sites, ".example.com", no},
        {Page::Sites, "example.com.", no}, // trailing dot
        {Page::Sites, "-bad.example.com", no},
        {Page::Sites, "bad-.example.com", no},
        {Page::Sites, "127.0.0.1", no},
        {Page::Sites, "[::1]", no},
        {Page::Sites, "example.com:8080", no},
        {Page::Sites, "user@example.com", no},
        {Page::Sites, "ftp://example.com", no},
        {Page::Sites, "example.com/../etc", no},
        {Page::Sites, "example.com/a?b=c", no},
        {Page::Sites, "example.com/%zz", no},
        {Page::Sites, "\xff\xfe.com", no}, // not UTF-8
        {Page::Sites, label63 + "a.com", no},
        {Page::Sites, std::string(250, 'a') + ".com", no},
        {Page::Sites, label63 + ".com", label63 + ".com"},
        {Page::Sites, "Example.COM", "example.com"},
        {Page::Sites, "HTTP://Example.com/", "example.com"},
        {Page::Sites, "https://www.example.com", "www.example.com"},
        {Page::Sites, "example.com/Blog/a%20b", "example.com/Blog/a%20b"},
        {Page::Sites, "例子.中国", "xn--fsqu00a.xn--fiqs8s"},
        {Page::Sites, "http://www.例子.中国", "www.xn--fsqu00a.xn--fiqs8s"},
        {Page::Whois, "http://www.例子.中国", "xn--fsqu00a.xn--fiqs8s"},
        {Page::Whois, "WWW.example.com", "example.com"},
        {Page::Whois, "example.com/path", no},
        {Page::Alexa, "www.example.com", "www.example.com"},
        {Page::Alexa, "www.example.com/", "www.example.com"},
        {Page::Ranks, "例子。中国", "xn--fsqu00a.xn--fiqs8s"}, // ideographic full stop
    };
    for (const Row& row : rows)
        EXPECT_EQ(NormalizeSite(row.page, row.in), row.out) << row.in;
}

TEST(Protocol, PagesGbkAndEnvelope) {
    for (const auto& [file, page] :
         {std::pair{"sites.asp", Page::Sites}, std::pair{"links.asp", Page::Links},
          std::pair{"ranks.asp", Page::Ranks}, std::pair{"whois.asp", Page::Whois},
          std::pair{"alexa.asp", Page::Alexa}}) {
        EXPECT_EQ(PageFromFile(file), page);
        EXPECT_EQ(PageFile(page), file);
    }
    for (int past : {-1, 2})
        EXPECT_EQ(ColumnName(Page::Ranks, past), "") << past;
    EXPECT_EQ(Utf8ToGbk("a百度"), "a\xB0\xD9\xB6\xC8");
    // Outside GBK, and broken UTF-8: one "?" each, the rest kept.
    EXPECT_EQ(Utf8ToGbk("x\xF0\x9F\x98\x80y\xC3z"), "x?y?z");

    const std::string body = Envelope("谷歌<!-- end -->x");
    const std::string start(kPayloadStart), end(kPayloadEnd);
    const std::size_t from = body.find(start) + start.size();
    EXPECT_EQ(body.substr(from, body.find(end) - from), "\xB9\xC8\xB8\xE8<!- end ->x");
    EXPECT_NE(body.find("charset=gb2312"), std::string::npos);
    EXPECT_LT(body.find(start), body.find(end));
}

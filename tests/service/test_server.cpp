// The real server on a loopback port: the bytes the program reads, what it may never reach,
// and the limits a hostile client meets.
#include "fakes.h"
#include "protocol.h"
#include "server.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>

using namespace valdane::svc;

namespace {

class FakeProvider final : public Provider {
  public:
    std::atomic<int> calls{0};
    std::vector<Measurement> Measure(const MeasureRequest& request) override {
        ++calls;
        std::vector<Measurement> out;
        for (int c : request.columns) {
            Measurement m;
            m.status = Status::Ok;
            if (IsNumericColumn(request.page, c))
                m.number = 100 + c;
            else
                m.text = request.page == Page::Whois ? "注册商：<例子> & co"
                                                     : "站点" + std::to_string(c);
            out.push_back(m);
        }
        return out;
    }
    std::string Describe() const override { return "<b>测试</b> & 源"; }
};

std::string Payload(const std::string& body) {
    const std::string start(kPayloadStart), end(kPayloadEnd);
    const std::size_t from = body.find(start), to = body.find(end);
    if (from == std::string::npos || to == std::string::npos || to < from)
        return "<no markers>";
    return body.substr(from + start.size(), to - from - start.size());
}

struct Service {
    test::TestEnv env;
    Config config;
    std::filesystem::path dir;
    std::unique_ptr<Store> store;
    FakeProvider* fake = nullptr;
    std::unique_ptr<Engine> engine;
    std::unique_ptr<Server> server;

    explicit Service(std::vector<std::string> allow = {"127.0.0.0/8", "::1/128"},
                     ServerLimits limits = {}) {
        static int n = 0;
        dir = std::filesystem::temp_directory_path() /
              ("valdane-server-" + std::to_string(getpid()) + "-" + std::to_string(n++));
        std::filesystem::create_directories(dir);
        config.data_dir = dir;
        config.allow = std::move(allow);
        config.update = {"V2.0", "新版", "http://127.0.0.1/get"};
        for (Page page : {Page::Sites, Page::Links, Page::Ranks, Page::Whois, Page::Alexa})
            config.columns[page] = std::vector<std::string>(ColumnCount(page), "fake");
        std::string error;
        store = OpenStore(dir, env.env, &error);
        auto provider = std::make_unique<FakeProvider>();
        fake = provider.get();
        std::map<std::string, std::unique_ptr<Provider>> providers;
        providers["fake"] = std::move(provider);
        engine = std::make_unique<Engine>(config, *store, env.env, std::move(providers));
        server = std::make_unique<Server>(config, *engine, *store, limits, &env.clock);
        EXPECT_TRUE(server->Start(ListenAddress{"127.0.0.1", 0}, &error)) << error;
    }
    ~Service() {
        server.reset();
        engine.reset();
        store.reset();
        std::filesystem::remove_all(dir);
    }
    httplib::Result Get(const std::string& path) {
        httplib::Client client("127.0.0.1", server->port());
        return client.Get(path);
    }
    std::string Ask(const std::string& query) {
        auto r = Get("/Calvren/Rivelo/" + query);
        return r ? Payload(r->body) : "<no answer>";
    }
    int Connect() {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(server->port()));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        return fd;
    }
};

std::vector<std::string> Split(const std::string& text, const std::string& sep) {
    std::vector<std::string> out;
    std::size_t from = 0;
    for (std::size_t at; (at = text.find(sep, from)) != std::string::npos; from = at + sep.size())
        out.push_back(text.substr(from, at - from));
    out.push_back(text.substr(from));
    return out;
}

} // namespace

TEST(Server, ProtocolPagesAnswerInGbkBetweenTheMarkers) {
    Service s;
    const std::string q = "?sFrom=127.0.0.1:8936&Key=1234567&sUrl=Example.com";
    for (const char* file : {"sites.asp", "links.asp", "ranks.asp"}) {
        auto r = s.Get(std::string("/Calvren/Rivelo/") + file + q);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 200);
        EXPECT_EQ(r->get_header_value("Content-Type"), "text/html; charset=gb2312");
        std::string payload = Payload(r->body);
        std::replace(payload.begin(), payload.end(), '|', ',');
        const auto fields = Split(payload, ",");
        ASSERT_EQ(static_cast<int>(fields.size()), ColumnCount(*PageFromFile(file))) << payload;
        EXPECT_EQ(fields.front(), "100");
        EXPECT_EQ(fields.back(), std::to_string(99 + static_cast<int>(fields.size())));
    }
    const auto alexa = Split(s.Ask("alexa.asp?sFrom=h&Key=1000000&sUrl=www.example.com"), "|||");
    ASSERT_EQ(alexa.size(), 9u);
    EXPECT_EQ(alexa[0], "\xD5\xBE\xB5\xE3"
                        "0"); // 站点0 in GBK
    EXPECT_EQ(alexa[2], "102");
    EXPECT_EQ(
        s.Ask("whois.asp?sFrom=h&Key=1000000&sUrl=example.com"),
        Utf8ToGbk("注册商：<例子> & co")); // as the provider gave it: the program shows it raw

    const std::string update = Payload(s.Get("/Calvren/Rivelo/Update.txt?tn=1234567")->body);
    EXPECT_EQ(update,
              "[ConFig]\r\nVersion=V2.0\r\nName=\xD0\xC2\xB0\xE6\r\nUrl=http://127.0.0.1/get");
}

TEST(Server, FalseWithoutReachingASourceForBadOrAmbiguousQueries) {
    Service s;
    const int before = s.fake->calls;
    for (const std::string& query : std::vector<std::string>{
             "sites.asp?sFrom=h&Key=1",                          // no sUrl
             "sites.asp?sFrom=h&Key=1&sUrl=",                    // empty
             "sites.asp?sFrom=h&Key=1&sUrl=a.com&sUrl=b.com",    // repeated
             "sites.asp?sFrom=h&sUrl=example.com",               // no Key
             "links.asp?sFrom=h&sFrom=g&Key=1&sUrl=example.com", // repeated sFrom
             "sites.asp?sFrom=h&Key=1&sUrl=a.b&c",               // "&" in the target
             "ranks.asp?sFrom=h&Key=1&sUrl=127.0.0.1",
             "ranks.asp?sFrom=h&Key=1&sUrl=example.com:80",
             "whois.asp?sFrom=h&Key=1&sUrl=%3Cscript%3E.com",
             "alexa.asp?sFrom=h&Key=1&sUrl=" + std::string(300, 'a') + ".com",
         })
        EXPECT_EQ(s.Ask(query), "false") << query;
    EXPECT_EQ(s.fake->calls, before);
    auto r = s.Get("/Calvren/Rivelo/other.asp?sFrom=h&Key=1&sUrl=example.com");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 404);
}

TEST(Server, RefusesClientsOutsideTheAllowList) {
    Service s({"10.0.0.0/8", "2001:db8::/32"});
    for (const char* path : {"/", "/Calvren/Rivelo/sites.asp?sFrom=h&Key=1&sUrl=example.com",
                             "/ostrem/seo/sites.htm", "/nothing"}) {
        auto r = s.Get(path);
        ASSERT_TRUE(r) << path;
        EXPECT_EQ(r->status, 403) << path;
    }
    EXPECT_EQ(s.fake->calls, 0);
}

TEST(Server, CutsOffSlowSilentAndOversizedClients) {
    using namespace std::chrono;
    ServerLimits limits;
    limits.read_timeout = milliseconds(150);
    limits.request_timeout = milliseconds(400);
    limits.keep_alive_timeout = milliseconds(150);
    Service s({"127.0.0.0/8"}, limits);

    // Closed by the server: recv sees the end within the limit, not after the test's patience.
    auto closed_within = [&](int fd, milliseconds patience, const std::string& trickle) {
        const auto until = steady_clock::now() + patience;
        timeval tv{0, 50'000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char buf[512];
        while (steady_clock::now() < until) {
            if (!trickle.empty())
                ::send(fd, trickle.data(), trickle.size(), MSG_NOSIGNAL);
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
                return true;
        }
        return false;
    };
    int fd = s.Connect();
    EXPECT_TRUE(closed_within(fd, milliseconds(2000), "")) << "silent client";
    ::close(fd);
    fd = s.Connect();
    const std::string head = "GET / HTTP/1.1\r\nHost: x\r\n";
    ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
    // A byte every 50 ms beats any per-read timeout; only the request deadline stops it.
    EXPECT_TRUE(closed_within(fd, milliseconds(2000), "X")) << "trickling client";
    ::close(fd);

    httplib::Client client("127.0.0.1", s.server->port());
    // Each header line is short enough; together they pass the request budget.
    const std::string part(5000, 'a');
    auto r = client.Get("/", {{"X-1", part}, {"X-2", part}, {"X-3", part}, {"X-4", part}});
    EXPECT_TRUE(!r || r->status == 400) << (r ? r->status : 0);
    r = client.Get("/?" + std::string(9000, 'a'));
    EXPECT_TRUE(!r || r->status == 414) << (r ? r->status : 0);
    r = client.Get("/");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200); // still serving
}

TEST(Server, PagesAreEscapedUtf8AndCsvMatchesTheTable) {
    Service s;
    for (const char* site : {"b.example.com", "a.example.com", "c.example.com"})
        s.Ask(std::string("sites.asp?sFrom=h&Key=1&sUrl=") + site);

    auto r = s.Get("/");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_NE(r->body.find("&lt;b&gt;测试&lt;/b&gt; &amp; 源"), std::string::npos);
    EXPECT_EQ(r->body.find("<b>测试"), std::string::npos);

    r = s.Get("/ostrem/seo/show.asp?t=site&word=%3Cscript%3Ealert(1)%3C/script%3E");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 404);
    EXPECT_NE(r->body.find("&lt;script&gt;alert(1)"), std::string::npos);
    EXPECT_EQ(r->body.find("<script>"), std::string::npos);
    r = s.Get("/%3Cimg%3E");
    EXPECT_EQ(r->status, 404);
    EXPECT_EQ(r->body.find("<img>"), std::string::npos);

    r = s.Get("/ostrem/seo/show.asp?t=site&word=http://A.example.com");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_NE(r->body.find("<svg"), std::string::npos);
    r = s.Get("/ostrem/seo/show.asp?t=site&word=a.example.com&format=csv");
    EXPECT_EQ(r->body.rfind("\xEF\xBB\xBF", 0), 0u);
    EXPECT_EQ(Split(r->body, "\r\n").size(), 1 + 7 + 1u); // header, 7 columns, final CRLF

    const auto html = s.Get("/ostrem/seo/sites.htm?sort=site&order=desc")->body;
    const auto csv = s.Get("/ostrem/seo/sites.csv?sort=site&order=desc");
    EXPECT_EQ(csv->get_header_value("Content-Type"), "text/csv; charset=utf-8");
    ASSERT_EQ(csv->body.rfind("\xEF\xBB\xBF网址,百度,", 0), 0u);
    const auto lines = Split(csv->body, "\r\n");
    ASSERT_EQ(lines.size(), 5u);
    std::size_t at = 0;
    for (std::size_t i = 1; i <= 3; ++i) {
        const std::string site = Split(lines[i], ",")[0];
        EXPECT_EQ(site, std::string(1, static_cast<char>('d' - i)) + ".example.com");
        const std::size_t found = html.find(">" + site + "</a>", at);
        ASSERT_NE(found, std::string::npos) << site; // same rows, same order
        at = found;
    }
}

TEST(Server, CellStatePageAnswersJsonForPlausibleSitesOnly) {
    Service s;
    s.Ask("sites.asp?sFrom=h&Key=1&sUrl=Example.com");
    const int calls = s.fake->calls;
    auto r = s.Get("/state.json?sUrl=http://example.com");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->get_header_value("Content-Type"), "application/json; charset=utf-8");
    EXPECT_EQ(r->get_header_value("Cache-Control"), "no-store");
    const auto doc = nlohmann::json::parse(r->body);
    EXPECT_EQ(doc["site"], "example.com");
    EXPECT_EQ(doc["pages"]["sites"][0]["value"], 100); // as sites.asp sent it
    EXPECT_EQ(doc["pages"]["ranks"].size(), 2u);
    for (const char* bad : {"?sUrl=a..b", "", "?sUrl=a.com&sUrl=b.com"}) {
        r = s.Get(std::string("/state.json") + bad);
        EXPECT_EQ(r->status, 404) << bad;
        EXPECT_TRUE(nlohmann::json::parse(r->body).contains("error")) << bad;
    }
    EXPECT_EQ(s.fake->calls, calls); // the page never measures
}

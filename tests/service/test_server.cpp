// The real server on a loopback port: the bytes the program reads, what it may never reach,
// and the limits a hostile client meets.
#include "fakes.h"
#include "pieces.h"
#include "protocol.h"
#include "scripted.h"
#include "server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <thread>

using namespace valdane::svc;
using test::Lacks;

namespace {

const std::string kWhois = "注册商：<例子> & co";
const std::pair<std::string, bool> kHungUp{"", true}; // closed without a word

std::string Payload(const std::string& body) {
    const std::string start(kPayloadStart), end(kPayloadEnd);
    const std::size_t from = body.find(start), to = body.find(end);
    if (from == std::string::npos || to == std::string::npos || to < from)
        return "<no markers>";
    return body.substr(from + start.size(), to - from - start.size());
}

struct Service {
    test::TestEnv env;
    test::TempDir dir;
    Config config;
    std::unique_ptr<Store> store;
    test::ScriptedProvider* fake = nullptr;
    std::unique_ptr<Engine> engine;
    std::unique_ptr<Server> server;
    explicit Service(std::vector<std::string> allow = {"127.0.0.0/8", "::1/128"},
                     const std::function<void(ServerLimits&)>& limit = {}) {
        ServerLimits limits;
        if (limit)
            limit(limits);
        config.data_dir = dir.path;
        config.allow = std::move(allow);
        config.update = {"V2.0", "新版", "http://127.0.0.1/get"};
        for (Page page : {Page::Sites, Page::Links, Page::Ranks, Page::Whois, Page::Alexa})
            config.columns[page] = std::vector<std::string>(ColumnCount(page), "fake");
        std::string error;
        store = OpenStore(dir.path, env.env, &error);
        std::map<std::string, std::unique_ptr<Provider>> providers;
        providers["fake"].reset(fake = new test::ScriptedProvider);
        fake->Set(Status::Ok, 100, "", kWhois);
        engine = std::make_unique<Engine>(config, *store, env.env, std::move(providers));
        server = std::make_unique<Server>(config, *engine, *store, limits, &env.clock);
        EXPECT_TRUE(server->Start(ListenAddress{"127.0.0.1", 0}, &error)) << error;
    }
    httplib::Result Get(const std::string& path) {
        return httplib::Client("127.0.0.1", server->port()).Get(path);
    }
    std::string Ask(const std::string& query) {
        auto r = Get("/Calvren/Rivelo/" + query);
        return r ? Payload(r->body) : "<no answer>";
    }
    int Connect(const char* from = "127.0.0.1") {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in local{AF_INET, 0, {}, {}};
        inet_pton(AF_INET, from, &local.sin_addr);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
        const std::uint16_t port = htons(static_cast<std::uint16_t>(server->port()));
        sockaddr_in addr{AF_INET, port, {htonl(INADDR_LOOPBACK)}, {}};
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        timeval cap{10, 0}; // only a hung server waits this long
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &cap, sizeof cap);
        return fd;
    }
    // Sends raw bytes; reads until the server closes (true) or `responses` whole answers are in.
    std::pair<std::string, bool> Talk(int fd, const std::string& raw, int responses = 100) {
        ::send(fd, raw.data(), raw.size(), MSG_NOSIGNAL);
        std::string got;
        char buf[4096];
        for (;;) {
            if (Count(got, "HTTP/1.") >= responses &&
                got.find("</html>", got.rfind("HTTP/1.")) != std::string::npos)
                return {got, false};
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                return {got, n == 0 || errno == ECONNRESET};
            got.append(buf, static_cast<std::size_t>(n));
        }
    }
    std::pair<std::string, bool> Once(const std::string& raw, int responses = 100) {
        const int fd = Connect();
        auto result = Talk(fd, raw, responses);
        ::close(fd);
        return result;
    }
    static int Count(const std::string& text, const std::string& what) {
        int n = 0;
        for (std::size_t at = 0; (at = text.find(what, at)) != std::string::npos; ++at)
            ++n;
        return n;
    }
};

// The first group of each match of `pattern` in `text`, each followed by a space.
std::string Matches(const std::string& text, const char* pattern) {
    const std::regex re(pattern);
    std::string out;
    for (std::sregex_iterator it(text.begin(), text.end(), re), end; it != end; ++it)
        out += (*it)[1].str() + " ";
    return out;
}

// The status codes of the responses read, and "closed" when the server hung up.
std::string Summary(const std::pair<std::string, bool>& talk) {
    return Matches(talk.first, "HTTP/1\\.1 (\\d{3}) ") + (talk.second ? "closed" : "open");
}

} // namespace

// The query pages answer in GBK between the markers, and "false" without reaching a source
// for a bad or ambiguous query; a second service on the port fails to start.
TEST(Server, ProtocolPagesBadQueriesAndASecondService) {
    Service s;
    const std::string q = "?sFrom=127.0.0.1:8936&Key=1234567&sUrl=Example.com";
    const std::string seven = "100,101,102,103,104,105,106";
    for (const auto& [file, want] : {std::pair{"sites.asp", seven}, std::pair{"links.asp", seven},
                                     std::pair{"ranks.asp", std::string("100,101")}}) {
        auto r = s.Get(std::string("/Calvren/Rivelo/") + file + q);
        ASSERT_TRUE(r);
        EXPECT_EQ(std::to_string(r->status) + " " + r->get_header_value("Content-Type") + " " +
                      Payload(r->body),
                  "200 text/html; charset=gb2312 " + want);
    }
    const std::string t = "\xD7\xA2\xB2\xE1\xC9\xCC\xA3\xBA<\xC0\xFD\xD7\xD3> & co"; // in GBK
    EXPECT_EQ(s.Ask("alexa.asp?sFrom=h&Key=1000000&sUrl=www.example.com"),
              t + "|||" + t + "|||102|||103|||" + t + "|||105|||" + t + "|||" + t + "|||" + t);
    // As the provider gave it: the program shows it raw.
    EXPECT_EQ(s.Ask("whois.asp?sFrom=h&Key=1000000&sUrl=example.com"), Utf8ToGbk(kWhois));
    EXPECT_EQ(Payload(s.Get("/Calvren/Rivelo/Update.txt?tn=1234567")->body),
              "[ConFig]\r\nVersion=V2.0\r\nName=\xD0\xC2\xB0\xE6\r\nUrl=http://127.0.0.1/get");
    const int calls = s.fake->calls();
    for (const std::string& query : std::vector<std::string>{
             "sites.asp?sFrom=h&Key=1",                       // no sUrl
             "sites.asp?sFrom=h&Key=1&sUrl=",                 // empty
             "sites.asp?sFrom=h&Key=1&sUrl=a.com&sUrl=b.com", // repeated
             "sites.asp?sFrom=h&sUrl=example.com",            // no Key
             "sites.asp?sFrom=h&Key=1&sUrl=example.com&c",    // "&" in the target
             "ranks.asp?sFrom=h&Key=1&sUrl=127.0.0.1",
             "ranks.asp?sFrom=h&Key=1&sUrl=example.com:80",
             "whois.asp?sFrom=h&Key=1&sUrl=%3Cscript%3E.com",
             "alexa.asp?sFrom=h&Key=1&sUrl=" + std::string(300, 'a') + ".com",
         })
        EXPECT_EQ(s.Ask(query), "false") << query;
    EXPECT_EQ(s.fake->calls(), calls);
    Server second(s.config, *s.engine, *s.store);
    std::string error;
    EXPECT_FALSE(second.Start(ListenAddress{"127.0.0.1", s.server->port()}, &error));
    EXPECT_NE(error.find("Address already in use"), std::string::npos) << error;
    EXPECT_EQ(s.Get("/")->status, 200);
}

// Each shape is sent raw, with a request behind it that must be answered only where the first
// left the connection in a known state: after an unread body or a 400, nothing more is read.
TEST(Server, HostileRequestShapes) {
    Service s({"127.0.0.0/8"}, [](ServerLimits& l) { l.keep_alive_requests = 3; });
    const std::string next = "GET /smuggled HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const std::string host = "Host: 127.0.0.1:" + std::to_string(s.server->port()) + "\r\n";
    const std::string get = "GET / HTTP/1.1\r\n", te = "Transfer-Encoding: chunked\r\n";
    // What is answered: the refusal alone and the connection closed, or `next` answered after it.
    const std::tuple<const char*, std::string, const char*> cases[] = {
        {"TE, CL", "POST / HTTP/1.1\r\n" + host + "Content-Length: 4\r\n" + te + "\r\n0\r\n\r\n",
         "413 closed"},
        {"CL, TE", get + host + te + "Content-Length: 0\r\n\r\n0\r\n\r\n", "413 closed"},
        {"body on GET", get + host + "Content-Length: 44\r\n\r\n", "413 closed"},
        {"bad CL", get + host + "Content-Length: 4x\r\n\r\n", "400 closed"},
        {"negative CL", get + host + "Content-Length: -1\r\n\r\n", "400 closed"},
        {"two CLs", get + host + "Content-Length: 0\r\nContent-Length: 44\r\n\r\n", "400 closed"},
        {"two Hosts", get + host + "Host: evil.example\r\n\r\n", "400 closed"},
        {"no Host in 1.1", get + "\r\n", "400 closed"},
        {"long URL", "GET /?" + std::string(10 * 1024, 'a') + " HTTP/1.1\r\n" + host + "\r\n",
         "414 404 open"},
        {"URL past the request limit",
         "GET /?" + std::string(16 * 1024, 'a') + " HTTP/1.1\r\n" + host + "\r\n", "414 closed"},
        {"DELETE", "DELETE / HTTP/1.1\r\n" + host + "\r\n", "405 404 open"},
        {"query page",
         "GET /Calvren/Rivelo/sites.asp?sUrl=a.com HTTP/1.1\r\nHost: 127.0.0.2\r\n\r\n",
         "421 404 open"},
        {"Host with a bad port", get + "Host: 127.0.0.1:x\r\n\r\n", "421 404 open"},
        {"localhost", get + "Host: LocalHost.:1\r\n\r\n", "200 404 open"},
        {"HTTP/1.0 without Host", "GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n",
         "200 404 open"},
        {"HEAD", "HEAD / HTTP/1.1\r\n" + host + "\r\n", "200 404 open"},
    };
    for (const auto& [name, request, want] : cases) {
        const auto talk = s.Once(request + next, std::string(want).ends_with("open") ? 2 : 100);
        // A refusal may be written twice; the request behind it is never answered.
        EXPECT_EQ(std::regex_replace(Summary(talk), std::regex("(\\d{3} )\\1+"), "$1"), want)
            << name << " " << talk.first;
        const bool allow = std::string(want).starts_with("405"); // says what is allowed
        EXPECT_EQ(Lacks(talk.first, allow ? "Allow: GET, HEAD\r\n" : ""), "") << talk.first;
    }
    EXPECT_EQ(s.fake->calls(), 0);
    EXPECT_EQ(s.Once("HELLO\r\n\r\n" + next), kHungUp); // not HTTP at all
    // The keep-alive header tells the truth, and the connection ends at its limit.
    std::string four;
    for (int i = 0; i < 4; ++i)
        four += get + host + "\r\n";
    const auto talk = s.Once(four);
    EXPECT_EQ(Summary(talk) + Lacks(talk.first, "Keep-Alive: timeout=10, max=2\r\n|Keep-Alive: "
                                                "timeout=10, max=1\r\n|Connection: close\r\n"),
              "200 200 200 closed");
}

TEST(Server, ClosesRefusedAndSurplusConnectionsAtAccept) {
    const std::string ask = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    EXPECT_EQ(Service({"10.0.0.0/8", "2001:db8::/32"}).Once(ask), kHungUp);
    Service s({"127.0.0.0/8"}, [](ServerLimits& l) {
        l.per_address = 2;
        l.connections = 3;
    });
    const int a = s.Connect(), b = s.Connect();
    EXPECT_FALSE(s.Talk(a, ask, 1).second || s.Talk(b, ask, 1).second); // both held open
    const int c = s.Connect();
    EXPECT_EQ(s.Talk(c, ask), kHungUp); // a third from one address
    const int d = s.Connect("127.0.0.2"), e = s.Connect("127.0.0.3");
    EXPECT_FALSE(s.Talk(d, ask, 1).second);
    EXPECT_EQ(s.Talk(e, ask), kHungUp); // a fourth in all
    for (int fd : {a, b, c, d, e})
        ::close(fd);
    // Their places come back once the server has seen them closed.
    bool served = false;
    for (int i = 0; i < 1000 && !(served = !s.Once(ask, 1).first.empty()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(served);
}

// The deadline counts on the injected clock from the connection's opening, then from each
// response; bytes trickling in do not extend it. A closed probe proves the cutter ran past it.
TEST(Server, HeadersLateForTheirDeadlineCloseTheConnection) {
    Service s;
    const std::string ask = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    auto trickle = [](int fd, const std::string& bytes) {
        ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    };
    const int kept = s.Connect(), early = s.Connect();
    EXPECT_FALSE(s.Talk(kept, ask, 1).second);
    trickle(early, "GET / HTTP/1.1\r\nHost: 1");
    s.env.clock.Advance(8000);
    const int late = s.Connect();
    trickle(late, "GET / HTTP/1.1\r\n");
    EXPECT_FALSE(s.Talk(kept, ask, 1).second); // 8 s after opening: its next request starts now
    trickle(early, "2");
    s.env.clock.Advance(8000);
    EXPECT_EQ(s.Talk(early, "7"), kHungUp);
    EXPECT_FALSE(s.Talk(kept, ask, 1).second); // 16 s open, 8 s since its last answer
    trickle(late, "Host: 127.0.0.1\r\n");
    s.env.clock.Advance(3000);
    EXPECT_EQ(s.Talk(late, "X: 1\r\n"), kHungUp);
    for (int fd : {kept, early, late})
        ::close(fd);
}

TEST(Server, BusyAnswerLaneRefusesWith503AndPagesStillAnswer) {
    Service s({"127.0.0.0/8"}, [](ServerLimits& l) {
        l.answer_threads = 1;
        l.answer_queue = 0;
    });
    s.fake->Hold(true);
    std::string first;
    std::thread waiting([&] { first = s.Ask("whois.asp?sFrom=h&Key=1&sUrl=slow.example"); });
    ASSERT_TRUE(s.fake->AwaitCalls(1));
    const auto r = s.Get("/Calvren/Rivelo/whois.asp?sFrom=h&Key=1&sUrl=other.example");
    ASSERT_TRUE(r);
    EXPECT_EQ(std::to_string(r->status) + " " + r->get_header_value("Retry-After"), "503 2");
    EXPECT_EQ(s.Get("/")->status, 200);
    s.fake->Hold(false);
    waiting.join();
    EXPECT_EQ(first, Utf8ToGbk(kWhois));
}

// Every page escapes what it shows, and refuses what it cannot show; none of them measures.
TEST(Server, PagesAreEscapedUtf8AndCsvMatchesTheTable) {
    Service s;
    for (const char* site : {"b.example.com", "a.example.com", "c.example.com"})
        s.Ask(std::string("sites.asp?sFrom=h&Key=1&sUrl=") + site);
    const int calls = s.fake->calls();
    const std::string seo = "/ostrem/seo/";
    // Each page's status, a piece it must hold and one it must not.
    const std::tuple<std::string, int, const char*, const char*> pages[] = {
        {"/Calvren/Rivelo/other.asp?sFrom=h&Key=1&sUrl=example.com", 404, "", "<script>"},
        {"/", 200, "&lt;b&gt;测试&lt;/b&gt; &amp; 源", "<b>测试"},
        {seo + "show.asp?t=site&word=%3Cscript%3Ealert(1)%3C/script%3E", 404,
         "&lt;script&gt;alert(1)", "<script>"},
        {"/%3Cimg%3E", 404, "", "<img>"},
        {seo + "show.asp?t=site&word=http://A.example.com", 200, "<svg", "<script>"},
        {seo + "compare.htm?t=site&col=6&days=all", 200, "<svg", "<script>"},
        {seo + "compare.htm?t=site&col=7", 404, "", "<svg"},
        {seo + "compare.htm?t=pr&col=0&page=2", 404, "", "<svg"},
        {seo + "show.asp?t=site&word=a.example.com&days=8", 404, "", "<svg"},
        {"/state.json?sUrl=a..b", 404, "\"error\"", "<"},
        {"/state.json", 404, "\"error\"", "<"},
        {"/state.json?sUrl=a.com&sUrl=b.com", 404, "\"error\"", "<"},
    };
    for (const auto& [path, status, has, hasnt] : pages) {
        const auto r = s.Get(path);
        ASSERT_TRUE(r) << path;
        EXPECT_EQ(std::to_string(r->status) + Lacks(r->body, has) + test::Holds(r->body, hasnt),
                  std::to_string(status))
            << path;
    }
    EXPECT_EQ(s.Get("/")->get_header_value("Content-Type"), "text/html; charset=utf-8");
    auto r = s.Get(seo + "show.asp?t=site&word=a.example.com&format=csv");
    EXPECT_EQ(std::pair(r->body.starts_with("\xEF\xBB\xBF"), Service::Count(r->body, "\r\n")),
              std::pair(true, 1 + 7)); // the header, then 7 columns
    const auto html = s.Get(seo + "sites.htm?sort=site&order=desc")->body;
    const auto csv = s.Get(seo + "sites.csv?sort=site&order=desc");
    EXPECT_EQ(csv->get_header_value("Content-Type"), "text/csv; charset=utf-8");
    EXPECT_EQ(Matches(csv->body, "\r\n([^,\r]+),"), "c.example.com b.example.com a.example.com ");
    // The same rows in the same order as the table.
    const auto at = [&](char c) { return html.find(std::string(">") + c + ".example.com</a>"); };
    EXPECT_TRUE(at('c') < at('b') && at('b') < at('a') && at('a') != std::string::npos);
    // The cell state of a site, as sites.asp sent it.
    r = s.Get("/state.json?sUrl=http://B.Example.com");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->get_header_value("Content-Type") + "; " + r->get_header_value("Cache-Control"),
              "application/json; charset=utf-8; no-store");
    const auto doc = nlohmann::json::parse(r->body);
    EXPECT_EQ(
        std::tuple(doc["site"], doc["pages"]["sites"][0]["value"], doc["pages"]["ranks"].size()),
        std::tuple("b.example.com", 100, 2u));
    EXPECT_EQ(s.fake->calls(), calls);
}

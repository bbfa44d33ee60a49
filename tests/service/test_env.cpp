// The real outbound client against upstreams on 127.0.0.1.
#include "fakes.h"

#include <gtest/gtest.h>

using namespace valdane::svc;

TEST(HttpClient, CapsBodiesKeepsRedirectsAndReportsTransportErrors) {
    test::FakeUpstream up;
    up.server().Get("/big", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(std::string(100000, 'x'), "text/plain");
    });
    up.server().Get("/moved", [](const httplib::Request&, httplib::Response& res) {
        res.set_redirect("/elsewhere");
    });
    ASSERT_TRUE(up.Start());
    HttpClient& http = DefaultEnv().http;
    auto get = [&](const std::string& url, std::size_t cap = 1 << 20) {
        HttpRequest request;
        request.url = url;
        request.max_bytes = cap;
        return http.Get(request);
    };

    HttpResponse r = get(up.base() + "/big", 1000);
    EXPECT_EQ(r.status, 200);
    EXPECT_TRUE(r.truncated);
    EXPECT_EQ(r.body.size(), 1000u);

    r = get(up.base() + "/moved");
    EXPECT_EQ(r.status, 302);
    EXPECT_EQ(up.hits("/elsewhere"), 0);
    EXPECT_NE(r.location.find("/elsewhere"), std::string::npos);

    // A port nobody listens on, and a scheme the client refuses.
    r = get("http://127.0.0.1:1/");
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(r.error.empty());
    r = get("file:///etc/passwd");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.body.empty());
}

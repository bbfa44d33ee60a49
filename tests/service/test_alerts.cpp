#include "alerts.h"
#include "fakes.h"
#include "pieces.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <toml++/toml.h>

#include <fstream>
#include <regex>

using namespace valdane::svc;
using namespace valdane::svc::test;
using nlohmann::json;

namespace {

constexpr std::int64_t kHour = 3600 * 1000;

Measurement Count(std::int64_t n, Status s = Status::Ok) {
    return {s, s == Status::Ok ? std::optional(n) : std::nullopt, "", "baidu", "", 0};
}

struct Fixture {
    TempDir dir;
    TestEnv t;
    Config config;
    std::string error;
    std::unique_ptr<Store> store = OpenStore(dir.path, t.env, &error);
    std::unique_ptr<Alerts> alerts;
    // `rules` and `channels`: the [alerts] section.
    explicit Fixture(const std::string& section) {
        const auto why = ReadAlertConfig(toml::parse(section), &config);
        EXPECT_FALSE(why) << *why;
        Reopen();
    }
    void Reopen() {
        alerts.reset();
        alerts = Alerts::Open(dir.path, config, *store, t.env, &error);
        ASSERT_TRUE(alerts) << error;
    }
    // As the engine does: recorded, then judged.
    void Feed(const Measurement& m, Page page = Page::Sites, const std::string& site = "a.com") {
        ASSERT_TRUE(store->Record(site, page, 0, m));
        alerts->Observe(site, page, {0}, {m});
    }
    std::string Log() { // oldest first: "+title" fired, "-title" cleared
        std::string out;
        const auto recent = alerts->Recent(100);
        for (auto it = recent.rbegin(); it != recent.rend(); ++it)
            out += (it->message.fired ? "+" : "-") + it->message.title + "|";
        return out;
    }
};

// base64(HMAC-SHA256), recomputed here from the robots' published formula.
std::string Sign(const std::string& key, const std::string& msg) {
    unsigned char mac[32];
    unsigned int len = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char*>(msg.data()), msg.size(), mac, &len);
    unsigned char b64[64];
    return std::string(reinterpret_cast<char*>(b64), EVP_EncodeBlock(b64, mac, 32));
}

// A measurement fed after `wait` on the clock.
struct Step {
    Step(Measurement m, std::int64_t wait = 0, Page page = Page::Sites, const char* site = "a.com")
        : m(std::move(m)), wait(wait), page(page), site(site) {}
    Measurement m;
    std::int64_t wait;
    Page page;
    const char* site;
};

} // namespace

TEST(AlertRules, FireOnceClearOnce) {
    const auto blocked = Count(0, Status::Blocked);
    const auto expires = [](const std::string& date) {
        return Step({Status::Ok, {}, "域名：a.com\r\n到期日期：" + date + "\r\n", "", "", 0}, 0,
                    Page::Whois);
    };
    // A rule, what it is fed, and what it says.
    const std::tuple<const char*, std::vector<Step>, std::string> cases[] = {
        {"kind='drop'\npercent=30\nfloor=100",
         {Count(1000), Count(600), Count(500), Count(700), Count(900), Count(500)},
         "+a.com 百度收录下降 40%|-a.com 百度收录已回升|+a.com 百度收录下降 44%|"},
        // Under the floor, or a smaller fall: no news.
        {"kind='drop'\npercent=30\nfloor=100", {Count(3), Count(1), Count(1000), Count(800)}, ""},
        // A failed measurement is not a fall to zero.
        {"kind='drop'", {Count(1000), Count(0, Status::NetworkError), Count(990)}, ""},
        {"kind='zero'",
         {Count(0), Count(50), Count(0, Status::NotFound), Count(0), blocked, Count(10)},
         "+a.com 百度收录降为 0|-a.com 百度收录已恢复|"},
        {"kind='drop'\npage='links'", {Count(1000), Count(10)}, ""},
        // Hours on the clock: not yet at 23, at 25 they are; an unconfigured source is not
        // failing, another site does not end the run, and a new run starts from nothing.
        {"kind='failing'\nhours=24",
         {blocked, Step(Count(0, Status::NetworkError), 23 * kHour),
          Count(0, Status::NotConfigured), Step(blocked, 2 * kHour, Page::Sites, "b.com"), blocked,
          Count(5), blocked},
         "+数据源 baidu 已连续失败 25 小时|-数据源 baidu 已恢复|"},
        // The fake clock stands at 2026-05-28.
        {"kind='expiry'\ndays=30",
         {expires("未公开"), expires("2026-07-15T00:00:00Z"), expires("2026-06-20"),
          expires("2026-06-20"), expires("2027-06-20")},
         "+a.com 域名将于 2026-06-20 到期|-a.com 域名已续费|"},
    };
    for (const auto& [rule, feed, expected] : cases) {
        Fixture f("[[rules]]\n" + std::string(rule));
        for (const Step& step : feed) {
            f.t.clock.Advance(step.wait);
            f.Feed(step.m, step.page, step.site);
        }
        EXPECT_EQ(f.Log(), expected) << rule;
    }
}

TEST(AlertRules, RestartNeitherRepeatsNorLoses) {
    Fixture f("[[rules]]\nkind='drop'\n[channels.hook]\ntype='webhook'\n"
              "url='http://127.0.0.1:9/'");
    f.Feed(Count(1000));
    f.Reopen();
    f.Feed(Count(100)); // the value before the restart is still the one to fall from
    f.Reopen();
    f.Feed(Count(50));
    EXPECT_EQ(f.Log(), "+a.com 百度收录下降 90%|");
    // Port 9 refuses: the alert waits in the outbox across the restart.
    EXPECT_EQ(f.alerts->DeliverDue(), f.t.clock.NowMs() + 60 * 1000);
    f.Reopen();
    const auto kept = f.alerts->Recent(1);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_TRUE(kept[0].delivered == 0 && !kept[0].error.empty()) << kept[0].error;
}

TEST(AlertDelivery, RobotShapesSignaturesAndMail) {
    FakeUpstream robot;
    std::vector<std::pair<httplib::Request, json>> got;
    std::mutex mutex;
    robot.server().Post(".*", [&](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard lock(mutex);
        got.emplace_back(req, json::parse(req.body, nullptr, false));
        res.set_content(req.path == "/feishu" ? R"({"code":0})" : R"({"errcode":0})",
                        "application/json");
    });
    ASSERT_TRUE(robot.Start());
    TestEnv t;
    const std::string secret = "SECabc+/=中";
    const AlertMessage m{"drop", "a.com", true, "标题", "正文 \"引号\"", 1'780'000'000'000};
    for (const std::string type : {"webhook", "dingtalk", "wecom", "feishu"}) {
        AlertChannel c;
        c.type = type;
        c.url = robot.base() + "/" + type + "?access_token=t";
        c.secret = type == "wecom" ? "" : secret;
        const DeliveryResult r = Deliver(c, m, t.env);
        EXPECT_TRUE(r.ok) << type << ": " << r.error;
    }
    const std::string ms = std::to_string(t.clock.NowMs()), secs = ms.substr(0, ms.size() - 3);
    ASSERT_EQ(got.size(), 4u);
    // The bodies as sent, keys sorted; DingTalk signs in its address, WeCom not at all.
    EXPECT_EQ(got[0].second.dump(),
              R"({"event":"fired","rule":"drop","site":"a.com","text":)"
              R"("正文 \"引号\"","time":"2026-05-28T20:26:40Z","title":"标题"})");
    const auto& q = got[1].first;
    EXPECT_EQ(std::tuple(q.get_param_value("access_token"), q.get_param_value("timestamp"),
                         q.get_param_value("sign")),
              std::tuple("t", ms, Sign(secret, ms + "\n" + secret)));
    const std::string text = R"("标题\n正文 \"引号\"")";
    EXPECT_EQ(got[1].second.dump(), R"({"msgtype":"text","text":{"content":)" + text + "}}");
    EXPECT_EQ(got[2].second.dump(), got[1].second.dump());
    EXPECT_EQ(got[3].second.dump(),
              R"({"content":{"text":)" + text + R"(},"msg_type":"text","sign":")" +
                  Sign(secs + "\n" + secret, "") + R"(","timestamp":")" + secs + "\"}");
    // Mail, over a server without STARTTLS.
    FakeSmtp smtp;
    ASSERT_GT(smtp.port(), 0);
    AlertChannel c;
    c.type = "smtp";
    c.url = smtp.url();
    c.from = "valdane@example.com";
    c.to = {"owner@example.com", "team@example.com"};
    c.require_tls = false;
    ASSERT_TRUE(Deliver(c, m, t.env).ok);
    const auto mails = smtp.mails();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].from + " " + std::to_string(mails[0].to.size()), "<valdane@example.com> 2");
    EXPECT_EQ(Lacks(mails[0].data, "Subject: =?UTF-8?B?|正文"), "");
    // A server without STARTTLS never gets the mail in the clear when TLS is required.
    c.require_tls = true;
    EXPECT_FALSE(Deliver(c, m, t.env).ok);
    c.require_tls = false;
    smtp.reject_rcpt = true;
    EXPECT_FALSE(Deliver(c, m, t.env).ok);
    EXPECT_EQ(smtp.mails().size(), 1u);
}

TEST(AlertDelivery, RetriesBackOffAndAFailingChannelShows) {
    FakeUpstream robot;
    std::atomic<int> refusals{4};
    robot.server().Post("/ding", [&](const httplib::Request&, httplib::Response& res) {
        // The robot refuses with 200 and an error code; the last refusal is a plain 502.
        if (refusals > 0)
            res.status = --refusals == 0 ? 502 : 200;
        res.set_content(refusals > 0 ? R"({"errcode":310000,"errmsg":"sign not match"})"
                                     : R"({"errcode":0})",
                        "application/json");
    });
    ASSERT_TRUE(robot.Start());
    Fixture f("[[rules]]\nkind='zero'\n[channels.ding]\ntype='dingtalk'\nurl='" + robot.base() +
              "/ding'");
    f.Feed(Count(5));
    f.Feed(Count(0));
    std::vector<std::int64_t> waits;
    for (int i = 0; i < 6 && f.alerts->Recent(1)[0].delivered == 0; ++i) {
        const std::int64_t next = f.alerts->DeliverDue();
        if (next) {
            waits.push_back(next - f.t.clock.NowMs());
            f.t.clock.Advance(next - f.t.clock.NowMs() - 1);
            EXPECT_EQ(f.alerts->DeliverDue(), next); // not due a millisecond early
            f.t.clock.Advance(1);
        }
        if (i == 2) { // failing, and why
            EXPECT_EQ(Lacks(f.alerts->FailingChannels().at(0).error, "sign not match"), "");
        }
    }
    EXPECT_EQ(waits, (std::vector<std::int64_t>{60000, 120000, 240000, 480000}));
    EXPECT_TRUE(f.alerts->Recent(1)[0].delivered == 1 && f.alerts->FailingChannels().empty());
    EXPECT_EQ(Alerts::Backoff(30), 6 * kHour);
}

TEST(AlertConfig, RefusesWhatCannotWork) {
    for (const char* bad :
         {"[[rules]]\nkind='fall'", "[[rules]]\nkind='drop'\npercent=0",
          "[[rules]]\nkind='drop'\ncolumn=1", "[[rules]]\nkind='drop'\npage='nope'",
          "[[rules]]\nkind='failing'\nhours='x'", "[[rules]]\nkind='zero'\nthreshold=1",
          "[channels.x]\ntype='dingtalk'\nurl='ftp://h/'",
          "[channels.x]\ntype='smtp'\nurl='smtp://h:587'\nfrom='a@b'",
          "[channels.x]\ntype='smtp'\nurl='smtp://h'\nfrom='a@b'\nto=['c@d']\nstarttls='no'",
          "[channels.x]\ntype='pager'\nurl='http://h/'", "mute=true"}) {
        Config c;
        EXPECT_TRUE(ReadAlertConfig(toml::parse(bad), &c)) << bad;
    }
    // The commented example in the documented file works once uncommented.
    std::ifstream in(std::string(VALDANE_SOURCE_DIR) + "/service/valdane-service.toml.example");
    std::string line, text;
    bool alerts = false;
    while (std::getline(in, line)) {
        alerts = alerts || line.rfind("# Alerts:", 0) == 0;
        if (alerts && std::regex_search(line, std::regex("^# (\\[|[a-z_]+ = )")))
            text += line.substr(2) + "\n";
    }
    Config c;
    const toml::table doc = toml::parse(text);
    ASSERT_TRUE(doc["alerts"].is_table());
    const auto why = ReadAlertConfig(*doc["alerts"].as_table(), &c);
    ASSERT_FALSE(why) << *why;
    EXPECT_EQ(std::pair(c.alert_rules.size(), c.alert_channels.size()),
              (std::pair<std::size_t, std::size_t>(4, 2)));
}

// Rank lists (Tranco, Common Crawl domain ranks) and rank APIs against local files and fakes.
#include "fakes.h"
#include "import.h"
#include "providers/providers.h"

#include <gtest/gtest.h>
#include <toml++/toml.h>
#include <zlib.h>

#include <fstream>

using namespace valdane::svc;

namespace {

constexpr std::int64_t kDay = 24LL * 3600 * 1000;

// Raw deflate (windowBits -15, as in zip) or gzip (31).
std::string Deflate(const std::string& data, int window_bits) {
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, data.size()) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

const auto Gzip = [](const std::string& data) { return Deflate(data, 31); };

// A one-member zip as Tranco publishes it: local header, deflated data, then a directory.
std::string Zip(const std::string& name, const std::string& data) {
    const std::string packed = Deflate(data, -15);
    auto le = [](std::uint32_t v, int n) {
        std::string s;
        for (int i = 0; i < n; ++i)
            s += static_cast<char>((v >> (8 * i)) & 0xff);
        return s;
    };
    const auto crc = static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
    return std::string("PK\x03\x04", 4) + le(20, 2) + le(0, 2) + le(8, 2) + le(0, 4) + le(crc, 4) +
           le(static_cast<std::uint32_t>(packed.size()), 4) +
           le(static_cast<std::uint32_t>(data.size()), 4) + le(name.size(), 2) + le(0, 2) + name +
           packed + std::string("PK\x01\x02", 4) + std::string(42, '\0') + name +
           std::string("PK\x05\x06", 4) + std::string(18, '\0');
}

// A domain listed twice keeps its first rank and counts once.
const std::string kTranco = "1,google.com\r\n2,Facebook.COM\r\nrank,domain\n3,example.com\n"
                            "4,bad domain!\n6,Google.com\n5,sub.example.org";

const std::string kCcRanks =
    "#harmonicc_pos\t#harmonicc_val\t#pr_pos\t#pr_val\t#host_rev\t#n_hosts\n"
    "1\t3.2757464E7\t2\t0.012750407517909759\tcom.facebook\t7348\n"
    "5\t2.2136836E7\t5\t0.006785530343703675\tcom.youtube\t2985\n"
    "1500000\t1.1E7\t2500000\t1.2E-8\tcn.com.example\t3\n"
    "87160628\t0.0\t87122763\t4.481314067744052e-09\tzw.org.mdc\t1\n";

// Import options cutting after `limit` entries (0: none).
ImportOptions Limit(std::uint64_t limit) {
    ImportOptions options;
    options.max_entries = limit;
    return options;
}

class Ranks : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(b_.store) << b_.error;
        config_.data_dir = b_.dir.path;
    }
    std::string WriteFile(const std::string& name, const std::string& content) {
        const auto path = config_.data_dir / name;
        std::ofstream(path, std::ios::binary) << content;
        return path.string();
    }
    ImportResult Import(RankKind kind, const std::string& source, std::uint64_t limit = 0) {
        return ImportRanks(kind, b_.t.env, source, RankFile(config_, kind), Limit(limit));
    }
    std::unique_ptr<Provider> Make(const std::string& type, const std::string& toml_text = "") {
        const auto section = toml::parse("type = \"" + type + "\"\n" + toml_text);
        auto p = MakeProvider(type, section, b_.context, &b_.error);
        EXPECT_TRUE(p) << b_.error;
        return p;
    }
    // The sites' answers in turn, "|"-joined.
    std::string All(Provider& p, Page page, int column, const std::vector<std::string>& sites) {
        std::string out;
        for (const std::string& site : sites)
            out += (out.empty() ? "" : "|") +
                   test::Brief(test::MeasureInTurn(p, b_.t.clock, {site, page, {column}}).at(0));
        return out;
    }
    std::string One(Provider& p, const std::string& site, Page page, int column) {
        return All(p, page, column, {site});
    }
    test::ProviderBench b_;
    Config& config_ = b_.config;
};

// "ok 4/2": whether it worked, entries stored / lines skipped, and " cut" when incomplete.
std::string Sum(const ImportResult& r) {
    return (r.ok ? "ok " : "failed ") + std::to_string(r.entries) + "/" +
           std::to_string(r.skipped) + (r.complete ? "" : " cut");
}

} // namespace

TEST_F(Ranks, TrancoFromFileZipDownloadAndDaily) {
    auto tranco = Make("tranco", "refresh_hours = 0");
    EXPECT_EQ(One(*tranco, "google.com", Page::Alexa, 2), "not-configured");
    std::string csv;
    for (int i = 1; i <= 5000; ++i)
        csv += std::to_string(i) + ",site" + std::to_string(i) + ".com\n";
    const std::string zip = Zip("top-1m.csv", csv), path = "/top-1m.csv.zip";
    test::FakeUpstream up;
    up.Serve(path, zip, "application/zip");
    up.Serve("/cut.zip", zip.substr(0, zip.size() / 2), "application/zip");
    up.Serve("/gone", "", "text/plain", 404);
    ASSERT_TRUE(up.Start());
    // The daily download runs on the env clock.
    auto daily = Make("tranco", "url = \"" + up.base() + path +
                                    "\"\nfirst_download_delay_s = 60\nrefresh_hours = 24");
    EXPECT_EQ(up.hits(path), 0);
    b_.t.clock.Advance(61 * 1000);
    for (int i = 0; i < 5000 && One(*tranco, "site4321.com", Page::Alexa, 2) != "ok 4321"; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(std::pair(One(*tranco, "site4321.com", Page::Alexa, 2), up.hits(path)),
              std::pair(std::string("ok 4321"), 1));
    ImportResult r = Import(RankKind::Tranco, WriteFile("top.csv", kTranco));
    EXPECT_EQ(Sum(r), "ok 4/2") << r.error; // the header line and the malformed one skipped
    EXPECT_EQ(All(*tranco, Page::Alexa, 2,
                  {"google.com", "www.facebook.com", "a.b.example.com", "sub.example.org",
                   "unknown.net"}),
              "ok 1|ok 2|ok 3|ok 5|not-found -1");
    EXPECT_EQ(One(*tranco, "google.com", Page::Alexa, 0), "unsupported");
    // The zip as downloaded; a download cut short keeps only whole lines and says so.
    r = Import(RankKind::Tranco, up.base() + path);
    EXPECT_EQ(Sum(r), "ok 5000/0") << r.error;
    r = Import(RankKind::Tranco, up.base() + "/cut.zip");
    EXPECT_TRUE(r.ok && !r.complete && r.entries > 0 && r.entries < 5000) << Sum(r) << r.error;
    // A failed download leaves the table in place.
    r = Import(RankKind::Tranco, up.base() + "/gone");
    EXPECT_TRUE(!r.ok && r.error.find("404") != std::string::npos) << r.error;
    EXPECT_EQ(One(*tranco, "site1.com", Page::Alexa, 2), "ok 1");
    b_.t.clock.Advance(kDay);
    for (int i = 0; i < 5000 && up.hits(path) < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(up.hits(path), 3);
}

TEST_F(Ranks, CommonCrawlRanksAndGraphSayWhenTheirListsAreCut) {
    auto cc = Make("cc-graph");
    EXPECT_EQ(One(*cc, "facebook.com", Page::Ranks, 0), "not-configured");
    // Two gzip members in a row read as one stream.
    const std::string gz = Gzip(kCcRanks.substr(0, 150)) + Gzip(kCcRanks.substr(150));
    ImportResult r = Import(RankKind::CcRanks, WriteFile("ranks.txt.gz", gz));
    EXPECT_EQ(Sum(r), "ok 4/0") << r.error;
    EXPECT_EQ(
        All(*cc, Page::Ranks, 0,
            {"facebook.com", "www.youtube.com", "example.com.cn", "mdc.org.zw", "nowhere.example"}),
        "ok 10|ok 10|ok 4|ok 1|not-found 0");
    // Referring-domain counts come from the graph's edges, not from this file.
    EXPECT_EQ(One(*cc, "facebook.com", Page::Links, 1), "not-configured");
    EXPECT_EQ(One(*Make("cc-graph", "measure = \"harmonic\""), "example.com.cn", Page::Ranks, 0),
              "ok 4");
    // The first lines only (a truncated download): what is missing is unknown, not 0.
    const std::string whole = Gzip(kCcRanks);
    r = Import(RankKind::CcRanks, WriteFile("cut.gz", whole.substr(0, whole.size() * 3 / 4)));
    EXPECT_TRUE(r.ok && !r.complete && r.entries < 4) << Sum(r) << r.error;
    EXPECT_EQ(One(*cc, "nowhere.example", Page::Ranks, 0), "not-found -1");
    // A limit cuts the same way.
    EXPECT_EQ(Sum(Import(RankKind::CcRanks, WriteFile("all.gz", whole), 2)), "ok 2/0 cut");
    // Damaged data is reported, never a crash.
    r = Import(RankKind::CcRanks, WriteFile("bad.gz", "\x1f\x8b" + std::string(200, 'x')));
    EXPECT_TRUE(!r.ok && !r.error.empty());
    // The graph counts referring domains.
    const std::string vertices = Gzip("0\tcom.example\t3\n1\tcn.com.Example\t1\n2\torg.foo\t2\n"
                                      "not a vertex\n3\tnet.lonely\t1\n");
    // Into example.com from 1, 2, 3000 more and an id without a vertex; a self-link, a malformed
    // line and ids beyond any graph are skipped; a target without a vertex names nothing.
    std::string edges = "1\t0\n2\t0\n9\t0\n0\t1\n0\t2\n2\t2\n1\tx\n0\t99999999999\n0\t600000000\n"
                        "0\t7\n";
    for (int i = 0; i < 3000; ++i)
        edges += std::to_string(100 + i) + "\t0\n"; // bulk for the cut below
    const auto import = [&](const std::string& edges_file, std::uint64_t limit = 0) {
        return ImportCcLinks(b_.t.env, WriteFile("v.gz", vertices), edges_file,
                             RankFile(config_, RankKind::CcLinks), Limit(limit));
    };
    r = import(WriteFile("e.gz", Gzip(edges)));
    EXPECT_EQ(Sum(r), "ok 3/5") << r.error;
    // lonely.net is listed without a referring domain.
    EXPECT_EQ(All(*cc, Page::Links, 1, {"example.com", "example.com.cn", "lonely.net"}) + "|" +
                  All(*cc, Page::Alexa, 3, {"www.example.com", "foo.org"}),
              "ok 3003|ok 1|not-found 0|ok 3003|ok 1");
    // Only the most linked domains under a limit: the others are unknown, not 0.
    EXPECT_EQ(Sum(import(WriteFile("e.gz", Gzip(edges)), 1)), "ok 1/5 cut");
    EXPECT_EQ(One(*cc, "foo.org", Page::Links, 1), "not-found -1");
    // A broken-off edges file: counts are lower bounds, absent domains unknown.
    const std::string packed = Gzip(edges);
    r = import(WriteFile("cut.gz", packed.substr(0, packed.size() / 2)));
    EXPECT_TRUE(r.ok && !r.complete) << Sum(r) << r.error;
    EXPECT_NE(r.error.find("truncated"), std::string::npos) << r.error;
    const std::string partial = One(*cc, "example.com", Page::Links, 1);
    const int lower_bound = partial.starts_with("ok ") ? std::stoi(partial.substr(3)) : -1;
    EXPECT_TRUE(lower_bound > 0 && lower_bound < 3003) << partial;
    EXPECT_EQ(One(*cc, "lonely.net", Page::Alexa, 3), "not-found -1");
    // A missing edges file fails and keeps the table in place.
    EXPECT_FALSE(import((b_.dir.path / "none.gz").string()).ok);
    EXPECT_EQ(One(*cc, "example.com", Page::Links, 1), partial);
}

TEST_F(Ranks, TrendComparesTheOldestRankOfThirtyDaysWithTodays) {
    ASSERT_TRUE(Import(RankKind::Tranco, WriteFile("t.csv", "500,climber.com\n9,new.com\n")).ok);
    auto trend = Make("trend", "rank_source = \"tranco\"");
    const std::int64_t now = b_.t.clock.NowMs();
    auto record = [&](const std::string& site, std::int64_t age, std::int64_t rank,
                      const std::string& source = "tranco") {
        ASSERT_TRUE(
            b_.store->Record(site, Page::Alexa, 2, {Status::Ok, rank, "", source, "", now - age}));
    };
    record("climber.com", 40 * kDay, 2000);             // outside the window
    record("climber.com", 20 * kDay, 900, "elsewhere"); // another source's number
    record("climber.com", 10 * kDay, 800);
    record("climber.com", 1 * kDay, 600);
    record("new.com", 3600 * 1000, 9); // only an hour old
    // 800 -> 500
    EXPECT_EQ(All(*trend, Page::Alexa, 5, {"climber.com", "new.com", "gone.com"}),
              "ok 300|not-configured|not-found -1");
    EXPECT_EQ(One(*trend, "climber.com", Page::Alexa, 2), "unsupported");
}

TEST_F(Ranks, GoogleCustomSearchAndOpenPageRank) {
    std::string seen;                              // the key and domains OpenPageRank was asked for
    std::tuple<int, std::string, std::string> cse; // status, body, and what it should read as
    test::FakeUpstream up;
    up.server().Get("/customsearch/v1", [&](const httplib::Request& req, httplib::Response& res) {
        EXPECT_EQ(req.get_param_value("q") + " " + req.get_param_value("cx"),
                  "site:example.com engine-1");
        res.status = std::get<0>(cse);
        res.set_content(std::get<1>(cse), "application/json");
    });
    up.server().Get(
        "/api/v1.0/getPageRank", [&](const httplib::Request& req, httplib::Response& res) {
            seen = req.get_header_value("API-OPR");
            for (std::size_t i = 0; i < req.get_param_value_count("domains[]"); ++i)
                seen += " " + req.get_param_value("domains[]", i);
            res.set_content(
                R"({"status_code":200,"response":[{"status_code":200,)"
                R"("error":"","page_rank_integer":6,"page_rank_decimal":5.84,"rank":"1234",)"
                R"("domain":"example.com"},{"status_code":404,"error":"Domain not found",)"
                R"("page_rank_integer":0,"page_rank_decimal":0,"rank":null,)"
                R"("domain":"nosuch.example"}],"last_updated":"1st Jan 2025"})",
                "application/json");
        });
    ASSERT_TRUE(up.Start());
    EXPECT_EQ(One(*Make("google-cse"), "example.com", Page::Sites, 1), "not-configured");
    auto google = Make("google-cse", "key = \"k\"\ncx = \"engine-1\"\nurl = \"" + up.base() +
                                         "/customsearch/v1\"");
    const decltype(cse) rows[] = {
        {200, R"({"searchInformation":{"totalResults":"4560","searchTime":0.2}})", "ok 4560"},
        {200, R"({"searchInformation":{"totalResults":"0"}})", "not-found 0"},
        {200, R"({"searchInformation":{"totalResults":"-3"}})", "parse-failed"},
        {200, R"({"items":[]})", "parse-failed"},
        {200, "<html>", "parse-failed"},
        {400, R"({"error":{"code":400,"message":"API key not valid"}})", "not-configured"},
        {429, R"({"error":{"code":429}})", "rate-limited"},
    };
    for (const auto& row : rows) {
        cse = row;
        EXPECT_EQ(One(*google, "example.com", Page::Sites, 1), std::get<2>(row))
            << std::get<1>(row);
    }
    EXPECT_GT(google->State().suspended_until_ms, b_.t.clock.NowMs()); // after the 429
    EXPECT_EQ(One(*google, "example.com", Page::Links, 1), "unsupported");
    auto opr =
        Make("openpagerank", "key = \"opr-key\"\nurl = \"" + up.base() + "/api/v1.0/getPageRank\"");
    EXPECT_EQ(One(*opr, "example.com", Page::Ranks, 0), "ok 6");
    EXPECT_EQ(seen, "opr-key example.com");
    EXPECT_EQ(One(*opr, "nosuch.example", Page::Ranks, 0), "not-found 0");
    // Without a key the configured fallback answers from the imported graph.
    ASSERT_TRUE(Import(RankKind::CcRanks, WriteFile("r.gz", Gzip(kCcRanks))).ok);
    EXPECT_EQ(One(*Make("openpagerank", "fallback = \"cc-graph\""), "facebook.com", Page::Ranks, 0),
              "ok 10");
    EXPECT_EQ(One(*Make("openpagerank"), "facebook.com", Page::Ranks, 0), "not-configured");
}

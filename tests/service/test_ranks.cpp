// Rank lists (Tranco, Common Crawl domain ranks) and rank APIs against local files and fakes.
#include "config.h"
#include "fakes.h"
#include "import.h"
#include "providers/providers.h"
#include "store.h"
#include "tempdir.h"

#include <gtest/gtest.h>
#include <toml++/toml.h>
#include <zlib.h>

#include <fstream>
#include <thread>

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

std::string Gzip(const std::string& data) {
    return Deflate(data, 31);
}

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

class Ranks : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(store_) << b_.error;
        config_.data_dir = dir_.path;
    }

    std::string WriteFile(const std::string& name, const std::string& content) {
        const auto path = config_.data_dir / name;
        std::ofstream(path, std::ios::binary) << content;
        return path.string();
    }
    ImportResult Import(RankKind kind, const std::string& source, std::uint64_t limit = 0) {
        ImportOptions options;
        options.max_entries = limit;
        return ImportRanks(kind, env_.env, source, RankFile(config_, kind), options);
    }
    std::unique_ptr<Provider> Make(const std::string& type, const std::string& toml_text = "") {
        std::string error;
        toml::table section = toml::parse(toml_text);
        section.insert("type", type);
        auto p = MakeProvider(type, section, b_.context, &error);
        EXPECT_TRUE(p) << error;
        return p;
    }
    Measurement One(Provider& p, const std::string& site, Page page, int column) {
        return test::MeasureInTurn(p, env_.clock, {site, page, {column}}).at(0);
    }

    test::ProviderBench b_;
    test::TestEnv& env_ = b_.t;
    const test::TempDir& dir_ = b_.dir;
    std::unique_ptr<Store>& store_ = b_.store;
    Config& config_ = b_.config;
};

void ExpectValue(const Measurement& m, Status status, std::int64_t number) {
    EXPECT_EQ(m.status, status) << m.detail;
    EXPECT_EQ(m.number, number) << m.detail;
}

} // namespace

TEST_F(Ranks, TrancoFromFileAndZipDownload) {
    auto tranco = Make("tranco", "refresh_hours = 0");
    EXPECT_EQ(One(*tranco, "google.com", Page::Alexa, 2).status, Status::NotConfigured);

    ImportResult r = Import(RankKind::Tranco, WriteFile("top.csv", kTranco));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.entries, 4u);
    EXPECT_EQ(r.skipped, 2u); // the header line and the malformed one
    EXPECT_TRUE(r.complete);
    const std::vector<std::pair<std::string, std::int64_t>> rows = {{"google.com", 1},
                                                                    {"www.facebook.com", 2},
                                                                    {"a.b.example.com", 3},
                                                                    {"sub.example.org", 5},
                                                                    {"unknown.net", -1}};
    for (const auto& [site, rank] : rows)
        ExpectValue(One(*tranco, site, Page::Alexa, 2), rank > 0 ? Status::Ok : Status::NotFound,
                    rank);
    EXPECT_EQ(One(*tranco, "google.com", Page::Alexa, 0).status, Status::Unsupported);

    // The zip as downloaded; a download cut short keeps only whole lines and says so.
    std::string csv;
    for (int i = 1; i <= 5000; ++i)
        csv += std::to_string(i) + ",site" + std::to_string(i) + ".com\n";
    const std::string zip = Zip("top-1m.csv", csv);
    test::FakeUpstream up;
    up.server().Get("/top-1m.csv.zip", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(zip, "application/zip");
    });
    up.server().Get("/cut.zip", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(zip.substr(0, zip.size() / 2), "application/zip");
    });
    up.server().Get("/gone",
                    [](const httplib::Request&, httplib::Response& res) { res.status = 404; });
    ASSERT_TRUE(up.Start());
    r = Import(RankKind::Tranco, up.base() + "/top-1m.csv.zip");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.entries, 5000u);
    EXPECT_TRUE(r.complete);
    ExpectValue(One(*tranco, "site4321.com", Page::Alexa, 2), Status::Ok, 4321);

    r = Import(RankKind::Tranco, up.base() + "/cut.zip");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_FALSE(r.complete);
    EXPECT_GT(r.entries, 0u);
    EXPECT_LT(r.entries, 5000u);

    // A failed download leaves the table in place.
    r = Import(RankKind::Tranco, up.base() + "/gone");
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("404"), std::string::npos);
    EXPECT_EQ(One(*tranco, "site1.com", Page::Alexa, 2).number, 1);
}

TEST_F(Ranks, CommonCrawlRanksAndGraphSayWhenTheirListsAreCut) {
    auto cc = Make("cc-graph");
    EXPECT_EQ(One(*cc, "facebook.com", Page::Ranks, 0).status, Status::NotConfigured);
    // Two gzip members in a row read as one stream.
    const std::string gz = Gzip(kCcRanks.substr(0, 150)) + Gzip(kCcRanks.substr(150));
    ImportResult r = Import(RankKind::CcRanks, WriteFile("ranks.txt.gz", gz));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.entries, 4u);
    EXPECT_TRUE(r.complete);
    const std::vector<std::pair<std::string, std::int64_t>> rows = {{"facebook.com", 10},
                                                                    {"www.youtube.com", 10},
                                                                    {"example.com.cn", 4},
                                                                    {"mdc.org.zw", 1},
                                                                    {"nowhere.example", 0}};
    for (const auto& [site, band] : rows)
        ExpectValue(One(*cc, site, Page::Ranks, 0), band > 0 ? Status::Ok : Status::NotFound, band);
    // Referring-domain counts come from the graph's edges, not from this file.
    EXPECT_EQ(One(*cc, "facebook.com", Page::Links, 1).status, Status::NotConfigured);
    EXPECT_EQ(One(*cc, "facebook.com", Page::Alexa, 3).status, Status::NotConfigured);
    ExpectValue(One(*Make("cc-graph", "measure = \"harmonic\""), "example.com.cn", Page::Ranks, 0),
                Status::Ok, 4);

    // The first lines only (a truncated download): what is missing is unknown, not 0.
    const std::string whole = Gzip(kCcRanks);
    r = Import(RankKind::CcRanks, WriteFile("cut.gz", whole.substr(0, whole.size() * 3 / 4)));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_FALSE(r.complete);
    EXPECT_LT(r.entries, 4u);
    ExpectValue(One(*cc, "nowhere.example", Page::Ranks, 0), Status::NotFound, -1);
    // A limit cuts the same way.
    r = Import(RankKind::CcRanks, WriteFile("all.gz", whole), 2);
    EXPECT_TRUE(r.ok && !r.complete && r.entries == 2u) << r.error;

    // Damaged data is reported, never a crash.
    r = Import(RankKind::CcRanks, WriteFile("bad.gz", "\x1f\x8b" + std::string(200, 'x')));
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.error.empty());

    // The graph counts referring domains.
    const std::string vertices = Gzip("0\tcom.example\t3\n1\tcn.com.Example\t1\n2\torg.foo\t2\n"
                                      "not a vertex\n3\tnet.lonely\t1\n");
    // Into example.com from 1, 2, 3000 more and an id without a vertex; a self-link, a malformed
    // line and ids beyond any graph are skipped; a target without a vertex names nothing.
    std::string edges = "1\t0\n2\t0\n9\t0\n0\t1\n0\t2\n2\t2\n1\tx\n0\t99999999999\n0\t600000000\n"
                        "0\t7\n";
    for (int i = 0; i < 3000; ++i)
        edges += std::to_string(100 + i) + "\t0\n"; // bulk for the cut below
    const auto path = RankFile(config_, RankKind::CcLinks);
    const auto import = [&](const std::string& edges_file, std::uint64_t limit = 0) {
        ImportOptions options;
        options.max_entries = limit;
        return ImportCcLinks(env_.env, WriteFile("v.gz", vertices), edges_file, path, options);
    };
    r = import(WriteFile("e.gz", Gzip(edges)));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(r.complete);
    EXPECT_EQ(r.entries, 3u);
    EXPECT_EQ(r.skipped, 5u);
    const std::vector<std::tuple<std::string, Page, int, Status, std::int64_t>> counts = {
        {"example.com", Page::Links, 1, Status::Ok, 3003},
        {"www.example.com", Page::Alexa, 3, Status::Ok, 3003},
        {"example.com.cn", Page::Links, 1, Status::Ok, 1},
        {"foo.org", Page::Alexa, 3, Status::Ok, 1},
        {"lonely.net", Page::Links, 1, Status::NotFound, 0}, // listed, no referring domain
    };
    for (const auto& [site, page, column, status, number] : counts)
        ExpectValue(One(*cc, site, page, column), status, number);

    // Only the most linked domains under a limit: the others are unknown, not 0.
    r = import(WriteFile("e.gz", Gzip(edges)), 1);
    EXPECT_TRUE(r.ok && !r.complete && r.entries == 1u) << r.error;
    ExpectValue(One(*cc, "foo.org", Page::Links, 1), Status::NotFound, -1);

    // A broken-off edges file: counts are lower bounds, absent domains unknown.
    const std::string packed = Gzip(edges);
    r = import(WriteFile("cut.gz", packed.substr(0, packed.size() / 2)));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_FALSE(r.complete);
    EXPECT_NE(r.error.find("truncated"), std::string::npos) << r.error;
    const Measurement partial = One(*cc, "example.com", Page::Links, 1);
    EXPECT_EQ(partial.status, Status::Ok);
    EXPECT_GT(partial.number, 0);
    EXPECT_LT(partial.number, 3003);
    ExpectValue(One(*cc, "lonely.net", Page::Alexa, 3), Status::NotFound, -1);

    // A missing edges file fails and keeps the table in place.
    r = import((dir_.path / "none.gz").string());
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(One(*cc, "example.com", Page::Links, 1).number, partial.number);
}

TEST_F(Ranks, TrendComparesTheOldestRankOfThirtyDaysWithTodays) {
    ASSERT_TRUE(Import(RankKind::Tranco, WriteFile("t.csv", "500,climber.com\n9,new.com\n")).ok);
    auto trend = Make("trend", "rank_source = \"tranco\"");
    const std::int64_t now = env_.clock.NowMs();
    auto record = [&](const std::string& site, std::int64_t age, std::int64_t rank,
                      const std::string& source = "tranco") {
        Measurement m;
        m.status = Status::Ok;
        m.number = rank;
        m.source = source;
        m.time_ms = now - age;
        ASSERT_TRUE(store_->Record(site, Page::Alexa, 2, m));
    };
    record("climber.com", 40 * kDay, 2000);             // outside the window
    record("climber.com", 20 * kDay, 900, "elsewhere"); // another source's number
    record("climber.com", 10 * kDay, 800);
    record("climber.com", 1 * kDay, 600);
    record("new.com", 3600 * 1000, 9);                                        // only an hour old
    ExpectValue(One(*trend, "climber.com", Page::Alexa, 5), Status::Ok, 300); // 800 -> 500
    EXPECT_EQ(One(*trend, "new.com", Page::Alexa, 5).status, Status::NotConfigured);
    ExpectValue(One(*trend, "gone.com", Page::Alexa, 5), Status::NotFound, -1);
    EXPECT_EQ(One(*trend, "climber.com", Page::Alexa, 2).status, Status::Unsupported);
}

TEST_F(Ranks, DailyTrancoDownloadRunsOnTheEnvClock) {
    const std::string zip = Zip("top-1m.csv", "1,google.com\n2,daily.com\n");
    test::FakeUpstream up;
    up.server().Get("/top-1m.csv.zip", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(zip, "application/zip");
    });
    ASSERT_TRUE(up.Start());
    auto tranco = Make("tranco", "url = \"" + up.base() + "/top-1m.csv.zip\"\n" +
                                     "first_download_delay_s = 60\nrefresh_hours = 24");
    EXPECT_EQ(up.hits("/top-1m.csv.zip"), 0);
    env_.clock.Advance(61 * 1000);
    for (int i = 0; i < 5000 && One(*tranco, "daily.com", Page::Alexa, 2).status != Status::Ok; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ExpectValue(One(*tranco, "daily.com", Page::Alexa, 2), Status::Ok, 2);
    EXPECT_EQ(up.hits("/top-1m.csv.zip"), 1);
    env_.clock.Advance(kDay);
    for (int i = 0; i < 5000 && up.hits("/top-1m.csv.zip") < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(up.hits("/top-1m.csv.zip"), 2);
}

TEST_F(Ranks, GoogleCustomSearchAndOpenPageRank) {
    std::string seen_key;
    std::vector<std::string> seen_domains;
    std::string cse_body;
    int cse_status = 200;
    test::FakeUpstream up;
    up.server().Get("/customsearch/v1", [&](const httplib::Request& req, httplib::Response& res) {
        EXPECT_EQ(req.get_param_value("q"), "site:example.com");
        EXPECT_EQ(req.get_param_value("cx"), "engine-1");
        res.status = cse_status;
        res.set_content(cse_body, "application/json");
    });
    up.server().Get("/api/v1.0/getPageRank",
                    [&](const httplib::Request& req, httplib::Response& res) {
                        seen_key = req.get_header_value("API-OPR");
                        seen_domains.clear();
                        for (std::size_t i = 0; i < req.get_param_value_count("domains[]"); ++i)
                            seen_domains.push_back(req.get_param_value("domains[]", i));
                        res.set_content(R"({"status_code":200,"response":[
            {"status_code":200,"error":"","page_rank_integer":6,"page_rank_decimal":5.84,
             "rank":"1234","domain":"example.com"},
            {"status_code":404,"error":"Domain not found","page_rank_integer":0,
             "page_rank_decimal":0,"rank":null,"domain":"nosuch.example"}],
            "last_updated":"1st Jan 2025"})",
                                        "application/json");
                    });
    ASSERT_TRUE(up.Start());

    EXPECT_EQ(One(*Make("google-cse"), "example.com", Page::Sites, 1).status,
              Status::NotConfigured);
    auto cse = Make("google-cse",
                    "key = \"k\"\ncx = \"engine-1\"\nurl = \"" + up.base() + "/customsearch/v1\"");
    const std::vector<std::tuple<int, std::string, Status, std::optional<std::int64_t>>> rows = {
        {200, R"({"searchInformation":{"totalResults":"4560","searchTime":0.2}})", Status::Ok,
         4560},
        {200, R"({"searchInformation":{"totalResults":"0"}})", Status::NotFound, 0},
        {200, R"({"searchInformation":{"totalResults":"-3"}})", Status::ParseFailed, std::nullopt},
        {200, R"({"items":[]})", Status::ParseFailed, std::nullopt},
        {200, "<html>", Status::ParseFailed, std::nullopt},
        {400, R"({"error":{"code":400,"message":"API key not valid"}})", Status::NotConfigured,
         std::nullopt},
        {429, R"({"error":{"code":429}})", Status::RateLimited, std::nullopt},
    };
    for (const auto& [status, body, want, number] : rows) {
        cse_status = status;
        cse_body = body;
        const Measurement m = One(*cse, "example.com", Page::Sites, 1);
        EXPECT_EQ(m.status, want) << body;
        EXPECT_EQ(m.number, number) << body;
    }
    EXPECT_GT(cse->State().suspended_until_ms, env_.clock.NowMs()); // after the 429
    EXPECT_EQ(One(*cse, "example.com", Page::Links, 1).status, Status::Unsupported);

    auto opr =
        Make("openpagerank", "key = \"opr-key\"\nurl = \"" + up.base() + "/api/v1.0/getPageRank\"");
    ExpectValue(One(*opr, "example.com", Page::Ranks, 0), Status::Ok, 6);
    EXPECT_EQ(seen_key, "opr-key");
    EXPECT_EQ(seen_domains, std::vector<std::string>{"example.com"});
    ExpectValue(One(*opr, "nosuch.example", Page::Ranks, 0), Status::NotFound, 0);
    // Without a key the configured fallback answers from the imported graph.
    ASSERT_TRUE(Import(RankKind::CcRanks, WriteFile("r.gz", Gzip(kCcRanks))).ok);
    ExpectValue(
        One(*Make("openpagerank", "fallback = \"cc-graph\""), "facebook.com", Page::Ranks, 0),
        Status::Ok, 10);
    EXPECT_EQ(One(*Make("openpagerank"), "facebook.com", Page::Ranks, 0).status,
              Status::NotConfigured);
}

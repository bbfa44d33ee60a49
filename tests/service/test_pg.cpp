// The libpq layer against a real server the test starts: text parameters both ways, NULLs,
// SQLSTATEs, passwords kept off pages, and the store's pool of connections (whose statements
// are prepared, and must be again after a restart).
#include "fakes.h"
#include "pg.h"
#include "pgserver.h"
#include "store.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace valdane::svc {
namespace {

using test::SharedPgServer;

TEST(Pg, MaskedUriHidesEveryPasswordForm) {
    const std::pair<const char*, const char*> cases[] = {
        {"postgresql://u:secret@db/x", "postgresql://u:***@db/x"},
        {"postgresql://u@db/x", "postgresql://u@db/x"},
        {"postgres://db:5432/x?password=secret&sslmode=require",
         "postgres://db:5432/x?password=***&sslmode=require"},
        {"postgresql://db/x?user=u&password=p", "postgresql://db/x?user=u&password=***"},
        {"postgresql://u:p@ss@db/x", "postgresql://u:***@ss@db/x"},
    };
    for (const auto& [uri, shown] : cases)
        EXPECT_EQ(pg::MaskedUri(uri), shown) << uri;
    EXPECT_TRUE(pg::IsConnectionUri("postgres://h/d") && !pg::IsConnectionUri("/var/lib/valdane"));
}

TEST(Pg, TextRoundTripErrorsAndRollback) {
    auto& server = SharedPgServer();
    ASSERT_EQ(server.error(), "");
    std::string error;
    auto db = pg::Connection::Open(server.NewDatabase(), &error);
    ASSERT_TRUE(db) << error;
    ASSERT_TRUE(db->Exec("CREATE TABLE t (k TEXT PRIMARY KEY, v BIGINT)").ok());
    std::string odd = "百度'; DROP TABLE t; --\n";
    auto put =
        db->Exec("INSERT INTO t VALUES ($1, $2), ($3, NULL)", {odd, "-9223372036854775808", "n"});
    ASSERT_TRUE(put.ok()) << put.error();
    auto rows = db->Exec("SELECT k, v FROM t ORDER BY k");
    ASSERT_EQ(rows.rows(), 2);
    EXPECT_EQ(std::tuple(put.affected(), rows.text(1, 0), rows.integer(1, 1), rows.null(0, 1)),
              std::tuple(2, odd, INT64_MIN, true));
    auto dup = db->Exec("INSERT INTO t VALUES ('n', 1)");
    EXPECT_EQ(std::pair(dup.ok(), dup.state()), std::pair(false, std::string("23505")));
    EXPECT_FALSE(pg::Connection::Open("postgresql://valdane@127.0.0.1:1/x", &error));
    EXPECT_NE(error, "");
    // A transaction not committed rolls back.
    ASSERT_TRUE(db->Exec("CREATE TABLE n (v INT)").ok());
    {
        pg::Transaction tx(*db);
        ASSERT_TRUE(tx.began());
        ASSERT_TRUE(db->Exec("INSERT INTO n VALUES (1)").ok());
    }
    EXPECT_EQ(db->Exec("SELECT count(*) FROM n").integer(0, 0), 0);
}

const Measurement kSeven{Status::Ok, 7, "", "", "", 1};

// Another instance holds b.com's column (as `admin`); our writer waits for it while `site` is
// read (a site read nowhere before: no cached row stands in for the store). prompt: the read
// must answer while the writer still waits; else it is let wait (200 ms) and must answer once
// the writer is through.
std::optional<std::vector<Latest>> ReadBesideBlockedWriter(Store& store, const std::string& admin,
                                                           const char* site, bool prompt) {
    std::string error;
    auto other = pg::Connection::Open(admin, &error);
    EXPECT_TRUE(
        other && other->Exec("BEGIN").ok() &&
        other->Exec("SELECT pg_advisory_xact_lock(hashtextextended('b.com/sites/0', 0))").ok());
    auto writer = std::async(std::launch::async,
                             [&] { return store.Record("b.com", Page::Sites, 0, kSeven); });
    const char* waiting = "SELECT 1 FROM pg_locks WHERE locktype = 'advisory' AND NOT granted";
    while (other->Exec(waiting).rows() == 0)
        std::this_thread::yield();
    auto read = std::async(std::launch::async, [&] { return store.LatestRow(site, Page::Sites); });
    EXPECT_EQ(read.wait_for(std::chrono::milliseconds(prompt ? 30000 : 200)),
              prompt ? std::future_status::ready : std::future_status::timeout)
        << (prompt ? "a read waited for the blocked writer" : "the pool grew while refused");
    EXPECT_TRUE(other->Exec("COMMIT").ok());
    EXPECT_TRUE(writer.get());
    return read.get();
}

// A database of layout 1, which indexed every change whether NULL or not, is brought up to date.
TEST(Pg, LayoutOneIsBroughtUpToDate) {
    const std::string uri = SharedPgServer().NewDatabase();
    test::TestEnv env;
    std::string error;
    auto store = OpenPgStore(uri, env.env, &error);
    ASSERT_TRUE(store && store->Record("a.com", Page::Sites, 0, kSeven)) << error;
    store.reset();
    auto db = pg::Connection::Open(uri, &error);
    for (const char* sql :
         {"DROP INDEX latest_with_d0, latest_with_d7, latest_with_d30, latest_unchanged",
          "CREATE INDEX latest_by_d0 ON latest(page, col, d0, site)",
          "CREATE INDEX latest_by_d7 ON latest(page, col, d7, site)",
          "CREATE INDEX latest_by_d30 ON latest(page, col, d30, site)",
          "DELETE FROM schema_version WHERE version = 2"})
        ASSERT_TRUE(db && db->Exec(sql).ok()) << sql;
    store = OpenPgStore(uri, env.env, &error);
    ASSERT_TRUE(store) << error;
    const auto rows = store->Overview(Page::Sites, {0, true, TableOrder::Key::Change}, 0)->Next(9);
    EXPECT_TRUE(rows && rows->size() == 1 && rows->front().site == "a.com");
}

// A writer waiting for a column that another instance is writing holds one connection, not the
// store: reads still answer. After a restart every pooled connection comes back, not only the
// first one found lost.
TEST(Pg, StorePoolServesReadsBesideABlockedWriterAndRecoversEveryConnection) {
    auto& server = SharedPgServer();
    const std::string uri = server.NewDatabase();
    test::TestEnv env;
    std::string error;
    auto store = OpenPgStore(uri, env.env, &error);
    ASSERT_TRUE(store) << error;
    ASSERT_TRUE(store->Record("a.com", Page::Sites, 0, kSeven));
    const auto before = ReadBesideBlockedWriter(*store, uri, "a.com", true);
    ASSERT_TRUE(before);
    EXPECT_EQ(before->at(0).last.number, 7);
    ASSERT_TRUE(server.Stop());
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(store->LatestRow("a.com", Page::Sites)); // resets the connection it is lent
    // The other connection is lent to this read (nothing cached for c.com stands in for it).
    EXPECT_TRUE(ReadBesideBlockedWriter(*store, uri, "c.com", true))
        << "a second lost connection stayed lost";
    EXPECT_EQ(store->Notices().size(), 1u); // only the new store's notice
}

// A server refusing another connection (its limit for the role reached): the call waits for a
// pooled one instead of failing, the pool stops asking for a minute, then grows again.
TEST(Pg, StorePoolMakesDoWhenRefusedAndGrowsAgainAMinuteLater) {
    const std::string admin = SharedPgServer().NewDatabase();
    std::string error;
    auto db = pg::Connection::Open(admin, &error);
    ASSERT_TRUE(db) << error;
    const std::string name = admin.substr(admin.rfind('/') + 1);
    ASSERT_TRUE(db->Exec("CREATE ROLE limited LOGIN").ok());
    ASSERT_TRUE(db->Exec("ALTER DATABASE " + name + " OWNER TO limited").ok());
    std::string uri = admin;
    uri.replace(uri.find("valdane@"), 8, "limited@");
    test::TestEnv env;
    auto store = OpenPgStore(uri, env.env, &error);
    ASSERT_TRUE(store) << error;
    ASSERT_TRUE(store->Record("a.com", Page::Sites, 0, kSeven));
    ASSERT_TRUE(db->Exec("DO $$ BEGIN EXECUTE format('ALTER ROLE limited CONNECTION LIMIT %s', "
                         "(SELECT count(*) FROM pg_stat_activity WHERE usename = 'limited')); "
                         "END $$")
                    .ok());
    EXPECT_TRUE(ReadBesideBlockedWriter(*store, admin, "c.com", false)) << "refused, then failed";
    ASSERT_TRUE(db->Exec("ALTER ROLE limited CONNECTION LIMIT -1").ok());
    EXPECT_TRUE(ReadBesideBlockedWriter(*store, admin, "d.com", false));
    env.clock.Advance(60'000);
    EXPECT_TRUE(ReadBesideBlockedWriter(*store, admin, "e.com", true)) << "never grew again";
}

} // namespace
} // namespace valdane::svc

// The libpq layer against a real server the test starts: text parameters both ways, NULLs,
// SQLSTATEs, prepared statements surviving a server restart, passwords kept off pages, and the
// store's pool of connections.
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
    struct Case {
        const char* uri;
        const char* shown;
    } cases[] = {
        {"postgresql://u:secret@db/x", "postgresql://u:***@db/x"},
        {"postgresql://u@db/x", "postgresql://u@db/x"},
        {"postgres://db:5432/x?password=secret&sslmode=require",
         "postgres://db:5432/x?password=***&sslmode=require"},
        {"postgresql://db/x?user=u&password=p", "postgresql://db/x?user=u&password=***"},
        {"postgresql://u:p@ss@db/x", "postgresql://u:***@ss@db/x"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(pg::MaskedUri(c.uri), c.shown) << c.uri;
    EXPECT_TRUE(pg::IsConnectionUri("postgres://h/d"));
    EXPECT_FALSE(pg::IsConnectionUri("/var/lib/valdane"));
}

TEST(Pg, TextRoundTripAndErrors) {
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
    EXPECT_EQ(put.affected(), 2);
    auto rows = db->Exec("SELECT k, v FROM t ORDER BY k");
    ASSERT_EQ(rows.rows(), 2);
    EXPECT_EQ(rows.text(1, 0), odd);
    EXPECT_EQ(rows.integer(1, 1), INT64_MIN);
    EXPECT_TRUE(rows.null(0, 1));
    auto dup = db->Exec("INSERT INTO t VALUES ('n', 1)");
    EXPECT_FALSE(dup.ok());
    EXPECT_EQ(dup.state(), "23505");
    EXPECT_FALSE(pg::Connection::Open("postgresql://valdane@127.0.0.1:1/x", &error));
    EXPECT_NE(error, "");
}

TEST(Pg, PreparedStatementsOutliveARestartAndTransactionsRollBack) {
    auto& server = SharedPgServer();
    std::string error;
    auto db = pg::Connection::Open(server.NewDatabase(), &error);
    ASSERT_TRUE(db) << error;
    ASSERT_TRUE(db->Exec("CREATE TABLE n (v INT)").ok());
    {
        pg::Transaction tx(*db);
        ASSERT_TRUE(tx.began());
        ASSERT_TRUE(db->Exec("INSERT INTO n VALUES (1)").ok());
    } // not committed
    const std::string sql = "SELECT count(*) FROM n WHERE v > $1";
    EXPECT_EQ(db->Prepared("count", sql, {"0"}).integer(0, 0), 0);

    ASSERT_TRUE(server.Stop());
    EXPECT_FALSE(db->Prepared("count", sql, {"0"}).ok());
    EXPECT_TRUE(db->Broken());
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(db->Reset()) << db->Error();
    auto again = db->Prepared("count", sql, {"0"});
    EXPECT_TRUE(again.ok()) << again.error();
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
    Measurement m;
    m.status = Status::Ok;
    m.number = 7;
    m.time_ms = 1;
    ASSERT_TRUE(store->Record("a.com", Page::Sites, 0, m));

    // Another instance holds b.com's column; our writer waits for it while site is read.
    auto read_beside_blocked_writer = [&](const char* site) {
        auto other = pg::Connection::Open(uri, &error);
        EXPECT_TRUE(other && other->Exec("BEGIN").ok() &&
                    other
                        ->Exec("SELECT pg_advisory_xact_lock(hashtextextended('b.com/sites/0', "
                               "0))")
                        .ok());
        auto writer = std::async(std::launch::async,
                                 [&] { return store->Record("b.com", Page::Sites, 0, m); });
        while (other->Exec("SELECT 1 FROM pg_locks WHERE locktype = 'advisory' AND NOT granted")
                   .rows() == 0)
            std::this_thread::yield();
        auto read =
            std::async(std::launch::async, [&] { return store->LatestRow(site, Page::Sites); });
        EXPECT_EQ(read.wait_for(std::chrono::seconds(30)), std::future_status::ready)
            << "a read waited for the blocked writer";
        EXPECT_TRUE(other->Exec("COMMIT").ok());
        EXPECT_TRUE(writer.get());
        return read.get();
    };
    const auto before = read_beside_blocked_writer("a.com");
    ASSERT_TRUE(before);
    EXPECT_EQ(before->at(0).last.number, 7);

    ASSERT_TRUE(server.Stop());
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(store->LatestRow("a.com", Page::Sites)); // resets the connection it is lent
    // The other connection is lent to this read (nothing cached for c.com stands in for it).
    EXPECT_TRUE(read_beside_blocked_writer("c.com")) << "a second lost connection stayed lost";
    EXPECT_EQ(store->Notices().size(), 1u); // only the new store's notice
}

} // namespace
} // namespace valdane::svc

// The registration database, checked through SQLite's own reader beside the product.
#include <sqlite3.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/base/log.h"
#include "platform/storage/file_manager.h"
#include "platform/storage/path.h"
#include "push/push_helper.h"
#include "push/push_sqlite.h"
#include "push_state_fixture.h"
#include "support/raw_sqlite.h"

namespace lv {
namespace {

class PushDatabase : public test::PushStateTest {
protected:
    void SetUp() override {
        PushStateTest::SetUp();
        database().closeDB();  // the shared instance may hold the file of an earlier sandbox
    }
    void TearDown() override {
        drain();
        database().closeDB();
        PushStateTest::TearDown();
    }
    static PNSqlite& database() { return PNSqlite::getInstance(); }
    static void drain() { database().taskQueue()->sync([] {}); }
    static std::string file(std::string_view name) { return path::appendingPathComponent(documentsDirectory(), name); }
    // Writes a database file with the table and the rows, through SQLite alone.
    static void writeRawDatabase(const std::string& path, const std::string& rowsSQL) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        const std::string sql =
            "create table register_tag_model(type INTEGER,account TEXT,is_registered INTEGER,update_time TEXT,"
            "PRIMARY KEY(type));" + rowsSQL;
        ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
};

TEST_F(PushDatabase, LegacyFileIsMovedWithItsRows) {
    struct Case {
        bool hiddenAlsoExists;
    };
    for (const Case c : {Case{false}, Case{true}}) {
        database().closeDB();
        FileManager::defaultManager().removeItemAtPath(file(kPNDatabaseFileName), nullptr);
        writeRawDatabase(file(kPNLegacyDatabaseFileName),
                         "insert into register_tag_model values(2,'old',1,'2024-01-02 03:04:05');");
        // The hidden file's rows are gone when both exist: it is deleted before the move.
        if (c.hiddenAlsoExists) writeRawDatabase(file(kPNDatabaseFileName), "insert into register_tag_model values(3,'',1,'t');");
        database().initDB();
        EXPECT_FALSE(FileManager::defaultManager().fileExistsAtPath(file(kPNLegacyDatabaseFileName)));
        const Ref<PNRegisterModel> model = database().loadRegisterModel();
        ASSERT_TRUE(model) << c.hiddenAlsoExists;
        EXPECT_EQ(model->Account(), "old");
        EXPECT_EQ(model->IsRegistered(), 1);
        EXPECT_EQ(model->UpdateTime(), "2024-01-02 03:04:05");
        EXPECT_EQ(database().loadUnRegisterStatus(), 2) << c.hiddenAlsoExists;
    }
}

TEST_F(PushDatabase, EmptyDatabaseReadsNilAnd2) {
    database().initDB();
    EXPECT_EQ(database().loadRegisterModel(), nullptr);
    EXPECT_EQ(database().loadUnRegisterStatus(), 2);
    EXPECT_EQ(PNConfig::loadValueByKey(kPNStatDBVersionKey).intValue(), 1);
    // The schema text is the table's, as SQLite itself reports it.
    EXPECT_EQ(test::rawTexts(file(kPNDatabaseFileName), "select sql from sqlite_master where name='register_tag_model'"),
              std::vector<std::string>{"CREATE TABLE register_tag_model(type INTEGER,account TEXT,is_registered "
                                       "INTEGER,update_time TEXT,PRIMARY KEY(type))"});
}

// deleteDB alone: the handle is closed and the file removed; the next use opens a new, empty file
// with the table, and its writes land. A file that is not there logs the failure line.
TEST_F(PushDatabase, DeleteDBRemovesTheFileAndTheNextUseStartsAfresh) {
    database().initDB();
    database().storeUnRegisterStatus(1, nullptr);
    drain();
    ASSERT_EQ(database().loadUnRegisterStatus(), 1);
    database().deleteDB();
    EXPECT_FALSE(FileManager::defaultManager().fileExistsAtPath(file(kPNDatabaseFileName)));
    EXPECT_EQ(database().loadUnRegisterStatus(), 2);  // reopened: a new file, no rows
    database().initDB();
    database().storeUnRegisterStatus(1, nullptr);
    drain();
    EXPECT_EQ(test::rawTexts(file(kPNDatabaseFileName), "select is_registered from register_tag_model where type=3"),
              std::vector<std::string>{"1"});

    database().deleteDB();
    LogCapture log;
    database().deleteDB();  // nothing left to remove
    EXPECT_TRUE(log.contains("Delete database failed reason:"));
}

TEST_F(PushDatabase, WritesReplaceOneRowPerType) {
    database().initDB();
    auto model = makeRef<PNRegisterModel>();
    model->setIsRegistered(1);
    model->setUpdateTime(std::string("ignored"));
    database().storeRegisterModel(model);
    EXPECT_EQ(model->Account(), "");  // set on the model itself
    database().storeRegisterModel(model);
    database().updateRegisterStatus(0);
    std::atomic<bool> onQueue{false};
    database().storeUnRegisterStatus(1, [&onQueue] { onQueue = database().taskQueue()->isCurrent(); });
    drain();
    EXPECT_TRUE(onQueue);
    const std::string path = file(kPNDatabaseFileName);
    EXPECT_EQ(test::rawTexts(path, "select type||'|'||account||'|'||is_registered from register_tag_model order by type"),
              (std::vector<std::string>{"2||0", "3||1"}));
    const auto times = test::rawTexts(path, "select update_time from register_tag_model");
    ASSERT_EQ(times.size(), 2u);
    for (const auto& time : times) {
        EXPECT_TRUE(PNHelper::getInstance().strToTime(time)) << time;  // the current time, not the model's
    }
    EXPECT_EQ(database().loadUnRegisterStatus(), 1);
    EXPECT_EQ(database().loadRegisterModel()->IsRegistered(), 0);
}

// Another process of the app on the same home may hold the file for a moment (its own first start, a
// write): a write made meanwhile waits for it instead of failing at once and losing its row.
TEST_F(PushDatabase, AWriteWaitsOutAnotherProcessHoldingTheFile) {
    database().initDB();
    const std::string path = file(kPNDatabaseFileName);
    // The holder takes the file's write lock, says so, keeps it for 300 ms and commits.
    const std::string command = "python3 -c \"import sqlite3,sys,time\n"
                                "db=sqlite3.connect(sys.argv[1],isolation_level=None)\n"
                                "db.execute('begin exclusive')\n"
                                "print('held',flush=True)\n"
                                "time.sleep(0.3)\n"
                                "db.execute('commit')\" '" + path + "'";
    FILE* holder = ::popen(command.c_str(), "r");
    ASSERT_NE(holder, nullptr);
    char line[16] = {};
    ASSERT_NE(std::fgets(line, sizeof line, holder), nullptr);
    ASSERT_STREQ(line, "held\n");
    auto model = makeRef<PNRegisterModel>();
    model->setIsRegistered(1);
    database().storeRegisterModel(model);
    drain();
    EXPECT_EQ(::pclose(holder), 0);
    EXPECT_EQ(test::rawTexts(path, "select type||'|'||is_registered from register_tag_model"),
              (std::vector<std::string>{"2|1"}));
}

TEST_F(PushDatabase, DamagedPagesAreRecreatedAndLaterWritesLand) {
    database().initDB();
    auto model = makeRef<PNRegisterModel>();
    model->setAccount(std::string("a"));
    model->setIsRegistered(1);
    database().storeRegisterModel(model);
    drain();
    database().closeDB();
    {
        // Page 2 holds the table's rows: fill it with garbage.
        std::fstream damaged(file(kPNDatabaseFileName), std::ios::in | std::ios::out | std::ios::binary);
        damaged.seekp(4096);
        const std::string garbage(4096, '\xA5');
        damaged.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
    }
    EXPECT_EQ(database().updateDatabase("select * from register_tag_model"), SQLITE_CORRUPT);
    EXPECT_EQ(database().loadRegisterModel(), nullptr);
    database().storeRegisterModel(model);  // the cached statement of the old handle is gone
    drain();
    ASSERT_TRUE(database().loadRegisterModel());
    EXPECT_EQ(database().loadRegisterModel()->Account(), "a");
}

// A file that is no database (other bytes, cut short) or a folder in the database's place is set aside
// into "Damaged" and a new database started: the next row is stored and read back.
TEST_F(PushDatabase, ADamagedFileIsSetAsideAndANewOneStarted) {
    enum class Damage { OtherBytes, CutShort, Folder };
    const std::string path = file(kPNDatabaseFileName);
    const std::string aside = file("Damaged");
    std::size_t setAside = 0;
    for (const Damage damage : {Damage::OtherBytes, Damage::CutShort, Damage::Folder}) {
        SCOPED_TRACE(static_cast<int>(damage));
        database().closeDB();
        std::filesystem::remove_all(path);
        if (damage == Damage::Folder) {
            std::filesystem::create_directories(path + "/inside");
        } else if (damage == Damage::OtherBytes) {
            std::ofstream(path, std::ios::binary) << std::string(8192, 'x');
        } else {
            writeRawDatabase(path, "insert into register_tag_model values(2,'a',1,'t');");
            std::filesystem::resize_file(path, 1000);
        }
        database().initDB();
        auto model = makeRef<PNRegisterModel>();
        model->setAccount(std::string("b"));
        model->setIsRegistered(1);
        database().storeRegisterModel(model);
        drain();
        EXPECT_EQ(test::rawTexts(path, "select account||'|'||is_registered from register_tag_model"),
                  (std::vector<std::string>{"b|1"}));
        ASSERT_TRUE(database().loadRegisterModel());
        EXPECT_EQ(database().loadRegisterModel()->Account(), "b");
        const auto entries = std::distance(std::filesystem::directory_iterator(aside), std::filesystem::directory_iterator());
        EXPECT_EQ(static_cast<std::size_t>(entries), ++setAside);
    }
}

TEST_F(PushDatabase, LongStatementRunsWhole) {
    database().initDB();
    const std::string account(1900, 'x');
    EXPECT_EQ(database().updateDatabase("replace into register_tag_model values(%d,'%@',1,'t')", 4, account), SQLITE_OK);
    EXPECT_EQ(test::rawTexts(file(kPNDatabaseFileName), "select length(account) from register_tag_model where type=4"),
              std::vector<std::string>{"1900"});
    database().closeDB();
    EXPECT_EQ(database().updateDatabase("select 1"), SQLITE_OK);  // opens again on use
}

TEST_F(PushDatabase, TwoThreadsOpenOnce) {
    LogCapture capture;
    sqlite3* handles[2] = {};
    std::thread first([&] { handles[0] = database().getDB(); });
    std::thread second([&] { handles[1] = database().getDB(); });
    first.join();
    second.join();
    ASSERT_NE(handles[0], nullptr);
    EXPECT_EQ(handles[0], handles[1]);
    EXPECT_EQ(capture.count("open sqlite db ok."), 1u);
}

}  // namespace
}  // namespace lv

// The cache truncations against the app's own stack (the record-store layer over "lunavexa.sqlite" in
// a fresh sandbox): each deletes exactly its category's records from the default context and has the
// file written before it returns, as a connection of our own then reads it.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/raw_sqlite.h"
#include "content/content_records.h"
#include "content/data_helper.h"
#include "platform/base/log.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/storage/sandbox.h"
#include "store/contexts.h"
#include "store/persistence.h"
#include "store/record_stack.h"
#include "store/records.h"
#include "store/saves.h"
#include "support/temp_dir.h"

namespace lv {
namespace {

// The key attribute each entity's rows are told apart by in these tests.
const std::map<std::string, std::string>& keyOf() {
    static const std::map<std::string, std::string> keys = {
        {"Taobao", "t_id"}, {"Microblog", "idstr"}, {"Toptenz", "title"}, {"News", "msgId"},
        {"Video", "title"}, {"Teleplay", "entryId"}, {"Novel", "nid"}};
    return keys;
}

using test::rawTexts;

void drainMain() {
    for (int round = 0; round < 2; ++round) {
        bool done = false;
        Queue::main()->async([&] { done = true; });
        ASSERT_TRUE(runMainUntil([&] { return done; }, 10.0));
    }
}

class Truncation : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Sandbox::setRoot(dir_.path().string()));
        RecordStack::setupCoreDataStackWithStoreNamed("lunavexa.sqlite");
        context_ = RS_defaultContext();
        ASSERT_TRUE(context_);
        seed();
    }
    void TearDown() override {
        drainMain();
        RecordStack::cleanUp();
        drainMain();
    }

    template <class T>
    void add(std::initializer_list<std::pair<const char*, Value>> values) {
        auto record = T::RS_createEntityInContext(context_);
        ASSERT_TRUE(record);
        for (const auto& [key, value] : values) record->setValueForKey(value, key);
    }

    void seed() {
        add<Taobao>({{"t_id", "a"}, {"type", "new"}, {"store", "beauty"}, {"price", Value(*Decimal::parse("199.9"))}});
        add<Taobao>({{"t_id", "b"}, {"type", "new"}, {"store", "food"}});
        add<Taobao>({{"t_id", "c"}, {"type", "hot"}, {"store", "beauty"}});
        add<Taobao>({{"t_id", "d"}, {"type", "new"}, {"store", "beauty"}});
        add<Microblog>({{"idstr", "a"}, {"type", "hot"}});
        add<Microblog>({{"idstr", "b"}, {"type", "follow"}});
        add<Microblog>({{"idstr", "c"}, {"type", "hot"}});
        add<Toptenz>({{"title", "a"}, {"sid", 1}, {"rank", 1}});
        add<Toptenz>({{"title", "b"}, {"sid", 2}, {"rank", 1}});
        add<Toptenz>({{"title", "c"}, {"sid", 2}, {"rank", 2}});
        add<Toptenz>({{"title", "d"}, {"sid", 4}, {"rank", 1}});
        add<News>({{"msgId", "a"}, {"cat_name", "ent"}});
        add<News>({{"msgId", "b"}, {"cat_name", "sport"}});
        add<News>({{"msgId", "c"}, {"cat_name", "ent"}});
        add<Video>({{"title", "a"}, {"type", "teach"}});
        add<Video>({{"title", "b"}, {"type", "dance"}});
        add<Teleplay>({{"entryId", "a"}, {"type", "tv"}, {"is_end", "yes"}});
        add<Teleplay>({{"entryId", "b"}, {"type", "tv"}, {"is_end", "no"}});
        add<Teleplay>({{"entryId", "c"}, {"type", "entertainment"}, {"is_end", "yes"}});
        add<Teleplay>({{"entryId", "d"}, {"type", "tv"}, {"is_end", "yes"}});
        add<Novel>({{"nid", "a"}, {"title", "星光练习生"}});
        add<Novel>({{"nid", "b"}, {"title", "三点钟的咖啡"}});
        RS_saveToPersistentStoreAndWait(context_);
    }

    std::string storePath() const { return RS_urlForStoreName("lunavexa.sqlite").string(); }

    // The key values of the entity's rows in the file, in key order.
    std::vector<std::string> rowsInFile(const std::string& entity) const {
        const std::string& key = keyOf().at(entity);
        return rawTexts(storePath(), "SELECT \"" + key + "\" FROM \"" + entity + "\" ORDER BY \"" + key + "\"");
    }

    // Every entity's rows in the file.
    std::map<std::string, std::vector<std::string>> fileContents() const {
        std::map<std::string, std::vector<std::string>> all;
        for (const auto& [entity, key] : keyOf()) all[entity] = rowsInFile(entity);
        return all;
    }

    test::TempDir dir_;
    Ref<ManagedObjectContext> context_;
};

struct TruncationCase {
    const char* name;
    std::function<void(DataHelper&)> call;
    const char* entity;
    std::vector<std::string> remaining;
};

TEST_F(Truncation, EachTruncationDeletesExactlyItsCategoryAndWritesTheFile) {
    const std::vector<TruncationCase> cases = {
        {"taobao new/beauty", [](DataHelper& h) { h.truncateTaobaoWithType("new", "beauty"); }, "Taobao", {"b", "c"}},
        {"microblog hot", [](DataHelper& h) { h.truncateMicroblogWithType("hot"); }, "Microblog", {"b"}},
        {"chart hanteo_day", [](DataHelper& h) { h.truncateToptenWithSite("hanteo_day"); }, "Toptenz", {"a", "d"}},
        {"chart melon", [](DataHelper& h) { h.truncateToptenWithSite("melon"); }, "Toptenz", {"a"}},
        {"news ent", [](DataHelper& h) { h.truncateNewsWithCategory("ent"); }, "News", {"b"}},
        {"video teach", [](DataHelper& h) { h.truncateVideoWithType("teach"); }, "Video", {"b"}},
        {"tv ended", [](DataHelper& h) { h.truncateTVWithType("tv", true); }, "Teleplay", {"b", "c"}},
        {"tv running", [](DataHelper& h) { h.truncateTVWithType("tv", false); }, "Teleplay", {"c"}},
        {"novels", [](DataHelper& h) { h.truncateNovels(); }, "Novel", {}},
    };
    for (const TruncationCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto before = fileContents();
        c.call(*DataHelper::sharedDataHelper());
        // Written before the call returned.
        auto after = fileContents();
        EXPECT_EQ(after[c.entity], c.remaining);
        after.erase(c.entity);
        before.erase(c.entity);
        EXPECT_EQ(after, before);
        EXPECT_FALSE(context_->hasChanges());
    }
}

TEST_F(Truncation, AnEmptyCategoryLeavesTheFileAsItWasWithoutAnError) {
    const auto before = fileContents();
    LogCapture capture;
    DataHelper::instance()->truncateNewsWithCategory("music");
    DataHelper::instance()->truncateTVWithType("entertainment", false);
    EXPECT_EQ(fileContents(), before);
    EXPECT_EQ(capture.count("Error"), 0u);
}

TEST_F(Truncation, AnUnknownChartSiteDeletesNothing) {
    const auto before = fileContents();
    LogCapture capture;
    DataHelper::instance()->truncateToptenWithSite("billboard");
    EXPECT_EQ(fileContents(), before);
    EXPECT_TRUE(capture.contains("no chart site named \"billboard\""));
}

TEST_F(Truncation, UnsavedRecordsOfTheCategoryGoTooAndOtherPendingChangesAreSaved) {
    add<News>({{"msgId", "e"}, {"cat_name", "ent"}});
    add<News>({{"msgId", "f"}, {"cat_name", "sport"}});
    DataHelper::instance()->truncateNewsWithCategory("ent");
    EXPECT_EQ(rowsInFile("News"), (std::vector<std::string>{"b", "f"}));
    auto found = News::RS_findAllWithPredicate(Predicate::parse("cat_name = %@", {Value("ent")}, nullptr), context_);
    ASSERT_TRUE(found);
    EXPECT_TRUE(found->empty());
}

// The request processor's known-item predicates over the default context: saved rows and unsaved
// inserts alike; a nil msgId finds the record stored without one; the chart site comes as a decimal.
// (The truncation predicates are exercised end to end above.)
TEST_F(Truncation, KnownItemPredicatesSeeSavedAndUnsavedRecords) {
    add<News>({{"cat_name", "no id"}});
    add<Toptenz>({{"title", "e"}, {"sid", 2}, {"rank", 3}});
    struct Case {
        const char* entity;
        const char* format;
        std::vector<Value> arguments;
        const char* column;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"News", "msgId = %@", {Value("b")}, "msgId", {"b"}},
        {"News", "msgId = %@", {Value()}, "cat_name", {"no id"}},
        {"Toptenz", "sid = %@ AND rank = %d", {Value(Decimal::fromString("2")), Value(1)}, "title", {"b"}},
        {"Toptenz", "sid = %@ AND rank = %d", {Value(Decimal::fromString("2")), Value(3)}, "title", {"e"}},
        {"Toptenz", "sid = %@ AND rank = %d", {Value(Decimal::fromString("4")), Value(2)}, "title", {}},
    };
    for (const Case& c : cases) {
        auto found = RecordEntity(c.entity).RS_findAllWithPredicate(Predicate::parse(c.format, c.arguments, nullptr), context_);
        ASSERT_TRUE(found) << c.format;
        std::vector<std::string> values;
        for (const Value& record : *found) values.push_back(record.objectAs<ManagedObject>()->valueForKey(c.column).stringValue());
        EXPECT_EQ(values, c.expected) << c.entity << " " << c.format;
    }
}

TEST(TruncationWithoutStack, DoesNothingWhenNoStoreIsSetUp) {
    test::TempDir dir;
    ASSERT_TRUE(Sandbox::setRoot(dir.path().string()));
    ASSERT_FALSE(RS_defaultContext());
    DataHelper::sharedDataHelper()->truncateNovels();
    DataHelper::sharedDataHelper()->truncateToptenWithSite("melon");
    EXPECT_FALSE(RS_defaultContext());
}

}  // namespace
}  // namespace lv

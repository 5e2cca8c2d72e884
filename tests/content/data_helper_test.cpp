// The cache truncations against the app's own stack (the record-store layer over "lunavexa.sqlite" in
// a fresh sandbox): each deletes exactly its category's records from the default context and has the
// file written before it returns, as a connection of our own then reads it.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "content/content_records.h"
#include "content/data_helper.h"
#include "content_test_support.h"
#include "platform/base/log.h"
#include "store/records.h"

namespace lv {
namespace {

using Rows = std::vector<std::string>;

// The key attribute each entity's rows are told apart by in these tests.
const std::map<std::string, std::string> kKeys = {{"Taobao", "t_id"}, {"Microblog", "idstr"}, {"Toptenz", "title"},
                                                  {"News", "msgId"},  {"Video", "title"},     {"Teleplay", "entryId"},
                                                  {"Novel", "nid"}};

class Truncation : public test::AppStack {
protected:
    void SetUp() override {
        AppStack::SetUp();
        setUpStack();
        context_ = RS_defaultContext();
        ASSERT_TRUE(context_);
        seed();
    }

    void add(const char* entity, std::initializer_list<std::pair<const char*, Value>> values) {
        auto record = RecordEntity(entity).RS_createEntityInContext(context_);
        ASSERT_TRUE(record);
        for (const auto& [key, value] : values) record->setValueForKey(value, key);
    }

    void seed() {
        add("Taobao", {{"t_id", "a"}, {"type", "new"}, {"store", "beauty"}, {"price", Value(*Decimal::parse("199.9"))}});
        add("Taobao", {{"t_id", "b"}, {"type", "new"}, {"store", "food"}});
        add("Taobao", {{"t_id", "c"}, {"type", "hot"}, {"store", "beauty"}});
        add("Taobao", {{"t_id", "d"}, {"type", "new"}, {"store", "beauty"}});
        add("Microblog", {{"idstr", "a"}, {"type", "hot"}});
        add("Microblog", {{"idstr", "b"}, {"type", "follow"}});
        add("Microblog", {{"idstr", "c"}, {"type", "hot"}});
        add("Toptenz", {{"title", "a"}, {"sid", 1}, {"rank", 1}});
        add("Toptenz", {{"title", "b"}, {"sid", 2}, {"rank", 1}});
        add("Toptenz", {{"title", "c"}, {"sid", 2}, {"rank", 2}});
        add("Toptenz", {{"title", "d"}, {"sid", 4}, {"rank", 1}});
        add("News", {{"msgId", "a"}, {"cat_name", "ent"}});
        add("News", {{"msgId", "b"}, {"cat_name", "sport"}});
        add("News", {{"msgId", "c"}, {"cat_name", "ent"}});
        add("Video", {{"title", "a"}, {"type", "teach"}});
        add("Video", {{"title", "b"}, {"type", "dance"}});
        add("Teleplay", {{"entryId", "a"}, {"type", "tv"}, {"is_end", "yes"}});
        add("Teleplay", {{"entryId", "b"}, {"type", "tv"}, {"is_end", "no"}});
        add("Teleplay", {{"entryId", "c"}, {"type", "entertainment"}, {"is_end", "yes"}});
        add("Teleplay", {{"entryId", "d"}, {"type", "tv"}, {"is_end", "yes"}});
        add("Novel", {{"nid", "a"}, {"title", "星光练习生"}});
        add("Novel", {{"nid", "b"}, {"title", "三点钟的咖啡"}});
        RS_saveToPersistentStoreAndWait(context_);
    }

    // Every entity's rows in the file, by key.
    static std::map<std::string, Rows> fileContents() {
        std::map<std::string, Rows> all;
        for (const auto& [entity, key] : kKeys) all[entity] = column(entity, key);
        return all;
    }

    Ref<ManagedObjectContext> context_;
};

struct TruncationCase {
    const char* name;
    std::function<void(DataHelper&)> call;
    const char* entity;  // nullptr: the file stays as it was
    Rows remaining;
    const char* logged = nullptr;  // a fragment of a log line
};

TEST_F(Truncation, EachTruncationDeletesExactlyItsCategoryAndWritesTheFile) {
    const std::vector<TruncationCase> cases = {
        {"taobao new/beauty", [](DataHelper& h) { h.truncateTaobaoWithType("new", "beauty"); }, "Taobao", {"b", "c"}},
        {"microblog hot", [](DataHelper& h) { h.truncateMicroblogWithType("hot"); }, "Microblog", {"b"}},
        {"chart hanteo_day", [](DataHelper& h) { h.truncateToptenWithSite("hanteo_day"); }, "Toptenz", {"a", "d"}},
        {"chart melon", [](DataHelper& h) { h.truncateToptenWithSite("melon"); }, "Toptenz", {"a"}},
        {"unknown chart", [](DataHelper& h) { h.truncateToptenWithSite("billboard"); }, nullptr, {},
         "no chart site named \"billboard\""},
        {"news ent", [](DataHelper& h) { h.truncateNewsWithCategory("ent"); }, "News", {"b"}},
        {"empty news category", [](DataHelper& h) { h.truncateNewsWithCategory("music"); }, nullptr, {}},
        {"video teach", [](DataHelper& h) { h.truncateVideoWithType("teach"); }, "Video", {"b"}},
        {"tv ended", [](DataHelper& h) { h.truncateTVWithType("tv", true); }, "Teleplay", {"b", "c"}},
        {"tv running", [](DataHelper& h) { h.truncateTVWithType("tv", false); }, "Teleplay", {"c"}},
        {"empty tv category", [](DataHelper& h) { h.truncateTVWithType("entertainment", false); }, nullptr, {}},
        {"novels", [](DataHelper& h) { h.truncateNovels(); }, "Novel", {}},
    };
    for (const TruncationCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto before = fileContents();
        LogCapture capture;
        c.call(*DataHelper::sharedDataHelper());
        auto after = fileContents();  // written before the call returned
        if (c.entity) {
            EXPECT_EQ(after[c.entity], c.remaining);
            after.erase(c.entity);
            before.erase(c.entity);
        }
        EXPECT_EQ(after, before);
        EXPECT_FALSE(context_->hasChanges());
        EXPECT_EQ(capture.count("Error"), 0u);
        EXPECT_TRUE(!c.logged || capture.contains(c.logged));
    }
}

TEST_F(Truncation, UnsavedRecordsOfTheCategoryGoTooAndOtherPendingChangesAreSaved) {
    add("News", {{"msgId", "e"}, {"cat_name", "ent"}});
    add("News", {{"msgId", "f"}, {"cat_name", "sport"}});
    DataHelper::instance()->truncateNewsWithCategory("ent");
    EXPECT_EQ(column("News", "msgId"), (Rows{"b", "f"}));
    auto found = News::RS_findAllWithPredicate(Predicate::parse("cat_name = %@", {Value("ent")}, nullptr), context_);
    ASSERT_TRUE(found);
    EXPECT_TRUE(found->empty());
}

// The request processor's known-item predicates over the default context: saved rows and unsaved
// inserts alike; a nil msgId finds the record stored without one; the chart site comes as a decimal.
TEST_F(Truncation, KnownItemPredicatesSeeSavedAndUnsavedRecords) {
    add("News", {{"cat_name", "no id"}});
    add("Toptenz", {{"title", "e"}, {"sid", 2}, {"rank", 3}});
    struct Case {
        const char* entity;
        const char* format;
        std::vector<Value> arguments;
        const char* column;
        Rows expected;
    };
    const Case cases[] = {
        {"News", "msgId = %@", {Value("b")}, "msgId", {"b"}},
        {"News", "msgId = %@", {Value()}, "cat_name", {"no id"}},
        {"Toptenz", "sid = %@ AND rank = %d", {Value(*Decimal::parse("2")), Value(1)}, "title", {"b"}},
        {"Toptenz", "sid = %@ AND rank = %d", {Value(*Decimal::parse("2")), Value(3)}, "title", {"e"}},
        {"Toptenz", "sid = %@ AND rank = %d", {Value(*Decimal::parse("4")), Value(2)}, "title", {}},
    };
    for (const Case& c : cases) {
        auto found = RecordEntity(c.entity).RS_findAllWithPredicate(Predicate::parse(c.format, c.arguments, nullptr), context_);
        ASSERT_TRUE(found) << c.format;
        Rows values;
        for (const Value& record : *found) values.push_back(record.objectAs<ManagedObject>()->valueForKey(c.column).stringValue());
        EXPECT_EQ(values, c.expected) << c.entity << " " << c.format;
    }
}

using TruncationWithoutStack = test::AppStack;

TEST_F(TruncationWithoutStack, DoesNothingWhenNoStoreIsSetUp) {
    ASSERT_FALSE(RS_defaultContext());
    DataHelper::sharedDataHelper()->truncateNovels();
    DataHelper::sharedDataHelper()->truncateToptenWithSite("melon");
    EXPECT_FALSE(RS_defaultContext());
}

}  // namespace
}  // namespace lv

// The cache truncations against the app's own stack (the record-store layer over "lunavexa.sqlite" in
// a fresh sandbox): each deletes exactly its category's records from the default context and has the
// file written before it returns, as a connection of our own then reads it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "content/content_records.h"
#include "content/data_helper.h"
#include "content_test_support.h"
#include "platform/base/log.h"
#include "platform/dispatch/notification_center.h"
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

// The clear without the save (as the request processor uses it): the records of the category as the
// context shows them are deleted there (records it holds loaded are the ones deleted; an unsaved change
// that moves a record into or out of the category counts), the change notice and the save's notice name
// them, a deleted record still reads its stored values until the save, and the save removes the rows.
TEST_F(Truncation, ClearWithoutSaveDeletesWhatTheContextShowsAndTheSaveRemovesTheRows) {
    add("News", {{"msgId", "d"}, {"cat_name", "ent"}, {"title", "Dee"}});
    add("News", {{"msgId", "e"}, {"cat_name", "sport"}});
    RS_saveToPersistentStoreAndWait(context_);
    test::drainMain();
    // Held loaded: a (stays in the category), c (moved out, unsaved), e (moved in, unsaved).
    auto byId = [&](const char* id) {
        auto found = News::RS_findAllWithPredicate(Predicate::parse("msgId = %@", {Value(id)}, nullptr), context_);
        EXPECT_TRUE(found && found->size() <= 1u) << id;
        return found && !found->empty() ? Ref<ManagedObject>(found->front()) : nullptr;
    };
    auto a = byId("a");
    auto c = byId("c");
    auto e = byId("e");
    ASSERT_TRUE(a && c && e);
    c->setValueForKey(Value("music"), "cat_name");
    e->setValueForKey(Value("ent"), "cat_name");
    context_->processPendingChanges();

    struct Notice {
        std::string name;
        Dictionary userInfo;
    };
    std::vector<Notice> notices;
    const int observer = 0;
    for (auto name : {kManagedObjectContextObjectsDidChangeNotification, kManagedObjectContextDidSaveNotification}) {
        NotificationCenter::defaultCenter()->addObserver(&observer, name, context_,
                                                         [&](const Notification& n) { notices.push_back({n.name(), n.userInfo()}); });
    }
    DataHelper::sharedDataHelper()->truncateNewsWithCategory("ent", DataHelper::Save::Later);
    auto msgIds = [](const Array& records) {
        Rows out;
        for (const Value& v : records) out.push_back(v.objectAs<ManagedObject>()->valueForKey("msgId").stringValue());
        std::sort(out.begin(), out.end());
        return out;
    };
    Array deleted;
    for (const auto& o : context_->deletedObjects()) deleted.push_back(Value(o));
    EXPECT_EQ(msgIds(deleted), (Rows{"a", "d", "e"}));
    EXPECT_TRUE(std::any_of(deleted.begin(), deleted.end(), [&](const Value& v) { return v.objectAs<ManagedObject>() == a; }));
    for (const Value& v : deleted) EXPECT_TRUE(v.objectAs<ManagedObject>()->isDeleted());
    EXPECT_EQ(byId("d"), nullptr);  // hidden from fetches
    EXPECT_EQ(column("News", "msgId"), (Rows{"a", "b", "c", "d", "e"}));  // nothing written yet
    // The deleted d was not held: its values load when read, as stored.
    for (const Value& v : deleted) {
        auto o = v.objectAs<ManagedObject>();
        if (o->valueForKey("msgId").stringValue() == "d") {
            EXPECT_EQ(o->valueForKey("title"), Value("Dee"));
        }
    }
    context_->processPendingChanges();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(msgIds(notices[0].userInfo.get(kDeletedObjectsKey).array()), (Rows{"a", "d", "e"}));

    RS_saveToPersistentStoreAndWait(context_);
    NotificationCenter::defaultCenter()->removeObserver(&observer);
    EXPECT_EQ(column("News", "msgId"), (Rows{"b", "c"}));
    EXPECT_EQ(column("News", "cat_name"), (Rows{"music", "sport"}));
    EXPECT_FALSE(context_->hasChanges());
    auto savedNotice = std::find_if(notices.begin(), notices.end(),
                                    [](const Notice& n) { return n.name == kManagedObjectContextDidSaveNotification; });
    ASSERT_NE(savedNotice, notices.end());
    const Notice& saved = *savedNotice;
    Rows savedIds;
    for (const Value& v : saved.userInfo.get(kDeletedObjectsKey).array()) savedIds.push_back(v.objectAs<ManagedObject>()->objectID()->URIRepresentation());
    Rows deletedIds;
    for (const Value& v : deleted) deletedIds.push_back(v.objectAs<ManagedObject>()->objectID()->URIRepresentation());
    std::sort(savedIds.begin(), savedIds.end());
    std::sort(deletedIds.begin(), deletedIds.end());
    EXPECT_EQ(savedIds, deletedIds);
}

// The rows of a query as the sqlite3 program prints them (one line per row), read-only.
Rows sqliteRows(const std::string& path, const std::string& sql) {
    Rows out;
    const std::string command = "sqlite3 -readonly '" + path + "' '" + sql + "'";
    std::string text;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) text.append(buffer, n);
        EXPECT_EQ(::pclose(pipe), 0) << command;
    }
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) out.push_back(line);
    return out;
}

// The clear as the main road meets it: the context holds the category's records from the last save
// (loaded, one turned back into a fault, one whose row another writer changed since) and the file has
// a row of the category the context never saw. Exactly those are deleted, each held record as the
// very object the context holds, loaded or a fault as it was (the changed row's record with the new
// values), the unseen one as a fault; the change notice and the save's notice name them; the save
// leaves the other categories' rows.
TEST_F(Truncation, ClearDeletesTheHeldRecordsAsTheContextHoldsThem) {
    add("News", {{"msgId", "g"}, {"cat_name", "ent"}, {"title", "Gee"}});
    add("News", {{"msgId", "h"}, {"cat_name", "ent"}});
    RS_saveToPersistentStoreAndWait(context_);
    test::drainMain();
    std::map<std::string, Ref<ManagedObject>> held;
    for (const auto& o : context_->registeredObjects()) {
        if (o->entity()->name() == "News") held[o->valueForKey("msgId").stringValue()] = o;
    }
    ASSERT_EQ(held.size(), 5u);  // a, b, c, g, h
    for (const auto& [msgId, o] : held) ASSERT_FALSE(o->isFault()) << msgId;
    context_->refreshObject(held["h"], false);
    ASSERT_TRUE(held["h"]->isFault());
    {
        // Another writer of the file: g's title changes, w joins the category.
        auto coordinator = makeRef<PersistentStoreCoordinator>(test::contentModel());
        Ref<Error> error;
        ASSERT_TRUE(coordinator->addPersistentStore(kSQLiteStoreType, "", storePath(), {}, &error)) << test::describe(error);
        auto writer = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
        writer->setPersistentStoreCoordinator(coordinator);
        auto g = News::RS_findAllWithPredicate(Predicate::parse("msgId = %@", {Value("g")}, nullptr), writer);
        ASSERT_TRUE(g && g->size() == 1u);
        g->front()->setValueForKey(Value("Gee 2"), "title");
        auto w = ManagedObject::insertNewObject("News", writer);
        w->setValueForKey(Value("w"), "msgId");
        w->setValueForKey(Value("ent"), "cat_name");
        ASSERT_TRUE(writer->save(&error)) << test::describe(error);
    }
    Rows noticed;
    const int observer = 0;
    NotificationCenter::defaultCenter()->addObserver(
        &observer, kManagedObjectContextObjectsDidChangeNotification, context_, [&](const Notification& n) {
            for (const Value& v : n.userInfo().get(kDeletedObjectsKey).array()) {
                noticed.push_back(v.objectAs<ManagedObject>()->objectID()->URIRepresentation());
            }
        });
    DataHelper::sharedDataHelper()->truncateNewsWithCategory("ent", DataHelper::Save::Later);

    std::map<std::string, Ref<ManagedObject>> deleted;
    std::map<std::string, bool> faults;
    for (const auto& o : context_->deletedObjects()) {
        EXPECT_TRUE(o->isDeleted());
        const bool fault = o->isFault();
        const std::string msgId = o->valueForKey("msgId").stringValue();
        faults[msgId] = fault;
        deleted[msgId] = o;
    }
    EXPECT_EQ(faults, (std::map<std::string, bool>{{"a", false}, {"c", false}, {"g", false}, {"h", true}, {"w", true}}));
    for (const char* msgId : {"a", "c", "g", "h"}) EXPECT_EQ(deleted[msgId].get(), held[msgId].get()) << msgId;
    EXPECT_EQ(deleted["g"]->valueForKey("title").stringValue(), "Gee 2");
    EXPECT_FALSE(held["b"]->isDeleted());
    EXPECT_EQ(sqliteRows(storePath(), "SELECT msgId FROM News ORDER BY msgId"), (Rows{"a", "b", "c", "g", "h", "w"}));

    context_->processPendingChanges();
    Rows deletedIds;
    for (const auto& [msgId, o] : deleted) deletedIds.push_back(o->objectID()->URIRepresentation());
    std::sort(deletedIds.begin(), deletedIds.end());
    std::sort(noticed.begin(), noticed.end());
    EXPECT_EQ(noticed, deletedIds);
    noticed.clear();
    NotificationCenter::defaultCenter()->addObserver(
        &observer, kManagedObjectContextDidSaveNotification, context_, [&](const Notification& n) {
            for (const Value& v : n.userInfo().get(kDeletedObjectsKey).array()) {
                noticed.push_back(v.objectAs<ManagedObject>()->objectID()->URIRepresentation());
            }
        });
    RS_saveToPersistentStoreAndWait(context_);
    NotificationCenter::defaultCenter()->removeObserver(&observer);
    std::sort(noticed.begin(), noticed.end());
    EXPECT_EQ(noticed, deletedIds);
    EXPECT_EQ(sqliteRows(storePath(), "SELECT msgId || \",\" || cat_name FROM News ORDER BY msgId"), (Rows{"b,sport"}));
    EXPECT_FALSE(context_->hasChanges());
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

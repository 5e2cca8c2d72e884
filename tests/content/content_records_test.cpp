// The content records and the copy of a model into a record: every copy pair names an attribute of
// the model's entity, records are instances of their classes, nil and null values are not copied, and
// every kind of reply item travels model → record → SQLite file → another coordinator unchanged.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "content/content_models.h"
#include "content/content_records.h"
#include "content_test_support.h"
#include "mapping/json_adapter.h"
#include "platform/base/clock.h"
#include "platform/base/log.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "store/contexts.h"
#include "store/persistence.h"
#include "store/record_stack.h"
#include "store/saves.h"
#include "support/civil_time.h"
#include "support/raw_sqlite.h"

namespace lv {
namespace {

using test::ContentStack;
using test::DeviceSettings;
using test::fixtureItems;
using test::wallClock;

struct Pairing {
    const ClassInfo* (*modelClass)();
    const char* entity;
    const ClassInfo* (*recordClass)();
};

const std::vector<Pairing>& pairings() {
    static const std::vector<Pairing> table = {
        {&JM_Microblog::runtimeClass, "Microblog", &Microblog::runtimeClass},
        {&JM_Toptenz::runtimeClass, "Toptenz", &Toptenz::runtimeClass},
        {&JM_Taobao::runtimeClass, "Taobao", &Taobao::runtimeClass},
        {&JM_News::runtimeClass, "News", &News::runtimeClass},
        {&JM_Teleplay::runtimeClass, "Teleplay", &Teleplay::runtimeClass},
        {&JM_Novel::runtimeClass, "Novel", &Novel::runtimeClass},
        {&JM_Video::runtimeClass, "Video", &Video::runtimeClass},
    };
    return table;
}

TEST(ContentEntities, EveryCopyPairNamesAnAttributeOfTheSameValueClass) {
    auto model = test::contentModel();
    ASSERT_TRUE(model);
    for (const Pairing& p : pairings()) {
        const ClassInfo* cls = p.modelClass();
        SCOPED_TRACE(cls->name());
        auto entity = model->entityNamed(p.entity);
        ASSERT_TRUE(entity);
        auto instance = std::dynamic_pointer_cast<BaseJMModel>(cls->create());
        ASSERT_TRUE(instance);
        const Array pairs = instance->propertiesList();
        // Every mapped key is read from the JSON key of the same name.
        const auto* keyPaths = cls->findClassHook<JMKeyPathsHook>("JSONKeyPathsByPropertyKey");
        ASSERT_TRUE(keyPaths);
        const Dictionary paths = (*keyPaths)();
        for (const auto& [key, path] : paths) EXPECT_EQ(path, Value(key)) << key;
        // Each attribute is filled by exactly one pair.
        EXPECT_EQ(pairs.size(), entity->attributes().size());
        EXPECT_TRUE(entity->relationships().empty());
        for (const Value& pair : pairs) {
            const auto& [modelKey, entityKey] = *pair.dictionary().begin();
            auto attribute = entity->attributeNamed(entityKey.stringValue());
            ASSERT_TRUE(attribute) << entityKey.stringValue();
            EXPECT_TRUE(attribute->isOptional()) << entityKey.stringValue();
            EXPECT_TRUE(attribute->defaultValue().isNil()) << entityKey.stringValue();
            const PropertyInfo* property = cls->findProperty(modelKey);
            ASSERT_TRUE(property) << modelKey;
            EXPECT_EQ(property->declaredClassName(), attribute->attributeValueClassName()) << modelKey;
        }
    }
}

TEST(ContentEntities, NewRecordsAreInstancesOfTheirClassesWithEveryAttributeNil) {
    ContentStack s;
    JM_News::runtimeClass();  // the models register the record classes
    s.main->performAndWait([&] {
        for (const Pairing& p : pairings()) {
            auto record = ManagedObject::insertNewObject(p.entity, s.main);
            ASSERT_TRUE(record) << p.entity;
            EXPECT_EQ(classOf(*record), p.recordClass()) << p.entity;
            for (const auto& attribute : record->entity()->attributes()) {
                EXPECT_TRUE(record->valueForKey(attribute->name()).isNil()) << p.entity << "." << attribute->name();
                const PropertyInfo* property = p.recordClass()->findProperty(attribute->name());
                ASSERT_TRUE(property && property->dynamic) << p.entity << "." << attribute->name();
                EXPECT_EQ(property->declaredClassName(), attribute->attributeValueClassName()) << attribute->name();
            }
        }
    });
    auto news = std::dynamic_pointer_cast<News>(ManagedObject::insertNewObject("News", s.main));
    ASSERT_TRUE(news);
    news->setMsgId(Value("42"));
    EXPECT_EQ(news->msgId(), Value("42"));
    EXPECT_EQ(valueForKey(*news, "msgId"), Value("42"));
}

// ---- migratePropertiesToObject ----

TEST(MigrateProperties, CopiesEveryValueAndSkipsNilAndNull) {
    ContentStack s;
    auto model = makeRef<JM_News>();
    model->setMsgId(Value("1001"));
    model->setTitle(Value("标题"));
    model->setTag_name(Value::null());
    model->setCreateTime(Value(Date::fromSince1970(1425517622)));
    s.main->performAndWait([&] {
        auto record = ManagedObject::insertNewObject("News", s.main);
        record->setValueForKey(Value("kept"), "tag_name");
        record->setValueForKey(Value("kept too"), "cat_name");
        model->migratePropertiesToObject(record);
        EXPECT_EQ(record->valueForKey("msgId"), Value("1001"));
        EXPECT_EQ(record->valueForKey("title"), Value("标题"));
        EXPECT_EQ(record->valueForKey("createTime"), Value(Date::fromSince1970(1425517622)));
        EXPECT_EQ(record->valueForKey("tag_name"), Value("kept"));     // null is not copied
        EXPECT_EQ(record->valueForKey("cat_name"), Value("kept too"));  // nil is not copied
        EXPECT_TRUE(record->valueForKey("update_time").isNil());
    });
}

// A model whose pairs name a key its entity lacks, and one the record cannot hold.
class StrayModel : public BaseJMModel {
public:
    StrayModel() { runtimeClass(); }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls = defineModelClass<StrayModel, BaseJMModel>("StrayModel")
                                          .property("title", &StrayModel::title_, "String", "&,N")
                                          .property("stray", &StrayModel::stray_, "String", "&,N")
                                          .property("msgId", &StrayModel::msgId_, "", "&,N")
                                          .registerClass();
        return cls;
    }
    Array propertiesList() const override {
        return Array{Value(Dictionary{{"stray", "nonexistent"}}), Value(Dictionary{{"msgId", "createTime"}}),
                     Value(Dictionary{{"title", "title"}})};
    }
    Value title_;
    Value stray_;
    Value msgId_;
};

TEST(MigrateProperties, APairTheRecordRefusesIsLoggedAndTheOthersAreStillCopied) {
    ContentStack s;
    auto model = makeRef<StrayModel>();
    model->title_ = Value("标题");
    model->stray_ = Value("x");
    model->msgId_ = Value("not a date");
    LogCapture capture;
    s.main->performAndWait([&] {
        auto record = ManagedObject::insertNewObject("News", s.main);
        EXPECT_NO_THROW(model->migratePropertiesToObject(record));
        EXPECT_EQ(record->valueForKey("title"), Value("标题"));
        EXPECT_TRUE(record->valueForKey("createTime").isNil());
    });
    EXPECT_EQ(capture.count("*** Caught exception"), 2u);
    EXPECT_TRUE(capture.contains("\"nonexistent\""));
}

// ---- the road of every kind of item into the file ----

class ItemsIntoRecords : public ::testing::Test {
protected:
    DeviceSettings device_{"Asia/Shanghai", "zh_CN"};
    ContentStack s_;

    // Maps every item, sets the position as sortWeight where asked, and copies each model into a new
    // record of the entity in the main-queue context; items that cannot be mapped make no record. The
    // number of records made.
    int store(const ClassInfo* modelClass, const std::string& entity, const Array& items, bool sortWeight) {
        int created = 0;
        s_.main->performAndWait([&] {
            for (std::size_t i = 0; i < items.size(); ++i) {
                Ref<Error> error;
                auto model = std::dynamic_pointer_cast<BaseJMModel>(JMJSONAdapter::modelOfClass(modelClass, items[i], &error));
                if (!model) {
                    EXPECT_TRUE(error);
                    continue;
                }
                if (sortWeight) setValueForKey(*model, Value(i), "sortWeight");
                model->migratePropertiesToObject(ManagedObject::insertNewObject(entity, s_.main));
                ++created;
            }
        });
        return created;
    }
};

Date local(int d, int h, int mi, int s) { return wallClock(2015, 3, d, h, mi, s, 8 * 3600); }

// The novel items as the request processor hands them on: "description" moved to "novel_desc".
Array preparedNovels() {
    Array items;
    for (const Value& item : fixtureItems("novel")) {
        Dictionary prepared = item.dictionary();
        Value description = prepared.get("description");
        prepared.remove("description");
        if (!description.isNil()) prepared.set("novel_desc", description);
        items.push_back(Value(prepared));
    }
    return items;
}

// Every fixture reply, item by item: mapped, copied into records, saved, and read back from the file by
// another coordinator. Each row is found by the value of the case's key attribute.
TEST_F(ItemsIntoRecords, EveryFixtureReplyReachesTheFileAsMapped) {
    const Date now = local(6, 10, 0, 0);
    ScopedClock clock([&] { return now.since1970(); });
    const Value none;
    const Dictionary links{{"1", "http://127.0.0.1:8765/tv77/e1"}, {"2", "http://127.0.0.1:8765/tv77/e2"},
                           {"3", "http://127.0.0.1:8765/tv77/e3"}};
    struct Check {
        const char* row;  // value of the key attribute
        const char* attribute;
        Value expected;
    };
    struct ReplyCase {
        const ClassInfo* cls;
        const char* entity;
        const char* key;
        Array items;
        bool sortWeight;
        std::size_t records;
        std::vector<Check> checks;
    };
    const std::string firstNews = "首尔春季时装周开幕，多位明星现身秀场";
    const ReplyCase cases[] = {
        {JM_News::runtimeClass(), "News", "title", fixtureItems("newsList"), false, 6,
         {{firstNews.c_str(), "msgId", Value("1001")},
          {firstNews.c_str(), "tag_name", Value("时尚")},
          {firstNews.c_str(), "detailPageLink", Value("http://127.0.0.1:8765/n/1001")},
          {firstNews.c_str(), "createTime", Value(local(5, 8, 30, 0))},
          {firstNews.c_str(), "update_time", Value(local(5, 9, 7, 2))},
          {"人气组合回归舞台，新专辑预售破十万张", "createTime", Value(local(5, 6, 0, 0))},  // "2015-03-05:06"
          {"周末综艺收视率出炉，户外真人秀再登榜首", "createTime", Value(local(4, 0, 0, 0))},  // "2015-03-04"
          {"釜山电影节公布评审阵容，华语导演入选", "createTime", Value(local(4, 18, 5, 30))}}},  // "2015-3-4 18:05:30"
        {JM_Toptenz::runtimeClass(), "Toptenz", "title", fixtureItems("rank"), false, 5,
         {{"너의 의미", "rank", Value(1)}, {"너의 의미", "sid", Value(4)}, {"너의 의미", "type", Value(0)},
          {"너의 의미", "translate", Value(1)}, {"너의 의미", "currentLanguage", Value(0)},
          {"너의 의미", "title_cn", Value("你的意义")}, {"너의 의미", "update_time", Value(local(5, 9, 0, 0))},
          {"CALL ME BABY", "extern_link", Value("")}, {"거짓말", "artist_cn", Value("BIGBANG")}}},
        {JM_Taobao::runtimeClass(), "Taobao", "t_id", fixtureItems("taobao"), false, 3,
         {{"40123", "price", Value(*Decimal::parse("199.9"))}, {"40123", "saleCount", Value(1024)},
          {"40123", "update_time", Value(local(5, 9, 0, 0))}, {"40123", "store", Value("beauty")},
          {"40124", "price", Value(*Decimal::parse("89"))}, {"40124", "update_time", Value(local(5, 9, 7, 2))},
          {"40125", "price", Value(*Decimal::parse("35.5"))}}},
        {JM_Microblog::runtimeClass(), "Microblog", "idstr", fixtureItems("microblog"), true, 3,
         {{"3817000000000001", "created_at", Value(local(5, 9, 7, 2))}, {"3817000000000001", "sortWeight", Value(0)},
          {"3817000000000001", "attitudes_count", Value(12)}, {"3817000000000001", "type", Value("hot")},
          {"3817000000000002", "created_at", Value(local(5, 8, 15, 40))}, {"3817000000000002", "thumbnail_pic", none},
          {"3817000000000003", "created_at", Value(now)},      // "" read as the time of mapping
          {"3817000000000003", "sortWeight", Value(2)}}},       // the reply's own sortWeight is not read
        {JM_Video::runtimeClass(), "Video", "title", fixtureItems("video"), true, 3,
         {{"零基础韩语发音 第一课：元音", "createTime", Value("2015-03-05")},  // stays text
          {"零基础韩语发音 第一课：元音", "playCount", Value(3456)},
          {"零基础韩语发音 第二课：辅音", "update_time", Value(local(5, 9, 0, 0))},
          {"热门舞曲分解教学：副歌部分", "update_time", Value(local(4, 20, 0, 0))},
          {"热门舞曲分解教学：副歌部分", "sortWeight", Value(2)}}},
        {JM_Teleplay::runtimeClass(), "Teleplay", "entryId", fixtureItems("media"), true, 3,
         {{"tv-77", "totalCount", Value(24)}, {"tv-77", "playLinks", Value(links)},
          {"tv-77", "last_update_time", Value(local(5, 22, 0, 0))}, {"tv-77", "is_end", Value("no")},
          {"tv-77", "firstTime", Value("2015-01-07")}, {"tv-77", "sortWeight", Value(0)},
          {"tv-78", "last_update_time", Value(now)}, {"tv-78", "update_time", Value(local(5, 21, 0, 0))},
          {"tv-79", "totalCount", Value(16)}, {"tv-79", "playLinks", Value(Dictionary{})}}},
        {JM_Novel::runtimeClass(), "Novel", "nid", preparedNovels(), false, 3,
         {{"7", "novel_desc", Value("一个来自首尔的练习生，在异国他乡追逐梦想的故事。")},
          {"7", "update_time", Value(local(5, 0, 0, 0))}, {"8", "update_time", Value(local(5, 9, 0, 0))},
          {"9", "novel_desc", none}, {"9", "update_time", Value(now)}, {"9", "title", Value("汉江边的约定")}}},
    };
    for (const ReplyCase& c : cases) EXPECT_EQ(store(c.cls, c.entity, c.items, c.sortWeight), static_cast<int>(c.records)) << c.entity;
    ASSERT_TRUE(s_.saveAll());
    for (const ReplyCase& c : cases) {
        SCOPED_TRACE(c.entity);
        const auto rows = s_.readBack(c.entity, c.key);
        EXPECT_EQ(rows.size(), c.records);
        for (const Check& check : c.checks) {
            Ref<ManagedObject> row;
            for (const auto& r : rows) {
                if (r->valueForKey(c.key) == Value(check.row)) row = r;
            }
            ASSERT_TRUE(row) << check.row;
            EXPECT_EQ(classOf(*row)->name(), c.entity);
            EXPECT_EQ(row->valueForKey(check.attribute), check.expected) << check.row << "." << check.attribute;
        }
    }
}

TEST_F(ItemsIntoRecords, AnItemTheAdapterCannotMapMakesNoRecord) {
    Array items = fixtureItems("newsList");
    items.insert(items.begin() + 1, Value::dictionary({{"msgId", 1006}, {"title", "编号是数字"}}));
    items.push_back(Value("不是一条新闻"));
    EXPECT_EQ(store(JM_News::runtimeClass(), "News", items, false), 6);
    ASSERT_TRUE(s_.saveAll());
    auto rows = s_.readBack("News", "msgId");
    EXPECT_EQ(rows.size(), 6u);
    for (const auto& row : rows) EXPECT_TRUE(row->valueForKey("msgId").isString());
}

// ---- counts wider than 32 bits, through the app's record stack ----

class CountWidths : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Sandbox::setRoot(dir_.path().string())); }
    void TearDown() override {
        for (int round = 0; round < 2; ++round) {
            bool done = false;
            Queue::main()->async([&] { done = true; });
            ASSERT_TRUE(runMainUntil([&] { return done; }, 10.0));
        }
        RecordStack::cleanUp();
    }
    static std::string storePath() { return RS_urlForStoreName("lunavexa.sqlite").string(); }
    static std::vector<std::string> column(const std::string& entity, const std::string& attribute) {
        return test::rawTexts(storePath(), "SELECT \"" + attribute + "\" FROM \"" + entity + "\" WHERE \"" + attribute +
                                               "\" IS NOT NULL");
    }
    test::TempDir dir_;
};

constexpr std::int64_t kBig = std::int64_t{1} << 40;

// Every integer attribute of the seven entities takes a count above 2^31 and gives it back from the file.
TEST_F(CountWidths, EveryIntegerAttributeKeepsACountAbove32Bits) {
    RecordStack::setupCoreDataStackWithStoreNamed("lunavexa.sqlite");
    auto context = RS_defaultContext();
    std::vector<std::pair<std::string, std::string>> integers;
    const auto model = test::contentModel();
    for (const auto& entity : model->entities()) {
        for (const auto& attribute : entity->attributes()) {
            if (isIntegerAttributeType(attribute->attributeType())) integers.emplace_back(entity->name(), attribute->name());
        }
    }
    context->performAndWait([&] {
        for (std::size_t i = 0; i < integers.size(); ++i) {
            auto record = ManagedObject::insertNewObject(integers[i].first, context);
            record->setValueForKey(Value(kBig + static_cast<std::int64_t>(i)), integers[i].second);
        }
    });
    RS_saveToPersistentStoreAndWait(context);
    auto reader = RS_contextWithStoreCoordinator(RS_defaultStoreCoordinator());
    for (std::size_t i = 0; i < integers.size(); ++i) {
        const auto& [entity, attribute] = integers[i];
        const std::int64_t expected = kBig + static_cast<std::int64_t>(i);
        EXPECT_EQ(column(entity, attribute), std::vector<std::string>{std::to_string(expected)}) << entity << "." << attribute;
        Ref<ManagedObject> back;
        reader->performAndWait([&, entity = entity, attribute = attribute] {
            back = RecordEntity(entity).RS_findFirstWithPredicate(
                Predicate::parse("%K != nil", {Value(attribute)}, nullptr), reader);
            if (back) {
                EXPECT_EQ(back->valueForKey(attribute).longLongValue(), expected) << entity << "." << attribute;
            }
        });
        EXPECT_TRUE(back) << entity << "." << attribute;
    }
}

// The bundle's model as it was while counts were 32-bit: every integer attribute but the feed's counts.
Ref<ManagedObjectModel> thirtyTwoBitModel() {
    std::ifstream in(test::sourceDirectory() + "/bundle/lunavexa.lvmodel", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    Value json = JSONSerialization::JSONObjectWithData(text.str(), 0, nullptr);
    Array entities;
    for (const Value& entity : json["entities"].array()) {
        Dictionary e = entity.dictionary();
        Array attributes;
        for (const Value& attribute : e.get("attributes").array()) {
            Dictionary a = attribute.dictionary();
            const bool feedCount = e.get("name") == Value("Microblog") && a.get("name").stringValue().ends_with("_count");
            if (a.get("type") == Value("integer64") && !feedCount) a.set("type", "integer32");
            attributes.push_back(Value(std::move(a)));
        }
        e.set("attributes", Value(std::move(attributes)));
        entities.push_back(Value(std::move(e)));
    }
    Ref<Error> error;
    auto model = ManagedObjectModel::modelFromText(
        JSONSerialization::stringWithJSONObject(Value(Dictionary{{"entities", Value(std::move(entities))}}), 0, nullptr).value_or(""),
        &error);
    EXPECT_TRUE(model) << test::describe(error);
    return model;
}

// A file written with the 32-bit model opens through the auto-migrating set-up with its rows, which then
// take 64-bit counts. Disabled until the object store's lightweight migration accepts a widened integer
// attribute (today it refuses every type change with 134110).
TEST_F(CountWidths, DISABLED_AFileOfThe32BitModelMigratesWithItsRows) {
    {
        auto coordinator = makeRef<PersistentStoreCoordinator>(thirtyTwoBitModel());
        std::filesystem::create_directories(std::filesystem::path(storePath()).parent_path());
        Ref<Error> error;
        ASSERT_TRUE(coordinator->addPersistentStore(kSQLiteStoreType, "", storePath(), {}, &error)) << test::describe(error);
        auto context = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
        context->setPersistentStoreCoordinator(coordinator);
        auto shop = ManagedObject::insertNewObject("Taobao", context);
        shop->setValueForKey(Value("kept"), "t_id");
        shop->setValueForKey(Value(7), "saleCount");
        auto chart = ManagedObject::insertNewObject("Toptenz", context);
        chart->setValueForKey(Value(3), "rank");
        ASSERT_TRUE(context->save(&error)) << test::describe(error);
    }
    RecordStack::setupCoreDataStackWithAutoMigratingSqliteStoreNamed("lunavexa.sqlite");
    ASSERT_TRUE(RS_defaultPersistentStore());
    auto context = RS_defaultContext();
    auto shops = Taobao::RS_findAllInContext(context);
    ASSERT_TRUE(shops && shops->size() == 1u);
    Ref<Taobao> shop = (*shops)[0];
    EXPECT_EQ(shop->t_id(), Value("kept"));
    EXPECT_EQ(shop->saleCount(), Value(7));
    EXPECT_EQ(column("Toptenz", "rank"), std::vector<std::string>{"3"});
    context->performAndWait([&] { shop->setSaleCount(Value(kBig)); });
    RS_saveToPersistentStoreAndWait(context);
    EXPECT_EQ(column("Taobao", "saleCount"), std::vector<std::string>{std::to_string(kBig)});
}

}  // namespace
}  // namespace lv

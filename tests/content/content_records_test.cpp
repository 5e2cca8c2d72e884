// The copy of a content model into a record: every copy pair names an attribute of the model's entity,
// nil and null values are not copied, a refused pair is logged, every kind of reply item travels
// model → record → SQLite file → another coordinator unchanged, and counts wider than 32 bits survive.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "content/content_models.h"
#include "content/content_records.h"
#include "content_test_support.h"
#include "mapping/json_adapter.h"
#include "platform/base/clock.h"
#include "platform/base/log.h"
#include "platform/data/model.h"
#include "platform/dispatch/notification_center.h"
#include "support/civil_time.h"

namespace lv {
namespace {

using test::AppStack;
using test::fixtureItems;
using test::rawTexts;

Date local(int d, int h, int mi, int s) { return test::wallClock(2015, 3, d, h, mi, s, 8 * 3600); }

TEST(ContentEntities, EveryCopyPairNamesAnAttributeOfTheSameValueClass) {
    auto model = test::contentModel();
    const std::pair<const ClassInfo*, const char*> pairings[] = {
        {JM_Microblog::runtimeClass(), "Microblog"}, {JM_Toptenz::runtimeClass(), "Toptenz"},
        {JM_Taobao::runtimeClass(), "Taobao"},       {JM_News::runtimeClass(), "News"},
        {JM_Teleplay::runtimeClass(), "Teleplay"},   {JM_Novel::runtimeClass(), "Novel"},
        {JM_Video::runtimeClass(), "Video"}};
    for (const auto& [cls, entityName] : pairings) {
        SCOPED_TRACE(cls->name());
        auto entity = model->entityNamed(entityName);
        ASSERT_TRUE(entity);
        const Array pairs = std::dynamic_pointer_cast<BaseJMModel>(cls->create())->propertiesList();
        // Every mapped key is read from the JSON key of the same name.
        const auto* keyPaths = cls->findClassHook<JMKeyPathsHook>("JSONKeyPathsByPropertyKey");
        ASSERT_TRUE(keyPaths);
        for (const auto& [key, path] : (*keyPaths)()) EXPECT_EQ(path, Value(key)) << key;
        EXPECT_EQ(pairs.size(), entity->attributes().size());  // each attribute filled by exactly one pair
        for (const Value& pair : pairs) {
            const auto& [modelKey, entityKey] = *pair.dictionary().begin();
            auto attribute = entity->attributeNamed(entityKey.stringValue());
            ASSERT_TRUE(attribute) << entityKey.stringValue();
            EXPECT_TRUE(attribute->isOptional() && attribute->defaultValue().isNil()) << entityKey.stringValue();
            const PropertyInfo* property = cls->findProperty(modelKey);
            ASSERT_TRUE(property) << modelKey;
            EXPECT_EQ(property->declaredClassName(), attribute->attributeValueClassName()) << modelKey;
        }
    }
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
    const Array& propertiesList() const override {
        static const Array pairs{Value(Dictionary{{"stray", "nonexistent"}}), Value(Dictionary{{"msgId", "createTime"}}),
                                 Value(Dictionary{{"title", "title"}})};
        return pairs;
    }
    Value title_ = Value("标题");
    Value stray_ = Value("x");
    Value msgId_ = Value("not a date");
};

using MigrateProperties = AppStack;

// Every value is copied but nil and null, which leave the record's own; a pair the record refuses is
// logged and the others are still copied.
TEST_F(MigrateProperties, CopiesEveryValueSkipsNilAndNullAndLogsARefusedPair) {
    setUpStack();
    auto model = makeRef<JM_News>();
    model->setMsgId(Value("1001"));
    model->setTag_name(Value::null());
    model->setCreateTime(Value(Date::fromSince1970(1425517622)));
    auto record = ManagedObject::insertNewObject("News", RS_defaultContext());
    record->setValueForKey(Value("kept"), "tag_name");
    record->setValueForKey(Value("kept too"), "cat_name");
    model->migratePropertiesToObject(record);
    EXPECT_EQ(record->valueForKey("msgId"), Value("1001"));
    EXPECT_EQ(record->valueForKey("createTime"), Value(Date::fromSince1970(1425517622)));
    EXPECT_EQ(record->valueForKey("tag_name"), Value("kept"));
    EXPECT_EQ(record->valueForKey("cat_name"), Value("kept too"));
    auto strayRecord = ManagedObject::insertNewObject("News", RS_defaultContext());
    LogCapture capture;
    EXPECT_NO_THROW(makeRef<StrayModel>()->migratePropertiesToObject(strayRecord));
    EXPECT_EQ(strayRecord->valueForKey("title"), Value("标题"));
    EXPECT_TRUE(strayRecord->valueForKey("createTime").isNil());
    EXPECT_EQ(capture.count("*** Caught exception"), 2u);
    EXPECT_TRUE(capture.contains("copying key \"stray\" of") && capture.contains("\"nonexistent\""));
}

// Models whose identity pairs read, by key, something other than the property of the same name: a
// property whose getter is named after the next property's key, and a class whose key-value handler
// answers one key first. The copy takes what reading the model by key gives, as for any pairs.
class ShadowingModel : public BaseJMModel {
public:
    ShadowingModel() { runtimeClass(); }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls = defineModelClass<ShadowingModel, BaseJMModel>("ShadowingModel")
                                          .property("title", &ShadowingModel::title_, "String", "&,N,Gsummary")
                                          .property("summary", &ShadowingModel::summary_, "String", "&,N")
                                          .property("msgId", &ShadowingModel::msgId_, "String", "&,N")
                                          .registerClass();
        return cls;
    }
    const Array& propertiesList() const override { return identityPropertiesList(); }
    Value title_ = Value("the title");
    Value summary_ = Value("the summary");
    Value msgId_ = Value("7");
};

class HandledModel : public BaseJMModel {
public:
    HandledModel() { runtimeClass(); }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls =
            defineModelClass<HandledModel, BaseJMModel>("HandledModel")
                .property("title", &HandledModel::title_, "String", "&,N")
                .property("msgId", &HandledModel::msgId_, "String", "&,N")
                .keyValueHandler(KeyValueHandler{[](const Object&, const std::string& key, Value& out) {
                                                     if (key != "msgId") return false;
                                                     out = Value("from the handler");
                                                     return true;
                                                 },
                                                 nullptr})
                .registerClass();
        return cls;
    }
    const Array& propertiesList() const override { return identityPropertiesList(); }
    Value title_ = Value("the title");
    Value msgId_ = Value("7");
};

// A plain object taking any of the keys above.
class CopyTarget : public Object {
public:
    CopyTarget() { runtimeClass(); }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls = ClassDef<CopyTarget>("CopyTarget")
                                          .factory()
                                          .property("title", &CopyTarget::title_, "String", "&,N")
                                          .property("summary", &CopyTarget::summary_, "String", "&,N")
                                          .property("msgId", &CopyTarget::msgId_, "String", "&,N")
                                          .registerClass();
        return cls;
    }
    Value title_;
    Value summary_;
    Value msgId_;
};

TEST(MigratePropertiesByIdentityPairs, CopiesWhatReadingTheModelByKeyGives) {
    struct Row {
        Ref<BaseJMModel> model;
        std::vector<std::pair<std::string, Value>> expected;  // target key → value
    };
    const Row rows[] = {
        {makeRef<ShadowingModel>(), {{"title", Value("the title")}, {"summary", Value("the title")}, {"msgId", Value("7")}}},
        {makeRef<HandledModel>(), {{"title", Value("the title")}, {"summary", Value()}, {"msgId", Value("from the handler")}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.model->className());
        for (int copy = 0; copy < 2; ++copy) {  // the first copy makes the pairs, the second finds them
            CopyTarget target;
            row.model->migratePropertiesToObject(target);
            for (const auto& [key, value] : row.expected) {
                EXPECT_EQ(valueForKey(target, key), value) << key;
                if (!value.isNil()) {
                    EXPECT_EQ(valueForKey(*row.model, key), value) << key;
                }
            }
        }
    }
}

// ---- the copy into records of classes with key-value access of their own ----

// Record classes of three kinds for one entity layout ("title" and "msgId" texts): one that takes the
// key-value access every record class inherits, one whose own handler answers "title" first, one that
// declares a property ("summary") its entity does not have.
class PlainTwinRecord : public ManagedObject {
public:
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls = RecordClassDef<PlainTwinRecord>("PlainTwinRecord").registerClass();
        return cls;
    }
};

class HandledTwinRecord : public ManagedObject {
public:
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls = [] {
            RecordClassDef<HandledTwinRecord> def("HandledTwinRecord");
            const KeyValueHandler* inherited = ManagedObject::runtimeClass()->keyValueHandler();
            def.classDef().keyValueHandler(KeyValueHandler{
                [inherited](const Object& o, const std::string& key, Value& out) { return inherited->get(o, key, out); },
                [inherited](Object& o, const std::string& key, const Value& value) {
                    if (key == "title") {
                        static_cast<ManagedObject&>(o).setValueForKey(Value("by the handler: " + value.stringValue()), key);
                        return true;
                    }
                    return inherited->set(o, key, value);
                }});
            return def.registerClass();
        }();
        return cls;
    }
};

class DeclaredTwinRecord : public ManagedObject {
public:
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls = [] {
            RecordClassDef<DeclaredTwinRecord> def("DeclaredTwinRecord");
            def.classDef().property("summary", &DeclaredTwinRecord::summary_, "String", "&,N");
            return def.registerClass();
        }();
        return cls;
    }
    Value summary_;
};

class TwinModel : public BaseJMModel {
public:
    TwinModel() { runtimeClass(); }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls = defineModelClass<TwinModel, BaseJMModel>("TwinModel")
                                          .property("title", &TwinModel::title_, "String", "&,N")
                                          .property("summary", &TwinModel::summary_, "String", "&,N")
                                          .property("msgId", &TwinModel::msgId_, "String", "&,N")
                                          .property("count", &TwinModel::count_, "Number", "&,N")
                                          .registerClass();
        return cls;
    }
    const Array& propertiesList() const override { return identityPropertiesList(); }
    Value title_ = Value("the title");
    Value summary_ = Value("the summary");
    Value msgId_ = Value("7");
    Value count_ = Value(3);  // a number where the entity keeps a text: refused by the record
};

// Each kind of record ends up as setting every pair by key leaves it: the class's own handler and its
// own properties answer where they would, keys nothing answers and values the record refuses are
// logged and skipped. Checked against a twin record given the same pairs one setValueForKey at a time.
TEST(MigratePropertiesIntoRecords, TakesTheKeyValueAccessOfTheRecordClass) {
    PlainTwinRecord::runtimeClass();
    HandledTwinRecord::runtimeClass();
    DeclaredTwinRecord::runtimeClass();
    auto model = makeRef<ManagedObjectModel>();
    for (const char* className : {"PlainTwinRecord", "HandledTwinRecord", "DeclaredTwinRecord"}) {
        auto entity = EntityDescription::make(std::string(className) + "Entity", className);
        for (const char* name : {"title", "msgId", "count"}) {
            entity->addAttribute(AttributeDescription::make(name, AttributeType::String));
        }
        model->addEntity(entity);
    }
    struct Row {
        const char* entity;
        Value title;
        Value summary;  // the class's own property, nil for a class without one
        int refused;    // pairs logged as refused
    };
    const Row rows[] = {
        {"PlainTwinRecordEntity", Value("the title"), Value(), 2},                   // summary, count
        {"HandledTwinRecordEntity", Value("by the handler: the title"), Value(), 2},  // summary, count
        {"DeclaredTwinRecordEntity", Value("the title"), Value("the summary"), 1},    // count
    };
    auto twinModel = makeRef<TwinModel>();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.entity);
        auto entity = model->entityNamed(row.entity);
        ASSERT_TRUE(entity);
        auto copied = ManagedObject::make(entity, nullptr);
        auto twin = ManagedObject::make(entity, nullptr);
        LogCapture capture;
        twinModel->migratePropertiesToObject(copied);
        EXPECT_EQ(capture.count("*** Caught exception"), static_cast<std::size_t>(row.refused));
        for (const Value& pair : twinModel->propertiesList()) {
            const auto& [modelKey, entityKey] = *pair.dictionary().begin();
            try {
                setValueForKey(*twin, valueForKey(*twinModel, modelKey), entityKey.string());
            } catch (...) {
            }
        }
        for (const char* key : {"title", "msgId", "count"}) {
            EXPECT_EQ(copied->valueForKey(key), twin->valueForKey(key)) << key;
        }
        EXPECT_EQ(copied->valueForKey("title"), row.title);
        EXPECT_EQ(copied->valueForKey("msgId"), Value("7"));
        EXPECT_TRUE(copied->valueForKey("count").isNil());
        if (auto* declared = dynamic_cast<DeclaredTwinRecord*>(copied.get())) {
            EXPECT_EQ(declared->summary_, row.summary);
            EXPECT_EQ(declared->summary_, dynamic_cast<DeclaredTwinRecord&>(*twin).summary_);
        } else {
            EXPECT_TRUE(row.summary.isNil());
        }
    }
}

// A stored record that a model is copied into changes as by setting each key: only values that
// differ count as changes, the context announces the record as updated, and the file gets the same row
// as for a twin record given the same values by key.
TEST_F(MigrateProperties, ChangesOfAStoredRecordAreTheOnesSettingEachKeyMakes) {
    setUpStack();
    auto context = RS_defaultContext();
    Ref<ManagedObject> copied;
    Ref<ManagedObject> twin;
    context->performAndWait([&] {
        copied = ManagedObject::insertNewObject("News", context);
        twin = ManagedObject::insertNewObject("News", context);
        for (const auto& record : {copied, twin}) {
            record->setValueForKey(Value("kept"), "title");
            record->setValueForKey(Value("old tag"), "tag_name");
            record->setValueForKey(Value("ent"), "cat_name");
        }
        copied->setValueForKey(Value("c"), "msgId");
        twin->setValueForKey(Value("t"), "msgId");
    });
    RS_saveToPersistentStoreAndWait(context);
    auto model = makeRef<JM_News>();
    model->setTitle(Value("kept"));              // the same value: no change
    model->setTag_name(Value("new tag"));        // a change
    model->setThumbLink(Value::null());          // null: not copied
    model->setCreateTime(Value(Date::fromSince1970(1425517622)));
    std::vector<Ref<ManagedObject>> announced;
    auto observer = NotificationCenter::defaultCenter()->addObserverForName(
        kManagedObjectContextObjectsDidChangeNotification, context, nullptr, [&](const Notification& n) {
            for (const Value& v : n.userInfo().get(kUpdatedObjectsKey).array()) announced.push_back(ManagedObject::fromValue(v));
        });
    context->performAndWait([&] {
        model->migratePropertiesToObject(copied);
        model->setMsgId(Value("t"));
        for (const Value& pair : model->propertiesList()) {
            const auto& [modelKey, entityKey] = *pair.dictionary().begin();
            const Value value = valueForKey(*model, modelKey);
            if (!value.isNilOrNull()) twin->setValueForKey(value, entityKey.string());
        }
        EXPECT_TRUE(copied->isUpdated());
        const Dictionary expected{{"tag_name", Value("new tag")}, {"createTime", Value(Date::fromSince1970(1425517622))}};
        EXPECT_EQ(copied->changedValues(), expected);
        EXPECT_EQ(twin->changedValues(), expected);
        context->processPendingChanges();
    });
    NotificationCenter::defaultCenter()->removeObserver(observer.get());
    EXPECT_EQ(announced.size(), 2u);
    EXPECT_NE(std::find(announced.begin(), announced.end(), copied), announced.end());
    RS_saveToPersistentStoreAndWait(context);
    const std::string row = "SELECT quote(title) || '|' || quote(tag_name) || '|' || quote(thumbLink) || '|' || "
                            "quote(createTime) || '|' || quote(cat_name) FROM News WHERE msgId = ";
    const auto stored = rawTexts(storePath(), row + "'c'");
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored, rawTexts(storePath(), row + "'t'"));
    EXPECT_EQ(stored[0].substr(0, 22), "'kept'|'new tag'|NULL|");
}

// ---- the road of every kind of item into the file ----

// Maps every item, sets the position as sortWeight where asked, and copies each model into a new record
// of the entity in the default context; items that cannot be mapped make no record. The number of
// records made.
int store(const ClassInfo* modelClass, const std::string& entity, const Array& items, bool sortWeight) {
    int created = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
        Ref<Error> error;
        auto model = std::dynamic_pointer_cast<BaseJMModel>(JMJSONAdapter::modelOfClass(modelClass, items[i], &error));
        if (!model) {
            EXPECT_TRUE(error);
            continue;
        }
        if (sortWeight) setValueForKey(*model, Value(i), "sortWeight");
        model->migratePropertiesToObject(ManagedObject::insertNewObject(entity, RS_defaultContext()));
        ++created;
    }
    return created;
}

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
// another coordinator. Each row is found by the value of the case's key attribute. Items the adapter
// cannot map (a number for the news id, a text item) make no record.
using ItemsIntoRecords = AppStack;

TEST_F(ItemsIntoRecords, EveryFixtureReplyReachesTheFileAsMapped) {
    setUpStack();
    test::DeviceSettings device("Asia/Shanghai", "zh_CN");
    const Date now = local(6, 10, 0, 0);
    ScopedClock clock([&] { return now.since1970(); });
    const Dictionary links{{"1", "http://127.0.0.1:8765/tv77/e1"}, {"2", "http://127.0.0.1:8765/tv77/e2"},
                           {"3", "http://127.0.0.1:8765/tv77/e3"}};
    struct Check { const char* row /* value of the key attribute */; const char* attribute; Value expected; };
    struct ReplyCase {
        const ClassInfo* cls; const char* entity; const char* key; Array items; bool sortWeight; std::size_t records;
        std::vector<Check> checks;
    };
    Array news = fixtureItems("newsList");
    news.insert(news.begin() + 1, Value::dictionary({{"msgId", 1006}, {"title", "编号是数字"}}));
    news.push_back(Value("不是一条新闻"));
    const ReplyCase cases[] = {
        {JM_News::runtimeClass(), "News", "msgId", news, false, 6,
         {{"1001", "tag_name", Value("时尚")}, {"1001", "createTime", Value(local(5, 8, 30, 0))},
          {"1003", "createTime", Value(local(5, 6, 0, 0))},  // "2015-03-05:06"
          {"1004", "createTime", Value(local(4, 0, 0, 0))}}},  // "2015-03-04"
        {JM_Toptenz::runtimeClass(), "Toptenz", "title", fixtureItems("rank"), false, 5,
         {{"너의 의미", "rank", Value(1)}, {"너의 의미", "sid", Value(4)}, {"너의 의미", "title_cn", Value("你的意义")},
          {"너의 의미", "update_time", Value(local(5, 9, 0, 0))}, {"CALL ME BABY", "extern_link", Value("")}}},
        {JM_Taobao::runtimeClass(), "Taobao", "t_id", fixtureItems("taobao"), false, 3,
         {{"40123", "price", Value(*Decimal::parse("199.9"))}, {"40123", "saleCount", Value(1024)},
          {"40124", "price", Value(*Decimal::parse("89"))}, {"40125", "price", Value(*Decimal::parse("35.5"))}}},
        {JM_Microblog::runtimeClass(), "Microblog", "idstr", fixtureItems("microblog"), true, 3,
         {{"3817000000000001", "created_at", Value(local(5, 9, 7, 2))}, {"3817000000000001", "attitudes_count", Value(12)},
          {"3817000000000002", "thumbnail_pic", Value()},
          {"3817000000000003", "created_at", Value(now)},   // "" read as the time of mapping
          {"3817000000000003", "sortWeight", Value(2)}}},    // the reply's own sortWeight is not read
        {JM_Video::runtimeClass(), "Video", "title", fixtureItems("video"), true, 3,
         {{"零基础韩语发音 第一课：元音", "createTime", Value("2015-03-05")},  // stays text
          {"零基础韩语发音 第一课：元音", "playCount", Value(3456)}}},
        {JM_Teleplay::runtimeClass(), "Teleplay", "entryId", fixtureItems("media"), true, 3,
         {{"tv-77", "totalCount", Value(24)}, {"tv-77", "playLinks", Value(links)},
          {"tv-77", "last_update_time", Value(local(5, 22, 0, 0))}, {"tv-78", "last_update_time", Value(now)},
          {"tv-79", "playLinks", Value(Dictionary{})}}},
        {JM_Novel::runtimeClass(), "Novel", "nid", preparedNovels(), false, 3,
         {{"7", "novel_desc", Value("一个来自首尔的练习生，在异国他乡追逐梦想的故事。")},
          {"7", "update_time", Value(local(5, 0, 0, 0))}, {"9", "novel_desc", Value()}, {"9", "update_time", Value(now)}}},
    };
    for (const ReplyCase& c : cases) EXPECT_EQ(store(c.cls, c.entity, c.items, c.sortWeight), static_cast<int>(c.records)) << c.entity;
    RS_saveToPersistentStoreAndWait(RS_defaultContext());
    for (const ReplyCase& c : cases) {
        SCOPED_TRACE(c.entity);
        const auto rows = readBack(c.entity, c.key);
        EXPECT_EQ(rows.size(), c.records);
        for (const Check& check : c.checks) {
            Ref<ManagedObject> row;
            for (const auto& r : rows) {
                if (r->valueForKey(c.key) == Value(check.row)) row = r;
            }
            ASSERT_TRUE(row) << check.row;
            EXPECT_EQ(classOf(*row)->name(), c.entity);  // an instance of the record class
            EXPECT_EQ(row->valueForKey(check.attribute), check.expected) << check.row << "." << check.attribute;
        }
    }
}

// ---- counts wider than 32 bits, through the app's record stack ----

using CountWidths = AppStack;

constexpr std::int64_t kBig = std::int64_t{1} << 40;

// Every integer attribute of the seven entities takes a count above 2^31 and gives it back from the file.
TEST_F(CountWidths, EveryIntegerAttributeKeepsACountAbove32Bits) {
    setUpStack();
    auto context = RS_defaultContext();
    std::vector<std::pair<std::string, std::string>> integers;
    const auto model = test::contentModel();
    for (const auto& entity : model->entities()) {
        for (const auto& attribute : entity->attributes()) {
            if (isIntegerAttributeType(attribute->attributeType())) integers.emplace_back(entity->name(), attribute->name());
        }
    }
    for (std::size_t i = 0; i < integers.size(); ++i) {
        auto record = ManagedObject::insertNewObject(integers[i].first, context);
        record->setValueForKey(Value(kBig + static_cast<std::int64_t>(i)), integers[i].second);
    }
    RS_saveToPersistentStoreAndWait(context);
    for (std::size_t i = 0; i < integers.size(); ++i) {
        const auto& [entity, attribute] = integers[i];
        const std::int64_t expected = kBig + static_cast<std::int64_t>(i);
        EXPECT_EQ(column(entity, attribute, "\"" + attribute + "\" IS NOT NULL"), std::vector<std::string>{std::to_string(expected)})
            << entity << "." << attribute;
        bool found = false;
        for (const auto& row : readBack(entity, attribute)) {
            if (!row->valueForKey(attribute).isNil()) {
                found = true;
                EXPECT_EQ(row->valueForKey(attribute).longLongValue(), expected) << entity << "." << attribute;
            }
        }
        EXPECT_TRUE(found) << entity << "." << attribute;
    }
}

// The bundle's model with every integer attribute 32-bit, as counts were before.
Ref<ManagedObjectModel> thirtyTwoBitModel() {
    std::ifstream in(test::sourceDirectory() + "/bundle/lunavexa.lvmodel", std::ios::binary);
    std::ostringstream read;
    read << in.rdbuf();
    std::string text = read.str();
    for (std::size_t at = text.find("\"integer64\""); at != std::string::npos; at = text.find("\"integer64\"", at)) {
        text.replace(at, 11, "\"integer32\"");
    }
    Ref<Error> error;
    auto model = ManagedObjectModel::modelFromText(text, &error);
    EXPECT_TRUE(model) << test::describe(error);
    return model;
}

// A file written with the 32-bit model opens through the auto-migrating set-up with its rows, which then
// take 64-bit counts.
TEST_F(CountWidths, AFileOfThe32BitModelMigratesWithItsRows) {
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
        ASSERT_TRUE(context->save(&error)) << test::describe(error);
    }
    RecordStack::setupCoreDataStackWithAutoMigratingSqliteStoreNamed("lunavexa.sqlite");
    ASSERT_TRUE(RS_defaultPersistentStore());
    auto shops = Taobao::RS_findAllInContext(RS_defaultContext());
    ASSERT_TRUE(shops && shops->size() == 1u);
    Ref<Taobao> shop = (*shops)[0];
    EXPECT_EQ(shop->t_id(), Value("kept"));
    EXPECT_EQ(shop->saleCount(), Value(7));
    shop->setSaleCount(Value(kBig));
    RS_saveToPersistentStoreAndWait(RS_defaultContext());
    EXPECT_EQ(column("Taobao", "saleCount"), std::vector<std::string>{std::to_string(kBig)});
}

}  // namespace
}  // namespace lv

// The content models: which JSON keys each reads, the date, price and count rules, the copy pairs,
// whole fixture replies mapped item by item, and the items the adapter refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <string>
#include <vector>

#include "content/content_models.h"
#include "content_test_support.h"
#include "mapping/errors.h"
#include "mapping/json_adapter.h"
#include "platform/base/clock.h"
#include "support/civil_time.h"

namespace lv {
namespace {

using test::DeviceSettings;
using test::fixtureItems;
using test::wallClock;

std::vector<std::string> keysOf(const Dictionary& map) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : map) keys.push_back(key);
    return keys;
}

std::vector<std::string> sorted(std::vector<std::string> keys) {
    std::sort(keys.begin(), keys.end());
    return keys;
}

// ---- key paths and copy pairs ----

struct ModelKeys {
    const char* model;
    std::vector<std::string> jsonKeys;  // in declaration order
    bool hasSortWeight;
};

const std::vector<ModelKeys>& modelKeys() {
    static const std::vector<ModelKeys> table = {
        {"JM_Microblog",
         {"attitudes_count", "comments_count", "created_at", "idstr", "profileImageUrl", "reposts_count", "screenName",
          "sourceName", "text", "thumbnail_pic", "type", "uid", "update_time"},
         true},
        {"JM_Toptenz",
         {"album", "album_cn", "artist", "artist_cn", "avatar", "extern_link", "rank", "sid", "title", "title_cn", "type",
          "update_time", "translate", "currentLanguage"},
         false},
        {"JM_Taobao",
         {"t_id", "commentCount", "imgSrc", "link", "name", "price", "saleCount", "store", "type", "update_time"},
         false},
        {"JM_News",
         {"cat_name", "createTime", "detailPageLink", "msgId", "tag_name", "thumbLink", "title", "update_time"},
         false},
        {"JM_Teleplay",
         {"actor", "alias", "area", "director", "entryId", "firstTime", "imgSrc", "info", "is_end", "last_update_time",
          "titleCn", "titleEn", "totalCount", "tvStation", "type", "update_time", "writer", "playLinks"},
         true},
        {"JM_Novel", {"author", "nid", "novel_desc", "picLink", "title", "update_time"}, false},
        {"JM_Video", {"author", "createTime", "imgSrc", "playCount", "link", "title", "type", "update_time"}, true},
    };
    return table;
}

// Makes sure every content model class is registered before a test looks one up by name.
void registerModels() {
    JM_Microblog::runtimeClass();
    JM_Toptenz::runtimeClass();
    JM_Taobao::runtimeClass();
    JM_News::runtimeClass();
    JM_Teleplay::runtimeClass();
    JM_Novel::runtimeClass();
    JM_Video::runtimeClass();
}

Ref<BaseJMModel> newModel(const char* name) {
    registerModels();
    const ClassInfo* cls = classNamed(name);
    EXPECT_TRUE(cls) << name;
    return cls ? std::dynamic_pointer_cast<BaseJMModel>(cls->create()) : nullptr;
}

TEST(ContentModelKeys, KeyPathsNameEveryMappedPropertyByItsOwnName) {
    registerModels();
    for (const ModelKeys& entry : modelKeys()) {
        SCOPED_TRACE(entry.model);
        const ClassInfo* cls = classNamed(entry.model);
        ASSERT_TRUE(cls);
        EXPECT_TRUE(cls->isSubclassOf("BaseJMModel"));
        EXPECT_TRUE(cls->conformsTo(kJMJSONSerializingProtocol));
        const auto* hook = cls->findClassHook<JMKeyPathsHook>("JSONKeyPathsByPropertyKey");
        ASSERT_TRUE(hook);
        const Dictionary map = (*hook)();
        EXPECT_EQ(keysOf(map), sorted(entry.jsonKeys));
        for (const auto& [key, path] : map) EXPECT_EQ(path, Value(key)) << key;
        // The adapter accepts the map (every key is a property key).
        EXPECT_TRUE(JMJSONAdapter::adapterWithModelClass(cls));
    }
}

TEST(ContentModelKeys, PropertiesAreStrongNonatomicWithUnderscoredInstanceVariables) {
    registerModels();
    for (const ModelKeys& entry : modelKeys()) {
        SCOPED_TRACE(entry.model);
        const ClassInfo* cls = classNamed(entry.model);
        std::vector<std::string> declared;
        for (const PropertyInfo& p : cls->ownProperties()) {
            declared.push_back(p.name);
            EXPECT_TRUE(p.isObject()) << p.name;
            EXPECT_FALSE(p.readOnly) << p.name;
            EXPECT_EQ(p.ivarName, "_" + p.name);
            EXPECT_EQ(p.attributes, "T" + p.typeEncoding + ",&,N,V_" + p.name);
        }
        std::vector<std::string> expected = entry.jsonKeys;
        if (entry.hasSortWeight) expected.push_back("sortWeight");
        EXPECT_EQ(declared, expected);
        EXPECT_EQ(JMModel::propertyKeys(cls).keys(), expected);
    }
}

TEST(ContentModelKeys, CopyPairsAreOneIdentityPairPerPropertyInDeclarationOrder) {
    const std::vector<std::pair<const char*, std::size_t>> counts = {
        {"JM_Microblog", 14}, {"JM_Toptenz", 14}, {"JM_Taobao", 10}, {"JM_News", 8},
        {"JM_Teleplay", 19},  {"JM_Novel", 6},    {"JM_Video", 9}};
    for (const auto& [name, count] : counts) {
        SCOPED_TRACE(name);
        auto model = newModel(name);
        ASSERT_TRUE(model);
        const Array pairs = model->propertiesList();
        ASSERT_EQ(pairs.size(), count);
        const auto& own = model->modelClass()->ownProperties();
        for (std::size_t i = 0; i < pairs.size(); ++i) {
            ASSERT_TRUE(pairs[i].isDictionary());
            ASSERT_EQ(pairs[i].dictionary().size(), 1u);
            const auto& [modelKey, entityKey] = *pairs[i].dictionary().begin();
            EXPECT_EQ(modelKey, own[i].name);
            EXPECT_EQ(entityKey, Value(own[i].name));
        }
    }
    EXPECT_TRUE(BaseJMModel().propertiesList().empty());
}

TEST(ContentModelKeys, TransformersExistExactlyForTheDatePriceAndCountProperties) {
    const std::vector<std::pair<const char*, std::vector<std::string>>> expected = {
        {"JM_Microblog", {"created_at", "update_time"}},
        {"JM_Toptenz", {"update_time"}},
        {"JM_Taobao", {"price", "update_time"}},
        {"JM_News", {"createTime", "update_time"}},
        {"JM_Teleplay", {"last_update_time", "totalCount", "update_time"}},
        {"JM_Novel", {"update_time"}},
        {"JM_Video", {"update_time"}}};
    registerModels();
    for (const auto& [name, keys] : expected) {
        SCOPED_TRACE(name);
        const ClassInfo* cls = classNamed(name);
        std::vector<std::string> found;
        for (const std::string& key : JMModel::propertyKeys(cls)) {
            if (cls->respondsToClassHook(key + "JSONTransformer")) found.push_back(key);
        }
        EXPECT_EQ(sorted(found), keys);
        EXPECT_FALSE(cls->respondsToClassHook("JSONTransformerForKey:"));
    }
}

// ---- date rules ----

enum class Rule { One, Two, Three, Four };

struct DateProperty {
    const char* model;
    const char* key;
    Rule rule;
};

const DateProperty kDateProperties[] = {
    {"JM_Microblog", "update_time", Rule::One}, {"JM_Microblog", "created_at", Rule::Three},
    {"JM_Toptenz", "update_time", Rule::Two},   {"JM_Taobao", "update_time", Rule::One},
    {"JM_News", "createTime", Rule::Two},       {"JM_News", "update_time", Rule::Two},
    {"JM_Teleplay", "update_time", Rule::One},  {"JM_Teleplay", "last_update_time", Rule::Three},
    {"JM_Novel", "update_time", Rule::Four},    {"JM_Video", "update_time", Rule::One},
};

Ref<JMReversibleValueTransformer> transformerFor(const char* model, const std::string& key) {
    registerModels();
    const ClassInfo* cls = classNamed(model);
    const auto* hook = cls->findClassHook<Ref<JMReversibleValueTransformer>()>(key + "JSONTransformer");
    EXPECT_TRUE(hook) << model << " " << key;
    return hook ? (*hook)() : nullptr;
}

// Runs the forward block as the adapter does and checks that it never reports a failure.
Value forward(const JMReversibleValueTransformer& transformer, const Value& input) {
    bool success = true;
    Ref<Error> error;
    Value out = transformer.transformedValue(input, &success, &error);
    EXPECT_TRUE(success) << input.description();
    EXPECT_FALSE(error) << input.description();
    return out;
}

struct Zone {
    const char* name;
    int offset;
};

class DateRules : public ::testing::TestWithParam<Zone> {
protected:
    DeviceSettings device_{GetParam().name, "en_US"};
    Date local(int d, int h, int mi, int s) const { return wallClock(2015, 3, d, h, mi, s, GetParam().offset); }
};

INSTANTIATE_TEST_SUITE_P(TwoZones, DateRules,
                         ::testing::Values(Zone{"Asia/Shanghai", 8 * 3600}, Zone{"America/Los_Angeles", -8 * 3600}),
                         [](const auto& param) { return std::string(param.param.offset > 0 ? "Shanghai" : "LosAngeles"); });

TEST_P(DateRules, EachPropertyReadsTheServiceTextsByItsRule) {
    const Date now = local(6, 12, 0, 30);
    ScopedClock clock([&] { return now.since1970(); });
    const Value hour(local(7, 9, 0, 0));
    const Value midnight(local(7, 0, 0, 0));
    const Value second(local(7, 9, 5, 0));
    const Value nowValue(now);
    const Value none;

    struct Case {
        Value input;
        Value rule1, rule2, rule3, rule4;
    };
    const std::vector<Case> cases = {
        {Value("2015-03-07:09"), hour, hour, none, hour},            // 13 characters
        {Value("2015-03-07"), none, midnight, none, midnight},       // 10: formatter 1 gives nothing for rule 1
        {Value("2015-3-7 09:05:00"), second, second, second, second},
        {Value("2015-03-07 09:05:00"), second, second, second, second},
        {Value(""), none, none, nowValue, nowValue},
        {Value::null(), none, none, nowValue, nowValue},              // null reaches the block as nil
        {Value("2015-03-07 09"), none, none, none, none},             // 13, but a blank where the colon belongs
        {Value("07/03/2015"), none, none, none, none},
        {Value("2015-03-07T09:05:00Z"), none, none, none, none},
        {Value(20150307), none, none, none, none},                    // not text: nothing, and no failure
    };
    for (const DateProperty& property : kDateProperties) {
        auto transformer = transformerFor(property.model, property.key);
        ASSERT_TRUE(transformer);
        for (const Case& c : cases) {
            const Value& expected = property.rule == Rule::One     ? c.rule1
                                    : property.rule == Rule::Two   ? c.rule2
                                    : property.rule == Rule::Three ? c.rule3
                                                                   : c.rule4;
            Value input = c.input.isNull() ? Value() : c.input;
            EXPECT_EQ(forward(*transformer, input), expected)
                << property.model << "." << property.key << " <- " << c.input.description();
        }
    }
}

TEST_P(DateRules, ReverseWritesTheSecondFormattersText) {
    for (const DateProperty& property : kDateProperties) {
        auto transformer = transformerFor(property.model, property.key);
        ASSERT_TRUE(transformer);
        EXPECT_EQ(transformer->reverseTransformedValue(Value(local(5, 9, 7, 2))), Value("2015-3-5 09:07:02"));
        EXPECT_EQ(transformer->reverseTransformedValue(Value()), Value());
    }
}

TEST_P(DateRules, FormattersReadLocalTimesOfTheDevice) {
    EXPECT_EQ(BaseJMModel::dateFormatter1().dateFormat(), "yyyy-MM-dd:HH");
    EXPECT_EQ(BaseJMModel::dateFormatter2().dateFormat(), "yyyy-M-d HH:mm:ss");
    EXPECT_EQ(BaseJMModel::dateFormatter3().dateFormat(), "yyyy-MM-dd");
    EXPECT_EQ(BaseJMModel::dateFormatter1().dateFromString("2015-03-07:09"), local(7, 9, 0, 0));
    EXPECT_EQ(BaseJMModel::dateFormatter2().dateFromString("2015-3-7 09:05:00"), local(7, 9, 5, 0));
    EXPECT_EQ(BaseJMModel::dateFormatter2().dateFromString("2015-03-07 09:05:00"), local(7, 9, 5, 0));
    EXPECT_EQ(BaseJMModel::dateFormatter3().dateFromString("2015-03-07"), local(7, 0, 0, 0));
    EXPECT_FALSE(BaseJMModel::dateFormatter1().dateFromString("2015-03-07 09"));
    EXPECT_FALSE(BaseJMModel::dateFormatter2().dateFromString("2015-03-07"));
    EXPECT_FALSE(BaseJMModel::dateFormatter3().dateFromString("2015/03/07"));
}

// ---- price and count ----

TEST(PriceAndCount, PriceKeepsItsDecimalDigitsExactly) {
    auto price = JM_Taobao::priceJSONTransformer();
    const Value read = forward(*price, Value("199.90"));
    ASSERT_TRUE(read.isDecimal());
    EXPECT_EQ(read.decimal()->mantissa(), 1999u);
    EXPECT_EQ(read.decimal()->exponent(), -1);
    EXPECT_EQ(price->reverseTransformedValue(read), Value("199.9"));
    EXPECT_EQ(forward(*price, Value("0.07")).decimal()->stringValue(), "0.07");
    // Read from the start of the text, as the decimal reading of a text does.
    EXPECT_EQ(forward(*price, Value("35.5元")).decimal()->stringValue(), "35.5");
}

TEST(PriceAndCount, PriceThatIsNotANumberLeavesThePropertyEmpty) {
    auto price = JM_Taobao::priceJSONTransformer();
    for (const Value& input : {Value(), Value(""), Value("免费"), Value(true), Value(Array{}), Value(Dictionary{})}) {
        EXPECT_EQ(forward(*price, input), Value()) << input.description();
    }
}

TEST(PriceAndCount, PriceSentAsAJsonNumberIsReadAsTheSameDecimal) {
    auto price = JM_Taobao::priceJSONTransformer();
    EXPECT_EQ(forward(*price, Value(199.9)).decimal()->stringValue(), "199.9");
    EXPECT_EQ(forward(*price, Value(std::int64_t{89})).decimal()->stringValue(), "89");
}

TEST(PriceAndCount, TotalCountKeepsTheIntegerPartAsA32BitNumber) {
    auto count = JM_Teleplay::totalCountJSONTransformer();
    struct Case {
        Value input;
        Value expected;
    };
    const std::vector<Case> cases = {
        {Value("24"), Value(24)},          {Value("24.9"), Value(24)},   {Value("-3.7"), Value(-3)},
        {Value("16.0"), Value(16)},        {Value(" 12集"), Value(12)},  {Value("4294967297"), Value(1)},
        {Value(std::int64_t{24}), Value(24)}, {Value(30.5), Value(30)},  {Value("全集"), Value()},
        {Value(""), Value()},              {Value(), Value()},           {Value(false), Value()},
    };
    for (const Case& c : cases) {
        const Value out = forward(*count, c.input);
        EXPECT_EQ(out, c.expected) << c.input.description();
        if (out.isNumber()) {
            EXPECT_EQ(out.number()->kind(), NumberKind::Int32);
        }
    }
    EXPECT_EQ(count->reverseTransformedValue(Value(24)), Value("24"));
}

// ---- whole replies ----

class FixtureReplies : public ::testing::Test {
protected:
    DeviceSettings device_{"Asia/Shanghai", "zh_CN"};
    static Date local(int d, int h, int mi, int s) { return wallClock(2015, 3, d, h, mi, s, 8 * 3600); }

    template <class T>
    std::vector<Ref<T>> mapAll(const std::string& fixture) {
        std::vector<Ref<T>> models;
        for (const Value& item : fixtureItems(fixture)) {
            Ref<Error> error;
            auto model = JMJSONAdapter::modelOfClass<T>(item, &error);
            EXPECT_TRUE(model) << fixture << ": " << test::describe(error);
            models.push_back(model);
        }
        return models;
    }
};

TEST_F(FixtureReplies, NewsItemsMapWithTheirFourCreationTimeForms) {
    auto news = mapAll<JM_News>("newsList");
    ASSERT_EQ(news.size(), 6u);
    EXPECT_EQ(news[0]->cat_name(), Value("ent"));
    EXPECT_EQ(news[0]->msgId(), Value("1001"));
    EXPECT_EQ(news[0]->title(), Value("首尔春季时装周开幕，多位明星现身秀场"));
    EXPECT_EQ(news[0]->tag_name(), Value("时尚"));
    EXPECT_EQ(news[0]->detailPageLink(), Value("http://127.0.0.1:8765/n/1001"));
    EXPECT_EQ(news[0]->createTime(), Value(local(5, 8, 30, 0)));
    EXPECT_EQ(news[0]->update_time(), Value(local(5, 9, 7, 2)));
    EXPECT_EQ(news[2]->createTime(), Value(local(5, 6, 0, 0)));   // "2015-03-05:06"
    EXPECT_EQ(news[4]->createTime(), Value(local(4, 0, 0, 0)));   // "2015-03-04"
    EXPECT_EQ(news[5]->createTime(), Value(local(4, 18, 5, 30)));  // "2015-3-4 18:05:30"
    EXPECT_EQ(news[1]->msgId(), news[3]->msgId());
}

TEST_F(FixtureReplies, ChartItemsKeepTheirNumbers) {
    auto rows = mapAll<JM_Toptenz>("rank");
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[0]->rank(), Value(1));
    EXPECT_EQ(rows[0]->sid(), Value(4));
    EXPECT_EQ(rows[0]->type(), Value(0));
    EXPECT_EQ(rows[0]->translate(), Value(1));
    EXPECT_EQ(rows[0]->currentLanguage(), Value(0));
    EXPECT_EQ(rows[0]->artist_cn(), Value("IU"));
    EXPECT_EQ(rows[0]->update_time(), Value(local(5, 9, 0, 0)));
    EXPECT_EQ(rows[1]->extern_link(), Value(""));
    EXPECT_EQ(rows[3]->rank().intValue(), 2);
}

TEST_F(FixtureReplies, ShopItemsReadExactPricesAndHourTimes) {
    auto items = mapAll<JM_Taobao>("taobao");
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0]->price().decimal()->stringValue(), "199.9");
    EXPECT_EQ(items[1]->price().decimal()->stringValue(), "89");
    EXPECT_EQ(items[2]->price().decimal()->stringValue(), "35.5");
    EXPECT_EQ(items[0]->update_time(), Value(local(5, 9, 0, 0)));  // "2015-03-05:09", rule 1
    EXPECT_EQ(items[1]->update_time(), Value(local(5, 9, 7, 2)));
    EXPECT_EQ(items[0]->saleCount(), Value(1024));
    EXPECT_EQ(items[0]->store(), Value("beauty"));
    EXPECT_EQ(items[0]->type(), Value("new"));
}

TEST_F(FixtureReplies, FeedItemsNeverReadSortWeightAndAnEmptyCreationTimeIsNow) {
    const Date now = local(6, 10, 0, 0);
    ScopedClock clock([&] { return now.since1970(); });
    auto posts = mapAll<JM_Microblog>("microblog");
    ASSERT_EQ(posts.size(), 3u);
    EXPECT_EQ(posts[0]->created_at(), Value(local(5, 9, 7, 2)));
    EXPECT_EQ(posts[1]->created_at(), Value(local(5, 8, 15, 40)));
    EXPECT_EQ(posts[2]->created_at(), Value(now));
    EXPECT_EQ(posts[1]->thumbnail_pic(), Value());  // absent in the item
    for (const auto& post : posts) EXPECT_EQ(post->sortWeight(), Value());
    EXPECT_EQ(posts[0]->attitudes_count(), Value(12));
    EXPECT_EQ(posts[0]->type(), Value("hot"));
}

TEST_F(FixtureReplies, VideoCreationTimeStaysText) {
    auto videos = mapAll<JM_Video>("video");
    ASSERT_EQ(videos.size(), 3u);
    EXPECT_EQ(videos[0]->createTime(), Value("2015-03-05"));
    EXPECT_EQ(videos[0]->playCount(), Value(3456));
    EXPECT_EQ(videos[1]->update_time(), Value(local(5, 9, 0, 0)));
    EXPECT_EQ(videos[2]->update_time(), Value(local(4, 20, 0, 0)));
}

TEST_F(FixtureReplies, DramaItemsReadCountsLinksAndUpdateTimes) {
    const Date now = local(6, 10, 0, 0);
    ScopedClock clock([&] { return now.since1970(); });
    auto dramas = mapAll<JM_Teleplay>("media");
    ASSERT_EQ(dramas.size(), 3u);
    EXPECT_EQ(dramas[0]->totalCount(), Value(24));
    EXPECT_EQ(dramas[2]->totalCount(), Value(16));
    EXPECT_EQ(dramas[0]->playLinks(), Value(Dictionary{{"1", "http://127.0.0.1:8765/tv77/e1"},
                                                       {"2", "http://127.0.0.1:8765/tv77/e2"},
                                                       {"3", "http://127.0.0.1:8765/tv77/e3"}}));
    EXPECT_EQ(dramas[2]->playLinks(), Value(Dictionary{}));
    EXPECT_EQ(dramas[0]->last_update_time(), Value(local(5, 22, 0, 0)));
    EXPECT_EQ(dramas[1]->last_update_time(), Value(now));                 // "" under rule 3
    EXPECT_EQ(dramas[1]->update_time(), Value(local(5, 21, 0, 0)));       // "2015-03-05:21" under rule 1
    EXPECT_EQ(dramas[0]->is_end(), Value("no"));
    EXPECT_EQ(dramas[0]->firstTime(), Value("2015-01-07"));
}

TEST_F(FixtureReplies, NovelItemsReadTheSynopsisOnlyUnderItsRecordKey) {
    const Date now = local(6, 10, 0, 0);
    ScopedClock clock([&] { return now.since1970(); });
    const Array items = fixtureItems("novel");
    ASSERT_EQ(items.size(), 3u);
    // As sent, "description" is no key of the model.
    auto raw = JMJSONAdapter::modelOfClass<JM_Novel>(items[0], nullptr);
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->novel_desc(), Value());
    // Moved to "novel_desc" first, as the request processor does.
    std::vector<Ref<JM_Novel>> novels;
    for (const Value& item : items) {
        Dictionary prepared = item.dictionary();
        Value description = prepared.get("description");
        prepared.remove("description");
        if (!description.isNil()) prepared.set("novel_desc", description);
        novels.push_back(JMJSONAdapter::modelOfClass<JM_Novel>(Value(prepared), nullptr));
        ASSERT_TRUE(novels.back());
    }
    EXPECT_EQ(novels[0]->novel_desc(), Value("一个来自首尔的练习生，在异国他乡追逐梦想的故事。"));
    EXPECT_EQ(novels[2]->novel_desc(), Value());
    EXPECT_EQ(novels[0]->update_time(), Value(local(5, 0, 0, 0)));  // rule 4, ten characters
    EXPECT_EQ(novels[1]->update_time(), Value(local(5, 9, 0, 0)));
    EXPECT_EQ(novels[2]->update_time(), Value(now));
}

TEST_F(FixtureReplies, ModelsTurnBackIntoJsonWithTheReverseTexts) {
    auto news = mapAll<JM_News>("newsList");
    auto json = JMJSONAdapter::JSONDictionaryFromModel(news[0]);
    ASSERT_TRUE(json);
    EXPECT_EQ(json->get("createTime"), Value("2015-3-5 08:30:00"));
    EXPECT_EQ(json->get("msgId"), Value("1001"));
    auto items = mapAll<JM_Taobao>("taobao");
    EXPECT_EQ(JMJSONAdapter::JSONDictionaryFromModel(items[0])->get("price"), Value("199.9"));
    auto dramas = mapAll<JM_Teleplay>("media");
    EXPECT_EQ(JMJSONAdapter::JSONDictionaryFromModel(dramas[0])->get("totalCount"), Value("24"));
}

// ---- items the adapter refuses ----

struct Refused {
    const char* name;
    const char* model;
    Value item;
    const char* domain;
    std::int64_t code;
};

TEST(UnmappableItems, GiveNoModelAndTheAdaptersError) {
    registerModels();
    const std::vector<Refused> cases = {
        {"number for text", "JM_News", Value::dictionary({{"msgId", 1001}, {"title", "标题"}}),
         "JMTransformerErrorHandlingErrorDomain", 1},
        {"text for a number", "JM_Toptenz", Value::dictionary({{"rank", "1"}, {"sid", 4}}),
         "JMTransformerErrorHandlingErrorDomain", 1},
        {"list for links", "JM_Teleplay", Value::dictionary({{"playLinks", Value::array({"a", "b"})}}),
         "JMTransformerErrorHandlingErrorDomain", 1},
        {"object for text", "JM_Video", Value::dictionary({{"title", Value::dictionary({{"zh", "标题"}})}}),
         "JMTransformerErrorHandlingErrorDomain", 1},
        {"text item", "JM_Novel", Value("not an item"), "JMJSONAdapterErrorDomain", 3},
        {"list item", "JM_Taobao", Value::array({Value::dictionary({{"name", "x"}})}), "JMJSONAdapterErrorDomain", 3},
        {"null item", "JM_Microblog", Value::null(), "JMJSONAdapterErrorDomain", 3},
    };
    for (const Refused& c : cases) {
        SCOPED_TRACE(c.name);
        Ref<Error> error;
        auto model = JMJSONAdapter::modelOfClass(classNamed(c.model), c.item, &error);
        EXPECT_FALSE(model);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), c.domain);
        EXPECT_EQ(error->code(), c.code);
    }
}

TEST(UnmappableItems, BadDatesPricesAndCountsNeverFailTheItem) {
    DeviceSettings device("Asia/Shanghai", "zh_CN");
    Ref<Error> error;
    auto item = JMJSONAdapter::modelOfClass<JM_Taobao>(
        Value::dictionary({{"name", "面膜"}, {"price", "价格面议"}, {"update_time", 20150305}}), &error);
    ASSERT_TRUE(item) << test::describe(error);
    EXPECT_EQ(item->name(), Value("面膜"));
    EXPECT_EQ(item->price(), Value());
    EXPECT_EQ(item->update_time(), Value());
    auto drama = JMJSONAdapter::modelOfClass<JM_Teleplay>(
        Value::dictionary({{"titleCn", "新剧"}, {"totalCount", Value::null()}, {"update_time", "昨天"}}), &error);
    ASSERT_TRUE(drama) << test::describe(error);
    EXPECT_EQ(drama->totalCount(), Value());
    EXPECT_EQ(drama->update_time(), Value());
}

TEST(UnmappableItems, MissingKeysLeavePropertiesEmptyAndOtherKeysAreIgnored) {
    auto news = JMJSONAdapter::modelOfClass<JM_News>(
        Value::dictionary({{"msgId", "9"}, {"extra", 1}, {"sortWeight", 3}, {"createTime", Value::null()}}), nullptr);
    ASSERT_TRUE(news);
    EXPECT_EQ(news->msgId(), Value("9"));
    EXPECT_EQ(news->title(), Value());
    EXPECT_EQ(news->createTime(), Value());  // null under rule 2
    auto video = JMJSONAdapter::modelOfClass<JM_Video>(Value::dictionary({{"sortWeight", 7}, {"title", "t"}}), nullptr);
    ASSERT_TRUE(video);
    EXPECT_EQ(video->sortWeight(), Value());
}

}  // namespace
}  // namespace lv

namespace lv {
namespace {

// Replies are mapped wherever the caller runs; first use of the classes and the formatters may happen
// on several threads at once.
TEST(ConcurrentMapping, ThreadsMapTheSameRepliesAlike) {
    DeviceSettings device("Asia/Shanghai", "zh_CN");
    const Array news = fixtureItems("newsList");
    const Array dramas = fixtureItems("media");
    const Date expected = wallClock(2015, 3, 5, 8, 30, 0, 8 * 3600);
    std::vector<std::thread> threads;
    std::atomic<int> mapped{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < 20; ++round) {
                for (const Value& item : news) {
                    auto model = JMJSONAdapter::modelOfClass<JM_News>(item, nullptr);
                    if (model && model->createTime().isDate()) ++mapped;
                    if (model && model->msgId() == Value("1001") && model->createTime() != Value(expected)) mapped = -1000000;
                }
                for (const Value& item : dramas) {
                    if (JMJSONAdapter::modelOfClass<JM_Teleplay>(item, nullptr)) ++mapped;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mapped.load(), 4 * 20 * static_cast<int>(news.size() + dramas.size()));
}

}  // namespace
}  // namespace lv

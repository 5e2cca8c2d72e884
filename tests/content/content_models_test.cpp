// The content models: the date, price and count rules, the items the adapter refuses, and mapping on
// several threads at once. Whole fixture replies are followed into the file in content_records_test.
#include <gtest/gtest.h>

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

// The service's zone is looked up in the user defaults: a sandbox of this binary's own, not the home.
class OwnSandbox : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_TRUE(Sandbox::setRoot(dir_.path().string())); }

private:
    test::TempDir dir_;
};
[[maybe_unused]] const auto* const kOwnSandbox = ::testing::AddGlobalTestEnvironment(new OwnSandbox);

// ---- date rules ----

// Each date property and the rule (1 to 4) it reads the service's texts by.
struct DateProperty { const ClassInfo* (*model)(); const char* key; int rule; };

const DateProperty kDateProperties[] = {
    {&JM_Microblog::runtimeClass, "update_time", 1}, {&JM_Microblog::runtimeClass, "created_at", 3},
    {&JM_Toptenz::runtimeClass, "update_time", 2},   {&JM_Taobao::runtimeClass, "update_time", 1},
    {&JM_News::runtimeClass, "createTime", 2},       {&JM_News::runtimeClass, "update_time", 2},
    {&JM_Teleplay::runtimeClass, "update_time", 1},  {&JM_Teleplay::runtimeClass, "last_update_time", 3},
    {&JM_Novel::runtimeClass, "update_time", 4},     {&JM_Video::runtimeClass, "update_time", 1},
};

// Runs the forward block as the adapter does and checks that it never reports a failure.
Value forward(const JMReversibleValueTransformer& transformer, const Value& input) {
    bool success = true;
    Ref<Error> error;
    Value out = transformer.transformedValue(input, &success, &error);
    EXPECT_TRUE(success) << input.description();
    EXPECT_FALSE(error) << input.description();
    return out;
}

class DateRules : public ::testing::TestWithParam<std::pair<const char*, int>> {
protected:
    DeviceSettings device_{GetParam().first, "en_US"};
    Date local(int d, int h, int mi, int s) const { return wallClock(2015, 3, d, h, mi, s, GetParam().second); }
};

INSTANTIATE_TEST_SUITE_P(TwoZones, DateRules,
                         ::testing::Values(std::pair("Asia/Shanghai", 8 * 3600), std::pair("America/Los_Angeles", -8 * 3600)),
                         [](const auto& param) { return std::string(param.param.second > 0 ? "Shanghai" : "LosAngeles"); });

TEST_P(DateRules, EachPropertyReadsAndWritesTheServiceTextsByItsRule) {
    const Date now = local(6, 12, 0, 30);
    ScopedClock clock([&] { return now.since1970(); });
    const Value hour(local(7, 9, 0, 0));
    const Value midnight(local(7, 0, 0, 0));
    const Value second(local(7, 9, 5, 0));
    const Value nowValue(now);
    const Value none;

    struct Case { Value input; Value byRule[4]; };
    const std::vector<Case> cases = {
        {Value("2015-03-07:09"), {hour, hour, none, hour}},       // 13 characters
        {Value("2015-03-07"), {none, midnight, none, midnight}},  // 10: formatter 1 gives nothing for rule 1
        {Value("2015-3-7 09:05:00"), {second, second, second, second}}, {Value("2015-03-07 09:05:00"), {second, second, second, second}},
        {Value(""), {none, none, nowValue, nowValue}}, {Value::null(), {none, none, nowValue, nowValue}},  // null reaches the block as nil
        {Value("2015-03-07 09"), {none, none, none, none}},  // 13, but a blank where the colon belongs
        {Value("07/03/2015"), {none, none, none, none}}, {Value("2015-03-07T09:05:00Z"), {none, none, none, none}},
        {Value(20150307), {none, none, none, none}},  // not text: nothing, and no failure
    };
    for (const DateProperty& property : kDateProperties) {
        SCOPED_TRACE(std::string(property.model()->name()) + "." + property.key);
        const auto* hook = property.model()->findClassHook<Ref<JMReversibleValueTransformer>()>(std::string(property.key) + "JSONTransformer");
        ASSERT_TRUE(hook);
        auto transformer = (*hook)();
        // Back to text with the second formatter.
        EXPECT_EQ(transformer->reverseTransformedValue(Value(local(5, 9, 7, 2))), Value("2015-3-5 09:07:02"));
        EXPECT_EQ(transformer->reverseTransformedValue(Value()), Value());
        for (const Case& c : cases) {
            const Value& expected = c.byRule[property.rule - 1];
            Value input = c.input.isNull() ? Value() : c.input;
            EXPECT_EQ(forward(*transformer, input), expected) << c.input.description();
        }
    }
}

// ---- price and count ----

// Prices keep their exact decimal digits (mantissa and exponent as read), read from the start of the text
// as the decimal reading of a text does, a JSON number as the same decimal; counts keep the integer part
// as a 64-bit number (one past 64 bits stays its decimal, for the store to refuse). Anything else leaves the property empty; back to text as the digits.
TEST(PriceAndCount, ReadFromTheStartOfTheTextOrStayEmpty) {
    auto price = JM_Taobao::priceJSONTransformer();
    auto count = JM_Teleplay::totalCountJSONTransformer();
    auto read = [](const JMReversibleValueTransformer& transformer, const Value& input) {
        const Value out = forward(transformer, input);
        if (const Decimal* decimal = out.decimal()) return decimal->stringValue() + "e" + std::to_string(decimal->exponent());
        if (out.isNumber()) return out.description() + (out.number()->kind() == NumberKind::Int32 ? " int32" : " wider");
        return out.isNil() ? std::string("<none>") : out.description();
    };
    const std::pair<Value, const char*> prices[] = {
        {Value("199.90"), "199.9e-1"}, {Value("0.07"), "0.07e-2"}, {Value("35.5元"), "35.5e-1"}, {Value(199.9), "199.9e-1"},
        {Value(std::int64_t{89}), "89e0"}, {Value("123456789012345678901.5"), "123456789012345678901.5e-1"}, {Value(), "<none>"}, {Value(""), "<none>"}, {Value("免费"), "<none>"},
        {Value(true), "<none>"}, {Value(Array{}), "<none>"}, {Value(Dictionary{}), "<none>"},
    };
    for (const auto& [input, expected] : prices) EXPECT_EQ(read(*price, input), expected) << input.description();
    const std::pair<Value, const char*> counts[] = {
        {Value("24"), "24 wider"}, {Value("24.9"), "24 wider"}, {Value("-3.7"), "-3 wider"}, {Value("16.0"), "16 wider"},
        {Value(" 12集"), "12 wider"}, {Value("4294967297"), "4294967297 wider"}, {Value("3000000000"), "3000000000 wider"},
        {Value("-3000000000.5"), "-3000000000 wider"}, {Value("9223372036854775807"), "9223372036854775807 wider"},
        {Value("9223372036854775808"), "9223372036854775808e0"}, {Value(std::int64_t{24}), "24 wider"},
        {Value(30.5), "30 wider"}, {Value("全集"), "<none>"}, {Value(""), "<none>"}, {Value(), "<none>"}, {Value(false), "<none>"},
    };
    for (const auto& [input, expected] : counts) EXPECT_EQ(read(*count, input), expected) << input.description();
    EXPECT_EQ(price->reverseTransformedValue(forward(*price, Value("199.90"))), Value("199.9"));
    EXPECT_EQ(count->reverseTransformedValue(Value(24)), Value("24"));
}

// ---- items the adapter refuses ----

struct Refused { const char* name; const ClassInfo* (*model)(); Value item; const char* domain; std::int64_t code; };

TEST(UnmappableItems, GiveNoModelAndTheAdaptersError) {
    const char* const transformerDomain = "JMTransformerErrorHandlingErrorDomain";
    const std::vector<Refused> cases = {
        {"number for text", &JM_News::runtimeClass, Value::dictionary({{"msgId", 1001}, {"title", "标题"}}), transformerDomain, 1},
        {"text for a number", &JM_Toptenz::runtimeClass, Value::dictionary({{"rank", "1"}, {"sid", 4}}), transformerDomain, 1},
        {"list for links", &JM_Teleplay::runtimeClass, Value::dictionary({{"playLinks", Value::array({"a", "b"})}}), transformerDomain, 1},
        {"object for text", &JM_Video::runtimeClass, Value::dictionary({{"title", Value::dictionary({{"zh", "标题"}})}}), transformerDomain, 1},
        {"text item", &JM_Novel::runtimeClass, Value("not an item"), "JMJSONAdapterErrorDomain", 3},
        {"list item", &JM_Taobao::runtimeClass, Value::array({Value::dictionary({{"name", "x"}})}), "JMJSONAdapterErrorDomain", 3},
        {"null item", &JM_Microblog::runtimeClass, Value::null(), "JMJSONAdapterErrorDomain", 3},
    };
    for (const Refused& c : cases) {
        SCOPED_TRACE(c.name);
        Ref<Error> error;
        auto model = JMJSONAdapter::modelOfClass(c.model(), c.item, &error);
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

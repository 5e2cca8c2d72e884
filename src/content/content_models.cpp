#include "content/content_models.h"

#include <algorithm>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>

#include "platform/base/detail/value_text.h"
#include "platform/base/lifetime.h"
#include "platform/data/model.h"
#include "platform/storage/user_defaults.h"

namespace lv {

namespace {

enum class DateRule { ByLength13, DayHourOrSecond, NowOrSecond, NowDayHourOrSecond };

// The three formatters as dateFormatterN makes them, one set per thread, each read with the service's
// zone set at the call (the device's locale as before).
struct ServiceFormatters {
    DateFormatter byNumber[3] = {BaseJMModel::dateFormatter1(), BaseJMModel::dateFormatter2(),
                                 BaseJMModel::dateFormatter3()};
};

const DateFormatter& serviceFormatter(int n) {
    static auto& perThread = *new PerThread<ServiceFormatters>;  // never destroyed
    DateFormatter& formatter = perThread.get().byNumber[n - 1];
    formatter.setTimeZone(serviceTimeZone());
    return formatter;
}

// The text's length in UTF-16 units where it is at most 13 (the longest the rules tell apart), else
// 14: a text whose first 14 bytes are ASCII is longer than that without counting the rest.
std::size_t ruleLength(std::string_view text) {
    constexpr std::size_t kLongest = 13;
    if (text.size() > kLongest &&
        std::all_of(text.begin(), text.begin() + kLongest + 1, [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        return kLongest + 1;
    }
    return utf16Length(text);
}

// The date of a service time text under the rule. A value that is neither text nor nil gives nil: the
// service sends these times as text, and a forward block never fails the item.
Value dateForRule(DateRule rule, const Value& value) {
    if (!value.isNil() && !value.isString()) return Value();
    const std::string_view text = ValueText::view(value);  // empty for nil
    const std::size_t length = ruleLength(text);  // characters (UTF-16 units), up to 14
    int formatter = 0;
    switch (rule) {
        case DateRule::ByLength13:
            formatter = length <= 13 ? 1 : 2;
            break;
        case DateRule::DayHourOrSecond:
            formatter = length <= 10 ? 3 : length <= 13 ? 1 : 2;
            break;
        case DateRule::NowOrSecond:
            if (length == 0) return Value(Date::now());
            formatter = 2;
            break;
        case DateRule::NowDayHourOrSecond:
            if (length == 0) return Value(Date::now());
            formatter = length <= 10 ? 3 : length <= 13 ? 1 : 2;
            break;
    }
    std::optional<Date> date = serviceFormatter(formatter).dateFromString(text);
    return date ? Value(*date) : Value();
}

Value dateText(const Value& value) {
    if (!value.isDate()) return Value();
    return Value(serviceFormatter(2).stringFromDate(*value.date()));
}

Ref<JMReversibleValueTransformer> dateTransformer(DateRule rule) {
    return JMValueTransformer::transformerUsingForwardBlock(
        [rule](const Value& value, bool*, Ref<Error>*) { return dateForRule(rule, value); },
        [](const Value& value, bool*, Ref<Error>*) { return dateText(value); });
}

// The decimal reading of a price or count: text read from its start as a decimal number (point as
// separator), or a JSON number taken exactly. Not-a-number and other kinds give nothing.
std::optional<Decimal> decimalReading(const Value& value) {
    std::optional<Decimal> decimal;
    if (value.isString()) {
        decimal = Decimal::fromString(value.string());
    } else if (const Decimal* d = value.decimal()) {
        decimal = *d;
    } else if (const Number* n = value.number(); n && !n->isBool()) {
        decimal = Decimal::fromNumber(*n);
    }
    if (decimal && decimal->isNaN()) return std::nullopt;
    return decimal;
}

}  // namespace

TimeZone serviceTimeZone() {
    static auto& mutex = *new std::mutex;                       // never destroyed
    static auto* rememberedName = new std::string;              // never destroyed
    static auto* remembered = new TimeZone(TimeZone::gmt());  // the zone of rememberedName
    const std::optional<std::string> name = UserDefaults::standardUserDefaults()->stringForKey(kServiceTimeZoneKey);
    if (!name || name->empty()) return TimeZone::defaultTimeZone();
    std::lock_guard lock(mutex);
    if (*name == *rememberedName) return *remembered;
    std::optional<TimeZone> zone = TimeZone::named(*name);
    if (!zone) return TimeZone::defaultTimeZone();  // a name no longer known
    *rememberedName = *name;
    *remembered = *zone;
    return *zone;
}

void rememberServiceTimeZone() {
    const Ref<UserDefaults> defaults = UserDefaults::standardUserDefaults();
    const std::optional<std::string> name = defaults->stringForKey(kServiceTimeZoneKey);
    if (name && TimeZone::named(*name)) return;
    const TimeZone device = TimeZone::defaultTimeZone();
    // A name that reads back as this very zone is kept. Any other (an abbreviation the table gives to
    // another zone, a rule from TZ, an unknown zone) is kept as its present offset, a name that reads
    // back: the texts are read and written in one zone whatever the device's zone becomes.
    const std::optional<TimeZone> again = TimeZone::named(device.name());
    const TimeZone kept = again && *again == device ? device : TimeZone::forSecondsFromGMT(device.secondsFromGMT());
    defaults->setObject(Value(kept.name()), kServiceTimeZoneKey);
}

// ---- JM_Microblog ----

const ClassInfo* JM_Microblog::runtimeClass() {
    static const ClassInfo* cls =
        defineModelClass<JM_Microblog, BaseJMModel>("JM_Microblog")
            .protocol(std::string(kJMJSONSerializingProtocol))
            .property("attitudes_count", &JM_Microblog::attitudes_count_, "Number", "&,N")
            .property("comments_count", &JM_Microblog::comments_count_, "Number", "&,N")
            .property("created_at", &JM_Microblog::created_at_, "Date", "&,N")
            .property("idstr", &JM_Microblog::idstr_, "String", "&,N")
            .property("profileImageUrl", &JM_Microblog::profileImageUrl_, "String", "&,N")
            .property("reposts_count", &JM_Microblog::reposts_count_, "Number", "&,N")
            .property("screenName", &JM_Microblog::screenName_, "String", "&,N")
            .property("sourceName", &JM_Microblog::sourceName_, "String", "&,N")
            .property("text", &JM_Microblog::text_, "String", "&,N")
            .property("thumbnail_pic", &JM_Microblog::thumbnail_pic_, "String", "&,N")
            .property("type", &JM_Microblog::type_, "String", "&,N")
            .property("uid", &JM_Microblog::uid_, "String", "&,N")
            .property("update_time", &JM_Microblog::update_time_, "Date", "&,N")
            .property("sortWeight", &JM_Microblog::sortWeight_, "Number", "&,N")
            .classMethod("JSONKeyPathsByPropertyKey", &JM_Microblog::JSONKeyPathsByPropertyKey)
            .classMethod("update_timeJSONTransformer", &JM_Microblog::update_timeJSONTransformer)
            .classMethod("created_atJSONTransformer", &JM_Microblog::created_atJSONTransformer)
            .registerClass();
    return cls;
}

Dictionary JM_Microblog::JSONKeyPathsByPropertyKey() {
    return identityKeyPaths({"attitudes_count", "comments_count", "created_at", "idstr", "profileImageUrl",
                             "reposts_count", "screenName", "sourceName", "text", "thumbnail_pic", "type", "uid",
                             "update_time"});
}

Ref<JMReversibleValueTransformer> JM_Microblog::update_timeJSONTransformer() {
    return dateTransformer(DateRule::ByLength13);
}

Ref<JMReversibleValueTransformer> JM_Microblog::created_atJSONTransformer() {
    return dateTransformer(DateRule::NowOrSecond);
}

const Array& JM_Microblog::propertiesList() const {
    return identityPropertiesList();
}

// ---- JM_Toptenz ----

const ClassInfo* JM_Toptenz::runtimeClass() {
    static const ClassInfo* cls =
        defineModelClass<JM_Toptenz, BaseJMModel>("JM_Toptenz")
            .protocol(std::string(kJMJSONSerializingProtocol))
            .property("album", &JM_Toptenz::album_, "String", "&,N")
            .property("album_cn", &JM_Toptenz::album_cn_, "String", "&,N")
            .property("artist", &JM_Toptenz::artist_, "String", "&,N")
            .property("artist_cn", &JM_Toptenz::artist_cn_, "String", "&,N")
            .property("avatar", &JM_Toptenz::avatar_, "String", "&,N")
            .property("extern_link", &JM_Toptenz::extern_link_, "String", "&,N")
            .property("rank", &JM_Toptenz::rank_, "Number", "&,N")
            .property("sid", &JM_Toptenz::sid_, "Number", "&,N")
            .property("title", &JM_Toptenz::title_, "String", "&,N")
            .property("title_cn", &JM_Toptenz::title_cn_, "String", "&,N")
            .property("type", &JM_Toptenz::type_, "Number", "&,N")
            .property("update_time", &JM_Toptenz::update_time_, "Date", "&,N")
            .property("translate", &JM_Toptenz::translate_, "Number", "&,N")
            .property("currentLanguage", &JM_Toptenz::currentLanguage_, "Number", "&,N")
            .classMethod("JSONKeyPathsByPropertyKey", &JM_Toptenz::JSONKeyPathsByPropertyKey)
            .classMethod("update_timeJSONTransformer", &JM_Toptenz::update_timeJSONTransformer)
            .registerClass();
    return cls;
}

Dictionary JM_Toptenz::JSONKeyPathsByPropertyKey() {
    return identityKeyPaths({"album", "album_cn", "artist", "artist_cn", "avatar", "extern_link", "rank", "sid",
                             "title", "title_cn", "type", "update_time", "translate", "currentLanguage"});
}

Ref<JMReversibleValueTransformer> JM_Toptenz::update_timeJSONTransformer() {
    return dateTransformer(DateRule::DayHourOrSecond);
}

const Array& JM_Toptenz::propertiesList() const {
    return identityPropertiesList();
}

// ---- JM_Taobao ----

const ClassInfo* JM_Taobao::runtimeClass() {
    static const ClassInfo* cls =
        defineModelClass<JM_Taobao, BaseJMModel>("JM_Taobao")
            .protocol(std::string(kJMJSONSerializingProtocol))
            .property("t_id", &JM_Taobao::t_id_, "String", "&,N")
            .property("commentCount", &JM_Taobao::commentCount_, "Number", "&,N")
            .property("imgSrc", &JM_Taobao::imgSrc_, "String", "&,N")
            .property("link", &JM_Taobao::link_, "String", "&,N")
            .property("name", &JM_Taobao::name_, "String", "&,N")
            .property("price", &JM_Taobao::price_, "DecimalNumber", "&,N")
            .property("saleCount", &JM_Taobao::saleCount_, "Number", "&,N")
            .property("store", &JM_Taobao::store_, "String", "&,N")
            .property("type", &JM_Taobao::type_, "String", "&,N")
            .property("update_time", &JM_Taobao::update_time_, "Date", "&,N")
            .classMethod("JSONKeyPathsByPropertyKey", &JM_Taobao::JSONKeyPathsByPropertyKey)
            .classMethod("update_timeJSONTransformer", &JM_Taobao::update_timeJSONTransformer)
            .classMethod("priceJSONTransformer", &JM_Taobao::priceJSONTransformer)
            .registerClass();
    return cls;
}

Dictionary JM_Taobao::JSONKeyPathsByPropertyKey() {
    return identityKeyPaths(
        {"t_id", "commentCount", "imgSrc", "link", "name", "price", "saleCount", "store", "type", "update_time"});
}

Ref<JMReversibleValueTransformer> JM_Taobao::update_timeJSONTransformer() {
    return dateTransformer(DateRule::ByLength13);
}

Ref<JMReversibleValueTransformer> JM_Taobao::priceJSONTransformer() {
    return JMValueTransformer::transformerUsingForwardBlock(
        [](const Value& value, bool*, Ref<Error>*) -> Value {
            std::optional<Decimal> decimal = decimalReading(value);
            return decimal ? Value(*decimal) : Value();
        },
        [](const Value& value, bool*, Ref<Error>*) -> Value {
            if (!value.isNumeric()) return Value();
            return Value(value.stringValue());
        });
}

const Array& JM_Taobao::propertiesList() const {
    return identityPropertiesList();
}

// ---- JM_News ----

const ClassInfo* JM_News::runtimeClass() {
    static const ClassInfo* cls =
        defineModelClass<JM_News, BaseJMModel>("JM_News")
            .protocol(std::string(kJMJSONSerializingProtocol))
            .property("cat_name", &JM_News::cat_name_, "String", "&,N")
            .property("createTime", &JM_News::createTime_, "Date", "&,N")
            .property("detailPageLink", &JM_News::detailPageLink_, "String", "&,N")
            .property("msgId", &JM_News::msgId_, "String", "&,N")
            .property("tag_name", &JM_News::tag_name_, "String", "&,N")
            .property("thumbLink", &JM_News::thumbLink_, "String", "&,N")
            .property("title", &JM_News::title_, "String", "&,N")
            .property("update_time", &JM_News::update_time_, "Date", "&,N")
            .classMethod("JSONKeyPathsByPropertyKey", &JM_News::JSONKeyPathsByPropertyKey)
            .classMethod("createTimeJSONTransformer", &JM_News::createTimeJSONTransformer)
            .classMethod("update_timeJSONTransformer", &JM_News::update_timeJSONTransformer)
            .registerClass();
    return cls;
}

Dictionary JM_News::JSONKeyPathsByPropertyKey() {
    return identityKeyPaths(
        {"cat_name", "createTime", "detailPageLink", "msgId", "tag_name", "thumbLink", "title", "update_time"});
}

Ref<JMReversibleValueTransformer> JM_News::createTimeJSONTransformer() {
    return dateTransformer(DateRule::DayHourOrSecond);
}

Ref<JMReversibleValueTransformer> JM_News::update_timeJSONTransformer() {
    return dateTransformer(DateRule::DayHourOrSecond);
}

const Array& JM_News::propertiesList() const {
    return identityPropertiesList();
}

// ---- JM_Teleplay ----

const ClassInfo* JM_Teleplay::runtimeClass() {
    static const ClassInfo* cls =
        defineModelClass<JM_Teleplay, BaseJMModel>("JM_Teleplay")
            .protocol(std::string(kJMJSONSerializingProtocol))
            .property("actor", &JM_Teleplay::actor_, "String", "&,N")
            .property("alias", &JM_Teleplay::alias_, "String", "&,N")
            .property("area", &JM_Teleplay::area_, "String", "&,N")
            .property("director", &JM_Teleplay::director_, "String", "&,N")
            .property("entryId", &JM_Teleplay::entryId_, "String", "&,N")
            .property("firstTime", &JM_Teleplay::firstTime_, "String", "&,N")
            .property("imgSrc", &JM_Teleplay::imgSrc_, "String", "&,N")
            .property("info", &JM_Teleplay::info_, "String", "&,N")
            .property("is_end", &JM_Teleplay::is_end_, "String", "&,N")
            .property("last_update_time", &JM_Teleplay::last_update_time_, "Date", "&,N")
            .property("titleCn", &JM_Teleplay::titleCn_, "String", "&,N")
            .property("titleEn", &JM_Teleplay::titleEn_, "String", "&,N")
            .property("totalCount", &JM_Teleplay::totalCount_, "Number", "&,N")
            .property("tvStation", &JM_Teleplay::tvStation_, "String", "&,N")
            .property("type", &JM_Teleplay::type_, "String", "&,N")
            .property("update_time", &JM_Teleplay::update_time_, "Date", "&,N")
            .property("writer", &JM_Teleplay::writer_, "String", "&,N")
            .property("playLinks", &JM_Teleplay::playLinks_, "Dictionary", "&,N")
            .property("sortWeight", &JM_Teleplay::sortWeight_, "Number", "&,N")
            .classMethod("JSONKeyPathsByPropertyKey", &JM_Teleplay::JSONKeyPathsByPropertyKey)
            .classMethod("update_timeJSONTransformer", &JM_Teleplay::update_timeJSONTransformer)
            .classMethod("last_update_timeJSONTransformer", &JM_Teleplay::last_update_timeJSONTransformer)
            .classMethod("totalCountJSONTransformer", &JM_Teleplay::totalCountJSONTransformer)
            .registerClass();
    return cls;
}

Dictionary JM_Teleplay::JSONKeyPathsByPropertyKey() {
    return identityKeyPaths({"actor", "alias", "area", "director", "entryId", "firstTime", "imgSrc", "info", "is_end",
                             "last_update_time", "titleCn", "titleEn", "totalCount", "tvStation", "type",
                             "update_time", "writer", "playLinks"});
}

Ref<JMReversibleValueTransformer> JM_Teleplay::update_timeJSONTransformer() {
    return dateTransformer(DateRule::ByLength13);
}

Ref<JMReversibleValueTransformer> JM_Teleplay::last_update_timeJSONTransformer() {
    return dateTransformer(DateRule::NowOrSecond);
}

Ref<JMReversibleValueTransformer> JM_Teleplay::totalCountJSONTransformer() {
    return JMValueTransformer::transformerUsingForwardBlock(
        [](const Value& value, bool*, Ref<Error>*) -> Value {
            std::optional<Decimal> decimal = decimalReading(value);
            if (!decimal) return Value();
            // The integer part as a 64-bit number; one no 64-bit integer holds stays the decimal it is,
            // never a wrapped or clamped number (the store refuses such an item).
            if (integerRangeOverflow(AttributeType::Integer64, Value(*decimal)) != 0) return Value(*decimal);
            return Value(decimal->longLongValue());
        },
        [](const Value& value, bool*, Ref<Error>*) -> Value {
            if (!value.isNumeric()) return Value();
            return Value(value.stringValue());
        });
}

const Array& JM_Teleplay::propertiesList() const {
    return identityPropertiesList();
}

// ---- JM_Novel ----

const ClassInfo* JM_Novel::runtimeClass() {
    static const ClassInfo* cls =
        defineModelClass<JM_Novel, BaseJMModel>("JM_Novel")
            .protocol(std::string(kJMJSONSerializingProtocol))
            .property("author", &JM_Novel::author_, "String", "&,N")
            .property("nid", &JM_Novel::nid_, "String", "&,N")
            .property("novel_desc", &JM_Novel::novel_desc_, "String", "&,N")
            .property("picLink", &JM_Novel::picLink_, "String", "&,N")
            .property("title", &JM_Novel::title_, "String", "&,N")
            .property("update_time", &JM_Novel::update_time_, "Date", "&,N")
            .classMethod("JSONKeyPathsByPropertyKey", &JM_Novel::JSONKeyPathsByPropertyKey)
            .classMethod("update_timeJSONTransformer", &JM_Novel::update_timeJSONTransformer)
            .registerClass();
    return cls;
}

Dictionary JM_Novel::JSONKeyPathsByPropertyKey() {
    return identityKeyPaths({"author", "nid", "novel_desc", "picLink", "title", "update_time"});
}

Ref<JMReversibleValueTransformer> JM_Novel::update_timeJSONTransformer() {
    return dateTransformer(DateRule::NowDayHourOrSecond);
}

const Array& JM_Novel::propertiesList() const {
    return identityPropertiesList();
}

// ---- JM_Video ----

const ClassInfo* JM_Video::runtimeClass() {
    static const ClassInfo* cls =
        defineModelClass<JM_Video, BaseJMModel>("JM_Video")
            .protocol(std::string(kJMJSONSerializingProtocol))
            .property("author", &JM_Video::author_, "String", "&,N")
            .property("createTime", &JM_Video::createTime_, "String", "&,N")
            .property("imgSrc", &JM_Video::imgSrc_, "String", "&,N")
            .property("playCount", &JM_Video::playCount_, "Number", "&,N")
            .property("link", &JM_Video::link_, "String", "&,N")
            .property("title", &JM_Video::title_, "String", "&,N")
            .property("type", &JM_Video::type_, "String", "&,N")
            .property("update_time", &JM_Video::update_time_, "Date", "&,N")
            .property("sortWeight", &JM_Video::sortWeight_, "Number", "&,N")
            .classMethod("JSONKeyPathsByPropertyKey", &JM_Video::JSONKeyPathsByPropertyKey)
            .classMethod("update_timeJSONTransformer", &JM_Video::update_timeJSONTransformer)
            .registerClass();
    return cls;
}

Dictionary JM_Video::JSONKeyPathsByPropertyKey() {
    return identityKeyPaths({"author", "createTime", "imgSrc", "playCount", "link", "title", "type", "update_time"});
}

Ref<JMReversibleValueTransformer> JM_Video::update_timeJSONTransformer() {
    return dateTransformer(DateRule::ByLength13);
}

const Array& JM_Video::propertiesList() const {
    return identityPropertiesList();
}

}  // namespace lv

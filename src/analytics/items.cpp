#include "analytics/items.h"

#include "analytics/analytics_log.h"
#include "analytics/tly_util.h"
#include "platform/base/clock.h"
#include "platform/base/log.h"
#include "platform/runtime/runtime.h"

namespace lv {
namespace {

void encodeText(Coder& coder, const std::string& text, std::string_view key) {
    if (!text.empty()) coder.encodeObject(Value(text), key);
}
std::string decodeText(Coder& coder, std::string_view key) {
    const Value v = coder.decodeObject(key);
    return v.isString() ? v.string() : std::string();
}

constexpr std::string_view kReservedKeyMessage = "TLYLOG: (ERROR) 关键字id, ts, du是统计SDK保留字段，不能作为key使用。";
constexpr std::string_view kEkvEntryMessage =
    "TLYLOG: (ERROR) Tally event's keys and values must be string ,key's max length 128 and value's max length 256";
constexpr std::string_view kGkvEntryMessage =
    "TLYLOG: (ERROR) Tally event's keys and values must be string ,key's max length 64 and value's max length 256";

}  // namespace

template <class T>
std::function<Ref<Object>()> decodingFactory() {
    return [] { return std::static_pointer_cast<Object>(makeRef<T>(TLYBaseEvent::ForDecoding{})); };
}

void TLYBaseEvent::registerClasses() {
    runOnce("analytics.items", [] {
        ClassDef<TLYBaseEvent>("TLYBaseEvent").factory(decodingFactory<TLYBaseEvent>()).registerClass();
        ClassDef<TLYEvent>("TLYEvent").superclass<TLYBaseEvent>().factory(decodingFactory<TLYEvent>()).registerClass();
        ClassDef<TLYError>("TLYError").superclass<TLYBaseEvent>().factory(decodingFactory<TLYError>()).registerClass();
        ClassDef<TLYEkv>("TLYEkv").superclass<TLYBaseEvent>().factory(decodingFactory<TLYEkv>()).registerClass();
        ClassDef<TLYTerminate>("TLYTerminate")
            .superclass<TLYBaseEvent>()
            .factory(decodingFactory<TLYTerminate>())
            .registerClass();
    });
}

TLYBaseEvent::TLYBaseEvent()
    : ts(currentTimeSince1970()), began(monotonicTime()), date(TLYUtil::dateString()), time(TLYUtil::timeString()) {
    registerClasses();
}

TLYBaseEvent::TLYBaseEvent(ForDecoding) {}

void TLYBaseEvent::stampAt(double since1970) {
    ts = since1970;
    date = TLYUtil::dateString(since1970);
    time = TLYUtil::timeString(since1970);
}

void TLYBaseEvent::encodeWithCoder(Coder& coder) const {
    coder.encodeDouble(ts, "self.ts");
    encodeText(coder, type, "self.type");
    encodeText(coder, date, "self.date");
    encodeText(coder, time, "self.time");
    encodeText(coder, session_id, "self.session_id");
    coder.encodeBool(sendingFlag, "self.sendingFlag");
}

bool TLYBaseEvent::initWithCoder(Coder& coder) {
    ts = coder.decodeDouble("self.ts");
    type = decodeText(coder, "self.type");
    date = decodeText(coder, "self.date");
    time = decodeText(coder, "self.time");
    session_id = decodeText(coder, "self.session_id");
    sendingFlag = coder.decodeBool("self.sendingFlag");
    return true;
}

bool TLYBaseEvent::isEqual(const Object& other) const {
    if (this == &other) return true;
    const auto* item = dynamic_cast<const TLYBaseEvent*>(&other);
    return item && typeid(*item) == typeid(*this) && item->ts == ts;
}

std::size_t TLYBaseEvent::hash() const {
    return static_cast<std::size_t>(ts > 0 ? static_cast<std::uint64_t>(ts) : 0);
}

TLYEvent::TLYEvent() { type = "event"; }
TLYEvent::TLYEvent(ForDecoding tag) : TLYBaseEvent(tag) { type = "event"; }

void TLYEvent::updateDu() { du = static_cast<std::int64_t>((monotonicTime() - began) * 1000); }

void TLYEvent::outputUMLog() const {
    if (!analyticsLogEnabled()) return;
    std::string text = format("session_id=%@, event=%@", session_id, event_id);
    if (!label.empty()) text += format(", label=%@", label);
    if (du >= 1) text += format(", du=%ld", static_cast<long>(du));
    TLYAnalyticsLog("event: %@", text);
}

void TLYEvent::encodeWithCoder(Coder& coder) const {
    TLYBaseEvent::encodeWithCoder(coder);
    encodeText(coder, event_id, "self.event_id");
    encodeText(coder, label, "self.label");
    coder.encodeInt64(acc, "self.acc");
    coder.encodeInt64(du, "self.du");
    if (!values.isNil()) coder.encodeObject(values, "self.values");
}

bool TLYEvent::initWithCoder(Coder& coder) {
    TLYBaseEvent::initWithCoder(coder);
    event_id = decodeText(coder, "self.event_id");
    label = decodeText(coder, "self.label");
    acc = coder.decodeInt64("self.acc");
    du = coder.decodeInt64("self.du");
    values = coder.decodeObject("self.values");
    return true;
}

TLYError::TLYError() { type = "error"; }
TLYError::TLYError(ForDecoding tag) : TLYBaseEvent(tag) { type = "error"; }

void TLYError::outputUMLog() const {
    TLYAnalyticsLog("error: %@", format("session_id=%@, context=%@", session_id, context));
}

void TLYError::encodeWithCoder(Coder& coder) const {
    TLYBaseEvent::encodeWithCoder(coder);
    encodeText(coder, context, "self.context");
}

bool TLYError::initWithCoder(Coder& coder) {
    TLYBaseEvent::initWithCoder(coder);
    context = decodeText(coder, "self.context");
    return true;
}

TLYEkv::TLYEkv() { type = "ekv"; }
TLYEkv::TLYEkv(ForDecoding tag) : TLYBaseEvent(tag) { type = "ekv"; }

Ref<TLYEkv> TLYEkv::make(std::string id, std::string key, const Dictionary& values, bool isGKV) {
    for (std::string_view reserved : {"id", "ts", "du"}) {
        if (values.contains(reserved)) {
            log("%@", kReservedKeyMessage);
            return nullptr;
        }
    }
    auto item = makeRef<TLYEkv>();
    item->id = std::move(id);
    item->key = std::move(key);
    item->type = isGKV ? "gkv" : "ekv";
    item->values = item->processDictionary(values);
    return item;
}

Dictionary TLYEkv::processDictionary(const Dictionary& given) const {
    Dictionary accepted;
    const bool gkv = type == "gkv";
    const std::size_t limit = given.contains("__ct__") ? 11 : 10;
    std::size_t considered = 0;
    for (const auto& name : given.keys()) {
        if (considered++ == limit) break;
        const Value& value = given.get(name);
        if (gkv ? value.isNil() : !value.isString()) {
            log("%@", gkv ? kGkvEntryMessage : kEkvEntryMessage);
            continue;
        }
        accepted.set(TLYUtil::getString(name, 128), gkv ? value : Value(TLYUtil::getString(value.string(), 256)));
    }
    return accepted;
}

void TLYEkv::updateDu() {
    du = static_cast<std::int32_t>(static_cast<std::int64_t>((monotonicTime() - began) * 1000));
}

void TLYEkv::outputUMLog() const {
    if (!analyticsLogEnabled()) return;
    std::string text = format("session_id=%@, id=%@", session_id, id);
    if (du >= 1) text += format(", duration=%d", du);
    if (!key.empty()) text += format(",key=%@", key);
    if (!values.empty()) text += format(",values=%@", Value(values));
    TLYAnalyticsLog(type == "gkv" ? "gkv: %@" : "ekv: %@", text);
}

void TLYEkv::encodeWithCoder(Coder& coder) const {
    TLYBaseEvent::encodeWithCoder(coder);
    coder.encodeInt32(du, "self.du");
    encodeText(coder, id, "self.id");
    encodeText(coder, key, "self.key");
    coder.encodeObject(Value(values), "self.values");
}

bool TLYEkv::initWithCoder(Coder& coder) {
    TLYBaseEvent::initWithCoder(coder);
    du = coder.decodeInt32("self.du");
    id = decodeText(coder, "self.id");
    key = decodeText(coder, "self.key");
    const Value v = coder.decodeObject("self.values");
    values = v.isDictionary() ? v.dictionary() : Dictionary();
    return true;
}

TLYTerminate::TLYTerminate(double seconds) : duration(seconds) { type = "terminate"; }
TLYTerminate::TLYTerminate(ForDecoding tag) : TLYBaseEvent(tag) { type = "terminate"; }

bool TLYTerminate::hasGPSInfo() const { return latitude != 0 && longitude != 0 && gps_time > 0; }

void TLYTerminate::outputUMLog() const {
    if (!analyticsLogEnabled()) return;
    std::string text = format("session_id=%@, duration=%f", session_id, duration);
    if (!pageViews.empty()) text += format(",pageViews=%@", analyticsListDescription(pageViews));
    TLYAnalyticsLog("session: %@", text);
}

void TLYTerminate::encodeWithCoder(Coder& coder) const {
    TLYBaseEvent::encodeWithCoder(coder);
    coder.encodeDouble(duration, "self.duration");
    coder.encodeObject(Value(pageViews), "self.pageViews");
    coder.encodeDouble(latitude, "self.latitude");
    coder.encodeDouble(longitude, "self.longitude");
    coder.encodeInt64(gps_time, "self.gps_time");
}

bool TLYTerminate::initWithCoder(Coder& coder) {
    TLYBaseEvent::initWithCoder(coder);
    duration = coder.decodeDouble("self.duration");
    const Value pages = coder.decodeObject("self.pageViews");
    pageViews = pages.isArray() ? pages.array() : Array();
    latitude = coder.decodeDouble("self.latitude");
    longitude = coder.decodeDouble("self.longitude");
    gps_time = coder.decodeInt64("self.gps_time");
    return true;
}

std::string analyticsListDescription(const Array& list) {
    std::string body;
    for (const auto& element : list) {
        body += format("[%p--%d] ", static_cast<const void*>(&element), static_cast<int>(element.hash()));
    }
    return format("<%d,%d,%p>,%@", 1, static_cast<int>(list.size()), static_cast<const void*>(&list), body);
}

}  // namespace lv

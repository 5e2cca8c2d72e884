// Mapping a content reply of 10,000 news items into models through the JSON adapter (one
// modelOfClass call per item, as the content core does), beside a hand-written copy of the same fields
// from the parsed reply into a plain struct. Prints the ratio adapter / direct copy.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "mapping/json_adapter.h"
#include "support/ratio_reporter.h"

namespace {

using namespace lv;

constexpr int kItems = 10000;

// "yyyy-M-d HH:mm:ss" (or a date alone) read as UTC; nil when the text does not match. Shared by both
// sides so that they do the same date work.
Value parseDate(const Value& text) {
    if (!text.isString()) return Value();
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    const int read = std::sscanf(text.string().c_str(), "%d-%d-%d %d:%d:%d", &year, &month, &day, &hour, &minute, &second);
    if (read != 3 && read != 6) return Value();
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return Value(Date::fromSince1970(static_cast<double>(timegm(&tm))));
}

// The news model as the content core declares it: eight properties, two date transformers.
class BenchNews : public JMModel {
public:
    BenchNews() { runtimeClass(); }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls = defineModelClass<BenchNews>("BenchNews")
                                          .protocol(std::string(kJMJSONSerializingProtocol))
                                          .property("cat_name", &BenchNews::cat_name, "String", "&,N")
                                          .property("createTime", &BenchNews::createTime, "Date", "&,N")
                                          .property("detailPageLink", &BenchNews::detailPageLink, "String", "&,N")
                                          .property("msgId", &BenchNews::msgId, "String", "&,N")
                                          .property("tag_name", &BenchNews::tag_name, "String", "&,N")
                                          .property("thumbLink", &BenchNews::thumbLink, "String", "&,N")
                                          .property("title", &BenchNews::title, "String", "&,N")
                                          .property("update_time", &BenchNews::update_time, "Date", "&,N")
                                          .classMethod("JSONKeyPathsByPropertyKey", &BenchNews::JSONKeyPathsByPropertyKey)
                                          .classMethod("createTimeJSONTransformer", &BenchNews::dateTransformer)
                                          .classMethod("update_timeJSONTransformer", &BenchNews::dateTransformer)
                                          .registerClass();
        return cls;
    }
    static Dictionary JSONKeyPathsByPropertyKey() {
        Dictionary map;
        for (const char* key : {"cat_name", "createTime", "detailPageLink", "msgId", "tag_name", "thumbLink", "title",
                                "update_time"}) {
            map.set(key, Value(key));
        }
        return map;
    }
    static Ref<JMReversibleValueTransformer> dateTransformer() {
        return JMValueTransformer::transformerUsingForwardBlock(
            [](const Value& value, bool*, Ref<Error>*) { return parseDate(value); },
            [](const Value& value, bool*, Ref<Error>*) { return Value(value.description()); });
    }

    Value cat_name, createTime, detailPageLink, msgId, tag_name, thumbLink, title, update_time;
};

// The same fields copied by hand.
struct NewsRow {
    Value cat_name, createTime, detailPageLink, msgId, tag_name, thumbLink, title, update_time;
};

const Value& reply() {
    static const Value items = [] {
        Array list;
        list.reserve(kItems);
        for (int i = 0; i < kItems; ++i) {
            const std::string n = std::to_string(i);
            list.push_back(Value::dictionary({
                {"cat_name", "yule"},
                {"createTime", "2015-3-" + std::to_string(1 + i % 28) + " 09:05:00"},
                {"detailPageLink", "http://news.example.com/article/" + n + ".html"},
                {"msgId", "msg" + n},
                {"tag_name", "star"},
                {"thumbLink", "http://img.example.com/thumb/" + n + ".jpg"},
                {"title", "Headline number " + n + " of the day"},
                {"update_time", "2015-03-07 10:00:00"},
                {"extra", 1},
            }));
        }
        return Value(std::move(list));
    }();
    return items;
}

void BM_AdapterModelOfClass(benchmark::State& state) {
    const ClassInfo* cls = BenchNews::runtimeClass();
    const Array& items = reply().array();
    for (auto _ : state) {
        std::size_t mapped = 0;
        for (const Value& item : items) {
            Ref<Error> error;
            Ref<JMModel> model = JMJSONAdapter::modelOfClass(cls, item, &error);
            mapped += model ? 1 : 0;
            benchmark::DoNotOptimize(model);
        }
        if (mapped != items.size()) state.SkipWithError("an item failed to map");
    }
    state.SetItemsProcessed(state.iterations() * kItems);
}
BENCHMARK(BM_AdapterModelOfClass)->Unit(benchmark::kMillisecond);

// Reads each field with the same checks the adapter makes (text fields must be text; dates are read
// from their text) into a plain struct.
void BM_DirectCopy(benchmark::State& state) {
    const Array& items = reply().array();
    auto text = [](const Value& item, const char* key, Value& out) {
        const Value& v = item.dictionary().get(key);
        if (v.isNil()) return true;
        if (v.isNull()) {
            out = Value();
            return true;
        }
        if (!v.isString()) return false;
        out = v;
        return true;
    };
    for (auto _ : state) {
        std::vector<NewsRow> rows;
        rows.reserve(items.size());
        for (const Value& item : items) {
            if (!item.isDictionary()) continue;
            NewsRow& row = rows.emplace_back();  // filled in its place: nothing moved, no temporary destroyed
            bool ok = text(item, "cat_name", row.cat_name) && text(item, "detailPageLink", row.detailPageLink) &&
                      text(item, "msgId", row.msgId) && text(item, "tag_name", row.tag_name) &&
                      text(item, "thumbLink", row.thumbLink) && text(item, "title", row.title);
            row.createTime = parseDate(item.dictionary().get("createTime"));
            row.update_time = parseDate(item.dictionary().get("update_time"));
            if (!ok) rows.pop_back();
        }
        if (rows.size() != items.size()) state.SkipWithError("an item failed to copy");
        benchmark::DoNotOptimize(rows.data());
    }
    state.SetItemsProcessed(state.iterations() * kItems);
}
BENCHMARK(BM_DirectCopy)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    lv::bench::RatioReporter reporter;
    reporter.runRounds();
    reporter.printRatio("BM_AdapterModelOfClass", "BM_DirectCopy", "3x", "adapter / direct copy", "10000 news items");
    benchmark::Shutdown();
    return 0;
}

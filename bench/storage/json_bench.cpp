// Parsing a 1 MB content-service reply (a list of news items) into Value, beside RapidJSON's own DOM
// parse of the same bytes: the same encoding check, numbers read exactly, strings decoded in place in
// a private copy of the text as the Value reader does; prints the ratio at the end.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "platform/base/format.h"
#include "platform/storage/json.h"
#include "json_floor.h"
#include "support/ratio_reporter.h"

namespace {

// A reply shaped like the content service's: {"code":0,"msg":"ok","mItems":[...news items...]}, every
// object's keys in the order its server writes them (a peer's writer keeps its own order, which is not
// the reader's sorted one, so the reader orders each item's members).
const std::string& reply() {
    static const std::string text = [] {
        const char* titles[] = {"防弹少年团新专辑首周销量突破百万张", "《来自星星的你》主演时隔两年再度合作",
                                "少女时代出道十周年纪念演唱会门票售罄", "韩国音源榜单本周冠军出炉：EXO再登顶",
                                "BIGBANG 世界巡演北京站 10 月开唱", "韩剧《太阳的后裔》创下收视新纪录"};
        const char* categories[] = {"music", "drama", "variety", "life"};
        auto member = [](std::string& out, const char* key, const lv::Value& value) {
            out += out.back() == '{' ? "\"" : ",\"";
            out += key;
            out += "\":";
            out += *lv::JSONSerialization::stringWithJSONObject(value, lv::kJSONWritingFragmentsAllowed, nullptr);
        };
        std::string items;
        for (int i = 0; items.size() < 1024 * 1024; ++i) {
            std::string item = "{";
            member(item, "msgId", lv::format("%d", 1500000 + i));
            member(item, "title", lv::format("%s（第%d期）", titles[i % 6], i));
            member(item, "cat_name", categories[i % 4]);
            member(item, "tag_name", i % 3 == 0 ? "独家" : "资讯");
            member(item, "createTime", lv::format("2015-03-%02d %02d:%02d:%02d", 1 + i % 28, i % 24, i % 60, (i * 7) % 60));
            member(item, "update_time", lv::format("2015-03-%02d 12:00:00", 1 + i % 28));
            member(item, "detailPageLink",
                   lv::format("http://news.lunavexa.com/article/%d.html?from=app&cat=%s", 1500000 + i, categories[i % 4]));
            member(item, "thumbLink", lv::format("http://img.lunavexa.com/thumb/2015/03/%d_320x180.jpg", 1500000 + i));
            member(item, "views", 1000 + (i * 7919) % 500000);
            member(item, "score", 3.5 + (i % 15) / 10.0);
            member(item, "hot", i % 5 == 0);
            member(item, "summary", i % 2 == 0 ? lv::Value("据韩国媒体报道，该组合将于本月底发布新单曲，并在首尔举办粉丝见面会。")
                                               : lv::Value::null());
            item += '}';
            items += items.empty() ? "" : ",";
            items += item;
        }
        return "{\"code\":0,\"msg\":\"ok\",\"mItems\":[" + items + "]}";
    }();
    return text;
}

void ParseIntoValue(benchmark::State& state) {
    const std::string& text = reply();
    for (auto _ : state) {
        lv::Ref<lv::Error> error;
        lv::Value value = lv::JSONSerialization::JSONObjectWithData(text, 0, &error);
        benchmark::DoNotOptimize(value);
        if (error) state.SkipWithError("parse failed");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(ParseIntoValue)->Unit(benchmark::kMicrosecond);

void RapidJsonDom(benchmark::State& state) {
    const std::string& text = reply();
    for (auto _ : state) {
        const lv::bench::FloorParse parsed = lv::bench::parseFloor(text, false);
        benchmark::DoNotOptimize(parsed);
        if (!parsed.ok) state.SkipWithError("parse failed");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(RapidJsonDom)->Unit(benchmark::kMicrosecond);

void WriteValue(benchmark::State& state) {
    const lv::Value value = lv::JSONSerialization::JSONObjectWithData(reply(), 0, nullptr);
    for (auto _ : state) {
        auto text = lv::JSONSerialization::stringWithJSONObject(value, 0, nullptr);
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * reply().size()));
}
BENCHMARK(WriteValue)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    {
        // Both parses read the same reply: as many items, and the last item's title alike.
        const lv::bench::FloorParse floor = lv::bench::parseFloor(reply(), true);
        const lv::Value value = lv::JSONSerialization::JSONObjectWithData(reply(), 0, nullptr);
        const lv::Array& items = value["mItems"].array();
        if (!floor.ok || items.empty() || floor.items != items.size() || items.back()["title"].string() != floor.lastTitle) {
            std::fprintf(stderr, "the two parses disagree\n");
            return 1;
        }
    }
    std::printf("reply: %zu bytes\n", reply().size());
    lv::bench::RatioReporter reporter;
    reporter.runRounds();
    reporter.printRatio("ParseIntoValue", "RapidJsonDom", "1.5x");
    benchmark::Shutdown();
    return 0;
}

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

// A reply shaped like the content service's: {"code":0,"msg":"ok","mItems":[...news items...]}.
const std::string& reply() {
    static const std::string text = [] {
        const char* titles[] = {"防弹少年团新专辑首周销量突破百万张", "《来自星星的你》主演时隔两年再度合作",
                                "少女时代出道十周年纪念演唱会门票售罄", "韩国音源榜单本周冠军出炉：EXO再登顶",
                                "BIGBANG 世界巡演北京站 10 月开唱", "韩剧《太阳的后裔》创下收视新纪录"};
        const char* categories[] = {"music", "drama", "variety", "life"};
        lv::Array items;
        std::size_t size = 0;
        for (int i = 0; size < 1024 * 1024; ++i) {
            lv::Dictionary item;
            item.set("msgId", lv::format("%d", 1500000 + i));
            item.set("title", lv::format("%s（第%d期）", titles[i % 6], i));
            item.set("cat_name", categories[i % 4]);
            item.set("tag_name", i % 3 == 0 ? "独家" : "资讯");
            item.set("createTime", lv::format("2015-03-%02d %02d:%02d:%02d", 1 + i % 28, i % 24, i % 60, (i * 7) % 60));
            item.set("update_time", lv::format("2015-03-%02d 12:00:00", 1 + i % 28));
            item.set("detailPageLink", lv::format("http://news.lunavexa.com/article/%d.html?from=app&cat=%s",
                                                  1500000 + i, categories[i % 4]));
            item.set("thumbLink", lv::format("http://img.lunavexa.com/thumb/2015/03/%d_320x180.jpg", 1500000 + i));
            item.set("views", 1000 + (i * 7919) % 500000);
            item.set("score", 3.5 + (i % 15) / 10.0);
            item.set("hot", i % 5 == 0);
            item.set("summary", i % 2 == 0 ? lv::Value("据韩国媒体报道，该组合将于本月底发布新单曲，并在首尔举办粉丝见面会。")
                                           : lv::Value::null());
            lv::Value entry(std::move(item));
            size += lv::JSONSerialization::stringWithJSONObject(entry, 0, nullptr)->size() + 1;
            items.push_back(std::move(entry));
        }
        lv::Value root = lv::Value::dictionary({{"code", 0}, {"msg", "ok"}, {"mItems", lv::Value(std::move(items))}});
        return *lv::JSONSerialization::stringWithJSONObject(root, 0, nullptr);
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

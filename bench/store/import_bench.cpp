// 10,000 news dictionaries into a fresh store, found or created by "msgId" and saved once: through the
// dictionary import (RS_importFromArray, the model's user info naming "msgId" and the date pattern)
// beside the content core's road (the JSON adapter into JM_News, the known-item test answered from one
// fetch of the stored records plus the keys stored since, a copy of the model's values into a new
// record). Prints the ratio import / mapping road.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <unordered_set>

#include "content/content_models.h"
#include "content/content_records.h"
#include "mapping/json_adapter.h"
#include "platform/storage/bundle.h"
#include "platform/storage/sandbox.h"
#include "store/import.h"
#include "store/persistence.h"
#include "store/record_stack.h"
#include "store/saves.h"
#include "support/ratio_reporter.h"

namespace {

using namespace lv;

constexpr int kItems = 10000;

const Array& items() {
    static const Array list = [] {
        Array out;
        out.reserve(kItems);
        for (int i = 0; i < kItems; ++i) {
            const std::string n = std::to_string(i);
            out.push_back(Value::dictionary({
                {"cat_name", "yule"},
                {"createTime", "2015-3-" + std::to_string(1 + i % 28) + " 09:05:00"},
                {"detailPageLink", "http://news.example.com/article/" + n + ".html"},
                {"msgId", "msg" + n},
                {"tag_name", "star"},
                {"thumbLink", "http://img.example.com/thumb/" + n + ".jpg"},
                {"title", "Headline number " + n + " of the day"},
                {"update_time", "2015-3-7 10:00:00"},
            }));
        }
        return out;
    }();
    return list;
}

// The bundle's model with what the import needs to know: News records are identified by "msgId" and
// their dates read with the server's pattern.
void installModel() {
    Ref<ManagedObjectModel> model = RS_mergedObjectModelFromMainBundle();
    Ref<EntityDescription> news = model->entityNamed("News");
    news->setUserInfo(Dictionary{{"relatedByAttribute", Value("msgId")}});
    for (const char* name : {"createTime", "update_time"}) {
        news->attributeNamed(name)->setUserInfo(Dictionary{{"dateFormat", Value("yyyy-M-d HH:mm:ss")}});
    }
    RS_setDefaultManagedObjectModel(model);
}

// A fresh store file and stack, outside the timing.
void freshStack(benchmark::State& state, const std::filesystem::path& root) {
    state.PauseTiming();
    RecordStack::cleanUp();
    RS_setDefaultPersistentStore(nullptr);
    std::filesystem::remove_all(root);
    Sandbox::setRoot(root.string());
    installModel();
    RecordStack::setupCoreDataStackWithStoreNamed("bench.sqlite");
    state.ResumeTiming();
}

std::filesystem::path benchRoot(const char* name) {
    return std::filesystem::temp_directory_path() / ("lv_store_import_bench_" + std::to_string(::getpid()) + "_" + name);
}

void BM_ImportFromArray(benchmark::State& state) {
    const auto root = benchRoot("import");
    for (auto _ : state) {
        freshStack(state, root);
        auto context = RS_defaultContext();
        auto records = News::RS_importFromArray(items(), context);
        RS_saveToPersistentStoreAndWait(context);
        if (records.size() != items().size()) state.SkipWithError("an item gave no record");
    }
    state.SetItemsProcessed(state.iterations() * kItems);
    std::filesystem::remove_all(root);
}
BENCHMARK(BM_ImportFromArray)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_MappingRoad(benchmark::State& state) {
    const auto root = benchRoot("mapping");
    for (auto _ : state) {
        freshStack(state, root);
        auto context = RS_defaultContext();
        std::size_t created = 0;
        // The msgIds of the stored records, then of each record made here: one fetch instead of a
        // query per item, which would also scan every record inserted so far (n²/2 visits).
        std::unordered_set<std::string> known;
        for (const Value& stored : News::recordEntity().RS_findAllInContext(context).value_or(Array{})) {
            if (auto record = stored.objectAs<ManagedObject>()) {
                const Value msgId = record->valueForKey("msgId");
                if (msgId.isString()) known.insert(msgId.string());
            }
        }
        for (const Value& item : items()) {
            Ref<Error> error;
            auto model = JMJSONAdapter::modelOfClass<JM_News>(item, &error);
            if (!model) continue;
            // A msgId that is not text has no key here: the single query answers it.
            const Value& msgId = model->msgId();
            if (msgId.isString() ? known.count(msgId.string()) > 0
                                 : News::RS_findFirstByAttribute("msgId", msgId, context) != nullptr) {
                continue;
            }
            if (auto record = News::RS_createEntityInContext(context)) {
                model->migratePropertiesToObject(record);
                if (msgId.isString()) known.insert(msgId.string());
                ++created;
            }
        }
        RS_saveToPersistentStoreAndWait(context);
        if (created != items().size()) state.SkipWithError("an item was not stored");
    }
    state.SetItemsProcessed(state.iterations() * kItems);
    std::filesystem::remove_all(root);
}
BENCHMARK(BM_MappingRoad)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Bundle::setMainBundlePath(Bundle::defaultMainBundlePath());
    News::runtimeClass();
    JM_News::runtimeClass();
    lv::bench::RatioReporter reporter;
    reporter.runRounds();
    reporter.printRatio("BM_ImportFromArray/iterations:1", "BM_MappingRoad/iterations:1", "1.5x", "import / mapping road",
                        "10000 news items, find or create by msgId, one save");
    RecordStack::cleanUp();
    benchmark::Shutdown();
    return 0;
}

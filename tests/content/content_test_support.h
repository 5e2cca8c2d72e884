// Shared helpers of the content tests: the fixture replies, the bundle's model, and the app's record
// stack over "lunavexa.sqlite" in a fresh sandbox, with readers that look at the file through a
// coordinator or a SQLite connection of their own.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/base/value.h"
#include "platform/data/context.h"
#include "platform/data/coordinator.h"
#include "platform/data/managed_object.h"
#include "platform/data/model.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/storage/json.h"
#include "platform/storage/sandbox.h"
#include "store/contexts.h"
#include "store/persistence.h"
#include "store/record_stack.h"
#include "store/saves.h"
#include "support/device_settings.h"
#include "support/raw_sqlite.h"
#include "support/source_dir.h"
#include "support/temp_dir.h"

namespace lv::test {

inline std::string sourceDirectory() {
    return sourceRoot();
}

inline std::string describe(const Ref<Error>& error) { return error ? error->description() : std::string("no error"); }

// The items of a fixture reply ("newsList" reads tools/content-service/fixtures/newsList.json).
inline Array fixtureItems(const std::string& name) {
    std::ifstream in(sourceDirectory() + "/tools/content-service/fixtures/" + name + ".json", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    Ref<Error> error;
    Value reply = JSONSerialization::JSONObjectWithData(text.str(), 0, &error);
    EXPECT_TRUE(reply["mItems"].isArray()) << name << ": " << describe(error);
    return reply["mItems"].isArray() ? reply["mItems"].array() : Array();
}

inline Ref<ManagedObjectModel> contentModel() {
    auto model = ManagedObjectModel::mergedModelFromDirectories({sourceDirectory() + "/bundle"});
    EXPECT_TRUE(model);
    return model;
}

// Runs the main loop until what is queued on the main queue so far has run, twice over.
inline void drainMain() {
    for (int round = 0; round < 2; ++round) {
        bool done = false;
        Queue::main()->async([&] { done = true; });
        ASSERT_TRUE(runMainUntil([&] { return done; }, 10.0));
    }
}

// A fresh sandbox per test; the test sets up the app's stack (setUpStack) when it needs it.
class AppStack : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Sandbox::setRoot(dir.path().string())); }
    void TearDown() override {
        drainMain();
        RecordStack::cleanUp();
        drainMain();
    }
    static void setUpStack() { RecordStack::setupCoreDataStackWithStoreNamed("lunavexa.sqlite"); }
    static std::string storePath() { return RS_urlForStoreName("lunavexa.sqlite").string(); }

    // The text values of a column of the file, in order of the column.
    static std::vector<std::string> column(const std::string& entity, const std::string& attribute,
                                           const std::string& where = "1") {
        return rawTexts(storePath(), "SELECT \"" + attribute + "\" FROM \"" + entity + "\" WHERE " + where +
                                         " ORDER BY \"" + attribute + "\"");
    }

    // The records of the entity as a coordinator of its own reads them from the file, sorted by the key.
    std::vector<Ref<ManagedObject>> readBack(const std::string& entity, const std::string& sortKey) {
        auto coordinator = makeRef<PersistentStoreCoordinator>(contentModel());
        Ref<Error> error;
        EXPECT_TRUE(coordinator->addPersistentStore(kSQLiteStoreType, "", storePath(), {}, &error)) << describe(error);
        auto context = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
        context->setPersistentStoreCoordinator(coordinator);
        FetchRequest request(entity);
        request.setSortDescriptors({SortDescriptor(sortKey, true)});
        auto result = context->fetchObjects(request, &error);
        EXPECT_TRUE(result) << describe(error);
        readers_.push_back(context);
        return result ? *result : std::vector<Ref<ManagedObject>>();
    }

    TempDir dir;

private:
    std::vector<Ref<ManagedObjectContext>> readers_;  // keep read-back records' contexts alive
};

}  // namespace lv::test

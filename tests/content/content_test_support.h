// Shared helpers of the content-record tests: the fixture replies, the device's zone and locale for a
// test, and the app's store shape over a SQLite file in a fresh sandbox (a private-queue root context
// over the coordinator, a main-queue child that stands for the default context).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <optional>
#include <string>
#include <vector>

#include "support/device_settings.h"
#include "platform/base/value.h"
#include "platform/data/context.h"
#include "platform/data/coordinator.h"
#include "platform/data/managed_object.h"
#include "platform/data/model.h"
#include "platform/storage/json.h"
#include "platform/storage/sandbox.h"
#include "platform/text/locale.h"
#include "platform/time/time_zone.h"
#include "support/temp_dir.h"

namespace lv::test {

inline std::string sourceDirectory() {
    const char* root = std::getenv("LV_TEST_SOURCE_DIR");
    return root ? root : ".";
}

// The parsed fixture reply of an action ("newsList" reads tools/content-service/fixtures/newsList.json).
inline Value fixtureReply(const std::string& name) {
    const std::string path = sourceDirectory() + "/tools/content-service/fixtures/" + name + ".json";
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in) << path;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    const std::string text = buffer.str();
    Ref<Error> error;
    Value reply = JSONSerialization::JSONObjectWithData(text, 0, &error);
    EXPECT_TRUE(reply.isDictionary()) << path << ": " << (error ? error->description() : "");
    return reply;
}

// The items of a fixture reply.
inline Array fixtureItems(const std::string& name) {
    Value reply = fixtureReply(name);
    EXPECT_TRUE(reply["mItems"].isArray()) << name;
    return reply["mItems"].isArray() ? reply["mItems"].array() : Array();
}


inline Ref<ManagedObjectModel> contentModel() {
    auto model = ManagedObjectModel::mergedModelFromDirectories({sourceDirectory() + "/bundle"});
    EXPECT_TRUE(model);
    return model;
}

inline std::string describe(const Ref<Error>& error) { return error ? error->description() : std::string("no error"); }

// A fresh sandbox, and the store file "lunavexa.sqlite" in it under a private-queue root context with a
// main-queue child.
struct ContentStack {
    ContentStack() {
        EXPECT_TRUE(Sandbox::setRoot(dir.path().string()));
        path = dir.file("lunavexa.sqlite");
        model = contentModel();
        coordinator = open(path);
        root = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::PrivateQueue);
        root->performAndWait([&] { root->setPersistentStoreCoordinator(coordinator); });
        main = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::MainQueue);
        main->setParentContext(root);
    }

    Ref<PersistentStoreCoordinator> open(const std::string& file) const {
        auto c = makeRef<PersistentStoreCoordinator>(model);
        Ref<Error> error;
        EXPECT_TRUE(c->addPersistentStore(kSQLiteStoreType, "", file, {}, &error)) << describe(error);
        return c;
    }

    // Saves the child into the root and the root into the file.
    bool saveAll() {
        bool ok = false;
        Ref<Error> error;
        main->performAndWait([&] { ok = main->save(&error); });
        EXPECT_TRUE(ok) << describe(error);
        if (!ok) return false;
        root->performAndWait([&] { ok = root->save(&error); });
        EXPECT_TRUE(ok) << describe(error);
        return ok;
    }

    // The records of the entity as a new coordinator reads them from the file, sorted by the key.
    std::vector<Ref<ManagedObject>> readBack(const std::string& entity, const std::string& sortKey) const {
        auto context = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
        context->setPersistentStoreCoordinator(open(path));
        FetchRequest request(entity);
        request.setSortDescriptors({SortDescriptor(sortKey, true)});
        Ref<Error> error;
        auto result = context->fetchObjects(request, &error);
        EXPECT_TRUE(result) << describe(error);
        keepAlive.push_back(context);
        return result ? *result : std::vector<Ref<ManagedObject>>();
    }

    TempDir dir;
    std::string path;
    Ref<ManagedObjectModel> model;
    Ref<PersistentStoreCoordinator> coordinator;
    Ref<ManagedObjectContext> root;
    Ref<ManagedObjectContext> main;
    mutable std::vector<Ref<ManagedObjectContext>> keepAlive;  // contexts of read-back records
};

}  // namespace lv::test

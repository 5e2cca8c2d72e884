// Helpers of the context tests: the app's stack shape (a private-queue root over a SQLite file,
// a main-queue child), the content model, and small fetch helpers.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "data_test_support.h"
#include "platform/data/context.h"
#include "platform/data/errors.h"
#include "platform/data/managed_object.h"
#include "platform/dispatch/notification_center.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"

namespace lv::test {

inline Ref<ManagedObjectModel> contentModel() {
    auto model = ManagedObjectModel::mergedModelFromDirectories({bundleDirectory()});
    EXPECT_TRUE(model);
    return model;
}

inline std::string describe(const Ref<Error>& error) { return error ? error->description() : std::string("no error"); }

// A private-queue root context over a coordinator of the file, and a main-queue child of it.
struct Stack {
    explicit Stack(Ref<ManagedObjectModel> model = contentModel(), const std::string& file = "lunavexa.sqlite",
                   const Dictionary& options = {})
        : path(dir.file(file)) {
        coordinator = openCoordinator(model, path, options);
        EXPECT_TRUE(coordinator);
        root = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::PrivateQueue);
        root->performAndWait([&] { root->setPersistentStoreCoordinator(coordinator); });
        main = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::MainQueue);
        main->setParentContext(root);
    }
    // Saves the main context, then the root, on their queues; the first error.
    bool saveAll(Ref<Error>* error = nullptr) {
        bool ok = false;
        main->performAndWait([&] { ok = main->save(error); });
        if (!ok) return false;
        root->performAndWait([&] { ok = root->save(error); });
        return ok;
    }

    TempDir dir;
    std::string path;
    Ref<PersistentStoreCoordinator> coordinator;
    Ref<ManagedObjectContext> root;
    Ref<ManagedObjectContext> main;
};

inline Ref<FetchRequest> request(const std::string& entity, Ref<Predicate> predicate = nullptr,
                                 std::vector<SortDescriptor> sorts = {}) {
    auto r = FetchRequest::make(entity);
    r->setPredicate(std::move(predicate));
    r->setSortDescriptors(std::move(sorts));
    return r;
}

// The records of the request in the context (on its queue); fails the test on an error.
inline std::vector<Ref<ManagedObject>> fetch(const Ref<ManagedObjectContext>& context, const Ref<FetchRequest>& r) {
    std::vector<Ref<ManagedObject>> out;
    context->performAndWait([&] {
        Ref<Error> error;
        auto result = context->fetchObjects(*r, &error);
        EXPECT_TRUE(result) << describe(error);
        if (result) out = std::move(*result);
    });
    return out;
}

inline std::vector<std::string> texts(const std::vector<Ref<ManagedObject>>& objects, const std::string& key) {
    std::vector<std::string> out;
    for (const auto& o : objects) out.push_back(o->valueForKey(key).stringValue());
    return out;
}

inline Ref<ManagedObject> insert(const Ref<ManagedObjectContext>& context, const std::string& entity,
                                 const std::vector<std::pair<std::string, Value>>& values) {
    auto o = ManagedObject::insertNewObject(entity, context);
    EXPECT_TRUE(o);
    for (const auto& [k, v] : values) o->setValueForKey(v, k);
    return o;
}

// The rows of the entity in the file, read by a coordinator of its own.
inline std::size_t rowsInFile(const Ref<ManagedObjectModel>& model, const std::string& path, const std::string& entity) {
    auto c = openCoordinator(model, path);
    if (!c) return static_cast<std::size_t>(-1);
    FetchRequest r(entity);
    auto n = c->countForFetchRequest(r, nullptr);
    return n ? *n : static_cast<std::size_t>(-1);
}

}  // namespace lv::test

// Shared pieces of the object-store tests: a model with one attribute of every kind, and helpers to
// open coordinators and write rows.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/data/coordinator.h"
#include "support/source_dir.h"
#include "support/temp_dir.h"

namespace lv::test {

// A decimal value from its text.
inline Value dec(const char* text) { return Value(*Decimal::parse(text)); }

// "Item": one attribute of every stored kind plus a to-one "owner"; "Owner": a name and the to-many
// "items" (ordered) back.
inline Ref<ManagedObjectModel> makeItemModel() {
    auto model = makeRef<ManagedObjectModel>();
    auto item = EntityDescription::make("Item");
    item->addAttribute(AttributeDescription::make("small", AttributeType::Integer16));
    item->addAttribute(AttributeDescription::make("count", AttributeType::Integer32));
    item->addAttribute(AttributeDescription::make("big", AttributeType::Integer64));
    item->addAttribute(AttributeDescription::make("price", AttributeType::Decimal));
    item->addAttribute(AttributeDescription::make("ratio", AttributeType::Double));
    item->addAttribute(AttributeDescription::make("weight", AttributeType::Float));
    item->addAttribute(AttributeDescription::make("name", AttributeType::String));
    item->addAttribute(AttributeDescription::make("flag", AttributeType::Boolean));
    item->addAttribute(AttributeDescription::make("when", AttributeType::Date));
    item->addAttribute(AttributeDescription::make("blob", AttributeType::Binary));
    item->addAttribute(AttributeDescription::make("extra", AttributeType::Transformable));
    auto ownerRel = RelationshipDescription::make("owner", "Owner", false);
    ownerRel->setInverseRelationshipName("items");
    item->addRelationship(ownerRel);
    auto owner = EntityDescription::make("Owner");
    owner->addAttribute(AttributeDescription::make("name", AttributeType::String));
    auto items = RelationshipDescription::make("items", "Item", true);
    items->setOrdered(true);
    items->setInverseRelationshipName("owner");
    owner->addRelationship(items);
    model->addEntity(item);
    model->addEntity(owner);
    return model;
}

inline std::string bundleDirectory() {
    return sourceRoot() + "/bundle";
}

inline Ref<PersistentStoreCoordinator> openCoordinator(const Ref<ManagedObjectModel>& model, const std::string& path,
                                                       const Dictionary& options = {}, Ref<Error>* error = nullptr) {
    auto coordinator = makeRef<PersistentStoreCoordinator>(model);
    auto store = path.empty() ? coordinator->addPersistentStore(kInMemoryStoreType, "", "", options, error)
                              : coordinator->addPersistentStore(kSQLiteStoreType, "", path, options, error);
    return store ? coordinator : nullptr;
}

// Inserts one row of the entity with the values; its permanent ID.
inline Ref<ManagedObjectID> insertRow(PersistentStoreCoordinator& coordinator, const std::string& entity,
                                      std::vector<std::pair<std::string, Value>> values) {
    ChangeSet changes;
    auto id = ManagedObjectID::makeTemporary(coordinator.managedObjectModel()->entityNamed(entity));
    changes.inserts.push_back({id, std::move(values)});
    SaveResult result;
    Ref<Error> error;
    EXPECT_TRUE(coordinator.saveChanges(changes, &result, &error)) << (error ? error->description() : "");
    return result.permanentIDs.empty() ? nullptr : result.permanentIDs[0].second;
}

inline Dictionary migrationOptions() {
    return Dictionary{{std::string(kMigratePersistentStoresAutomaticallyOption), Value(true)},
                      {std::string(kInferMappingModelAutomaticallyOption), Value(true)}};
}

}  // namespace lv::test

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <fstream>
#include <set>
#include <thread>

#include "data_test_support.h"
#include "sqlite_failures.h"
#include "platform/data/errors.h"
#include "platform/runtime/value_transformer.h"
#include "platform/storage/keyed_archive.h"

namespace lv {
namespace {

using test::TempDir;

Value dec(const char* text) { return Value(*Decimal::parse(text)); }

Ref<ManagedObjectModel> contentModel() {
    auto model = ManagedObjectModel::mergedModelFromDirectories({test::bundleDirectory()});
    EXPECT_TRUE(model);
    return model;
}

std::vector<RowSnapshot> fetchAll(PersistentStoreCoordinator& c, const std::string& entity, Ref<Predicate> predicate = nullptr,
                                  std::vector<SortDescriptor> sorts = {}) {
    FetchRequest request(entity);
    request.setPredicate(std::move(predicate));
    request.setSortDescriptors(std::move(sorts));
    Ref<Error> error;
    auto result = c.executeFetchRequest(request, &error);
    EXPECT_TRUE(result) << (error ? error->description() : "");
    return result ? result->rows : std::vector<RowSnapshot>{};
}

// Runs SQL on the file with a separate connection.
std::vector<std::string> sqliteColumn(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_stmt* stmt = nullptr;
    std::vector<std::string> out;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
            out.push_back(text ? text : "NULL");
        }
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return out;
}

// ---- create, reopen, migrate, mismatch ----

TEST(SQLiteStore, CreatesReopensAndKeepsValuesExactly) {
    TempDir dir;
    const std::string path = dir.file("lunavexa.sqlite");
    std::string identifier;
    Ref<ManagedObjectID> teleplay;
    const Value links(Dictionary{{"1", Value("http://v/1")}, {"2", Value("http://v/2")}});
    {
        auto c = test::openCoordinator(contentModel(), path);
        ASSERT_TRUE(c);
        identifier = c->persistentStores()[0]->identifier();
        EXPECT_EQ(identifier.size(), 36u);
        test::insertRow(*c, "Taobao", {{"price", dec("199.90")}, {"name", Value("\xe5\x8f\xa3\xe7\xba\xa2")}, {"saleCount", Value(1024)},
                                       {"update_time", Value(Date::fromSinceReferenceDate(447296822.5))}});
        teleplay = test::insertRow(*c, "Teleplay", {{"playLinks", links}, {"sortWeight", Value(0)}});
    }
    EXPECT_EQ(sqliteColumn(path, "SELECT \"price\" FROM \"Taobao\""), std::vector<std::string>{"199.9"});
    EXPECT_EQ(sqliteColumn(path, "SELECT \"update_time\" FROM \"Taobao\""), std::vector<std::string>{"447296822.5"});

    auto c = test::openCoordinator(contentModel(), path);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->persistentStores()[0]->identifier(), identifier);
    auto rows = fetchAll(*c, "Taobao");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_TRUE(rows[0].value("price").isDecimal());
    EXPECT_EQ(rows[0].value("price").decimal()->stringValue(), "199.9");
    EXPECT_EQ(rows[0].value("name"), Value("\xe5\x8f\xa3\xe7\xba\xa2"));
    EXPECT_EQ(rows[0].value("saleCount").number()->kind(), NumberKind::Int32);
    EXPECT_EQ(rows[0].value("update_time"), Value(Date::fromSinceReferenceDate(447296822.5)));
    EXPECT_TRUE(rows[0].value("link").isNil());
    EXPECT_EQ(rows[0].version, 1);
    auto plays = fetchAll(*c, "Teleplay");
    ASSERT_EQ(plays.size(), 1u);
    EXPECT_EQ(plays[0].value("playLinks"), links);
    EXPECT_TRUE(plays[0].objectID->isEqual(*teleplay));
    EXPECT_EQ(plays[0].objectID->URIRepresentation(), "x-lvdata://" + identifier + "/Teleplay/p1");
}

TEST(SQLiteStore, MismatchWithoutMigrationOptionsIs134100) {
    TempDir dir;
    const std::string path = dir.file("s.sqlite");
    ASSERT_TRUE(test::openCoordinator(test::makeItemModel(), path));
    auto changed = test::makeItemModel();
    changed->entityNamed("Item")->addAttribute(AttributeDescription::make("added", AttributeType::String));
    Ref<Error> error;
    EXPECT_FALSE(test::openCoordinator(changed, path, {}, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), kCocoaErrorDomain);
    EXPECT_EQ(error->code(), kPersistentStoreIncompatibleVersionHashError);
    EXPECT_TRUE(error->userInfo().get(kStoreVersionHashesErrorKey).isDictionary());
    // The file is untouched and still opens with its own model.
    EXPECT_TRUE(test::openCoordinator(test::makeItemModel(), path));
}

TEST(SQLiteStore, LightweightMigrationAddsAndRemovesAttributesAndEntities) {
    TempDir dir;
    const std::string path = dir.file("s.sqlite");
    {
        auto c = test::openCoordinator(test::makeItemModel(), path);
        ASSERT_TRUE(c);
        test::insertRow(*c, "Item", {{"name", Value("keep")}, {"count", Value(4)}, {"ratio", Value(1.5)}});
    }
    auto v2 = test::makeItemModel();
    auto item = v2->entityNamed("Item");
    item->removeProperty("ratio");
    auto added = AttributeDescription::make("level", AttributeType::Integer32, false);
    added->setDefaultValue(Value(3));
    item->addAttribute(added);
    item->addAttribute(AttributeDescription::make("note", AttributeType::String));
    auto tag = EntityDescription::make("Tag");
    tag->addAttribute(AttributeDescription::make("label", AttributeType::String));
    v2->addEntity(tag);
    {
        Ref<Error> error;
        auto c = test::openCoordinator(v2, path, test::migrationOptions(), &error);
        ASSERT_TRUE(c) << error->description();
        auto rows = fetchAll(*c, "Item");
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0].value("name"), Value("keep"));
        EXPECT_EQ(rows[0].value("count"), Value(4));
        EXPECT_EQ(rows[0].value("level"), Value(3));
        EXPECT_TRUE(rows[0].value("note").isNil());
        EXPECT_TRUE(rows[0].value("ratio").isNil());
        test::insertRow(*c, "Tag", {{"label", Value("new")}});
        EXPECT_EQ(fetchAll(*c, "Tag").size(), 1u);
    }
    const auto columns = sqliteColumn(path, "SELECT name FROM pragma_table_info('Item')");
    EXPECT_EQ(std::count(columns.begin(), columns.end(), "ratio"), 0);
    EXPECT_EQ(std::count(columns.begin(), columns.end(), "level"), 1);
    // Reopening with the new model needs no migration; the old model now mismatches.
    EXPECT_TRUE(test::openCoordinator(v2, path));
    Ref<Error> error;
    EXPECT_FALSE(test::openCoordinator(test::makeItemModel(), path, {}, &error));
    EXPECT_EQ(error->code(), kPersistentStoreIncompatibleVersionHashError);
    // Removing the added entity again drops its table.
    auto v3 = test::makeItemModel();
    ASSERT_TRUE(test::openCoordinator(v3, path, test::migrationOptions()));
    EXPECT_TRUE(sqliteColumn(path, "SELECT name FROM sqlite_master WHERE name = 'Tag'").empty());
}

TEST(SQLiteStore, MigrationThatCannotBeInferredIs134110AndChangesNothing) {
    TempDir dir;
    const std::string path = dir.file("s.sqlite");
    {
        auto c = test::openCoordinator(test::makeItemModel(), path);
        test::insertRow(*c, "Item", {{"name", Value("x")}});
    }
    struct Case {
        const char* label;
        std::function<void(EntityDescription&)> change;
    };
    const Case cases[] = {
        {"type change", [](EntityDescription& e) { e.attributeNamed("count")->setAttributeType(AttributeType::String); }},
        {"mandatory without default",
         [](EntityDescription& e) { e.addAttribute(AttributeDescription::make("must", AttributeType::String, false)); }},
        {"attribute becomes relationship",
         [](EntityDescription& e) {
             e.removeProperty("name");
             e.addRelationship(RelationshipDescription::make("name", "Owner"));
         }},
    };
    for (const auto& c : cases) {
        auto model = test::makeItemModel();
        auto added = AttributeDescription::make("harmless", AttributeType::String);
        model->entityNamed("Item")->addAttribute(added);
        c.change(*model->entityNamed("Item"));
        Ref<Error> error;
        EXPECT_FALSE(test::openCoordinator(model, path, test::migrationOptions(), &error)) << c.label;
        ASSERT_TRUE(error) << c.label;
        EXPECT_EQ(error->code(), kMigrationError) << c.label;
        const auto columns = sqliteColumn(path, "SELECT name FROM pragma_table_info('Item')");
        EXPECT_EQ(std::count(columns.begin(), columns.end(), "harmless"), 0) << c.label << ": rolled back";
    }
    EXPECT_TRUE(test::openCoordinator(test::makeItemModel(), path));
}

TEST(SQLiteStore, MigrationFailingInSQLiteKeepsTheFileAndCanBeRetried) {
    auto v2 = test::makeItemModel();
    v2->entityNamed("Item")->addAttribute(AttributeDescription::make("note", AttributeType::String));
    auto tag = EntityDescription::make("Tag");
    tag->addAttribute(AttributeDescription::make("label", AttributeType::String));
    v2->addEntity(tag);
    const std::string schema = "SELECT count(*) FROM pragma_table_info('Item') WHERE name = 'note' UNION ALL "
                               "SELECT count(*) FROM sqlite_master WHERE name = 'Tag' UNION ALL SELECT \"name\" FROM \"Item\"";
    for (const auto& failure : test::kSQLiteFailures) {
        if (std::string(failure.label).find("trigger") != std::string::npos) continue;  // a migration inserts no items
        SCOPED_TRACE(failure.label);
        TempDir dir;
        const std::string path = dir.file("m.sqlite");
        test::seedFile(path);
        Dictionary options = failure.beforeOpen(path);
        for (const auto& [key, value] : test::migrationOptions()) options.set(key, value);
        auto lift = failure.impose(path);
        Ref<Error> error;
        EXPECT_FALSE(test::openCoordinator(v2, path, options, &error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), kCocoaErrorDomain);
        EXPECT_EQ(error->code(), kMigrationError);
        EXPECT_EQ(error->localizedFailureReason(), failure.message);
        ASSERT_TRUE(error->underlyingError());
        EXPECT_EQ(error->underlyingError()->code(), kSQLiteError);
        EXPECT_EQ(test::rawTexts(path, schema), (std::vector<std::string>{"0", "0", "old"}));
        EXPECT_TRUE(test::openCoordinator(test::makeItemModel(), path));  // still the old model's file
        // Once the cause is gone (a fresh connection with the file writable again) the migration runs.
        if (lift) lift();
        std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        EXPECT_TRUE(test::openCoordinator(v2, path, test::migrationOptions(), &error)) << (error ? error->description() : "");
        EXPECT_EQ(test::rawTexts(path, schema), (std::vector<std::string>{"1", "1", "old"}));
    }
}

TEST(SQLiteStore, FilesThatAreNotOurStores) {
    TempDir dir;
    // A SQLite database without our metadata.
    const std::string foreign = dir.file("foreign.sqlite");
    {
        sqlite3* db = nullptr;
        sqlite3_open(foreign.c_str(), &db);
        sqlite3_exec(db, "CREATE TABLE t (x)", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    Ref<Error> error;
    EXPECT_FALSE(test::openCoordinator(test::makeItemModel(), foreign, test::migrationOptions(), &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), kMigrationMissingSourceModelError);
    EXPECT_FALSE(test::openCoordinator(test::makeItemModel(), foreign, {}, &error));
    EXPECT_EQ(error->code(), kPersistentStoreIncompatibleVersionHashError);
    EXPECT_TRUE(error->userInfo().get(kAffectedStoresErrorKey).isArray());
    // Not a database at all.
    const std::string text = dir.file("text.sqlite");
    std::ofstream(text) << "this is certainly not a database file, it is plain text and long enough to tell";
    EXPECT_FALSE(test::openCoordinator(test::makeItemModel(), text, {}, &error));
    EXPECT_EQ(error->code(), kFileReadCorruptFileError);
    // An unknown store type.
    auto c = makeRef<PersistentStoreCoordinator>(test::makeItemModel());
    EXPECT_FALSE(c->addPersistentStore("Binary", "", dir.file("x"), {}, &error));
    EXPECT_EQ(error->code(), kPersistentStoreInvalidTypeError);
}

TEST(SQLiteStore, PragmasFromTheOptions) {
    TempDir dir;
    const std::string path = dir.file("wal.sqlite");
    Dictionary options = test::migrationOptions();
    options.set(std::string(kSQLitePragmasOption), Value(Dictionary{{"journal_mode", Value("WAL")}}));
    auto c = test::openCoordinator(test::makeItemModel(), path, options);
    ASSERT_TRUE(c);
    test::insertRow(*c, "Item", {{"name", Value("x")}});
    EXPECT_EQ(sqliteColumn(path, "PRAGMA journal_mode"), std::vector<std::string>{"wal"});
    EXPECT_TRUE(std::filesystem::exists(path + "-wal"));
}

TEST(SQLiteStore, MetadataWithoutAddingTheStore) {
    TempDir dir;
    const std::string path = dir.file("m.sqlite");
    auto model = test::makeItemModel();
    auto c = test::openCoordinator(model, path);
    auto metadata = PersistentStoreCoordinator::metadataForPersistentStore(path, nullptr);
    ASSERT_TRUE(metadata);
    EXPECT_EQ(metadata->get(kStoreUUIDKey), Value(c->persistentStores()[0]->identifier()));
    EXPECT_EQ(metadata->get(kStoreModelVersionHashesKey), Value(model->entityVersionHashesByName()));
    EXPECT_EQ(c->persistentStores()[0]->metadata().get(kStoreModelVersionHashesKey), Value(model->entityVersionHashesByName()));
    Ref<Error> error;
    EXPECT_FALSE(PersistentStoreCoordinator::metadataForPersistentStore(dir.file("none.sqlite"), &error));
    EXPECT_TRUE(error);
}

// ---- coordinator without a store ----

TEST(Coordinator, FetchAndSaveWithoutAStoreAreErrors) {
    auto c = makeRef<PersistentStoreCoordinator>(test::makeItemModel());
    FetchRequest request("Item");
    Ref<Error> error;
    EXPECT_FALSE(c->executeFetchRequest(request, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), kObjectStoreError);
    error.reset();
    EXPECT_FALSE(c->countForFetchRequest(request, &error));
    EXPECT_TRUE(error);
    ChangeSet changes;
    changes.inserts.push_back({ManagedObjectID::makeTemporary(c->managedObjectModel()->entityNamed("Item")), {}});
    error.reset();
    EXPECT_FALSE(c->saveChanges(changes, nullptr, &error));
    EXPECT_EQ(error->code(), kPersistentStoreSaveError);
    error.reset();
    EXPECT_FALSE(c->obtainPermanentIDs(c->managedObjectModel()->entityNamed("Item"), 1, &error));
    EXPECT_TRUE(error);
    // A request for an entity the model lacks.
    auto withStore = test::openCoordinator(test::makeItemModel(), "");
    FetchRequest unknown("Nope");
    EXPECT_FALSE(withStore->executeFetchRequest(unknown, &error));
    EXPECT_EQ(error->code(), kObjectStoreError);
}

TEST(Coordinator, RemovingTheStore) {
    auto c = test::openCoordinator(test::makeItemModel(), "");
    ASSERT_TRUE(c);
    auto store = c->persistentStores()[0];
    EXPECT_EQ(store->type(), kInMemoryStoreType);
    EXPECT_EQ(c->persistentStoreForIdentifier(store->identifier()), store);
    EXPECT_TRUE(c->removePersistentStore(store, nullptr));
    EXPECT_TRUE(c->persistentStores().empty());
    EXPECT_FALSE(c->removePersistentStore(store, nullptr));
    EXPECT_FALSE(c->executeFetchRequest(FetchRequest("Item"), nullptr));
}

// ---- the change set ----

class ChangeSets : public ::testing::TestWithParam<bool> {  // true: a file, false: in memory
protected:
    void SetUp() override {
        coordinator_ = test::openCoordinator(test::makeItemModel(), GetParam() ? dir_.file("c.sqlite") : "");
        ASSERT_TRUE(coordinator_);
        item_ = coordinator_->managedObjectModel()->entityNamed("Item");
        owner_ = coordinator_->managedObjectModel()->entityNamed("Owner");
    }
    TempDir dir_;
    Ref<PersistentStoreCoordinator> coordinator_;
    Ref<EntityDescription> item_;
    Ref<EntityDescription> owner_;
};

TEST_P(ChangeSets, InsertsGetPermanentIDsAndVersions) {
    ChangeSet changes;
    auto a = ManagedObjectID::makeTemporary(item_);
    auto b = ManagedObjectID::makeTemporary(item_);
    auto o = ManagedObjectID::makeTemporary(owner_);
    EXPECT_TRUE(a->isTemporaryID());
    EXPECT_FALSE(a->isEqual(*b));
    changes.inserts.push_back({a, {{"name", Value("a")}, {"owner", Value(o)}}});
    changes.inserts.push_back({b, {{"name", Value("b")}, {"owner", Value(o)}}});
    changes.inserts.push_back({o, {{"name", Value("o")}, {"items", Value(Array{Value(b), Value(a)})}}});
    SaveResult result;
    Ref<Error> error;
    ASSERT_TRUE(coordinator_->saveChanges(changes, &result, &error)) << error->description();
    ASSERT_EQ(result.permanentIDs.size(), 3u);
    std::map<std::string, Ref<ManagedObjectID>> permanent;
    for (const auto& [temporary, id] : result.permanentIDs) {
        EXPECT_FALSE(id->isTemporaryID());
        if (temporary == a) permanent["a"] = id;
        if (temporary == b) permanent["b"] = id;
        if (temporary == o) permanent["o"] = id;
    }
    EXPECT_EQ(permanent["a"]->key(), 1);
    EXPECT_EQ(permanent["b"]->key(), 2);
    ASSERT_EQ(result.versions.size(), 3u);
    for (const auto& [id, version] : result.versions) EXPECT_EQ(version, 1);

    auto rows = fetchAll(*coordinator_, "Item");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_TRUE(rows[0].value("owner").objectAs<ManagedObjectID>()->isEqual(*permanent["o"]));
    auto related = coordinator_->relatedObjectIDs(permanent["o"], "items", &error);
    ASSERT_TRUE(related);
    ASSERT_EQ(related->size(), 2u);
    EXPECT_TRUE((*related)[0]->isEqual(*permanent["b"]));  // the order given
    EXPECT_TRUE((*related)[1]->isEqual(*permanent["a"]));

    auto fetched = coordinator_->rowsForObjectIDs({permanent["b"], permanent["a"], ManagedObjectID::makeTemporary(item_)}, &error);
    ASSERT_TRUE(fetched);
    ASSERT_EQ(fetched->size(), 2u);
    EXPECT_EQ((*fetched)[0].value("name"), Value("b"));
}

TEST_P(ChangeSets, PermanentIDsObtainedBeforeTheSaveAreUsedAndNeverReused) {
    Ref<Error> error;
    auto ids = coordinator_->obtainPermanentIDs(item_, 3, &error);
    ASSERT_TRUE(ids);
    EXPECT_EQ((*ids)[0]->key(), 1);
    EXPECT_EQ((*ids)[2]->key(), 3);
    ChangeSet changes;
    changes.inserts.push_back({(*ids)[1], {{"name", Value("second")}}});
    changes.inserts.push_back({ManagedObjectID::makeTemporary(item_), {{"name", Value("temp")}}});
    SaveResult result;
    ASSERT_TRUE(coordinator_->saveChanges(changes, &result, &error));
    ASSERT_EQ(result.permanentIDs.size(), 1u);
    EXPECT_EQ(result.permanentIDs[0].second->key(), 4);
    auto rows = fetchAll(*coordinator_, "Item");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].objectID->key(), 2);
    EXPECT_TRUE(rows[0].objectID->isEqual(*(*ids)[1]));
    EXPECT_EQ(rows[0].objectID->hash(), (*ids)[1]->hash());
}

TEST_P(ChangeSets, UpdatesCheckTheRowVersion) {
    auto id = test::insertRow(*coordinator_, "Item", {{"name", Value("v1")}, {"count", Value(1)}});
    ChangeSet first;
    first.updates.push_back({id, 1, {{"name", Value("v2")}, {"count", Value()}}});
    SaveResult result;
    Ref<Error> error;
    ASSERT_TRUE(coordinator_->saveChanges(first, &result, &error)) << error->description();
    ASSERT_EQ(result.versions.size(), 1u);
    EXPECT_EQ(result.versions[0].second, 2);
    auto rows = fetchAll(*coordinator_, "Item");
    EXPECT_EQ(rows[0].value("name"), Value("v2"));
    EXPECT_TRUE(rows[0].value("count").isNil());
    EXPECT_EQ(rows[0].version, 2);

    // A writer that read version 1 conflicts, and nothing of its change set is written.
    ChangeSet stale;
    stale.inserts.push_back({ManagedObjectID::makeTemporary(item_), {{"name", Value("extra")}}});
    stale.updates.push_back({id, 1, {{"name", Value("v3")}}});
    EXPECT_FALSE(coordinator_->saveChanges(stale, nullptr, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), kManagedObjectMergeError);
    const Value& conflicts = error->userInfo().get(kConflictListKey);
    ASSERT_EQ(conflicts.count(), 1u);
    EXPECT_EQ(conflicts[0]["expectedVersion"], Value(1));
    EXPECT_EQ(conflicts[0]["currentVersion"], Value(2));
    rows = fetchAll(*coordinator_, "Item");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].value("name"), Value("v2"));

    // Without an expected version the update always applies.
    ChangeSet blind;
    blind.updates.push_back({id, std::nullopt, {{"name", Value("v4")}}});
    ASSERT_TRUE(coordinator_->saveChanges(blind, nullptr, &error));
    EXPECT_EQ(fetchAll(*coordinator_, "Item")[0].version, 3);
}

TEST_P(ChangeSets, DeletesCheckTheVersionAndNullifyReferences) {
    auto o = test::insertRow(*coordinator_, "Owner", {{"name", Value("o")}});
    auto i = test::insertRow(*coordinator_, "Item", {{"owner", Value(o)}});
    ChangeSet link;
    link.updates.push_back({o, 1, {{"items", Value(Array{Value(i)})}}});
    Ref<Error> error;
    ASSERT_TRUE(coordinator_->saveChanges(link, nullptr, &error));

    ChangeSet staleDelete;
    staleDelete.deletes.push_back({o, 1});
    EXPECT_FALSE(coordinator_->saveChanges(staleDelete, nullptr, &error));
    EXPECT_EQ(error->code(), kManagedObjectMergeError);

    ChangeSet del;
    del.deletes.push_back({o, 2});
    ASSERT_TRUE(coordinator_->saveChanges(del, nullptr, &error)) << error->description();
    EXPECT_TRUE(fetchAll(*coordinator_, "Owner").empty());
    EXPECT_TRUE(fetchAll(*coordinator_, "Item")[0].value("owner").isNil());

    // A delete of a row that is already gone conflicts when a version was expected.
    ChangeSet again;
    again.deletes.push_back({o, 2});
    EXPECT_FALSE(coordinator_->saveChanges(again, nullptr, &error));
    const Value& conflicts = error->userInfo().get(kConflictListKey);
    ASSERT_EQ(conflicts.count(), 1u);
    EXPECT_TRUE(conflicts[0]["currentVersion"].isNil());
}

TEST_P(ChangeSets, ValuesTheAttributeCannotHoldFailTheWholeSave) {
    ChangeSet changes;
    changes.inserts.push_back({ManagedObjectID::makeTemporary(item_), {{"name", Value("fine")}}});
    changes.inserts.push_back({ManagedObjectID::makeTemporary(item_), {{"count", Value("twelve")}}});
    Ref<Error> error;
    EXPECT_FALSE(coordinator_->saveChanges(changes, nullptr, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), kManagedObjectValidationError);
    EXPECT_EQ(error->userInfo().get("NSValidationErrorKey"), Value("count"));
    EXPECT_TRUE(fetchAll(*coordinator_, "Item").empty());

    ChangeSet unknownKey;
    unknownKey.inserts.push_back({ManagedObjectID::makeTemporary(item_), {{"colour", Value("red")}}});
    EXPECT_FALSE(coordinator_->saveChanges(unknownKey, nullptr, &error));
    EXPECT_EQ(error->code(), kManagedObjectValidationError);

    ChangeSet foreignID;
    foreignID.updates.push_back({ManagedObjectID::makePermanent(item_, "NOT-A-STORE", 1), std::nullopt, {}});
    EXPECT_FALSE(coordinator_->saveChanges(foreignID, nullptr, &error));
    EXPECT_EQ(error->code(), kPersistentStoreSaveError);

    // Numbers are stored as the attribute's kind.
    auto id = test::insertRow(*coordinator_, "Item", {{"count", Value(12.9)}, {"flag", Value(5)}, {"price", Value(0.5)}});
    auto rows = coordinator_->rowsForObjectIDs({id}, &error);
    EXPECT_EQ((*rows)[0].value("count"), Value(12));
    EXPECT_EQ((*rows)[0].value("flag").number()->kind(), NumberKind::Bool);
    EXPECT_TRUE((*rows)[0].value("price").isDecimal());
}

INSTANTIATE_TEST_SUITE_P(FileAndMemory, ChangeSets, ::testing::Values(true, false));

TEST(Coordinator, OneCoordinatorServesSeveralThreads) {
    TempDir dir;
    auto c = test::openCoordinator(test::makeItemModel(), dir.file("threads.sqlite"),
                                   Dictionary{{std::string(kSQLitePragmasOption), Value(Dictionary{{"synchronous", Value("OFF")}})}});
    ASSERT_TRUE(c);
    constexpr int kThreads = 4;
    constexpr int kRowsEach = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([c, t] {
            auto entity = c->managedObjectModel()->entityNamed("Item");
            for (int i = 0; i < kRowsEach; ++i) {
                ChangeSet changes;
                changes.inserts.push_back({ManagedObjectID::makeTemporary(entity), {{"count", Value(t)}, {"big", Value(i)}}});
                EXPECT_TRUE(c->saveChanges(changes, nullptr, nullptr));
                FetchRequest request("Item");
                request.setPredicate(Predicate::format("count = %d", nullptr, t));
                auto n = c->countForFetchRequest(request, nullptr);
                ASSERT_TRUE(n);
                EXPECT_EQ(*n, static_cast<std::size_t>(i + 1));
            }
        });
    }
    for (auto& thread : threads) thread.join();
    auto rows = fetchAll(*c, "Item");
    EXPECT_EQ(rows.size(), static_cast<std::size_t>(kThreads * kRowsEach));
    std::set<std::int64_t> keys;
    for (const auto& r : rows) keys.insert(r.objectID->key());
    EXPECT_EQ(keys.size(), rows.size());
}

// ---- transformable values ----

class ReversedText : public ValueTransformer {
public:
    Value transformedValue(const Value& value) const override {
        std::string s = value.stringValue();
        return Value::data(std::string(s.rbegin(), s.rend()));
    }
    Value reverseTransformedValue(const Value& value) const override {
        const Bytes& b = value.bytes();
        return Value(std::string(b.rbegin(), b.rend()));
    }
    bool allowsReverseTransformation() const override { return true; }
};

TEST(Transformable, NamedTransformerAndDefaultArchiver) {
    ValueTransformer::setValueTransformer(makeRef<ReversedText>(), "ReversedText");
    auto model = test::makeItemModel();
    auto coded = AttributeDescription::make("coded", AttributeType::Transformable);
    coded->setValueTransformerName("ReversedText");
    model->entityNamed("Item")->addAttribute(coded);
    auto missing = AttributeDescription::make("missing", AttributeType::Transformable);
    missing->setValueTransformerName("NoSuchTransformer");
    model->entityNamed("Item")->addAttribute(missing);
    TempDir dir;
    const std::string path = dir.file("t.sqlite");
    auto c = test::openCoordinator(model, path);
    const Value nested(Dictionary{{"list", Value(Array{Value(1), Value("two")})}, {"when", Value(Date::fromSinceReferenceDate(9))}});
    auto id = test::insertRow(*c, "Item", {{"coded", Value("abc")}, {"extra", nested}});
    EXPECT_EQ(sqliteColumn(path, "SELECT CAST(\"coded\" AS TEXT) FROM \"Item\""), std::vector<std::string>{"cba"});
    auto rows = fetchAll(*c, "Item");
    EXPECT_EQ(rows[0].value("coded"), Value("abc"));
    EXPECT_EQ(rows[0].value("extra"), nested);
    // Without a transformer name the column holds a keyed archive of the value.
    {
        sqlite3* db = nullptr;
        sqlite3_open(path.c_str(), &db);
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(db, "SELECT \"extra\" FROM \"Item\"", -1, &stmt, nullptr);
        ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
        const auto* blob = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt, 0));
        const Bytes archive(blob, blob + sqlite3_column_bytes(stmt, 0));
        sqlite3_finalize(stmt);
        sqlite3_close(db);
        EXPECT_EQ(KeyedUnarchiver::unarchivedObject(archive, nullptr), nested);
    }

    ChangeSet bad;
    bad.inserts.push_back({ManagedObjectID::makeTemporary(model->entityNamed("Item")), {{"missing", Value("x")}}});
    Ref<Error> error;
    EXPECT_FALSE(c->saveChanges(bad, nullptr, &error));
    EXPECT_EQ(error->code(), kManagedObjectValidationError);
    ValueTransformer::setValueTransformer(nullptr, "ReversedText");
    EXPECT_FALSE(ValueTransformer::valueTransformerForName("ReversedText"));
}

// ---- fetch request forms ----

class Fetching : public ::testing::Test {
protected:
    void SetUp() override {
        coordinator_ = test::openCoordinator(test::makeItemModel(), dir_.file("f.sqlite"));
        const struct {
            const char* name;
            int count;
            const char* price;
        } rows[] = {{"a", 1, "1.10"}, {"b", 2, "2.20"}, {"a", 3, "3.30"}, {"c", 4, "0.01"}, {"b", 5, "10"}};
        for (const auto& r : rows) {
            test::insertRow(*coordinator_, "Item", {{"name", Value(r.name)}, {"count", Value(r.count)}, {"price", dec(r.price)}});
        }
    }
    TempDir dir_;
    Ref<PersistentStoreCoordinator> coordinator_;
};

TEST_F(Fetching, LimitOffsetAndResultTypes) {
    FetchRequest request("Item");
    request.setSortDescriptors({SortDescriptor("count", false)});
    request.setFetchOffset(1);
    request.setFetchLimit(2);
    request.setFetchBatchSize(20);
    Ref<Error> error;
    auto result = coordinator_->executeFetchRequest(request, &error);
    ASSERT_TRUE(result);
    ASSERT_EQ(result->rows.size(), 2u);
    EXPECT_EQ(result->rows[0].value("count"), Value(4));
    EXPECT_EQ(result->rows[1].value("count"), Value(3));
    EXPECT_EQ(result->count, 2u);

    request.setResultType(FetchRequestResultType::ManagedObjectID);
    result = coordinator_->executeFetchRequest(request, &error);
    ASSERT_EQ(result->rows.size(), 2u);
    EXPECT_TRUE(result->rows[0].values.empty());
    EXPECT_EQ(result->rows[0].objectID->key(), 4);

    request.setResultType(FetchRequestResultType::Count);
    EXPECT_EQ(coordinator_->executeFetchRequest(request, &error)->count, 2u);
    request.setFetchOffset(4);
    EXPECT_EQ(coordinator_->countForFetchRequest(request, &error), 1u);
    request.setPredicate(Predicate::parse("name = 'a'", {}, nullptr));
    request.setFetchOffset(0);
    request.setFetchLimit(0);
    EXPECT_EQ(coordinator_->countForFetchRequest(request, &error), 2u);

    FetchRequest faults("Item");
    faults.setIncludesPropertyValues(false);
    result = coordinator_->executeFetchRequest(faults, &error);
    ASSERT_EQ(result->rows.size(), 5u);
    EXPECT_TRUE(result->rows[0].values.empty());
    EXPECT_EQ(result->rows[0].version, 1);
}

TEST_F(Fetching, DictionariesWithPropertiesToFetch) {
    FetchRequest request("Item");
    request.setResultType(FetchRequestResultType::Dictionary);
    request.setPropertiesToFetch(Array{Value("name"), Value(coordinator_->managedObjectModel()->entityNamed("Item")->attributeNamed("count"))});
    request.setSortDescriptors({SortDescriptor("count", true)});
    request.setFetchLimit(2);
    Ref<Error> error;
    auto result = coordinator_->executeFetchRequest(request, &error);
    ASSERT_TRUE(result) << error->description();
    ASSERT_EQ(result->dictionaries.size(), 2u);
    EXPECT_EQ(result->dictionaries[0], Value(Dictionary{{"name", Value("a")}, {"count", Value(1)}}));

    FetchRequest distinct("Item");
    distinct.setResultType(FetchRequestResultType::Dictionary);
    distinct.setPropertiesToFetch(Array{Value("name")});
    distinct.setReturnsDistinctResults(true);
    distinct.setSortDescriptors({SortDescriptor("name", true)});
    result = coordinator_->executeFetchRequest(distinct, &error);
    ASSERT_EQ(result->dictionaries.size(), 3u);
    EXPECT_EQ(result->dictionaries[2]["name"], Value("c"));

    FetchRequest unknown("Item");
    unknown.setResultType(FetchRequestResultType::Dictionary);
    unknown.setPropertiesToFetch(Array{Value("colour")});
    EXPECT_FALSE(coordinator_->executeFetchRequest(unknown, &error));
    EXPECT_EQ(error->code(), kObjectStoreError);
}

TEST_F(Fetching, AggregatesWholeAndGrouped) {
    auto expression = [](const char* function, const char* key, AttributeType type) {
        return Value(ExpressionDescription::make("result", Expression::function(function, {Expression::keyPath(key)}), type));
    };
    struct Case {
        const char* function;
        const char* key;
        AttributeType type;
        Value expected;
    };
    const Case cases[] = {
        {"sum:", "count", AttributeType::Integer32, Value(15)},
        {"sum:", "price", AttributeType::Decimal, dec("16.61")},
        {"average:", "count", AttributeType::Double, Value(3.0)},
        {"min:", "price", AttributeType::Decimal, dec("0.01")},
        {"max:", "name", AttributeType::String, Value("c")},
        {"count:", "name", AttributeType::Integer64, Value(5)},
    };
    for (const auto& c : cases) {
        FetchRequest request("Item");
        request.setResultType(FetchRequestResultType::Dictionary);
        request.setPropertiesToFetch(Array{expression(c.function, c.key, c.type)});
        Ref<Error> error;
        auto result = coordinator_->executeFetchRequest(request, &error);
        ASSERT_TRUE(result) << c.function;
        ASSERT_EQ(result->dictionaries.size(), 1u) << c.function;
        const Value& value = result->dictionaries[0]["result"];
        EXPECT_EQ(value, c.expected) << c.function << " " << c.key;
        if (c.type == AttributeType::Integer32) {
            ASSERT_TRUE(value.isNumber());
            EXPECT_EQ(value.number()->kind(), NumberKind::Int32);
        }
        if (c.type == AttributeType::Decimal) {
            EXPECT_TRUE(value.isDecimal());
        }
    }
    // Grouped: one dictionary per name, in the order of the sort.
    FetchRequest grouped("Item");
    grouped.setResultType(FetchRequestResultType::Dictionary);
    grouped.setPropertiesToFetch(Array{Value("name"), expression("sum:", "count", AttributeType::Integer32)});
    grouped.setPropertiesToGroupBy(Array{Value("name")});
    grouped.setSortDescriptors({SortDescriptor("name", true)});
    Ref<Error> error;
    auto result = coordinator_->executeFetchRequest(grouped, &error);
    ASSERT_TRUE(result) << error->description();
    const Array expected{Value(Dictionary{{"name", Value("a")}, {"result", Value(4)}}),
                         Value(Dictionary{{"name", Value("b")}, {"result", Value(7)}}),
                         Value(Dictionary{{"name", Value("c")}, {"result", Value(4)}})};
    EXPECT_EQ(result->dictionaries, expected);
    // Aggregates over no rows.
    grouped.setPredicate(Predicate::parse("count > 100", {}, nullptr));
    EXPECT_TRUE(coordinator_->executeFetchRequest(grouped, &error)->dictionaries.empty());
}

// ---- the content core's predicates on the content model ----

struct Subject : PredicateSubject {
    explicit Subject(const RowSnapshot& r) : row(r) {}
    Value valueForKeyPath(const std::string& key) const override { return row.value(key); }
    Value evaluatedObject() const override { return Value(row.objectID); }
    const RowSnapshot& row;
};

TEST(ContentPredicates, KnownItemTestsAndTruncations) {
    TempDir dir;
    auto c = test::openCoordinator(contentModel(), dir.file("lunavexa.sqlite"));
    ASSERT_TRUE(c);
    test::insertRow(*c, "News", {{"msgId", Value("m1")}, {"cat_name", Value("star")}});
    test::insertRow(*c, "News", {{"cat_name", Value("drama")}});  // an item without msgId
    for (int sid = 1; sid <= 3; ++sid) {
        for (int rank = 1; rank <= 2; ++rank) test::insertRow(*c, "Toptenz", {{"sid", Value(sid)}, {"rank", Value(rank)}});
    }
    test::insertRow(*c, "Teleplay", {{"type", Value("tv")}, {"is_end", Value("yes")}});
    test::insertRow(*c, "Teleplay", {{"type", Value("tv")}, {"is_end", Value("no")}});
    test::insertRow(*c, "Taobao", {{"type", Value("new")}, {"store", Value("beauty")}});
    test::insertRow(*c, "Taobao", {{"type", Value("new")}, {"store", Value("fashion")}});

    struct Case {
        const char* entity;
        const char* format;
        std::vector<Value> args;
        std::size_t expected;
    };
    const Case cases[] = {
        {"News", "msgId = %@", {Value("m1")}, 1},
        {"News", "msgId = %@", {Value("m2")}, 0},
        {"News", "msgId = %@", {Value()}, 1},  // a nil msgId finds the record stored without one
        {"News", "cat_name = %@", {Value("star")}, 1},
        {"Toptenz", "sid = %@ AND rank = %d", {dec("2"), Value(1)}, 1},
        {"Toptenz", "sid = %@ AND rank = %d", {Value(2), Value(3)}, 0},
        {"Toptenz", "sid = %@", {Value(*Decimal::parse("2"))}, 2},  // hanteo_day
        {"Toptenz", "sid = %@", {Value()}, 0},                       // a site without a number
        {"Teleplay", "type = %@ AND is_end = %@", {Value("tv"), Value("yes")}, 1},
        {"Taobao", "type = %@ AND store = %@", {Value("new"), Value("beauty")}, 1},
        {"Novel", "TRUEPREDICATE", {}, 0},
    };
    for (const auto& k : cases) {
        Ref<Error> error;
        auto p = Predicate::parse(k.format, k.args, &error);
        ASSERT_TRUE(p) << k.format;
        auto rows = fetchAll(*c, k.entity, p);
        EXPECT_EQ(rows.size(), k.expected) << k.entity << ": " << p->predicateFormat();
        for (const auto& row : rows) EXPECT_TRUE(p->evaluate(Subject(row))) << k.format;
    }
}

}  // namespace
}  // namespace lv

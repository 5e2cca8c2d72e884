// The SQLite store under the coordinator: values (transformable ones included) as another reader of
// the file sees them, opening, migrating and refusing files, change sets, several threads, fetch forms.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include "data_test_support.h"
#include "platform/data/errors.h"
#include "platform/runtime/value_transformer.h"
#include "platform/storage/keyed_archive.h"
#include "sqlite_failures.h"

namespace lv {
namespace {

using test::rawTexts;
using test::TempDir;

using test::dec;

std::vector<RowSnapshot> fetchAll(PersistentStoreCoordinator& c, const std::string& entity, Ref<Predicate> predicate = nullptr) {
    FetchRequest request(entity);
    request.setPredicate(std::move(predicate));
    Ref<Error> error;
    auto result = c.executeFetchRequest(request, &error);
    EXPECT_TRUE(result) << (error ? error->description() : "");
    return result ? result->rows : std::vector<RowSnapshot>{};
}

std::string itemColumns(const std::string& path) {
    std::string out;
    for (const auto& name : rawTexts(path, "SELECT name FROM pragma_table_info('Item')")) out += name + " ";
    return out;
}

// ---- the file ----

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

TEST(SQLiteStore, CreatesReopensAndKeepsValuesExactly) {
    ValueTransformer::setValueTransformer(makeRef<ReversedText>(), "ReversedText");
    auto model = [] {
        auto m = test::makeItemModel();
        auto coded = AttributeDescription::make("coded", AttributeType::Transformable);
        coded->setValueTransformerName("ReversedText");
        m->entityNamed("Item")->addAttribute(coded);
        auto missing = AttributeDescription::make("missing", AttributeType::Transformable);
        missing->setValueTransformerName("NoSuchTransformer");
        m->entityNamed("Item")->addAttribute(missing);
        return m;
    };
    TempDir dir;
    const std::string path = dir.file("s.sqlite");
    const Value extra(Dictionary{{"list", Value(Array{Value(1), Value("two")})}, {"when", Value(Date::fromSinceReferenceDate(9))}});
    std::string identifier;
    Ref<ManagedObjectID> id;
    {
        auto c = test::openCoordinator(model(), path);
        ASSERT_TRUE(c);
        identifier = c->persistentStores()[0]->identifier();
        EXPECT_EQ(identifier.size(), 36u);
        id = test::insertRow(*c, "Item", {{"price", dec("199.90")}, {"name", Value("\xe5\x8f\xa3\xe7\xba\xa2")}, {"count", Value(1024)},
                                          {"when", Value(Date::fromSinceReferenceDate(447296822.5))}, {"extra", extra}, {"coded", Value("abc")}});
        ChangeSet bad;
        bad.inserts.push_back({ManagedObjectID::makeTemporary(c->managedObjectModel()->entityNamed("Item")), {{"missing", Value("x")}}});
        Ref<Error> error;
        EXPECT_FALSE(c->saveChanges(bad, nullptr, &error));
        EXPECT_EQ(error->code(), kManagedObjectValidationError);
    }
    EXPECT_EQ(rawTexts(path, "SELECT \"price\" || ' ' || \"when\" || ' ' || \"_opt\" || ' ' || CAST(\"coded\" AS TEXT) FROM \"Item\""),
              std::vector<std::string>{"199.9 447296822.5 1 cba"});
    {  // without a transformer name the column holds a keyed archive of the value
        test::RawConnection raw(path);
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(raw.db, "SELECT \"extra\" FROM \"Item\"", -1, &stmt, nullptr);
        ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
        const auto* blob = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt, 0));
        EXPECT_EQ(KeyedUnarchiver::unarchivedObject(Bytes(blob, blob + sqlite3_column_bytes(stmt, 0)), nullptr), extra);
        sqlite3_finalize(stmt);
    }

    auto c = test::openCoordinator(model(), path);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->persistentStores()[0]->identifier(), identifier);
    auto rows = fetchAll(*c, "Item");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].value("price").decimal()->stringValue(), "199.9");
    EXPECT_EQ(rows[0].value("name"), Value("\xe5\x8f\xa3\xe7\xba\xa2"));
    EXPECT_EQ(rows[0].value("count").number()->kind(), NumberKind::Int32);
    EXPECT_EQ(rows[0].value("when"), Value(Date::fromSinceReferenceDate(447296822.5)));
    EXPECT_EQ(rows[0].value("extra"), extra);
    EXPECT_EQ(rows[0].value("coded"), Value("abc"));
    EXPECT_TRUE(rows[0].value("ratio").isNil());
    EXPECT_TRUE(rows[0].objectID->isEqual(*id));
    EXPECT_EQ(rows[0].objectID->URIRepresentation(), "x-lvdata://" + identifier + "/Item/p1");
    ValueTransformer::setValueTransformer(nullptr, "ReversedText");
    EXPECT_FALSE(ValueTransformer::valueTransformerForName("ReversedText"));
}

TEST(SQLiteStore, FilesItCannotOpenAsTheyAreStayUntouched) {
    auto seedItems = [](const std::string& path) {
        auto c = test::openCoordinator(test::makeItemModel(), path);
        test::insertRow(*c, "Item", {{"name", Value("x")}});
    };
    auto foreign = [](const std::string& path) { test::RawConnection(path).exec("CREATE TABLE t (x)"); };
    auto text = [](const std::string& path) { std::ofstream(path) << "certainly not a database file, plain text long enough to tell"; };
    struct Case {
        const char* label;
        std::function<void(const std::string&)> prepare;
        std::function<void(EntityDescription&)> change;
        bool migrate;
        std::int64_t code;
        bool ours = false;  // a store of ours, which must still open with its own model
    };
    const Case cases[] = {
        {"changed model without migration options", seedItems, nullptr, false, kPersistentStoreIncompatibleVersionHashError, true},
        {"type change", seedItems, [](EntityDescription& e) { e.attributeNamed("count")->setAttributeType(AttributeType::String); },
         true, kMigrationError, true},
        {"narrower integer", seedItems, [](EntityDescription& e) { e.attributeNamed("count")->setAttributeType(AttributeType::Integer16); },
         true, kMigrationError, true},
        {"mandatory without default", seedItems,
         [](EntityDescription& e) { e.addAttribute(AttributeDescription::make("must", AttributeType::String, false)); }, true,
         kMigrationError, true},
        {"optional attribute becomes required over rows holding nil", seedItems,
         [](EntityDescription& e) { e.attributeNamed("count")->setOptional(false); }, true, kMigrationError, true},
        {"optional to-one becomes required over rows holding nil", seedItems,
         [](EntityDescription& e) { e.relationshipNamed("owner")->setOptional(false); }, true, kMigrationError, true},
        {"attribute becomes relationship", seedItems,
         [](EntityDescription& e) {
             e.removeProperty("name");
             e.addRelationship(RelationshipDescription::make("name", "Owner"));
         },
         true, kMigrationError, true},
        {"a database without our metadata", foreign, nullptr, true, kMigrationMissingSourceModelError},
        {"a database without our metadata, no migration options", foreign, nullptr, false, kPersistentStoreIncompatibleVersionHashError},
        {"not a database", text, nullptr, false, kFileReadCorruptFileError},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        const std::string path = dir.file("s.sqlite");
        c.prepare(path);
        auto model = test::makeItemModel();
        model->entityNamed("Item")->addAttribute(AttributeDescription::make("harmless", AttributeType::String));
        if (c.change) c.change(*model->entityNamed("Item"));
        Ref<Error> error;
        EXPECT_FALSE(test::openCoordinator(model, path, c.migrate ? test::migrationOptions() : Dictionary{}, &error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), kCocoaErrorDomain);
        EXPECT_EQ(error->code(), c.code);
        if (!c.ours) continue;
        if (!c.migrate) {
            EXPECT_TRUE(error->userInfo().get(kStoreVersionHashesErrorKey).isDictionary());
        }
        EXPECT_EQ(itemColumns(path).find("harmless"), std::string::npos);  // rolled back
        EXPECT_TRUE(test::openCoordinator(test::makeItemModel(), path));
    }
}

TEST(SQLiteStore, LightweightMigrationAddsAndRemovesAttributesAndEntities) {
    TempDir dir;
    const std::string path = dir.file("s.sqlite");
    {
        auto c = test::openCoordinator(test::makeItemModel(), path);
        test::insertRow(*c, "Item", {{"name", Value("keep")}, {"count", Value(4)}, {"ratio", Value(1.5)}});
    }
    auto v2 = test::makeItemModel();
    auto item = v2->entityNamed("Item");
    item->removeProperty("ratio");
    auto level = AttributeDescription::make("level", AttributeType::Integer32, false);
    level->setDefaultValue(Value(3));
    item->addAttribute(level);
    // Required now: nil rows take the default; a required one without default is fine over held values.
    item->attributeNamed("small")->setOptional(false);
    item->attributeNamed("small")->setDefaultValue(Value(9));
    item->attributeNamed("name")->setOptional(false);
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
        EXPECT_EQ(rows[0].value("small"), Value(9));
        test::insertRow(*c, "Tag", {{"label", Value("new")}});
    }
    EXPECT_EQ(itemColumns(path).find("ratio"), std::string::npos);
    EXPECT_NE(itemColumns(path).find("level"), std::string::npos);
    // The new model now opens as it is; the old one mismatches, and migrating back drops the table.
    EXPECT_TRUE(test::openCoordinator(v2, path));
    Ref<Error> error;
    EXPECT_FALSE(test::openCoordinator(test::makeItemModel(), path, {}, &error));
    EXPECT_EQ(error->code(), kPersistentStoreIncompatibleVersionHashError);
    ASSERT_TRUE(test::openCoordinator(test::makeItemModel(), path, test::migrationOptions()));
    EXPECT_EQ(rawTexts(path, "SELECT count(*) FROM sqlite_master WHERE name = 'Tag'"), std::vector<std::string>{"0"});
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
        EXPECT_EQ(rawTexts(path, schema), (std::vector<std::string>{"0", "0", "old"}));
        EXPECT_TRUE(test::openCoordinator(test::makeItemModel(), path));  // still the old model's file
        // Once the cause is gone (a fresh connection with the file writable again) the migration runs.
        if (lift) lift();
        std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        EXPECT_TRUE(test::openCoordinator(v2, path, test::migrationOptions(), &error)) << (error ? error->description() : "");
        EXPECT_EQ(rawTexts(path, schema), (std::vector<std::string>{"1", "1", "old"}));
    }
}

TEST(SQLiteStore, PragmasAndMetadata) {
    TempDir dir;
    const std::string path = dir.file("wal.sqlite");
    auto model = test::makeItemModel();
    auto c = test::openCoordinator(model, path, test::pragmas({{"journal_mode", Value("WAL")}}));
    ASSERT_TRUE(c);
    test::insertRow(*c, "Item", {{"name", Value("x")}});
    EXPECT_EQ(rawTexts(path, "PRAGMA journal_mode"), std::vector<std::string>{"wal"});
    // Metadata without adding the store.
    auto metadata = PersistentStoreCoordinator::metadataForPersistentStore(path, nullptr);
    ASSERT_TRUE(metadata);
    EXPECT_EQ(metadata->get(kStoreUUIDKey), Value(c->persistentStores()[0]->identifier()));
    EXPECT_EQ(metadata->get(kStoreModelVersionHashesKey), Value(model->entityVersionHashesByName()));
    Ref<Error> error;
    EXPECT_FALSE(PersistentStoreCoordinator::metadataForPersistentStore(dir.file("none.sqlite"), &error));
    EXPECT_TRUE(error);
}

// ---- the coordinator ----

// Consecutive rows of one insert statement repeat values (one shared text, equal numbers, missing
// values), change them and bring them back: the statement keeps bindings from row to row, and each
// row must still get its own values, whether the inserts give them by index or by name.
TEST(SQLiteStore, ConsecutiveInsertsRepeatingValuesKeepEachRowsOwn) {
    TempDir dir;
    auto coordinator = test::openCoordinator(test::makeItemModel(), dir.file("c.sqlite"));
    ASSERT_TRUE(coordinator);
    auto item = coordinator->managedObjectModel()->entityNamed("Item");
    const auto& properties = item->properties();
    const auto at = [&](const char* name) { return static_cast<std::size_t>(item->propertyIndex(name)); };
    const Value shared("shared text");
    const Value date(Date::fromSinceReferenceDate(10.5));
    struct RowSpec {
        Value name;
        Value count;
        Value ratio;
        Value when;
    };
    const std::vector<RowSpec> specs = {
        {shared, Value(7), Value(1.5), date},
        {shared, Value(7), Value(1.5), date},  // all repeated
        {Value(), Value(7), Value(), Value()},  // missing values
        {Value(), Value(8), Value(), date},
        {shared, Value(std::int64_t{7}), Value(1.5), Value(Date::fromSinceReferenceDate(11))},
        {Value("shared text"), Value(7), Value(2.5), date},  // equal text of another value
        {shared, Value(7), Value(1.5), date},
    };
    ChangeSet changes;
    for (std::size_t k = 0; k < specs.size(); ++k) {
        const RowSpec& r = specs[k];
        if (k % 2 == 0) {
            std::vector<Value> byIndex(properties.size());
            byIndex[at("name")] = r.name;
            byIndex[at("count")] = r.count;
            byIndex[at("ratio")] = r.ratio;
            byIndex[at("when")] = r.when;
            byIndex[at("small")] = Value(static_cast<int>(k));
            changes.inserts.push_back({ManagedObjectID::makeTemporary(item), {}, std::move(byIndex)});
        } else {
            changes.inserts.push_back({ManagedObjectID::makeTemporary(item),
                                       {{"name", r.name}, {"count", r.count}, {"ratio", r.ratio}, {"when", r.when},
                                        {"small", Value(static_cast<int>(k))}}});
        }
    }
    Ref<Error> error;
    ASSERT_TRUE(coordinator->saveChanges(changes, nullptr, &error)) << error->description();
    EXPECT_EQ(rawTexts(dir.file("c.sqlite"),
                       "SELECT quote(\"small\") || ' ' || quote(\"name\") || ' ' || quote(\"count\") || ' ' || "
                       "quote(\"ratio\") || ' ' || quote(\"when\") FROM \"Item\" ORDER BY \"_pk\""),
              (std::vector<std::string>{"0 'shared text' 7 1.5 10.5", "1 'shared text' 7 1.5 10.5", "2 NULL 7 NULL NULL",
                                        "3 NULL 8 NULL 10.5", "4 'shared text' 7 1.5 11.0", "5 'shared text' 7 2.5 10.5",
                                        "6 'shared text' 7 1.5 10.5"}));
}

// What is saved between beginWriting and endWriting reaches the file, and another connection, only at
// endWriting; cancelWriting undoes it; a save that fails inside undoes itself alone.
TEST(Coordinator, SavesWhileWritingReachTheFileTogetherAtTheEnd) {
    TempDir dir;
    const std::string path = dir.file("w.sqlite");
    auto writer = test::openCoordinator(test::makeItemModel(), path);
    auto reader = test::openCoordinator(test::makeItemModel(), path);
    ASSERT_TRUE(writer && reader);
    auto item = writer->managedObjectModel()->entityNamed("Item");
    auto count = [&](const Ref<PersistentStoreCoordinator>& c, const char* name) {
        FetchRequest r("Item");
        r.setPredicate(Predicate::format("name = %@", nullptr, Value(name)));
        return c->countForFetchRequest(r, nullptr).value_or(99);
    };
    auto save = [&](const char* name, std::optional<std::int64_t> conflictingVersion = std::nullopt) {
        ChangeSet changes;
        changes.inserts.push_back({ManagedObjectID::makeTemporary(item), {{"name", Value(name)}}});
        if (conflictingVersion) {
            auto ids = writer->obtainPermanentIDs(item, 1, nullptr);
            changes.updates.push_back({(*ids)[0], conflictingVersion, {{"name", Value("gone")}}});
        }
        Ref<Error> error;
        return writer->saveChanges(changes, nullptr, &error);
    };
    Ref<Error> error;
    ASSERT_TRUE(writer->beginWriting(&error)) << (error ? error->description() : "");
    ASSERT_TRUE(save("first"));
    EXPECT_FALSE(save("refused", 7));  // a row that is not there: the save fails, and undoes only itself
    ASSERT_TRUE(save("second"));
    EXPECT_EQ(count(writer, "first"), 1u);
    EXPECT_EQ(count(reader, "first"), 0u) << "not before the end";
    ASSERT_TRUE(writer->endWriting(&error)) << (error ? error->description() : "");
    EXPECT_EQ(count(reader, "first"), 1u);
    EXPECT_EQ(count(reader, "second"), 1u);
    EXPECT_EQ(count(reader, "refused"), 0u);

    ASSERT_TRUE(writer->beginWriting(&error));
    ASSERT_TRUE(save("undone"));
    writer->cancelWriting();
    EXPECT_EQ(count(writer, "undone"), 0u);
    EXPECT_EQ(count(reader, "undone"), 0u);
    // Without a scope each save is its own transaction again.
    ASSERT_TRUE(save("alone"));
    EXPECT_EQ(count(reader, "alone"), 1u);
}

// A write scope whose commit fails (another connection's read blocks it, after every statement ran)
// gives the file its old key count back; the keys it handed out (to a record that may live on) are
// not handed out again, so that record and a new one are later saved side by side.
TEST(Coordinator, KeysOfAWriteScopeWhoseCommitFailedAreNotHandedOutAgain) {
    TempDir dir;
    const std::string path = dir.file("k.sqlite");
    test::seedFile(path);
    auto writer = test::openCoordinator(test::makeItemModel(), path, test::pragmas({{"busy_timeout", Value(0)}}));
    ASSERT_TRUE(writer);
    auto item = writer->managedObjectModel()->entityNamed("Item");
    Ref<Error> error;
    ASSERT_TRUE(writer->beginWriting(&error));
    auto kept = writer->obtainPermanentIDs(item, 1, &error);
    ASSERT_TRUE(kept && kept->size() == 1u);
    const Ref<ManagedObjectID> saved = test::insertRow(*writer, "Item", {{"name", Value("lost")}});
    ASSERT_TRUE(saved);
    {
        test::RawConnection blocker(path);
        blocker.holdSharedLock();
        EXPECT_FALSE(writer->endWriting(&error));
        ASSERT_TRUE(error);
        EXPECT_NE(error->description().find("database is locked"), std::string::npos) << error->description();
        blocker.releaseSharedLock();
    }
    EXPECT_EQ(rawTexts(path, "SELECT name FROM Item ORDER BY _pk"), std::vector<std::string>{"old"});
    ChangeSet changes;
    changes.inserts.push_back({(*kept)[0], {{"name", Value("kept")}}});
    const Ref<ManagedObjectID> fresh = ManagedObjectID::makeTemporary(item);
    changes.inserts.push_back({fresh, {{"name", Value("new")}}});
    SaveResult result;
    ASSERT_TRUE(writer->saveChanges(changes, &result, &error)) << error->description();
    ASSERT_EQ(result.permanentIDs.size(), 1u);
    EXPECT_GT(result.permanentIDs[0].second->key(), saved->key());
    EXPECT_EQ(rawTexts(path, "SELECT name FROM Item ORDER BY _pk"), (std::vector<std::string>{"old", "kept", "new"}));
}

TEST(Coordinator, WithoutAStoreEveryCallIsAnError) {
    auto c = test::openCoordinator(test::makeItemModel(), "");
    ASSERT_TRUE(c);
    auto item = c->managedObjectModel()->entityNamed("Item");
    Ref<Error> error;
    EXPECT_FALSE(c->executeFetchRequest(FetchRequest("Nope"), &error));  // an entity the model lacks
    EXPECT_EQ(error->code(), kObjectStoreError);
    auto store = c->persistentStores()[0];
    EXPECT_EQ(c->persistentStoreForIdentifier(store->identifier()), store);
    EXPECT_TRUE(c->removePersistentStore(store, nullptr));
    EXPECT_FALSE(c->removePersistentStore(store, nullptr));
    EXPECT_FALSE(c->executeFetchRequest(FetchRequest("Item"), &error));
    EXPECT_EQ(error->code(), kObjectStoreError);
    error.reset();
    EXPECT_FALSE(c->countForFetchRequest(FetchRequest("Item"), &error));
    EXPECT_TRUE(error);
    ChangeSet changes;
    changes.inserts.push_back({ManagedObjectID::makeTemporary(item), {}});
    EXPECT_FALSE(c->saveChanges(changes, nullptr, &error));
    EXPECT_EQ(error->code(), kPersistentStoreSaveError);
    error.reset();
    EXPECT_FALSE(c->obtainPermanentIDs(item, 1, &error));
    EXPECT_TRUE(error);
    TempDir dir;
    EXPECT_FALSE(c->addPersistentStore("Binary", "", dir.file("x"), {}, &error));
    EXPECT_EQ(error->code(), kPersistentStoreInvalidTypeError);
}

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
    Ref<Error> error;
    auto obtained = coordinator_->obtainPermanentIDs(item_, 2, &error);  // keys 1 and 2, never given again
    ASSERT_TRUE(obtained);
    EXPECT_EQ((*obtained)[1]->key(), 2);
    auto a = (*obtained)[1];
    auto b = ManagedObjectID::makeTemporary(item_);
    auto o = ManagedObjectID::makeTemporary(owner_);
    EXPECT_FALSE(b->isEqual(*ManagedObjectID::makeTemporary(item_)));
    ChangeSet changes;
    changes.inserts.push_back({a, {{"name", Value("a")}, {"owner", Value(o)}}});
    changes.inserts.push_back({b, {{"name", Value("b")}, {"owner", Value(o)}}});
    changes.inserts.push_back({o, {{"name", Value("o")}, {"items", Value(Array{Value(b), Value(a)})}}});
    SaveResult result;
    ASSERT_TRUE(coordinator_->saveChanges(changes, &result, &error)) << error->description();
    ASSERT_EQ(result.permanentIDs.size(), 2u);  // a keeps the ID obtained for it
    std::map<const ManagedObjectID*, Ref<ManagedObjectID>> permanent;
    for (const auto& [temporary, id] : result.permanentIDs) permanent[temporary.get()] = id;
    ASSERT_TRUE(permanent[b.get()] && permanent[o.get()]);
    EXPECT_EQ(permanent[b.get()]->key(), 3);
    EXPECT_FALSE(permanent[b.get()]->isTemporaryID());
    ASSERT_EQ(result.versions.size(), 3u);
    for (const auto& [id, version] : result.versions) EXPECT_EQ(version, 1);

    auto rows = fetchAll(*coordinator_, "Item");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_TRUE(rows[0].objectID->isEqual(*a));
    EXPECT_EQ(rows[0].objectID->hash(), a->hash());
    EXPECT_TRUE(rows[0].value("owner").objectAs<ManagedObjectID>()->isEqual(*permanent[o.get()]));
    auto related = coordinator_->relatedObjectIDs(permanent[o.get()], "items", &error);
    ASSERT_TRUE(related);
    ASSERT_EQ(related->size(), 2u);
    EXPECT_TRUE((*related)[0]->isEqual(*permanent[b.get()]));  // the order given
    EXPECT_TRUE((*related)[1]->isEqual(*a));
    auto fetched = coordinator_->rowsForObjectIDs({permanent[b.get()], a, ManagedObjectID::makeTemporary(item_)}, &error);
    ASSERT_TRUE(fetched);
    ASSERT_EQ(fetched->size(), 2u);
    EXPECT_EQ((*fetched)[0].value("name"), Value("b"));
}

TEST_P(ChangeSets, UpdatesAndDeletesCheckTheRowVersion) {
    auto o = test::insertRow(*coordinator_, "Owner", {{"name", Value("o")}});
    auto id = test::insertRow(*coordinator_, "Item", {{"name", Value("v1")}, {"count", Value(1)}, {"owner", Value(o)}});
    ChangeSet first;
    first.updates.push_back({id, 1, {{"name", Value("v2")}, {"count", Value()}}});
    first.updates.push_back({o, 1, {{"items", Value(Array{Value(id)})}}});
    SaveResult result;
    Ref<Error> error;
    ASSERT_TRUE(coordinator_->saveChanges(first, &result, &error)) << error->description();
    ASSERT_EQ(result.versions.size(), 2u);
    EXPECT_EQ(result.versions[0].second, 2);
    auto rows = fetchAll(*coordinator_, "Item");
    EXPECT_EQ(rows[0].value("name"), Value("v2"));
    EXPECT_TRUE(rows[0].value("count").isNil());
    EXPECT_EQ(rows[0].version, 2);

    // A writer that read version 1 conflicts, and nothing of its change set is written.
    ChangeSet staleUpdate;
    staleUpdate.inserts.push_back({ManagedObjectID::makeTemporary(item_), {{"name", Value("extra")}}});
    staleUpdate.updates.push_back({id, 1, {{"name", Value("v3")}}});
    ChangeSet staleDelete;
    staleDelete.deletes.push_back({o, 1});
    for (const ChangeSet* stale : {&staleUpdate, &staleDelete}) {
        EXPECT_FALSE(coordinator_->saveChanges(*stale, nullptr, &error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), kManagedObjectMergeError);
        const Value& conflicts = error->userInfo().get(kConflictListKey);
        ASSERT_EQ(conflicts.count(), 1u);
        EXPECT_EQ(conflicts[0]["expectedVersion"], Value(1));
        EXPECT_EQ(conflicts[0]["currentVersion"], Value(2));
    }
    rows = fetchAll(*coordinator_, "Item");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].value("name"), Value("v2"));

    // Without an expected version an update always applies; a delete nullifies references to the row.
    ChangeSet blind;
    blind.updates.push_back({id, std::nullopt, {{"name", Value("v4")}}});
    blind.deletes.push_back({o, 2});
    ASSERT_TRUE(coordinator_->saveChanges(blind, nullptr, &error)) << error->description();
    EXPECT_EQ(fetchAll(*coordinator_, "Item")[0].version, 3);
    EXPECT_TRUE(fetchAll(*coordinator_, "Owner").empty());
    EXPECT_TRUE(fetchAll(*coordinator_, "Item")[0].value("owner").isNil());
    // A delete of a row that is already gone conflicts when a version was expected.
    ChangeSet again;
    again.deletes.push_back({o, 2});
    EXPECT_FALSE(coordinator_->saveChanges(again, nullptr, &error));
    ASSERT_EQ(error->userInfo().get(kConflictListKey).count(), 1u);
    EXPECT_TRUE(error->userInfo().get(kConflictListKey)[0]["currentVersion"].isNil());
}

// One change set of many updates and deletes, entities and changed columns alternating: each row gets
// exactly its own changes, as another reader of the file sees them.
TEST(SQLiteStore, RunsOfUpdatesAndDeletesWriteEachRowsOwnChanges) {
    TempDir dir;
    const std::string path = dir.file("runs.sqlite");
    auto c = test::openCoordinator(test::makeItemModel(), path);
    ASSERT_TRUE(c);
    std::vector<Ref<ManagedObjectID>> items, owners;
    for (int k = 0; k < 6; ++k) {
        items.push_back(test::insertRow(*c, "Item", {{"name", Value("i" + std::to_string(k))}, {"count", Value(k)}}));
    }
    for (int k = 0; k < 3; ++k) owners.push_back(test::insertRow(*c, "Owner", {{"name", Value("o" + std::to_string(k))}}));
    for (const auto& id : items) ASSERT_TRUE(id);
    for (const auto& id : owners) ASSERT_TRUE(id);
    ChangeSet changes;
    changes.updates.push_back({items[0], 1, {{"name", Value("a")}}});
    changes.updates.push_back({items[1], 1, {{"name", Value("b")}}});                      // the same column
    changes.updates.push_back({items[2], 1, {{"count", Value(20)}}});                      // another column
    changes.updates.push_back({items[3], 1, {{"count", Value(30)}, {"name", Value("d")}}}); // two, in another order
    changes.updates.push_back({items[4], 1, {{"name", Value("e")}, {"count", Value(40)}}});
    changes.updates.push_back({owners[0], 1, {{"name", Value("p")}}});                     // another entity, same name
    changes.updates.push_back({items[5], 1, {{"name", Value("f")}, {"owner", Value(owners[1])}}});
    changes.updates.push_back({owners[1], 1, {{"items", Value(Array{Value(items[3]), Value(items[1]), Value(items[4])})}}});
    changes.updates.push_back({owners[2], 1, {{"items", Value(Array{Value(items[0])})}}});
    ChangeSet deletes;
    deletes.deletes.push_back({items[1], std::nullopt});
    deletes.deletes.push_back({owners[1], std::nullopt});  // nullifies item 5's owner, drops its to-many rows
    deletes.deletes.push_back({items[0], std::nullopt});   // leaves owner 2's list
    Ref<Error> error;
    SaveResult result;
    ASSERT_TRUE(c->saveChanges(changes, &result, &error)) << error->description();
    ASSERT_EQ(result.versions.size(), 9u);
    for (const auto& [id, version] : result.versions) EXPECT_EQ(version, 2);
    EXPECT_EQ(rawTexts(path, "SELECT \"_pk\" || ' ' || quote(\"name\") || ' ' || quote(\"count\") || ' ' || quote(\"owner\") || ' ' || "
                             "\"_opt\" FROM \"Item\" ORDER BY \"_pk\""),
              (std::vector<std::string>{"1 'a' 0 NULL 2", "2 'b' 1 NULL 2", "3 'i2' 20 NULL 2", "4 'd' 30 NULL 2", "5 'e' 40 NULL 2",
                                        "6 'f' 5 2 2"}));
    EXPECT_EQ(rawTexts(path, "SELECT \"_pk\" || ' ' || quote(\"name\") FROM \"Owner\" ORDER BY \"_pk\""),
              (std::vector<std::string>{"1 'p'", "2 'o1'", "3 'o2'"}));
    const std::string relation = "SELECT \"owner\" || ' ' || \"position\" || ' ' || \"target\" FROM \"_lv_rel_Owner_items\" ORDER BY 1";
    EXPECT_EQ(rawTexts(path, relation), (std::vector<std::string>{"2 0 4", "2 1 2", "2 2 5", "3 0 1"}));

    ASSERT_TRUE(c->saveChanges(deletes, nullptr, &error)) << error->description();
    EXPECT_EQ(rawTexts(path, "SELECT \"_pk\" || ' ' || quote(\"owner\") FROM \"Item\" ORDER BY \"_pk\""),
              (std::vector<std::string>{"3 NULL", "4 NULL", "5 NULL", "6 NULL"}));
    EXPECT_EQ(rawTexts(path, "SELECT \"_pk\" FROM \"Owner\" ORDER BY \"_pk\""), (std::vector<std::string>{"1", "3"}));
    EXPECT_TRUE(rawTexts(path, relation).empty());
}

TEST_P(ChangeSets, ValuesTheAttributeCannotHoldFailTheWholeSave) {
    struct Case {
        const char* label;
        ChangeSet::Insert bad;
        std::int64_t code;
    };
    const Case cases[] = {
        {"wrong kind", {ManagedObjectID::makeTemporary(item_), {{"count", Value("twelve")}}}, kManagedObjectValidationError},
        {"unknown key", {ManagedObjectID::makeTemporary(item_), {{"colour", Value("red")}}}, kManagedObjectValidationError},
        {"beyond 64 bits", {ManagedObjectID::makeTemporary(item_), {{"big", Value(1e19)}}}, kValidationNumberTooLargeError},
    };
    Ref<Error> error;
    for (const auto& c : cases) {
        ChangeSet changes;
        changes.inserts.push_back({ManagedObjectID::makeTemporary(item_), {{"name", Value("fine")}}});
        changes.inserts.push_back(c.bad);
        EXPECT_FALSE(coordinator_->saveChanges(changes, nullptr, &error)) << c.label;
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), c.code) << c.label;
        EXPECT_EQ(error->userInfo().get(kValidationKeyErrorKey), c.bad.values[0].first) << c.label;
        EXPECT_TRUE(fetchAll(*coordinator_, "Item").empty()) << c.label;
    }
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
    auto c = test::openCoordinator(test::makeItemModel(), dir.file("threads.sqlite"), test::pragmas({{"synchronous", Value("OFF")}}));
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
    static Ref<FetchRequest> dictionaries(Array properties) {
        auto request = FetchRequest::make("Item");
        request->setResultType(FetchRequestResultType::Dictionary);
        request->setPropertiesToFetch(std::move(properties));
        return request;
    }
    TempDir dir_;
    Ref<PersistentStoreCoordinator> coordinator_;
};

TEST_F(Fetching, LimitOffsetAndResultTypes) {
    FetchRequest request("Item");
    request.setSortDescriptors({SortDescriptor("count", false)});
    request.setFetchOffset(1);
    request.setFetchLimit(2);
    Ref<Error> error;
    auto result = coordinator_->executeFetchRequest(request, &error);
    ASSERT_TRUE(result);
    ASSERT_EQ(result->rows.size(), 2u);
    EXPECT_EQ(result->rows[0].value("count"), Value(4));
    EXPECT_EQ(result->rows[1].value("count"), Value(3));

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
}

TEST_F(Fetching, DictionariesWithPropertiesToFetch) {
    auto request = dictionaries(Array{Value("name"), Value(coordinator_->managedObjectModel()->entityNamed("Item")->attributeNamed("count"))});
    request->setSortDescriptors({SortDescriptor("count", true)});
    request->setFetchLimit(2);
    Ref<Error> error;
    auto result = coordinator_->executeFetchRequest(*request, &error);
    ASSERT_TRUE(result) << error->description();
    ASSERT_EQ(result->dictionaries.size(), 2u);
    EXPECT_EQ(result->dictionaries[0], Value(Dictionary{{"name", Value("a")}, {"count", Value(1)}}));

    auto distinct = dictionaries(Array{Value("name")});
    distinct->setReturnsDistinctResults(true);
    distinct->setSortDescriptors({SortDescriptor("name", true)});
    result = coordinator_->executeFetchRequest(*distinct, &error);
    ASSERT_EQ(result->dictionaries.size(), 3u);
    EXPECT_EQ(result->dictionaries[2]["name"], Value("c"));

    EXPECT_FALSE(coordinator_->executeFetchRequest(*dictionaries(Array{Value("colour")}), &error));
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
        Ref<Error> error;
        auto result = coordinator_->executeFetchRequest(*dictionaries(Array{expression(c.function, c.key, c.type)}), &error);
        ASSERT_TRUE(result) << c.function;
        ASSERT_EQ(result->dictionaries.size(), 1u) << c.function;
        const Value& value = result->dictionaries[0]["result"];
        EXPECT_EQ(value, c.expected) << c.function << " " << c.key;
        EXPECT_EQ(value.isDecimal(), c.type == AttributeType::Decimal) << c.function << " " << c.key;
        if (c.type == AttributeType::Integer32) {
            EXPECT_EQ(value.number()->kind(), NumberKind::Int32);
        }
    }
    // Grouped: one dictionary per name, in the order of the sort; none over no rows.
    auto grouped = dictionaries(Array{Value("name"), expression("sum:", "count", AttributeType::Integer32)});
    grouped->setPropertiesToGroupBy(Array{Value("name")});
    grouped->setSortDescriptors({SortDescriptor("name", true)});
    Ref<Error> error;
    auto result = coordinator_->executeFetchRequest(*grouped, &error);
    ASSERT_TRUE(result) << error->description();
    const Array expected{Value(Dictionary{{"name", Value("a")}, {"result", Value(4)}}),
                         Value(Dictionary{{"name", Value("b")}, {"result", Value(7)}}),
                         Value(Dictionary{{"name", Value("c")}, {"result", Value(4)}})};
    EXPECT_EQ(result->dictionaries, expected);
    grouped->setPredicate(Predicate::parse("count > 100", {}, nullptr));
    EXPECT_TRUE(coordinator_->executeFetchRequest(*grouped, &error)->dictionaries.empty());
    // Integers summed past 64 bits stay exact (a decimal), and their average comes from that sum.
    for (std::int64_t big : {INT64_MAX, INT64_MAX, std::int64_t{7}}) test::insertRow(*coordinator_, "Item", {{"big", Value(big)}});
    for (const Case& c : {Case{"sum:", "big", AttributeType::Integer64, dec("18446744073709551621")},
                          Case{"average:", "big", AttributeType::Double, Value(18446744073709551621.0 / 3)}}) {
        result = coordinator_->executeFetchRequest(*dictionaries(Array{expression(c.function, c.key, c.type)}), &error);
        ASSERT_TRUE(result) << c.function;
        EXPECT_EQ(result->dictionaries[0]["result"], c.expected) << c.function;
    }
}

}  // namespace
}  // namespace lv

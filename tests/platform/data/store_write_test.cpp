// Writing many rows at once: deletes of rows nothing points at, several keys to a statement, as
// another reader of the file sees them; and the direct comparison of object IDs the contexts use.
#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <set>

#include "data_test_support.h"
#include "platform/data/errors.h"
#include "platform/storage/json.h"
#include "sqlite_failures.h"

namespace lv {
namespace {

using test::rawTexts;
using test::TempDir;

// ID equality, with and without finding out the other object's kind: the same answers for every pair.
TEST(ObjectIDs, EqualityAgreesWithAndWithoutTheObjectsKind) {
    auto model = test::makeItemModel();
    auto item = model->entityNamed("Item");
    auto owner = model->entityNamed("Owner");
    auto itemAgain = EntityDescription::make("Item");  // another description of the same name
    auto renamed = EntityDescription::make("Other");  // the same name, given after it was made
    renamed->setName("Item");
    auto t1 = ManagedObjectID::makeTemporary(item);
    struct Case {
        Ref<ManagedObjectID> a, b;
        bool equal;
    };
    const std::vector<Case> cases = {
        {ManagedObjectID::makePermanent(item, "S", 5), ManagedObjectID::makePermanent(item, "S", 5), true},
        {ManagedObjectID::makePermanent(item, "S", 5), ManagedObjectID::makePermanent(itemAgain, "S", 5), true},
        {ManagedObjectID::makePermanent(item, "S", 5), ManagedObjectID::makePermanent(renamed, "S", 5), true},
        {ManagedObjectID::makePermanent(item, "S", 5), ManagedObjectID::makePermanentRange(renamed, "S", 4, 2)[1], true},
        {ManagedObjectID::makePermanent(item, "S", 5), ManagedObjectID::makePermanent(item, "S", 6), false},
        {ManagedObjectID::makePermanent(item, "S", 5), ManagedObjectID::makePermanent(item, "T", 5), false},
        {ManagedObjectID::makePermanent(item, "S", 5), ManagedObjectID::makePermanent(owner, "S", 5), false},
        {t1, t1, true},
        {t1, ManagedObjectID::makeTemporary(item), false},
        {t1, ManagedObjectID::makePermanent(item, "S", t1->key()), false},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        const Case& c = cases[i];
        EXPECT_EQ(c.a->isEqualToID(*c.b), c.equal);
        EXPECT_EQ(c.b->isEqualToID(*c.a), c.equal);
        EXPECT_EQ(c.a->isEqual(*c.b), c.equal);
        if (c.equal) {
            EXPECT_EQ(c.a->hash(), c.b->hash());
        }
    }
    EXPECT_FALSE(t1->isEqual(*Error::make("d", 1)));
}

// Deletes of rows nothing points at go several keys to a statement: every count of rows around the
// statement sizes, keys in any order, runs of two entities alternating; exactly those rows go, as another
// reader of the file sees them. A version conflict among them fails the save and deletes nothing.
TEST(SQLiteStore, DeletesOfManyRowsRemoveExactlyThoseRows) {
    TempDir dir;
    const std::string path = dir.file("deletes.sqlite");
    auto c = test::openCoordinator(ManagedObjectModel::mergedModelFromDirectories({test::bundleDirectory()}), path);
    ASSERT_TRUE(c);
    auto news = c->managedObjectModel()->entityNamed("News");
    auto charts = c->managedObjectModel()->entityNamed("Toptenz");
    ASSERT_TRUE(news && charts && news->relationships().empty() && charts->relationships().empty());
    ChangeSet rows;
    for (int k = 0; k < 600; ++k) rows.inserts.push_back({ManagedObjectID::makeTemporary(news), {{"msgId", Value("n" + std::to_string(k))}}});
    for (int k = 0; k < 40; ++k) rows.inserts.push_back({ManagedObjectID::makeTemporary(charts), {{"title", Value("t" + std::to_string(k))}}});
    SaveResult inserted;
    Ref<Error> error;
    ASSERT_TRUE(c->saveChanges(rows, &inserted, &error)) << error->description();
    std::vector<Ref<ManagedObjectID>> newsIDs, chartIDs;
    for (const auto& [temporary, id] : inserted.permanentIDs) (id->entity()->name() == "News" ? newsIDs : chartIDs).push_back(id);
    ASSERT_EQ(newsIDs.size(), 600u);
    std::set<std::int64_t> newsLeft, chartsLeft;
    for (const auto& id : newsIDs) newsLeft.insert(id->key());
    for (const auto& id : chartIDs) chartsLeft.insert(id->key());
    auto keysInFile = [&](const char* entity) {
        std::set<std::int64_t> out;
        for (const auto& text : rawTexts(path, std::string("SELECT \"_pk\" FROM \"") + entity + "\"")) out.insert(std::stoll(text));
        return out;
    };
    std::size_t next = 0;  // newsIDs[next...] are still stored; taken from both ends in turn
    std::size_t last = newsIDs.size();
    std::size_t chart = 0;
    for (const std::size_t count : {1u, 4u, 5u, 15u, 16u, 17u, 63u, 64u, 65u, 129u, 200u}) {
        SCOPED_TRACE(count);
        ChangeSet deletes;
        for (std::size_t k = 0; k < count; ++k) {
            const Ref<ManagedObjectID>& id = k % 2 ? newsIDs[--last] : newsIDs[next++];
            deletes.deletes.push_back({id, k % 3 == 0 ? std::optional<std::int64_t>(1) : std::nullopt});
            newsLeft.erase(id->key());
            if (k % 50 == 7 && chart < chartIDs.size()) {  // another entity in between
                deletes.deletes.push_back({chartIDs[chart], std::nullopt});
                chartsLeft.erase(chartIDs[chart++]->key());
            }
        }
        ASSERT_TRUE(c->saveChanges(deletes, nullptr, &error)) << error->description();
        EXPECT_EQ(keysInFile("News"), newsLeft);
        EXPECT_EQ(keysInFile("Toptenz"), chartsLeft);
    }
    ASSERT_EQ(newsLeft.size(), 21u);
    // A row named twice: with version checks the second finds it gone (a conflict, nothing deleted);
    // without, the second delete has nothing left to do.
    const auto twice = ManagedObjectID::makePermanent(news, newsIDs[0]->storeIdentifier(), *newsLeft.begin());
    ChangeSet checkedTwice;
    checkedTwice.deletes.push_back({twice, 1});
    checkedTwice.deletes.push_back({twice, 1});
    EXPECT_FALSE(c->saveChanges(checkedTwice, nullptr, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), kManagedObjectMergeError);
    ASSERT_EQ(error->userInfo().get(kConflictListKey).count(), 1u);
    EXPECT_TRUE(error->userInfo().get(kConflictListKey)[0]["currentVersion"].isNil());
    EXPECT_EQ(keysInFile("News"), newsLeft);
    ChangeSet uncheckedTwice;
    uncheckedTwice.deletes.push_back({twice, std::nullopt});
    uncheckedTwice.deletes.push_back({twice, std::nullopt});
    ASSERT_TRUE(c->saveChanges(uncheckedTwice, nullptr, &error)) << error->description();
    newsLeft.erase(twice->key());
    EXPECT_EQ(keysInFile("News"), newsLeft);
    ChangeSet conflicting;
    for (std::int64_t key : newsLeft) conflicting.deletes.push_back({ManagedObjectID::makePermanent(news, newsIDs[0]->storeIdentifier(), key), std::nullopt});
    conflicting.deletes.push_back({chartIDs.back(), 2});  // the row is at version 1
    EXPECT_FALSE(c->saveChanges(conflicting, nullptr, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), kManagedObjectMergeError);
    EXPECT_EQ(keysInFile("News"), newsLeft);
    EXPECT_EQ(keysInFile("Toptenz"), chartsLeft);
}

// Runs of consecutive keys go as one range each: runs shorter and longer than a batch, runs broken by
// a key that stays, by a key out of order, by a key named twice, by another entity, and keys at the
// top of the key space; exactly the named rows go, as another reader of the file sees them.
TEST(SQLiteStore, DeletesOfRunsOfKeysRemoveExactlyThoseRows) {
    TempDir dir;
    const std::string path = dir.file("runs.sqlite");
    auto c = test::openCoordinator(ManagedObjectModel::mergedModelFromDirectories({test::bundleDirectory()}), path);
    ASSERT_TRUE(c);
    auto news = c->managedObjectModel()->entityNamed("News");
    auto charts = c->managedObjectModel()->entityNamed("Toptenz");
    auto keysInFile = [&](const char* entity) {
        std::set<std::int64_t> out;
        for (const auto& text : rawTexts(path, std::string("SELECT \"_pk\" FROM \"") + entity + "\"")) out.insert(std::stoll(text));
        return out;
    };
    struct Case {
        const char* name;
        // Offsets (from the first key stored for the case) of the News rows to delete, in order; -1
        // stands for the Toptenz row, kTop and kTop - 1 for keys no row has at the top of the key space.
        std::vector<std::int64_t> offsets;
        std::size_t versionChecked = SIZE_MAX;  // the delete at this place carries a version check
        bool conflict = false;
    };
    constexpr std::int64_t kTop = -2;
    auto run = [](std::int64_t from, std::int64_t to) {
        std::vector<std::int64_t> keys;
        if (from <= to) for (std::int64_t k = from; k <= to; ++k) keys.push_back(k);
        else for (std::int64_t k = from; k >= to; --k) keys.push_back(k);
        return keys;
    };
    auto join = [](std::initializer_list<std::vector<std::int64_t>> parts) {
        std::vector<std::int64_t> keys;
        for (const auto& part : parts) keys.insert(keys.end(), part.begin(), part.end());
        return keys;
    };
    const std::vector<Case> cases = {
        {"one run of 150", run(0, 149)},
        {"runs of 2, 63, 64 and 65 with one kept key between each", join({run(0, 1), run(3, 65), run(67, 130), run(132, 196)})},
        {"a run longer than a batch, then keys out of order", join({run(0, 99), {150, 120, 101}, run(102, 110)})},
        {"descending", run(120, 0)},
        {"a run, then a key of it again", join({run(0, 80), {40}, run(81, 90)})},
        {"a run, then a key of it again with a version check", join({run(0, 80), {40}}), 81, true},
        {"a run broken by another entity", join({run(0, 70), {-1}, run(71, 140)})},
        {"a run with a version check inside it", run(0, 99), 50},
        {"keys at the top of the key space", join({{kTop - 1, kTop}, run(0, 9), {kTop - 1, kTop}, run(10, 19)})},
        {"single keys", {5, 9, 7}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        ChangeSet rows;
        for (int k = 0; k < 200; ++k) rows.inserts.push_back({ManagedObjectID::makeTemporary(news), {{"msgId", Value("n" + std::to_string(k))}}});
        rows.inserts.push_back({ManagedObjectID::makeTemporary(charts), {{"title", Value("t")}}});
        SaveResult inserted;
        Ref<Error> error;
        ASSERT_TRUE(c->saveChanges(rows, &inserted, &error)) << error->description();
        std::vector<Ref<ManagedObjectID>> newsIDs;
        Ref<ManagedObjectID> chartID;
        for (const auto& [temporary, id] : inserted.permanentIDs) {
            if (id->entity()->name() == "News") newsIDs.push_back(id);
            else chartID = id;
        }
        ASSERT_EQ(newsIDs.size(), 200u);
        const std::int64_t first = newsIDs.front()->key();
        ASSERT_EQ(newsIDs.back()->key(), first + 199);  // the case's keys are consecutive
        const std::set<std::int64_t> newsBefore = keysInFile("News");
        const std::set<std::int64_t> chartsBefore = keysInFile("Toptenz");
        std::set<std::int64_t> newsLeft = newsBefore, chartsLeft = chartsBefore;
        ChangeSet deletes;
        for (std::size_t i = 0; i < test.offsets.size(); ++i) {
            const std::int64_t offset = test.offsets[i];
            const std::optional<std::int64_t> version = i == test.versionChecked ? std::optional<std::int64_t>(1) : std::nullopt;
            if (offset == -1) {
                deletes.deletes.push_back({chartID, version});
                chartsLeft.erase(chartID->key());
                continue;
            }
            const std::int64_t key = offset == kTop       ? std::numeric_limits<std::int64_t>::max()
                                     : offset == kTop - 1 ? std::numeric_limits<std::int64_t>::max() - 1
                                                          : first + offset;
            deletes.deletes.push_back({ManagedObjectID::makePermanent(news, newsIDs[0]->storeIdentifier(), key), version});
            newsLeft.erase(key);
        }
        if (test.conflict) {
            EXPECT_FALSE(c->saveChanges(deletes, nullptr, &error));
            ASSERT_TRUE(error);
            EXPECT_EQ(error->code(), kManagedObjectMergeError);
            EXPECT_EQ(keysInFile("News"), newsBefore);
            EXPECT_EQ(keysInFile("Toptenz"), chartsBefore);
        } else {
            ASSERT_TRUE(c->saveChanges(deletes, nullptr, &error)) << error->description();
            EXPECT_EQ(keysInFile("News"), newsLeft);
            EXPECT_EQ(keysInFile("Toptenz"), chartsLeft);
        }
    }
}

// Rows deleted and inserted in one save (a category's list replaced whole): the inserted rows take the
// pages the deleted ones leave, so the file keeps its size, as another reader of it sees; what pointed
// at a deleted row lets go of it, also where a row inserted or updated in the same save names it; and a
// row both updated and deleted is updated first.
TEST(SQLiteStore, RowsReplacedInOneSaveTakeTheDeletedRowsPlaces) {
    TempDir dir;
    const std::string path = dir.file("replace.sqlite");
    auto c = test::openCoordinator(ManagedObjectModel::mergedModelFromDirectories({test::bundleDirectory()}), path);
    ASSERT_TRUE(c);
    auto news = c->managedObjectModel()->entityNamed("News");
    auto newsRows = [&](const std::string& round) {
        ChangeSet rows;
        for (int k = 0; k < 2000; ++k) {
            const std::string n = round + std::to_string(k);
            rows.inserts.push_back({ManagedObjectID::makeTemporary(news),
                                    {{"msgId", Value(n)}, {"title", Value("Headline " + n + " of a day of news, told at length")}}});
        }
        return rows;
    };
    SaveResult stored;
    Ref<Error> error;
    ASSERT_TRUE(c->saveChanges(newsRows("a"), &stored, &error)) << error->description();
    const std::string pages = rawTexts(path, "PRAGMA page_count").at(0);
    for (const char* round : {"b", "c"}) {
        SCOPED_TRACE(round);
        ChangeSet replace = newsRows(round);
        for (const auto& [temporary, id] : stored.permanentIDs) replace.deletes.push_back({id, 1});
        stored = {};
        ASSERT_TRUE(c->saveChanges(replace, &stored, &error)) << error->description();
        EXPECT_EQ(rawTexts(path, "PRAGMA page_count").at(0), pages);
        const std::vector<std::string> ids = rawTexts(path, "SELECT msgId FROM News ORDER BY _pk");
        ASSERT_EQ(ids.size(), 2000u);
        EXPECT_EQ(ids.front(), std::string(round) + "0");
        EXPECT_EQ(ids.back(), std::string(round) + "1999");
    }

    const std::string itemsPath = dir.file("pointers.sqlite");
    auto items = test::openCoordinator(test::makeItemModel(), itemsPath);
    ASSERT_TRUE(items);
    auto itemEntity = items->managedObjectModel()->entityNamed("Item");
    auto ownerEntity = items->managedObjectModel()->entityNamed("Owner");
    auto gone = test::insertRow(*items, "Item", {{"name", Value("gone")}});
    auto kept = test::insertRow(*items, "Item", {{"name", Value("kept")}});
    auto goneOwner = test::insertRow(*items, "Owner", {{"name", Value("gone owner")}, {"items", Value(Array{Value(gone)})}});
    ASSERT_TRUE(gone && kept && goneOwner);
    ChangeSet changes;
    changes.deletes.push_back({gone, std::nullopt});
    changes.deletes.push_back({goneOwner, std::nullopt});
    auto newOwner = ManagedObjectID::makeTemporary(ownerEntity);
    auto newItem = ManagedObjectID::makeTemporary(itemEntity);
    changes.inserts.push_back({newOwner, {{"name", Value("new owner")}, {"items", Value(Array{Value(gone), Value(kept)})}}});
    changes.inserts.push_back({newItem, {{"name", Value("new item")}, {"owner", Value(goneOwner)}}});
    changes.updates.push_back({kept, std::nullopt, {{"owner", Value(goneOwner)}}});
    ASSERT_TRUE(items->saveChanges(changes, nullptr, &error)) << error->description();
    EXPECT_EQ(rawTexts(itemsPath, "SELECT name || ':' || ifnull(owner, 'none') FROM Item ORDER BY _pk"),
              (std::vector<std::string>{"kept:none", "new item:none"}));
    EXPECT_EQ(rawTexts(itemsPath, "SELECT o.name || ':' || i.name FROM \"_lv_rel_Owner_items\" r JOIN Owner o ON o._pk = r.owner"
                                  " JOIN Item i ON i._pk = r.target ORDER BY r.owner, r.position"),
              std::vector<std::string>{"new owner:kept"});
    EXPECT_EQ(rawTexts(itemsPath, "SELECT count(*) FROM \"_lv_rel_Owner_items\""), std::vector<std::string>{"1"});
    // A row updated (its version checked) and deleted in one save keeps the order in which the update
    // finds it: the save succeeds, beside an insert, and the row is gone.
    ChangeSet updatedAndDeleted;
    updatedAndDeleted.updates.push_back({kept, 2, {{"name", Value("kept again")}}});
    updatedAndDeleted.deletes.push_back({kept, std::nullopt});
    updatedAndDeleted.inserts.push_back({ManagedObjectID::makeTemporary(itemEntity), {{"name", Value("newer item")}}});
    ASSERT_TRUE(items->saveChanges(updatedAndDeleted, nullptr, &error)) << error->description();
    EXPECT_EQ(rawTexts(itemsPath, "SELECT name FROM Item ORDER BY _pk"), (std::vector<std::string>{"new item", "newer item"}));
}

// Texts of a parsed reply sit in the reply's shared text blocks: they are bound to the insert as the
// bytes where they sit. Another reader finds each text with its exact bytes (an empty text as an empty
// text, not NULL; a NUL inside kept), whether or not its std::string was made before the save.
TEST(SQLiteStore, TextsOfAParsedReplyAreStoredWithTheirExactBytes) {
    TempDir dir;
    const std::string path = dir.file("texts.sqlite");
    auto c = test::openCoordinator(ManagedObjectModel::mergedModelFromDirectories({test::bundleDirectory()}), path);
    ASSERT_TRUE(c);
    auto news = c->managedObjectModel()->entityNamed("News");
    const std::string longText(300, 'x');
    const std::string json = "[\"\", \"short\", \"fifteen bytes!!\", \"sixteen bytes!!!\", \"" + longText +
                             "\", \"\\u00fc\\u4e2d\\u6587 more than sixteen bytes\", \"a NUL \\u0000 inside a long text\"]";
    const Value texts = JSONSerialization::JSONObjectWithData(json, 0, nullptr);
    ASSERT_EQ(texts.count(), 7u);
    (void)texts[4].string();  // one text's std::string made before the save
    ChangeSet rows;
    for (const Value& text : texts.array()) {
        rows.inserts.push_back({ManagedObjectID::makeTemporary(news), {{"title", text}, {"detailPageLink", text}}});
    }
    Ref<Error> error;
    ASSERT_TRUE(c->saveChanges(rows, nullptr, &error)) << error->description();
    auto hex = [](std::string_view bytes) {
        static const char digits[] = "0123456789ABCDEF";
        std::string out = "text:";
        for (unsigned char b : bytes) {
            out += digits[b >> 4];
            out += digits[b & 15];
        }
        return out;
    };
    std::vector<std::string> expected;
    for (const Value& text : texts.array()) expected.push_back(hex(text.string()));
    EXPECT_EQ(expected[6].size(), 5 + 2 * std::string_view("a NUL \0 inside a long text", 26).size());
    EXPECT_EQ(rawTexts(path, "SELECT typeof(title) || ':' || hex(title) FROM News ORDER BY _pk"), expected);
    EXPECT_EQ(rawTexts(path, "SELECT typeof(detailPageLink) || ':' || hex(detailPageLink) FROM News ORDER BY _pk"), expected);
}

// Rows read together share their texts' allocations, each block's room guessed from the rows before:
// texts that grow past the guess, shrink below it, pass the room's bound, and rows of no text at all
// all read back exactly, written by another program, through a fetch and through a read by keys, and
// a text kept alone outlives the rows read with it.
TEST(SQLiteStore, TextsOfRowsReadTogetherReadBackExactlyWhateverTheirLengths) {
    TempDir dir;
    const std::string path = dir.file("read.sqlite");
    ASSERT_TRUE(test::openCoordinator(test::makeItemModel(), path));  // the schema
    const std::vector<std::size_t> lengths = {0, 16, 17, 40, 300, 5, 3000, 16, 20000, 64, 1, 900, 70000, 33};
    constexpr int kRows = 100;
    auto textOf = [&](int row) -> std::optional<std::string> {
        if (row % 11 == 3) return std::nullopt;  // NULL
        const std::size_t length = lengths[static_cast<std::size_t>(row) % lengths.size()] + static_cast<std::size_t>(row / 14);
        std::string text(length, static_cast<char>('a' + row % 26));
        if (length > 2) text[length / 2] = '\0';
        return text;
    };
    {
        test::RawConnection raw(path);
        raw.exec("BEGIN");
        sqlite3_stmt* insert = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(raw.db, "INSERT INTO Item (_pk, _opt, name, big) VALUES (?, 1, ?, ?)", -1, &insert, nullptr),
                  SQLITE_OK);
        for (int row = 0; row < kRows; ++row) {
            const auto text = textOf(row);
            sqlite3_bind_int64(insert, 1, row + 1);
            if (text) sqlite3_bind_text(insert, 2, text->data(), static_cast<int>(text->size()), SQLITE_TRANSIENT);
            else sqlite3_bind_null(insert, 2);
            sqlite3_bind_int64(insert, 3, row);
            ASSERT_EQ(sqlite3_step(insert), SQLITE_DONE);
            sqlite3_reset(insert);
        }
        sqlite3_finalize(insert);
        raw.exec("COMMIT");
    }
    auto c = test::openCoordinator(test::makeItemModel(), path);
    ASSERT_TRUE(c);
    auto item = c->managedObjectModel()->entityNamed("Item");
    const int nameIndex = item->propertyIndex("name");
    auto check = [&](const std::vector<RowSnapshot>& rows, const char* road) {
        ASSERT_EQ(rows.size(), static_cast<std::size_t>(kRows)) << road;
        for (const RowSnapshot& row : rows) {
            const int at = static_cast<int>(row.objectID->key()) - 1;
            const Value& name = row.values.at(static_cast<std::size_t>(nameIndex));
            const auto text = textOf(at);
            if (!text) {
                EXPECT_TRUE(name.isNil()) << road << " row " << at;
            } else {
                ASSERT_TRUE(name.isString()) << road << " row " << at;
                EXPECT_EQ(name.string(), *text) << road << " row " << at;
            }
        }
    };
    FetchRequest request("Item");
    request.setSortDescriptors({SortDescriptor("big", true)});
    Ref<Error> error;
    auto fetched = c->executeFetchRequest(request, &error);
    ASSERT_TRUE(fetched) << error->description();
    check(fetched->rows, "fetch");
    std::vector<Ref<ManagedObjectID>> ids;
    for (int row = kRows; row >= 1; --row) ids.push_back(ManagedObjectID::makePermanent(item, c->persistentStores()[0]->identifier(), row));
    auto byKeys = c->rowsForObjectIDs(ids, &error);
    ASSERT_TRUE(byKeys) << error->description();
    check(*byKeys, "by keys");
    // One text kept, every row it was read with let go.
    const Value kept = fetched->rows[40].values[static_cast<std::size_t>(nameIndex)];
    fetched.reset();
    byKeys.reset();
    EXPECT_EQ(kept.string(), *textOf(40));
}

}  // namespace
}  // namespace lv

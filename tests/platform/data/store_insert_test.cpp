// Inserts of many rows, several to a statement: every column as the sqlite3 program reads it back, rows
// that go alone (values to encode, values by name, an entity with a to-many relationship) in their
// place, and a save that fails part-way leaving the file as it was, with the error of the first row
// that fails in the rows' order.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>

#include "data_test_support.h"
#include "platform/data/errors.h"
#include "sqlite_failures.h"

namespace lv {
namespace {

using test::TempDir;

// The lines the sqlite3 program prints for a query (NULL as <null>), read-only.
std::vector<std::string> sqliteLines(const std::string& path, const std::string& sql) {
    std::string quoted;  // the query as one word of the shell
    for (char ch : sql) quoted += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    const std::string command = "sqlite3 -readonly -nullvalue '<null>' '" + path + "' '" + quoted + "'";
    std::string text;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) text.append(buffer, n);
        EXPECT_EQ(::pclose(pipe), 0) << command;
    }
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

const char* const kItemColumns = "SELECT _pk, _opt, small, count, big, price, ratio, weight, name, flag, \"when\", hex(blob), owner "
                                 "FROM Item ORDER BY _pk";

// A real number as the sqlite3 program prints it.
std::string real(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.15g", v);
    return std::string(text) + (std::string(text).find_first_of(".e") == std::string::npos ? ".0" : "");
}

// Item rows of a save. Most bind every value as it is; a row may carry a decimal, a float or an owner
// (values encoded first), or come by name. expected: each row's columns after the key, owner left out.
enum Special { kPlain, kPrice, kWeight, kOwner, kByName };

struct Rows {
    explicit Rows(const Ref<ManagedObjectModel>& model) : item(model->entityNamed("Item")), owner(model->entityNamed("Owner")) {}
    Ref<EntityDescription> item, owner;
    ChangeSet changes;
    std::vector<std::string> expected;
    std::vector<Ref<ManagedObjectID>> ids;

    void add(int k, Special special = kPlain, Value ownerValue = Value(), const char* name = nullptr) {
        std::vector<std::pair<std::string, Value>> values = {
            {"small", Value(static_cast<std::int16_t>(k % 100))}, {"count", Value(static_cast<std::int32_t>(k * 1000))},
            {"big", Value(std::int64_t{k} * 10000000000)},       {"ratio", Value(k + 0.5)},
            {"flag", Value(k % 2 == 1)},                          {"when", Value(Date::fromSinceReferenceDate(k * 10.25))},
            {"blob", Value(Bytes{static_cast<std::uint8_t>(k), 0xAB})}};
        const std::string text = name ? name : "n" + std::to_string(k);
        if (k % 7 != 3 || name) values.emplace_back("name", Value(text));
        if (special == kPrice) values.emplace_back("price", Value(Decimal::fromString("1.25")));
        if (special == kWeight) values.emplace_back("weight", Value(0.25f));
        if (!ownerValue.isNil()) values.emplace_back("owner", ownerValue);
        char blob[8];
        std::snprintf(blob, sizeof blob, "%02XAB", k % 256);
        expected.push_back("|1|" + std::to_string(k % 100) + "|" + std::to_string(k * 1000) + "|" + std::to_string(std::int64_t{k} * 10000000000) +
                           "|" + (special == kPrice ? "1.25" : "<null>") + "|" + real(k + 0.5) + "|" + (special == kWeight ? "0.25" : "<null>") +
                           "|" + (k % 7 != 3 || name ? text : "<null>") + "|" + std::to_string(k % 2) + "|" + real(k * 10.25) + "|" + blob + "|");
        ids.push_back(ManagedObjectID::makeTemporary(item));
        ChangeSet::Insert insert{ids.back(), {}};
        if (special == kByName) {
            insert.values = std::move(values);
        } else {
            insert.valuesByIndex.assign(item->properties().size(), Value());
            for (auto& [key, value] : values) insert.valuesByIndex[static_cast<std::size_t>(item->propertyIndex(key))] = value;
        }
        changes.inserts.push_back(std::move(insert));
    }
};

TEST(SQLiteStore, InsertsOfManyRowsStoreEveryColumnAsWritten) {
    TempDir dir;
    const std::string path = dir.file("inserts.sqlite");
    auto model = test::makeItemModel();
    auto c = test::openCoordinator(model, path);
    ASSERT_TRUE(c);
    std::vector<std::string> stored;  // every Item row the file should hold, in key order
    int next = 0;
    for (const int count : {1, 3, 4, 5, 17, 63, 64, 65, 150}) {
        SCOPED_TRACE(count);
        Rows run(model);
        // An owner in the middle of the run (another entity, with a to-many relationship) names the
        // run's first item; a few items point at it.
        auto ownerID = ManagedObjectID::makeTemporary(run.owner);
        for (int k = 0; k < count; ++k) {
            if (k == count / 2) {
                ChangeSet::Insert o{ownerID, {{"name", Value("o")}}};
                if (!run.ids.empty()) o.values.emplace_back("items", Value(Array{Value(run.ids.front())}));
                run.changes.inserts.push_back(std::move(o));
            }
            // Rows that go alone: the first few of one run, a few in the middle of a long one.
            const Special special = count == 17 && k < 5 ? Special(k) : count == 150 && k >= 70 && k < 74 ? Special(k - 69) : kPlain;
            run.add(next + k, special, special == kOwner || (count == 150 && k == 140) ? Value(ownerID) : Value());
        }
        SaveResult result;
        Ref<Error> error;
        ASSERT_TRUE(c->saveChanges(run.changes, &result, &error)) << error->description();
        std::map<const ManagedObjectID*, std::string> keys;
        for (const auto& [temporary, id] : result.permanentIDs) keys[temporary.get()] = std::to_string(id->key());
        for (int k = 0; k < count; ++k) {
            const bool owned = (count == 17 && k == kOwner) || (count == 150 && (k == 69 + kOwner || k == 140));
            stored.push_back(keys.at(run.ids[static_cast<std::size_t>(k)].get()) + run.expected[static_cast<std::size_t>(k)] +
                             (owned ? keys.at(ownerID.get()) : "<null>"));
        }
        next += count;
        EXPECT_EQ(sqliteLines(path, kItemColumns), stored);
        if (count > 1) {
            EXPECT_EQ(sqliteLines(path, "SELECT owner || '|' || position || '|' || target FROM _lv_rel_Owner_items ORDER BY rowid").back(),
                      keys.at(ownerID.get()) + "|0|" + keys.at(run.ids.front().get()));
        }
        EXPECT_EQ(sqliteLines(path, "SELECT last FROM _lv_keys WHERE entity = 'Item'"), std::vector<std::string>{std::to_string(next)});
    }
}

// A save of 150 rows that fails part-way (a trigger refuses row 100, a value of the wrong kind, a
// property the entity lacks) reports the failure of the first failing row and leaves the file as it was.
TEST(SQLiteStore, InsertsThatFailPartWayReportTheFirstFailureAndLeaveTheFile) {
    struct Case {
        int wrongKind;  // row whose owner is a text (-1: none)
        int unknownName;  // row given by name with a property the entity lacks (-1: none)
        std::int64_t code;
        const char* description;
    };
    const Case cases[] = {
        {-1, -1, kPersistentStoreSaveError, "The store could not be saved: stopped here"},
        {120, -1, kPersistentStoreSaveError, "The store could not be saved: stopped here"},
        {90, -1, kManagedObjectValidationError, "The value of owner is not of the kind the property holds"},
        {-1, 110, kPersistentStoreSaveError, "The store could not be saved: stopped here"},
        {-1, 95, kManagedObjectValidationError, "entity Item has no property nope"},
        {66, 99, kManagedObjectValidationError, "The value of owner is not of the kind the property holds"},
    };
    for (const Case& failing : cases) {
        SCOPED_TRACE(failing.description + std::string(" ") + std::to_string(failing.wrongKind) + " " + std::to_string(failing.unknownName));
        TempDir dir;
        const std::string path = dir.file("failing.sqlite");
        auto model = test::makeItemModel();
        Rows first(model);
        auto c = test::openCoordinator(model, path);
        ASSERT_TRUE(c);
        for (int k = 0; k < 10; ++k) first.add(k);
        Ref<Error> error;
        ASSERT_TRUE(c->saveChanges(first.changes, nullptr, &error)) << error->description();
        test::RawConnection(path).exec(
            "CREATE TRIGGER refuse BEFORE INSERT ON Item WHEN NEW.name = 'stop' BEGIN SELECT RAISE(ABORT, 'stopped here'); END;");
        const auto before = sqliteLines(path, kItemColumns);
        Rows run(model);
        for (int k = 0; k < 150; ++k) {
            run.add(10 + k, k == failing.unknownName ? kByName : kPlain, k == failing.wrongKind ? Value("not a record") : Value(),
                    k == 100 ? "stop" : nullptr);
            if (k == failing.unknownName) run.changes.inserts.back().values.emplace_back("nope", Value(1));
        }
        EXPECT_FALSE(c->saveChanges(run.changes, nullptr, &error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), failing.code);
        EXPECT_EQ(error->userInfo().get(kLocalizedDescriptionKey).stringValue(), failing.description);
        EXPECT_EQ(sqliteLines(path, kItemColumns), before);
        EXPECT_EQ(sqliteLines(path, "SELECT last FROM _lv_keys WHERE entity = 'Item'"), std::vector<std::string>{"10"});
    }
}

}  // namespace
}  // namespace lv
